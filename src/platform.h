#ifndef FILEHOLDER_PLATFORM_H
#define FILEHOLDER_PLATFORM_H

#include <cstdio>

// The little that differs between operating systems. Each platform has one
// implementation file; CMake picks it.
//
// A name travels between the pieces as a NUL-terminated string that lives
// for the whole run: the bytes as given on POSIX, UTF-8 on Windows, where it
// is converted only where it enters (the argument, the typed line) and
// leaves (the open, the messages).

// Runs first in main: nothing on the way may end the process, and the
// pauses must be as short as asked for.
void prepare_process();

// The first command-line argument, whole.
const char *first_argument(char **argv);

// The name typed on standard input: one line, read whole, cut at its first
// NUL, LF or CR.
const char *read_typed_name();

// Writes text, then name, then rest to standard output as one message, in
// a single write, so that nothing can come between its pieces.
void write_message(const char *text, const char *name = "", const char *rest = "");

// Runs once the name is known, right before the first attempt: what only
// the polling needs is taken here, not while a prompt waits for input.
void start_polling();

// One attempt to open name for reading in binary mode; it never blocks.
// Where name's last component is a pattern, the matching files in its folder
// are tried in name order until one opens, and held is set to the name of
// that file: the folder part of name as given, then the file's own name.
// Null on any failure; a directory never counts as opened.
std::FILE *try_open(const char *name, const char *&held);

// The pause after a failed attempt: 1 millisecond, cut short where the
// platform can tell, without disturbing the folder, that name's folder
// changed in a way that may let the next attempt succeed.
void wait_for_next_attempt(const char *name);

// Gives back what the waiting used, then blocks the only thread for good,
// with no periodic wake-up.
[[noreturn]] void idle_forever();

#endif
