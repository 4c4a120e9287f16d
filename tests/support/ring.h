// A CCyclicBuffer as the ring tests see it: offsets of its positions, and
// messages and array segments written and read as std::string.
#ifndef ROTOLOG_TESTS_SUPPORT_RING_H
#define ROTOLOG_TESTS_SUPPORT_RING_H

#include "rotolog/cyclic_buffer.h"
#include "rotolog/cyclic_buffer_ring.h"

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

using rotolog::detail::CCyclicBuffer;

inline long offset_of(const CCyclicBuffer &ring, const char *position) {
  return static_cast<long>(position - ring.ring_start);
}
inline long write_offset(const CCyclicBuffer &ring) { return offset_of(ring, ring.write_pos); }
inline long read_offset(const CCyclicBuffer &ring) { return offset_of(ring, ring.read_pos); }

// A message of `length` bytes whose content depends on `tag`, so that a
// misplaced or stale byte shows.
inline std::string message_of(int length, int tag) {
  std::string text(static_cast<size_t>(length), '\0');
  for (int i = 0; i < length; ++i)
    text[static_cast<size_t>(i)] = static_cast<char>('a' + (tag * 7 + i) % 26);
  return text;
}

inline int write_text(CCyclicBuffer &ring, const std::string &text) {
  return ring.write_message(text.data(), static_cast<int32_t>(text.size()));
}

// Reads one single message; returns its bytes, or "#<code>" on failure.
inline std::string read_text(CCyclicBuffer &ring) {
  char *data = nullptr;
  int32_t length = 0;
  const int rc = ring.read_message(&data, &length);
  if (rc != 0) return "#" + std::to_string(rc);
  return std::string(data, static_cast<size_t>(length));
}

inline int write_segments(CCyclicBuffer &ring, const std::vector<std::string> &segments) {
  std::vector<const char *> pointers;
  std::vector<int16_t> lengths;
  for (const std::string &segment : segments) {
    pointers.push_back(segment.data());
    lengths.push_back(static_cast<int16_t>(segment.size()));
  }
  return ring.write_array(pointers.data(), lengths.data(), static_cast<int32_t>(segments.size()));
}

// Reads one array message into `segments`; returns the operation's code.
inline int read_segments(CCyclicBuffer &ring, std::vector<std::string> &segments) {
  const size_t room = static_cast<size_t>(ring.buffer_size) / 3 + 1;
  std::vector<char *> pointers(room, nullptr);
  std::vector<int16_t> lengths(room, 0);
  int32_t count = -1;
  const int rc = ring.read_array(pointers.data(), lengths.data(), &count);
  segments.clear();
  if (rc != 0) return rc;
  for (int32_t i = 0; i < count; ++i)
    segments.emplace_back(pointers[static_cast<size_t>(i)],
                          static_cast<size_t>(lengths[static_cast<size_t>(i)]));
  return rc;
}

}  // namespace test_support

#endif
