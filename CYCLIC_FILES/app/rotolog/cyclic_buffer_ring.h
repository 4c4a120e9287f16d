// CCyclicBuffer: a first-in first-out queue of variable-length messages kept
// in one block of storage used as a ring. Internal to librotolog; callers use
// the cyclic_buffer_* functions, and CCyclicFile lays the same ring into a
// mapped file.
//
// What a record is, how one is placed, stepped over and copied: see
// cyclic_buffer_record.h.
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

#include "rotolog/cyclic_buffer_record.h"
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
  int grow(int32_t extra);
  // least_length: the shortest record the evictions accept as whole (see
  // step_record); a cyclic file, which holds single messages only, passes 1.
  int make_room(int32_t width, int32_t payload_length, int32_t least_length = 0);
  int write_record(int32_t width, int32_t value, const char *payload);
  // value points at an int32_t (kLengthWidth) or an int16_t (kSegmentWidth).
  int read_field(int32_t width, void *value, char **payload);

  // The positions and fields restored from outside (a cyclic file's header)
  // describe a ring within its storage.
  bool positions_valid() const;

  using RecordStep = rotolog::detail::RecordStep;
  using RingLayout = rotolog::detail::RingLayout;

  // step_over (cyclic_buffer_record.h) on this ring.
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
  // Whether the payload of a record stepped over (kEntryHeadSize bytes or
  // more) may be an entry, by the first bytes before the ring's end.
  bool may_be_entry_at(const RecordStep &step) const {
    const int64_t before_end = buffer_size - step.payload;
    return before_end < kEntryHeadSize || may_be_entry(ring_start + step.payload);
  }
  // What the payload of a record stepped over is, and its first
  // kEntryHeadSize bytes (a payload at least that long), joined across the
  // ring's end.
  PayloadKind payload_kind(const RecordStep &step) const;
  void copy_payload_head(const RecordStep &step, char *head) const;

  // Bytes from read_pos forward to write_pos: every stored record, and the
  // tails skipped between them, lies in this span. Equal positions with
  // records stored mean the storage is full.
  int64_t stored_span() const {
    if (message_count == 0) return 0;
    if (write_pos > read_pos) return write_pos - read_pos;
    return (ring_end - read_pos) + (write_pos - ring_start);
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
  // about the header, and what a salvage keeps (cyclic_file_repair.cpp).
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
    // Of a consistent ring: the highest number an entry takes, plus the
    // messages after it (0 without entries), which the lock file's count
    // must reach (a cyclic file's writer sees to it when it opens the file).
    uint64_t entries_counted;
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
  // An empty ring starts over at the start of the storage, with no skipped
  // tail.
  void start_over();
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
