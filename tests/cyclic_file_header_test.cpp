// The cyclic file header record: accessors, the eight codec functions, the
// ring state in and out of a record, the header check and the
// allocation-free decoder, with the allocator's seam.
#include "rotolog/cyclic_file_header.h"
#include <gtest/gtest.h>
#include "rotolog/cyclic_file_header_codec.h"
#include "rotolog/platform/test_seams.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

#include "support/cyclic_file_fixture.h"

using namespace rotolog::detail;

using test_support::fill_record;
using test_support::header_length;

// A record points into itself; a copy would share the original's presence word.
static_assert(!std::is_copy_constructible_v<cyclic_file_header_t>);
static_assert(!std::is_copy_assignable_v<cyclic_file_header_t>);

namespace {

// A ring over caller storage whose fields the tests set by hand.
class HandRing : public CCyclicBuffer {
 public:
  explicit HandRing(char *storage, int32_t size) {
    buffer_size = size;
    ring_start = write_pos = read_pos = storage;
    ring_end = storage + size;
  }
  // The storage is not the ring's to free.
  ~HandRing() { ring_start = write_pos = read_pos = ring_end = scratch = nullptr; }
};

struct Record {
  Record() { value.init(); }
  cyclic_file_header_t value;
};

std::vector<int> fields_of(const cyclic_file_header_t &record) {
  return {record.buffer_size, record.message_count, record.wasted_tail, record.write_offset,
          record.read_offset};
}

}  // namespace

/* ---- accessors ---- */

TEST(HeaderRecord, FreshRecordHasNoFieldAndGettersLeaveOutputAlone) {
  Record record;
  EXPECT_EQ(record.value.field_count, 5);
  EXPECT_EQ(record.value.present, &record.value.present_bits);
  EXPECT_EQ(record.value.present_words, 1);
  int out = 12345;
  EXPECT_FALSE(record.value.has_buffer_size() || record.value.has_message_count() ||
               record.value.has_wasted_tail() || record.value.has_write_offset() ||
               record.value.has_read_offset());
  EXPECT_FALSE(record.value.get_buffer_size(&out) || record.value.get_message_count(&out) ||
               record.value.get_wasted_tail(&out) || record.value.get_write_offset(&out) ||
               record.value.get_read_offset(&out));
  EXPECT_EQ(out, 12345);
}

TEST(HeaderRecord, EachSetterRaisesOnlyItsOwnBit) {
  using Setter = bool (cyclic_file_header_t::*)(int);
  const Setter setters[] = {
      &cyclic_file_header_t::set_buffer_size, &cyclic_file_header_t::set_message_count,
      &cyclic_file_header_t::set_wasted_tail, &cyclic_file_header_t::set_write_offset,
      &cyclic_file_header_t::set_read_offset};
  for (int index = 0; index < 5; ++index) {
    Record record;
    EXPECT_TRUE((record.value.*setters[index])(40 + index));
    EXPECT_EQ(record.value.present_bits, 1u << index);
    EXPECT_EQ(fields_of(record.value)[static_cast<size_t>(index)], 40 + index);
  }
  Record record;
  fill_record(&record.value, {10, 20, 30, 40, 50});
  int out = 0;
  EXPECT_TRUE(record.value.get_wasted_tail(&out));
  EXPECT_EQ(out, 30);
  EXPECT_EQ(record.value.present_bits, 31u);
}

TEST(HeaderRecord, ThreeFieldRecordRefusesOffsetsAndCaptureFillsOnlyThree) {
  Record record;
  record.value.field_count = 3;
  EXPECT_FALSE(record.value.set_write_offset(8));
  EXPECT_FALSE(record.value.set_read_offset(8));
  EXPECT_EQ(record.value.present_bits, 0u);
  EXPECT_EQ(record.value.write_offset, 0);

  char storage[256];
  HandRing ring(storage, 256);
  ring.message_count = 4;
  ring.wasted_tail = 2;
  ring.write_pos = storage + 100;
  ring.read_pos = storage + 60;
  capture_ring_header(ring, &record.value);
  EXPECT_EQ(record.value.present_bits, 7u);
  EXPECT_EQ(fields_of(record.value), (std::vector<int>{256, 4, 2, 0, 0}));
  EXPECT_FALSE(record.value.has_write_offset());
  // A stray bit beyond field_count still does not make a field present.
  record.value.present_bits |= 8u;
  EXPECT_FALSE(record.value.has_write_offset());
}

