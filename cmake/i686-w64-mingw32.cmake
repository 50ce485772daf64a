# Cross-builds the 32-bit Windows console program with mingw-w64 (Debian's
# g++-mingw-w64-i686) on the C runtime msvcrt.dll.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_triplet i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
