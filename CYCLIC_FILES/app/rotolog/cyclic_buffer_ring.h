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
#include <cstring>

#include "rotolog/cyclic_file_entry.h"

namespace rotolog::detail {

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
  // least_length: the shortest record the evictions accept as whole (see
  // step_record); a cyclic file, which holds single messages only, passes 1.
  int make_room(int32_t width, int32_t payload_length, int32_t least_length = 0);
  int write_record(int32_t width, int32_t value, const char *payload);
  // value points at an int32_t (width 4) or an int16_t (width 2).
  int read_field(int32_t width, void *value, char **payload);

  // The positions and fields restored from outside (a cyclic file's header)
  // describe a ring within its storage.
  bool positions_valid() const;

  // One record as a walk steps over it; offsets count from ring_start.
  struct RecordStep {
    int64_t payload;  // the payload's first byte
    int32_t length;   // the record's length field
    int64_t next;     // where the next record begins (buffer_size: at ring_end)
    int64_t used;     // bytes of the stored span the record takes, skipped tail included
  };

  // The one place that steps from a record to the next: eviction, reads,
  // read_all's copy, a cyclic file's consistency check and its salvage all
  // walk through here, so they agree on which records are whole. The record
  // begins at offset `at` (0 to buffer_size) with `span` bytes of the stored
  // span left before write_pos. It is whole when its length field is reached
  // the way a writer leaves it (a field that does not fit before the end
  // skipped exactly wasted_tail bytes, or none from the very end), its length is at least
  // least_length (0 in a ring that may hold empty array records, 1 for single messages) and at most
  // buffer_size - 4, and the record ends within `span`. A record whose body crosses the end spans
  // wasted_tail more bytes, which in an array record is the segment length that skipped them.
  // Returns false for a record that is not whole; *step is then meaningless.
  bool step_record(int64_t at, int64_t span, int32_t least_length, RecordStep *step) const {
    return step_over(RingLayout{ring_start, buffer_size, wasted_tail}, at, span, least_length,
                     step);
  }

  // A record of a cyclic file's ring, which holds single messages: whole as
  // step_record says with least_length 1, and not a damaged entry (its
  // payload's checksum is taken when it begins like one; see
  // cyclic_file_entry.h). The walks that decide what a reader returns and
  // what a salvage keeps step with this; evictions need only step_record.
  bool step_message(int64_t at, int64_t span, RecordStep *step) const;
  // What the payload of a record stepped over is, and its first
  // kEntryHeadSize bytes (a payload at least that long), joined across the
  // ring's end.
  PayloadKind payload_kind(const RecordStep &step) const;
  void copy_payload_head(const RecordStep &step, char *head) const;

