// CCyclicBuffer with single messages: exact placement, eviction, growth and
// the sticky error, checked through the ring's fields (offsets from the start
// of the storage).
#include <gtest/gtest.h>

#include "support/ring.h"

using namespace rotolog::detail;

using namespace test_support;

TEST(RingEviction, FourTenByteMessagesWrapAndEvictTheOldest) {
  CCyclicBuffer ring(32, 0);
  const std::string m1 = message_of(10, 1), m2 = message_of(10, 2), m3 = message_of(10, 3),
                    m4 = message_of(10, 4);
  ASSERT_EQ(write_text(ring, m1), 0);
  ASSERT_EQ(write_text(ring, m2), 0);
  EXPECT_EQ(write_offset(ring), 28);
  EXPECT_EQ(std::string(ring.ring_start + 18, 10), m2);

  ASSERT_EQ(write_text(ring, m3), 0);  // evicts m1: length at 28..31, payload at 0..9
  EXPECT_EQ(read_offset(ring), 14);
  EXPECT_EQ(write_offset(ring), 10);
  EXPECT_EQ(ring.ring_start[28], 10);
  EXPECT_EQ(std::string(ring.ring_start, 10), m3);

  ASSERT_EQ(write_text(ring, m4), 0);  // evicts m2, lies at 10..23
  EXPECT_EQ(read_offset(ring), 28);
  EXPECT_EQ(write_offset(ring), 24);
  EXPECT_EQ(std::string(ring.ring_start + 14, 10), m4);
  EXPECT_EQ(ring.message_count, 2);

  EXPECT_EQ(read_text(ring), m3);
  EXPECT_EQ(read_text(ring), m4);
  EXPECT_EQ(read_text(ring), "#-1");
  EXPECT_EQ(ring.error_flag, 0);
}

TEST(RingEviction, MessageOfCapacityMinusFourFillsTheStorageAndOneMoreIsRefused) {
  CCyclicBuffer ring(32, 0);
  const std::string full = message_of(28, 5);
  EXPECT_EQ(write_text(ring, message_of(29, 1)), CYCLIC_BUFFER_TOO_SMALL);
  EXPECT_EQ(ring.message_count, 0);
  ASSERT_EQ(write_text(ring, full), 0);
  EXPECT_EQ(write_offset(ring), 32);
  EXPECT_EQ(write_text(ring, message_of(29, 1)), CYCLIC_BUFFER_TOO_SMALL);
  EXPECT_EQ(ring.message_count, 1);  // the refusal kept the stored message
  EXPECT_EQ(read_text(ring), full);
  EXPECT_EQ(read_offset(ring), 32);
  ASSERT_EQ(write_text(ring, "x"), 0);
  EXPECT_EQ(offset_of(ring, ring.write_pos), 5);  // started again at 0
  EXPECT_EQ(read_text(ring), "x");
}

TEST(RingEviction, SmallMessageAfterAFullOneEvictsItAndStartsAtZero) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_text(ring, message_of(28, 1)), 0);
  const std::string small = message_of(10, 2);
  ASSERT_EQ(write_text(ring, small), 0);
  EXPECT_EQ(ring.message_count, 1);
  EXPECT_EQ(write_offset(ring), 14);
  EXPECT_EQ(std::string(ring.ring_start + 4, 10), small);
  EXPECT_EQ(read_text(ring), small);
}

TEST(RingEviction, LengthFieldThatDoesNotFitSkipsTheTail) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_text(ring, message_of(10, 1)), 0);
  const std::string second = message_of(11, 2);
  ASSERT_EQ(write_text(ring, second), 0);
  ASSERT_EQ(write_offset(ring), 29);
  ASSERT_EQ(write_text(ring, "abc"), 0);
  EXPECT_EQ(ring.wasted_tail, 3);
  EXPECT_EQ(write_offset(ring), 7);
  EXPECT_EQ(std::string(ring.ring_start + 4, 3), "abc");
  EXPECT_EQ(read_offset(ring), 14);  // the 10-byte message was evicted
  EXPECT_EQ(read_text(ring), second);
  EXPECT_EQ(read_text(ring), "abc");
}

