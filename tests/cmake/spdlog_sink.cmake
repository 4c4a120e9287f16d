# The spdlog sink of <rotolog/spdlog_sink.h>, when spdlog was found
# (rotolog_spdlog.cmake), over the test-only build of the library and
# sysbrace_testing for the test seams.
if(TARGET rotolog::spdlog)
  rotolog_add_test(${CMAKE_CURRENT_SOURCE_DIR}/spdlog_sink/spdlog_sink_test.cpp
    "rotolog_testing;sysbrace_testing;spdlog::spdlog")
endif()
