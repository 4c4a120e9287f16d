# librotolog.so exports exactly the names of tests/exports/expected_symbols.txt:
# one test fails on any extra symbol, the other on any missing one, each
# naming the symbols that differ.
set(ROTOLOG_EXPORTS_DIR ${CMAKE_CURRENT_SOURCE_DIR}/exports)
set(ROTOLOG_EXPECTED_SYMBOLS ${ROTOLOG_EXPORTS_DIR}/expected_symbols.txt)

foreach(mode extra missing)
  add_test(NAME exported_symbols.no_${mode}
    COMMAND ${ROTOLOG_EXPORTS_DIR}/check_exports.sh ${mode} $<TARGET_FILE:rotolog>
            ${ROTOLOG_EXPECTED_SYMBOLS})
endforeach()

# The checker itself must notice a difference: against a list that lacks one
# name the library does export, the "extra" direction has to fail.
# (Read at configure time: a change of the list configures again.)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ROTOLOG_EXPECTED_SYMBOLS})
file(STRINGS ${ROTOLOG_EXPECTED_SYMBOLS} expected_lines)
list(REMOVE_ITEM expected_lines cyclic_buffer_get_error_string)
list(JOIN expected_lines "\n" expected_lines)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/expected_symbols_less_one.txt "${expected_lines}\n")
add_test(NAME exported_symbols.checker_reports_an_unlisted_export
  COMMAND ${ROTOLOG_EXPORTS_DIR}/check_exports.sh extra $<TARGET_FILE:rotolog>
          ${CMAKE_CURRENT_BINARY_DIR}/expected_symbols_less_one.txt)
set_tests_properties(exported_symbols.checker_reports_an_unlisted_export PROPERTIES
  PASS_REGULAR_EXPRESSION "1 symbol\\(s\\) exported but not in expected_symbols_less_one.txt:\n  cyclic_buffer_get_error_string")
