#include "folder_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace
{

constexpr int never_used = -1;
constexpr int removed = -2;

// The folders under key, each as often as index_next gives it, in order.
std::vector<int> found(const folder_index &index, std::uint64_t key)
{
    std::vector<int> folders;
    std::size_t cursor = 0;
    for (int folder = 0; (folder = index_next(index, key, cursor)) >= 0;) {
        folders.push_back(folder);
        if (folders.size() > index.size) {
            ADD_FAILURE() << "index_next does not end for key " << key;
            break;
        }
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

// What the slots must be after any call: a power of two of them, at most
// half of them used, and used counting the removed ones too.
void check_slots(const folder_index &index, const std::string &about)
{
    EXPECT_EQ(index.size & (index.size - 1), 0U) << about;
    std::size_t used = 0;
    for (std::size_t i = 0; i < index.size; ++i) {
        used += index.slots[i].folder == never_used ? 0 : 1;
    }
    EXPECT_EQ(index.used, used) << about;
    EXPECT_LE(2 * index.used, index.size) << about;
}

std::size_t removed_slots(const folder_index &index)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < index.size; ++i) {
        count += index.slots[i].folder == removed ? 1 : 0;
    }
    return count;
}

void free_index(folder_index &index)
{
    std::free(index.slots);
    index = folder_index{};
}

std::uint64_t folder_key(std::size_t number)
{
    return path_key(("/tmp/folder " + std::to_string(number)).c_str());
}

TEST(folder_index, adds_removes_and_looks_up_by_the_table)
{
    struct change {
        char what; // a: add, r: remove
        std::uint64_t key;
        int folder;
    };
    struct lookup {
        std::uint64_t key;
        std::vector<int> folders; // in order
    };
    struct row {
        const char *about;
        std::vector<change> changes;
        std::vector<lookup> lookups;
        std::size_t used;
    };
    const row rows[] = {
        {"an empty index", {}, {{1, {}}, {0, {}}}, 0},
        {"a remove from an empty index", {{'r', 1, 0}}, {{1, {}}}, 0},
        {"one folder", {{'a', 1, 0}}, {{1, {0}}, {2, {}}}, 1},
        {"key 0 as any other", {{'a', 0, 3}, {'a', 5, 1}}, {{0, {3}}, {5, {1}}}, 2},
        {"key 0 with no folder", {{'a', 5, 1}}, {{0, {}}}, 1},
        {"several folders under one key",
         {{'a', 7, 0}, {'a', 7, 1}, {'a', 7, 2}, {'a', 8, 3}},
         {{7, {0, 1, 2}}, {8, {3}}, {9, {}}},
         4},
        {"a removed one skipped",
         {{'a', 7, 0}, {'a', 7, 1}, {'a', 7, 2}, {'r', 7, 1}},
         {{7, {0, 2}}},
         3},
        {"all removed", {{'a', 7, 0}, {'a', 7, 1}, {'r', 7, 1}, {'r', 7, 0}}, {{7, {}}}, 2},
        {"a remove needs key and folder",
         {{'a', 7, 0}, {'r', 7, 5}, {'r', 8, 0}},
         {{7, {0}}, {8, {}}},
         1},
        {"one folder under two keys",
         {{'a', 1, 5}, {'a', 2, 5}, {'r', 1, 5}},
         {{1, {}}, {2, {5}}},
         2},
        {"a removed slot reused", {{'a', 7, 0}, {'r', 7, 0}, {'a', 7, 1}}, {{7, {1}}}, 1},
        {"removed, then added again", {{'a', 7, 0}, {'r', 7, 0}, {'a', 7, 0}}, {{7, {0}}}, 1},
        {"a folder added twice, removed once",
         {{'a', 7, 4}, {'a', 7, 4}, {'r', 7, 4}},
         {{7, {4}}},
         2},
        {"large keys and folders",
         {{'a', UINT64_MAX, 1000000}, {'a', UINT64_MAX - 1, 0}},
         {{UINT64_MAX, {1000000}}, {UINT64_MAX - 1, {0}}},
         2},
    };
    for (const row &r : rows) {
        folder_index index;
        for (const change &c : r.changes) {
            if (c.what == 'a') {
                EXPECT_TRUE(index_add(index, c.key, c.folder)) << r.about;
            } else {
                index_remove(index, c.key, c.folder);
            }
            check_slots(index, r.about);
        }
        for (const lookup &l : r.lookups) {
            EXPECT_EQ(found(index, l.key), l.folders) << r.about << ", key " << l.key;
        }
        EXPECT_EQ(index.used, r.used) << r.about;
        free_index(index);
    }
}

TEST(folder_index, path_key_is_the_same_for_the_same_path_only)
{
    struct row {
        const char *left, *right;
        bool same;
    };
    const row rows[] = {
        {"", "", true},
        {"/tmp/a", "/tmp/a", true},
        {"/tmp/a", "/tmp/b", false},
        {"", "/", false},
        {"a", "a/", false},
        {"ab", "ba", false},
        {"a/b", "a-b", false},
        {"/tmp/a\x7f", "/tmp/a\xff", false},
        {"\x01", "\x02", false},
    };
    for (const row &r : rows) {
        // Copies: the key is of the bytes, not where they are.
        const std::string left = r.left;
        const std::string right = r.right;
        EXPECT_EQ(path_key(left.c_str()) == path_key(right.c_str()), r.same)
            << r.left << " : " << r.right;
    }
    std::set<std::uint64_t> keys;
    for (std::size_t i = 0; i < 20000; ++i) {
        keys.insert(folder_key(i));
    }
    EXPECT_EQ(keys.size(), 20000U);
}

TEST(folder_index, grows_through_thousands_and_finds_every_folder)
{
    struct row {
        std::size_t added, removed_every, added_after;
    };
    const row rows[] = {
        {100, 2, 100},
        {5000, 2, 5000},
        {5000, 1, 3000}, // all removed, then others
        {3000, 3, 10000},
    };
    for (const row &r : rows) {
        const std::string about = std::to_string(r.added) + " / " +
                                  std::to_string(r.removed_every) + " + " +
                                  std::to_string(r.added_after);
        folder_index index;
        std::map<int, bool> live; // each folder, and whether it is in the index
        const auto add = [&](std::size_t number) {
            // A growth makes the slots anew, without the removed ones.
            const bool grows = 2 * (index.used + 1) > index.size;
            ASSERT_TRUE(index_add(index, folder_key(number), static_cast<int>(number)));
            live[static_cast<int>(number)] = true;
            if (grows) {
                EXPECT_EQ(removed_slots(index), 0U) << about;
            }
            EXPECT_LE(2 * index.used, index.size) << about;
        };
        for (std::size_t i = 0; i < r.added; ++i) {
            add(i);
        }
        check_slots(index, about);
        for (std::size_t i = 0; i < r.added; i += r.removed_every) {
            index_remove(index, folder_key(i), static_cast<int>(i));
            live[static_cast<int>(i)] = false;
        }
        check_slots(index, about);
        for (std::size_t i = r.added; i < r.added + r.added_after; ++i) {
            add(i);
        }
        check_slots(index, about);
        for (const auto &[folder, in_index] : live) {
            const std::vector<int> expected =
                in_index ? std::vector<int>{folder} : std::vector<int>{};
            EXPECT_EQ(found(index, folder_key(static_cast<std::size_t>(folder))), expected)
                << about << ", folder " << folder;
        }
        free_index(index);
    }
}

TEST(folder_index, removed_slots_do_not_make_it_grow)
{
    // Folders that come and go, one at a time, beside one that stays: the
    // slots stay as few as for two.
    folder_index index;
    ASSERT_TRUE(index_add(index, folder_key(0), 0));
    const std::size_t size = index.size;
    for (std::size_t i = 1; i <= 20000; ++i) {
        ASSERT_TRUE(index_add(index, folder_key(i), static_cast<int>(i)));
        index_remove(index, folder_key(i), static_cast<int>(i));
    }
    check_slots(index, "come and go");
    EXPECT_EQ(index.size, size);
    EXPECT_EQ(found(index, folder_key(0)), std::vector<int>{0});
    EXPECT_EQ(found(index, folder_key(20000)), std::vector<int>{});
    free_index(index);
}

TEST(folder_index, many_folders_under_one_key)
{
    for (const int count : {2, 64, 1000}) {
        folder_index index;
        std::vector<int> of_42;
        std::vector<int> of_43;
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(index_add(index, 42, 2 * i));
            ASSERT_TRUE(index_add(index, 43, 2 * i + 1));
            of_42.push_back(2 * i);
            of_43.push_back(2 * i + 1);
        }
        check_slots(index, "two keys");
        EXPECT_EQ(found(index, 42), of_42);
        EXPECT_EQ(found(index, 43), of_43);
        EXPECT_EQ(found(index, 44), std::vector<int>{});
        // Every third of key 42 removed, then added again.
        std::vector<int> left;
        for (int i = 0; i < count; ++i) {
            if (i % 3 == 0) {
                index_remove(index, 42, 2 * i);
            } else {
                left.push_back(2 * i);
            }
        }
        EXPECT_EQ(found(index, 42), left) << count;
        EXPECT_EQ(found(index, 43), of_43) << count;
        for (int i = 0; i < count; i += 3) {
            ASSERT_TRUE(index_add(index, 42, 2 * i));
        }
        check_slots(index, "added again");
        EXPECT_EQ(found(index, 42), of_42) << count;
        free_index(index);
    }
}

