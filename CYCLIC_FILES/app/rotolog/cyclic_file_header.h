/* rotolog cyclic file header: the record at the start of every cyclic file
 * (ring size, message count, wasted tail, write and read offsets, each an
 * optional field with a presence bit) and its XDR encoder, decoder, length
 * and free functions. C++ only; the eight codec functions are exported under
 * their C++ names. Requires libtirpc's <rpc/xdr.h>.
 *
 * Thread safety: the codec keeps no state; functions may run on several
 * threads at once as long as each works on its own record and buffer.
 */
#ifndef ROTOLOG_CYCLIC_FILE_HEADER_H
#define ROTOLOG_CYCLIC_FILE_HEADER_H

/* The record is a C++ struct with member functions: from C, stop here with
 * one clear error rather than a page of them. */
#ifndef __cplusplus
#error "rotolog/cyclic_file_header.h needs C++; from C, use <rotolog/cyclic_file.h>"
#else

#include <rpc/xdr.h>
#include <stdint.h>

#include "rotolog/export.h"

/* Room for one encoded header: the bytes a caller's buffer for the encoders
 * needs, and the most of a file's start a reader decodes a header from. The
 * longest header this version encodes takes 28 bytes: seven 4-byte XDR units
 * (the count of presence words, one presence word, the five fields). The
 * value is larger because it is part of the interface: callers' buffers are
 * compiled with it, so it is never lowered; the 32 bytes beyond hold eight
 * more optional fields. A file reserves no room for a header beyond the
 * bytes its header takes. */
#define CYCLIC_FILE_HEADER_MAX_LENGTH 60

/* Field numbers (1-based) and presence bits: field n has bit 1 << (n - 1),
 * and counts only when field_count is at least n. */
#define CYCLIC_FILE_HEADER_BUFFER_SIZE_BIT 1u
#define CYCLIC_FILE_HEADER_MESSAGE_COUNT_BIT 2u
#define CYCLIC_FILE_HEADER_WASTED_TAIL_BIT 4u
#define CYCLIC_FILE_HEADER_WRITE_OFFSET_BIT 8u
#define CYCLIC_FILE_HEADER_READ_OFFSET_BIT 16u

/* The header record. Call init() before any other use. `present` points at
 * the record's own `present_bits`, so a record cannot be copied by value
 * (copying is deleted; never memcpy one either): the copy's presence word
 * would be the original's. Records made by the decoder come from vel_malloc
 * and go back only through xdr_free_p_cyclic_file_header_t.
 * Offsets count in bytes from the ring's first byte, not the file's. */
struct cyclic_file_header_t {
  int32_t field_count;   /* optional fields the record carries: 5 */
  uint32_t *present;     /* the presence word: &present_bits */
  int32_t buffer_size;   /* field 1: ring size in bytes */
  int32_t message_count; /* field 2: messages in the ring */
  int32_t wasted_tail;   /* field 3: bytes skipped before the ring's end */
  int32_t write_offset;  /* field 4: write position minus ring start */
  int32_t read_offset;   /* field 5: read position minus ring start */
  uint32_t present_bits; /* presence bits, CYCLIC_FILE_HEADER_*_BIT */
  int32_t present_words; /* 1; kept for the record's layout, unused */

  cyclic_file_header_t() = default;
  cyclic_file_header_t(const cyclic_file_header_t &) = delete;
  cyclic_file_header_t &operator=(const cyclic_file_header_t &) = delete;

  /* field_count 5, present -> present_bits, fields and bits 0, present_words 1. */
  void init() {
    field_count = 5;
    present = &present_bits;
    buffer_size = message_count = wasted_tail = write_offset = read_offset = 0;
    present_bits = 0;
    present_words = 1;
  }

  /* Per field: set_ stores the value and raises its bit (false, changing
   * nothing, when field_count does not reach the field); has_ tells whether
   * it is present; get_ stores it through value only when present (false,
   * storing nothing, for a null value). Not synchronised: one thread per record. */
  bool set_buffer_size(int value) { return set_field(1, &buffer_size, value); }
  bool has_buffer_size() const { return has_field(1); }
  bool get_buffer_size(int *value) const { return get_field(1, buffer_size, value); }

