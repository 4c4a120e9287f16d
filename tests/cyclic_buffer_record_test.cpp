// The record (cyclic_buffer_record.h): where a record is placed, how a walk
// steps over one, and the copies of a payload across the ring's end, at the
// boundaries where they change course.
#include <gtest/gtest.h>

#include <string>

#include "rotolog/cyclic_buffer_record.h"

using namespace rotolog::detail;

namespace {

constexpr int64_t kSize = 16;

TEST(RecordPlacement, AFieldThatDoesNotFitSkipsTheTailAndAPayloadWrapsAfterAFieldAtTheEnd) {
  int64_t at = 14;  // 2 bytes left: the field skips them
  EXPECT_EQ(place_span(kSize, &at, kLengthWidth, 3), 2 + kLengthWidth + 3);
  EXPECT_EQ(at, kLengthWidth + 3);
  at = 12;  // the field ends at the end: its payload begins at the start, nothing skipped
  EXPECT_EQ(place_span(kSize, &at, kLengthWidth, 5), kLengthWidth + 5);
  EXPECT_EQ(at, 5);
  at = 2;  // a payload that ends exactly at the end leaves the position there
  EXPECT_EQ(place_span(kSize, &at, kLengthWidth, 10), kLengthWidth + 10);
  EXPECT_EQ(at, kSize);
}

TEST(RecordCopies, APayloadIsLaidAndReadBackWholeOnEitherSideOfTheEnd) {
  const std::string payload = "abcdefghij";
  for (int64_t from : {0, 6, 7, 8, 15}) {
    SCOPED_TRACE(from);
    char ring[kSize] = {};
    const int64_t end = copy_in(ring, kSize, from, payload.data(), 10);
    EXPECT_EQ(end, from + 10 <= kSize ? from + 10 : from + 10 - kSize);
    char back[10] = {};
    copy_out(back, ring, kSize, from, 10);
    EXPECT_EQ(std::string(back, 10), payload);
  }
}

TEST(RecordStepping, AWalkTakesOnlyTheTailAWriterSkipsAndLengthsThatFit) {
  char ring[kSize] = {};
  // A record laid at 14 by a writer: 2 bytes skipped, its field at 0.
  store_field(ring, kLengthWidth, 3);
  RecordStep step{};
  EXPECT_TRUE(step_over(RingLayout{ring, kSize, 2}, 14, 9, 1, &step));
  EXPECT_EQ(step.payload, kLengthWidth);
  EXPECT_EQ(step.next, kLengthWidth + 3);
  EXPECT_EQ(step.used, 2 + kLengthWidth + 3);
  // The header says another tail was skipped: not a record a writer left.
  EXPECT_FALSE(step_over(RingLayout{ring, kSize, 1}, 14, 9, 1, &step));
  // The record runs past the stored span, or its length is below the least.
  EXPECT_FALSE(step_over(RingLayout{ring, kSize, 2}, 14, 8, 1, &step));
  store_field(ring, kLengthWidth, 0);
  EXPECT_FALSE(step_over(RingLayout{ring, kSize, 2}, 14, 9, 1, &step));
  // A length longer than any ring of this size holds, read from a file.
  store_field(ring, kLengthWidth, static_cast<int32_t>(longest_payload(kSize)) + 1);
  EXPECT_FALSE(step_over(RingLayout{ring, kSize, 0}, 0, kSize, 1, &step));
  EXPECT_EQ(load_length(ring), longest_payload(kSize) + 1);
}

}  // namespace
