#ifndef FILEHOLDER_WINDOWS_INPUT_H
#define FILEHOLDER_WINDOWS_INPUT_H

#include <windows.h>

// The name in the first line of a pipe or a file, read through the line
// reader as bytes or UTF-16 and decoded whole (see name_from_line); the
// empty string when it cannot be. A file is left just after the line's end.
const char *read_piped_name(HANDLE handle);

#endif