  bool set_message_count(int value) { return set_field(2, &message_count, value); }
  bool has_message_count() const { return has_field(2); }
  bool get_message_count(int *value) const { return get_field(2, message_count, value); }

  bool set_wasted_tail(int value) { return set_field(3, &wasted_tail, value); }
  bool has_wasted_tail() const { return has_field(3); }
  bool get_wasted_tail(int *value) const { return get_field(3, wasted_tail, value); }

  bool set_write_offset(int value) { return set_field(4, &write_offset, value); }
  bool has_write_offset() const { return has_field(4); }
  bool get_write_offset(int *value) const { return get_field(4, write_offset, value); }

  bool set_read_offset(int value) { return set_field(5, &read_offset, value); }
  bool has_read_offset() const { return has_field(5); }
  bool get_read_offset(int *value) const { return get_field(5, read_offset, value); }

 private:
  static uint32_t bit_of(int number) { return 1u << (number - 1); }

  bool set_field(int number, int32_t *field, int value) {
    if (field_count < number) return false;
    *field = value;
    *present |= bit_of(number);
    return true;
  }
  bool has_field(int number) const {
    return field_count >= number && (*present & bit_of(number)) != 0;
  }
  bool get_field(int number, int32_t field, int *value) const {
    if (!has_field(number) || value == nullptr) return false;
    *value = field;
    return true;
  }
};

/* XDR routine of the record (encode, decode or free by the stream's mode);
 * it can be handed to the XDR library wherever a routine is expected.
 * Returns nonzero on success; 0 when the stream is too short, the bytes are
 * not a header, or stream or record is null. */
ROTOLOG_API bool_t _xdr_cyclic_file_header_t(XDR *stream, cyclic_file_header_t *record);

/* XDR routine of a record pointer. XDR_ENCODE codes *record. XDR_DECODE
 * allocates a new initialised record with vel_malloc, stores it in *record
 * (whatever *record held is overwritten, neither freed nor reused) and
 * decodes into it; if decoding fails the new record stays in *record for
 * the caller to free; if it cannot be allocated *record becomes null and
 * the result is 0. XDR_FREE frees *record and stores null (a null *record
 * is fine). Returns nonzero on success, 0 on failure or a null argument. */
ROTOLOG_API bool_t xdr_p_cyclic_file_header_t(XDR *stream, cyclic_file_header_t **record);

/* Encodes *record / **record into buffer[0..length). Returns the bytes
 * written, or -1 when the buffer is too short or an argument is null (or
 * length negative). The record stays the caller's. */
ROTOLOG_API int xdr_encode_cyclic_file_header_t(cyclic_file_header_t *record, char *buffer,
                                                int length);
ROTOLOG_API int xdr_encode_p_cyclic_file_header_t(cyclic_file_header_t **record, char *buffer,
                                                  int length);

/* Decodes buffer[0..length) into a new record stored in *record (the old
 * value of *record is overwritten, not freed). Returns the bytes consumed,
 * or -1 when the bytes are short or not a header, or memory ran out. After
 * any call that got past argument checks, *record holds a record to release
 * with xdr_free_p_cyclic_file_header_t, or null. A null buffer or record
 * pointer, or a negative length, gives -1 and leaves *record alone. */
ROTOLOG_API int xdr_decode_p_cyclic_file_header_t(char *buffer, int length,
                                                  cyclic_file_header_t **record);

/* Frees a record made by the decoder and stores null in *record. Accepts a
 * null record pointer and a null *record (nothing happens). */
ROTOLOG_API void xdr_free_p_cyclic_file_header_t(cyclic_file_header_t **record);

/* The number of bytes the encoders write for *record / **record (28 for a
 * record with all five fields present), or -1 for a null argument. */
ROTOLOG_API int xdr_length_of_encoded_cyclic_file_header_t(cyclic_file_header_t *record);
ROTOLOG_API int xdr_length_of_encoded_p_cyclic_file_header_t(cyclic_file_header_t **record);

#endif /* __cplusplus */
#endif
