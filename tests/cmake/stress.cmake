# The kill-loop stress program (never installed). ctest runs a short form;
# `make stress` runs the long one. It links the library as a service does, in
# its test-only build (librotolog_testing.so), and sysbrace_testing for the
# seams through which it watches the interprocess lock.
add_executable(rotolog_stress ${CMAKE_CURRENT_SOURCE_DIR}/stress/rotolog_stress.cpp)
target_link_libraries(rotolog_stress PRIVATE rotolog_testing sysbrace_testing rotolog_warnings)
target_include_directories(rotolog_stress PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_test(NAME stress.kill_loop_short
  COMMAND rotolog_stress --kills 200 --seconds 60)
set_tests_properties(stress.kill_loop_short PROPERTIES TIMEOUT 120 LABELS "stress;forks")
