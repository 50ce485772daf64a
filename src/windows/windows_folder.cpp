#include "windows_folder.h"

#include "pattern.h"
#include "windows_text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
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
constexpr LONGLONG time_share = 20;
constexpr std::size_t costs_kept = 8;

// The pattern name, split and converted once.
struct pattern_name {
    const char *made_from = nullptr;
    std::string folder;          // the folder part as given, UTF-8
    std::wstring search;         // the whole name in UTF-16, the search string
    std::size_t folder_size = 0; // the folder part's length in search
    std::string upper_leaf;      // the last component in upper case, UTF-8
};

// A matching file: its name, and the same in upper case to sort by.
struct match {
    std::wstring upper;
    std::wstring name;
};

std::wstring widened(const char *text)
{
    std::wstring wide(std::strlen(text) + 1, L'\0');
    wide.resize(widen(text, wide.data(), 0));
    return wide;
}

std::string narrowed(const std::wstring &wide)
{
    std::string narrow(wide.size() * 3 + 1, '\0');
    narrow.resize(narrow_into(wide.data(), wide.size(), narrow.data()));
    return narrow;
}

// Upper case as the file system compares names: the same in every locale.
std::wstring upper_case(const wchar_t *text, std::size_t size)
{
    const int length = static_cast<int>(size);
    std::wstring upper(size, L'\0');
    const int made =
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text, length, upper.data(), length);
    if (made <= 0) {
        return std::wstring(text, size);
    }
    upper.resize(made);
    return upper;
}

const pattern_name &prepared(const char *name)
{
    static pattern_name pattern;
    if (pattern.made_from != name) {
        const char *leaf = leaf_of(name);
        pattern.folder.assign(name, leaf - name);
        pattern.search = widened(name);
        const std::wstring wide_leaf = widened(leaf);
        pattern.folder_size = pattern.search.size() - wide_leaf.size();
        pattern.upper_leaf = narrowed(upper_case(wide_leaf.data(), wide_leaf.size()));
        pattern.made_from = name;
    }
    return pattern;
}

HANDLE find_first(const wchar_t *search, WIN32_FIND_DATAW &entry)
{
    // No short names, fetched in large blocks; Windows before 7 refuses
    // both, and is then asked as it understands.
    static bool basic_refused = false;
    if (!basic_refused) {
        HANDLE find = FindFirstFileExW(search, FindExInfoBasic, &entry, FindExSearchNameMatch,
                                       nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (find != INVALID_HANDLE_VALUE || GetLastError() != ERROR_INVALID_PARAMETER) {
            return find;
        }
        basic_refused = true;
    }
    return FindFirstFileExW(search, FindExInfoStandard, &entry, FindExSearchNameMatch, nullptr, 0);
}

// The files in the folder that match, in order. The folder is listed with
// the pattern, so that the file system leaves out most of what cannot
// match; it also matches short names, so each long name is checked here.
std::vector<match> list_matches(const pattern_name &pattern)
{
    std::vector<match> matches;
    WIN32_FIND_DATAW entry{};
    HANDLE find = find_first(pattern.search.c_str(), entry);
    if (find == INVALID_HANDLE_VALUE) {
        return matches;
    }
    std::string upper_name;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        const std::size_t size = std::wcslen(entry.cFileName);
        std::wstring upper = upper_case(entry.cFileName, size);
        upper_name.resize(upper.size() * 3 + 1);
        narrow_into(upper.data(), upper.size(), upper_name.data());
        if (pattern_matches(pattern.upper_leaf.c_str(), upper_name.c_str(), false)) {
            matches.push_back({std::move(upper), std::wstring(entry.cFileName, size)});
        }
    } while (FindNextFileW(find, &entry) != 0);
    FindClose(find);
    // Ordinal, ignoring case; names that differ only in case (a folder
    // that tells case apart) by their own code units.
    std::sort(matches.begin(), matches.end(), [](const match &left, const match &right) {
        return left.upper != right.upper ? left.upper < right.upper : left.name < right.name;
    });
    return matches;
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

LONGLONG now()
{
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

} // namespace

const char *leaf_of(const char *name)
{
    // A drive's "C:" ends a component, as \ and / do.
    const char letter = static_cast<char>(name[0] | 0x20);
    const bool drive = letter >= 'a' && letter <= 'z' && name[1] == ':';
    const char *leaf = drive ? name + 2 : name;
    for (const char *at = leaf; *at != '\0'; ++at) {
        if (*at == '\\' || *at == '/') {
            leaf = at + 1;
        }
    }
    return leaf;
}

const char *first_file_match(const char *name)
{
    try {
        const pattern_name &pattern = prepared(name);
        const std::vector<match> matches = list_matches(pattern);
        if (!matches.empty()) {
            return lasting(pattern.folder + narrowed(matches.front().name));
        }
    } catch (const std::bad_alloc &) {
    }
    return nullptr;
}

std::FILE *open_first_match(const char *name, const char *&held)
{
    static LONGLONG took[costs_kept] = {};
    static std::size_t attempts = 0;
    static LONGLONG next_due = 0;
    const LONGLONG start = now();
    if (start < next_due) {
        return nullptr;
    }
    std::FILE *file = nullptr;
    const char *name_held = nullptr;
    try {
        const pattern_name &pattern = prepared(name);
        for (const match &found : list_matches(pattern)) {
            const std::wstring path = pattern.search.substr(0, pattern.folder_size) + found.name;
            // The same open as for a literal name; one that fails (a file
            // locked by another program) is passed over until next time.
            file = _wfopen(path.c_str(), L"rb");
            if (file != nullptr) {
                name_held = lasting(pattern.folder + narrowed(found.name));
                break;
            }
        }
    } catch (const std::bad_alloc &) {
    }
    if (file != nullptr && name_held == nullptr) {
        (void)std::fclose(file); // no memory for its name: tried again next time
        file = nullptr;
    }
    held = name_held;
    // A folder of many thousands of files, or many matches that do not
    // open, would make attempts every millisecond dear: they are spaced.
    took[attempts++ % costs_kept] = now() - start;
    next_due = start + *std::min_element(took, took + costs_kept) * time_share;
    return file;
}
