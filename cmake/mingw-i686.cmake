# The Windows programs as they ship: 32-bit, cross-built with Debian's
# MinGW-w64 (the -posix compilers, for std::thread and friends).
set(BRISANT_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
