// A record of the ring, as every writer, reader, walk and repair of a
// CCyclicBuffer (and so of a cyclic file) takes it. The only code that reads
// or writes a length field, places a record, steps over one or copies a
// payload across the ring's end; what a payload holds (an entry's head, say)
// is its owner's business (cyclic_file_entry.h).
//
// A record is a length field, 4 bytes little-endian whatever the host, then
// its payload. A length field is never split across the end of the storage:
// a writer that finds fewer than 4 bytes before the end skips them (the
// skipped tail, counted in wasted_tail: 0 to 3 bytes) and lays the field at
// the start. A payload may wrap: its bytes that do not fit before the end
// continue at the start. A field that ends exactly at the end is followed by
// its payload at the start, with nothing skipped. An array record of the
// in-memory buffer carries a 2-byte field before each segment, placed by the
// same rules.
//
// Lengths read back are checked before use (step_over): a cyclic file's ring
// may come from a corrupt or hostile file.
#ifndef ROTOLOG_CYCLIC_BUFFER_RECORD_H
#define ROTOLOG_CYCLIC_BUFFER_RECORD_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rotolog::detail {

constexpr int32_t kLengthWidth = 4;   // a record's length field
constexpr int32_t kSegmentWidth = 2;  // an array record's segment field

// The bytes a record of `length` payload bytes takes, skipped tail aside.
constexpr int64_t record_bytes(int64_t length) { return length + kLengthWidth; }
// The longest payload a ring of `size` bytes holds.
constexpr int64_t longest_payload(int64_t size) { return size - kLengthWidth; }

// ---------------------------------------------------------------------------
// Fields

// Fields are little-endian whatever the host, so a cyclic file reads the same
// on every machine. On a little-endian host a field is a plain unaligned copy.
constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// A field of `width` bytes (kLengthWidth or kSegmentWidth).
inline void store_field(char *at, int32_t width, int32_t value) {
  uint32_t bits = static_cast<uint32_t>(value);
  if (kLittleEndianHost) {
    if (width == kLengthWidth) {
      std::memcpy(at, &bits, kLengthWidth);
    } else {
      const uint16_t low = static_cast<uint16_t>(bits);
      std::memcpy(at, &low, kSegmentWidth);
    }
    return;
  }
  for (int32_t i = 0; i < width; ++i) {
    at[i] = static_cast<char>(bits & 0xFFu);
    bits >>= 8;
  }
}

