# Cross-builds the 64-bit Windows console program with mingw-w64 (Debian's
# g++-mingw-w64-x86-64-win32) on the C runtime msvcrt.dll. The shipped .exe is
# the 32-bit one; this build runs the Windows tests where Wine cannot run
# 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(mingw_triplet x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
