// Every single bit of a small valid cyclic file flipped in turn: loading,
// reading and writing the damaged file give a code or messages that were
// written, in order (the one whose payload holds the flipped bit may carry
// it, one may be read under a damaged length, and the salvage may drop some),
// never a crash, a hang or a message made of anything else.
#include <gtest/gtest.h>
#include "rotolog/cyclic_file.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"

using namespace test_support;
using namespace std::chrono_literals;

namespace {

constexpr int kRing = 64;

// The messages a valid file holds, and the file offset of every payload byte
// (a payload may run over the end of the ring to its start).
struct ValidFile {
  std::string bytes;
  int header_length = 0;
  std::vector<std::string> messages;
  std::vector<std::vector<size_t>> payload_offsets;
};

uint32_t load_le32(const std::string &bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  return value;
}

ValidFile make_file(TestFile &test_file, const std::vector<int> &lengths) {
  ValidFile file;
  void *handle = test_file.open(kReadWrite, kRing);
  EXPECT_NE(handle, nullptr);
  if (handle == nullptr) return file;
  for (size_t i = 0; i < lengths.size(); ++i) {
    std::string message(static_cast<size_t>(lengths[i]), static_cast<char>('A' + i));
    EXPECT_EQ(cyclic_file_write(handle, message.data(), lengths[i]), 0);
  }
  const int count = read_all(handle).count;
  test_file.close(handle);
  file.bytes = test_file.bytes();
  const Header header = decode_header(file.bytes);
  file.header_length = header.length;

  // Walk the records from the read offset as the ring lays them out; the
  // newest `count` messages survive.
  size_t at = static_cast<size_t>(header.read_offset);
  for (int i = 0; i < count; ++i) {
    if (kRing - at < 4) at = 0;
    uint32_t payload_length = load_le32(file.bytes, static_cast<size_t>(file.header_length) + at);
    at += 4;
    if (at == kRing) at = 0;
    std::vector<size_t> offsets;
    for (uint32_t j = 0; j < payload_length; ++j)
      offsets.push_back(static_cast<size_t>(file.header_length) + (at + j) % kRing);
    at = at + payload_length > kRing ? at + payload_length - kRing : at + payload_length;
    file.messages.push_back(std::string(
        payload_length, static_cast<char>('A' + lengths.size() - static_cast<size_t>(count) +
                                          static_cast<size_t>(i))));
    file.payload_offsets.push_back(offsets);
  }
  return file;
}

// The bytes of the damaged ring from a payload's first byte on, as a record
// whose length field was damaged hands them out.
bool ring_bytes_from(const ValidFile &file, size_t flipped_byte, int flipped_bit, size_t payload_at,
                     const std::string &seen) {
  std::string damaged = file.bytes;
  damaged[flipped_byte] ^= static_cast<char>(1 << flipped_bit);
  const size_t ring_at = payload_at - static_cast<size_t>(file.header_length);
  for (size_t j = 0; j < seen.size(); ++j) {
    if (seen[j] != damaged[static_cast<size_t>(file.header_length) + (ring_at + j) % kRing])
      return false;
  }
  return !seen.empty();
}

// What a reader may return: messages that were written, in their order but
// perhaps with gaps (a salvage drops what lies around the damage), each as
// written, with the flipped bit when it lies in its payload, or read under a
// damaged length (the ring's bytes from its payload on).
bool matches_from(const ValidFile &file, size_t flipped_byte, int flipped_bit,
                  const std::string &block, size_t at, size_t next_message, int pieces_left) {
  if (pieces_left == 0) return at == block.size();
  for (size_t m = next_message; m < file.messages.size(); ++m) {
    std::string flipped = file.messages[m];
    for (size_t j = 0; j < file.payload_offsets[m].size(); ++j)
      if (file.payload_offsets[m][j] == flipped_byte)
        flipped[j] ^= static_cast<char>(1 << flipped_bit);
    for (const std::string &piece : {file.messages[m], flipped}) {
      if (block.compare(at, piece.size(), piece) == 0 &&
          matches_from(file, flipped_byte, flipped_bit, block, at + piece.size(), m + 1,
                       pieces_left - 1))
        return true;
    }
    for (size_t length = 1; at + length <= block.size(); ++length) {
      if (ring_bytes_from(file, flipped_byte, flipped_bit, file.payload_offsets[m][0],
                          block.substr(at, length)) &&
          matches_from(file, flipped_byte, flipped_bit, block, at + length, m + 1, pieces_left - 1))
        return true;
    }
  }
  return false;
}

bool acceptable(const ValidFile &file, size_t flipped_byte, int flipped_bit,
                const std::string &block, int count) {
  if (count == 0) return block.empty();
  return matches_from(file, flipped_byte, flipped_bit, block, 0, 0, count);
}

// Runs in a child: load, read, write, read again. 0 when everything was a
// documented code or acceptable messages.
int exercise(const std::string &path, const ValidFile &file, size_t flipped_byte, int flipped_bit) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kReadWrite, kRing, &status);
  if (handle == nullptr)
    return status == CYCLIC_FILE_LOAD_ERROR || status == CYCLIC_FILE_MAP_FAILED ? 0 : 10;
  const Contents contents = read_all(handle);
  if (contents.count < 0 && contents.count != CYCLIC_FILE_READ_ALL_FAILED) return 11;
  if (contents.count >= 0 &&
      !acceptable(file, flipped_byte, flipped_bit, contents.text, contents.count)) {
    return 12;
  }
  int written = cyclic_file_write(handle, "zz", 2);
  if (written != 0 && written != CYCLIC_FILE_WRITE_FAILED && written != CYCLIC_FILE_READ_ALL_FAILED)
    return 13;
  const int count = read_all(handle).count;
  if (count < 0 && count != CYCLIC_FILE_READ_ALL_FAILED) return 14;
  cyclic_file_destroy_handle(handle);
  return 0;
}

void sweep(const std::vector<int> &lengths) {
  TestFile test_file;
  const std::string &path = test_file.path();
  ValidFile file = make_file(test_file, lengths);
  ASSERT_FALSE(file.messages.empty());
  for (size_t byte = 0; byte < file.bytes.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = file.bytes;
      damaged[byte] ^= static_cast<char>(1 << bit);
      test_file.set_bytes(damaged);
      int result = run_in_child([&] { return exercise(path, file, byte, bit); }, 10s);
      ASSERT_EQ(result, 0) << "bit " << bit << " of byte " << byte << " (header "
                           << file.header_length << " bytes)";
    }
  }
}

}  // namespace

TEST(CyclicFileBitFlips, EveryBitOfAStraightRing) { sweep({7, 5, 9, 6}); }

TEST(CyclicFileBitFlips, EveryBitOfAWrappedRingWithASplitPayload) { sweep({7, 5, 9, 6, 11, 4, 8}); }

TEST(CyclicFileBitFlips, EveryBitOfAWrappedRingWithASkippedTail) { sweep({20, 21, 10, 3}); }