inline int32_t load_field(const char *at, int32_t width) {
  if (kLittleEndianHost) {
    if (width == kLengthWidth) {
      int32_t field = 0;
      std::memcpy(&field, at, kLengthWidth);
      return field;
    }
    int16_t field = 0;
    std::memcpy(&field, at, kSegmentWidth);
    return field;
  }
  uint32_t bits = 0;
  for (int32_t i = width - 1; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(at[i]);
  if (width == kSegmentWidth) return static_cast<int16_t>(static_cast<uint16_t>(bits));
  return static_cast<int32_t>(bits);
}

inline int32_t load_length(const char *at) { return load_field(at, kLengthWidth); }

// ---------------------------------------------------------------------------
// Payload copies

// Small payloads are copied with fixed-size moves, which the compiler inlines;
// a call to memcpy costs more than copying a 64-byte message.
inline void copy_bytes(char *to, const char *from, int64_t length) {
  if (length >= 32 && length <= 64) {
    std::memcpy(to, from, 32);
    std::memcpy(to + length - 32, from + length - 32, 32);
  } else if (length >= 16 && length < 32) {
    std::memcpy(to, from, 16);
    std::memcpy(to + length - 16, from + length - 16, 16);
  } else {
    std::memcpy(to, from, static_cast<std::size_t>(length));
  }
}

// `length` bytes of a payload that lies in two pieces (it crossed the ring's
// end): `first` holds its first `first_length` bytes (all of them when
// first_length >= length), `second` the rest.
inline void join_pieces(char *to, const char *first, int64_t first_length, const char *second,
                        int64_t length) {
  if (__builtin_expect(first_length >= length, 1)) {
    copy_bytes(to, first, length);
    return;
  }
  std::memcpy(to, first, static_cast<std::size_t>(first_length));
  std::memcpy(to + first_length, second, static_cast<std::size_t>(length - first_length));
}

// `length` bytes from offset `from` of a ring of `size` bytes at `start`,
// joined across its end.
inline void copy_out(char *to, const char *start, int64_t size, int64_t from, int64_t length) {
  join_pieces(to, start + from, size - from, start, length);
}

// `length` bytes laid from offset `at` of a ring of `size` bytes at `start`,
// wrapping at its end. Returns the offset just past them (size when they end
// exactly at the end).
inline int64_t copy_in(char *start, int64_t size, int64_t at, const char *from, int64_t length) {
  const int64_t before_end = size - at;
  if (__builtin_expect(before_end >= length, 1)) {
    copy_bytes(start + at, from, length);
    return at + length;
  }
  std::memcpy(start + at, from, static_cast<std::size_t>(before_end));
  std::memcpy(start, from + before_end, static_cast<std::size_t>(length - before_end));
  return length - before_end;
}

// ---------------------------------------------------------------------------
// Placing a record

// Where a field of `width` bytes and its payload (negative: none) go in a
// storage of `size` bytes, starting at offset *at: moves *at past them and
// returns the bytes they take, skipped tail included. The placement rules of
// every writer, and of the repair that lays records again, in one place.
inline int64_t place_span(int64_t size, int64_t *at, int32_t width, int64_t payload) {
  int64_t span = 0;
  if (size - *at < width) {  // the field never splits: skip to the start
    span += size - *at;
    *at = 0;
  }
  *at += width;
  span += width;
  if (payload < 0) return span;
  if (*at == size) *at = 0;  // the payload begins at the start
  span += payload;
  *at += payload;
  if (*at > size) *at = (*at - 1) % size + 1;  // *at == size: ends exactly at the end
  return span;
}

// ---------------------------------------------------------------------------
// Stepping over a record

// What a step reads of the ring. A loop that stores into memory the compiler
// cannot tell from a ring's fields (read_all's block) takes a copy once and
// steps with step_over, so that nothing is reloaded per record.
struct RingLayout {
  const char *start;
  int64_t size;
  int64_t wasted_tail;
};

// One record as a walk steps over it; offsets count from the ring's start.
struct RecordStep {
  int64_t payload;  // the payload's first byte
  int32_t length;   // the record's length field
  int64_t next;     // where the next record begins (size: at the end)
  int64_t used;     // bytes of the stored span the record takes, skipped tail included
};

// The one place that steps from a record to the next: eviction, reads,
// read_all's copy, a cyclic file's consistency check and its salvage all
// walk through here, so they agree on which records are whole. The record
// begins at offset `at` (0 to size) with `span` bytes of the stored span
// left before the write position. It is whole when its length field is
// reached the way a writer leaves it (a field that does not fit before the
// end skipped exactly wasted_tail bytes, or none from the very end), its
// length is at least least_length (0 in a ring that may hold empty array
// records, 1 for single messages) and at most longest_payload(size), and the
// record ends within `span`. A record whose body crosses the end spans
// wasted_tail more bytes, which in an array record is the segment length
// that skipped them. Returns false for a record that is not whole; *step is
// then meaningless.
inline bool step_over(const RingLayout &ring, int64_t at, int64_t span, int32_t least_length,
                      RecordStep *step) {
  const int64_t size = ring.size;
  // Most records: the length field fits before the end and the record
  // ends before the end and within the span. One bound covers all three.
  if (__builtin_expect(size - at >= kLengthWidth, 1)) {
    const int32_t length = load_length(ring.start + at);
    // Where the record must end at the latest: a walk that carries at +
    // span along lets the compiler see this stays put from record to record.
    const int64_t stop = at + span < size ? at + span : size;
    if (__builtin_expect(length >= least_length && length <= stop - at - kLengthWidth, 1)) {
      step->payload = at + kLengthWidth;
      step->length = length;
      step->next = at + kLengthWidth + length;
      step->used = kLengthWidth + length;
      return true;
    }
  }
  int64_t used = kLengthWidth;
  if (size - at < kLengthWidth) {
    // A record that ended exactly at the end skipped nothing, whatever
    // the header says was skipped there (a writer that wraps from the
    // very end skips nothing): the next one begins at the start.
    if (at != size && size - at != ring.wasted_tail) return false;
    used += size - at;
    at = 0;
  }
  const int32_t length = load_length(ring.start + at);
  // Whole: at least least_length, at most longest_payload(size), and the
  // record ends within the span (which also holds its length field then).
  const int64_t longest = span - used < longest_payload(size) ? span - used : longest_payload(size);
  if (length < least_length || length > longest) return false;
  at += kLengthWidth;
  if (__builtin_expect(at == size, 0)) at = 0;  // the payload begins at the start
  step->payload = at;
  step->length = length;
  step->next = at + length;
  used += length;
  if (__builtin_expect(step->next > size, 0)) {
    // The body crosses the end; an array record's skipped byte lies in it.
    step->next += ring.wasted_tail - size;
    used += ring.wasted_tail;
    if (used > span) return false;
  }
  step->used = used;
  return true;
}

// Whether the record a step found lies in one piece right at `at`: its
// payload neither begins at the start after a skipped tail nor crosses the
// end.
inline bool in_one_piece_at(const RecordStep &step, int64_t at) {
  return step.next == at + kLengthWidth + step.length;
}

// The payload of a record stepped over, joined across the ring's end: its
// first `length` bytes (at most step.length).
inline void copy_payload(char *to, const RingLayout &ring, const RecordStep &step, int64_t length) {
  copy_out(to, ring.start, ring.size, step.payload, length);
}

}  // namespace rotolog::detail

#endif
