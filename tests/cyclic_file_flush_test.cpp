// What a cyclic file flushes, and what a power cut leaves of a file in flush
// mode. Every test of this executable records the flushes in place of
// os_flush_view (a hook on its seam): each call's range and, for the power
// cuts, the mapping's pages as the call found them (what the disk holds once
// it returns). And a thread cancelled inside a flush.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>
#include "rotolog/cyclic_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "rotolog/cyclic_file_handle.h"
#include "rotolog/platform/sysbrace.h"
#include "rotolog/platform/test_seams.h"
#include "support/cyclic_file_fixture.h"

using namespace rotolog::detail;

using namespace test_support;

namespace {

constexpr size_t kPage = 4096;

struct Flush {
  const char *address;
  size_t length;
  int write_index;
  std::string mapping;  // the whole mapping when the call was made (power cuts only)
};
std::vector<Flush> flushes;
const CCyclicFile *recorded_file = nullptr;  // set: keep the mapping at each flush
int current_write = 0;

// Records the flush and reports it done, without flushing.
int record_flush(const test_seam_call_t *call, void *) {
  Flush flush{static_cast<const char *>(call->object), call->length, current_write, {}};
  if (recorded_file != nullptr)
    flush.mapping.assign(recorded_file->map_base, recorded_file->mapped_length);
  flushes.push_back(std::move(flush));
  return TEST_SEAM_SKIP;
}

class FlushRecording : public ::testing::Environment {
 public:
  void SetUp() override { test_seam_set_hook(TEST_SEAM_FLUSH_VIEW, record_flush, nullptr); }
  void TearDown() override { test_seam_set_hook(TEST_SEAM_FLUSH_VIEW, nullptr, nullptr); }
};
::testing::Environment *const flush_recording =
    ::testing::AddGlobalTestEnvironment(new FlushRecording);

constexpr int kFlushed = kReadWrite | CYCLIC_FILE_MODE_FLUSH;

void *open_file(TestFile &file, int mode, int size) {
  void *handle = file.open(mode, size);
  EXPECT_EQ(file.status(), 0);
  return handle;
}

const CCyclicFile &file_of(void *handle) { return *static_cast<const CCyclicFile *>(handle); }

}  // namespace

// A write that evicts nothing flushes its record, then the header; one that
// evicts flushes the header without the evicted records first. Each flush
// covers only what the write changed, whatever the file's size.
TEST(FlushOrder, TheRecordReachesTheDiskBeforeTheHeaderThatCountsIt) {
  TestFile test_file;
  void *handle = open_file(test_file, kFlushed, 100);
  ASSERT_NE(handle, nullptr);
  const CCyclicFile &file = file_of(handle);
  const std::string text(40, 'w');
  flushes.clear();
  ASSERT_EQ(cyclic_file_write(handle, text.data(), 40), 0);  // 0..44, nothing evicted
  ASSERT_EQ(flushes.size(), 2u);
  EXPECT_EQ(flushes[0].address, file.ring_start);
  EXPECT_EQ(flushes[0].length, 44u);
  EXPECT_EQ(flushes[1].address, file.map_base);
  EXPECT_EQ(flushes[1].length, static_cast<size_t>(file.header_length));

  ASSERT_EQ(cyclic_file_write(handle, text.data(), 40), 0);  // 44..88
  flushes.clear();
  ASSERT_EQ(cyclic_file_write(handle, text.data(), 40), 0);  // 88..100 and 0..32: evicts the first
  ASSERT_EQ(flushes.size(), 4u);
  EXPECT_EQ(flushes[0].address, file.map_base);  // the interim header
  EXPECT_EQ(flushes[1].address, file.ring_start + 88);
  EXPECT_EQ(flushes[1].length, 12u);
  EXPECT_EQ(flushes[2].address, file.ring_start);
  EXPECT_EQ(flushes[2].length, 32u);
  EXPECT_EQ(flushes[3].address, file.map_base);  // the final header

  flushes.clear();
  EXPECT_NE(cyclic_file_flush(handle), 0);
  ASSERT_EQ(flushes.size(), 1u);
  EXPECT_EQ(flushes[0].length, file.mapped_length);
}

