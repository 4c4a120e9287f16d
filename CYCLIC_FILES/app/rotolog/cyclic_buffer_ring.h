// CCyclicBuffer: a first-in first-out queue of variable-length messages kept
// in one block of storage used as a ring. Internal to librotolog; callers use
// the cyclic_buffer_* functions, and CCyclicFile lays the same ring into a
// mapped file.
//
// Record layout: a 4-byte little-endian length, then the payload. A length
// field is never split across the end of the storage (the bytes before the
// end are skipped and counted in wasted_tail); a payload may be.
//
// Lengths read back from the storage are checked against the ring before they
// are used, because a cyclic file's ring may come from a corrupt or hostile
// file: a length that does not fit fails the operation with
// CYCLIC_BUFFER_WRITE_FAILED (-4), leaves the positions and the count as they
// were, and never reaches outside [ring_start, ring_end).
#ifndef ROTOLOG_CYCLIC_BUFFER_RING_H
#define ROTOLOG_CYCLIC_BUFFER_RING_H

#include <cstddef>
#include <cstdint>

class CCyclicBuffer {
 public:
  // Allocates size bytes of storage; ring_start stays null when that fails.
  // A limit (max_messages) of 0 or less evicts, a positive limit grows.
  CCyclicBuffer(int32_t size, int32_t limit);
  // Frees the storage (when ring_start is not null) and the scratch area. A
  // derived class whose storage it does not own sets ring_start to null first.
  ~CCyclicBuffer();

  CCyclicBuffer(const CCyclicBuffer &) = delete;
  CCyclicBuffer &operator=(const CCyclicBuffer &) = delete;

  // Objects live in vel_malloc memory, like every block of the library.
  static void *operator new(std::size_t size) noexcept;
  static void *operator new(std::size_t, void *place) noexcept { return place; }
  static void operator delete(void *object) noexcept;

  void clear();
  void free_scratch();

  int write_message(const char *data, int32_t length);
  int read_message(char **data, int32_t *length);
  int write_array(const char *const *segments, const int16_t *lengths, int32_t segment_count);
  int read_array(char **segments, int16_t *lengths, int32_t *segment_count);
  int clean();

  // Every result below is 0 or CYCLIC_BUFFER_WRITE_FAILED (-4).
  int evict_oldest(int32_t *freed);
  int evict_bytes(int32_t byte_count);
  int grow(int32_t extra);
  int make_room(int32_t width, int32_t payload_length);
  int write_record(int32_t width, int32_t value, const char *payload);
  // value points at an int32_t (width 4) or an int16_t (width 2).
  int read_field(int32_t width, void *value, char **payload);

  // Copies the payload of every stored single message, oldest first and one
  // right after the other, into block (at most capacity bytes) without
  // consuming anything: what repeated read_message calls would hand out, with
  // the same checks of every stored length, but no scratch area and no change
  // to the ring. Returns 0 with the bytes copied in *copied,
  // CYCLIC_BUFFER_EARLIER_ERROR (-5) while error_flag is set, or
  // CYCLIC_BUFFER_WRITE_FAILED (-4) when the stored records are not what
  // single-message writes leave: a length that does not fit the ring or the
  // block, an empty record, a record that passes the end of the storage other
  // than as wasted_tail says, or records that do not end at write_pos.
  int copy_messages(char *block, int64_t capacity, int64_t *copied) const;

  // The ten fields, in this order; the object holds nothing else.
  int32_t buffer_size;
  int32_t message_count;
  char *ring_start;
  char *write_pos;
  char *read_pos;
  char *scratch;
  char *ring_end;
  int32_t wasted_tail;
  int32_t error_flag;
  int32_t max_messages;

 protected:
  // For CCyclicFile, whose storage is a mapping: every field starts at zero.
  CCyclicBuffer() { clear(); }

 private:
  // The pieces of one record as write_record places them: a first field of
  // first_width bytes followed by first_payload bytes (negative: no payload),
  // then, for an array message, one 2-byte field and its bytes per segment.
  struct RecordShape {
    int32_t first_width;
    int32_t first_payload;
    const int16_t *segment_lengths;
    int32_t segment_count;
  };

  bool positions_valid() const;
  int64_t stored_span() const;
  int64_t record_span(const RecordShape &shape) const;
  int64_t bytes_to_free(int64_t span) const;
  int make_room_for(const RecordShape &shape);
  // What a write saves so that a failure can undo its evictions.
  struct WriteStart {
    char *read_pos;
    int32_t message_count;
  };
  int begin_write(WriteStart *start);
  int write_before_end(const char *data, int32_t length);
  int write_anywhere(const char *data, int32_t length);
  int drop_oldest(int32_t *freed);
  int drop_records(int64_t byte_count);
  int fail_write(const WriteStart &start, int code);
  void place_piece(int32_t width, int32_t value, const char *payload);
  int read_piece(int32_t width, void *value, char **payload, int64_t limit);
};

#endif
