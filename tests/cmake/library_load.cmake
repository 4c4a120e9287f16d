# Loads and unloads the library (its test-only build, whose allocations the
# seams count) with dlopen/dlclose. The program must not link the library
# itself, or dlclose would never unload it.
add_executable(library_load_test ${CMAKE_CURRENT_SOURCE_DIR}/library_load/library_load_test.cpp)
target_compile_definitions(library_load_test PRIVATE ROTOLOG_LIBRARY_PATH="$<TARGET_FILE:rotolog_testing>")
target_link_libraries(library_load_test PRIVATE sysbrace_testing ${CMAKE_DL_LIBS} GTest::gtest_main
                      Threads::Threads rotolog_warnings)
add_dependencies(library_load_test rotolog_testing)
gtest_discover_tests(library_load_test DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300)
