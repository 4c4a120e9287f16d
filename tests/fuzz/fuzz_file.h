// The file the cyclic-file fuzz targets rewrite for every input: one private
// directory per fuzzing process, removed (with the file's lock file) at exit.
#ifndef ROTOLOG_TESTS_FUZZ_FILE_H
#define ROTOLOG_TESTS_FUZZ_FILE_H

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Writes the fuzzer's bytes to the target's file and returns its path.
inline const std::string &write_fuzz_file(const uint8_t *data, size_t size) {
  static const std::string path = [] {
    const char *tmp = std::getenv("TMPDIR");
    static std::string directory =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/rotolog-fuzz-XXXXXX";
    if (mkdtemp(&directory[0]) == nullptr) std::abort();
    std::atexit([] {
      unlink((directory + "/fuzz.cyclic").c_str());
      unlink((directory + "/fuzz.cyclic-lock").c_str());
      rmdir(directory.c_str());
    });
    return directory + "/fuzz.cyclic";
  }();
  FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
  return path;
}

#endif
