// The bridge between a ring's state and a cyclic file header record: capture,
// apply, the sanity check of a header read from a file, and record allocation.
#include "cyclic_file_header_bridge.h"

#include <rotolog/platform/vandrel.h>

#include <new>

namespace {

int32_t offset_in_ring(const char *ring_start, const char *position) {
  if (ring_start == nullptr || position == nullptr) return 0;
  return static_cast<int32_t>(position - ring_start);
}

char *position_in_ring(char *ring_start, int32_t offset) {
  return ring_start == nullptr ? nullptr : ring_start + offset;
}

bool within(int32_t value, int32_t low, int32_t high) { return value >= low && value <= high; }

}  // namespace

void capture_ring_header(const CCyclicBuffer &ring, cyclic_file_header_t *record) {
  if (record == nullptr) return;
  // Each setter refuses, and leaves alone, a field beyond field_count.
  record->set_buffer_size(ring.buffer_size);
  record->set_message_count(ring.message_count);
  record->set_wasted_tail(ring.wasted_tail);
  record->set_write_offset(offset_in_ring(ring.ring_start, ring.write_pos));
  record->set_read_offset(offset_in_ring(ring.ring_start, ring.read_pos));
}

void apply_ring_header(CCyclicBuffer &ring, const cyclic_file_header_t *record) {
  if (record == nullptr) return;
  int value = 0;
  if (record->get_buffer_size(&value)) ring.buffer_size = value;
  if (record->get_message_count(&value)) ring.message_count = value;
  if (record->get_wasted_tail(&value)) ring.wasted_tail = value;
  if (record->get_write_offset(&value)) ring.write_pos = position_in_ring(ring.ring_start, value);
  if (record->get_read_offset(&value)) ring.read_pos = position_in_ring(ring.ring_start, value);
}

bool cyclic_file_header_fits_ring(const cyclic_file_header_t *record, int32_t ring_capacity) {
  if (record == nullptr) return false;
  int size = 0, count = 0, wasted = 0, write_offset = 0, read_offset = 0;
  if (!record->get_buffer_size(&size) || !record->get_message_count(&count) ||
      !record->get_wasted_tail(&wasted) || !record->get_write_offset(&write_offset) ||
      !record->get_read_offset(&read_offset))
    return false;
  return within(size, 1, ring_capacity) && count >= 0 && within(wasted, 0, size) &&
         within(write_offset, 0, size) && within(read_offset, 0, size);
}

cyclic_file_header_t *allocate_cyclic_file_header() {
  void *block = vel_malloc(sizeof(cyclic_file_header_t));
  if (block == nullptr) return nullptr;
  auto *record = new (block) cyclic_file_header_t;
  record->init();
  return record;
}
