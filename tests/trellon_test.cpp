// trellon's optional-field routines on a small three-field record: the byte
// layout, presence masking, lengths, and rejection of streams it cannot
// account for.
#include "rotolog/platform/trellon.h"
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

struct Triple {
  int first;
  int second;
  int third;
};

const trellon_field_proc_t kCodeInt = reinterpret_cast<trellon_field_proc_t>(&xdr_int);
const trellon_field_entry_t kTripleFields[] = {
    {kCodeInt, offsetof(Triple, first)},
    {kCodeInt, offsetof(Triple, second)},
    {kCodeInt, offsetof(Triple, third)},
};
const trellon_length_entry_t kTripleLengths[] = {
    {&xdr_length_of_encoded_int, offsetof(Triple, first)},
    {&xdr_length_of_encoded_int, offsetof(Triple, second)},
    {&xdr_length_of_encoded_int, offsetof(Triple, third)},
};
const trellon_coding_descriptor_t kTripleCoding = {3, kTripleFields};
const trellon_length_descriptor_t kTripleLength = {3, kTripleLengths};

// Runs xdr_opt_fields over bytes in the given mode; the stream position on
// success, -1 on failure.
int run(std::vector<char> &bytes, xdr_op mode, uint32_t *present, int field_count, Triple *record) {
  XDR stream;
  xdrmem_create(&stream, bytes.data(), static_cast<u_int>(bytes.size()), mode);
  int result = xdr_opt_fields(&stream, present, field_count, &kTripleCoding, record)
                   ? static_cast<int>(XDR_GETPOS(&stream))
                   : -1;
  XDR_DESTROY(&stream);
  return result;
}

std::vector<char> words(std::initializer_list<uint32_t> values) {
  std::vector<char> bytes;
  for (uint32_t value : values)
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(value >> shift));
  return bytes;
}

}  // namespace

TEST(TrellonLayout, WritesWordCountPresenceWordThenPresentFieldsInOrder) {
  Triple record = {7, -2, 0x01020304};
  uint32_t present = 1u | 4u;  // first and third
  std::vector<char> bytes(64, 'x');
  ASSERT_EQ(run(bytes, XDR_ENCODE, &present, 3, &record), 16);
  bytes.resize(16);
  EXPECT_EQ(bytes, words({1, 5, 7, 0x01020304}));
  EXPECT_EQ(xdr_length_of_encoded_optional_struct(&present, 3, &kTripleLength, &record), 16);
}

TEST(TrellonLayout, NeverWritesBitsBeyondTheFieldsThatCount) {
  Triple record = {1, 2, 3};
  uint32_t present = 0xffffffffu;
  std::vector<char> bytes(64);
  // Two fields declared: the third field and every higher bit are dropped.
  ASSERT_EQ(run(bytes, XDR_ENCODE, &present, 2, &record), 16);
  bytes.resize(16);
  EXPECT_EQ(bytes, words({1, 3, 1, 2}));
  EXPECT_EQ(xdr_length_of_encoded_optional_struct(&present, 2, &kTripleLength, &record), 16);
  // More fields declared than the descriptor has routines for: three count.
  EXPECT_EQ(xdr_length_of_encoded_optional_struct(&present, 9, &kTripleLength, &record), 20);
}

TEST(TrellonLayout, DecodingConsumesExactlyWhatEncodingProduced) {
  Triple record = {-1, 0, 2147483647};
  uint32_t present = 7;
  std::vector<char> bytes(64, '\x7f');  // trailing bytes must stay unread
  int written = run(bytes, XDR_ENCODE, &present, 3, &record);
  ASSERT_EQ(written, 20);
  Triple decoded = {0, 0, 0};
  uint32_t decoded_present = 0;
  EXPECT_EQ(run(bytes, XDR_DECODE, &decoded_present, 3, &decoded), written);
  EXPECT_EQ(decoded_present, 7u);
  EXPECT_EQ(std::memcmp(&decoded, &record, sizeof record), 0);
}

