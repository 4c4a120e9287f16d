// The exported cyclic_buffer_* functions: each tests its handle for null and
// forwards to one operation of CCyclicBuffer.
#include "rotolog/cyclic_buffer.h"

#include "rotolog/cyclic_buffer_ring.h"

using rotolog::detail::CCyclicBuffer;

namespace {
CCyclicBuffer *ring_of(void *handle) { return static_cast<CCyclicBuffer *>(handle); }
}  // namespace

void *cyclic_buffer_create_handle(int size) { return cyclic_buffer_create_handle_ex(size, 0); }

void *cyclic_buffer_create_handle_ex(int size, int max_messages) {
  if (size <= 0) return nullptr;
  CCyclicBuffer *ring = new CCyclicBuffer(size, max_messages);  // null when memory is exhausted
  if (ring == nullptr) return nullptr;
  if (ring->ring_start == nullptr) {  // the storage could not be allocated
    delete ring;
    return nullptr;
  }
  return ring;
}

void cyclic_buffer_destroy_handle(void *handle) {
  if (handle == nullptr) return;
  delete ring_of(handle);
}

int cyclic_buffer_write_message(void *handle, const char *data, int length) {
  if (handle == nullptr) return CYCLIC_BUFFER_INVALID_HANDLE;
  return ring_of(handle)->write_message(data, length);
}

int cyclic_buffer_read_message(void *handle, char **data, int *length) {
  if (handle == nullptr) return CYCLIC_BUFFER_INVALID_HANDLE;
  return ring_of(handle)->read_message(data, length);
}

int cyclic_buffer_write_array(void *handle, const char *const *segments, const int16_t *lengths,
                              int segment_count) {
  if (handle == nullptr) return CYCLIC_BUFFER_INVALID_HANDLE;
  return ring_of(handle)->write_array(segments, lengths, segment_count);
}

int cyclic_buffer_read_array(void *handle, char **segments, int16_t *lengths, int *segment_count) {
  if (handle == nullptr) return CYCLIC_BUFFER_INVALID_HANDLE;
  return ring_of(handle)->read_array(segments, lengths, segment_count);
}

int cyclic_buffer_clean_buffer(void *handle) {
  if (handle == nullptr) return CYCLIC_BUFFER_INVALID_HANDLE;
  return ring_of(handle)->clean();
}

int cyclic_buffer_get_current_number_of_messages(void *handle) {
  if (handle == nullptr) return CYCLIC_BUFFER_INVALID_HANDLE;
  return ring_of(handle)->message_count;
}
