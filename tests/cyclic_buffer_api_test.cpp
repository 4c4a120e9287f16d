// The exported cyclic_buffer_* functions: handle checks, creation, counting,
// cleaning and the status texts.
#include <gtest/gtest.h>
#include "rotolog/cyclic_buffer.h"

#include <cstring>

#include "support/ring.h"

using namespace rotolog::detail;

using namespace test_support;

TEST(CyclicBufferApi, EveryFunctionRefusesANullHandle) {
  char *data = nullptr;
  int length = 0;
  const char *segments[1] = {"a"};
  int16_t lengths[1] = {1};
  char *out[1];
  int count = 0;
  EXPECT_EQ(cyclic_buffer_write_message(nullptr, "a", 1), CYCLIC_BUFFER_INVALID_HANDLE);
  EXPECT_EQ(cyclic_buffer_read_message(nullptr, &data, &length), CYCLIC_BUFFER_INVALID_HANDLE);
  EXPECT_EQ(cyclic_buffer_write_array(nullptr, segments, lengths, 1), CYCLIC_BUFFER_INVALID_HANDLE);
  EXPECT_EQ(cyclic_buffer_read_array(nullptr, out, lengths, &count), CYCLIC_BUFFER_INVALID_HANDLE);
  EXPECT_EQ(cyclic_buffer_clean_buffer(nullptr), CYCLIC_BUFFER_INVALID_HANDLE);
  EXPECT_EQ(cyclic_buffer_get_current_number_of_messages(nullptr), CYCLIC_BUFFER_INVALID_HANDLE);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 0);
  cyclic_buffer_destroy_handle(nullptr);
}

TEST(CyclicBufferApi, StatusTextsAndUnknownCodes) {
  EXPECT_STREQ(cyclic_buffer_get_error_string(-1), "No more messages in cyclic buffer");
  EXPECT_STREQ(cyclic_buffer_get_error_string(-2), "Input is invalid");
  EXPECT_STREQ(cyclic_buffer_get_error_string(-3), "Cyclic buffer is too small to contain message");
  EXPECT_STREQ(cyclic_buffer_get_error_string(-4), "Failed to write message");
  EXPECT_STREQ(cyclic_buffer_get_error_string(-5), "An earlier error has occured");
  EXPECT_STREQ(cyclic_buffer_get_error_string(-6), "Invalid cyclic buffer handle");
  EXPECT_STREQ(cyclic_buffer_get_error_string(0), "Unknown");
  EXPECT_STREQ(cyclic_buffer_get_error_string(-7), "Unknown");
  EXPECT_STREQ(cyclic_buffer_get_error_string(1), "Unknown");
}

TEST(CyclicBufferApi, CreationRefusesNonPositiveCapacities) {
  EXPECT_EQ(cyclic_buffer_create_handle(0), nullptr);
  EXPECT_EQ(cyclic_buffer_create_handle(-8), nullptr);
  EXPECT_EQ(cyclic_buffer_create_handle_ex(0, 4), nullptr);
}

TEST(CyclicBufferApi, CountFollowsWritesAndReads) {
  void *handle = cyclic_buffer_create_handle(64);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(cyclic_buffer_get_current_number_of_messages(handle), 0);
  ASSERT_EQ(cyclic_buffer_write_message(handle, "first", 5), 0);
  ASSERT_EQ(cyclic_buffer_write_message(handle, "second", 6), 0);
  char *data = nullptr;
  int length = 0;
  ASSERT_EQ(cyclic_buffer_read_message(handle, &data, &length), 0);
  EXPECT_EQ(std::string(data, static_cast<size_t>(length)), "first");
  EXPECT_EQ(cyclic_buffer_get_current_number_of_messages(handle), 1);
  cyclic_buffer_destroy_handle(handle);
}

TEST(CyclicBufferApi, ArraysRoundTripThroughTheExportedFunctions) {
  void *handle = cyclic_buffer_create_handle_ex(32, 4);
  ASSERT_NE(handle, nullptr);
  const char *segments[3] = {"alpha", "be", "gamma-gamma"};
  int16_t lengths[3] = {5, 2, 11};
  ASSERT_EQ(cyclic_buffer_write_array(handle, segments, lengths, 3), 0);
  char *out[16];
  int16_t out_lengths[16];
  int count = 0;
  ASSERT_EQ(cyclic_buffer_read_array(handle, out, out_lengths, &count), 0);
  ASSERT_EQ(count, 3);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(out_lengths[i], lengths[i]);
    EXPECT_EQ(std::memcmp(out[i], segments[i], static_cast<size_t>(lengths[i])), 0);
  }
  EXPECT_EQ(cyclic_buffer_read_array(handle, out, out_lengths, &count),
            CYCLIC_BUFFER_NO_MORE_MESSAGES);
  cyclic_buffer_destroy_handle(handle);
}

TEST(CyclicBufferApi, NegativeLimitCreatesAnEvictingBuffer) {
  void *handle = cyclic_buffer_create_handle_ex(16, -1);
  ASSERT_NE(handle, nullptr);
  const std::string too_long = message_of(13, 1);
  EXPECT_EQ(cyclic_buffer_write_message(handle, too_long.data(), 13), CYCLIC_BUFFER_TOO_SMALL);
  EXPECT_EQ(cyclic_buffer_write_message(handle, too_long.data(), 12), 0);
  cyclic_buffer_destroy_handle(handle);
}

TEST(CyclicBufferApi, CleanLiftsTheStickyErrorOfAFailedWrite) {
  void *handle = cyclic_buffer_create_handle(32);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(cyclic_buffer_write_message(handle, "0123456789", 10), 0);
  ASSERT_EQ(cyclic_buffer_write_message(handle, "0123456789", 10), 0);
  // A stored length that does not fit the ring (as a damaged cyclic file
  // would hold) makes the evicting write fail.
  CCyclicBuffer *ring = static_cast<CCyclicBuffer *>(handle);
  ring->ring_start[0] = 100;
  EXPECT_EQ(cyclic_buffer_write_message(handle, "0123456789", 10), CYCLIC_BUFFER_WRITE_FAILED);
  EXPECT_EQ(cyclic_buffer_write_message(handle, "x", 1), CYCLIC_BUFFER_EARLIER_ERROR);
  EXPECT_EQ(cyclic_buffer_get_current_number_of_messages(handle), 2);
  EXPECT_EQ(cyclic_buffer_clean_buffer(handle), 0);
  EXPECT_EQ(cyclic_buffer_get_current_number_of_messages(handle), 0);
  EXPECT_EQ(cyclic_buffer_write_message(handle, "x", 1), 0);
  cyclic_buffer_destroy_handle(handle);
}
