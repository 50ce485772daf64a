#ifndef FILEHOLDER_WINDOWS_FOLDER_H
#define FILEHOLDER_WINDOWS_FOLDER_H

#include "windows_name.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The files a pattern stands for, found by walking its folders level by
// level: each wildcard component's folder is listed and its handle closed at
// once, so that nothing on a folder is kept between attempts. Case ignored,
// long names only; a wildcard component before the last matches folders,
// the last one files. The order is name order (ordinal, ignoring case),
// folder by folder: every file under the first matching folder comes before
// any under the second.

// How long the last attempts on a pattern took, to space the next ones.
struct attempt_costs {
    static constexpr std::size_t kept = 8;
    std::int64_t took[kept] = {};
    std::size_t attempts = 0;
    std::int64_t due = 0; // no attempt before this performance-counter time
};

// The name of the first file that the pattern stands for now: the name as
// given, each wildcard component replaced by the entry it matched. Null when
// there is none, or when that name, read as a literal name, would open
// another file than the one matched (a trailing dot that Windows drops, a
// device name).
const char *first_file_match(const pattern_name &pattern);

// One attempt on the pattern: its files are opened in order, each through
// its exact \\?\ path, until one opens, and held is set to its name, made as
// above. Null when none opens, or when the attempt is left out: attempts are
// spaced so that they take a twentieth of the time at most.
std::FILE *open_first_match(const pattern_name &pattern, attempt_costs &costs, const char *&held);

#endif
