#ifndef FILEHOLDER_OPEN_FILE_H
#define FILEHOLDER_OPEN_FILE_H

#include <cstdio>

// One open of path for reading, without waiting: its descriptor, or -1 with
// error set to why (EISDIR for a directory, which never counts, EMFILE or
// ENFILE for want of a descriptor).
int open_file(const char *path, int &error);

// The stream for a descriptor open_file gave; null, with the descriptor
// closed, when there is no memory for it.
std::FILE *stream_of(int descriptor);

#endif
