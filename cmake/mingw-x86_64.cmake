# The same sources as a 64-bit Windows build. This machine's kernel runs no
# 32-bit code, so Wine runs 32-bit programs only under emulation, minutes a
# start; the bulk of the Windows tests run in this build under the native
# 64-bit Wine instead.
set(BRISANT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
