// CCyclicBuffer under failure: exhausted memory (driven by the vandrel seam)
// and storage whose stored lengths are damaged or hostile.
#include <gtest/gtest.h>
#include "rotolog/platform/test_seams.h"

#include <cerrno>
#include <cstring>

#include "support/ring.h"

using namespace rotolog::detail;

using namespace test_support;

namespace {

// Arms the seam for one operation and always disarms it afterwards.
struct FailNextAllocation {
  explicit FailNextAllocation(long nth = 1) { test_seam_fail(TEST_SEAM_ALLOCATION, nth, ENOMEM); }
  ~FailNextAllocation() { test_seam_fail(TEST_SEAM_ALLOCATION, 0, 0); }
};

void put_length(CCyclicBuffer &ring, long offset, int32_t value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i)
    ring.ring_start[offset + i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

}  // namespace

TEST(OutOfMemory, CreationReturnsNullWhenTheObjectOrItsStorageCannotBeAllocated) {
  {
    FailNextAllocation fail(1);
    EXPECT_EQ(cyclic_buffer_create_handle(64), nullptr);
  }
  {
    FailNextAllocation fail(2);
    EXPECT_EQ(cyclic_buffer_create_handle_ex(64, 3), nullptr);  // the object is released again
  }
  void *handle = cyclic_buffer_create_handle(64);
  ASSERT_NE(handle, nullptr);
  cyclic_buffer_destroy_handle(handle);
}

TEST(OutOfMemory, FailedGrowthFailsOneWriteAndLeavesTheRingAsItWas) {
  CCyclicBuffer ring(32, 10);
  const std::string first = message_of(10, 1), second = message_of(11, 2);
  ASSERT_EQ(write_text(ring, first), 0);
  ASSERT_EQ(write_text(ring, second), 0);
  {
    FailNextAllocation fail;
    EXPECT_EQ(write_text(ring, message_of(20, 3)), CYCLIC_BUFFER_WRITE_FAILED);
  }
  EXPECT_EQ(ring.error_flag, 0);
  EXPECT_EQ(ring.buffer_size, 32);
  EXPECT_EQ(ring.message_count, 2);
  const std::string third = message_of(20, 3);
  ASSERT_EQ(write_text(ring, third), 0);
  EXPECT_EQ(read_text(ring), first);
  EXPECT_EQ(read_text(ring), second);
  EXPECT_EQ(read_text(ring), third);
}

TEST(OutOfMemory, FailedGrowthAfterTheLimitEvictionBringsTheOldestBack) {
  CCyclicBuffer ring(32, 2);
  const std::string first = message_of(10, 1), second = message_of(10, 2);
  ASSERT_EQ(write_text(ring, first), 0);
  ASSERT_EQ(write_text(ring, second), 0);
  {
    FailNextAllocation fail;
    EXPECT_EQ(write_text(ring, message_of(25, 3)), CYCLIC_BUFFER_WRITE_FAILED);
  }
  EXPECT_EQ(ring.message_count, 2);
  EXPECT_EQ(read_offset(ring), 0);
  EXPECT_EQ(read_text(ring), first);
  EXPECT_EQ(read_text(ring), second);
}

TEST(OutOfMemory, FailedGrowthForAnArrayStoresNothingOfIt) {
  CCyclicBuffer ring(16, 4);
  ASSERT_EQ(write_text(ring, "keep"), 0);
  const long write_before = write_offset(ring);
  {
    FailNextAllocation fail;
    EXPECT_EQ(write_segments(ring, {message_of(20, 1), message_of(9, 2)}),
              CYCLIC_BUFFER_WRITE_FAILED);
  }
  EXPECT_EQ(ring.error_flag, 0);
  EXPECT_EQ(ring.message_count, 1);
  EXPECT_EQ(write_offset(ring), write_before);
  EXPECT_EQ(read_text(ring), "keep");
}

TEST(OutOfMemory, FailedScratchFailsOneReadAndKeepsTheMessage) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_text(ring, message_of(16, 1)), 0);
  ASSERT_EQ(write_text(ring, "ab"), 0);
  ASSERT_EQ(read_text(ring), message_of(16, 1));
  const std::string across = message_of(12, 2);  // payload crosses the end
  ASSERT_EQ(write_text(ring, across), 0);
  ASSERT_EQ(read_text(ring), "ab");
  const long read_before = read_offset(ring);
  {
    FailNextAllocation fail;
    EXPECT_EQ(read_text(ring), "#-4");
  }
  EXPECT_EQ(read_offset(ring), read_before);
  EXPECT_EQ(ring.message_count, 1);
  EXPECT_EQ(ring.error_flag, 0);
  EXPECT_EQ(ring.scratch, nullptr);
  EXPECT_EQ(read_text(ring), across);
}

TEST(OutOfMemory, FailedScratchFailsOneArrayReadAndKeepsTheRecord) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_segments(ring, {message_of(5, 1), message_of(6, 2)}), 0);
  const std::vector<std::string> second = {message_of(3, 3), message_of(4, 4)};
  ASSERT_EQ(write_segments(ring, second), 0);  // its last segment crosses the end
  std::vector<std::string> read;
  {
    FailNextAllocation fail;
    EXPECT_EQ(read_segments(ring, read), CYCLIC_BUFFER_WRITE_FAILED);
  }
  EXPECT_EQ(read_offset(ring), 19);
  EXPECT_EQ(ring.message_count, 1);
  ASSERT_EQ(read_segments(ring, read), 0);
  EXPECT_EQ(read, second);
}