  // What step_record reads of the ring. A loop that stores into memory the
  // compiler cannot tell from the ring's fields (read_all's block) takes a
  // copy once and steps with step_over, so that nothing is reloaded per
  // record.
  struct RingLayout {
    const char *start;
    int64_t size;
    int64_t wasted_tail;
  };
  static bool step_over(const RingLayout &ring, int64_t at, int64_t span, int32_t least_length,
                        RecordStep *step) {
    const int64_t size = ring.size;
    // Most records: the length field fits before the end and the record
    // ends before the end and within the span. One bound covers all three.
    if (__builtin_expect(size - at >= 4, 1)) {
      const int32_t length = load_length(ring.start + at);
      // Where the record must end at the latest: a walk that carries at +
      // span along lets the compiler see this stays put from record to record.
      const int64_t stop = at + span < size ? at + span : size;
      if (__builtin_expect(length >= least_length && length <= stop - at - 4, 1)) {
        step->payload = at + 4;
        step->length = length;
        step->next = at + 4 + length;
        step->used = 4 + length;
        return true;
      }
    }
    int64_t used = 4;
    if (size - at < 4) {
      // A record that ended exactly at the end skipped nothing, whatever
      // the header says was skipped there (a writer that wraps from the
      // very end skips nothing): the next one begins at the start.
      if (at != size && size - at != ring.wasted_tail) return false;
      used += size - at;
      at = 0;
    }
    const int32_t length = load_length(ring.start + at);
    // Whole: at least least_length, at most size - 4, and the record ends
    // within the span (which also holds its length field then).
    const int64_t longest = span - used < size - 4 ? span - used : size - 4;
    if (length < least_length || length > longest) return false;
    at += 4;
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

  // Bytes from read_pos forward to write_pos: every stored record, and the
  // tails skipped between them, lies in this span. Equal positions with
  // records stored mean the storage is full.
  int64_t stored_span() const {
    if (message_count == 0) return 0;
    if (write_pos > read_pos) return write_pos - read_pos;
    return (ring_end - read_pos) + (write_pos - ring_start);
  }

  // Where write_record would put a field of `width` bytes and its payload
  // (negative: none) in a storage of `size` bytes, starting at offset *at:
  // moves *at past them and returns the bytes they take, skipped tail
  // included. The placement rules of every writer, in one place.
  static int64_t place_span(int64_t size, int64_t *at, int32_t width, int64_t payload);

  // A 4-byte length field, little-endian whatever the host.
  static int32_t load_length(const char *at) {
    if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
      int32_t field = 0;
      std::memcpy(&field, at, 4);
      return field;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(at);
    return static_cast<int32_t>(
        static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
        static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
  }

  // Copies the payload of every stored single message, oldest first and one
  // right after the other, into block (at most capacity bytes) without
  // consuming anything: what repeated read_message calls would hand out, with
  // the same checks of every stored length, but no scratch area and no change
  // to the ring. Returns 0 with the bytes copied in *copied,
  // CYCLIC_BUFFER_EARLIER_ERROR (-5) while error_flag is set, or
  // CYCLIC_BUFFER_WRITE_FAILED (-4) when a counted record is not whole
  // (step_message: its copy is checked), does not fit the block, or the counted
  // records do not end exactly at write_pos. The oldest `skip` messages are
  // stepped over and checked but not copied; when `lengths` is not null it
  // receives the length of each message copied (message_count - skip of them),
  // so that the block keeps the messages' boundaries.
  int copy_messages(char *block, int64_t capacity, int64_t *copied, int32_t skip = 0,
                    int32_t *lengths = nullptr) const;

  // What the records between the header's read and write positions say
  // about the header, and what a salvage keeps (cyclic_file_io.cpp).
  // Offsets count from ring_start.
  struct SalvagePlan {
    bool consistent;       // the header's count of whole records ends at write_pos
    int32_t header_count;  // what the header counts
    int64_t header_span;   // bytes from the header's read to its write position
    int32_t kept_count;    // whole records kept, oldest first
    int64_t kept_span;     // bytes they take
    int64_t kept_payload;  // their payload bytes
    int64_t read_offset;   // where the kept records begin
    int64_t write_offset;  // where they end: the next write goes here
    // When the kept records are an older run from the header's read
    // position and a newer one ending at its write position, with damage
    // between: the older run, laid again to end where the newer one begins.
    int32_t older_count;  // 0: nothing to move
    int64_t older_from;   // where the older run lies now
    int64_t newer_from;   // where the newer run begins
  };
  // Works out the plan for the ring state as it stands; changes nothing.
  // Consistent rings cost one walk over their length fields.
  void plan_salvage(SalvagePlan *plan) const;
  // Puts a plan's positions and count into the ring state (not the file),
  // moving an older run where the plan says so.
  void apply_salvage(const SalvagePlan &plan);

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
  // Places one field and its payload at write_pos; room has been made.
  void place_piece(int32_t width, int32_t value, const char *payload);

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

  int64_t record_span(const RecordShape &shape) const;
  int64_t bytes_to_free(int64_t span) const;
  int make_room_for(const RecordShape &shape, int32_t least_length);
  // What a write saves so that a failure can undo its evictions.
  struct WriteStart {
    char *read_pos;
    int32_t message_count;
  };
  int begin_write(WriteStart *start);
  int write_before_end(const char *data, int32_t length);
  int write_anywhere(const char *data, int32_t length);
  int drop_oldest(int32_t *freed, int32_t least_length);
  int drop_records(int64_t byte_count, int32_t least_length);
  int fail_write(const WriteStart &start, int code);
  int read_piece(int32_t width, void *value, char **payload, int64_t limit);
  int read_record(int32_t *length, char **payload);
  void plan_older_run(SalvagePlan *plan, int32_t records, int64_t payload,
                      int64_t newer_start) const;
  bool move_older_run(const SalvagePlan &plan);
};

}  // namespace rotolog::detail

#endif
