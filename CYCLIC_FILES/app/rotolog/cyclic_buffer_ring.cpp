// CCyclicBuffer's ring: construction and release, single-message writes and
// reads, and the machinery shared with array messages (record placement,
// making room by eviction or growth, reading fields back).
#include "rotolog/cyclic_buffer_ring.h"

#include "rotolog/cyclic_buffer.h"
#include "rotolog/platform/vandrel.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace rotolog::detail {

namespace {

constexpr int64_t kLargestStorage = std::numeric_limits<int32_t>::max();

}  // namespace

// ---------------------------------------------------------------------------
// Life cycle

CCyclicBuffer::CCyclicBuffer(int32_t size, int32_t limit) {
  clear();
  if (size > 0) ring_start = static_cast<char *>(vel_malloc(static_cast<size_t>(size)));
  if (ring_start != nullptr) {
    buffer_size = size;
    ring_end = ring_start + size;
  }
  write_pos = ring_start;
  read_pos = ring_start;
  // A negative limit behaves exactly as 0: eviction, with the too-long test.
  max_messages = limit > 0 ? limit : 0;
}

CCyclicBuffer::~CCyclicBuffer() {
  if (ring_start != nullptr) vel_free(ring_start);
  ring_start = nullptr;
  free_scratch();
}

void *CCyclicBuffer::operator new(std::size_t size) noexcept { return vel_malloc(size); }

void CCyclicBuffer::operator delete(void *object) noexcept {
  if (object != nullptr) vel_free(object);
}

void CCyclicBuffer::clear() {
  buffer_size = 0;
  message_count = 0;
  ring_start = nullptr;
  write_pos = nullptr;
  read_pos = nullptr;
  scratch = nullptr;
  ring_end = nullptr;
  wasted_tail = 0;
  error_flag = 0;
  max_messages = 0;
}

void CCyclicBuffer::free_scratch() {
  if (scratch != nullptr) vel_free(scratch);
  scratch = nullptr;
}

int CCyclicBuffer::clean() {
  start_over();
  message_count = 0;
  error_flag = 0;
  return CYCLIC_BUFFER_OK;
}

void CCyclicBuffer::start_over() {
  write_pos = ring_start;
  read_pos = ring_start;
  wasted_tail = 0;
}

// ---------------------------------------------------------------------------
// Sanity of the state restored from outside (a cyclic file's header)

bool CCyclicBuffer::positions_valid() const {
  return ring_start != nullptr && buffer_size > 0 && ring_end == ring_start + buffer_size &&
         read_pos >= ring_start && read_pos <= ring_end && write_pos >= ring_start &&
         write_pos <= ring_end && message_count >= 0 && wasted_tail >= 0 &&
         wasted_tail < kLengthWidth;
}

// ---------------------------------------------------------------------------
// Making room

// Bytes from write_pos to the end of the record once placed, skipped tails
// included. Exact whenever the record fits the storage; for a record larger
// than the storage (growth mode) it is at least the record's size, which is
// all the growth needs.
int64_t CCyclicBuffer::record_span(const RecordShape &shape) const {
  const int64_t size = buffer_size;
  int64_t at = write_pos - ring_start;
  int64_t span = place_span(size, &at, shape.first_width, shape.first_payload);
  for (int32_t i = 0; i < shape.segment_count; ++i)
    span += place_span(size, &at, 2, shape.segment_lengths[i]);
  return span;
}

// How many bytes, counted from read_pos, must stop holding records so that
// `span` bytes from write_pos hold none. P is the offset just past the new data.
int64_t CCyclicBuffer::bytes_to_free(int64_t span) const {
  const int64_t size = buffer_size;
  if (message_count == 0 && (max_messages <= 0 || span <= size)) return 0;
  const int64_t w = write_pos - ring_start;
  const int64_t r = read_pos - ring_start;
  if (w + span <= size) {  // the new data stays before the end
    const int64_t p = w + span;
    if (w > r || r >= p) return 0;
    return p - r;
  }
  const int64_t p = w + span - size;  // the new data wraps to the start
  if (r >= w) return (size - r) + p;
  if (r >= p) return 0;
  return p - r;
}

