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

#include "rotolog/export.h"

/* Status codes of the family: X(name, value, text). Never renumbered. */
#define CYCLIC_BUFFER_STATUS_TABLE(X)                                             \
  X(CYCLIC_BUFFER_OK, 0, "success")                                               \
  X(CYCLIC_BUFFER_NO_MORE_MESSAGES, -1, "No more messages in cyclic buffer")      \
  X(CYCLIC_BUFFER_INVALID_INPUT, -2, "Input is invalid")                          \
  X(CYCLIC_BUFFER_TOO_SMALL, -3, "Cyclic buffer is too small to contain message") \
  X(CYCLIC_BUFFER_WRITE_FAILED, -4, "Failed to write message")                    \
  X(CYCLIC_BUFFER_EARLIER_ERROR, -5, "An earlier error has occured")              \
  X(CYCLIC_BUFFER_INVALID_HANDLE, -6, "Invalid cyclic buffer handle")

#define CYCLIC_BUFFER_STATUS_ENUMERATOR(name, value, text) name = (value),
enum cyclic_buffer_status { CYCLIC_BUFFER_STATUS_TABLE(CYCLIC_BUFFER_STATUS_ENUMERATOR) };
#undef CYCLIC_BUFFER_STATUS_ENUMERATOR

ROTOLOG_EXTERN_C_BEGIN

/* Handles are opaque pointers made by the create functions and released only
 * by cyclic_buffer_destroy_handle. Every status-returning function answers a
 * null handle with CYCLIC_BUFFER_INVALID_HANDLE and touches nothing; any other
 * pointer that did not come from a create function is not detected.
 *
 * Sticky error: a write that fails with CYCLIC_BUFFER_WRITE_FAILED in eviction
 * mode leaves the buffer answering every later write and read with
 * CYCLIC_BUFFER_EARLIER_ERROR until cyclic_buffer_clean_buffer. A write that
 * fails because memory is exhausted is not sticky.
 *
 * CYCLIC_BUFFER_WRITE_FAILED from a read means the message could not be
 * handed out: memory for joining a message that crosses the end of the
 * storage was exhausted, or a stored length does not fit the ring (damaged
 * storage). The buffer is left as it was; the message is still the oldest.
 * A reader loop stops on CYCLIC_BUFFER_NO_MORE_MESSAGES as the normal end and
 * on any other negative code as a failure. */

/* Creates a buffer of `size` bytes in eviction mode: when a message does not
 * fit, the oldest messages are dropped. A single message may be up to
 * size - 4 bytes, an array message's record up to size - 5 (see
 * cyclic_buffer_write_array).
 * Returns the new handle, or null when size is 0 or negative or memory is
 * exhausted. The caller owns the handle and releases it with
 * cyclic_buffer_destroy_handle. */
ROTOLOG_API void *cyclic_buffer_create_handle(int size);

/* Creates a buffer of `size` bytes with a message-count limit. max_messages
 * 0 or negative: eviction mode, exactly as cyclic_buffer_create_handle.
 * Positive: growth mode; the storage grows (at least doubling) whenever a
 * message does not fit, and when max_messages messages are stored the oldest
 * is dropped before the next write. The storage never shrinks.
 * Returns the new handle, or null when size is 0 or negative or memory is
 * exhausted; released with cyclic_buffer_destroy_handle. */
ROTOLOG_API void *cyclic_buffer_create_handle_ex(int size, int max_messages);

/* Releases the buffer, its storage and every pointer it handed out. Accepts
 * null and then does nothing. The handle must not be used afterwards. */
ROTOLOG_API void cyclic_buffer_destroy_handle(void *handle);

/* Appends a copy of the `length` bytes at `data` as the newest message; the
 * caller keeps its buffer. Results:
 *   CYCLIC_BUFFER_OK             stored (older messages may have been dropped)
 *   CYCLIC_BUFFER_INVALID_HANDLE handle is null
 *   CYCLIC_BUFFER_EARLIER_ERROR  the sticky error is set (tested first)
 *   CYCLIC_BUFFER_INVALID_INPUT  data is null, or length is 0 or negative
 *   CYCLIC_BUFFER_TOO_SMALL      eviction mode and length + 4 > size; or a
 *                                length no buffer can hold; nothing changed
 *   CYCLIC_BUFFER_WRITE_FAILED   growth mode: memory for growing exhausted
 *                                (not sticky); eviction mode: damaged storage
 *                                (sticky). Nothing changed in either case. */
