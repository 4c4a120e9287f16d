// rotolog example: four processes log through spdlog into one cyclic file,
// each through its own logger on rotolog's sink. Each record is an entry that
// carries its time, level, process and thread; writer 0 sets a pattern of its
// own, the others keep the sink's ("[logger] message"). Afterwards
// `rotolog-cat FILE` prints every record whole, one per line, with its time
// and origin.
// Usage: spdlog_processes [FILE]   (default: spdlog_processes.cyclic in TMPDIR or /tmp)
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <rotolog/spdlog_sink.h>
#include <spdlog/spdlog.h>

namespace {

constexpr int kWriters = 4;
constexpr int kMessagesEach = 25;
constexpr int kRingSize = 64 * 1024;  // holds every record: none is dropped

// Each child builds its own logger: a cyclic file handle is never shared
// across fork. The records differ in length, so a torn one would show.
int run_writer(const std::string &path, int writer) {
  int failures = 0;
  try {
    auto logger =
        rotolog::cyclic_file_logger_mt("writer-" + std::to_string(writer), path, kRingSize);
    if (writer == 0) logger->set_pattern("pid %P: %v", spdlog::pattern_time_type::local);
    logger->set_error_handler([&failures](const std::string &text) {
      std::fprintf(stderr, "%s\n", text.c_str());
      ++failures;
    });
    const spdlog::level::level_enum levels[] = {spdlog::level::info, spdlog::level::warn,
                                                spdlog::level::err};
    for (int i = 0; i < kMessagesEach; ++i)
      logger->log(levels[i % 3], "writer {} message {}: {}end", writer, i,
                  std::string(static_cast<std::size_t>(i * 7 % 50), '='));
  } catch (const spdlog::spdlog_ex &error) {  // the file could not be opened
    std::fprintf(stderr, "writer %d: %s\n", writer, error.what());
    return 1;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  const char *temporary = std::getenv("TMPDIR");
  const std::string path = argc > 1 ? argv[1]
                                    : std::string(temporary != nullptr ? temporary : "/tmp") +
                                          "/spdlog_processes.cyclic";
  unlink(path.c_str());  // start from an empty file

  pid_t children[kWriters];
  for (int writer = 0; writer < kWriters; ++writer) {
    children[writer] = fork();
    if (children[writer] < 0) return 1;
    if (children[writer] == 0) _exit(run_writer(path, writer));
  }
  bool failed = false;
  for (const pid_t child : children) {
    int status = 0;
    if (waitpid(child, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      failed = true;
  }
  if (failed) return 1;

  int status = 0;
  void *file = cyclic_file_create_handle(
      path.c_str(), CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_MUST_EXIST, 0, &status);
  if (file == nullptr) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), cyclic_file_get_error_string(status));
    return 1;
  }
  char *block = nullptr;
  int length = 0;
  const int count = cyclic_file_read_all(file, &block, &length);
  cyclic_file_free_read_buffer(file, block);
  cyclic_file_destroy_handle(file);
  std::printf("%d records from %d processes in %s; print them with: rotolog-cat %s\n", count,
              kWriters, path.c_str(), path.c_str());
  return count == kWriters * kMessagesEach ? 0 : 1;
}
