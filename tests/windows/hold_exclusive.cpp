// Test helper: opens a file with no sharing at all, as a program that locks
// a file does, and keeps it until its standard input ends.
//
//   hold_exclusive NAME
//   hold_exclusive --delete-on-close NAME
//
// With --delete-on-close it opens the file as Python's NamedTemporaryFile
// does instead: shared for reading, writing and deletion, with
// FILE_FLAG_DELETE_ON_CLOSE, so that the file goes away with the handle.
//
// Prints "locked" once the handle is open and "released" once it is closed;
// exits with 1, printing the Windows error code, when the open fails.

#include <cstdio>
#include <cstring>
#include <windows.h>

int main(int argc, char **argv)
{
    const bool delete_on_close = argc == 3 && std::strcmp(argv[1], "--delete-on-close") == 0;
    if (argc != 2 && !delete_on_close) {
        std::fputs("usage: hold_exclusive [--delete-on-close] NAME\n", stderr);
        return 2;
    }
    const DWORD sharing =
        delete_on_close ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
    const DWORD flags = delete_on_close ? FILE_FLAG_DELETE_ON_CLOSE : FILE_ATTRIBUTE_NORMAL;
    HANDLE file =
        CreateFileA(argv[argc - 1], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, flags, nullptr);
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