/* ---- codec ---- */

TEST(HeaderCodec, FullRecordRoundTripsAndLengthsAgree) {
  Record record;
  fill_record(&record.value, {4096, 17, 3, 100, 60});
  char buffer[CYCLIC_FILE_HEADER_MAX_LENGTH];
  int written = xdr_encode_cyclic_file_header_t(&record.value, buffer, sizeof buffer);
  ASSERT_GT(written, 0);
  cyclic_file_header_t *pointer = &record.value;
  char again[CYCLIC_FILE_HEADER_MAX_LENGTH];
  EXPECT_EQ(xdr_encode_p_cyclic_file_header_t(&pointer, again, sizeof again), written);
  EXPECT_EQ(std::memcmp(buffer, again, static_cast<size_t>(written)), 0);
  EXPECT_EQ(xdr_length_of_encoded_cyclic_file_header_t(&record.value), written);
  EXPECT_EQ(xdr_length_of_encoded_p_cyclic_file_header_t(&pointer), written);

  cyclic_file_header_t *decoded = nullptr;
  EXPECT_EQ(xdr_decode_p_cyclic_file_header_t(buffer, sizeof buffer, &decoded), written);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->present, &decoded->present_bits);
  EXPECT_EQ(decoded->present_bits, 31u);
  EXPECT_EQ(fields_of(*decoded), (std::vector<int>{4096, 17, 3, 100, 60}));
  xdr_free_p_cyclic_file_header_t(&decoded);
  EXPECT_EQ(decoded, nullptr);
}

TEST(HeaderCodec, FullRecordLengthIsFixedWhateverTheValues) {
  const int expected = header_length();
  std::printf("encoded length of a full cyclic file header: %d bytes\n", expected);
  EXPECT_EQ(expected, 28);  // the length cyclic_file_header.h gives
  EXPECT_LE(expected, CYCLIC_FILE_HEADER_MAX_LENGTH);
  for (int value : {0, -1, INT_MAX, INT_MIN}) {
    Record record;
    fill_record(&record.value, {value, value, value, value, value});
    char buffer[CYCLIC_FILE_HEADER_MAX_LENGTH];
    EXPECT_EQ(xdr_encode_cyclic_file_header_t(&record.value, buffer, sizeof buffer), expected)
        << value;
    cyclic_file_header_t *decoded = nullptr;
    EXPECT_EQ(xdr_decode_p_cyclic_file_header_t(buffer, sizeof buffer, &decoded), expected);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(fields_of(*decoded), std::vector<int>(5, value));
    xdr_free_p_cyclic_file_header_t(&decoded);
  }
}

TEST(HeaderCodec, EncodesBigEndianWordsAfterTheCountAndPresenceWords) {
  Record record;
  fill_record(&record.value, {0x01020304, -1, 0, 8, 16});
  unsigned char buffer[CYCLIC_FILE_HEADER_MAX_LENGTH];
  ASSERT_EQ(xdr_encode_cyclic_file_header_t(&record.value, reinterpret_cast<char *>(buffer),
                                            sizeof buffer),
            28);
  const unsigned char expected[28] = {0,   0,   0, 1, 0, 0, 0, 31, 1, 2, 3, 4, 255, 255,
                                      255, 255, 0, 0, 0, 0, 0, 0,  0, 8, 0, 0, 0,   16};
  EXPECT_EQ(std::memcmp(buffer, expected, sizeof expected), 0);
}

TEST(HeaderCodec, PartialRecordRoundTripsItsPresenceBits) {
  Record record;
  record.value.set_message_count(9);
  record.value.set_read_offset(-7);
  char buffer[CYCLIC_FILE_HEADER_MAX_LENGTH];
  int written = xdr_encode_cyclic_file_header_t(&record.value, buffer, sizeof buffer);
  EXPECT_EQ(written, xdr_length_of_encoded_cyclic_file_header_t(&record.value));
  EXPECT_LT(written, header_length());
  cyclic_file_header_t *decoded = nullptr;
  EXPECT_EQ(xdr_decode_p_cyclic_file_header_t(buffer, written, &decoded), written);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->present_bits, 2u | 16u);
  int out = 0;
  EXPECT_FALSE(decoded->get_buffer_size(&out));
  EXPECT_TRUE(decoded->get_read_offset(&out));
  EXPECT_EQ(out, -7);
  xdr_free_p_cyclic_file_header_t(&decoded);
}