TEST(FlushOrder, WritesWithoutFlushModeAndRefusedWritesFlushNothing) {
  TestFile test_file;
  void *handle = open_file(test_file, kReadWrite, 4096);
  ASSERT_NE(handle, nullptr);
  flushes.clear();
  ASSERT_EQ(cyclic_file_write(handle, "quiet", 5), 0);
  EXPECT_TRUE(flushes.empty());
  test_file.close(handle);

  void *flushed = open_file(test_file, kFlushed, 4096);
  ASSERT_NE(flushed, nullptr);
  EXPECT_EQ(cyclic_file_write(flushed, "x", 0), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_TRUE(flushes.empty());
}

// Power cuts in flush mode. A run of writes is recorded flush by flush; a cut
// falls inside one flush, of which any subset of pages reached the disk.
// Every page holds the state of its last completed flush, or any later state
// it went through before the cut (the kernel writes dirty pages back when it
// likes). The cut file must read back every message whose write returned 0,
// whole and in order, except those the interrupted write evicted.
namespace {

struct PowerCutFigures {
  long cuts = 0, load_failures = 0, read_failures = 0, acknowledged = 0, lost = 0, torn = 0;
};

void run_power_cuts(int runs, unsigned seed, PowerCutFigures *figures) {
  std::mt19937 random(seed);
  TestFile test_file;
  for (int run = 0; run < runs; ++run) {
    std::remove(test_file.path().c_str());
    void *handle = open_file(
        test_file, kFlushed,
        6 * static_cast<int>(kPage) - header_length() + static_cast<int>(random() % 3000));
    ASSERT_NE(handle, nullptr);
    const CCyclicFile &file = file_of(handle);
    const std::string initial(file.map_base, file.mapped_length);
    // held[w]: the numbers read back after write w returned (held[0]: none).
    std::vector<std::vector<uint64_t>> held(1);
    flushes.clear();
    recorded_file = &file;
    const int writes = 20 + static_cast<int>(random() % 60);  // numbers stay below 100 per run
    for (int w = 1; w <= writes; ++w) {
      current_write = w;
      ASSERT_EQ(
          write_message(handle, varied_message(0, static_cast<uint64_t>(run * 100 + w), 3000)), 0);
      held.push_back(read_messages(handle).by_writer()[0]);
    }
    recorded_file = nullptr;
    ASSERT_FALSE(flushes.empty());

    for (int cut = 0; cut < 8; ++cut) {
      const size_t at = random() % flushes.size();
      const Flush &cut_flush = flushes[at];
      const size_t pages = (initial.size() + kPage - 1) / kPage;
      std::string disk = initial;
      for (size_t page = 0; page < pages; ++page) {
        // The page's last completed flush before the cut, if any.
        long durable = -1;
        for (size_t f = 0; f < at; ++f) {
          size_t first = static_cast<size_t>(flushes[f].address - file.map_base) / kPage;
          size_t last =
              static_cast<size_t>(flushes[f].address - file.map_base + flushes[f].length - 1) /
              kPage;
          if (page >= first && page <= last) durable = static_cast<long>(f);
        }
        // Any state from then up to the cut's moment (the mapping as the
        // interrupted flush found it).
        long from = durable;
        long chosen = from + static_cast<long>(
                                 random() % static_cast<size_t>(static_cast<long>(at) - from + 1));
        size_t begin = page * kPage, length = std::min(kPage, initial.size() - begin);
        const std::string &source =
            chosen < 0 ? initial : flushes[static_cast<size_t>(chosen)].mapping;
        disk.replace(begin, length, source, begin, length);
      }
      const std::string cut_path = test_file.file("cut");
      write_file(cut_path, disk);
      ++figures->cuts;
      void *reader = test_file.open(cut_path, kReadWrite, 0);
      if (reader == nullptr) {
        ++figures->load_failures;
        continue;
      }
      const Messages read = read_messages(reader);
      const std::vector<uint64_t> seen = read.by_writer()[0];
      if (read.count < 0) ++figures->read_failures;
      // Acknowledged: every write before the interrupted one; what the
      // interrupted one evicted may be gone.
      const std::vector<uint64_t> &before = held[static_cast<size_t>(cut_flush.write_index - 1)];
      const std::vector<uint64_t> &after = held[static_cast<size_t>(cut_flush.write_index)];
      for (uint64_t number : before) {
        if (std::find(after.begin(), after.end(), number) == after.end()) continue;
        ++figures->acknowledged;
        if (std::find(seen.begin(), seen.end(), number) == seen.end()) ++figures->lost;
      }
      if (read.torn || !std::is_sorted(seen.begin(), seen.end())) ++figures->torn;
      // The cut file goes on working.
      EXPECT_EQ(write_message(reader, varied_message(0, 999999, 3000)), 0);
      const Messages later = read_messages(reader);
      EXPECT_FALSE(later.torn);
      EXPECT_TRUE(!later.messages.empty() && later.messages.back().sequence == 999999);
      test_file.close(reader);
    }
    test_file.close(handle);
  }
}

}  // namespace

TEST(PowerCut, InFlushModeNoAcknowledgedMessageIsLostOrTorn) {
  // ROTOLOG_POWER_CUT_RUNS raises the number of runs (make crash); each run
  // is cut eight times.
  const int runs = static_cast<int>(count_from_environment("ROTOLOG_POWER_CUT_RUNS", 12));
  PowerCutFigures figures;
  run_power_cuts(runs, 20261207u, &figures);
  std::printf(
      "power cuts in flush mode: %ld cuts, %ld load failures, %ld read failures, "
      "%ld acknowledged messages, %ld lost, %ld cuts with a torn or misordered message\n",
      figures.cuts, figures.load_failures, figures.read_failures, figures.acknowledged,
      figures.lost, figures.torn);
  EXPECT_GT(figures.cuts, 0);
  EXPECT_GT(figures.acknowledged, 0);
  EXPECT_EQ(figures.load_failures, 0);
  EXPECT_EQ(figures.read_failures, 0);
  EXPECT_EQ(figures.lost, 0);
  EXPECT_EQ(figures.torn, 0);
}

namespace {

// A flush that takes its time (the thread sleeps inside it, at a
// cancellation point) and says when it has begun.
std::atomic<bool> flush_begun{false};
int slow_flush(const test_seam_call_t *, void *) {
  flush_begun.store(true);
  usleep(20000);
  return TEST_SEAM_SKIP;
}

}  // namespace

// A thread cancelled while its flush-mode write flushes finishes that write
// first: the write is whole and counted, and the locks are free for the
// next writer at once.
TEST(CyclicFileFlushCancel, AWriteThatIsCancelledInItsFlushFinishesFirst) {
  TestFile file;
  void *handle = file.open(kReadWrite | CYCLIC_FILE_MODE_FLUSH, 4096);
  ASSERT_NE(handle, nullptr);
  test_seam_set_hook(TEST_SEAM_FLUSH_VIEW, slow_flush, nullptr);
  struct Context {
    void *handle;
    std::atomic<int> written{1};
  } context{handle};
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, nullptr,
                [](void *argument) -> void * {
                  auto *c = static_cast<Context *>(argument);
                  c->written.store(cyclic_file_write(c->handle, "cancelled", 9));
                  for (;;) pthread_testcancel();
                },
                &context),
            0);
  while (!flush_begun.load()) usleep(100);
  ASSERT_EQ(pthread_cancel(thread), 0);
  void *result = nullptr;
  ASSERT_EQ(pthread_join(thread, &result), 0);
  test_seam_set_hook(TEST_SEAM_FLUSH_VIEW, nullptr, nullptr);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  EXPECT_EQ(context.written.load(), 0);
  EXPECT_EQ(cyclic_file_write(handle, "next", 4), 0);
  EXPECT_EQ(read_all(handle).text, "cancellednext");
}

