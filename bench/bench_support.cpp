// The shared messages, scratch directory and result names of the benchmarks.
#include "bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace bench {

MessageParts message_parts(int size) {
  MessageParts parts{1234, 3, "ok", 0, {}};
  const int fixed = std::snprintf(nullptr, 0, "req %08d worker %02d status %s ", parts.request,
                                  parts.worker, parts.status);
  parts.filler_length = size > fixed ? size - fixed : 0;
  parts.filler.reserve(static_cast<std::size_t>(parts.filler_length));
  for (int i = 0; i < parts.filler_length; ++i)
    parts.filler.push_back(static_cast<char>('a' + i % 26));
  return parts;
}

std::string make_message(int size) {
  const MessageParts parts = message_parts(size);
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(text.data(), text.size(), kMessageFormat, parts.request, parts.worker, parts.status,
                parts.filler_length, parts.filler.c_str());
  text.resize(static_cast<std::size_t>(size));
  return text;
}

namespace {

struct ScratchDirectory {
  std::string path;
  ScratchDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "rotolog-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("rotolog bench: mkdtemp");
      std::exit(1);
    }
    path = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

const std::string &scratch_directory() {
  static const ScratchDirectory directory;
  return directory.path;
}

std::string scratch_path(const std::string &stem) {
  static int serial = 0;
  return scratch_directory() + "/" + stem + "-" + std::to_string(++serial);
}

std::string result_name(const char *measurement, const char *contender, int message_size,
                        int processes) {
  std::string name =
      std::string(measurement) + "/" + contender + "/" + std::to_string(message_size);
  if (processes > 0) name += "/procs:" + std::to_string(processes);
  return name;
}

void count_messages(benchmark::State &state, long long messages_per_iteration) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * messages_per_iteration);
}

}  // namespace bench
