// The fast paths of the write and read loops give exactly what the general
// paths give: the direct header codec against the XDR streams, the one-walk
// copy of read_all against read_message, the cyclic file's ring against an
// in-memory ring fed the same messages, and no heap allocation per message.
#include <gtest/gtest.h>
#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_header.h"
#include "rotolog/platform/test_seams.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "rotolog/cyclic_file_handle.h"
#include "rotolog/cyclic_file_header_codec.h"
#include "support/cyclic_file_fixture.h"
#include "support/ring.h"

using namespace rotolog::detail;

using namespace test_support;

namespace {

struct Fields {
  int buffer_size, message_count, wasted_tail, write_offset, read_offset;
};

void fill_record(cyclic_file_header_t &record, const Fields &fields, uint32_t present) {
  record.init();
  record.buffer_size = fields.buffer_size;
  record.message_count = fields.message_count;
  record.wasted_tail = fields.wasted_tail;
  record.write_offset = fields.write_offset;
  record.read_offset = fields.read_offset;
  record.present_bits = present;
}

void expect_same_record(const cyclic_file_header_t &direct, const cyclic_file_header_t &streamed) {
  EXPECT_EQ(direct.present_bits, streamed.present_bits);
  EXPECT_EQ(direct.buffer_size, streamed.buffer_size);
  EXPECT_EQ(direct.message_count, streamed.message_count);
  EXPECT_EQ(direct.wasted_tail, streamed.wasted_tail);
  EXPECT_EQ(direct.write_offset, streamed.write_offset);
  EXPECT_EQ(direct.read_offset, streamed.read_offset);
}

// Decodes bytes both ways and checks that the results agree; returns the
// length the direct decoder reported.
int decode_both_ways(const std::vector<char> &bytes, int length) {
  cyclic_file_header_t direct;
  const int direct_length = decode_cyclic_file_header_into(bytes.data(), length, &direct);
  std::vector<char> copy(bytes);
  cyclic_file_header_t *streamed = nullptr;
  const int streamed_length = xdr_decode_p_cyclic_file_header_t(copy.data(), length, &streamed);
  EXPECT_EQ(direct_length, streamed_length);
  if (direct_length >= 0 && streamed != nullptr) expect_same_record(direct, *streamed);
  xdr_free_p_cyclic_file_header_t(&streamed);
  return direct_length;
}

std::vector<char> be_words(std::initializer_list<uint32_t> words) {
  std::vector<char> bytes;
  for (uint32_t word : words)
    for (int shift = 24; shift >= 0; shift -= 8)
      bytes.push_back(static_cast<char>((word >> shift) & 0xFF));
  return bytes;
}

}  // namespace

// ---------------------------------------------------------------------------
// The header codec

TEST(HeaderFastPath, EncodesTheSameBytesAsTheXdrStreamForEveryShape) {
  const Fields samples[] = {{1, 0, 0, 0, 0},
                            {4096, 17, 3, 4000, 12},
                            {INT_MAX, INT_MAX, 0, INT_MAX, 1},
                            {-1, INT_MIN, -3, -4096, 7}};
  // All five fields, some missing (the XDR stream's own layout), and bits
  // past the fifth field, which neither encoder writes.
  const uint32_t presences[] = {0x1f, 0x0f, 0x15, 0x00, 0x3f, 0xffffffffu};
  for (const Fields &fields : samples) {
    for (uint32_t present : presences) {
      for (int room : {60, 28, 27, 8, 0}) {
        cyclic_file_header_t record;
        fill_record(record, fields, present);
        std::vector<char> direct(60, '\x55'), streamed(60, '\x55');
        const int direct_length = encode_cyclic_file_header_into(&record, direct.data(), room);
        const int streamed_length = xdr_encode_cyclic_file_header_t(&record, streamed.data(), room);
        EXPECT_EQ(direct_length, streamed_length) << present << " in " << room;
        if (direct_length > 0) {
          EXPECT_EQ(direct, streamed) << present << " in " << room;
        }
      }
    }
  }
  cyclic_file_header_t record;
  fill_record(record, {1, 2, 3, 4, 5}, 0x1f);
  record.field_count = 4;  // the fifth field is not part of this record
  std::vector<char> direct(60), streamed(60);
  EXPECT_EQ(encode_cyclic_file_header_into(&record, direct.data(), 60),
            xdr_encode_cyclic_file_header_t(&record, streamed.data(), 60));
  EXPECT_EQ(direct, streamed);
  EXPECT_EQ(encode_cyclic_file_header_into(nullptr, direct.data(), 60), -1);
}

