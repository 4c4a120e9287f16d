// Files of a test: a private temporary folder removed with everything in it,
// whole files read and written, the names in a folder, and a small file
// system to fill.
#ifndef ROTOLOG_TESTS_SUPPORT_FILES_H
#define ROTOLOG_TESTS_SUPPORT_FILES_H

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

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

// A small tmpfs mounted on a folder of its own for the test's life (root, and
// a kernel that lets this process mount, as CI's does); usable() is false
// where it could not be mounted, and the test skips.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const char *size) {
    if (dir_.path().empty()) return;
    const std::string options = std::string("size=") + size;
    mounted_ = mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem &) = delete;
  SmallFileSystem &operator=(const SmallFileSystem &) = delete;
  bool usable() const { return mounted_; }
  std::string file(const std::string &name) const { return dir_.file(name); }
  // Fills what room is left with one file.
  void fill() const {
    const int fd = open(file("filler").c_str(), O_WRONLY | O_CREAT, 0600);
    const std::string block(4096, 'f');
    while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
    }
    if (fd >= 0) close(fd);
  }

 private:
  TempDir dir_;
  bool mounted_ = false;
};

}  // namespace test_support

#endif
