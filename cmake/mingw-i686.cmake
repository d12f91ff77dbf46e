# Cross-compiling for Windows (i686) with the MinGW-w64 toolchain (Debian:
# g++-mingw-w64-i686). Use:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DARCSALVE_TESTS=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ARCSALVE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ARCSALVE_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ARCSALVE_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${ARCSALVE_MINGW_TRIPLE}-windres)

# Look for libraries and headers in the target's sysroot only; programs
# (the compilers, windres) come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ARCSALVE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