TEST(HeaderFastPath, DecodesWhatTheXdrStreamDecodesAndRefusesWhatItRefuses) {
  EXPECT_EQ(decode_both_ways(be_words({1, 0x1f, 4096, 9, 2, 100, 3000}), 28), 28);
  EXPECT_EQ(decode_both_ways(be_words({1, 0x1f, 0x80000000u, 0xffffffffu, 0, 0, 0}), 60), 28);
  EXPECT_EQ(decode_both_ways(be_words({1, 0x0b, 4096, 9, 100}), 20), 20);  // fields missing
  EXPECT_EQ(decode_both_ways(be_words({1, 0x1f, 4096, 9, 2, 100, 3000}), 27), -1);     // short
  EXPECT_EQ(decode_both_ways(be_words({2, 0x1f, 0, 4096, 9, 2, 100, 3000}), 32), -1);  // two words
  EXPECT_EQ(decode_both_ways(be_words({1, 0x3f, 4096, 9, 2, 100, 3000, 0}), 32), -1);  // sixth bit
  cyclic_file_header_t record;
  EXPECT_EQ(decode_cyclic_file_header_into(nullptr, 28, &record), -1);
  EXPECT_EQ(record.present_bits, 0u);
}

TEST(HeaderFastPath, EncodesARingAsCapturingItIntoARecordDoes) {
  std::mt19937 random(11);
  CCyclicBuffer ring(300, 0);
  for (int step = 0; step < 500; ++step) {
    ASSERT_EQ(
        write_text(ring, message_of(std::uniform_int_distribution<int>(1, 120)(random), step)), 0);
    if (step % 3 == 0) read_text(ring);
    cyclic_file_header_t record;
    record.init();
    capture_ring_header(ring, &record);
    std::vector<char> direct(60, '\x11'), streamed(60, '\x11');
    ASSERT_EQ(encode_ring_header_into(ring, direct.data(), 60),
              xdr_encode_cyclic_file_header_t(&record, streamed.data(), 60));
    ASSERT_EQ(direct, streamed) << step;
  }
  std::vector<char> buffer(60);
  EXPECT_EQ(encode_ring_header_into(ring, buffer.data(), 27), -1);
  EXPECT_EQ(encode_ring_header_into(ring, nullptr, 60), -1);
}

// ---------------------------------------------------------------------------
// Copying every message at once

namespace {

// What read_message hands out, message by message, on a ring that is then
// put back as it was.
std::string read_each(CCyclicBuffer &ring, int *code) {
  char *noted_read_pos = ring.read_pos;
  const int32_t noted_count = ring.message_count;
  std::string all;
  for (;;) {
    char *data = nullptr;
    int32_t length = 0;
    *code = ring.read_message(&data, &length);
    if (*code != CYCLIC_BUFFER_OK) break;
    all.append(data, static_cast<size_t>(length));
  }
  ring.read_pos = noted_read_pos;
  ring.message_count = noted_count;
  return all;
}

}  // namespace

TEST(CopyMessages, GivesWhatReadMessageGivesOverEveryWrapAndSkippedTail) {
  std::mt19937 random(20261207);
  for (int32_t capacity : {16, 29, 64, 257}) {
    CCyclicBuffer ring(capacity, 0);
    for (int step = 0; step < 3000; ++step) {
      const int length = std::uniform_int_distribution<int>(1, capacity - 4)(random);
      ASSERT_EQ(write_text(ring, message_of(length, step)), CYCLIC_BUFFER_OK);
      if (step % 7 == 0) read_text(ring);
      char *read_pos = ring.read_pos;
      const int32_t count = ring.message_count;
      std::vector<char> block(static_cast<size_t>(capacity) + 1);
      int64_t copied = -1;
      ASSERT_EQ(ring.copy_messages(block.data(), capacity, &copied), CYCLIC_BUFFER_OK);
      EXPECT_EQ(ring.read_pos, read_pos);
      EXPECT_EQ(ring.message_count, count);
      int code = 0;
      const std::string expected = read_each(ring, &code);
      ASSERT_EQ(code, CYCLIC_BUFFER_NO_MORE_MESSAGES);
      ASSERT_EQ(std::string(block.data(), static_cast<size_t>(copied)), expected)
          << capacity << " " << step;
    }
  }
}

