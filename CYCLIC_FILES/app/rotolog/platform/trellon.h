/* trellon: XDR routines for records made of optional fields, each field with
 * a presence bit in one presence word. rotolog encodes, decodes and measures
 * the cyclic file header with them.
 *
 * Failures: xdr_opt_fields returns TRUE or FALSE, as every XDR routine does
 * (it is called as one, from other XDR routines); the length functions
 * return -1. trellon calls no operating-system service and leaves errno
 * alone: a failure means a bad argument or a stream that holds no record.
 *
 * Byte layout written by xdr_opt_fields (every unit a big-endian XDR word):
 *   word 0   the number of presence words that follow; always 1
 *   word 1   the presence word: bit n-1 set when field n is present
 *   then     each present field in field order, coded by its own routine
 * Only fields 1..min(field_count, entry_count, 32) count; the encoder writes
 * no bit beyond them, and the decoder rejects a stream that has one, that
 * gives another word count, or that ends early. With fixed-width fields (XDR
 * ints) a record with a given set of present fields always takes the same
 * number of bytes: 8 + 4 per present field (28 with five fields).
 */
#ifndef ROTOLOG_PLATFORM_TRELLON_H
#define ROTOLOG_PLATFORM_TRELLON_H

#include <rpc/xdr.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TRELLON_API __attribute__((visibility("default")))

/* The number of presence words this version writes and accepts. */
#define TRELLON_PRESENCE_WORDS 1

/* XDR routine of one field: the stream and the field's address (xdr_int,
 * cast to this type, is one: every XDR routine takes an object pointer). */
typedef bool_t (*trellon_field_proc_t)(XDR *stream, void *field);
/* Encoded length in bytes of one field, given its address. */
typedef int (*trellon_length_proc_t)(const void *field);

/* Field n of a record is entries[n-1]; offset is its byte offset in the record. */
typedef struct trellon_field_entry {
  trellon_field_proc_t routine;
  size_t offset;
} trellon_field_entry_t;

typedef struct trellon_length_entry {
  trellon_length_proc_t routine;
  size_t offset;
} trellon_length_entry_t;

typedef struct trellon_coding_descriptor {
  int entry_count;
  const trellon_field_entry_t *entries;
} trellon_coding_descriptor_t;

typedef struct trellon_length_descriptor {
  int entry_count;
  const trellon_length_entry_t *entries;
} trellon_length_descriptor_t;

/* Codes the optional fields of record in the stream's mode.
 * XDR_ENCODE: writes the layout above from *present and the present fields.
 * XDR_DECODE: reads it; on success stores the presence word in *present and
 *   the fields in record. On failure *present is unchanged, but fields read
 *   before the failure may have been stored.
 * XDR_FREE: calls the routine of every present field in free mode.
 * Returns TRUE, or FALSE for a null argument, a negative count, a stream too
 * short, an unknown presence-word count or a presence bit beyond the fields
 * that count. Safe on several threads as long as each has its own stream. */
TRELLON_API bool_t xdr_opt_fields(XDR *stream, uint32_t *present, int field_count,
                                  const trellon_coding_descriptor_t *descriptor, void *record);

/* The number of bytes xdr_opt_fields would write for this record, or -1 for
 * a null argument or a negative count. Reads only; thread-safe. */
TRELLON_API int xdr_length_of_encoded_optional_struct(const uint32_t *present, int field_count,
                                                      const trellon_length_descriptor_t *descriptor,
                                                      const void *record);

/* The encoded length of one XDR int: 4, whatever the field (which may be null). */
TRELLON_API int xdr_length_of_encoded_int(const void *field);

#ifdef __cplusplus
}
#endif

#endif
