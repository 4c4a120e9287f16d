# The spdlog sink of <rotolog/spdlog_sink.h>, when spdlog was found
# (rotolog_spdlog.cmake); sysbrace for its flush seam.
if(TARGET rotolog::spdlog)
  rotolog_add_test(${CMAKE_CURRENT_SOURCE_DIR}/spdlog_sink/spdlog_sink_test.cpp "rotolog::spdlog;sysbrace")
endif()
