// Threads of one process sharing a cyclic file: 8 threads over 4 handles
// write, format, read everything and flush at once, while other threads open
// and close handles of the same file. Every message read back is whole and
// each thread's messages keep their order. Run under ThreadSanitizer
// (make test-tsan) this is the race check of the locks and the lock registry.
#include <gtest/gtest.h>
#include "rotolog/cyclic_file.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/cyclic_file_fixture.h"

using namespace test_support;

namespace {

// Thread t's message `sequence`: a codec message of 20 to 48 bytes.
std::string thread_message(int thread, int sequence) {
  return varied_message(static_cast<uint32_t>(thread), static_cast<uint64_t>(sequence), 29);
}

bool increasing(const std::vector<uint64_t> &sequences) {
  for (size_t i = 1; i < sequences.size(); ++i) {
    if (sequences[i] <= sequences[i - 1]) return false;
  }
  return true;
}

}  // namespace

TEST(CyclicFileThreads, EightThreadsOverFourHandlesWriteReadAndFlushAtOnce) {
  TestFile file;
  constexpr int kHandles = 4, kThreads = 8, kMessages = 1500;
  std::vector<void *> handles;
  for (int i = 0; i < kHandles; ++i) {
    handles.push_back(file.open(kReadWrite, 8192));
    ASSERT_NE(handles.back(), nullptr) << file.status();
  }
  std::atomic<int> failures{0};
  std::atomic<bool> writing{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      void *handle = handles[static_cast<size_t>(t % kHandles)];
      for (int sequence = 0; sequence < kMessages; ++sequence) {
        const std::string message = thread_message(t, sequence);
        // Every other message is formatted: the head from its numbers, then the filler.
        const int written = sequence % 2 == 0
                                ? write_message(handle, message)
                                : cyclic_file_fwritef(handle, "<%d.%d:%d>%s", t, sequence,
                                                      static_cast<int>(message.size()),
                                                      message.c_str() + message.find('>') + 1);
        if (written != 0) ++failures;
        if (sequence % 100 == t) {
          const Messages read = read_messages(handles[static_cast<size_t>((t + 1) % kHandles)]);
          if (read.count <= 0 || !read.whole()) ++failures;
          for (auto &[writer, sequences] : read.by_writer()) {
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
      void *extra = cyclic_file_create_handle(file.path().c_str(), kReadWrite, 0, &open_status);
      if (extra == nullptr) {
        ++failures;
        break;
      }
      if (read_messages(extra).torn) ++failures;
      cyclic_file_destroy_handle(extra);
    }
  });
  for (auto &thread : threads) thread.join();
  writing.store(false);
  opener.join();

  EXPECT_EQ(failures.load(), 0);
  const Messages read = read_messages(handles[0]);
  ASSERT_TRUE(read.whole());
  ASSERT_GT(read.count, 0);
  // The ring keeps the newest messages, in order: the newest of all is the
  // last message of the thread that finished last.
  bool newest_is_a_last_message = false;
  for (auto &[writer, sequences] : read.by_writer()) {
    EXPECT_TRUE(increasing(sequences)) << "thread " << writer;
    newest_is_a_last_message = newest_is_a_last_message || sequences.back() == kMessages - 1;
  }
  EXPECT_TRUE(newest_is_a_last_message);
}
