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

// The first file that the pattern stands for and that opens now, opened
// through its exact \\?\ path; held is set to its name: the name as
// given, each wildcard component replaced by the entry it matched. Null,
// with held null, when none opens. Unless null, named_alike is set to
// whether that name, read as a literal name, names this very file: it does
// not where Windows would read it otherwise (a trailing dot that it drops,
// a device name).
std::FILE *open_first_file(const pattern_name &pattern, const char *&held, bool *named_alike);

// One attempt on the pattern, as above. Null when none opens, or when the
// attempt is left out: attempts are spaced so that they take a twentieth
// of the time at most.
std::FILE *open_first_match(const pattern_name &pattern, attempt_costs &costs, const char *&held);

#endif
