// Several handles, threads and processes appending to one cyclic file: every
// surviving message is whole, and each writer's messages survive as the
// newest run of what it wrote.
#include <gtest/gtest.h>
#include <rotolog/cyclic_file.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform_child_process.h"
#include "test_support.h"

using test_support::TempDir;

namespace {

constexpr int kRW = CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE;

// A self-checking message: writer, sequence, payload length, checksum, then
// the payload. read_all concatenates messages, so the framing is what tells
// them apart.
struct Frame {
  uint32_t writer;
  uint32_t sequence;
  uint32_t length;
  uint32_t checksum;
};

uint32_t checksum(uint32_t writer, uint32_t sequence, const char *payload, uint32_t length) {
  uint32_t sum = 2166136261u ^ writer ^ (sequence * 16777619u);
  for (uint32_t i = 0; i < length; ++i)
    sum = (sum ^ static_cast<unsigned char>(payload[i])) * 16777619u;
  return sum;
}

std::string make_message(uint32_t writer, uint32_t sequence) {
  uint32_t length = 1 + (sequence * 7 + writer * 13) % 40;
  std::string payload(length, static_cast<char>('a' + (sequence + writer) % 26));
  Frame frame{writer, sequence, length, checksum(writer, sequence, payload.data(), length)};
  return std::string(reinterpret_cast<const char *>(&frame), sizeof frame) + payload;
}

struct Parsed {
  bool valid = true;
  std::map<uint32_t, std::vector<uint32_t>> sequences;  // by writer, in file order
};

Parsed parse(const std::string &all) {
  Parsed parsed;
  size_t at = 0;
  while (at < all.size()) {
    Frame frame;
    if (all.size() - at < sizeof frame) return parsed.valid = false, parsed;
    std::memcpy(&frame, all.data() + at, sizeof frame);
    at += sizeof frame;
    if (frame.length > all.size() - at ||
        frame.checksum != checksum(frame.writer, frame.sequence, all.data() + at, frame.length)) {
      parsed.valid = false;
      return parsed;
    }
    at += frame.length;
    parsed.sequences[frame.writer].push_back(frame.sequence);
  }
  return parsed;
}

std::string read_everything(void *handle) {
  char *block = nullptr;
  int length = 0;
  int result = cyclic_file_read_all(handle, &block, &length);
  std::string text = result > 0 ? std::string(block, static_cast<size_t>(length)) : std::string();
  cyclic_file_free_read_buffer(handle, block);
  return text;
}

int write_run(const std::string &path, uint32_t writer, uint32_t count) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_WRITE, 1 << 20, &status);
  if (handle == nullptr) return 10;
  for (uint32_t sequence = 0; sequence < count; ++sequence) {
    std::string message = make_message(writer, sequence);
    if (cyclic_file_write(handle, message.data(), static_cast<int>(message.size())) != 0) return 11;
  }
  cyclic_file_destroy_handle(handle);
  return 0;
}

// Runs `writers` processes of `count` messages each against one file.
void run_writer_processes(const std::string &path, int ring_size, uint32_t writers,
                          uint32_t count) {
  int status = 0;
  void *creator = cyclic_file_create_handle(path.c_str(), kRW, ring_size, &status);
  ASSERT_NE(creator, nullptr);
  cyclic_file_destroy_handle(creator);
  std::vector<pid_t> children;
  for (uint32_t writer = 0; writer < writers; ++writer) {
    pid_t child = fork();
    if (child == 0) _exit(write_run(path, writer, count));
    children.push_back(child);
  }
  for (pid_t child : children) {
    int wait_status = test_support::wait_with_deadline(child, std::chrono::seconds(120));
    ASSERT_TRUE(wait_status != -1 && WIFEXITED(wait_status)) << "writer hung or crashed";
    EXPECT_EQ(WEXITSTATUS(wait_status), 0);
  }
}

}  // namespace

