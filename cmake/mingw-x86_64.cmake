# Cross-compiling for Windows (x86_64) with the MinGW-w64 toolchain (Debian:
# g++-mingw-w64-x86-64). Use:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DARCSALVE_TESTS=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ARCSALVE_MINGW_TRIPLE x86_64-w64-mingw32)
# The POSIX-threads flavour of the compiler: the tests' GoogleTest needs
# std::mutex, which the Win32-threads flavour lacks. Everything is linked
# statically, so no threads DLL comes along.
set(CMAKE_C_COMPILER ${ARCSALVE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ARCSALVE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ARCSALVE_MINGW_TRIPLE}-windres)

# Look for libraries and headers in the target's sysroot only; programs
# (the compilers, windres) come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ARCSALVE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
