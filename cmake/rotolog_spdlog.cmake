# The spdlog sink: <rotolog/spdlog_sink.h>, header-only, over librotolog.so
# and spdlog::spdlog. rotolog itself never needs spdlog: it is looked up only
# for the tests, examples and benchmarks of rotolog's own build, and a
# project that adds rotolog with add_subdirectory gets rotolog::spdlog when it
# has found spdlog before. The header installs in any case (librotolog-dev);
# without spdlog nothing here compiles it. (The installed package defines its
# own rotolog::spdlog, in rotolog-config.cmake.)
if(ROTOLOG_BUILD_TESTS OR ROTOLOG_BUILD_EXAMPLES OR ROTOLOG_BUILD_BENCH)
  find_package(spdlog QUIET)
  if(NOT spdlog_FOUND)
    message(STATUS "spdlog not found: the spdlog sink's tests and example are not built")
  endif()
endif()
add_library(rotolog_spdlog INTERFACE)
target_sources(rotolog_spdlog INTERFACE FILE_SET HEADERS
  BASE_DIRS ${PROJECT_SOURCE_DIR}/CYCLIC_FILES/app
  FILES ${PROJECT_SOURCE_DIR}/CYCLIC_FILES/app/rotolog/spdlog_sink.h)
target_link_libraries(rotolog_spdlog INTERFACE rotolog)
if(TARGET spdlog::spdlog)
  add_library(rotolog::spdlog ALIAS rotolog_spdlog)
  target_link_libraries(rotolog_spdlog INTERFACE spdlog::spdlog)
  rotolog_verify_header_sets(rotolog_spdlog)
endif()
