#include "windows_folder.h"

#include "schedule.h"
#include "windows_text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>
#include <windows.h>

namespace
{

// Attempts on a pattern take a twentieth of the time at most, so that with
// the pauses' own cost waiting stays near a tenth of a core in any folder:
// one that costs t is followed by the next no sooner than time_share t after
// its start. Its cost is the shortest of the last few attempts': the time an
// attempt spent preempted, or waiting for the disk, costs no processor time,
// and so spaces nothing.
constexpr std::int64_t time_share = 20;

// A matching entry: its long name, and the same in upper case to sort by.
struct entry {
    std::wstring upper;
    std::wstring name;
};

// A folder's listing, closed however the walk leaves it.
class listing
{
  public:
    listing(const std::wstring &folder, const std::wstring &filter, WIN32_FIND_DATAW &found)
        : find(find_first((folder + filter).c_str(), found))
    {
    }
    listing(const listing &) = delete;
    listing &operator=(const listing &) = delete;
    ~listing()
    {
        if (find != INVALID_HANDLE_VALUE) {
            FindClose(find);
        }
    }
    bool open() const
    {
        return find != INVALID_HANDLE_VALUE;
    }
    bool next(WIN32_FIND_DATAW &found) const
    {
        return FindNextFileW(find, &found) != 0;
    }

  private:
    static HANDLE find_first(const wchar_t *search, WIN32_FIND_DATAW &found)
    {
        // No short names, fetched in large blocks; Windows before 7 refuses
        // both, and is then asked as it understands.
        static bool basic_refused = false;
        if (!basic_refused) {
            HANDLE find = FindFirstFileExW(search, FindExInfoBasic, &found, FindExSearchNameMatch,
                                           nullptr, FIND_FIRST_EX_LARGE_FETCH);
            if (find != INVALID_HANDLE_VALUE || GetLastError() != ERROR_INVALID_PARAMETER) {
                return find;
            }
            basic_refused = true;
        }
        return FindFirstFileExW(search, FindExInfoStandard, &found, FindExSearchNameMatch, nullptr,
                                0);
    }

