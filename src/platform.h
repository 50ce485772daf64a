#ifndef FILEHOLDER_PLATFORM_H
#define FILEHOLDER_PLATFORM_H

#include <cstdio>

// The little that differs between operating systems: each has its folder of
// files behind these functions, and CMake picks it.
//
// A name travels between the pieces as a NUL-terminated string that lives
// for the whole run: the bytes as given on Linux, UTF-8 on Windows, where it
// is converted only where it enters (the argument, the typed line) and
// leaves (the open, the messages).

// What waiting on one name needs: the name taken apart once, and the
// platform's means of waiting on it. Each platform defines it; main only
// passes it on.
struct waiting;

// Runs first in main: nothing on the way may end the process, and the
// pauses must be as short as asked for.
void prepare_process();

// The first command-line argument, whole.
const char *first_argument(char **argv);

// The argument as it is awaited. Where no shell expands wildcards before the
// program starts (Windows), a pattern that matches a file now stands for
// its first match; elsewhere it is the argument itself.
const char *expand_argument(const char *argument);

// The name typed on standard input: one line, read whole, cut at its first
// NUL, LF or CR.
const char *read_typed_name();

// Writes text, then name, then rest to standard output as one message, in
// a single write, so that nothing can come between its pieces.
void write_message(const char *text, const char *name = "", const char *rest = "");

// Runs once the name is known and announced, right before the first
// attempt: the name is taken apart here, once, and what only the polling
// needs is taken here, never while a prompt waits for input.
waiting &start_waiting(const char *name);

// One attempt to open the awaited name for reading in binary mode; it never
// blocks. Where the name is a pattern, the matching files are tried in name
// order until one opens, and held is set to the name of that file: the
// name as given, each wildcard component replaced by the entry it matched.
// Null on any failure; a directory never counts as opened.
std::FILE *try_open(waiting &state, const char *&held);

// The pause after a failed attempt: 1 millisecond, cut short where the
// platform can tell, without disturbing the folders, that a change may let
// the next attempt succeed.
void wait_for_next_attempt(waiting &state);

// Gives back what the waiting used, then blocks the only thread for good,
// with no periodic wake-up.
[[noreturn]] void idle_forever(waiting &state);

#endif