TEST(CopyMessages, RefusesWhatReadMessageRefusesAndABlockTooSmall) {
  CCyclicBuffer ring(64, 0);
  ASSERT_EQ(write_text(ring, "abcdef"), CYCLIC_BUFFER_OK);
  ASSERT_EQ(write_text(ring, "ghij"), CYCLIC_BUFFER_OK);
  std::vector<char> block(65);
  int64_t copied = -1;
  EXPECT_EQ(ring.copy_messages(block.data(), 9, &copied), CYCLIC_BUFFER_WRITE_FAILED);
  EXPECT_EQ(ring.copy_messages(block.data(), 10, &copied), CYCLIC_BUFFER_OK);
  EXPECT_EQ(copied, 10);

  // A stored length past the stored span, as a damaged file may hold.
  const int32_t too_long = 40;
  std::memcpy(ring.ring_start + 10, &too_long, sizeof too_long);
  int code = 0;
  read_each(ring, &code);
  EXPECT_EQ(code, CYCLIC_BUFFER_WRITE_FAILED);
  EXPECT_EQ(ring.copy_messages(block.data(), 64, &copied), CYCLIC_BUFFER_WRITE_FAILED);
  EXPECT_EQ(copied, 0);

  ring.error_flag = 1;
  EXPECT_EQ(ring.copy_messages(block.data(), 64, &copied), CYCLIC_BUFFER_EARLIER_ERROR);
  ring.clean();
  EXPECT_EQ(ring.copy_messages(block.data(), 64, &copied), CYCLIC_BUFFER_OK);
  EXPECT_EQ(copied, 0);
}

// ---------------------------------------------------------------------------
// The cyclic file's write

TEST(CyclicFileWrite, LeavesTheRingAnInMemoryRingLeavesForTheSameMessages) {
  TestFile files;
  std::mt19937 random(7);
  for (int32_t capacity : {32, 100, 1000}) {
    void *handle = files.open(files.file("log" + std::to_string(capacity)), kReadWrite, capacity);
    ASSERT_NE(handle, nullptr);
    CCyclicFile &file = *static_cast<CCyclicFile *>(handle);
    CCyclicBuffer model(capacity, 0);
    for (int step = 0; step < 2000; ++step) {
      // Mostly short messages, now and then one that empties the ring.
      const int longest = step % 13 == 0 ? capacity - 4 : (capacity - 4) / 3 + 1;
      const std::string text =
          message_of(std::uniform_int_distribution<int>(1, longest)(random), step);
      ASSERT_EQ(cyclic_file_write(handle, text.data(), static_cast<int>(text.size())), 0);
      ASSERT_EQ(write_text(model, text), CYCLIC_BUFFER_OK);
      ASSERT_EQ(file.message_count, model.message_count) << step;
      ASSERT_EQ(write_offset(file), write_offset(model)) << step;
      ASSERT_EQ(read_offset(file), read_offset(model)) << step;
      ASSERT_EQ(file.wasted_tail, model.wasted_tail) << step;
    }
    int code = 0;
    const std::string expected = read_each(model, &code);
    EXPECT_EQ(read_all(handle), (Contents{model.message_count, expected}));
  }
}

TEST(CyclicFileWrite, ShortFormattedTextsAndSteadyWritesAllocateNothing) {
  TestFile file;
  void *handle = file.open(kReadWrite, 4096);
  ASSERT_NE(handle, nullptr);
  const std::string text(64, 'm');
  for (int i = 0; i < 200; ++i) cyclic_file_write(handle, text.data(), 64);
  const long before = test_seam_calls(TEST_SEAM_ALLOCATION);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(cyclic_file_write(handle, text.data(), 64), 0);
    ASSERT_EQ(cyclic_file_fwritef(handle, "%s %d", "formatted", i), 0);
  }
  EXPECT_EQ(test_seam_calls(TEST_SEAM_ALLOCATION), before);

  // The first formatting pass needs no allocation; a longer text does.
  test_seam_fail(TEST_SEAM_ALLOCATION, 1, ENOMEM);
  EXPECT_EQ(cyclic_file_fwritef(handle, "%s", std::string(512, 'x').c_str()), 0);
  EXPECT_EQ(cyclic_file_fwritef(handle, "%s", std::string(513, 'y').c_str()),
            CYCLIC_FILE_NO_MEMORY);
  test_seam_fail(TEST_SEAM_ALLOCATION, 0, 0);
  const Contents contents = read_all(handle);
  ASSERT_GT(contents.count, 0);
  EXPECT_EQ(contents.text.substr(contents.text.size() - 512), std::string(512, 'x'));
}

TEST(CyclicBufferWrite, SteadyWritesAndReadsOfAFullRingAllocateNothing) {
  // 64-byte records tile the storage, so no message crosses its end (a read
  // of one that does joins it in the scratch area).
  void *ring = cyclic_buffer_create_handle(4096);
  ASSERT_NE(ring, nullptr);
  const std::string text(60, 'r');
  for (int i = 0; i < 100; ++i) cyclic_buffer_write_message(ring, text.data(), 60);
  const long before = test_seam_calls(TEST_SEAM_ALLOCATION);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(cyclic_buffer_write_message(ring, text.data(), 60), 0);
    char *data = nullptr;
    int length = 0;
    if (i % 2 == 0) {
      ASSERT_EQ(cyclic_buffer_read_message(ring, &data, &length), 0);
    }
  }
  EXPECT_EQ(test_seam_calls(TEST_SEAM_ALLOCATION), before);
  cyclic_buffer_destroy_handle(ring);
}
