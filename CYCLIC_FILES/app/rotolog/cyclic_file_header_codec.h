// The header codec as the cyclic file uses it: the ring's state in and out of
// a header record, the one check that a header read from a file describes
// that file, the allocation-free decoder and encoders of the per-write path,
// and the field descriptors that drive the XDR routines. Internal to
// librotolog.
#ifndef ROTOLOG_CYCLIC_FILE_HEADER_CODEC_H
#define ROTOLOG_CYCLIC_FILE_HEADER_CODEC_H

#include "rotolog/platform/trellon.h"

#include <cstdint>

#include "rotolog/cyclic_buffer_ring.h"
#include "rotolog/cyclic_file_header.h"

namespace rotolog::detail {

// Sets each field that record->field_count reaches, raising its bit:
// buffer_size, message_count, wasted_tail, and write_pos / read_pos as byte
// offsets from ring_start (0 while the ring has no storage). Null record ignored.
void capture_ring_header(const CCyclicBuffer &ring, cyclic_file_header_t *record);

// Copies the record's present fields (within field_count) into the ring;
// write_pos and read_pos become ring_start plus the offsets, so a header
// captured under one mapping address applies under another. Absent fields,
// ring_start, ring_end and error_flag are left alone. With no ring_start the
// positions become null. Null record ignored. Apply only records that passed
// cyclic_file_header_describes_ring: the offsets are used as they are.
void apply_ring_header(CCyclicBuffer &ring, const cyclic_file_header_t *record);

// The one check of a header read from a file, before it moves any position:
// all five fields present; a ring of exactly ring_bytes bytes (the mapping
// after the header); a skipped tail a length field can leave (0 to 3); no
// more records than 4-byte records fit; both offsets within the ring.
bool cyclic_file_header_describes_ring(const cyclic_file_header_t *record, int64_t ring_bytes);

// Decodes buffer[0..length) into a caller's record without allocating (the
// per-write reload path). The record is initialised first and, when decoding
// fails, left initialised (no field present). Returns the bytes consumed, or
// -1 for a short or damaged header or a null argument.
int decode_cyclic_file_header_into(const char *buffer, int length, cyclic_file_header_t *record);

// Encodes the record into buffer[0..length) as xdr_encode_cyclic_file_header_t
// does, byte for byte, without setting up an XDR stream when all five fields
// are present. Returns the bytes written, or -1 when the record does not fit
// or is null.
int encode_cyclic_file_header_into(cyclic_file_header_t *record, char *buffer, int length);

// Encodes the ring's state into buffer[0..length) exactly as capturing it
// into a record and encoding that record would: the five fields present, the
// positions as offsets from ring_start. No record is involved (the
// per-write store path). Returns the bytes written, or -1 when they do not
// fit, buffer is null or the ring has no storage.
int encode_ring_header_into(const CCyclicBuffer &ring, char *buffer, int length);

// A new record from vel_malloc, initialised; null when memory ran out.
// Released with xdr_free_p_cyclic_file_header_t (or vel_free).
cyclic_file_header_t *allocate_cyclic_file_header();

// The constant field descriptors of cyclic_file_header_t: five entries in
// field order, xdr_int (coding) and xdr_length_of_encoded_int (measuring) on
// each field's offset.
const trellon_coding_descriptor_t *cyclic_file_header_coding_descriptor();
const trellon_length_descriptor_t *cyclic_file_header_length_descriptor();

}  // namespace rotolog::detail

#endif
