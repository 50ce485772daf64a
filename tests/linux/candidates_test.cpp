#include "candidates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

// The rows that run out of memory ask for more than any machine has; under
// AddressSanitizer such a request must fail as it does without it.
#ifdef __SANITIZE_ADDRESS__
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the sanitizer's hook
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}
#endif

namespace
{

bool is_open(int descriptor)
{
    return fcntl(descriptor, F_GETFD) != -1;
}

// A descriptor of its own for a candidate to hold.
int open_descriptor()
{
    const int descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_GE(descriptor, 0);
    return descriptor;
}

std::vector<std::string> split(const char *names)
{
    std::vector<std::string> parts;
    std::string part;
    for (const char *at = names;; ++at) {
        if (*at == ' ' || *at == '\0') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
            if (*at == '\0') {
                return parts;
            }
        } else {
            part += *at;
        }
    }
}

// The candidates named, space apart and in that order; a name that ends in
// '+' holds a descriptor (the '+' is not part of it).
candidate_list make_list(const char *names)
{
    candidate_list list;
    for (std::string name : split(names)) {
        candidate item;
        if (name.back() == '+') {
            name.pop_back();
            item.descriptor = open_descriptor();
        }
        item.path = strdup(name.c_str());
        EXPECT_TRUE(add_candidate(list, item));
    }
    return list;
}

// The names of the list, space apart.
std::string shown(const candidate_list &list)
{
    std::string text;
    for (std::size_t i = 0; i < list.count; ++i) {
        text += (i == 0 ? "" : " ") + std::string(list.items[i].path);
    }
    return text;
}

std::vector<int> descriptors(const candidate_list &list)
{
    std::vector<int> held;
    for (std::size_t i = 0; i < list.count; ++i) {
        if (list.items[i].descriptor >= 0) {
            held.push_back(list.items[i].descriptor);
        }
    }
    return held;
}

void free_list(candidate_list &list)
{
    clear_candidates(list);
    std::free(list.items);
    std::free(list.last_taken);
    list = candidate_list{};
}

TEST(candidates, compare_names_puts_a_separator_before_every_other_byte)
{
    struct row {
        const char *left, *right;
        int order; // the sign of compare_names(left, right)
    };
    const row rows[] = {
        {"a", "a", 0},
        {"", "", 0},
        {"a/b", "a/b", 0},
        {"a", "b", -1},
        {"a", "ab", -1},       // a name before its longer ones
        {"a", "a/b", -1},      // a folder's own name before what it holds
        {"a/z", "a-b/a", -1},  // whole components: a before a-b
        {"a/z", "a.b", -1},    // '.' is below '/' in bytes, not here
        {"a/b", "a\001b", -1}, // before even the lowest byte
        {"a/\001", "a\001/", -1},
        {"B", "a", -1},        // bytes, not a locale's order
        {"z", "\xc3\xa9", -1}, // bytes without a sign: é after z
        {"\x7f", "\x80", -1},
        {"a/b/c", "a/bc", -1},
    };
    for (const row &r : rows) {
        const int order = compare_names(r.left, r.right);
        EXPECT_EQ((order > 0) - (order < 0), r.order) << r.left << " : " << r.right;
        const int reverse = compare_names(r.right, r.left);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -r.order) << r.right << " : " << r.left;
    }
}

TEST(candidates, add_candidate_keeps_the_order_given_as_the_list_grows)
{
    for (const std::size_t added : {1, 2, 3, 1000}) {
        candidate_list list;
        for (std::size_t i = added; i > 0; --i) {
            candidate item;
            item.path = strdup(std::to_string(i).c_str());
            item.type = static_cast<unsigned char>(i % 256);
            ASSERT_TRUE(add_candidate(list, item));
        }
        ASSERT_EQ(list.count, added);
        EXPECT_GE(list.room, added);
        for (std::size_t i = 0; i < added; ++i) {
            EXPECT_EQ(list.items[i].path, std::to_string(added - i));
            EXPECT_EQ(list.items[i].type, (added - i) % 256);
            EXPECT_EQ(list.items[i].descriptor, -1);
        }
        free_list(list);
    }
}

TEST(candidates, sort_candidates_orders_by_name_and_merges_names_that_stand_twice)
{
    struct row {
        const char *given, *sorted;
    };
    const row rows[] = {
        {"", ""},
        {"a", "a"},
        {"c a b", "a b c"},
        {"a-b/a a/z", "a/z a-b/a"}, // folder by folder
        {"a.b a/z a", "a a/z a.b"},
        {"x/y x x/", "x x/ x/y"},
        {"b a b a b", "a b"},
        {"a/b a\001b a/b", "a/b a\001b"},
        {"\xc3\xa9 z B a", "B a z \xc3\xa9"},
    };
    for (const row &r : rows) {
        candidate_list list = make_list(r.given);
        sort_candidates(list);
        EXPECT_EQ(shown(list), r.sorted) << r.given;
        free_list(list);
    }
}

