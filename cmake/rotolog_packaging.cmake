# Debian packages of rotolog (make package): one per install component.
#   runtime -> librotolog0      librotolog.so.0 and its private platform libraries
#   dev     -> librotolog-dev   headers, the .so namelink, CMake and pkg-config files
#   tools   -> rotolog-tools    command-line tools (built only when a tool installs
#                               into the "tools" component)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rotolog)
set(CPACK_PACKAGE_VENDOR "rotolog")
set(CPACK_PACKAGE_CONTACT "rotolog developers <rotolog@invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
# The packages install under the configured prefix (the libdir of
# GNUInstallDirs depends on it).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A shlibs file and the ldconfig trigger for the package with the library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(rotolog_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME librotolog${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
  "libc6 (>= 2.34), libgcc-s1, libstdc++6 (>= 12), libtirpc3 (>= 1.3)")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "bounded message logs in ring storage (shared library)
rotolog keeps bounded logs of messages in an in-memory cyclic buffer or in a
cyclic file that several processes on one machine append to.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME librotolog-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# rotolog.pc requires libtirpc (for the include path of <rpc/xdr.h>).
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (= ${rotolog_deb_version}), libtirpc-dev")
# <rotolog/spdlog_sink.h> (rotolog::spdlog, rotolog-spdlog.pc) needs spdlog
# only in the programs that include it.
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "libspdlog-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "bounded message logs in ring storage (development files)
Headers, the CMake package (find_package(rotolog)) and the pkg-config files
of rotolog, with the header-only spdlog sink.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME rotolog-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
  "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (= ${rotolog_deb_version})")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "bounded message logs in ring storage (tools)
Command-line tools to look inside rotolog cyclic files.")

# One package per component that has something to install: a tool added with
# install(TARGETS ... COMPONENT tools) makes rotolog-tools appear by itself.
get_cmake_property(rotolog_components COMPONENTS)
list(REMOVE_ITEM rotolog_components Unspecified)
set(CPACK_COMPONENTS_ALL ${rotolog_components})

include(CPack)
