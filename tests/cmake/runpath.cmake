# The libraries and the tool of the build tree search only absolute and
# $ORIGIN paths; the checker itself must catch a library linked with an
# empty run path element.
set(ROTOLOG_RUNPATH_CHECK ${CMAKE_CURRENT_SOURCE_DIR}/exports/check_runpath.sh)
set(runpath_files $<TARGET_FILE:rotolog>)
foreach(library vandrel sysbrace spanwick trellon rotolog_cat)
  if(TARGET ${library})
    list(APPEND runpath_files $<TARGET_FILE:${library}>)
  endif()
endforeach()
add_test(NAME runpath.only_absolute_and_origin_elements
  COMMAND ${ROTOLOG_RUNPATH_CHECK} ${runpath_files})

add_library(runpath_probe SHARED ${CMAKE_CURRENT_SOURCE_DIR}/exports/runpath_probe/probe.c)
target_link_options(runpath_probe PRIVATE "-Wl,-rpath,/usr/lib:")
add_test(NAME runpath.checker_reports_an_empty_element
  COMMAND ${ROTOLOG_RUNPATH_CHECK} $<TARGET_FILE:runpath_probe>)
set_tests_properties(runpath.checker_reports_an_empty_element PROPERTIES
  PASS_REGULAR_EXPRESSION "holds the element ''")