// Evicts (eviction mode) or grows (growth mode) until the whole record fits
// without touching a stored record. Room is made for the whole record before
// its first piece is written, so a record never overwrites itself and nothing
// of it is written when room cannot be made.
int CCyclicBuffer::make_room_for(const RecordShape &shape, int32_t least_length) {
  for (;;) {
    const int64_t bytes = bytes_to_free(record_span(shape));
    if (bytes <= 0) return CYCLIC_BUFFER_OK;
    if (bytes > kLargestStorage) return CYCLIC_BUFFER_WRITE_FAILED;
    if (max_messages <= 0) {
      if (message_count != 0 && !positions_valid()) return CYCLIC_BUFFER_WRITE_FAILED;
      return drop_records(bytes, least_length);
    }
    // Growth moves the write position, so the span is measured again; growth
    // at least doubles the storage, so this ends after a few rounds.
    const int rc = grow(static_cast<int32_t>(bytes));
    if (rc != CYCLIC_BUFFER_OK) return rc;
  }
}

// flatten, as write_message: a cyclic file works out a write's evictions
// with this call first, once per write.
[[gnu::flatten]] int CCyclicBuffer::make_room(int32_t width, int32_t payload_length,
                                              int32_t least_length) {
  const RecordShape shape{width, payload_length, nullptr, 0};
  return make_room_for(shape, least_length);
}

int CCyclicBuffer::evict_oldest(int32_t *freed) {
  if (message_count == 0) {
    error_flag = 1;
    return CYCLIC_BUFFER_WRITE_FAILED;
  }
  if (!positions_valid()) return CYCLIC_BUFFER_WRITE_FAILED;
  return drop_oldest(freed, 0);
}

// evict_oldest once the positions are known to be sound and a record is
// stored. A successful drop keeps them sound (read_pos stays within the
// storage, the count stays at 0 or more), so a run of drops checks them once.
int CCyclicBuffer::drop_oldest(int32_t *freed, int32_t least_length) {
  RecordStep step;
  if (!step_record(read_pos - ring_start, stored_span(), least_length, &step))
    return CYCLIC_BUFFER_WRITE_FAILED;
  read_pos = ring_start + step.next;
  --message_count;
  if (freed != nullptr) *freed = static_cast<int32_t>(step.used);
  return CYCLIC_BUFFER_OK;
}

// Evicts the oldest records until byte_count bytes are free; the positions
// are sound.
int CCyclicBuffer::drop_records(int64_t byte_count, int32_t least_length) {
  int64_t total = 0;
  while (total < byte_count) {
    if (message_count == 0) {
      // Every stored record is gone before the count was reached: this
      // happens when the write position sat in the last bytes of the storage,
      // whose skipped tail the count included. The record fits the emptied
      // storage (the caller checked its size), so it starts at its first byte.
      start_over();
      return CYCLIC_BUFFER_OK;
    }
    int32_t freed = 0;
    const int rc = drop_oldest(&freed, least_length);
    if (rc != CYCLIC_BUFFER_OK) return rc;
    total += freed;
  }
  return CYCLIC_BUFFER_OK;
}

int CCyclicBuffer::grow(int32_t extra) {
  const int64_t old_size = buffer_size;
  int64_t new_size = old_size + extra > 2 * old_size ? old_size + extra : 2 * old_size;
  if (new_size > kLargestStorage) new_size = kLargestStorage;
  if (new_size <= old_size || new_size < old_size + extra) return CYCLIC_BUFFER_WRITE_FAILED;

  const int64_t w = write_pos - ring_start;
  const int64_t r = read_pos - ring_start;
  // On failure the old block, and with it the ring, stays as it was.
  char *block = static_cast<char *>(vel_realloc(ring_start, static_cast<size_t>(new_size)));
  if (block == nullptr) return CYCLIC_BUFFER_WRITE_FAILED;
  ring_start = block;
  buffer_size = static_cast<int32_t>(new_size);
  ring_end = block + new_size;

  if (message_count == 0) {
    write_pos = block;
    read_pos = block;
  } else if (w > r) {
    write_pos = block + w;
    read_pos = block + r;
  } else {
    // Wrapped: move the records at the start to follow the last record byte
    // before the old end, so the ring is straight again.
    const int64_t joined_at = old_size - wasted_tail;
    std::memmove(block + joined_at, block, static_cast<size_t>(w));
    write_pos = block + joined_at + w;
    read_pos = block + r;
  }
  wasted_tail = 0;
  return CYCLIC_BUFFER_OK;
}

// ---------------------------------------------------------------------------
// Writing

