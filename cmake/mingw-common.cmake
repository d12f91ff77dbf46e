# Shared by the MinGW-w64 toolchain files, which set ARCSALVE_MINGW_TRIPLE
# and the compilers first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_RC_COMPILER ${ARCSALVE_MINGW_TRIPLE}-windres)

# Look for libraries and headers in the target's sysroot only; programs
# (the compilers, windres) come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ARCSALVE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
