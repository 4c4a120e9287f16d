# The install and scripts/uninstall (make install, make uninstall), on a
# temporary DESTDIR; and a tree built in part, which must install nothing.
set(ROTOLOG_INSTALL_CHECK ${CMAKE_CURRENT_SOURCE_DIR}/install/check_install.sh)
add_test(NAME install.every_file_comes_and_goes
  COMMAND ${ROTOLOG_INSTALL_CHECK} round-trip ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
add_test(NAME install.a_tree_built_in_part_installs_nothing
  COMMAND ${ROTOLOG_INSTALL_CHECK} half-built ${PROJECT_SOURCE_DIR})
