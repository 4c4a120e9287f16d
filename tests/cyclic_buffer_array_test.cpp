// Array messages of CCyclicBuffer: record layout, placement of segment
// lengths and bytes across the end, refusals, and whole-record room making.
#include <gtest/gtest.h>

#include "support/ring.h"

using namespace rotolog::detail;

using namespace test_support;

using Segments = std::vector<std::string>;

TEST(ArrayLimits, RecordMustBeOneByteSmallerThanTheStorage) {
  CCyclicBuffer ring(32, 0);
  EXPECT_EQ(write_segments(ring, {message_of(12, 1), message_of(12, 2)}), CYCLIC_BUFFER_TOO_SMALL);
  EXPECT_EQ(ring.message_count, 0);
  const Segments fits = {message_of(12, 1), message_of(11, 2)};
  ASSERT_EQ(write_segments(ring, fits), 0);
  EXPECT_EQ(write_offset(ring), 31);
  EXPECT_EQ(static_cast<unsigned char>(ring.ring_start[0]), 27);  // total
  Segments read;
  ASSERT_EQ(read_segments(ring, read), 0);
  EXPECT_EQ(read, fits);

  CCyclicBuffer single(32, 0);
  EXPECT_EQ(write_text(single, message_of(28, 3)), 0);
}

TEST(ArrayLimits, ArrayWithoutSegmentsIsAFourByteRecord) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(ring.write_array(nullptr, nullptr, 0), 0);
  EXPECT_EQ(write_offset(ring), 4);
  EXPECT_EQ(ring.message_count, 1);
  char *pointers[1] = {nullptr};
  int16_t lengths[1] = {0};
  int32_t count = -1;
  ASSERT_EQ(ring.read_array(pointers, lengths, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ring.message_count, 0);
}

TEST(ArrayLimits, BadSegmentAtAnyIndexStoresNothing) {
  CCyclicBuffer ring(64, 0);
  ASSERT_EQ(write_text(ring, "kept"), 0);
  const long before = write_offset(ring);
  const char *pointers[3] = {"ab", "cd", nullptr};
  int16_t lengths[3] = {2, 2, 2};
  EXPECT_EQ(ring.write_array(pointers, lengths, 3), CYCLIC_BUFFER_INVALID_INPUT);
  pointers[2] = "ef";
  lengths[1] = 0;
  EXPECT_EQ(ring.write_array(pointers, lengths, 3), CYCLIC_BUFFER_INVALID_INPUT);
  lengths[1] = -4;
  EXPECT_EQ(ring.write_array(pointers, lengths, 3), CYCLIC_BUFFER_INVALID_INPUT);
  EXPECT_EQ(ring.write_array(nullptr, lengths, 3), CYCLIC_BUFFER_INVALID_INPUT);
  EXPECT_EQ(ring.write_array(pointers, nullptr, 3), CYCLIC_BUFFER_INVALID_INPUT);
  EXPECT_EQ(ring.message_count, 1);
  EXPECT_EQ(write_offset(ring), before);
  EXPECT_EQ(ring.error_flag, 0);
  char *out[2];
  int32_t count = 0;
  EXPECT_EQ(ring.read_array(nullptr, lengths, &count), CYCLIC_BUFFER_INVALID_INPUT);
  EXPECT_EQ(ring.read_array(out, nullptr, &count), CYCLIC_BUFFER_INVALID_INPUT);
}

TEST(ArrayPlacement, SegmentLengthSkipsTheLastByteAndEvictsTheOldMessage) {
  CCyclicBuffer ring(40, 0);
  ASSERT_EQ(write_text(ring, message_of(20, 1)), 0);  // 0..23
  const Segments array = {message_of(9, 2), message_of(2, 3)};
  ASSERT_EQ(write_segments(ring, array), 0);
  EXPECT_EQ(static_cast<unsigned char>(ring.ring_start[24]), 15);  // total at 24..27
  EXPECT_EQ(ring.ring_start[28], 9);                               // first length at 28, 29
  EXPECT_EQ(std::string(ring.ring_start + 30, 9), array[0]);       // bytes 30..38
  EXPECT_EQ(ring.wasted_tail, 1);                                  // byte 39 skipped
  EXPECT_EQ(ring.ring_start[0], 2);                                // second length at 0, 1
  EXPECT_EQ(std::string(ring.ring_start + 2, 2), array[1]);        // bytes 2, 3
  EXPECT_EQ(write_offset(ring), 4);
  EXPECT_EQ(read_offset(ring), 24);  // the 20-byte message is gone
  EXPECT_EQ(ring.message_count, 1);

  CCyclicBuffer evicting(40, 0);
  ASSERT_EQ(write_text(evicting, message_of(20, 1)), 0);
  ASSERT_EQ(write_segments(evicting, array), 0);
  Segments read;
  ASSERT_EQ(read_segments(evicting, read), 0);
  EXPECT_EQ(read, array);

  // A later message evicts the array record as a whole, skipped byte included.
  const std::string next = message_of(25, 4);
  ASSERT_EQ(write_text(ring, next), 0);
  EXPECT_EQ(read_offset(ring), 4);
  EXPECT_EQ(ring.message_count, 1);
  EXPECT_EQ(read_text(ring), next);
}

