// Entries: their fields and numbers as writers of several processes and
// threads leave them, the checksum that keeps a damaged or misplaced entry
// from being returned, raw messages that look like entries, and the
// message-by-message reading.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include "rotolog/cyclic_file.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "rotolog/cyclic_file_entry.h"
#include "rotolog/cyclic_file_handle.h"
#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"

using namespace rotolog::detail;
using namespace test_support;

namespace {

int64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

CCyclicFile::Verdict verdict_of(void *handle) {
  CCyclicFile::Verdict verdict{};
  EXPECT_EQ(static_cast<CCyclicFile *>(handle)->verify(&verdict), 0);
  return verdict;
}

// Texts of one length, so that records take equal room: "entry-NNNN-....".
std::string entry_text(int number) {
  char text[17];
  std::snprintf(text, sizeof text, "entry-%04d-abcde", number);
  return text;
}
constexpr int kEntryRecord = 4 + kEntryHeadSize + 16;

}  // namespace

TEST(CyclicFileEntries, TheChecksumIsCrc32c) {
  // The check value of CRC-32C, and a checksum continued over two pieces.
  EXPECT_EQ(crc32c(0, "123456789", 9), 0xE3069283u);
  EXPECT_EQ(crc32c(crc32c(0, "1234", 4), "56789", 5), 0xE3069283u);
  const std::string long_text(1000, 'x');
  EXPECT_EQ(crc32c(crc32c(0, long_text.data(), 333), long_text.data() + 333, 667),
            crc32c(0, long_text.data(), long_text.size()));
}

TEST(CyclicFileEntries, WritersOfSeveralProcessesLeaveTheirFieldsInOrderOfNumber) {
  TestFile file;
  void *parent = file.open(kReadWrite, 1 << 16);
  ASSERT_NE(parent, nullptr);
  const int64_t started = now_ns();
  constexpr int kChildren = 3, kEach = 200;
  std::vector<pid_t> children;
  for (int child = 0; child < kChildren; ++child) {
    children.push_back(start_child([&file, child] {
      void *handle = cyclic_file_create_handle(file.path().c_str(), kReadWrite, 0, nullptr);
      if (handle == nullptr) return 1;
      for (int i = 0; i < kEach; ++i) {
        const std::string text = "w" + std::to_string(child) + "-" + std::to_string(i);
        if (write_entry(handle, i % 8, text) != CYCLIC_FILE_OK) return 2;
      }
      cyclic_file_destroy_handle(handle);
      return 0;
    }));
  }
  for (int i = 0; i < 50; ++i) ASSERT_EQ(write_message(parent, "raw " + std::to_string(i)), 0);
  for (pid_t child : children) ASSERT_EQ(wait_child(child, std::chrono::seconds(60)), 0);
  const int64_t ended = now_ns();

  const VisitedMessages read = visit_messages(parent);
  ASSERT_EQ(read.result, kChildren * kEach + 50);
  std::map<int32_t, int> next_of;  // per writing process: the next text's number
  std::map<int32_t, int64_t> latest_time;
  int raw = 0;
  for (size_t index = 0; index < read.messages.size(); ++index) {
    const Visited &message = read.messages[index];
    // Nothing lost, so the numbers are the positions.
    EXPECT_EQ(message.seq, index + 1);
    if (!message.entry) {
      EXPECT_EQ(message.data, "raw " + std::to_string(raw++));
      EXPECT_EQ(message.level, -1);
      continue;
    }
    const auto child = std::find(children.begin(), children.end(), message.pid);
    ASSERT_NE(child, children.end()) << message.pid;
    EXPECT_EQ(message.tid, message.pid);  // each child writes from its main thread
    const int i = next_of[message.pid]++;
    EXPECT_EQ(message.data,
              "w" + std::to_string(child - children.begin()) + "-" + std::to_string(i));
    EXPECT_EQ(message.level, i % 8);
    EXPECT_GE(message.time_ns, started);
    EXPECT_LE(message.time_ns, ended);
    EXPECT_GE(message.time_ns, latest_time[message.pid]);
    latest_time[message.pid] = message.time_ns;
  }
  EXPECT_EQ(raw, 50);
  for (pid_t child : children) EXPECT_EQ(next_of[child], kEach);
  uint64_t appended = 0;
  EXPECT_EQ(cyclic_file_appended(parent, &appended), 1);
  EXPECT_EQ(appended, static_cast<uint64_t>(read.result));
  const CCyclicFile::Verdict verdict = verdict_of(parent);
  EXPECT_TRUE(verdict.plan.consistent);
  EXPECT_EQ(verdict.damaged_entries + verdict.misnumbered_entries, 0);
}