// In flush mode a write promises its message is on disk when it returns 0:
// each of its flushes that fails (the interim header's, the record's, the
// final header's) fails it, with the flush's errno, and the header then says
// what the ring holds: the message counted only when the last flush failed.
TEST(CyclicFileFlushFailure, EachFlushOfAWriteThatFailsFailsTheWrite) {
  for (long failing = 1; failing <= 3; ++failing) {
    SCOPED_TRACE("flush " + std::to_string(failing) + " of 3 fails");
    TestFile file;
    void *handle = file.open(kReadWrite | CYCLIC_FILE_MODE_FLUSH, 64);
    ASSERT_NE(handle, nullptr);
    // Full: the next write evicts, and so flushes three times.
    for (const char *message : {"one-message", "two-message", "three-messag", "four-messag"})
      ASSERT_EQ(cyclic_file_write(handle, message, static_cast<int>(std::strlen(message))), 0);
    const long calls = test_seam_calls(TEST_SEAM_FLUSH_VIEW);
    test_seam_fail(TEST_SEAM_FLUSH_VIEW, failing, EIO);
    errno = 0;
    EXPECT_EQ(cyclic_file_write(handle, "five-message", 12), CYCLIC_FILE_WRITE_FAILED);
    EXPECT_EQ(errno, EIO);
    test_seam_fail(TEST_SEAM_FLUSH_VIEW, 0, 0);
    EXPECT_EQ(test_seam_calls(TEST_SEAM_FLUSH_VIEW) - calls, failing);
    const Contents contents = read_all(handle);
    EXPECT_EQ(contents.text.find("five-message") != std::string::npos, failing == 3)
        << contents.text;
    EXPECT_EQ(contents.text.find("one-message"), std::string::npos);  // evicted before any flush
    // The file goes on, whole.
    EXPECT_EQ(cyclic_file_write(handle, "six-message", 11), 0);
    const Contents later = read_all(handle);
    EXPECT_EQ(later.text.substr(later.text.size() - 11), "six-message");
  }
}
