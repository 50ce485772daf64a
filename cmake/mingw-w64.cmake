# What the mingw-w64 toolchain files share; they set mingw_triplet and
# CMAKE_SYSTEM_PROCESSOR, then include this. The programs are built on the C
# runtime msvcrt.dll.
set(CMAKE_SYSTEM_NAME Windows)

# The win32 thread model needs no winpthread DLL; the posix one is the fallback.
find_program(CMAKE_CXX_COMPILER NAMES ${mingw_triplet}-g++-win32 ${mingw_triplet}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${mingw_triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet})
# Programs such as Python run on this machine; libraries and headers are Windows ones.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