TEST(ArrayPlacement, SegmentBytesSplitAcrossTheEndAreJoinedForReading) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_segments(ring, {message_of(5, 1), message_of(6, 2)}), 0);  // 0..18
  const Segments second = {message_of(3, 3), message_of(4, 4)};
  ASSERT_EQ(write_segments(ring, second), 0);
  EXPECT_EQ(ring.ring_start[28], 4);  // last segment length at 28, 29
  EXPECT_EQ(std::string(ring.ring_start + 30, 2), second[1].substr(0, 2));
  EXPECT_EQ(std::string(ring.ring_start, 2), second[1].substr(2));
  EXPECT_EQ(write_offset(ring), 2);
  EXPECT_EQ(ring.message_count, 1);  // the first array was evicted
  EXPECT_EQ(read_offset(ring), 19);
  Segments read;
  ASSERT_EQ(read_segments(ring, read), 0);
  EXPECT_EQ(read, second);
}

TEST(ArrayPlacement, ReadMessageOnAnArrayRecordHandsOutItsBody) {
  CCyclicBuffer ring(64, 0);
  ASSERT_EQ(write_segments(ring, {"ab", "c"}), 0);
  const std::string body = read_text(ring);
  ASSERT_EQ(body.size(), 7u);
  EXPECT_EQ(body[0], 2);
  EXPECT_EQ(body.substr(2, 2), "ab");
  EXPECT_EQ(body[4], 1);
  EXPECT_EQ(body.substr(6, 1), "c");
}

TEST(ArrayRoom, GrowthModeGrowsBeforeWritingARecordLargerThanTheStorage) {
  CCyclicBuffer ring(16, 5);
  const Segments big = {message_of(20, 1), message_of(20, 2)};
  ASSERT_EQ(write_segments(ring, big), 0);
  EXPECT_GE(ring.buffer_size, 44);
  Segments read;
  ASSERT_EQ(read_segments(ring, read), 0);
  EXPECT_EQ(read, big);
}

TEST(ArrayRoom, GrowthUnwrapsARecordWhoseSegmentLengthSkippedAByte) {
  CCyclicBuffer ring(40, 9);
  ASSERT_EQ(write_text(ring, message_of(20, 1)), 0);
  ASSERT_EQ(write_text(ring, "1"), 0);
  ASSERT_EQ(read_text(ring), message_of(20, 1));
  const Segments array = {message_of(4, 2), message_of(2, 3)};
  ASSERT_EQ(write_segments(ring, array), 0);
  EXPECT_EQ(ring.wasted_tail, 1);
  EXPECT_EQ(ring.buffer_size, 40);
  const std::string thirty = message_of(30, 4);
  ASSERT_EQ(write_text(ring, thirty), 0);
  EXPECT_EQ(ring.buffer_size, 80);
  EXPECT_EQ(read_text(ring), "1");
  Segments read;
  ASSERT_EQ(read_segments(ring, read), 0);
  EXPECT_EQ(read, array);
  EXPECT_EQ(read_text(ring), thirty);
}

TEST(ArrayRoom, NearlyFullRecordWrittenFromTheLastBytesNeverOverwritesItself) {
  CCyclicBuffer ring(32, 0);
  ASSERT_EQ(write_text(ring, message_of(11, 1)), 0);
  ASSERT_EQ(write_text(ring, message_of(11, 2)), 0);
  ASSERT_EQ(write_offset(ring), 30);
  const Segments array = {message_of(12, 3), message_of(11, 4)};  // 31-byte record
  ASSERT_EQ(write_segments(ring, array), 0);
  EXPECT_EQ(ring.message_count, 1);
  EXPECT_EQ(read_offset(ring), 0);  // at the first byte of the only record
  EXPECT_EQ(write_offset(ring), 31);
  ASSERT_EQ(write_text(ring, "z"), 0);  // evicts the array, never writes into it first
  EXPECT_EQ(ring.message_count, 1);
  EXPECT_EQ(read_text(ring), "z");

  CCyclicBuffer kept(32, 0);
  ASSERT_EQ(write_text(kept, message_of(11, 1)), 0);
  ASSERT_EQ(write_text(kept, message_of(11, 2)), 0);
  ASSERT_EQ(write_segments(kept, array), 0);
  Segments read;
  ASSERT_EQ(read_segments(kept, read), 0);
  EXPECT_EQ(read, array);
}