// Places one field and its payload at write_pos; room has been made.
void CCyclicBuffer::place_piece(int32_t width, int32_t value, const char *payload) {
  if (ring_end - write_pos < width) {
    wasted_tail = static_cast<int32_t>(ring_end - write_pos);
    write_pos = ring_start;
  }
  store_field(write_pos, width, value);
  write_pos += width;
  if (payload == nullptr) return;
  if (write_pos == ring_end) {
    write_pos = ring_start;
    wasted_tail = 0;
  }
  const int64_t end = copy_in(ring_start, buffer_size, write_pos - ring_start, payload, value);
  // A payload that crossed the end leaves no skipped tail behind it.
  if (ring_start + end < write_pos) wasted_tail = 0;
  write_pos = ring_start + end;
}

int CCyclicBuffer::write_record(int32_t width, int32_t value, const char *payload) {
  const int rc = make_room(width, payload != nullptr ? value : -1);
  if (rc != CYCLIC_BUFFER_OK) return rc;
  place_piece(width, value, payload);
  return CYCLIC_BUFFER_OK;
}

// flatten: the checks and the common write are inlined into this one
// function; called once per message, their calls cost more than their work.
// Every other write takes write_anywhere, kept out of line so that the common
// one stays small.
[[gnu::flatten]] int CCyclicBuffer::write_message(const char *data, int32_t length) {
  if (error_flag != 0) return CYCLIC_BUFFER_EARLIER_ERROR;
  if (data == nullptr || length <= 0) return CYCLIC_BUFFER_INVALID_INPUT;
  const int64_t bytes = record_bytes(length);
  if (max_messages <= 0 && bytes > buffer_size) return CYCLIC_BUFFER_TOO_SMALL;
  if (bytes > kLargestStorage) return CYCLIC_BUFFER_TOO_SMALL;  // no ring holds it
  if (max_messages <= 0 && message_count > 0 && positions_valid() && ring_end - write_pos >= bytes)
    return write_before_end(data, length);
  return write_anywhere(data, length);
}

// The general write, once the arguments are checked: growth mode, an empty
// ring, a record that wraps, or positions that are not sound.
[[gnu::noinline, gnu::flatten]] int CCyclicBuffer::write_anywhere(const char *data,
                                                                  int32_t length) {
  WriteStart start;
  int rc = begin_write(&start);
  if (rc != CYCLIC_BUFFER_OK) return rc;
  rc = write_record(kLengthWidth, length, data);
  if (rc != CYCLIC_BUFFER_OK) return fail_write(start, rc);
  ++message_count;
  return CYCLIC_BUFFER_OK;
}

// The write of a full eviction-mode ring, and of most others: records are
// stored, the positions are sound and the record fits between write_pos and
// the end of the storage. What the general path works out for this case: the
// records from read_pos that lie under the new record are evicted (none when
// read_pos is behind write_pos or past the record's end), then the record is
// placed in one piece.
int CCyclicBuffer::write_before_end(const char *data, int32_t length) {
  const char *const record_end = write_pos + record_bytes(length);
  if (read_pos >= write_pos && read_pos < record_end) {
    const WriteStart start{read_pos, message_count};
    const int rc = drop_records(record_end - read_pos, 0);
    if (rc != CYCLIC_BUFFER_OK) return fail_write(start, rc);
  }
  // Evicting every record may have moved write_pos to the start; the record
  // fits the storage, so it still goes in one piece.
  store_field(write_pos, kLengthWidth, length);
  copy_bytes(write_pos + kLengthWidth, data, length);
  write_pos += record_bytes(length);
  ++message_count;
  return CYCLIC_BUFFER_OK;
}

// The steps of every write before room is made: an empty ring starts over at
// the start of the storage, state restored from outside is checked, and at
// the growth limit the oldest record makes way. Eviction moves only read_pos
// and the count, which `start` keeps so that a failure can be undone.
int CCyclicBuffer::begin_write(WriteStart *start) {
  if (message_count == 0) start_over();
  if (!positions_valid()) {
    error_flag = 1;
    return CYCLIC_BUFFER_WRITE_FAILED;
  }
  start->read_pos = read_pos;
  start->message_count = message_count;
  if (max_messages > 0 && message_count >= max_messages) {
    int32_t freed = 0;
    return evict_oldest(&freed);
  }
  return CYCLIC_BUFFER_OK;
}

