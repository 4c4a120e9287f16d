# rotolog::spdlog in the build tree: <rotolog/spdlog_sink.h> with
# librotolog.so and spdlog::spdlog. rotolog itself never needs spdlog: it is
# looked up only for the tests, examples and benchmarks of rotolog's own
# build, and a project that adds rotolog with add_subdirectory gets the
# target when it has found spdlog before. (The installed package defines its
# own rotolog::spdlog, in rotolog-config.cmake.)
if(ROTOLOG_BUILD_TESTS OR ROTOLOG_BUILD_EXAMPLES OR ROTOLOG_BUILD_BENCH)
  find_package(spdlog QUIET)
  if(NOT spdlog_FOUND)
    message(STATUS "spdlog not found: the spdlog sink's tests and example are not built")
  endif()
endif()
if(TARGET spdlog::spdlog)
  add_library(rotolog_spdlog INTERFACE)
  add_library(rotolog::spdlog ALIAS rotolog_spdlog)
  target_link_libraries(rotolog_spdlog INTERFACE rotolog spdlog::spdlog)
endif()
