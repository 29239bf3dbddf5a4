# Shared by the MinGW-w64 toolchain files: the programs are linked
# statically, so that they import system DLLs only, and run under Wine.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${BRISANT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRISANT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${BRISANT_MINGW_TRIPLET}-windres)
set(CMAKE_ASM_COMPILER ${BRISANT_MINGW_TRIPLET}-gcc-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${BRISANT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests (and GoogleTest's discovery) run the programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
