// The file the cyclic-file fuzz targets rewrite for every input, in a private
// folder per fuzzing process that goes, with the file's lock file, at exit.
#ifndef ROTOLOG_TESTS_FUZZ_FILE_H
#define ROTOLOG_TESTS_FUZZ_FILE_H

#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/files.h"

// Writes the fuzzer's bytes to the target's file and returns its path.
inline const std::string &write_fuzz_file(const uint8_t *data, size_t size) {
  static const test_support::TempDir directory;
  static const std::string path = directory.file("fuzz.cyclic");
  if (directory.path().empty() ||
      !test_support::write_file(path, std::string(reinterpret_cast<const char *>(data), size)))
    std::abort();
  return path;
}

#endif
