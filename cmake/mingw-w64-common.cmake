# Shared part of the MinGW-w64 toolchain files; FORMAT149_MINGW_TRIPLET names the
# target, for instance i686-w64-mingw32.

# The compilers of the "win32" thread model need no winpthreads library; Debian
# installs them as <triplet>-g++-win32 (and the same driver as <triplet>-c++-win32),
# other systems as plain <triplet>-g++.
find_program(CMAKE_CXX_COMPILER
             NAMES ${FORMAT149_MINGW_TRIPLET}-g++-win32 ${FORMAT149_MINGW_TRIPLET}-c++-win32
                   ${FORMAT149_MINGW_TRIPLET}-g++
             REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${FORMAT149_MINGW_TRIPLET}-gcc-win32 ${FORMAT149_MINGW_TRIPLET}-gcc)

# Headers and libraries come from the target's root; programs run during the build
# (the assembler, for one) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${FORMAT149_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
