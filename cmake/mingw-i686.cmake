# Cross-compiling for Windows (i686) with the MinGW-w64 toolchain (Debian:
# g++-mingw-w64-i686). Use:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DARCSALVE_TESTS=OFF
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ARCSALVE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ARCSALVE_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ARCSALVE_MINGW_TRIPLE}-g++)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