// Two candidates of one name, as a listing and an event may both give it.
struct twin_row {
    bool first_open, second_open; // each holds a descriptor
    bool first_polled, second_polled;
    unsigned char first_type, second_type;
    unsigned char type; // what the merged one keeps
};

const twin_row twin_rows[] = {
    {false, false, false, false, 0, 0, 0},
    {true, false, false, false, 0, 0, 0},
    {false, true, false, false, 0, 0, 0},
    {true, true, false, false, 0, 0, 0}, // one kept, the other closed
    {false, false, true, false, 0, 0, 0},
    {false, false, false, true, 0, 0, 0},
    {false, false, false, false, DT_LNK, 0, DT_LNK}, // what a listing told
    {false, false, false, false, 0, DT_REG, DT_REG},
    {true, false, true, false, DT_REG, DT_REG, DT_REG},
};

candidate twin(bool open, bool polled, unsigned char type)
{
    candidate item;
    item.path = strdup("m");
    item.descriptor = open ? open_descriptor() : -1;
    item.polled = polled;
    item.type = type;
    return item;
}

// Checks the one candidate named m that is left of a twin row: it holds a
// descriptor where either did, and the other is closed.
void check_merged(const candidate_list &list, const twin_row &r, int first, int second)
{
    ASSERT_EQ(shown(list), "a m z");
    const candidate &merged = list.items[1];
    EXPECT_EQ(merged.polled, r.first_polled || r.second_polled);
    EXPECT_EQ(merged.type, r.type);
    if (!r.first_open && !r.second_open) {
        EXPECT_EQ(merged.descriptor, -1);
        return;
    }
    EXPECT_TRUE(merged.descriptor == first || merged.descriptor == second);
    EXPECT_TRUE(is_open(merged.descriptor));
    for (const int opened : {first, second}) {
        if (opened >= 0 && opened != merged.descriptor) {
            EXPECT_FALSE(is_open(opened)) << opened;
        }
    }
}

TEST(candidates, sort_candidates_keeps_one_descriptor_of_a_name_that_stands_twice)
{
    for (const twin_row &r : twin_rows) {
        // Apart, with a name before them and one after.
        candidate_list list = make_list("z");
        const candidate first = twin(r.first_open, r.first_polled, r.first_type);
        ASSERT_TRUE(add_candidate(list, first));
        candidate before;
        before.path = strdup("a");
        ASSERT_TRUE(add_candidate(list, before));
        const candidate second = twin(r.second_open, r.second_polled, r.second_type);
        ASSERT_TRUE(add_candidate(list, second));
        sort_candidates(list);
        check_merged(list, r, first.descriptor, second.descriptor);
        free_list(list);
    }
}

TEST(candidates, merge_candidates_keeps_one_descriptor_of_a_name_in_both)
{
    for (const twin_row &r : twin_rows) {
        candidate_list list = make_list("a z");
        const candidate first = twin(r.first_open, r.first_polled, r.first_type);
        ASSERT_TRUE(add_candidate(list, first));
        sort_candidates(list);
        candidate_list more;
        const candidate second = twin(r.second_open, r.second_polled, r.second_type);
        ASSERT_TRUE(add_candidate(more, second));
        merge_candidates(list, more);
        EXPECT_EQ(more.count, 0U);
        check_merged(list, r, first.descriptor, second.descriptor);
        free_list(list);
        free_list(more);
    }
}

TEST(candidates, holds_candidate_finds_the_names_of_a_sorted_list)
{
    struct row {
        const char *list, *path;
        bool held;
    };
    const char *const some = "b a-b a/b a";
    const row rows[] = {
        {"", "a", false},
        {"", "", false},
        {some, "a", true},
        {some, "a/b", true},
        {some, "a-b", true},
        {some, "b", true},
        {some, "a/", false},
        {some, "a/c", false},
        {some, "0", false}, // before the first
        {some, "c", false}, // after the last
        {some, "", false},
        {"a/b a\001b", "a/b", true}, // names that differ only there
        {"a/b a\001b", "a\001b", true},
        {"a\001b", "a/b", false},
        {"a/b", "a\001b", false},
    };
    for (const row &r : rows) {
        candidate_list list = make_list(r.list);
        sort_candidates(list);
        EXPECT_EQ(holds_candidate(list, r.path), r.held) << r.list << " : " << r.path;
        free_list(list);
    }
}

