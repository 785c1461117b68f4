# Cross-compiling for 64-bit Windows with MinGW-w64. The 64-bit executable has no
# VWIN32 device on any system it runs on; it serves to run the program on a
# 64-bit Windows API (for instance Wine on a 64-bit-only host).
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(FORMAT149_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
