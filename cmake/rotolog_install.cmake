# Install rules of librotolog: public headers, the shared library with the
# private platform libraries it loads, the CMake package and rotolog.pc.
# Components: runtime (librotolog0), dev (librotolog-dev), tools (rotolog-tools).
include(CMakePackageConfigHelpers)

# The platform stand-ins are rotolog's own business: they live in a private
# directory that librotolog.so finds through its RUNPATH, not on the
# system's search path.
set(ROTOLOG_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/rotolog)
set(ROTOLOG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/rotolog)

# The build tree lays these out as the install does (<libdir>/librotolog.so,
# <libdir>/rotolog/ for the platform libraries, <bindir>/rotolog-cat), so the
# built files carry the installed run paths from the start: only $ORIGIN
# paths, never the empty elements with which CMake pads a build run path that
# it will edit at install time (the loader reads an empty element as the
# current directory).
set_target_properties(rotolog PROPERTIES INSTALL_RPATH "\$ORIGIN/rotolog"
  BUILD_WITH_INSTALL_RPATH ON LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
set_target_properties(${ROTOLOG_PLATFORM_LIBRARIES} PROPERTIES INSTALL_RPATH "\$ORIGIN"
  BUILD_WITH_INSTALL_RPATH ON
  LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${ROTOLOG_PRIVATE_LIBDIR})
# The test-only builds (with the test seams) lie beside them, laid out the
# same way; no install rule names them.
set_target_properties(rotolog_testing PROPERTIES INSTALL_RPATH "\$ORIGIN/rotolog"
  BUILD_WITH_INSTALL_RPATH ON LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
set_target_properties(${ROTOLOG_PLATFORM_TESTING_LIBRARIES} PROPERTIES INSTALL_RPATH "\$ORIGIN"
  BUILD_WITH_INSTALL_RPATH ON
  LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${ROTOLOG_PRIVATE_LIBDIR})

# The public headers are the header sets of rotolog and rotolog_spdlog
# (<includedir>/rotolog/...). spdlog_sink.h is header-only and needs spdlog
# only in the programs that include it (rotolog::spdlog, rotolog-spdlog.pc).
install(TARGETS rotolog EXPORT rotolog-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
  FILE_SET c_api DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(TARGETS rotolog_spdlog FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
# They join the export set because the imported rotolog::rotolog must name
# the libraries it loads (CMake passes them to the linker as -rpath-link).
install(TARGETS ${ROTOLOG_PLATFORM_LIBRARIES} EXPORT rotolog-targets
  LIBRARY DESTINATION ${ROTOLOG_PRIVATE_LIBDIR} COMPONENT runtime NAMELINK_SKIP)

install(EXPORT rotolog-targets NAMESPACE rotolog::
  DESTINATION ${ROTOLOG_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/rotolog-config.cmake.in
  ${PROJECT_BINARY_DIR}/rotolog-config.cmake INSTALL_DESTINATION ${ROTOLOG_CMAKE_DIR})
# The major version is the SONAME's: a 1.x caller cannot use 0.x.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/rotolog-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/rotolog-config.cmake
              ${PROJECT_BINARY_DIR}/rotolog-config-version.cmake
  DESTINATION ${ROTOLOG_CMAKE_DIR} COMPONENT dev)

# rotolog.pc and rotolog-spdlog.pc name their prefix from the directory
# pkg-config finds them in (${pcfiledir}), so that the installed tree works
# wherever it is: under any --prefix or DESTDIR, copied or moved elsewhere.
# ROTOLOG_PC_UP leads from there to the prefix (../../.. from the Debian
# libdir lib/x86_64-linux-gnu).
file(RELATIVE_PATH ROTOLOG_PC_UP ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ROTOLOG_PC_UP "${ROTOLOG_PC_UP}")  # CMake ends it with a slash
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(ROTOLOG_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(ROTOLOG_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
foreach(pc rotolog rotolog-spdlog)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()
