# The Windows build: arcsalve.dll with its resources and decorated exports.
# Included by the top-level CMakeLists.txt when the target is Windows; see
# cmake/mingw-i686.cmake (the DLL hosts load) and cmake/mingw-x86_64.cmake
# (the same library, built to run the Windows tests under Wine).
enable_language(RC)

# LoadStringA, CharNextA, OemToCharBuffA, the dialog and message box calls.
target_link_libraries(arcsalve_core PUBLIC user32)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ARCSALVE_DEF_FILE ${PROJECT_SOURCE_DIR}/resources/arcsalve64.def)
else()
  set(ARCSALVE_DEF_FILE ${PROJECT_SOURCE_DIR}/resources/arcsalve.def)
endif()

target_sources(arcsalve PRIVATE resources/arcsalve.rc ${ARCSALVE_DEF_FILE})
target_include_directories(arcsalve PRIVATE resources)
set(ARCSALVE_RC_DEFINITIONS ARCSALVE_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
  ARCSALVE_VERSION_MINOR=${PROJECT_VERSION_MINOR} ARCSALVE_VERSION_PATCH=${PROJECT_VERSION_PATCH})
set(ARCSALVE_RC_DEPENDS ${PROJECT_SOURCE_DIR}/resources/strings.inc ${PROJECT_SOURCE_DIR}/resources/arcsalve.ico)
set_source_files_properties(resources/arcsalve.rc PROPERTIES
  OBJECT_DEPENDS "${ARCSALVE_RC_DEPENDS}" COMPILE_DEFINITIONS "${ARCSALVE_RC_DEFINITIONS}")

# arcsalve.dll, not libarcsalve.dll; the compiler's runtime is linked in, so
# the DLL needs nothing beyond the system's own DLLs.
set_target_properties(arcsalve PROPERTIES PREFIX "")
target_link_options(arcsalve PRIVATE -static -static-libgcc -static-libstdc++)

if(ARCSALVE_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()