// Undoes a write's evictions. A failed growth (memory) is not sticky; in
// eviction mode only a stored length that does not fit the ring fails, and
// that is.
int CCyclicBuffer::fail_write(const WriteStart &start, int code) {
  read_pos = start.read_pos;
  message_count = start.message_count;
  if (max_messages <= 0) error_flag = 1;
  return code;
}

// ---------------------------------------------------------------------------
// Reading

// Reads one field at read_pos and, when wanted, hands out its payload. The
// field and its payload may use at most `limit` bytes (skipped tail aside) and
// must lie within the stored span; otherwise, or when the scratch area cannot
// be sized, nothing changes and -4 is returned.
int CCyclicBuffer::read_piece(int32_t width, void *value, char **payload, int64_t limit) {
  if (!positions_valid()) return CYCLIC_BUFFER_WRITE_FAILED;
  const int64_t stored = stored_span();
  char *at = read_pos;
  int64_t used = 0;
  if (ring_end - at < width) {
    used = ring_end - at;
    at = ring_start;
  }
  const int32_t field = load_field(at, width);
  at += width;
  used += width;
  const int64_t payload_length = payload != nullptr ? field : 0;
  if (width == kLengthWidth ? (field < 0 || field > longest_payload(buffer_size)) : field <= 0)
    return CYCLIC_BUFFER_WRITE_FAILED;
  if (width + payload_length > limit || used + payload_length > stored)
    return CYCLIC_BUFFER_WRITE_FAILED;

  if (payload != nullptr) {
    if (at == ring_end) at = ring_start;
    const int64_t left = ring_end - at;
    if (left >= payload_length) {
      *payload = at;
      at += payload_length;
    } else {
      // The payload crosses the end: join its two parts in scratch.
      char *joined = static_cast<char *>(vel_realloc(scratch, static_cast<size_t>(payload_length)));
      if (joined == nullptr) return CYCLIC_BUFFER_WRITE_FAILED;
      scratch = joined;
      join_pieces(scratch, at, left, ring_start, payload_length);
      *payload = scratch;
      at = ring_start + (payload_length - left);
    }
  }
  if (width == kLengthWidth)
    *static_cast<int32_t *>(value) = field;
  else
    *static_cast<int16_t *>(value) = static_cast<int16_t>(field);
  read_pos = at;
  return CYCLIC_BUFFER_OK;
}

// A whole record and its payload, handed out in place or, when it crosses the
// end, joined in scratch.
int CCyclicBuffer::read_record(int32_t *length, char **payload) {
  if (!positions_valid()) return CYCLIC_BUFFER_WRITE_FAILED;
  RecordStep step;
  if (!step_record(read_pos - ring_start, stored_span(), 0, &step))
    return CYCLIC_BUFFER_WRITE_FAILED;
  const int64_t left = buffer_size - step.payload;
  if (left >= step.length) {
    *payload = ring_start + step.payload;
  } else {
    char *joined = static_cast<char *>(vel_realloc(scratch, static_cast<size_t>(step.length)));
    if (joined == nullptr) return CYCLIC_BUFFER_WRITE_FAILED;
    scratch = joined;
    copy_out(scratch, ring_start, buffer_size, step.payload, step.length);
    *payload = scratch;
  }
  *length = step.length;
  read_pos = ring_start + step.next;
  return CYCLIC_BUFFER_OK;
}

int CCyclicBuffer::read_field(int32_t width, void *value, char **payload) {
  if (width == kLengthWidth && payload != nullptr)
    return read_record(static_cast<int32_t *>(value), payload);
  return read_piece(width, value, payload, buffer_size);
}

[[gnu::flatten]] int CCyclicBuffer::read_message(char **data, int32_t *length) {
  if (error_flag != 0) return CYCLIC_BUFFER_EARLIER_ERROR;
  if (data == nullptr || length == nullptr) return CYCLIC_BUFFER_INVALID_INPUT;
  if (message_count == 0) return CYCLIC_BUFFER_NO_MORE_MESSAGES;
  int32_t stored_length = 0;
  char *bytes = nullptr;
  const int rc = read_record(&stored_length, &bytes);
  if (rc != CYCLIC_BUFFER_OK) return rc;
  *data = bytes;
  *length = stored_length;
  --message_count;
  return CYCLIC_BUFFER_OK;
}

