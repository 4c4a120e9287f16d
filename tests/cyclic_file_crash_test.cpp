// A writer that dies at any step of a write, or while storing the header,
// leaves a file that reads back as the messages before the write, those
// before it less the ones the write evicts, or the messages after it.
#include <gtest/gtest.h>
#include <rotolog/cyclic_file.h>
#include <test_seams.h>

#include <chrono>
#include <string>
#include <vector>

#include "rotolog/cyclic_file_crash_points.h"
#include "test_support.h"

using test_support::TempDir;

namespace {

constexpr int kRW = CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE;
constexpr int kRing = 96;

CrashPoint stop_at;

void die_at_crash_point(CrashPoint point) {
  if (point == stop_at) _exit(0);
}

// Messages of a file are told apart by a fixed framing: a byte with the
// length, then that many bytes.
std::string framed(int index, int length) {
  return std::string(1, static_cast<char>(length)) + std::string(static_cast<size_t>(length), static_cast<char>('A' + index % 26));
}

std::vector<std::string> split(const std::string &all) {
  std::vector<std::string> messages;
  for (size_t at = 0; at < all.size();) {
    size_t length = static_cast<unsigned char>(all[at]);
    messages.push_back(all.substr(at, length + 1));
    at += length + 1;
  }
  return messages;
}

std::vector<std::string> read_messages(const std::string &path) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 0, &status);
  if (handle == nullptr) return {"<load failed>"};
  char *block = nullptr;
  int length = 0;
  int count = cyclic_file_read_all(handle, &block, &length);
  std::vector<std::string> messages;
  if (count < 0) {
    messages.push_back("<read failed>");
  } else if (count > 0) {
    messages = split(std::string(block, static_cast<size_t>(length)));
    if (static_cast<int>(messages.size()) != count) messages.push_back("<count differs>");
  }
  cyclic_file_free_read_buffer(handle, block);
  cyclic_file_destroy_handle(handle);
  return messages;
}

void write_message(const std::string &path, const std::string &message) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, kRing, &status);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(cyclic_file_write(handle, message.data(), static_cast<int>(message.size())), 0);
  cyclic_file_destroy_handle(handle);
}

// Writes `message` in a child that dies at `point`, holding the file's lock.
void write_and_die(const std::string &path, const std::string &message, CrashPoint point) {
  int result = test_support::run_in_child([&] {
    stop_at = point;
    cyclic_file_crash_hook = die_at_crash_point;
    int status = 0;
    void *handle = cyclic_file_create_handle(path.c_str(), kRW, kRing, &status);
    if (handle == nullptr) return 3;
    cyclic_file_write(handle, message.data(), static_cast<int>(message.size()));
    return 4;  // the crash point was never reached
  });
  ASSERT_EQ(result, 0);
}

// The three outcomes a crashed write may leave.
struct Outcomes {
  std::vector<std::string> before, without_evicted, after;
  bool allows(const std::vector<std::string> &seen) const {
    return seen == before || seen == without_evicted || seen == after;
  }
};

// `after` ends with the written message; without it, it is what is left of
// `before` once the write's evictions are done.
Outcomes outcomes_of(const std::vector<std::string> &before, const std::vector<std::string> &after) {
  Outcomes outcomes{before, after, after};
  outcomes.without_evicted.pop_back();
  return outcomes;
}

}  // namespace

TEST(CyclicFileCrash, AWriterDyingAtAnyStepLeavesBeforeOrAfter) {
  for (CrashPoint point : {CrashPoint::kHeaderReloaded, CrashPoint::kInterimStored,
                           CrashPoint::kRecordWritten, CrashPoint::kHeaderStored}) {
    for (int filled = 0; filled < 14; ++filled) {
      TempDir dir;
      std::string path = dir.file("log");
      std::string reference = dir.file("reference");
      for (int i = 0; i < filled; ++i) {
        write_message(path, framed(i, 5 + i * 3 % 11));
        write_message(reference, framed(i, 5 + i * 3 % 11));
      }
      std::vector<std::string> before = read_messages(path);
      std::string message = framed(filled, 20);
      write_message(reference, message);
      Outcomes outcomes = outcomes_of(before, read_messages(reference));

      write_and_die(path, message, point);
      std::vector<std::string> seen = read_messages(path);
      EXPECT_TRUE(outcomes.allows(seen)) << "crash point " << static_cast<int>(point) << ", " << filled
                                         << " messages before; " << seen.size() << " read back";
      if (point == CrashPoint::kHeaderStored) {
        EXPECT_EQ(seen, outcomes.after);
      }
      // The file goes on working after the dead writer.
      write_message(path, framed(40, 3));
      std::vector<std::string> later = read_messages(path);
      ASSERT_FALSE(later.empty());
      EXPECT_EQ(later.back(), framed(40, 3));
    }
  }
}

TEST(CyclicFileCrash, AHeaderTornAtAnyByteIsRepairedByTheNextHolder) {
  TempDir dir;
  for (int filled = 3; filled < 14; ++filled) {
    std::string path = dir.file("log");
    std::remove(path.c_str());
    for (int i = 0; i < filled; ++i) write_message(path, framed(i, 5 + i * 3 % 11));
    std::string message = framed(filled, 20);

    // The file as the write leaves it at each step.
    std::vector<std::string> stages;
    stages.push_back(test_support::read_file(path));
    std::vector<std::string> before = read_messages(path);
    for (CrashPoint point : {CrashPoint::kInterimStored, CrashPoint::kRecordWritten}) {
      std::string copy = dir.file("stage");
      test_support::write_file(copy, stages[0]);
      write_and_die(copy, message, point);
      stages.push_back(test_support::read_file(copy));
    }
    write_message(path, message);
    stages.push_back(test_support::read_file(path));
    Outcomes outcomes = outcomes_of(before, read_messages(path));

    // A store of the header runs between stages 0 and 1 (interim) and 2 and
    // 3 (final); a writer may die after any byte of it.
    const size_t header_room = 60;
    for (int store = 0; store < 2; ++store) {
      const std::string &old_bytes = stages[store * 2];
      const std::string &new_bytes = stages[store * 2 + 1];
      for (size_t torn_at = 0; torn_at <= header_room; ++torn_at) {
        std::string torn = new_bytes.substr(0, torn_at) + old_bytes.substr(torn_at, header_room - torn_at) +
                           old_bytes.substr(header_room);
        std::string copy = dir.file("torn");
        test_support::write_file(copy, torn);
        vandrel_test_report_owner_died(1);
        std::vector<std::string> seen = read_messages(copy);
        vandrel_test_report_owner_died(0);
        EXPECT_TRUE(outcomes.allows(seen)) << filled << " messages, store " << store << ", torn at byte " << torn_at
                                           << "; " << seen.size() << " read back";
      }
    }
  }
}