TEST(CyclicFileSharing, ProcessesAppendingToALargeRingLoseNothing) {
  TempDir dir;
  std::string path = dir.file("log");
  constexpr uint32_t kWriters = 4, kCount = 3000;
  run_writer_processes(path, 1 << 20, kWriters, kCount);
  int status = 0;
  void *reader = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_READ, 0, &status);
  ASSERT_NE(reader, nullptr);
  Parsed parsed = parse(read_everything(reader));
  cyclic_file_destroy_handle(reader);
  ASSERT_TRUE(parsed.valid);
  ASSERT_EQ(parsed.sequences.size(), kWriters);
  for (auto &[writer, sequences] : parsed.sequences) {
    ASSERT_EQ(sequences.size(), kCount) << "writer " << writer;
    for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(sequences[i], i);
  }
}

TEST(CyclicFileSharing, ProcessesAppendingToASmallRingLeaveTheNewestOfEachWriter) {
  TempDir dir;
  std::string path = dir.file("log");
  constexpr uint32_t kWriters = 4, kCount = 3000;
  run_writer_processes(path, 4096, kWriters, kCount);
  int status = 0;
  void *reader = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_READ, 0, &status);
  ASSERT_NE(reader, nullptr);
  Parsed parsed = parse(read_everything(reader));
  cyclic_file_destroy_handle(reader);
  ASSERT_TRUE(parsed.valid);
  ASSERT_FALSE(parsed.sequences.empty());
  for (auto &[writer, sequences] : parsed.sequences) {
    ASSERT_LT(writer, kWriters);
    // A suffix of the writer's run: consecutive and ending with its last.
    EXPECT_EQ(sequences.back(), kCount - 1) << "writer " << writer;
    for (size_t i = 1; i < sequences.size(); ++i) ASSERT_EQ(sequences[i], sequences[i - 1] + 1);
  }
}

TEST(CyclicFileSharing, ThreadsOverSeveralHandlesOfOneFileInterleaveWholeMessages) {
  TempDir dir;
  std::string path = dir.file("log");
  int status = 0;
  std::vector<void *> handles;
  for (int i = 0; i < 4; ++i) {
    handles.push_back(cyclic_file_create_handle(path.c_str(), kRW, 1 << 20, &status));
    ASSERT_NE(handles.back(), nullptr);
  }
  constexpr uint32_t kThreads = 8, kCount = 2000;
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (uint32_t sequence = 0; sequence < kCount; ++sequence) {
        std::string message = make_message(t, sequence);
        EXPECT_EQ(
            cyclic_file_write(handles[t % 4], message.data(), static_cast<int>(message.size())), 0);
        if (sequence % 500 == 0) {
          EXPECT_TRUE(parse(read_everything(handles[(t + 1) % 4])).valid);
        }
      }
    });
  }
  for (auto &thread : threads) thread.join();
  Parsed parsed = parse(read_everything(handles[0]));
  ASSERT_TRUE(parsed.valid);
  ASSERT_EQ(parsed.sequences.size(), kThreads);
  for (auto &[writer, sequences] : parsed.sequences) EXPECT_EQ(sequences.size(), kCount);
  for (void *handle : handles) cyclic_file_destroy_handle(handle);
}

TEST(CyclicFileSharing, AWriterKilledWhileWritingDoesNotStopTheOthers) {
  TempDir dir;
  std::string path = dir.file("log");
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 8192, &status);
  ASSERT_NE(handle, nullptr);
  for (int round = 0; round < 5; ++round) {
    pid_t child = fork();
    if (child == 0) {
      for (uint32_t sequence = 0;; ++sequence) {
        std::string message = make_message(99, sequence);
        cyclic_file_write(handle, message.data(), static_cast<int>(message.size()));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + round * 7));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    int result = test_support::run_in_child(
        [&] {
          std::string message = make_message(1, static_cast<uint32_t>(round));
          return cyclic_file_write(handle, message.data(), static_cast<int>(message.size())) == 0
                     ? 0
                     : 1;
        },
        std::chrono::seconds(1));
    EXPECT_EQ(result, 0) << "another process could not write within a second";
    Parsed parsed = parse(read_everything(handle));
    EXPECT_TRUE(parsed.valid) << "round " << round;
    ASSERT_FALSE(parsed.sequences[1].empty());
    EXPECT_EQ(parsed.sequences[1].back(), static_cast<uint32_t>(round));
  }
  cyclic_file_destroy_handle(handle);
}

