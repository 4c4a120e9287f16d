// A writer that dies at any step of a write, or while storing the header,
// leaves a file that reads back as the messages before the write, those
// before it less the ones the write evicts, or the messages after it.
#include <gtest/gtest.h>
#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_header.h"
#include "rotolog/platform/test_seams.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "rotolog/cyclic_file_handle.h"
#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"

using namespace rotolog::detail;

using namespace test_support;

namespace {

constexpr int kRing = 160;

// Installed on the crash point's seam: the writer ends there.
int die_at_crash_point(const test_seam_call_t *, void *) { _exit(0); }

// Message `index` of the file, `length` bytes long (17 at least).
std::string numbered(int index, int length) {
  return make_message(0, static_cast<uint64_t>(index), static_cast<uint32_t>(length));
}
// The lengths of the messages that fill a file, 17 to 27 bytes.
int filling_length(int index) { return 17 + index * 3 % 11; }

void append(const std::string &path, const std::string &message) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kReadWrite, kRing, &status);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(write_message(handle, message), 0);
  cyclic_file_destroy_handle(handle);
}

// Writes `message` in a child that dies at `point`, holding the file's lock.
void write_and_die(const std::string &path, const std::string &message, CrashPoint point) {
  int result = run_in_child([&] {
    test_seam_set_hook(crash_seam(point), die_at_crash_point, nullptr);
    int status = 0;
    void *handle = cyclic_file_create_handle(path.c_str(), kReadWrite, kRing, &status);
    if (handle == nullptr) return 3;
    write_message(handle, message);
    return 4;  // the crash point was never reached
  });
  ASSERT_EQ(result, 0);
}

// The messages a file reads back as, in a fresh handle; only whole reads count.
std::vector<MessageId> read_back(const std::string &path) {
  const Messages read = read_messages_at(path);
  EXPECT_TRUE(read.whole()) << path << " read back " << read.count << " messages";
  return read.messages;
}

// The three outcomes a crashed write may leave.
struct Outcomes {
  std::vector<MessageId> before, without_evicted, after;
  bool allows(const Messages &seen) const {
    return seen.whole() &&
           (seen.messages == before || seen.messages == without_evicted || seen.messages == after);
  }
};

// `after` ends with the written message; without it, it is what is left of
// `before` once the write's evictions are done.
Outcomes outcomes_of(const std::vector<MessageId> &before, const std::vector<MessageId> &after) {
  Outcomes outcomes{before, after, after};
  outcomes.without_evicted.pop_back();
  return outcomes;
}

}  // namespace

TEST(CyclicFileCrash, AWriterDyingAtAnyStepLeavesBeforeOrAfter) {
  for (CrashPoint point : {CrashPoint::kHeaderReloaded, CrashPoint::kInterimStored,
                           CrashPoint::kRecordWritten, CrashPoint::kHeaderStored}) {
    for (int filled = 0; filled < 14; ++filled) {
      TestFile file;
      const std::string &path = file.path();
      const std::string reference = file.file("reference");
      for (int i = 0; i < filled; ++i) {
        append(path, numbered(i, filling_length(i)));
        append(reference, numbered(i, filling_length(i)));
      }
      // Before the first write there is no file, and so no message.
      const std::vector<MessageId> before =
          filled == 0 ? std::vector<MessageId>{} : read_back(path);
      const std::string message = numbered(filled, 32);
      append(reference, message);
      Outcomes outcomes = outcomes_of(before, read_back(reference));

      write_and_die(path, message, point);
      const Messages seen = read_messages_at(path);
      EXPECT_TRUE(outcomes.allows(seen))
          << "crash point " << static_cast<int>(point) << ", " << filled << " messages before; "
          << seen.messages.size() << " read back";
      if (point == CrashPoint::kHeaderStored) {
        EXPECT_EQ(seen.messages, outcomes.after);
      }
      // The file goes on working after the dead writer.
      append(path, numbered(40, 17));
      const std::vector<MessageId> later = read_back(path);
      ASSERT_FALSE(later.empty());
      EXPECT_EQ(later.back().sequence, 40u);
    }
  }
}

