# rotolog-cat: its output on a known file (check_rotolog_cat.sh), and its
# message formats and selection on their own.
if(TARGET rotolog_cat)
  add_executable(rotolog_cat_make_known_file ${CMAKE_CURRENT_SOURCE_DIR}/rotolog_cat/make_known_file.cpp)
  target_link_libraries(rotolog_cat_make_known_file PRIVATE rotolog rotolog_warnings)
  add_test(NAME rotolog_cat.output_on_a_known_file
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/rotolog_cat/check_rotolog_cat.sh
            $<TARGET_FILE:rotolog_cat> $<TARGET_FILE:rotolog_cat_make_known_file>
            ${CMAKE_CURRENT_BINARY_DIR}/rotolog_cat_work)
  set_tests_properties(rotolog_cat.output_on_a_known_file PROPERTIES TIMEOUT 120)

  add_executable(rotolog_cat_formats_test ${CMAKE_CURRENT_SOURCE_DIR}/rotolog_cat/message_formats_test.cpp
                 ${CMAKE_CURRENT_SOURCE_DIR}/rotolog_cat/selection_test.cpp
                 ${PROJECT_SOURCE_DIR}/tools/rotolog_cat/message_formats.cpp
                 ${PROJECT_SOURCE_DIR}/tools/rotolog_cat/selection.cpp)
  target_include_directories(rotolog_cat_formats_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/rotolog_cat)
  target_link_libraries(rotolog_cat_formats_test PRIVATE GTest::gtest_main rotolog_warnings)
  gtest_discover_tests(rotolog_cat_formats_test DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300)
endif()

# rotolog-cat --follow against writer processes (follow_test.cpp), and the
# route of its output through logger into a private rsyslogd.
if(TARGET rotolog_cat)
  add_executable(rotolog_cat_follow_helper ${CMAKE_CURRENT_SOURCE_DIR}/rotolog_cat/follow_helper.cpp)
  target_include_directories(rotolog_cat_follow_helper PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(rotolog_cat_follow_helper PRIVATE rotolog rotolog_warnings)
  add_executable(rotolog_cat_follow_test ${CMAKE_CURRENT_SOURCE_DIR}/rotolog_cat/follow_test.cpp)
  target_include_directories(rotolog_cat_follow_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(rotolog_cat_follow_test PRIVATE ROTOLOG_CAT_PATH="$<TARGET_FILE:rotolog_cat>")
  target_link_libraries(rotolog_cat_follow_test PRIVATE rotolog_testing sysbrace_testing
    GTest::gtest_main rotolog_warnings)
  add_dependencies(rotolog_cat_follow_test rotolog_cat)
  gtest_discover_tests(rotolog_cat_follow_test DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300)

  add_test(NAME rotolog_cat.follow_into_rsyslog
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/rotolog_cat/check_rsyslog_route.sh
            $<TARGET_FILE:rotolog_cat> $<TARGET_FILE:rotolog_cat_follow_helper>
            ${CMAKE_CURRENT_BINARY_DIR}/rotolog_cat_rsyslog)
  set_tests_properties(rotolog_cat.follow_into_rsyslog PROPERTIES TIMEOUT 180)
endif()
