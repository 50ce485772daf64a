# Cross-builds the 64-bit Windows console program with mingw-w64 (Debian's
# g++-mingw-w64-x86-64-win32) on the C runtime msvcrt.dll. The shipped .exe is
# the 32-bit one; this build runs the Windows tests where Wine cannot run
# 32-bit programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(mingw_triplet x86_64-w64-mingw32)
# The win32 thread model needs no winpthread DLL; the posix one is the fallback.
find_program(CMAKE_CXX_COMPILER NAMES ${mingw_triplet}-g++-win32 ${mingw_triplet}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${mingw_triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet})
# Programs such as Python run on this machine; libraries and headers are Windows ones.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
