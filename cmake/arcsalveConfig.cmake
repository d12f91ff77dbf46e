# find_package(arcsalve) gives the imported target arcsalve::arcsalve: the
# shared library with its public header directory.
include("${CMAKE_CURRENT_LIST_DIR}/arcsalveTargets.cmake")