TEST(RingEviction, RecordThatExactlyFillsTheFreeSpaceEvictsNothing) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_text(ring, "ab"), 0);
  const std::string ten = message_of(10, 3), four = message_of(4, 4);
  ASSERT_EQ(write_text(ring, ten), 0);
  ASSERT_EQ(write_text(ring, four), 0);
  EXPECT_EQ(read_text(ring), "ab");
  EXPECT_EQ(read_offset(ring), 6);
  ASSERT_EQ(write_text(ring, "y"), 0);  // length at 28..31, payload at 0
  EXPECT_EQ(ring.ring_start[28], 1);
  EXPECT_EQ(ring.ring_start[0], 'y');
  ASSERT_EQ(write_text(ring, "z"), 0);  // bytes 1..5, ending at the read position
  EXPECT_EQ(ring.ring_start[5], 'z');
  EXPECT_EQ(ring.message_count, 4);
  EXPECT_EQ(write_offset(ring), 6);
  EXPECT_EQ(read_offset(ring), 6);
  EXPECT_EQ(read_text(ring), ten);
  EXPECT_EQ(read_text(ring), four);
  EXPECT_EQ(read_text(ring), "y");
  EXPECT_EQ(read_text(ring), "z");
}

TEST(RingEviction, WritePositionInTheLastBytesStillTakesARecordThatNeedsTheWholeStorage) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_text(ring, message_of(11, 1)), 0);
  ASSERT_EQ(write_text(ring, message_of(11, 2)), 0);
  ASSERT_EQ(write_offset(ring), 30);
  const std::string big = message_of(28, 3);
  ASSERT_EQ(write_text(ring, big), 0);
  EXPECT_EQ(ring.error_flag, 0);
  EXPECT_EQ(ring.message_count, 1);
  EXPECT_EQ(read_offset(ring), 0);
  EXPECT_EQ(write_offset(ring), 32);
  EXPECT_EQ(std::string(ring.ring_start + 4, 28), big);
  EXPECT_EQ(read_text(ring), big);
  ASSERT_EQ(write_text(ring, "after"), 0);
  EXPECT_EQ(read_text(ring), "after");
}

TEST(RingArguments, NullDataAndNonPositiveLengthsAreInvalid) {
  CCyclicBuffer ring(32, 0);
  EXPECT_EQ(ring.write_message(nullptr, 3), CYCLIC_BUFFER_INVALID_INPUT);
  EXPECT_EQ(ring.write_message("abc", 0), CYCLIC_BUFFER_INVALID_INPUT);
  EXPECT_EQ(ring.write_message("abc", -3), CYCLIC_BUFFER_INVALID_INPUT);
  char *data = nullptr;
  int32_t length = 0;
  EXPECT_EQ(ring.read_message(nullptr, &length), CYCLIC_BUFFER_INVALID_INPUT);
  EXPECT_EQ(ring.read_message(&data, nullptr), CYCLIC_BUFFER_INVALID_INPUT);
  EXPECT_EQ(ring.message_count, 0);
  EXPECT_EQ(ring.error_flag, 0);
}

TEST(RingStickyError, EarlierErrorComesBeforeArgumentChecksUntilClean) {
  CCyclicBuffer ring(32, 0);
  int32_t freed = 0;
  EXPECT_EQ(ring.evict_oldest(&freed), CYCLIC_BUFFER_WRITE_FAILED);  // empty ring
  EXPECT_EQ(ring.error_flag, 1);
  EXPECT_EQ(ring.write_message(nullptr, 1), CYCLIC_BUFFER_EARLIER_ERROR);
  EXPECT_EQ(ring.read_message(nullptr, nullptr), CYCLIC_BUFFER_EARLIER_ERROR);
  EXPECT_EQ(ring.write_array(nullptr, nullptr, 1), CYCLIC_BUFFER_EARLIER_ERROR);
  EXPECT_EQ(ring.read_array(nullptr, nullptr, nullptr), CYCLIC_BUFFER_EARLIER_ERROR);
  EXPECT_EQ(ring.clean(), 0);
  EXPECT_EQ(ring.write_message(nullptr, 1), CYCLIC_BUFFER_INVALID_INPUT);
}

TEST(RingReading, EmptyRingAnswersNoMoreMessagesAndStaysUsable) {
  CCyclicBuffer ring(16, 0);
  EXPECT_EQ(read_text(ring), "#-1");
  EXPECT_EQ(ring.error_flag, 0);
  ASSERT_EQ(write_text(ring, "hello"), 0);
  EXPECT_EQ(read_text(ring), "hello");
}

