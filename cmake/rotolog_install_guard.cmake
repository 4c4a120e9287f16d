# The first install rule of the project: an install (cmake --install, make
# install, CPack) checks that every file it would copy from the build tree is
# built, and otherwise stops before copying anything. Without it, an install
# after `make demo`, which builds the library but not rotolog-cat, would put
# the library in place and then fail half-way.
#
# The list names every target that an install rule installs: the library, its
# platform libraries (CYCLIC_FILES/platform) and rotolog-cat (tools/).
set(rotolog_built_files "")
foreach(target rotolog vandrel sysbrace spanwick trellon rotolog_cat)
  list(APPEND rotolog_built_files "$<TARGET_FILE:${target}>")
endforeach()
install(CODE "set(rotolog_built_files \"${rotolog_built_files}\")
set(rotolog_binary_dir \"${PROJECT_BINARY_DIR}\")" ALL_COMPONENTS)
install(CODE [[
set(rotolog_missing "")
foreach(file IN LISTS rotolog_built_files)
  if(NOT EXISTS "${file}")
    string(APPEND rotolog_missing "\n  ${file}")
  endif()
endforeach()
if(rotolog_missing)
  message(FATAL_ERROR "rotolog: nothing was installed: these files are not built yet:"
    "${rotolog_missing}\n"
    "Build them first: make build (or cmake --build ${rotolog_binary_dir}); "
    "make install builds what it installs.")
endif()
]] ALL_COMPONENTS)
