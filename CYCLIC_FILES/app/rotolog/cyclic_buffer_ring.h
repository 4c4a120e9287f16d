// CCyclicBuffer: a first-in first-out queue of variable-length messages kept
// in one block of storage used as a ring. Internal to librotolog; callers use
// the cyclic_buffer_* functions, and CCyclicFile lays the same ring into a
// mapped file.
//
// Record layout: a 4-byte little-endian length, then the payload. A length
// field is never split across the end of the storage (the bytes before the
// end are skipped and counted in wasted_tail); a payload may be.
#ifndef ROTOLOG_CYCLIC_BUFFER_RING_H
#define ROTOLOG_CYCLIC_BUFFER_RING_H

#include <cstddef>
#include <cstdint>

class CCyclicBuffer {
 public:
  // Allocates buffer_size bytes of storage; ring_start stays null when that
  // fails. max_messages 0 (or negative) evicts, a positive limit grows.
  CCyclicBuffer(int32_t buffer_size, int32_t max_messages);
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

  int evict_oldest(int32_t *freed);
  int evict_bytes(int32_t byte_count);
  int grow(int32_t extra);
  int make_room(int32_t width, int32_t payload_length);
  int write_record(int32_t width, int32_t value, const char *payload);
  int read_field(int32_t width, void *value, char **payload);

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
};

#endif
