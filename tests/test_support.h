// Helpers shared by the tests: a private temporary directory, and running a
// piece of a test in a forked child under a deadline.
#ifndef ROTOLOG_TEST_SUPPORT_H
#define ROTOLOG_TEST_SUPPORT_H

#include <dirent.h>
#include <rotolog/cyclic_file.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

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

// Every message of a cyclic file as cyclic_file_read_all joins them; the
// call's result in *count (a message count or a status).
inline std::string read_all_text(void *handle, int *count) {
  char *block = nullptr;
  int length = 0;
  *count = cyclic_file_read_all(handle, &block, &length);
  std::string all(block != nullptr ? block : "", static_cast<size_t>(length > 0 ? length : 0));
  cyclic_file_free_read_buffer(handle, block);
  return all;
}

// A count from the environment (the long forms of the figure-printing
// tests), or the short form's.
inline long count_from_environment(const char *name, long short_form) {
  const char *text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atol(text) : short_form;
}

// Self-checking messages: message `number` is "<number:length>" and filler,
// all of it fixed by the number, so that a reader tells a whole message from
// a torn or foreign one without knowing what was written. Lengths run from
// 20 to 19 + spread bytes.
inline std::string numbered_message(uint32_t number, uint32_t spread = 600) {
  uint32_t mix = number * 2654435761u;
  uint32_t length = 20 + (mix >> 8) % spread;
  char head[32];
  std::snprintf(head, sizeof head, "<%010u:%05u>", number, length);
  std::string message(head);
  for (uint32_t i = static_cast<uint32_t>(message.size()); i < length; ++i)
    message.push_back(static_cast<char>('a' + (number + i) % 26));
  return message;
}

// Splits read_all's block into numbered messages. A piece that is not one
// whole message numbered_message would make ends the split with torn = true.
struct NumberedMessages {
  std::vector<uint32_t> numbers;
  bool torn = false;
};
inline NumberedMessages split_numbered(const std::string &block, uint32_t spread = 600) {
  NumberedMessages out;
  for (size_t at = 0; at < block.size();) {
    unsigned number = 0, length = 0;
    if (block.size() - at < 18 ||
        std::sscanf(block.c_str() + at, "<%10u:%5u>", &number, &length) != 2 ||
        block.compare(at, length, numbered_message(number, spread)) != 0) {
      out.torn = true;
      break;
    }
    out.numbers.push_back(number);
    at += length;
  }
  return out;
}

}  // namespace test_support

#endif