TEST(candidates, merge_candidates_moves_the_others_in_and_merges_names_in_both)
{
    struct row {
        const char *list, *more, *merged;
    };
    const row rows[] = {
        {"", "", ""},
        {"a b", "", "a b"},
        {"", "c a b", "a b c"}, // the others need not be sorted
        {"a c e", "b d f", "a b c d e f"},
        {"a b", "c d", "a b c d"}, // all after
        {"c d", "a b", "a b c d"}, // all before
        {"a d", "b c", "a b c d"}, // all between
        {"a b c", "b", "a b c"},   // a name in both once
        {"a b c", "c b a", "a b c"},
        {"b", "a a c c", "a b c"},
        {"a-b/a", "a/z", "a/z a-b/a"},
        {"a/b", "a\001b", "a/b a\001b"},
    };
    for (const row &r : rows) {
        candidate_list list = make_list(r.list);
        sort_candidates(list);
        candidate_list more = make_list(r.more);
        merge_candidates(list, more);
        EXPECT_EQ(shown(list), r.merged) << r.list << " + " << r.more;
        EXPECT_EQ(more.count, 0U) << r.list << " + " << r.more;
        free_list(list);
        free_list(more);
    }
}

TEST(candidates, remove_candidates_frees_what_it_drops_and_keeps_the_rest_in_order)
{
    struct row {
        const char *list, *prefix, *kept;
    };
    const row rows[] = {
        {"", "a/", ""},
        {"a/x a/y b/x", "a/", "b/x"},
        {"a/x b/x c/x", "b/", "a/x c/x"},
        {"a/x b/x", "c/", "a/x b/x"},
        {"a/x b/x", "", ""},
        {"a/x a-b/y a/z", "a/", "a-b/y"},
    };
    // Drops the candidates whose path starts with the context.
    const auto starts_with = [](const candidate &item, const void *context) {
        const auto *prefix = static_cast<const char *>(context);
        return std::strncmp(item.path, prefix, std::strlen(prefix)) == 0;
    };
    for (const row &r : rows) {
        candidate_list list = make_list(r.list);
        sort_candidates(list);
        // Every one holds a descriptor: a dropped one's is closed.
        std::vector<std::pair<std::string, int>> opened;
        for (std::size_t i = 0; i < list.count; ++i) {
            list.items[i].descriptor = open_descriptor();
            opened.emplace_back(list.items[i].path, list.items[i].descriptor);
        }
        remove_candidates(list, starts_with, r.prefix);
        EXPECT_EQ(shown(list), r.kept) << r.list << " - " << r.prefix;
        for (const auto &[path, descriptor] : opened) {
            const bool kept = holds_candidate(list, path.c_str());
            EXPECT_EQ(is_open(descriptor), kept) << path;
        }
        for (std::size_t i = 0; i < list.count; ++i) {
            EXPECT_GE(list.items[i].descriptor, 0) << list.items[i].path;
        }
        free_list(list);
    }
}

TEST(candidates, clear_candidates_closes_every_descriptor_and_leaves_an_empty_list)
{
    for (const char *names : {"", "a", "a+", "a+ b c+", "a b c", "a+ b+ c+ d+"}) {
        candidate_list list = make_list(names);
        const std::vector<int> held = descriptors(list);
        clear_candidates(list);
        EXPECT_EQ(list.count, 0U) << names;
        for (const int descriptor : held) {
            EXPECT_FALSE(is_open(descriptor)) << names;
        }
        // Still a list to add to.
        candidate item;
        item.path = strdup("z");
        ASSERT_TRUE(add_candidate(list, item));
        EXPECT_EQ(shown(list), "z");
        free_list(list);
    }
}

// One call of a take_candidates row, or what comes and goes between two.
struct step {
    char what; // t: take, back they come (they did not open); o: take, and
               // they are gone (one opened); a: add names; d: drop names
    std::size_t count;
    const char *names; // taken, or those added or dropped
    bool round_end;    // what a take returns
};

void run_step(candidate_list &list, const step &s, const std::string &row)
{
    if (s.what == 'a') {
        candidate_list more = make_list(s.names);
        merge_candidates(list, more);
        free_list(more);
        return;
    }
    if (s.what == 'd') {
        const auto named = [](const candidate &item, const void *context) {
            const std::vector<std::string> names = split(static_cast<const char *>(context));
            return std::find(names.begin(), names.end(), item.path) != names.end();
        };
        remove_candidates(list, named, s.names);
        return;
    }
    candidate_list taken;
    const std::size_t before = list.count;
    EXPECT_EQ(take_candidates(list, s.count, taken), s.round_end) << row;
    EXPECT_EQ(shown(taken), s.names) << row;
    EXPECT_EQ(list.count + taken.count, before) << row;
    if (s.what == 't') {
        merge_candidates(list, taken);
    }
    free_list(taken);
}

