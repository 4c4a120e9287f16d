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

// 64 well-mixed bits of a writer and a sequence (splitmix64's finaliser), so
// that messages of other numbers share no filler.
inline uint64_t message_mix(uint32_t writer, uint64_t sequence) {
  uint64_t x = sequence * 0x9e3779b97f4a7c15ull ^ (static_cast<uint64_t>(writer) << 32 | writer);
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// The filler every message has at least, so that each one checks itself.
constexpr uint32_t kMessageFiller = 8;

// The message of `length` bytes, or longer when its head and kMessageFiller
// bytes need more.
inline std::string make_message(uint32_t writer, uint64_t sequence, uint32_t length) {
  char head[64];
  for (;;) {
    const int used = std::snprintf(head, sizeof head, "<%" PRIu32 ".%" PRIu64 ":%" PRIu32 ">",
                                   writer, sequence, length);
    if (static_cast<uint32_t>(used) + kMessageFiller <= length) break;
    length = static_cast<uint32_t>(used) + kMessageFiller;  // its digits may lengthen the head
  }
  std::string message(head);
  uint64_t state = message_mix(writer, sequence) ^ length;
  while (message.size() < length) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    message.push_back(static_cast<char>('a' + (state >> 33) % 26));
  }
  return message;
}

// A message of 20 to 19 + spread bytes (or as long as make_message needs),
// the length fixed by the writer and the sequence.
inline std::string varied_message(uint32_t writer, uint64_t sequence, uint32_t spread = 600) {
  const uint64_t extra = spread == 0 ? 0 : (message_mix(writer, sequence) >> 8) % spread;
  return make_message(writer, sequence, 20 + static_cast<uint32_t>(extra));
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
