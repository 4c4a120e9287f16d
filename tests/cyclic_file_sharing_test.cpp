// Several handles, threads and processes appending to one cyclic file: every
// surviving message is whole, and each writer's messages survive as the
// newest run of what it wrote.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include "rotolog/cyclic_file.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"

using namespace test_support;
using namespace std::chrono_literals;

namespace {

// Codec messages of 20 to 56 bytes; read_all joins them, and the codec
// splits them again by writer.
std::string sharing_message(uint32_t writer, uint32_t sequence) {
  return varied_message(writer, sequence, 37);
}

int write_run(const std::string &path, uint32_t writer, uint32_t count) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_WRITE, 1 << 20, &status);
  if (handle == nullptr) return 10;
  for (uint32_t sequence = 0; sequence < count; ++sequence)
    if (write_message(handle, sharing_message(writer, sequence)) != 0) return 11;
  cyclic_file_destroy_handle(handle);
  return 0;
}

// Runs `writers` processes of `count` messages each against one file.
void run_writer_processes(TestFile &file, int ring_size, uint32_t writers, uint32_t count) {
  void *creator = file.open(kReadWrite, ring_size);
  ASSERT_NE(creator, nullptr);
  file.close(creator);
  std::vector<pid_t> children;
  for (uint32_t writer = 0; writer < writers; ++writer)
    children.push_back(start_child([&] { return write_run(file.path(), writer, count); }));
  for (pid_t child : children) EXPECT_EQ(wait_child(child, 120s), 0) << "writer hung or failed";
}

}  // namespace

TEST(CyclicFileSharing, ProcessesAppendingToALargeRingLoseNothing) {
  TestFile file;
  constexpr uint32_t kWriters = 4, kCount = 3000;
  run_writer_processes(file, 1 << 20, kWriters, kCount);
  const Messages read = read_messages_at(file.path(), CYCLIC_FILE_MODE_READ);
  ASSERT_FALSE(read.torn);
  const auto by_writer = read.by_writer();
  ASSERT_EQ(by_writer.size(), kWriters);
  for (auto &[writer, sequences] : by_writer) {
    ASSERT_EQ(sequences.size(), kCount) << "writer " << writer;
    for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(sequences[i], i);
  }
}

TEST(CyclicFileSharing, ProcessesAppendingToASmallRingLeaveTheNewestOfEachWriter) {
  TestFile file;
  constexpr uint32_t kWriters = 4, kCount = 3000;
  run_writer_processes(file, 4096, kWriters, kCount);
  const Messages read = read_messages_at(file.path(), CYCLIC_FILE_MODE_READ);
  ASSERT_FALSE(read.torn);
  const auto by_writer = read.by_writer();
  ASSERT_FALSE(by_writer.empty());
  for (auto &[writer, sequences] : by_writer) {
    ASSERT_LT(writer, kWriters);
    // A suffix of the writer's run: consecutive and ending with its last.
    EXPECT_EQ(sequences.back(), kCount - 1) << "writer " << writer;
    for (size_t i = 1; i < sequences.size(); ++i) ASSERT_EQ(sequences[i], sequences[i - 1] + 1);
  }
}

TEST(CyclicFileSharing, ThreadsOverSeveralHandlesOfOneFileInterleaveWholeMessages) {
  TestFile file;
  std::vector<void *> handles;
  for (int i = 0; i < 4; ++i) {
    handles.push_back(file.open(kReadWrite, 1 << 20));
    ASSERT_NE(handles.back(), nullptr);
  }
  constexpr uint32_t kThreads = 8, kCount = 2000;
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (uint32_t sequence = 0; sequence < kCount; ++sequence) {
        EXPECT_EQ(write_message(handles[t % 4], sharing_message(t, sequence)), 0);
        if (sequence % 500 == 0) {
          EXPECT_FALSE(read_messages(handles[(t + 1) % 4]).torn);
        }
      }
    });
  }
  for (auto &thread : threads) thread.join();
  const Messages read = read_messages(handles[0]);
  ASSERT_FALSE(read.torn);
  const auto by_writer = read.by_writer();
  ASSERT_EQ(by_writer.size(), kThreads);
  for (auto &[writer, sequences] : by_writer) EXPECT_EQ(sequences.size(), kCount);
}