ROTOLOG_API int cyclic_buffer_write_message(void *handle, const char *data, int length);

/* Removes the oldest message and stores a pointer to its bytes at *data and
 * their count at *length (the bytes are not terminated). The bytes belong to
 * the buffer: do not free them; they stay valid until the next write, the
 * next read of a message that crossed the end of the storage, or destroy.
 * Copy them before any of these. Results:
 *   CYCLIC_BUFFER_OK, CYCLIC_BUFFER_INVALID_HANDLE, CYCLIC_BUFFER_EARLIER_ERROR,
 *   CYCLIC_BUFFER_INVALID_INPUT     data or length is null
 *   CYCLIC_BUFFER_NO_MORE_MESSAGES  the buffer is empty
 *   CYCLIC_BUFFER_WRITE_FAILED      memory exhausted or damaged storage; the
 *                                   message stays, nothing changed.
 * Reading an array message this way hands out its stored body: per segment a
 * 2-byte little-endian length followed by the segment's bytes. */
ROTOLOG_API int cyclic_buffer_read_message(void *handle, char **data, int *length);

/* Appends one message made of `segment_count` segments, read back together by
 * cyclic_buffer_read_array. Segment i is lengths[i] bytes (1 to 32767) at
 * segments[i]; the bytes are copied. The record takes 4 + total bytes, where
 * total is the sum of 2 + lengths[i]; in eviction mode 4 + total must be less
 * than the size. A segment_count of 0 or less stores an empty array message.
 * Results: as cyclic_buffer_write_message; CYCLIC_BUFFER_INVALID_INPUT when a
 * segment pointer is null or a length is 0 or negative (at any index: nothing
 * is stored), or when an array is null with segment_count above 0;
 * CYCLIC_BUFFER_TOO_SMALL when 4 + total >= size in eviction mode. */
ROTOLOG_API int cyclic_buffer_write_array(void *handle, const char *const *segments,
                                          const int16_t *lengths, int segment_count);

/* Removes the oldest message, which must have been written as an array, and
 * fills segments[i] and lengths[i] for each of its segments and
 * *segment_count with their number. The arrays must have room for every
 * segment: a message whose total is T holds at most T / 3 segments, and T is
 * less than the buffer's current size, so (size / 3) entries always suffice
 * (in growth mode use the size the buffer grew to, or the largest message the
 * program writes). Segment bytes follow the lifetime rule of
 * cyclic_buffer_read_message. Results:
 *   CYCLIC_BUFFER_OK, CYCLIC_BUFFER_INVALID_HANDLE, CYCLIC_BUFFER_EARLIER_ERROR,
 *   CYCLIC_BUFFER_INVALID_INPUT     an array or segment_count is null
 *   CYCLIC_BUFFER_NO_MORE_MESSAGES  the buffer is empty
 *   CYCLIC_BUFFER_WRITE_FAILED      memory exhausted or damaged storage; the
 *                                   message stays, nothing changed (the arrays
 *                                   may have been partly filled).
 * Reading a single message this way is a caller error: it fails as damaged
 * storage or yields meaningless segments, never touching memory outside the
 * buffer or past the arrays sized as above. */
ROTOLOG_API int cyclic_buffer_read_array(void *handle, char **segments, int16_t *lengths,
                                         int *segment_count);

/* Empties the buffer and clears the sticky error; a grown storage keeps its
 * size. Returns CYCLIC_BUFFER_OK, or CYCLIC_BUFFER_INVALID_HANDLE for null. */
ROTOLOG_API int cyclic_buffer_clean_buffer(void *handle);

/* Returns the number of stored messages (0 or more), or
 * CYCLIC_BUFFER_INVALID_HANDLE for a null handle. */
ROTOLOG_API int cyclic_buffer_get_current_number_of_messages(void *handle);

/* Returns the constant English text of a status code; "Unknown" for any code
 * outside -6..-1 (0 included). The text is owned by the library and lives as
 * long as it is loaded. Safe from any thread. */
ROTOLOG_API const char *cyclic_buffer_get_error_string(int code);

ROTOLOG_EXTERN_C_END

#endif