// Damaged storage: every read and eviction fails with -4 (never -1, which a
// reader loop takes for the end), changes nothing, and stays inside the
// storage; AddressSanitizer checks the last point.
class DamagedStorage : public ::testing::TestWithParam<int32_t> {};

TEST_P(DamagedStorage, HostileRecordLengthFailsReadsAndEvictions) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_text(ring, message_of(10, 1)), 0);
  ASSERT_EQ(write_text(ring, message_of(10, 2)), 0);
  put_length(ring, 0, GetParam());
  EXPECT_EQ(read_text(ring), "#-4");
  int32_t freed = 0;
  EXPECT_EQ(ring.evict_oldest(&freed), CYCLIC_BUFFER_WRITE_FAILED);
  EXPECT_EQ(ring.error_flag, 0);
  EXPECT_EQ(write_text(ring, message_of(10, 3)), CYCLIC_BUFFER_WRITE_FAILED);  // needs an eviction
  EXPECT_EQ(ring.error_flag, 1);
  EXPECT_EQ(read_offset(ring), 0);
  EXPECT_EQ(write_offset(ring), 28);
  EXPECT_EQ(ring.message_count, 2);
}

// -1 and INT32_MIN are negative, 0x7fffffff huge, 29 is more than any record
// of a 32-byte ring holds, 25 more than the 28 stored bytes hold.
INSTANTIATE_TEST_SUITE_P(Lengths, DamagedStorage,
                         ::testing::Values(-1, INT32_MIN, 0x7fffffff, 29, 25));

// A full ring whose write position is behind the end: the write evicts in
// place, and a damaged length under it fails the write as it fails every
// other, with the evictions undone and the ring marked.
TEST(DamagedStorage, HostileLengthUnderAWriteThatFitsBeforeTheEndFailsItAndUndoesIt) {
  for (const int32_t hostile : {-1, INT32_MIN, 0x7fffffff, 39}) {
    CCyclicBuffer ring(42, 0);
    for (int i = 1; i <= 4; ++i) ASSERT_EQ(write_text(ring, message_of(10, i)), 0);
    ASSERT_EQ(write_offset(ring), 14);  // the fourth went to the start and evicted the first
    ASSERT_EQ(read_offset(ring), 14);
    put_length(ring, 14, hostile);
    EXPECT_EQ(write_text(ring, message_of(10, 5)), CYCLIC_BUFFER_WRITE_FAILED) << hostile;
    EXPECT_EQ(ring.error_flag, 1);
    EXPECT_EQ(read_offset(ring), 14);
    EXPECT_EQ(write_offset(ring), 14);
    EXPECT_EQ(ring.message_count, 3);
    EXPECT_EQ(write_text(ring, message_of(10, 5)), CYCLIC_BUFFER_EARLIER_ERROR);
  }
}

TEST(DamagedStorageArrays, HostileSegmentLengthsFailTheReadWithoutWritingPastTheArrays) {
  const int16_t bad_lengths[] = {0, -1, static_cast<int16_t>(0x8000), 9, 30};
  for (int16_t bad : bad_lengths) {
    CCyclicBuffer ring(32, 0);
    ASSERT_EQ(write_segments(ring, {"abcd", "efgh"}), 0);  // total 12
    ring.ring_start[4] = static_cast<char>(bad & 0xFF);
    ring.ring_start[5] = static_cast<char>((bad >> 8) & 0xFF);
    // Room for exactly the 4 segments a total of 12 could hold.
    char *pointers[4];
    int16_t lengths[4];
    int32_t count = -1;
    EXPECT_EQ(ring.read_array(pointers, lengths, &count), CYCLIC_BUFFER_WRITE_FAILED) << bad;
    EXPECT_EQ(count, -1);
    EXPECT_EQ(read_offset(ring), 0);
    EXPECT_EQ(ring.message_count, 1);
  }
}

TEST(DamagedStorageArrays, TotalLargerThanTheRingFailsTheRead) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_segments(ring, {"abcd"}), 0);
  put_length(ring, 0, 40);
  std::vector<std::string> read;
  EXPECT_EQ(read_segments(ring, read), CYCLIC_BUFFER_WRITE_FAILED);
  put_length(ring, 0, -6);
  EXPECT_EQ(read_segments(ring, read), CYCLIC_BUFFER_WRITE_FAILED);
  EXPECT_EQ(ring.message_count, 1);
}

TEST(DamagedStorageState, PositionsOutsideTheStorageAreRefused) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_text(ring, "abc"), 0);
  char *const good_read = ring.read_pos;
  ring.read_pos = ring.ring_end + 1;
  EXPECT_EQ(read_text(ring), "#-4");
  ring.read_pos = good_read;
  ring.wasted_tail = 9;
  EXPECT_EQ(read_text(ring), "#-4");
  ring.wasted_tail = 0;
  EXPECT_EQ(read_text(ring), "abc");
}

TEST(DamagedStorageState, CountBeyondTheStoredRecordsEndsInAFailureNotAnOverrun) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_text(ring, message_of(6, 1)), 0);
  ASSERT_EQ(write_text(ring, message_of(6, 2)), 0);
  std::memset(ring.ring_start + 20, 0x7f, 12);
  ring.message_count = 5;
  std::string got;
  int reads = 0;
  while ((got = read_text(ring))[0] != '#' && reads < 100) ++reads;
  EXPECT_EQ(got, "#-4");
  EXPECT_EQ(reads, 2);
}