TEST(RingReading, CleanEmptiesTheRingAndKeepsItsStorage) {
  CCyclicBuffer ring(16, 3);
  ASSERT_EQ(write_text(ring, message_of(30, 1)), 0);
  const int32_t grown = ring.buffer_size;
  EXPECT_EQ(ring.clean(), 0);
  EXPECT_EQ(ring.message_count, 0);
  EXPECT_EQ(ring.buffer_size, grown);
  EXPECT_EQ(read_offset(ring), 0);
  EXPECT_EQ(write_offset(ring), 0);
  EXPECT_EQ(read_text(ring), "#-1");
}

TEST(RingGrowth, LimitEvictsTheOldestEvenWithRoomLeft) {
  CCyclicBuffer ring(64, 2);
  ASSERT_EQ(write_text(ring, "one"), 0);
  ASSERT_EQ(write_text(ring, "two"), 0);
  ASSERT_EQ(write_text(ring, "three"), 0);
  EXPECT_EQ(ring.message_count, 2);
  EXPECT_EQ(ring.buffer_size, 64);
  EXPECT_EQ(read_text(ring), "two");
  EXPECT_EQ(read_text(ring), "three");
}

TEST(RingGrowth, MessageLargerThanTheStorageGrowsItToSizePlusRecord) {
  CCyclicBuffer ring(16, 4);
  const std::string big = message_of(30, 1);
  ASSERT_EQ(write_text(ring, big), 0);
  EXPECT_EQ(ring.buffer_size, 50);
  EXPECT_EQ(ring.ring_end - ring.ring_start, 50);
  EXPECT_EQ(std::string(ring.ring_start + 4, 30), big);
  EXPECT_EQ(read_text(ring), big);
}

TEST(RingGrowth, WrappedRingWithSkippedTailIsUnwrappedIntact) {
  CCyclicBuffer ring(32, 10);
  ASSERT_EQ(write_text(ring, message_of(10, 1)), 0);
  const std::string eleven = message_of(11, 2), twenty = message_of(20, 3);
  ASSERT_EQ(write_text(ring, eleven), 0);
  ASSERT_EQ(read_text(ring), message_of(10, 1));
  ASSERT_EQ(write_text(ring, "q"), 0);  // length at the start, 3 bytes skipped
  EXPECT_EQ(ring.wasted_tail, 3);
  EXPECT_EQ(ring.buffer_size, 32);
  ASSERT_EQ(write_text(ring, twenty), 0);
  EXPECT_EQ(ring.buffer_size, 64);
  EXPECT_EQ(ring.wasted_tail, 0);
  EXPECT_GT(ring.write_pos, ring.read_pos);  // straight after growth
  EXPECT_EQ(read_text(ring), eleven);
  EXPECT_EQ(read_text(ring), "q");
  EXPECT_EQ(read_text(ring), twenty);
  EXPECT_EQ(read_text(ring), "#-1");
}

TEST(RingGrowth, NegativeLimitBehavesAsEviction) {
  CCyclicBuffer ring(32, -5);
  EXPECT_EQ(ring.max_messages, 0);
  EXPECT_EQ(write_text(ring, message_of(29, 1)), CYCLIC_BUFFER_TOO_SMALL);
  EXPECT_EQ(ring.error_flag, 0);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(write_text(ring, message_of(10, i)), 0);
  EXPECT_EQ(ring.buffer_size, 32);
  EXPECT_EQ(ring.message_count, 2);
}

TEST(RingReading, MessageCrossingTheEndIsJoinedInScratch) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_text(ring, message_of(16, 1)), 0);  // 0..19
  ASSERT_EQ(write_text(ring, "ab"), 0);               // 20..25
  ASSERT_EQ(read_text(ring), message_of(16, 1));
  const std::string across = message_of(12, 4);
  ASSERT_EQ(write_text(ring, across), 0);  // length 26..29, payload 30, 31 and 0..9
  EXPECT_EQ(write_offset(ring), 10);
  EXPECT_EQ(ring.message_count, 2);
  ASSERT_EQ(read_text(ring), "ab");
  char *data = nullptr;
  int32_t length = 0;
  ASSERT_EQ(ring.read_message(&data, &length), 0);
  EXPECT_EQ(data, ring.scratch);
  EXPECT_EQ(std::string(data, static_cast<size_t>(length)), across);
  EXPECT_EQ(read_offset(ring), 10);
}