// A record of a cyclic file's ring: whole as a record, and not a damaged entry.
bool CCyclicBuffer::step_message(int64_t at, int64_t span, RecordStep *step) const {
  if (!step_record(at, span, 1, step)) return false;
  if (step->length < kEntryHeadSize) return true;
  const int64_t before_end = buffer_size - step->payload;
  if (before_end >= step->length) return payload_whole(ring_start + step->payload, step->length);
  return payload_kind(*step) != PayloadKind::kDamagedEntry;
}

PayloadKind CCyclicBuffer::payload_kind(const RecordStep &step) const {
  const int64_t before_end = buffer_size - step.payload;
  return classify_payload(ring_start + step.payload, before_end, ring_start, step.length);
}

void CCyclicBuffer::copy_payload_head(const RecordStep &step, char *head) const {
  copy_payload(head, RingLayout{ring_start, buffer_size, wasted_tail}, step, kEntryHeadSize);
}

namespace {

// The walk of copy_messages. kEveryMessage: every record is copied into a
// block that holds the whole span and no length is noted (read_all), so the
// tests for skipped messages, the block's room and the lengths drop out of
// the loop.
template <bool kEveryMessage>
int copy_walk(const RingLayout &ring, int64_t at, int64_t span_end, int32_t count, char *block,
              int64_t capacity, int64_t *copied, int32_t skip, int32_t *lengths) {
  const char *const start = ring.start;
  int64_t total = 0;
  int32_t last_length = 0;
  for (int32_t index = 0; index < count; ++index) {
    RecordStep step;
    if (!step_over(ring, at, span_end - at, 1, &step)) return CYCLIC_BUFFER_WRITE_FAILED;
    // A record in one piece right at `at` moves the walk on by its length.
    // When that equals the length before, the walk moves on by that one,
    // which the processor guesses right for a run of equal messages without
    // waiting for the load; the empty asm keeps the compiler from folding
    // last_length back into the loaded length.
    if (__builtin_expect(in_one_piece_at(step, at), 1)) {
      if (step.length != last_length) {
        last_length = step.length;
        __asm__("" : "+r"(last_length));
      }
      if (kEveryMessage) {
        // The copy and the block's fill take the guessed length too, so that
        // the next record's copy need not wait for this one's load either.
        // An entry is checked in its copy, the bytes handed out.
        copy_bytes(block + total, start + at + kLengthWidth, last_length);
        if (!payload_whole(block + total, last_length)) return CYCLIC_BUFFER_WRITE_FAILED;
        total += last_length;
        at += record_bytes(last_length);
        continue;
      }
      at += record_bytes(last_length);
    } else {
      span_end = step.next + (span_end - at - step.used);
      at = step.next;
    }
    if (!kEveryMessage) {
      if (index < skip) continue;
      if (step.length > capacity - total) return CYCLIC_BUFFER_WRITE_FAILED;
      if (lengths != nullptr) lengths[index - skip] = step.length;
    }
    copy_payload(block + total, ring, step, step.length);
    if (!payload_whole(block + total, step.length)) return CYCLIC_BUFFER_WRITE_FAILED;
    total += step.length;
  }
  // The counted records of a sound ring end exactly at the write position.
  // When they do not, the count and the records disagree: what was read is
  // not the ring's messages, and a write would land where no read reaches.
  if (span_end != at) return CYCLIC_BUFFER_WRITE_FAILED;
  *copied = total;
  return CYCLIC_BUFFER_OK;
}

}  // namespace

// Every counted record, stepped over with step_over on a local position
// (the walk carries where the span ends rather than the span), its payload
// copied in one or (crossing the end) two parts.
int CCyclicBuffer::copy_messages(char *block, int64_t capacity, int64_t *copied, int32_t skip,
                                 int32_t *lengths) const {
  *copied = 0;
  if (error_flag != 0) return CYCLIC_BUFFER_EARLIER_ERROR;
  if (message_count == 0) return CYCLIC_BUFFER_OK;
  if (!positions_valid()) return CYCLIC_BUFFER_WRITE_FAILED;
  // Locals, since every byte stored into block could alias the fields.
  const RingLayout ring{ring_start, buffer_size, wasted_tail};
  const int64_t at = read_pos - ring_start;
  const int64_t span = stored_span();
  if (skip <= 0 && lengths == nullptr && capacity >= span)
    return copy_walk<true>(ring, at, at + span, message_count, block, capacity, copied, 0, nullptr);
  return copy_walk<false>(ring, at, at + span, message_count, block, capacity, copied, skip,
                          lengths);
}

}  // namespace rotolog::detail
