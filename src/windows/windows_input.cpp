#include "windows_input.h"

#include "console_line.h"
#include "windows_text.h"

#include <cstdlib>

namespace
{

// A file is read in chunks of this size, and its pointer then set back to
// just after the line's end. A pipe is read a byte at a time, so that what
// the line reader does not ask for stays in it.
constexpr DWORD chunk_size = 4096;

struct handle_input {
    HANDLE handle = nullptr;
    bool seekable = false;
    DWORD filled = 0;
    DWORD taken = 0;
    unsigned char chunk[chunk_size] = {};
};

int next_byte(void *state)
{
    auto &input = *static_cast<handle_input *>(state);
    if (input.taken == input.filled) {
        DWORD got = 0;
        if (ReadFile(input.handle, input.chunk, input.seekable ? chunk_size : 1, &got, nullptr) ==
            0) {
            // A pipe ends so once its writer has gone.
            return GetLastError() == ERROR_BROKEN_PIPE ? input_end : input_error;
        }
        if (got == 0) {
            return input_end;
        }
        input.filled = got;
        input.taken = 0;
    }
    return input.chunk[input.taken++];
}

} // namespace

const char *read_piped_name(HANDLE handle)
{
    static handle_input input;
    input.handle = handle;
    LARGE_INTEGER start{};
    input.seekable = GetFileType(handle) == FILE_TYPE_DISK &&
                     SetFilePointerEx(handle, LARGE_INTEGER{}, &start, FILE_CURRENT) != 0;

    const console_line line = read_console_line(byte_source{next_byte, &input}, true);
    if (input.seekable) {
        LARGE_INTEGER after{};
        after.QuadPart = start.QuadPart + static_cast<LONGLONG>(line.consumed);
        (void)SetFilePointerEx(handle, after, nullptr, FILE_BEGIN);
    }
    const char *name = name_from_line(line);
    if (line.size != 0) {
        std::free(const_cast<char *>(line.text));
    }
    return name;
}