TEST(CyclicFileEntries, ThreadsOfOneProcessKeepTimeInTheOrderOfNumbers) {
  TestFile file;
  void *handle = file.open(kReadWrite, 1 << 16);
  ASSERT_NE(handle, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([handle, t] {
      for (int i = 0; i < 100; ++i)
        cyclic_file_fwrite_entry(handle, CYCLIC_FILE_LEVEL_DEBUG, "t%d-%d", t, i);
    });
  }
  for (std::thread &thread : threads) thread.join();
  const VisitedMessages read = visit_messages(handle);
  ASSERT_EQ(read.result, 400);
  std::map<int32_t, int> per_thread;
  for (size_t i = 0; i < read.messages.size(); ++i) {
    EXPECT_TRUE(read.messages[i].entry);
    EXPECT_EQ(read.messages[i].pid, getpid());
    ++per_thread[read.messages[i].tid];
    if (i > 0) {
      EXPECT_GE(read.messages[i].time_ns, read.messages[i - 1].time_ns) << i;
    }
  }
  EXPECT_EQ(per_thread.size(), 4u);
}

TEST(CyclicFileEntries, AForkedChildStampsItsOwnIds) {
  TestFile file;
  void *handle = file.open(kReadWrite, 4096);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(write_entry(handle, 3, "parent"), 0);  // the ids are cached before the fork
  pid_t child = start_child([handle] { return write_entry(handle, 3, "child"); });
  ASSERT_EQ(wait_child(child, std::chrono::seconds(30)), 0);
  const VisitedMessages read = visit_messages(handle);
  ASSERT_EQ(read.messages.size(), 2u);
  EXPECT_EQ(read.messages[0].pid, getpid());
  EXPECT_EQ(read.messages[1].pid, child);
  EXPECT_EQ(read.messages[1].tid, child);
}

