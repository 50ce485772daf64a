#ifndef FILEHOLDER_CONSOLE_LINE_H
#define FILEHOLDER_CONSOLE_LINE_H

// Reads one line from standard input into buffer (size bytes) and cuts it at
// the first NUL, LF or CR. The buffer always ends up NUL-terminated with at
// most size - 1 characters; the rest of a longer line stays unread. Returns
// the number of characters kept.
int read_console_line(char *buffer, int size);

#endif