// An operator who may read a file but not write it (nor take its lock) reads
// it through a read-only mapping, without the lock: whole messages, in order,
// while a writer keeps appending; a damaged file gives what a salvage keeps,
// and not a byte of the file changes.
namespace {

int read_numbered(void *handle, test_support::NumberedMessages *seen) {
  int count = 0;
  std::string all = test_support::read_all_text(handle, &count);
  if (count > 0) *seen = test_support::split_numbered(all, 100);
  return count;
}

}  // namespace

TEST(CyclicFileReadOnly, AReaderWithoutWritePermissionReadsWithoutTheLock) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to an unprivileged reader";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string path = dir.file("log");
  int status = 0;
  void *writer = cyclic_file_create_handle(path.c_str(), kRW, 8192, &status);
  ASSERT_NE(writer, nullptr);
  uint32_t number = 0;
  for (; number < 100; ++number) {
    std::string message = test_support::numbered_message(number, 100);
    ASSERT_EQ(cyclic_file_write(writer, message.data(), static_cast<int>(message.size())), 0);
  }
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  const std::string before = test_support::read_file(path);

  // Alone: every message the ring holds, and writes are refused.
  int alone = test_support::run_in_child([&] {
    if (!platform_test::become_nobody()) return 2;
    int child_status = 0;
    void *reader = cyclic_file_create_handle(
        path.c_str(), CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_MUST_EXIST, 0, &child_status);
    if (reader == nullptr) return 3;
    test_support::NumberedMessages seen;
    int count = read_numbered(reader, &seen);
    if (count <= 0 || seen.torn || static_cast<int>(seen.numbers.size()) != count ||
        seen.numbers.back() != 99)
      return 4;
    cyclic_file_destroy_handle(reader);
    return 0;
  });
  EXPECT_EQ(alone, 0);
  EXPECT_EQ(test_support::read_file(path), before);

  // Beside a writer that keeps appending: each read is whole and in order.
  pid_t appender = fork();
  if (appender == 0) {
    for (uint32_t n = number;; ++n) {
      std::string message = test_support::numbered_message(n, 100);
      cyclic_file_write(writer, message.data(), static_cast<int>(message.size()));
      if (n % 64 == 0) usleep(100);
    }
  }
  int beside = test_support::run_in_child([&] {
    if (!platform_test::become_nobody()) return 2;
    int child_status = 0;
    void *reader = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_READ, 0, &child_status);
    if (reader == nullptr) return 3;
    int whole_reads = 0;
    for (int i = 0; i < 300; ++i) {
      test_support::NumberedMessages seen;
      int count = read_numbered(reader, &seen);
      if (count == CYCLIC_FILE_READ_ALL_FAILED) continue;  // writers kept changing it
      if (count <= 0 || seen.torn || static_cast<int>(seen.numbers.size()) != count) return 4;
      for (size_t m = 1; m < seen.numbers.size(); ++m)
        if (seen.numbers[m] != seen.numbers[m - 1] + 1) return 5;
      ++whole_reads;
    }
    return whole_reads > 0 ? 0 : 6;
  });
  kill(appender, SIGKILL);
  waitpid(appender, nullptr, 0);
  EXPECT_EQ(beside, 0);
  cyclic_file_destroy_handle(writer);

  // A damaged count: the reader gets what a salvage keeps, and stores nothing.
  std::string damaged = test_support::read_file(path);
  damaged[15] = static_cast<char>(damaged[15] + 1);  // message_count, big-endian, low byte
  test_support::write_file(path, damaged);
  int salvaged = test_support::run_in_child([&] {
    if (!platform_test::become_nobody()) return 2;
    int child_status = 0;
    void *reader = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_READ, 0, &child_status);
    if (reader == nullptr) return 3;
    test_support::NumberedMessages seen;
    int count = read_numbered(reader, &seen);
    cyclic_file_destroy_handle(reader);
    return count > 0 && !seen.torn && static_cast<int>(seen.numbers.size()) == count ? 0 : 4;
  });
  EXPECT_EQ(salvaged, 0);
  EXPECT_EQ(test_support::read_file(path), damaged);
}