TEST(HeaderCodec, EveryShortBufferFailsBothWays) {
  Record record;
  fill_record(&record.value, {1, 2, 3, 4, 5});
  cyclic_file_header_t *pointer = &record.value;
  char full[CYCLIC_FILE_HEADER_MAX_LENGTH];
  const int length = xdr_encode_cyclic_file_header_t(&record.value, full, sizeof full);
  ASSERT_GT(length, 0);
  for (int shorter = 0; shorter < length; ++shorter) {
    std::vector<char> buffer(full, full + shorter);
    buffer.reserve(1);
    EXPECT_EQ(xdr_encode_cyclic_file_header_t(&record.value, buffer.data(), shorter), -1)
        << shorter;
    EXPECT_EQ(xdr_encode_p_cyclic_file_header_t(&pointer, buffer.data(), shorter), -1) << shorter;
    cyclic_file_header_t *decoded = nullptr;
    EXPECT_EQ(xdr_decode_p_cyclic_file_header_t(buffer.data(), shorter, &decoded), -1) << shorter;
    xdr_free_p_cyclic_file_header_t(&decoded);  // the record a failed decode leaves behind
    EXPECT_EQ(decoded, nullptr);
  }
}

TEST(HeaderCodec, DecodeReplacesThePointerAndLeavesTheOldRecordAlone) {
  Record source;
  fill_record(&source.value, {1000, 1, 0, 40, 0});
  char buffer[CYCLIC_FILE_HEADER_MAX_LENGTH];
  ASSERT_GT(xdr_encode_cyclic_file_header_t(&source.value, buffer, sizeof buffer), 0);
  cyclic_file_header_t *first = nullptr;
  ASSERT_GT(xdr_decode_p_cyclic_file_header_t(buffer, sizeof buffer, &first), 0);
  first->set_message_count(77);
  cyclic_file_header_t *held = first;
  ASSERT_GT(xdr_decode_p_cyclic_file_header_t(buffer, sizeof buffer, &held), 0);
  EXPECT_NE(held, first);
  EXPECT_EQ(first->message_count, 77);
  EXPECT_EQ(held->message_count, 1);
  xdr_free_p_cyclic_file_header_t(&held);
  xdr_free_p_cyclic_file_header_t(&first);
  EXPECT_EQ(first, nullptr);
}

TEST(HeaderCodec, DecoderOutOfMemoryFailsAndLeavesNoRecordToFree) {
  Record source;
  fill_record(&source.value, {1, 2, 3, 4, 5});
  char buffer[CYCLIC_FILE_HEADER_MAX_LENGTH];
  ASSERT_GT(xdr_encode_cyclic_file_header_t(&source.value, buffer, sizeof buffer), 0);
  cyclic_file_header_t *pointer = &source.value;
  test_seam_fail(TEST_SEAM_ALLOCATION, 1, ENOMEM);
  EXPECT_EQ(xdr_decode_p_cyclic_file_header_t(buffer, sizeof buffer, &pointer), -1);
  test_seam_fail(TEST_SEAM_ALLOCATION, 0, 0);
  EXPECT_EQ(pointer, nullptr);
  EXPECT_EQ(source.value.buffer_size, 1);
  xdr_free_p_cyclic_file_header_t(&pointer);
}

TEST(HeaderCodec, HostileStreamsAreRejected) {
  const std::vector<std::vector<unsigned char>> streams = {
      {0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0},  // two presence words
      {0, 0, 0, 0, 0, 0, 0, 0},                          // none
      {0, 0, 0, 1, 0, 0, 0, 32, 0, 0, 0, 1},             // a sixth field
      {0, 0, 0, 1, 128, 0, 0, 0, 0, 0, 0, 1},            // the 32nd field
  };
  for (const auto &stream : streams) {
    std::vector<char> bytes(stream.begin(), stream.end());
    cyclic_file_header_t *decoded = nullptr;
    EXPECT_EQ(
        xdr_decode_p_cyclic_file_header_t(bytes.data(), static_cast<int>(bytes.size()), &decoded),
        -1);
    if (decoded != nullptr) {
      EXPECT_EQ(decoded->present_bits, 0u);
    }
    xdr_free_p_cyclic_file_header_t(&decoded);
  }
  // A record that carries three fields refuses a stream with a fourth.
  std::vector<char> four = {0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0, 1};
  Record three;
  three.value.field_count = 3;
  XDR stream;
  xdrmem_create(&stream, four.data(), static_cast<u_int>(four.size()), XDR_DECODE);
  EXPECT_FALSE(_xdr_cyclic_file_header_t(&stream, &three.value));
  XDR_DESTROY(&stream);
}

