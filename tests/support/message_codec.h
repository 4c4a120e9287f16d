// The self-checking messages of the tests. Message `sequence` of writer
// `writer` is the head "<writer.sequence:length>" followed by filler, every
// byte fixed by those three numbers: a reader splits a block of joined
// messages (as cyclic_file_read_all returns them) and tells a whole message
// from a torn, damaged or foreign one without knowing what was written.
// Printable ASCII without quotes or backslashes, so JSON carries it as it is.
#ifndef ROTOLOG_TESTS_SUPPORT_MESSAGE_CODEC_H
#define ROTOLOG_TESTS_SUPPORT_MESSAGE_CODEC_H

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace test_support {

struct MessageId {
  uint32_t writer = 0;
  uint64_t sequence = 0;
  uint32_t length = 0;  // of the whole message, head included
  bool operator==(const MessageId &other) const {
    return writer == other.writer && sequence == other.sequence && length == other.length;
  }
};

inline uint32_t message_mix(uint32_t writer, uint64_t sequence) {
  return static_cast<uint32_t>(sequence * 2654435761u) ^ (writer * 40503u);
}

// The message of `length` bytes, or of its head's length when that is longer.
inline std::string make_message(uint32_t writer, uint64_t sequence, uint32_t length) {
  char head[64];
  for (;;) {
    const int used = std::snprintf(head, sizeof head, "<%" PRIu32 ".%" PRIu64 ":%" PRIu32 ">",
                                   writer, sequence, length);
    if (static_cast<uint32_t>(used) <= length) break;
    length = static_cast<uint32_t>(used);  // its digits may make the head longer still
  }
  std::string message(head);
  const uint32_t mix = message_mix(writer, sequence);
  for (uint32_t i = static_cast<uint32_t>(message.size()); i < length; ++i)
    message.push_back(static_cast<char>('a' + (mix + i) % 26));
  return message;
}

// A message of 20 to 19 + spread bytes (or its head's length), the length
// fixed by the writer and the sequence.
inline std::string varied_message(uint32_t writer, uint64_t sequence, uint32_t spread = 600) {
  const uint32_t extra = spread == 0 ? 0 : (message_mix(writer, sequence) >> 8) % spread;
  return make_message(writer, sequence, 20 + extra);
}

// The messages of a block in its order. A piece that is not one whole
// message ends the split with torn set.
struct Decoded {
  std::vector<MessageId> messages;
  bool torn = false;

  // Each writer's sequences, in the block's order.
  std::map<uint32_t, std::vector<uint64_t>> by_writer() const {
    std::map<uint32_t, std::vector<uint64_t>> sequences;
    for (const MessageId &id : messages) sequences[id.writer].push_back(id.sequence);
    return sequences;
  }
};

namespace message_codec_detail {

// Reads the decimal number at block[*at] that ends at `end`; false when
// there is none or it overflows.
inline bool parse_number(const std::string &block, size_t *at, char end, uint64_t limit,
                         uint64_t *value) {
  size_t digits = 0;
  *value = 0;
  for (; *at < block.size() && block[*at] >= '0' && block[*at] <= '9'; ++*at, ++digits) {
    const uint64_t digit = static_cast<uint64_t>(block[*at] - '0');
    if (*value > (limit - digit) / 10) return false;
    *value = *value * 10 + digit;
  }
  if (digits == 0 || *at >= block.size() || block[*at] != end) return false;
  ++*at;
  return true;
}

}  // namespace message_codec_detail

inline Decoded decode_messages(const std::string &block) {
  using message_codec_detail::parse_number;
  Decoded decoded;
  for (size_t start = 0; start < block.size();) {
    size_t at = start + 1;
    uint64_t writer = 0, sequence = 0, length = 0;
    if (block[start] != '<' || !parse_number(block, &at, '.', UINT32_MAX, &writer) ||
        !parse_number(block, &at, ':', UINT64_MAX, &sequence) ||
        !parse_number(block, &at, '>', UINT32_MAX, &length) || length > block.size() - start) {
      decoded.torn = true;
      break;
    }
    const MessageId id{static_cast<uint32_t>(writer), sequence, static_cast<uint32_t>(length)};
    if (block.compare(start, length, make_message(id.writer, id.sequence, id.length)) != 0) {
      decoded.torn = true;
      break;
    }
    decoded.messages.push_back(id);
    start += length;
  }
  return decoded;
}

}  // namespace test_support

#endif
