#ifndef FILEHOLDER_CONSOLE_LINE_H
#define FILEHOLDER_CONSOLE_LINE_H

// Reads one line from standard input, whole: up to and including its line
// feed, or to the end of input. Returns what comes before its first NUL, LF
// or CR, as a NUL-terminated string; one that is not empty comes from
// malloc. The end of input, a read error or no memory for the line give the
// empty string, never a part of the line.
const char *read_console_line();

#endif