TEST(CyclicFileCrash, AHeaderTornAtAnyByteIsRepairedByTheNextHolder) {
  TestFile file;
  const std::string &path = file.path();
  for (int filled = 3; filled < 14; ++filled) {
    std::remove(path.c_str());
    for (int i = 0; i < filled; ++i) append(path, numbered(i, filling_length(i)));
    const std::string message = numbered(filled, 32);

    // The file as the write leaves it at each step.
    std::vector<std::string> stages;
    stages.push_back(file.bytes());
    const std::vector<MessageId> before = read_back(path);
    for (CrashPoint point : {CrashPoint::kInterimStored, CrashPoint::kRecordWritten}) {
      const std::string copy = file.file("stage");
      write_file(copy, stages[0]);
      write_and_die(copy, message, point);
      stages.push_back(read_file(copy));
    }
    append(path, message);
    stages.push_back(file.bytes());
    Outcomes outcomes = outcomes_of(before, read_back(path));

    // A store of the header runs between stages 0 and 1 (interim) and 2 and
    // 3 (final); a writer may die after any byte of it.
    const size_t header_room = 60;
    for (int store = 0; store < 2; ++store) {
      const std::string &old_bytes = stages[store * 2];
      const std::string &new_bytes = stages[store * 2 + 1];
      for (size_t torn_at = 0; torn_at <= header_room; ++torn_at) {
        std::string torn = new_bytes.substr(0, torn_at) +
                           old_bytes.substr(torn_at, header_room - torn_at) +
                           old_bytes.substr(header_room);
        const std::string copy = file.file("torn");
        write_file(copy, torn);
        test_seam_fail(TEST_SEAM_LOCK_ENTER, 1, EOWNERDEAD);
        const Messages seen = read_messages_at(copy);
        test_seam_fail(TEST_SEAM_LOCK_ENTER, 0, 0);
        EXPECT_TRUE(outcomes.allows(seen))
            << filled << " messages, store " << store << ", torn at byte " << torn_at << "; "
            << seen.messages.size() << " read back";
      }
    }
  }
}

