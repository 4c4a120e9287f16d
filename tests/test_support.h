// Helpers shared by the tests: a private temporary directory, and running a
// piece of a test in a forked child under a deadline.
#ifndef ROTOLOG_TEST_SUPPORT_H
#define ROTOLOG_TEST_SUPPORT_H

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>

namespace test_support {

// A directory of its own for each test, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/rotolog-test-XXXXXX";
    const char *made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The names in a directory, "." and ".." left out.
inline std::set<std::string> directory_entries(const std::string &directory) {
  std::set<std::string> names;
  if (DIR *listing = opendir(directory.c_str())) {
    while (dirent *entry = readdir(listing)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(listing);
  }
  return names;
}

// Waits for a child until the deadline, killing it when it is late.
// Returns the wait status, or -1 when the child had to be killed.
inline int wait_with_deadline(pid_t child, std::chrono::milliseconds deadline) {
  auto until = std::chrono::steady_clock::now() + deadline;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return status;
    if (std::chrono::steady_clock::now() > until) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Runs body in a forked child, which exits with body's result. Returns the
// child's exit code, 128 + signal when a signal ended it, or -1 on timeout.
inline int run_in_child(const std::function<int()> &body,
                        std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
  pid_t child = fork();
  if (child == 0) _exit(body());
  if (child < 0) return -2;
  int status = wait_with_deadline(child, deadline);
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -3;
}

}  // namespace test_support

#endif