TEST(HeaderCodec, NullArgumentsFailInsteadOfCrashing) {
  char buffer[CYCLIC_FILE_HEADER_MAX_LENGTH] = {};
  cyclic_file_header_t *none = nullptr;
  Record record;
  cyclic_file_header_t *pointer = &record.value;
  EXPECT_EQ(xdr_encode_cyclic_file_header_t(nullptr, buffer, sizeof buffer), -1);
  EXPECT_EQ(xdr_encode_cyclic_file_header_t(&record.value, nullptr, 60), -1);
  EXPECT_EQ(xdr_encode_cyclic_file_header_t(&record.value, buffer, -1), -1);
  EXPECT_EQ(xdr_encode_p_cyclic_file_header_t(nullptr, buffer, sizeof buffer), -1);
  EXPECT_EQ(xdr_encode_p_cyclic_file_header_t(&none, buffer, sizeof buffer), -1);
  EXPECT_EQ(xdr_decode_p_cyclic_file_header_t(buffer, sizeof buffer, nullptr), -1);
  EXPECT_EQ(xdr_decode_p_cyclic_file_header_t(nullptr, 60, &pointer), -1);
  EXPECT_EQ(pointer, &record.value) << "argument errors leave the pointer alone";
  EXPECT_EQ(xdr_length_of_encoded_cyclic_file_header_t(nullptr), -1);
  EXPECT_EQ(xdr_length_of_encoded_p_cyclic_file_header_t(nullptr), -1);
  EXPECT_EQ(xdr_length_of_encoded_p_cyclic_file_header_t(&none), -1);
  XDR stream;
  xdrmem_create(&stream, buffer, sizeof buffer, XDR_ENCODE);
  EXPECT_FALSE(_xdr_cyclic_file_header_t(&stream, nullptr));
  EXPECT_FALSE(xdr_p_cyclic_file_header_t(&stream, nullptr));
  EXPECT_FALSE(xdr_p_cyclic_file_header_t(&stream, &none));
  XDR_DESTROY(&stream);
  xdr_free_p_cyclic_file_header_t(nullptr);
  xdr_free_p_cyclic_file_header_t(&none);
  EXPECT_EQ(none, nullptr);
}

TEST(HeaderCodec, CreationPathEncodesThroughAMemoryStream) {
  char storage[16];
  HandRing ring(storage, 0);
  ring.ring_start = ring.write_pos = ring.read_pos = ring.ring_end = nullptr;  // no storage yet
  ring.buffer_size = 65536;
  cyclic_file_header_t *record = allocate_cyclic_file_header();
  ASSERT_NE(record, nullptr);
  capture_ring_header(ring, record);
  char buffer[CYCLIC_FILE_HEADER_MAX_LENGTH];
  XDR stream;
  xdrmem_create(&stream, buffer, sizeof buffer, XDR_ENCODE);
  ASSERT_TRUE(xdr_p_cyclic_file_header_t(&stream, &record));
  EXPECT_EQ(static_cast<int>(XDR_GETPOS(&stream)), header_length());
  XDR_DESTROY(&stream);
  xdr_free_p_cyclic_file_header_t(&record);

  cyclic_file_header_t reloaded;
  EXPECT_EQ(decode_cyclic_file_header_into(buffer, sizeof buffer, &reloaded), header_length());
  EXPECT_EQ(reloaded.present_bits, 31u);
  EXPECT_EQ(fields_of(reloaded), (std::vector<int>{65536, 0, 0, 0, 0}));
}

/* ---- the ring state in and out of a record ---- */