TEST(TrellonLengths, IntLengthMatchesWhatXdrIntWrites) {
  char bytes[16];
  int value = -5;
  XDR stream;
  xdrmem_create(&stream, bytes, sizeof bytes, XDR_ENCODE);
  ASSERT_TRUE(xdr_int(&stream, &value));
  EXPECT_EQ(xdr_length_of_encoded_int(&value), static_cast<int>(XDR_GETPOS(&stream)));
  EXPECT_EQ(xdr_length_of_encoded_int(nullptr), 4);
  XDR_DESTROY(&stream);
}

TEST(TrellonDecoding, RejectsEveryTruncationOfAValidStream) {
  std::vector<char> full = words({1, 3, 10, 20});
  for (size_t length = 0; length < full.size(); ++length) {
    std::vector<char> bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
    Triple record = {0, 0, 0};
    uint32_t present = 0x40u;
    EXPECT_EQ(run(bytes, XDR_DECODE, &present, 3, &record), -1) << "length " << length;
    EXPECT_EQ(present, 0x40u) << "a failed decode must not change presence";
  }
}

TEST(TrellonDecoding, RejectsUnknownPresenceWordCounts) {
  for (uint32_t count : {0u, 2u, 0xffffffffu}) {
    std::vector<char> bytes = words({count, 1, 10, 0, 0});
    Triple record = {0, 0, 0};
    uint32_t present = 0;
    EXPECT_EQ(run(bytes, XDR_DECODE, &present, 3, &record), -1) << "count " << count;
  }
}

TEST(TrellonDecoding, RejectsPresenceBitsBeyondTheFieldsThatCount) {
  Triple record = {0, 0, 0};
  uint32_t present = 0;
  std::vector<char> third_of_two = words({1, 4, 30});
  EXPECT_EQ(run(third_of_two, XDR_DECODE, &present, 2, &record), -1);
  // The record declares many fields, but the descriptor codes only three.
  std::vector<char> fourth = words({1, 8, 40, 0});
  EXPECT_EQ(run(fourth, XDR_DECODE, &present, 32, &record), -1);
  std::vector<char> top_bit = words({1, 0x80000000u, 0});
  EXPECT_EQ(run(top_bit, XDR_DECODE, &present, 3, &record), -1);
  EXPECT_EQ(present, 0u);
}

TEST(TrellonArguments, NullOrNegativeArgumentsAreRefused) {
  Triple record = {1, 2, 3};
  uint32_t present = 7;
  std::vector<char> bytes(64);
  EXPECT_EQ(run(bytes, XDR_ENCODE, &present, -1, &record), -1);
  EXPECT_EQ(run(bytes, XDR_ENCODE, nullptr, 3, &record), -1);
  EXPECT_EQ(run(bytes, XDR_ENCODE, &present, 3, nullptr), -1);
  XDR stream;
  xdrmem_create(&stream, bytes.data(), 64, XDR_ENCODE);
  EXPECT_FALSE(xdr_opt_fields(&stream, &present, 3, nullptr, &record));
  EXPECT_FALSE(xdr_opt_fields(nullptr, &present, 3, &kTripleCoding, &record));
  XDR_DESTROY(&stream);
  EXPECT_EQ(xdr_length_of_encoded_optional_struct(nullptr, 3, &kTripleLength, &record), -1);
  EXPECT_EQ(xdr_length_of_encoded_optional_struct(&present, -1, &kTripleLength, &record), -1);
  EXPECT_EQ(xdr_length_of_encoded_optional_struct(&present, 3, nullptr, &record), -1);
}

namespace {
int free_calls = 0;
bool_t count_free(XDR *stream, void *) {
  if (stream->x_op == XDR_FREE) ++free_calls;
  return TRUE;
}
}  // namespace

TEST(TrellonFree, RunsTheRoutineOfEachPresentFieldOnly) {
  const trellon_field_proc_t counting = &count_free;
  const trellon_field_entry_t entries[] = {{counting, 0}, {counting, 4}, {counting, 8}};
  const trellon_coding_descriptor_t descriptor = {3, entries};
  Triple record = {0, 0, 0};
  uint32_t present = 1u | 2u;
  XDR stream;
  std::memset(&stream, 0, sizeof stream);
  stream.x_op = XDR_FREE;
  free_calls = 0;
  EXPECT_TRUE(xdr_opt_fields(&stream, &present, 3, &descriptor, &record));
  EXPECT_EQ(free_calls, 2);
}
