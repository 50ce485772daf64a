#ifndef FILEHOLDER_PLATFORM_H
#define FILEHOLDER_PLATFORM_H

#include <cstdio>

// The little that differs between operating systems. Each platform has one
// implementation file; CMake picks it.

// Runs first in main: every message must reach standard output at once,
// whatever standard output is, and nothing on the way may end the process.
void prepare_process();

// One attempt to open name for reading in binary mode. Null on any failure;
// a directory never counts as opened.
std::FILE *try_open(const char *name);

// The pause after a failed attempt: 1 millisecond.
void pause_after_failed_attempt();

// Blocks the only thread for good, with no periodic wake-up.
[[noreturn]] void idle_forever();

#endif