TEST(CyclicFileSharing, AWriterKilledWhileWritingDoesNotStopTheOthers) {
  TestFile file;
  void *handle = file.open(kReadWrite, 8192);
  ASSERT_NE(handle, nullptr);
  for (int round = 0; round < 5; ++round) {
    pid_t child = start_child([&]() -> int {
      for (uint32_t sequence = 0;; ++sequence) write_message(handle, sharing_message(99, sequence));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + round * 7));
    stop_child(child);

    int result = run_in_child(
        [&] {
          return write_message(handle, sharing_message(1, static_cast<uint32_t>(round))) == 0 ? 0
                                                                                              : 1;
        },
        1s);
    EXPECT_EQ(result, 0) << "another process could not write within a second";
    const Messages read = read_messages(handle);
    EXPECT_FALSE(read.torn) << "round " << round;
    const std::vector<uint64_t> own = read.by_writer()[1];
    ASSERT_FALSE(own.empty());
    EXPECT_EQ(own.back(), static_cast<uint64_t>(round));
  }
}

// An operator who may read a file but not write it (nor take its lock) reads
// it through a read-only mapping, without the lock: whole messages, in order,
// while a writer keeps appending; a damaged file gives what a salvage keeps,
// and not a byte of the file changes.
TEST(CyclicFileReadOnly, AReaderWithoutWritePermissionReadsWithoutTheLock) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to an unprivileged reader";
  TestFile file;
  ASSERT_EQ(chmod(file.folder().c_str(), 0755), 0);
  const std::string &path = file.path();
  void *writer = file.open(kReadWrite, 8192);
  ASSERT_NE(writer, nullptr);
  uint32_t number = 0;
  for (; number < 100; ++number)
    ASSERT_EQ(write_message(writer, varied_message(0, number, 100)), 0);
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  const std::string before = file.bytes();

  // Alone: every message the ring holds, and writes are refused.
  int alone = run_in_child([&] {
    if (!become_nobody()) return 2;
    void *reader = file.open(CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_MUST_EXIST, 0);
    if (reader == nullptr) return 3;
    const Messages seen = read_messages(reader);
    if (seen.count <= 0 || !seen.whole() || seen.messages.back().sequence != 99) return 4;
    file.close(reader);
    return 0;
  });
  EXPECT_EQ(alone, 0);
  EXPECT_EQ(file.bytes(), before);

  // Beside a writer that keeps appending: each read is whole and in order.
  pid_t appender = start_child([&]() -> int {
    for (uint32_t n = number;; ++n) {
      write_message(writer, varied_message(0, n, 100));
      if (n % 64 == 0) usleep(100);
    }
  });
  int beside = run_in_child([&] {
    if (!become_nobody()) return 2;
    void *reader = file.open(CYCLIC_FILE_MODE_READ, 0);
    if (reader == nullptr) return 3;
    int whole_reads = 0;
    for (int i = 0; i < 300; ++i) {
      const Messages seen = read_messages(reader);
      if (seen.count == CYCLIC_FILE_READ_ALL_FAILED) continue;  // writers kept changing it
      if (seen.count <= 0 || !seen.whole()) return 4;
      for (size_t m = 1; m < seen.messages.size(); ++m)
        if (seen.messages[m].sequence != seen.messages[m - 1].sequence + 1) return 5;
      ++whole_reads;
    }
    return whole_reads > 0 ? 0 : 6;
  });
  stop_child(appender);
  EXPECT_EQ(beside, 0);
  file.close(writer);

  // A damaged count: the reader gets what a salvage keeps, and stores nothing.
  Header header = file.header();
  ++header.message_count;
  ASSERT_TRUE(file.rewrite_header(header));
  const std::string damaged = file.bytes();
  int salvaged = run_in_child([&] {
    if (!become_nobody()) return 2;
    void *reader = file.open(CYCLIC_FILE_MODE_READ, 0);
    if (reader == nullptr) return 3;
    const Messages seen = read_messages(reader);
    file.close(reader);
    return seen.count > 0 && seen.whole() ? 0 : 4;
  });
  EXPECT_EQ(salvaged, 0);
  EXPECT_EQ(file.bytes(), damaged);
}