// A crashed machine: the file's pages as the kernel may have written them
// back, each from one of two moments of the file's life, or the header's page
// from one and every ring page from the other. Every cut file loads, reads,
// takes a write and reads again; most of the messages its header counted
// come back whole. ROTOLOG_CRASH_CUTS raises the number of cuts (make crash).
namespace {

struct CutFigures {
  long cuts = 0, load_failures = 0, read_failures = 0, write_failures = 0, counted = 0, intact = 0,
       kept = 0, torn = 0, raw = 0;
};

// How many of the records a file's header counts lie on `disk` exactly as in
// `file` (the moment the header comes from).
long intact_records(const std::string &file, const std::string &disk) {
  const Header header = decode_header(file);
  if (header.length < 0) return 0;
  const int header_length = header.length, size = header.buffer_size, count = header.message_count;
  const int read_offset = header.read_offset;
  const char *ring = file.data() + header_length;
  long intact = 0;
  int64_t at = read_offset;
  for (int i = 0; i < count; ++i) {
    if (size - at < 4) at = 0;
    int32_t length = 0;
    std::memcpy(&length, ring + at, 4);
    bool same = true;
    for (int64_t j = 0; j < 4 + length; ++j) {
      int64_t offset = header_length + (at + j) % size;
      same = same && file[static_cast<size_t>(offset)] == disk[static_cast<size_t>(offset)];
    }
    intact += same ? 1 : 0;
    at += 4;
    if (at == size) at = 0;
    at = at + length > size ? at + length - size : at + length;
  }
  return intact;
}

// The messages one by one, as read_all would return them: whole numbered
// ones by number, and whether any was torn (pages of two moments in one
// record, which no check can see) or out of order.
struct Walked {
  std::vector<uint64_t> numbers;
  bool torn = false;
  bool raw = false;  // a file of entries gave a raw message
};
int collect(const char *data, int32_t length, void *context) {
  Walked *walked = static_cast<Walked *>(context);
  const Decoded one = decode_messages(std::string(data, static_cast<size_t>(length)));
  if (one.torn || one.messages.size() != 1) {
    walked->torn = true;
  } else {
    const uint64_t number = one.messages[0].sequence;
    if (!walked->numbers.empty() && number <= walked->numbers.back()) walked->torn = true;
    walked->numbers.push_back(number);
  }
  return 0;
}

// The numbers of the messages a handle reads.
std::vector<uint64_t> numbers_read(void *handle) { return read_messages(handle).by_writer()[0]; }

// The same, message by message through cyclic_file_read_messages, for a file
// of entries: an entry is torn when its text is not what its writer wrote. A
// raw message read from it is a record whose length field and head lay on
// two pages of two moments: the bytes after the length field are not an
// entry's head, and nothing in them says one was meant. Counted apart.
void collect_entries(void *handle, Walked *walked) {
  for (const Visited &message : visit_messages(handle).messages) {
    if (!message.entry) {
      walked->raw = true;
      continue;
    }
    const Decoded one = decode_messages(message.data);
    if (one.torn || one.messages.size() != 1 ||
        message.data != varied_message(0, one.messages[0].sequence)) {
      walked->torn = true;
      continue;
    }
    const uint64_t number = one.messages[0].sequence;
    if (!walked->numbers.empty() && number <= walked->numbers.back()) walked->torn = true;
    walked->numbers.push_back(number);
  }
}

// The numbers of the messages a handle reads.
std::vector<uint64_t> numbers_of_entries(void *handle) {
  Walked walked;
  collect_entries(handle, &walked);
  return walked.numbers;
}

void cut_files(long cuts, unsigned seed, bool entries, CutFigures *figures) {
  constexpr size_t kPage = 4096;
  std::mt19937 random(seed);
  TestFile file;
  const std::string &path = file.path();
  const std::string cut_path = file.file("cut");
  uint64_t number = 0;
  for (long cut = 0; cut < cuts; ++cut) {
    if (cut % 16 == 0) {
      std::remove(path.c_str());
      number = 0;
    }
    void *writer = file.open(kReadWrite, 16 * static_cast<int>(kPage) - header_length());
    ASSERT_NE(writer, nullptr);
    auto write_some = [&](int messages) {
      for (int i = 0; i < messages; ++i) {
        const std::string message = varied_message(0, ++number);
        ASSERT_EQ(entries ? write_entry(writer, static_cast<int>(number % 8), message)
                          : write_message(writer, message),
                  0);
      }
    };
    auto numbers_held = [&]() {
      return entries ? numbers_of_entries(writer) : numbers_read(writer);
    };
    write_some(1 + static_cast<int>(random() % 400));
    const std::string moment_a = file.bytes();
    const std::vector<uint64_t> held_a = numbers_held();
    write_some(1 + static_cast<int>(random() % 60));
    const std::string moment_b = file.bytes();
    const std::vector<uint64_t> held_b = numbers_held();
    file.close(writer);

    const bool header_from_a = random() % 2 == 0;
    const bool split_at_header = random() % 4 == 0;
    std::string disk = header_from_a ? moment_a : moment_b;
    for (size_t page = 1; page * kPage < disk.size(); ++page) {
      bool from_a = split_at_header ? !header_from_a : random() % 2 == 0;
      size_t length = std::min(kPage, disk.size() - page * kPage);
      disk.replace(page * kPage, length, from_a ? moment_a : moment_b, page * kPage, length);
    }
    write_file(cut_path, disk);
    ++figures->cuts;
    void *reader = file.open(cut_path, kReadWrite, 0);
    if (reader == nullptr) {
      ++figures->load_failures;
      continue;
    }
    if (read_all(reader).count < 0) ++figures->read_failures;
    Walked seen;
    if (entries) {
      collect_entries(reader, &seen);
    } else {
      static_cast<CCyclicFile *>(reader)->for_each_message(collect, &seen);
    }
    const std::vector<uint64_t> &counted = header_from_a ? held_a : held_b;
    figures->counted += static_cast<long>(counted.size());
    figures->intact += intact_records(header_from_a ? moment_a : moment_b, disk);
    for (uint64_t kept : seen.numbers)
      if (std::find(counted.begin(), counted.end(), kept) != counted.end()) ++figures->kept;
    if (seen.torn) ++figures->torn;
    if (seen.raw) ++figures->raw;
    const std::string next = varied_message(0, 999999);
    if ((entries ? write_entry(reader, 0, next) : write_message(reader, next)) != 0)
      ++figures->write_failures;
    const VisitedMessages after = visit_messages(reader);
    if (after.result <= 0 || after.messages.back().data != next) ++figures->read_failures;
    file.close(reader);
  }
}

}  // namespace

