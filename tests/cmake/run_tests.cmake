# scripts/run-tests, the filter make test runs ctest through, on a small
# ctest project of its own (failures, a timeout, two kinds of skip).
add_test(NAME run_tests.failures_skips_and_one_summary
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/run_tests/check_run_tests.sh ${PROJECT_SOURCE_DIR})
