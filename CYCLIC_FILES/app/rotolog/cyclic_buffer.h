/* rotolog cyclic buffer: an in-memory ring of messages.
 *
 * A buffer keeps whole messages (byte strings of 1 or more bytes, or arrays of
 * segments) oldest first. Created with a message-count limit of 0 it keeps its
 * size and drops its oldest messages to make room (eviction mode); created
 * with a positive limit it grows its storage when a message does not fit and
 * drops the oldest message only when the limit is reached (growth mode).
 *
 * Thread safety: no function locks. One handle must not be used by two
 * threads at once; different handles are independent.
 */
#ifndef ROTOLOG_CYCLIC_BUFFER_H
#define ROTOLOG_CYCLIC_BUFFER_H

#include <stdint.h>

#include "export.h"

/* Status codes of the family: X(name, value, text). Never renumbered. */
#define CYCLIC_BUFFER_STATUS_TABLE(X)                                                  \
  X(CYCLIC_BUFFER_OK, 0, "success")                                                   \
  X(CYCLIC_BUFFER_NO_MORE_MESSAGES, -1, "No more messages in cyclic buffer")          \
  X(CYCLIC_BUFFER_INVALID_INPUT, -2, "Input is invalid")                              \
  X(CYCLIC_BUFFER_TOO_SMALL, -3, "Cyclic buffer is too small to contain message")     \
  X(CYCLIC_BUFFER_WRITE_FAILED, -4, "Failed to write message")                        \
  X(CYCLIC_BUFFER_EARLIER_ERROR, -5, "An earlier error has occured")                  \
  X(CYCLIC_BUFFER_INVALID_HANDLE, -6, "Invalid cyclic buffer handle")

#define CYCLIC_BUFFER_STATUS_ENUMERATOR(name, value, text) name = (value),
enum cyclic_buffer_status { CYCLIC_BUFFER_STATUS_TABLE(CYCLIC_BUFFER_STATUS_ENUMERATOR) };
#undef CYCLIC_BUFFER_STATUS_ENUMERATOR

ROTOLOG_EXTERN_C_BEGIN

ROTOLOG_API void *cyclic_buffer_create_handle(int size);
ROTOLOG_API void *cyclic_buffer_create_handle_ex(int size, int max_messages);
ROTOLOG_API void cyclic_buffer_destroy_handle(void *handle);
ROTOLOG_API int cyclic_buffer_write_message(void *handle, const char *data, int length);
ROTOLOG_API int cyclic_buffer_read_message(void *handle, char **data, int *length);
ROTOLOG_API int cyclic_buffer_write_array(void *handle, const char *const *segments,
                                          const int16_t *lengths, int segment_count);
ROTOLOG_API int cyclic_buffer_read_array(void *handle, char **segments, int16_t *lengths,
                                         int *segment_count);
ROTOLOG_API int cyclic_buffer_clean_buffer(void *handle);
ROTOLOG_API int cyclic_buffer_get_current_number_of_messages(void *handle);
ROTOLOG_API const char *cyclic_buffer_get_error_string(int code);

ROTOLOG_EXTERN_C_END

#endif
