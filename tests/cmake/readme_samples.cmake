# The README's code samples are complete programs: every ```c and ```cpp block
# of README.md is written out at configure time, built with the project's
# warnings (errors point into README.md through #line) and run as a test
# with a file name in the build tree, so the README cannot drift from the API.
# A sample that includes the spdlog sink is left out when spdlog is missing.
set(readme ${PROJECT_SOURCE_DIR}/README.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${readme})
file(READ ${readme} readme_text)
set(samples_dir ${CMAKE_CURRENT_BINARY_DIR}/readme_samples)
set(rest "${readme_text}")
set(consumed 0)
set(sample 0)
while(TRUE)
  string(REGEX MATCH "\n```(c|cpp)\n" fence "${rest}")
  if(NOT fence)
    break()
  endif()
  set(extension ${CMAKE_MATCH_1})
  string(FIND "${rest}" "${fence}" fence_at)
  string(LENGTH "${fence}" fence_length)
  math(EXPR code_at "${fence_at} + ${fence_length}")
  # The line of the block's first line of code, counted from the file's start.
  math(EXPR before_code "${consumed} + ${code_at}")
  string(SUBSTRING "${readme_text}" 0 ${before_code} text_before)
  string(REGEX MATCHALL "\n" newlines "${text_before}")
  list(LENGTH newlines line)
  math(EXPR line "${line} + 1")

  string(SUBSTRING "${rest}" ${code_at} -1 rest)
  math(EXPR consumed "${consumed} + ${code_at}")
  string(FIND "${rest}" "\n```" code_length)
  if(code_length LESS 0)
    message(FATAL_ERROR "README.md:${line}: a code block that is never closed")
  endif()
  string(SUBSTRING "${rest}" 0 ${code_length} code)
  string(SUBSTRING "${rest}" ${code_length} -1 rest)
  math(EXPR consumed "${consumed} + ${code_length}")

  math(EXPR sample "${sample} + 1")
  # The spdlog sample needs spdlog, which the library itself does not.
  set(libraries rotolog::rotolog)
  string(FIND "${code}" "<rotolog/spdlog_sink.h>" uses_spdlog)
  if(uses_spdlog GREATER -1)
    if(NOT TARGET rotolog::spdlog)
      continue()
    endif()
    set(libraries rotolog::spdlog)
  endif()
  set(name readme_sample_${sample})
  set(source ${samples_dir}/${name}.${extension})
  # Rewritten only when the block changed, so a configure does not rebuild it.
  file(WRITE ${source}.new "#line ${line} \"${readme}\"\n${code}\n")
  file(COPY_FILE ${source}.new ${source} ONLY_IF_DIFFERENT)
  file(REMOVE ${source}.new)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${libraries} rotolog_warnings)
  add_test(NAME readme.sample_${sample}_line_${line}
    COMMAND ${name} ${samples_dir}/${name}.cyclic)
  set_tests_properties(readme.sample_${sample}_line_${line} PROPERTIES TIMEOUT 60)
  # A sample that prints the system's reason does so for a file it cannot make.
  string(FIND "${code}" "strerror" says_why)
  if(says_why GREATER -1)
    add_test(NAME readme.sample_${sample}_line_${line}_says_why
      COMMAND ${name} ${samples_dir}/no-such-directory/${name}.cyclic)
    set_tests_properties(readme.sample_${sample}_line_${line}_says_why PROPERTIES TIMEOUT 60
      PASS_REGULAR_EXPRESSION ": File not found \\(No such file or directory\\)\n")
  endif()
endwhile()
if(sample EQUAL 0)
  message(FATAL_ERROR "README.md has no ```c or ```cpp sample")
endif()