// The slot where key lands in the smallest table, alone.
std::size_t home_slot(std::uint64_t key)
{
    folder_index index;
    EXPECT_TRUE(index_add(index, key, 0));
    std::size_t home = 0;
    while (index.slots[home].folder != 0) {
        ++home;
    }
    free_index(index);
    return home;
}

TEST(folder_index, keys_that_land_in_one_slot_are_found_past_each_other)
{
    // Four different keys whose slot is the same: each after the other in
    // the table.
    std::map<std::size_t, std::vector<std::uint64_t>> by_home;
    std::vector<std::uint64_t> keys;
    for (std::uint64_t key = 1; keys.empty(); ++key) {
        std::vector<std::uint64_t> &same = by_home[home_slot(key)];
        same.push_back(key);
        if (same.size() == 4) {
            keys = same;
        }
    }
    struct row {
        std::vector<int> removed;               // of the four, by their order
        std::vector<std::vector<int>> expected; // under each key
    };
    const row rows[] = {
        {{}, {{0}, {1}, {2}, {3}}}, {{0}, {{}, {1}, {2}, {3}}},
        {{1}, {{0}, {}, {2}, {3}}}, {{0, 1, 2}, {{}, {}, {}, {3}}},
        {{3}, {{0}, {1}, {2}, {}}}, {{0, 1, 2, 3}, {{}, {}, {}, {}}},
    };
    for (const row &r : rows) {
        folder_index index;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            ASSERT_TRUE(index_add(index, keys[i], static_cast<int>(i)));
        }
        for (const int i : r.removed) {
            index_remove(index, keys[static_cast<std::size_t>(i)], i);
        }
        check_slots(index, "one slot");
        for (std::size_t i = 0; i < keys.size(); ++i) {
            EXPECT_EQ(found(index, keys[i]), r.expected[i]) << "key " << i;
        }
        // A folder added now takes a removed slot, where there is one.
        const std::size_t used = index.used;
        ASSERT_TRUE(index_add(index, keys[0], 9));
        EXPECT_EQ(index.used, used + (r.removed.empty() ? 1 : 0));
        free_index(index);
    }
}

} // namespace