TEST(candidates, take_candidates_goes_round_in_name_order_whatever_comes_and_goes)
{
    struct row {
        const char *about, *list;
        std::vector<step> steps;
    };
    const row rows[] = {
        {"rounds in name order",
         "e d c b a",
         {{'t', 2, "a b", false},
          {'t', 2, "c d", false},
          {'t', 2, "e", true},
          {'t', 2, "a b", false}}},
        {"a round that ends with a take",
         "a b c d",
         {{'t', 2, "a b", false}, {'t', 2, "c d", true}, {'t', 2, "a b", false}}},
        {"more asked than there are", "b a", {{'t', 5, "a b", true}, {'t', 5, "a b", true}}},
        {"nothing asked", "a b", {{'t', 0, "", false}, {'t', 1, "a", false}}},
        {"an empty list", "", {{'t', 3, "", true}, {'a', 0, "a", false}, {'t', 3, "a", true}}},
        {"folder by folder",
         "a-b/a a/z a/b",
         {{'t', 1, "a/b", false}, {'t', 1, "a/z", false}, {'t', 1, "a-b/a", true}}},
        {"a name after the last taken comes in this round, one before it in the next",
         "a c e",
         {{'t', 1, "a", false},
          {'a', 0, "b 0", false},
          {'t', 1, "b", false},
          {'t', 5, "c e", true},
          {'t', 5, "0 a b c e", true}}},
        {"the name taken last gone",
         "a b c d",
         {{'t', 2, "a b", false}, {'d', 0, "b", false}, {'t', 1, "c", false}, {'t', 5, "d", true}}},
        {"those that opened are gone",
         "a b c",
         {{'o', 1, "a", false}, {'o', 1, "b", false}, {'o', 1, "c", true}, {'t', 1, "", true}}},
        {"all after the name taken last gone: the round ends, the next begins at the first",
         "a b c",
         {{'t', 2, "a b", false}, {'d', 0, "c", false}, {'t', 2, "", true}, {'t', 2, "a b", true}}},
        {"the list emptied meanwhile",
         "a b c",
         {{'o', 1, "a", false},
          {'d', 0, "b c", false},
          {'t', 1, "", true},
          {'a', 0, "0 z", false},
          {'t', 1, "0", false}}},
    };
    for (const row &r : rows) {
        candidate_list list = make_list(r.list);
        sort_candidates(list);
        for (std::size_t i = 0; i < r.steps.size(); ++i) {
            run_step(list, r.steps[i], std::string(r.about) + ", step " + std::to_string(i + 1));
        }
        free_list(list);
    }
}

TEST(candidates, take_candidates_moves_each_whole)
{
    candidate_list list = make_list("b a+");
    ASSERT_EQ(list.count, 2U);
    list.items[1].polled = true;
    list.items[1].type = DT_LNK;
    const int descriptor = list.items[1].descriptor;
    sort_candidates(list);
    candidate_list taken;
    EXPECT_FALSE(take_candidates(list, 1, taken));
    ASSERT_EQ(shown(taken), "a");
    EXPECT_EQ(taken.items[0].descriptor, descriptor);
    EXPECT_TRUE(is_open(descriptor));
    EXPECT_TRUE(taken.items[0].polled);
    EXPECT_EQ(taken.items[0].type, DT_LNK);
    EXPECT_EQ(shown(list), "b");
    free_list(taken);
    EXPECT_FALSE(is_open(descriptor));
    free_list(list);
}

// A list that claims more candidates than memory can hold: growing it fails,
// and what was given is released, its descriptor closed.
TEST(candidates, no_memory_releases_what_was_given)
{
    candidate_list full;
    full.count = SIZE_MAX / (2 * sizeof(candidate));

    candidate item;
    item.path = strdup("a");
    item.descriptor = open_descriptor();
    EXPECT_FALSE(add_candidate(full, item));
    EXPECT_FALSE(is_open(item.descriptor));
    EXPECT_EQ(full.count, SIZE_MAX / (2 * sizeof(candidate)));
    EXPECT_EQ(full.items, nullptr);

    // Merged into it, the others are dropped: a listing finds them again.
    candidate_list more = make_list("b+ a+");
    const std::vector<int> held = descriptors(more);
    merge_candidates(full, more);
    EXPECT_EQ(more.count, 0U);
    for (const int descriptor : held) {
        EXPECT_FALSE(is_open(descriptor));
    }
    EXPECT_EQ(full.count, SIZE_MAX / (2 * sizeof(candidate)));
    full.count = 0;
    free_list(more);
}

} // namespace
