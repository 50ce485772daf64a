// Test helper: opens a file with no sharing at all, as a program that locks
// a file does, and keeps it until its standard input ends.
//
//   hold_exclusive NAME
//
// Prints "locked" once the handle is open and "released" once it is closed;
// exits with 1, printing the Windows error code, when the open fails.

#include <cstdio>
#include <windows.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("usage: hold_exclusive NAME\n", stderr);
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("error %lu\n", GetLastError());
        return 1;
    }
    std::puts("locked");
    (void)std::fflush(stdout);
    // The test decides how long the lock lasts by closing our input.
    while (std::getchar() != EOF) {
    }
    CloseHandle(file);
    std::puts("released");
    return 0;
}
