#ifndef FILEHOLDER_OPENED_FILES_H
#define FILEHOLDER_OPENED_FILES_H

#include "candidates.h"
#include "clock.h"
#include "folder_tree.h"
#include "name_components.h"

#include <cstdint>

// The files that other programs opened in the marked folders, as the kernel
// hands them over (see open_marks.h): the one that is the awaited name, or
// a match of it, is held through the descriptor it came with.
//
// Each open of another file there costs an event, a descriptor and a look
// at its name. Reading them is paid from a credit that refills at a four
// hundredth of the time and holds 2 ms: while other files' opens come
// faster than that pays for, the marks are taken off, and put back once the
// credit is whole again, after 0.8 s at the least, and up to eight times that
// while storms follow one another; the folders are then listed, as opens
// went unseen. Meanwhile the waiting catches what it catches without them.
constexpr std::int64_t opens_share = 400;
constexpr std::int64_t opens_credit_held_ns = 2 * one_millisecond_ns;
constexpr std::int64_t storm_rest_ns = 800 * one_millisecond_ns;
// Marks that stay on this long have seen a storm pass.
constexpr std::int64_t storm_passed_ns = one_second_ns;

// Puts the marks back once the credit is whole again after a storm; true
// when it did: opens went unseen meanwhile.
bool marks_back(folder_tree &tree, const name_components &name);

// Reads what is queued, without waiting. Each file that is, as it is looked
// at, the awaited name or a match joins found with its descriptor and the
// name to show; every other descriptor is closed at once, unread. True when
// opens went unseen (a full queue, descriptors run out): the folders may
// hold what they told.
bool take_opened(folder_tree &tree, const name_components &name, candidate_list &found);

#endif
