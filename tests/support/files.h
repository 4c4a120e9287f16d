// Files of a test: a private temporary folder removed with everything in it,
// whole files read and written, and the names in a folder.
#ifndef ROTOLOG_TESTS_SUPPORT_FILES_H
#define ROTOLOG_TESTS_SUPPORT_FILES_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <system_error>

namespace test_support {

// A folder of its own under the system's temporary folder ($TMPDIR or
// /tmp), made with mode 0700 and removed with everything below it. The path
// is empty when the folder could not be made.
class TempDir {
 public:
  TempDir() {
    std::error_code error;
    std::string pattern =
        (std::filesystem::temp_directory_path(error) / "rotolog-test-XXXXXX").string();
    if (!error && mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole file, or "" when it cannot be read.
inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the file's bytes (creating it); false when they were not all written.
inline bool write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// The names in a folder, "." and ".." left out.
inline std::set<std::string> directory_entries(const std::string &directory) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(directory, error))
    names.insert(entry.path().filename().string());
  return names;
}

}  // namespace test_support

#endif