    HANDLE find;
};

bool is_dot_entry(const wchar_t *name)
{
    return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0;
}

// The entries of folder that match part, files or folders, in order. The
// system's own filter is given only the component's plain start: on the
// rest it counts a character beyond the BMP as two and reads ? and . its
// own way, so it could leave out a match. It also matches short names:
// each long name is matched here.
std::vector<entry> list_matches(const std::wstring &folder, const pattern_part &part, bool files)
{
    std::vector<entry> matches;
    WIN32_FIND_DATAW found{};
    const listing folder_listing(folder, part.filter, found);
    if (!folder_listing.open()) {
        return matches;
    }
    std::wstring upper;
    std::string upper_name;
    do {
        const bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (is_folder == files || is_dot_entry(found.cFileName)) {
            continue;
        }
        const std::size_t size = std::wcslen(found.cFileName);
        upper_case_into(found.cFileName, size, upper);
        upper_name.resize(upper.size() * 3 + 1);
        upper_name.resize(narrow_into(upper.data(), upper.size(), upper_name.data()));
        if (component_matches(part, upper_name)) {
            matches.push_back({upper, std::wstring(found.cFileName, size)});
        }
    } while (folder_listing.next(found));
    // Ordinal, ignoring case; names that differ only in case (a folder
    // that tells case apart) by their own code units.
    std::sort(matches.begin(), matches.end(), [](const entry &left, const entry &right) {
        return left.upper != right.upper ? left.upper < right.upper : left.name < right.name;
    });
    return matches;
}

// A literal component below a matched folder: "." stays, ".." goes up, as
// Windows reads them outside a \\?\ name, never above the drive or the
// share; any other is added to the path.
void step_into(std::wstring &path, const pattern_part &part, std::size_t root, bool last)
{
    switch (part.literal_step) {
    case step::stay:
        return;
    case step::up: {
        const std::size_t parent =
            path.size() > root + 1 ? path.rfind(L'\\', path.size() - 2) + 1 : 0;
        path.resize(std::max(parent, root));
        return;
    }
    case step::into:
        break;
    }
    path += part.literal;
    path += last ? L"" : part.path_separator;
}

// Calls visit(path, shown) for each file that the pattern stands for, from
// part index on, in order, until it returns true, and then returns true.
// path is the \\?\ path of the folder reached, shown its name as given with
// the wildcard components replaced by the folders they matched.
template <typename Visit>
bool walk(const pattern_name &pattern, std::size_t index, std::wstring &path, std::string &shown,
          Visit &visit)
{
    const pattern_part &part = pattern.parts[index];
    const bool last = index + 1 == pattern.parts.size();
    const std::size_t path_size = path.size();
    const std::size_t shown_size = shown.size();
    bool found = false;
    if (!part.wildcard) {
        step_into(path, part, pattern.exact_root, last);
        shown += part.given + part.separators;
        found = last ? visit(path, shown) : walk(pattern, index + 1, path, shown, visit);
    } else {
        for (const entry &match : list_matches(path, part, last)) {
            path.resize(path_size);
            shown.resize(shown_size);
            path += match.name;
            path += last ? L"" : part.path_separator;
            shown += narrowed(match.name.data(), match.name.size()) + part.separators;
            found = last ? visit(path, shown) : walk(pattern, index + 1, path, shown, visit);
            if (found) {
                break;
            }
        }
    }
    path.resize(path_size);
    shown.resize(shown_size);
    return found;
}

template <typename Visit> bool walk(const pattern_name &pattern, Visit &visit)
{
    if (pattern.parts.empty() || pattern.exact_prefix.empty()) {
        return false; // a pattern that could not be read: nothing matches
    }
    std::wstring path = pattern.exact_prefix;
    std::string shown = pattern.given_prefix;
    return walk(pattern, 0, path, shown, visit);
}

// A string that lives for the whole run; null when there is no memory.
const char *lasting(const std::string &text)
{
    auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.c_str(), text.size() + 1);
    }
    return copy;
}

std::int64_t now()
{
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

} // namespace

std::FILE *open_first_file(const pattern_name &pattern, const char *&held, bool *named_alike)
{
    std::FILE *file = nullptr;
    const char *name_held = nullptr;
    bool alike = false;
    auto visit = [&](const std::wstring &path, const std::string &shown) {
        // The runtime's open, as for a literal name, but of the exact path:
        // the file listed, never a device nor another name. One that fails
        // (a file locked by another program) is passed over until next time.
        file = _wfopen(path.c_str(), L"rb");
        if (file != nullptr) {
            name_held = lasting(shown);
            alike = named_alike != nullptr && exact_path(widened(shown.c_str())) == path;
        }
        return file != nullptr;
    };
    try {
        walk(pattern, visit);
    } catch (const std::bad_alloc &) {
    }
    if (file != nullptr && name_held == nullptr) {
        (void)std::fclose(file); // no memory for its name: tried again next time
        file = nullptr;
    }
    held = name_held;
    if (named_alike != nullptr) {
        *named_alike = file != nullptr && alike;
    }
    return file;
}

std::FILE *open_first_match(const pattern_name &pattern, attempt_costs &costs, const char *&held)
{
    const std::int64_t start = now();
    if (start < costs.due) {
        return nullptr;
    }
    std::FILE *file = open_first_file(pattern, held, nullptr);
    // A folder of many thousands of files, or many matches that do not
    // open, would make attempts every millisecond dear: they are spaced.
    costs.took[costs.attempts++ % attempt_costs::kept] = now() - start;
    costs.due =
        next_due(start, costs.took, std::min(costs.attempts, attempt_costs::kept), time_share);
    return file;
}
