#ifndef FILEHOLDER_WINDOWS_FOLDER_H
#define FILEHOLDER_WINDOWS_FOLDER_H

#include <cstdio>

// A name whose last component holds * or ? stands for the files in its
// folder that match it: case ignored, long names only, in ordinal order
// ignoring case. The folder is listed at each attempt and its handle closed
// at once: nothing on it is kept between attempts.

// The last component of name: what follows its last \ or /, or a drive's
// "C:". The ? of a \\?\ prefix is never in it.
const char *leaf_of(const char *name);

// The first file (never a folder) that the pattern name matches now, as the
// folder part of name, exactly as given, then the file's name; null when
// none does.
const char *first_file_match(const char *name);

// One attempt on the pattern name: the matching files are tried in order
// until one opens, and held is set to its name, made as above. Null when
// none opens, or when the attempt is left out: where listing the folder
// takes long, attempts are spaced so that they take a tenth of the time.
std::FILE *open_first_match(const char *name, const char *&held);

#endif
