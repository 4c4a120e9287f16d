# libFuzzer targets, built by the fuzz preset (clang, ASan + UBSan, the whole
# project instrumented for coverage), and the program that writes their seed
# corpora from real cyclic files. scripts/ci-fuzz and `make fuzz` run them.
if(ROTOLOG_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ROTOLOG_FUZZ needs clang (libFuzzer): use the fuzz preset")
  endif()
  set(fuzz_sources ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libclang_rt.fuzzer-${CMAKE_SYSTEM_PROCESSOR}.a
                  OUTPUT_VARIABLE fuzzer_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(fuzz_targets "")
  foreach(target header_decoder cyclic_file buffer_model salvage)
    add_executable(fuzz_${target} ${fuzz_sources}/fuzz_${target}.cpp)
    # The libFuzzer runtime is linked as a plain archive (everything is
    # compiled with -fsanitize=fuzzer-no-link): with -fsanitize=fuzzer the
    # driver would put the C++ library ahead of the shared sanitizer runtime,
    # which must be loaded first.
    target_link_libraries(fuzz_${target} PRIVATE ${fuzzer_runtime})
    target_link_libraries(fuzz_${target} PRIVATE rotolog_internal rotolog_warnings)
    target_include_directories(fuzz_${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND fuzz_targets fuzz_${target})
  endforeach()
  # rotolog-cat's printing, from the tool's own sources.
  if(TARGET rotolog_cat)
    add_executable(fuzz_message_formats ${fuzz_sources}/fuzz_message_formats.cpp
                   ${PROJECT_SOURCE_DIR}/tools/rotolog_cat/message_formats.cpp
                   ${PROJECT_SOURCE_DIR}/tools/rotolog_cat/selection.cpp)
    target_link_libraries(fuzz_message_formats PRIVATE ${fuzzer_runtime} rotolog_warnings)
    target_include_directories(fuzz_message_formats PRIVATE ${PROJECT_SOURCE_DIR}/tools/rotolog_cat)
    list(APPEND fuzz_targets fuzz_message_formats)
  endif()
  add_executable(fuzz_make_seeds ${fuzz_sources}/make_seeds.cpp)
  target_link_libraries(fuzz_make_seeds PRIVATE rotolog rotolog_warnings)
  target_include_directories(fuzz_make_seeds PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  add_custom_target(fuzz_all DEPENDS ${fuzz_targets} fuzz_make_seeds)

  # Each target replays its seeds and runs briefly, so the fuzz build's ctest
  # shows at once that the targets work.
  add_test(NAME fuzz.make_seeds COMMAND fuzz_make_seeds ${CMAKE_CURRENT_BINARY_DIR}/fuzz-seeds)
  set_tests_properties(fuzz.make_seeds PROPERTIES FIXTURES_SETUP fuzz_seeds)
  foreach(target ${fuzz_targets})
    string(REPLACE "fuzz_" "" corpus ${target})
    add_test(NAME fuzz.${corpus}_short COMMAND ${target} -runs=5000 ${CMAKE_CURRENT_BINARY_DIR}/fuzz-seeds/${corpus})
    set_tests_properties(fuzz.${corpus}_short PROPERTIES FIXTURES_REQUIRED fuzz_seeds TIMEOUT 300)
  endforeach()
endif()