TEST(HeaderBridge, OffsetsCarryAcrossDifferentRingAddresses) {
  std::vector<char> here(512), there(512);
  HandRing writer(here.data(), 512);
  writer.message_count = 3;
  writer.wasted_tail = 2;
  writer.write_pos = here.data() + 100;
  writer.read_pos = here.data() + 36;
  Record record;
  capture_ring_header(writer, &record.value);
  EXPECT_EQ(record.value.present_bits, 31u);
  EXPECT_EQ(fields_of(record.value), (std::vector<int>{512, 3, 2, 100, 36}));

  HandRing reader(there.data(), 128);
  reader.error_flag = 1;
  char *end_before = reader.ring_end;
  apply_ring_header(reader, &record.value);
  EXPECT_EQ(reader.write_pos, there.data() + 100);
  EXPECT_EQ(reader.read_pos, there.data() + 36);
  EXPECT_EQ(reader.buffer_size, 512);
  EXPECT_EQ(reader.message_count, 3);
  EXPECT_EQ(reader.wasted_tail, 2);
  EXPECT_EQ(reader.ring_start, there.data());
  EXPECT_EQ(reader.ring_end, end_before);
  EXPECT_EQ(reader.error_flag, 1);
}

TEST(HeaderBridge, AbsentFieldsAndNullRecordsLeaveTheRingAlone) {
  std::vector<char> storage(64);
  HandRing ring(storage.data(), 64);
  ring.message_count = 5;
  ring.write_pos = storage.data() + 10;
  Record record;
  record.value.set_read_offset(20);
  apply_ring_header(ring, &record.value);
  EXPECT_EQ(ring.read_pos, storage.data() + 20);
  EXPECT_EQ(ring.write_pos, storage.data() + 10);
  EXPECT_EQ(ring.message_count, 5);
  EXPECT_EQ(ring.buffer_size, 64);
  apply_ring_header(ring, nullptr);
  capture_ring_header(ring, nullptr);
  EXPECT_EQ(ring.read_pos, storage.data() + 20);
}

TEST(HeaderBridge, OnlyAHeaderThatDescribesItsRingPassesTheCheck) {
  Record good;
  fill_record(&good.value, {100, 25, 3, 100, 0});
  EXPECT_TRUE(cyclic_file_header_describes_ring(&good.value, 100));
  EXPECT_FALSE(cyclic_file_header_describes_ring(&good.value, 99));
  EXPECT_FALSE(cyclic_file_header_describes_ring(&good.value, 101));  // the ring fills the rest
  EXPECT_FALSE(cyclic_file_header_describes_ring(nullptr, 100));
  // Each row breaks one field: no ring, negative or too many records (each
  // takes 4 bytes at least), a tail no length field leaves, offsets out.
  const int bad[][5] = {{0, 0, 0, 0, 0},     {100, -1, 0, 0, 0}, {100, 26, 0, 0, 0},
                        {100, 0, -1, 0, 0},  {100, 0, 4, 0, 0},  {100, 0, 0, -4, 0},
                        {100, 0, 0, 101, 0}, {100, 0, 0, 0, -1}, {100, 0, 0, 0, 101}};
  for (const auto &fields : bad) {
    Record record;
    fill_record(&record.value, {fields[0], fields[1], fields[2], fields[3], fields[4]});
    EXPECT_FALSE(cyclic_file_header_describes_ring(&record.value, fields[0]))
        << fields[0] << " " << fields[1] << " " << fields[2] << " " << fields[3] << " "
        << fields[4];
  }
  Record partial;
  partial.value.set_buffer_size(100);
  EXPECT_FALSE(cyclic_file_header_describes_ring(&partial.value, 100));
}

TEST(HeaderBridge, DecodeIntoFailsToAnEmptyRecord) {
  Record source;
  fill_record(&source.value, {1, 2, 3, 4, 5});
  char buffer[CYCLIC_FILE_HEADER_MAX_LENGTH];
  int written = xdr_encode_cyclic_file_header_t(&source.value, buffer, sizeof buffer);
  Record target;
  fill_record(&target.value, {9, 9, 9, 9, 9});
  EXPECT_EQ(decode_cyclic_file_header_into(buffer, written - 1, &target.value), -1);
  EXPECT_EQ(target.value.present_bits, 0u);
  EXPECT_EQ(decode_cyclic_file_header_into(buffer, written, &target.value), written);
  EXPECT_EQ(fields_of(target.value), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(decode_cyclic_file_header_into(nullptr, written, &target.value), -1);
  EXPECT_EQ(decode_cyclic_file_header_into(buffer, written, nullptr), -1);
}