TEST(CyclicFileEntries, TheEntriesModeMakesPlainWritesEntriesThatOlderReadersSeeAsBytes) {
  TestFile file;
  void *writer = file.open(kReadWrite | CYCLIC_FILE_MODE_ENTRIES, 4096);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(write_message(writer, "plain call"), 0);
  ASSERT_EQ(cyclic_file_fwritef(writer, "formatted %d", 42), 0);
  EXPECT_EQ(cyclic_file_write(writer, "", 0), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(errno, EINVAL);
  const VisitedMessages read = visit_messages(writer);
  ASSERT_EQ(read.texts(), (std::vector<std::string>{"plain call", "formatted 42"}));
  for (const Visited &message : read.messages) {
    EXPECT_TRUE(message.entry);
    EXPECT_EQ(message.level, CYCLIC_FILE_LEVEL_INFO);
  }
  // read_all hands out the records' bytes: head and text.
  const Contents all = read_all(writer);
  EXPECT_EQ(all.count, 2);
  ASSERT_EQ(all.text.size(), 2u * kEntryHeadSize + 10 + 12);
  EXPECT_EQ(all.text.substr(kEntryHeadSize, 10), "plain call");
}

TEST(CyclicFileEntries, WritesThatCannotBeEntriesAreRefusedWithTheirReason) {
  TestFile file;
  void *writer = file.open(kReadWrite, 100);
  ASSERT_NE(writer, nullptr);
  for (int level : {-1, 8, 1000}) {
    errno = 0;
    EXPECT_EQ(write_entry(writer, level, "x"), CYCLIC_FILE_WRITE_FAILED);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(cyclic_file_write_entry(writer, 3, nullptr, 1), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(cyclic_file_write_entry(writer, 3, "x", -1), CYCLIC_FILE_WRITE_FAILED);
  // A ring of 100 bytes holds a text of 64 bytes at most.
  EXPECT_EQ(write_entry(writer, 3, std::string(65, 't')), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_EQ(write_entry(writer, 3, std::string(64, 't')), 0);
  EXPECT_EQ(cyclic_file_write_entry(writer, 3, nullptr, 0), 0);  // an empty text is an entry
  EXPECT_EQ(cyclic_file_fwrite_entry(writer, 3, "%s", ""), 0);
  EXPECT_EQ(cyclic_file_fwrite_entry(writer, 3, nullptr), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(cyclic_file_write_entry(nullptr, 3, "x", 1), CYCLIC_FILE_INVALID_HANDLE);
  void *reader = file.open(CYCLIC_FILE_MODE_READ, 0);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(write_entry(reader, 3, "x"), CYCLIC_FILE_PERMISSION_DENIED);
  const VisitedMessages read = visit_messages(reader);
  ASSERT_EQ(read.result, 2);
  EXPECT_EQ(read.messages[0].data, "");
  EXPECT_TRUE(read.messages[1].entry);
  EXPECT_EQ(cyclic_file_read_messages(reader, 0, -1, nullptr, nullptr),
            CYCLIC_FILE_READ_ALL_FAILED);
  EXPECT_EQ(visit_messages(writer).result, 2);
}

TEST(CyclicFileEntries, ARawMessageThatBeginsLikeAnEntryComesBackRaw) {
  TestFile file;
  void *writer = file.open(kReadWrite, 4096);
  ASSERT_NE(writer, nullptr);
  const std::string exact = std::string("\x1Erl\x16", 4) + std::string(40, 'p');
  std::string one_off = exact;
  one_off[1] = 'R';  // one part of the prefix differs: a raw message by its checksum
  const std::string short_one = exact.substr(0, 20);
  for (const std::string &message : {exact, one_off, short_one})
    ASSERT_EQ(write_message(writer, message), 0);
  const VisitedMessages read = visit_messages(writer);
  ASSERT_EQ(read.texts(), (std::vector<std::string>{exact, one_off, short_one}));
  for (const Visited &message : read.messages) EXPECT_FALSE(message.entry);
  EXPECT_EQ(read.messages[0].seq, 1u);
  EXPECT_TRUE(verdict_of(writer).plan.consistent);
  EXPECT_EQ(verdict_of(writer).damaged_entries, 0);
}

TEST(CyclicFileEntries, ReadingSelectsTheNewestAndThoseAboveANumber) {
  TestFile file;
  void *writer = file.open(kReadWrite, 4096);
  ASSERT_NE(writer, nullptr);
  for (int i = 1; i <= 6; ++i) {
    if (i % 2 == 0) {
      ASSERT_EQ(write_entry(writer, 5, entry_text(i)), 0);
    } else {
      ASSERT_EQ(write_message(writer, entry_text(i)), 0);
    }
  }
  const std::vector<std::string> newest_two = visit_messages(writer, 0, 2).texts();
  EXPECT_EQ(newest_two, (std::vector<std::string>{entry_text(5), entry_text(6)}));
  const VisitedMessages above_three = visit_messages(writer, 3);
  ASSERT_EQ(above_three.texts(),
            (std::vector<std::string>{entry_text(4), entry_text(5), entry_text(6)}));
  EXPECT_EQ(above_three.messages[1].seq, 5u);  // a raw message, numbered by its place
  EXPECT_EQ(visit_messages(writer, 6).result, 0);
  EXPECT_EQ(visit_messages(writer, 0, 0).result, 0);
  // A visitor that stops: the one that stopped is counted.
  auto stop = [](const cyclic_file_message_t *, void *) { return 1; };
  EXPECT_EQ(cyclic_file_read_messages(writer, 0, -1, stop, nullptr), 1);
}

// Every byte of an entry's payload, one at a time, in a record that lies in
// one piece and in one whose head crosses the ring's end: the entry is
// never returned, the others are returned as written, --verify's check
// counts it, and the next writer mends the file.
TEST(CyclicFileEntries, ADamagedByteAnywhereInAnEntryDropsIt) {
  for (const bool crossing : {false, true}) {
    TestFile file;
    // Crossing: the fifth record's head crosses the end, 16 bytes in.
    const int ring = crossing ? 4 * kEntryRecord + 20 : 1024;
    const int damaged = crossing ? 5 : 3;
    void *writer = file.open(kReadWrite, ring);
    ASSERT_NE(writer, nullptr);
    for (int i = 1; i <= 6; ++i) ASSERT_EQ(write_entry(writer, 4, entry_text(i)), 0);
    file.close(writer);
    const std::string sound = file.bytes();
    const int64_t record_at = crossing ? 4 * kEntryRecord : (damaged - 1) * kEntryRecord;
    for (int byte = 0; byte < kEntryHeadSize + 16; ++byte) {
      const size_t at = static_cast<size_t>(header_length() + (record_at + 4 + byte) % ring);
      std::string bytes = sound;
      bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
      ASSERT_TRUE(file.set_bytes(bytes));
      void *reader = file.open(CYCLIC_FILE_MODE_READ, 0);
      ASSERT_NE(reader, nullptr);
      const VisitedMessages read = visit_messages(reader);
      ASSERT_GE(read.result, 0);
      for (const Visited &message : read.messages) {
        EXPECT_NE(message.data, entry_text(damaged)) << "byte " << byte;
        EXPECT_TRUE(message.entry);
        EXPECT_EQ(message.data, entry_text(static_cast<int>(message.seq))) << "byte " << byte;
      }
      EXPECT_FALSE(read.messages.empty());
      EXPECT_EQ(read.messages.back().data, entry_text(6));
      const CCyclicFile::Verdict verdict = verdict_of(reader);
      EXPECT_FALSE(verdict.plan.consistent) << "byte " << byte;
      EXPECT_EQ(verdict.damaged_entries, 1) << "byte " << byte;
      // The reader changed nothing; a writer's open mends the file.
      EXPECT_EQ(file.bytes(), bytes);
      void *mender = file.open(kReadWrite, 0);
      ASSERT_NE(mender, nullptr);
      EXPECT_TRUE(verdict_of(reader).plan.consistent) << "byte " << byte;
      EXPECT_EQ(visit_messages(reader).texts(), read.texts());
      file.close(mender);
      file.close(reader);
    }
  }
}

// A record of an earlier moment of the file that lines up with the others
// (a page the kernel wrote back earlier than its neighbours): whole, but
// numbered out of place. Readers leave it out; --verify's check counts it.
TEST(CyclicFileEntries, AnEntryOfAnotherMomentIsNotReturnedInItsPlace) {
  TestFile file;
  const int ring = 4 * kEntryRecord;
  void *writer = file.open(kReadWrite, ring);
  ASSERT_NE(writer, nullptr);
  for (int i = 1; i <= 4; ++i) ASSERT_EQ(write_entry(writer, 4, entry_text(i)), 0);
  const std::string earlier = file.bytes();
  for (int i = 5; i <= 8; ++i) ASSERT_EQ(write_entry(writer, 4, entry_text(i)), 0);
  file.close(writer);
  // The slot of entry 6 gets entry 2 back, which lay there before.
  std::string bytes = file.bytes();
  const size_t slot = static_cast<size_t>(header_length() + kEntryRecord);
  ASSERT_EQ(bytes.compare(slot + 4 + kEntryHeadSize, 16, entry_text(6)), 0);
  bytes.replace(slot, kEntryRecord, earlier, slot, kEntryRecord);
  ASSERT_TRUE(file.set_bytes(bytes));
  void *reader = file.open(CYCLIC_FILE_MODE_READ, 0);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(visit_messages(reader).texts(),
            (std::vector<std::string>{entry_text(5), entry_text(7), entry_text(8)}));
  const CCyclicFile::Verdict verdict = verdict_of(reader);
  EXPECT_TRUE(verdict.plan.consistent);
  EXPECT_EQ(verdict.damaged_entries, 0);
  EXPECT_EQ(verdict.misnumbered_entries, 1);
}

// A file copied without its lock file (or restored from a backup) meets a
// lock file that counts nothing yet: its first writer numbers on from its
// entries, so new entries are not taken for records of another moment.
TEST(CyclicFileEntries, ACopiedFileNumbersItsNewEntriesAfterItsOldOnes) {
  TestFile file;
  void *writer = file.open(kReadWrite, 4096);
  ASSERT_NE(writer, nullptr);
  for (int i = 1; i <= 5; ++i) ASSERT_EQ(write_entry(writer, 6, entry_text(i)), 0);
  ASSERT_EQ(write_message(writer, "raw after them"), 0);
  const std::string copy = file.file("copy");
  ASSERT_TRUE(write_file(copy, file.bytes()));
  void *copied = file.open(copy, kReadWrite, 0);
  ASSERT_NE(copied, nullptr);
  uint64_t appended = 0;
  EXPECT_EQ(cyclic_file_appended(copied, &appended), 1);
  EXPECT_EQ(appended, 6u);
  ASSERT_EQ(write_entry(copied, 6, entry_text(7)), 0);
  const VisitedMessages read = visit_messages(copied);
  ASSERT_EQ(read.result, 7);
  EXPECT_EQ(read.messages.back().data, entry_text(7));
  EXPECT_EQ(read.messages.back().seq, 7u);
  EXPECT_EQ(read.messages[5].seq, 6u);
}

// Bytes inside a damaged entry (here its binary text) that read as a length
// field leading exactly to the write position: a record that never was, and
// it begins before the first whole entry. The salvage keeps the run that
// begins with an entry instead.
TEST(CyclicFileEntries, TheSalvageTakesNoRecordFromInsideAnEntry) {
  TestFile file;
  void *writer = file.open(kReadWrite, 4096);
  ASSERT_NE(writer, nullptr);
  // The first record's text begins at ring offset 36; the others take 52
  // bytes each, so the write position is at 100 + 104 = 204.
  std::string binary(64, 'b');
  const int fake_at = 36 + 8;
  const int32_t fake_length = 204 - fake_at - 4;
  std::memcpy(&binary[8], &fake_length, 4);
  ASSERT_EQ(write_entry(writer, 2, binary), 0);
  ASSERT_EQ(write_entry(writer, 2, entry_text(2)), 0);
  ASSERT_EQ(write_entry(writer, 2, entry_text(3)), 0);
  file.close(writer);
  ASSERT_EQ(file.header().write_offset, 204);
  // The first entry's time damaged: the walk from the read position fails
  // at once, and the search for a run begins.
  const size_t time_at = static_cast<size_t>(header_length() + 4 + 8);
  std::string bytes = file.bytes();
  bytes[time_at] = static_cast<char>(bytes[time_at] ^ 1);
  ASSERT_TRUE(file.set_bytes(bytes));
  void *reader = file.open(CYCLIC_FILE_MODE_READ, 0);
  ASSERT_NE(reader, nullptr);
  const VisitedMessages read = visit_messages(reader);
  EXPECT_EQ(read.texts(), (std::vector<std::string>{entry_text(2), entry_text(3)}));
  const CCyclicFile::Verdict verdict = verdict_of(reader);
  EXPECT_EQ(verdict.plan.kept_count, 2);
  EXPECT_EQ(verdict.damaged_entries, 1);
}

// A logging library's record, written later or by another thread: its time
// and thread as given; the process is the writer's.
TEST(CyclicFileEntries, AnEntryMayCarryTheTimeAndThreadOfARecordMadeBefore) {
  TestFile file;
  void *writer = file.open(kReadWrite, 4096);
  ASSERT_NE(writer, nullptr);
  const int64_t made = 1700000000123456789;
  ASSERT_EQ(cyclic_file_write_entry_ex(writer, 4, made, 4242, "made before", 11), 0);
  ASSERT_EQ(cyclic_file_write_entry_ex(writer, 4, 0, 0, "now", 3), 0);
  EXPECT_EQ(cyclic_file_write_entry_ex(writer, 4, made, -1, "x", 1), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(cyclic_file_get_buffer_size(writer), 4096);
  EXPECT_EQ(cyclic_file_get_buffer_size(nullptr), CYCLIC_FILE_INVALID_HANDLE);
  const VisitedMessages read = visit_messages(writer);
  ASSERT_EQ(read.result, 2);
  EXPECT_EQ(read.messages[0].time_ns, made);
  EXPECT_EQ(read.messages[0].tid, 4242);
  EXPECT_EQ(read.messages[0].pid, getpid());
  EXPECT_GT(read.messages[1].time_ns, made);
  EXPECT_EQ(read.messages[1].tid, static_cast<int32_t>(gettid()));
}

// The exported check tells what --stats and --verify report: the header the
// copy holds, what a salvage keeps, and the entries that are damaged.
TEST(CyclicFileEntries, TheExportedCheckReportsTheHeaderAndTheDamage) {
  TestFile file;
  void *writer = file.open(kReadWrite, 1024);
  ASSERT_NE(writer, nullptr);
  for (int i = 1; i <= 4; ++i) ASSERT_EQ(write_entry(writer, 4, entry_text(i)), 0);
  cyclic_file_check_t check;
  ASSERT_EQ(cyclic_file_check(writer, &check), 0);
  EXPECT_EQ(check.header_length, header_length());
  EXPECT_EQ(check.buffer_size, 1024);
  EXPECT_EQ(check.message_count, 4);
  EXPECT_EQ(check.read_offset, 0);
  EXPECT_EQ(check.write_offset, 4 * kEntryRecord);
  EXPECT_EQ(check.used_bytes, 4 * kEntryRecord);
  EXPECT_EQ(check.consistent, 1);
  EXPECT_EQ(check.damaged_entries + check.misnumbered_entries, 0);
  // The last entry's text damaged: a salvage keeps the first two (the one
  // before the damage goes too).
  const size_t text_at = static_cast<size_t>(header_length() + 3 * kEntryRecord + 4 + 40);
  ASSERT_TRUE(file.overwrite(text_at, "#"));
  void *reader = file.open(CYCLIC_FILE_MODE_READ, 0);
  ASSERT_NE(reader, nullptr);
  ASSERT_EQ(cyclic_file_check(reader, &check), 0);
  EXPECT_EQ(check.consistent, 0);
  EXPECT_EQ(check.damaged_entries, 1);
  EXPECT_EQ(check.kept_count, 2);
  EXPECT_EQ(check.kept_payload, 2 * (kEntryRecord - 4));
  EXPECT_EQ(cyclic_file_check(reader, nullptr), CYCLIC_FILE_READ_ALL_FAILED);
  EXPECT_EQ(cyclic_file_check(nullptr, &check), CYCLIC_FILE_INVALID_HANDLE);
  EXPECT_EQ(cyclic_file_appended(nullptr, nullptr), CYCLIC_FILE_INVALID_HANDLE);
  void *write_only = file.open(CYCLIC_FILE_MODE_WRITE, 0);
  ASSERT_NE(write_only, nullptr);
  EXPECT_EQ(cyclic_file_check(write_only, &check), CYCLIC_FILE_PERMISSION_DENIED);
}