// The figures of one run of cuts, printed for make crash.
void print_cut_figures(const char *what, const CutFigures &figures, double kept_share) {
  std::printf(
      "machine crashes (%s): %ld cuts, %ld load failures, %ld read failures, %ld write failures; "
      "of %ld messages the headers counted, %ld lay intact (%.1f%%) and %ld were kept (%.1f%%); "
      "%ld cuts with a torn or misordered message%s\n",
      what, figures.cuts, figures.load_failures, figures.read_failures, figures.write_failures,
      figures.counted, figures.intact,
      100.0 * static_cast<double>(figures.intact) /
          static_cast<double>(figures.counted ? figures.counted : 1),
      figures.kept, kept_share, figures.torn,
      figures.raw > 0 ? (", " + std::to_string(figures.raw) + " with a raw message").c_str() : "");
}

double kept_share_of(const CutFigures &figures) {
  return figures.counted > 0
             ? 100.0 * static_cast<double>(figures.kept) / static_cast<double>(figures.counted)
             : 0.0;
}

TEST(CyclicFileCrash, AFileCutByAMachineCrashReadsBackAndGoesOn) {
  const long cuts = count_from_environment("ROTOLOG_CRASH_CUTS", 160);
  CutFigures figures;
  cut_files(cuts, 20261207u, false, &figures);
  const double kept_share = kept_share_of(figures);
  print_cut_figures("raw messages", figures, kept_share);
  EXPECT_EQ(figures.load_failures, 0);
  EXPECT_EQ(figures.read_failures, 0);
  EXPECT_EQ(figures.write_failures, 0);
  // The share kept is a sample: the long form (make crash) holds it to 75%,
  // the short one, with a tenth of the cuts, to 70%.
  EXPECT_GE(kept_share, cuts >= 1000 ? 75.0 : 70.0);
}

// Entries carry a checksum and their numbers: no cut may return one that is
// torn or out of place.
TEST(CyclicFileCrash, EntriesCutByAMachineCrashComeBackWholeAndInOrder) {
  const long cuts = count_from_environment("ROTOLOG_CRASH_CUTS", 160);
  CutFigures figures;
  cut_files(cuts, 20261207u, true, &figures);
  const double kept_share = kept_share_of(figures);
  print_cut_figures("entries", figures, kept_share);
  EXPECT_EQ(figures.load_failures, 0);
  EXPECT_EQ(figures.read_failures, 0);
  EXPECT_EQ(figures.write_failures, 0);
  EXPECT_EQ(figures.torn, 0);
  // A record torn between its length field and its head comes back raw: one
  // cut in 20,000 when measured.
  EXPECT_LE(figures.raw * 2000, cuts);
  EXPECT_GE(kept_share, cuts >= 1000 ? 70.0 : 65.0);
}
