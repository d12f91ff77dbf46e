# Cross-compiling for Windows (x86_64) with the MinGW-w64 toolchain (Debian:
# g++-mingw-w64-x86-64). Use:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DARCSALVE_TESTS=OFF
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ARCSALVE_MINGW_TRIPLE x86_64-w64-mingw32)
# The POSIX-threads flavour of the compiler: the tests' GoogleTest needs
# std::mutex, which the Win32-threads flavour lacks. Everything is linked
# statically, so no threads DLL comes along.
set(CMAKE_C_COMPILER ${ARCSALVE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ARCSALVE_MINGW_TRIPLE}-g++-posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
