# What `cmake --install build [--prefix P]` puts in place: the command, the
# shared library (libarcsalve.so.0 -> .so.0.1.0, with the .so link for the
# linker), the public header, a pkg-config file, a CMake package giving the
# imported target arcsalve::arcsalve, the man page and the bash completion.
include(CMakePackageConfigHelpers)

# The installed command finds the library beside it under any prefix.
file(RELATIVE_PATH ARCSALVE_BIN_TO_LIB "/root/${CMAKE_INSTALL_BINDIR}" "/root/${CMAKE_INSTALL_LIBDIR}")
set_target_properties(arcsalve_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${ARCSALVE_BIN_TO_LIB}")

install(TARGETS arcsalve_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS arcsalve EXPORT arcsalveTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development)
install(DIRECTORY include/arcsalve DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(FILES cli/arcsalve.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES cli/arcsalve.bash DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
  RENAME arcsalve)

# The prefix is found from where the .pc file lies, so that the file stays
# right when the install is given another prefix (--prefix, DESTDIR, a copy).
file(RELATIVE_PATH ARCSALVE_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
string(REGEX REPLACE "/$" "" ARCSALVE_PC_TO_PREFIX "${ARCSALVE_PC_TO_PREFIX}")
configure_file(cmake/arcsalve.pc.in ${PROJECT_BINARY_DIR}/arcsalve.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/arcsalve.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT Development)

set(ARCSALVE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/arcsalve)
install(EXPORT arcsalveTargets NAMESPACE arcsalve:: DESTINATION ${ARCSALVE_CMAKE_DIR}
  COMPONENT Development)
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/arcsalveConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES cmake/arcsalveConfig.cmake ${PROJECT_BINARY_DIR}/arcsalveConfigVersion.cmake
  DESTINATION ${ARCSALVE_CMAKE_DIR} COMPONENT Development)
