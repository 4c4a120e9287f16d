// Threads of one process sharing a cyclic file: 8 threads over 4 handles
// write, format, read everything and flush at once, while other threads open
// and close handles of the same file. Every message read back is whole and
// each thread's messages keep their order. Run under ThreadSanitizer
// (make test-tsan) this is the race check of the locks and the lock registry.
#include <gtest/gtest.h>
#include <rotolog/cyclic_file.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

using test_support::TempDir;

namespace {

constexpr int kRW = CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE;

// Messages are "<thread>:<sequence>:" followed by filler and ";", so the
// block read_all returns splits back into them.
std::string message_of(int thread, int sequence) {
  return std::to_string(thread) + ":" + std::to_string(sequence) + ":" +
         std::string(static_cast<size_t>(sequence % 29), 'x') + ";";
}

struct Parsed {
  bool whole = true;
  std::map<int, std::vector<int>> sequences;
};

Parsed parse(const std::string &block) {
  Parsed parsed;
  size_t at = 0;
  while (at < block.size()) {
    size_t end = block.find(';', at);
    int thread = -1, sequence = -1, consumed = 0;
    if (end == std::string::npos ||
        std::sscanf(block.c_str() + at, "%d:%d:%n", &thread, &sequence, &consumed) != 2 ||
        block.substr(at, end + 1 - at) != message_of(thread, sequence)) {
      parsed.whole = false;
      return parsed;
    }
    parsed.sequences[thread].push_back(sequence);
    at = end + 1;
  }
  return parsed;
}

Parsed read_parsed(void *handle, int *count) {
  char *block = nullptr;
  int length = 0;
  *count = cyclic_file_read_all(handle, &block, &length);
  Parsed parsed =
      parse(*count > 0 ? std::string(block, static_cast<size_t>(length)) : std::string());
  cyclic_file_free_read_buffer(handle, block);
  return parsed;
}

bool increasing(const std::vector<int> &sequences) {
  for (size_t i = 1; i < sequences.size(); ++i) {
    if (sequences[i] <= sequences[i - 1]) return false;
  }
  return true;
}

}  // namespace

TEST(CyclicFileThreads, EightThreadsOverFourHandlesWriteReadAndFlushAtOnce) {
  TempDir dir;
  const std::string path = dir.file("log");
  constexpr int kHandles = 4, kThreads = 8, kMessages = 1500;
  int status = 0;
  std::vector<void *> handles;
  for (int i = 0; i < kHandles; ++i) {
    handles.push_back(cyclic_file_create_handle(path.c_str(), kRW, 8192, &status));
    ASSERT_NE(handles.back(), nullptr) << status;
  }
  std::atomic<int> failures{0};
  std::atomic<bool> writing{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      void *handle = handles[static_cast<size_t>(t % kHandles)];
      for (int sequence = 0; sequence < kMessages; ++sequence) {
        std::string message = message_of(t, sequence);
        int written =
            sequence % 2 == 0
                ? cyclic_file_write(handle, message.data(), static_cast<int>(message.size()))
                : cyclic_file_fwritef(handle, "%d:%d:%.*s;", t, sequence, sequence % 29,
                                      "xxxxxxxxxxxxxxxxxxxxxxxxxxxxx");
        if (written != 0) ++failures;
        if (sequence % 100 == t) {
          int count = 0;
          Parsed parsed = read_parsed(handles[static_cast<size_t>((t + 1) % kHandles)], &count);
          if (count <= 0 || !parsed.whole) ++failures;
          for (auto &[writer, sequences] : parsed.sequences) {
            if (!increasing(sequences)) ++failures;
          }
        }
        if (sequence % 500 == 0 && cyclic_file_flush(handle) == 0) ++failures;
      }
    });
  }
  // Handles of the same file opened and closed meanwhile: the lock registry
  // and the lock objects are shared with the writers' handles.
  std::thread opener([&] {
    while (writing.load()) {
      int open_status = 0;
      void *extra = cyclic_file_create_handle(path.c_str(), kRW, 0, &open_status);
      if (extra == nullptr) {
        ++failures;
        break;
      }
      int count = 0;
      if (!read_parsed(extra, &count).whole) ++failures;
      cyclic_file_destroy_handle(extra);
    }
  });
  for (auto &thread : threads) thread.join();
  writing.store(false);
  opener.join();

  EXPECT_EQ(failures.load(), 0);
  int count = 0;
  Parsed parsed = read_parsed(handles[0], &count);
  ASSERT_TRUE(parsed.whole);
  ASSERT_GT(count, 0);
  // The ring keeps the newest messages, in order: the newest of all is the
  // last message of the thread that finished last.
  bool newest_is_a_last_message = false;
  for (auto &[writer, sequences] : parsed.sequences) {
    EXPECT_TRUE(increasing(sequences)) << "thread " << writer;
    newest_is_a_last_message = newest_is_a_last_message || sequences.back() == kMessages - 1;
  }
  EXPECT_TRUE(newest_is_a_last_message);
  for (void *handle : handles) cyclic_file_destroy_handle(handle);
}
