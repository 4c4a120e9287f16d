// Readers copy a file without any lock while writers go on: every copy holds
// whole messages only, each writer's in order and without a gap, whether the
// reader may write the file or only read it; four writers flat out on a
// small ring of fixed-size messages (which lap it during a copy) starve no
// reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include "rotolog/cyclic_file.h"

#include <chrono>
#include <string>

#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"
#include "support/message_codec.h"

namespace {

using namespace test_support;
using namespace std::chrono_literals;

constexpr int kWriters = 4;
constexpr uint32_t kMessageBytes = 64;

// What a reader saw over its copies: each copy whole, each writer's messages
// in it consecutive.
struct Seen {
  int copies = 0, mixed = 0, failed = 0, empty = 0;
};

void check_copy(const Contents &contents, Seen *seen) {
  ++seen->copies;
  if (contents.count < 0) {
    ++seen->failed;
    return;
  }
  if (contents.count == 0) ++seen->empty;
  const Messages messages = split_contents(contents);
  bool mixed = messages.torn || static_cast<int>(messages.messages.size()) != contents.count;
  for (const auto &writer : messages.by_writer()) {
    for (size_t i = 1; i < writer.second.size(); ++i)
      mixed |= writer.second[i] != writer.second[i - 1] + 1;
  }
  seen->mixed += mixed;
}

// Reads through `handle` over and over for `milliseconds`, then releases it.
Seen read_for(void *handle, double milliseconds) {
  Seen seen;
  if (handle == nullptr) {
    seen.failed = 1;
    return seen;
  }
  const double until = monotonic_ms() + milliseconds;
  while (monotonic_ms() < until) check_copy(read_all(handle), &seen);
  cyclic_file_destroy_handle(handle);
  return seen;
}

// A reader's figures through a pipe-free channel: its exit code says
// whether every copy was whole (0), some were mixed (1) or failed (2).
int verdict(const Seen &seen) {
  if (seen.copies == 0 || seen.failed > 0) return 2;
  return seen.mixed > 0 ? 1 : 0;
}

// Four writers flat out on a ring of `ring_size` bytes, full before the
// readers start (an empty copy is then a starved one), with one reader that
// may only read (another user, when the test may become one) and one whose
// handle may write, for 1.5 s. Every handle is open before any of them
// starts: a writer's open walks the ring under the lock, which is not what
// is measured here.
template <typename Message>
void readers_under_four_writers(int ring_size, Message message) {
  constexpr double kRunMs = 1500;
  TestFile file;
  const std::string &path = file.path();
  void *filler = file.open(kReadWrite, ring_size);
  ASSERT_NE(filler, nullptr);
  for (int64_t written = 0, sequence = 0; written < 2LL * ring_size; ++sequence) {
    const std::string text = message(kWriters, static_cast<uint64_t>(sequence));
    ASSERT_EQ(write_message(filler, text), 0);
    written += static_cast<int64_t>(text.size()) + 4;
  }
  file.close(filler);
  const bool as_another_user = geteuid() == 0;
  if (as_another_user) {
    ASSERT_EQ(chmod(file.folder().c_str(), 0755), 0);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(chmod((path + "-lock").c_str(), 0644), 0);
  }
  StartGate gate;
  pid_t writers[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    writers[w] = start_child([&, w] {
      void *handle = cyclic_file_create_handle(path.c_str(), kReadWrite, 0, nullptr);
      if (!gate.ready_and_wait() || handle == nullptr) return 1;
      const double until = monotonic_ms() + kRunMs;
      for (uint64_t sequence = 0; monotonic_ms() < until; ++sequence) {
        if (write_message(handle, message(w, sequence)) != 0) return 2;
      }
      return 0;
    });
  }
  pid_t read_only = start_child([&] {
    void *handle = as_another_user && !become_nobody()
                       ? nullptr
                       : cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_READ, 0, nullptr);
    if (!gate.ready_and_wait()) return 3;
    return verdict(read_for(handle, kRunMs));
  });
  void *handle = cyclic_file_create_handle(path.c_str(), kReadWrite, 0, nullptr);
  ASSERT_TRUE(gate.open_when_ready(kWriters + 1));
  const Seen seen = read_for(handle, kRunMs);
  for (pid_t writer : writers) EXPECT_EQ(wait_child(writer, 30s), 0);
  EXPECT_EQ(wait_child(read_only, 30s), 0) << "1: mixed copies, 2: failed reads";
  EXPECT_GT(seen.copies, 0);
  EXPECT_EQ(seen.mixed, 0) << "of " << seen.copies << " copies";
  EXPECT_EQ(seen.failed, 0) << "of " << seen.copies << " copies";
  // Not starved: most copies hold messages.
  EXPECT_LT(seen.empty * 2, seen.copies) << "of " << seen.copies << " copies";
}

// Fixed-size messages on a small ring: the writers lap it during a copy.
TEST(CyclicFileReaders, ReadersUnderFourWritersNeverSeeAMixedOrTornCopy) {
  readers_under_four_writers(16 << 10, [](uint32_t writer, uint64_t sequence) {
    return make_message(writer, sequence, kMessageBytes);
  });
}

// Messages of 20 to 620 bytes on a large ring (smaller under
// ThreadSanitizer, whose copies go byte by byte).
TEST(CyclicFileReaders, ReadersOfALargeRingOfMixedSizesUnderFourWritersSeeWholeCopies) {
#if defined(__SANITIZE_THREAD__)
  constexpr int kLargeRing = 4 << 20;
#else
  constexpr int kLargeRing = 64 << 20;
#endif
  readers_under_four_writers(kLargeRing, [](uint32_t writer, uint64_t sequence) {
    return varied_message(writer, sequence);
  });
}

}  // namespace
