// The header codec: the eight exported functions of cyclic_file_header_t on
// libtirpc's XDR memory streams and the field descriptors that drive them;
// the allocation-free decoder and encoders of the per-write path; the ring's
// state in and out of a record, and the one check of a header read from a
// file.
#include "rotolog/cyclic_file_header_codec.h"

#include <arpa/inet.h>
#include "rotolog/platform/vandrel.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

namespace {

// Runs routine over buffer[0..length) in the given mode: the stream position
// when it succeeds, else -1. The stream is destroyed either way.
template <typename Object, typename Routine>
int run_memory_stream(char *buffer, int length, xdr_op mode, Routine routine, Object object) {
  if (buffer == nullptr || length < 0) return -1;
  XDR stream;
  xdrmem_create(&stream, buffer, static_cast<u_int>(length), mode);
  int result = routine(&stream, object) ? static_cast<int>(XDR_GETPOS(&stream)) : -1;
  XDR_DESTROY(&stream);
  return result;
}

// A header with all five fields present, the only kind a ring stores, is seven
// XDR units: the presence-word count (1), the presence word and the five
// values, each a big-endian 32-bit word. The per-write paths read and write
// that shape directly and leave every other shape to the XDR streams, which
// lay it out byte for byte the same.
constexpr uint32_t kAllFieldBits =
    CYCLIC_FILE_HEADER_BUFFER_SIZE_BIT | CYCLIC_FILE_HEADER_MESSAGE_COUNT_BIT |
    CYCLIC_FILE_HEADER_WASTED_TAIL_BIT | CYCLIC_FILE_HEADER_WRITE_OFFSET_BIT |
    CYCLIC_FILE_HEADER_READ_OFFSET_BIT;
constexpr int kFieldCount = 5;
constexpr int kFullHeaderUnits = 2 + kFieldCount;
constexpr int kFullHeaderLength = kFullHeaderUnits * BYTES_PER_XDR_UNIT;
static_assert(TRELLON_PRESENCE_WORDS == 1, "the direct layout has one presence word");

uint32_t load_unit(const char *at) {
  uint32_t unit = 0;
  std::memcpy(&unit, at, sizeof unit);
  return ntohl(unit);
}

void store_unit(char *at, uint32_t value) {
  const uint32_t unit = htonl(value);
  std::memcpy(at, &unit, sizeof unit);
}

bool has_all_fields(const cyclic_file_header_t &record) {
  return record.field_count >= kFieldCount && record.present != nullptr &&
         (*record.present & kAllFieldBits) == kAllFieldBits;
}

}  // namespace

bool_t _xdr_cyclic_file_header_t(XDR *stream, cyclic_file_header_t *record) {
  if (stream == nullptr || record == nullptr) return FALSE;
  return xdr_opt_fields(stream, record->present, record->field_count,
                        rotolog::detail::cyclic_file_header_coding_descriptor(), record);
}

bool_t xdr_p_cyclic_file_header_t(XDR *stream, cyclic_file_header_t **record) {
  if (stream == nullptr || record == nullptr) return FALSE;
  switch (stream->x_op) {
    case XDR_ENCODE:
      return _xdr_cyclic_file_header_t(stream, *record);
    case XDR_DECODE:
      // Whatever *record held is the caller's business; it is overwritten,
      // never freed. Null on allocation failure, so a caller that frees
      // *record afterwards frees nothing twice.
      *record = rotolog::detail::allocate_cyclic_file_header();
      if (*record == nullptr) return FALSE;
      return _xdr_cyclic_file_header_t(stream, *record);
    case XDR_FREE:
      if (*record == nullptr) return TRUE;
      if (!_xdr_cyclic_file_header_t(stream, *record)) return FALSE;
      vel_free(*record);
      *record = nullptr;
      return TRUE;
  }
  return FALSE;
}

int xdr_encode_cyclic_file_header_t(cyclic_file_header_t *record, char *buffer, int length) {
  if (record == nullptr) return -1;
  return run_memory_stream(buffer, length, XDR_ENCODE, _xdr_cyclic_file_header_t, record);
}

int xdr_encode_p_cyclic_file_header_t(cyclic_file_header_t **record, char *buffer, int length) {
  if (record == nullptr || *record == nullptr) return -1;
  return run_memory_stream(buffer, length, XDR_ENCODE, xdr_p_cyclic_file_header_t, record);
}

int xdr_decode_p_cyclic_file_header_t(char *buffer, int length, cyclic_file_header_t **record) {
  if (record == nullptr) return -1;
  return run_memory_stream(buffer, length, XDR_DECODE, xdr_p_cyclic_file_header_t, record);
}

void xdr_free_p_cyclic_file_header_t(cyclic_file_header_t **record) {
  if (record == nullptr) return;
  // xdr_free runs the routine in XDR_FREE mode; the routine's own signature
  // differs from xdrproc_t only in its object pointer's type.
  xdr_free(reinterpret_cast<xdrproc_t>(&xdr_p_cyclic_file_header_t), record);
}

int xdr_length_of_encoded_cyclic_file_header_t(cyclic_file_header_t *record) {
  if (record == nullptr) return -1;
  return xdr_length_of_encoded_optional_struct(
      record->present, record->field_count, rotolog::detail::cyclic_file_header_length_descriptor(),
      record);
}

int xdr_length_of_encoded_p_cyclic_file_header_t(cyclic_file_header_t **record) {
  if (record == nullptr) return -1;
  return xdr_length_of_encoded_cyclic_file_header_t(*record);
}

namespace rotolog::detail {

int decode_cyclic_file_header_into(const char *buffer, int length, cyclic_file_header_t *record) {
  if (record == nullptr) return -1;
  record->init();
  if (buffer != nullptr && length >= kFullHeaderLength &&
      load_unit(buffer) == TRELLON_PRESENCE_WORDS &&
      load_unit(buffer + BYTES_PER_XDR_UNIT) == kAllFieldBits) {
    int32_t *fields[kFieldCount] = {&record->buffer_size, &record->message_count,
                                    &record->wasted_tail, &record->write_offset,
                                    &record->read_offset};
    for (std::ptrdiff_t index = 0; index < kFieldCount; ++index)
      *fields[index] = static_cast<int32_t>(load_unit(buffer + (2 + index) * BYTES_PER_XDR_UNIT));
    *record->present = kAllFieldBits;
    return kFullHeaderLength;
  }
  // A decoding stream only reads its buffer.
  int consumed = run_memory_stream(const_cast<char *>(buffer), length, XDR_DECODE,
                                   _xdr_cyclic_file_header_t, record);
  if (consumed < 0) record->init();
  return consumed;
}

int encode_cyclic_file_header_into(cyclic_file_header_t *record, char *buffer, int length) {
  if (record == nullptr) return -1;
  if (buffer == nullptr || length < kFullHeaderLength || !has_all_fields(*record))
    return xdr_encode_cyclic_file_header_t(record, buffer, length);
  const int32_t fields[kFieldCount] = {record->buffer_size, record->message_count,
                                       record->wasted_tail, record->write_offset,
                                       record->read_offset};
  store_unit(buffer, TRELLON_PRESENCE_WORDS);
  store_unit(buffer + BYTES_PER_XDR_UNIT, kAllFieldBits);
  for (std::ptrdiff_t index = 0; index < kFieldCount; ++index)
    store_unit(buffer + (2 + index) * BYTES_PER_XDR_UNIT, static_cast<uint32_t>(fields[index]));
  return kFullHeaderLength;
}

int encode_ring_header_into(const CCyclicBuffer &ring, char *buffer, int length) {
  if (buffer == nullptr || length < kFullHeaderLength || ring.ring_start == nullptr) return -1;
  // The values capture_ring_header gives a record, in field order.
  const int32_t fields[kFieldCount] = {ring.buffer_size, ring.message_count, ring.wasted_tail,
                                       static_cast<int32_t>(ring.write_pos - ring.ring_start),
                                       static_cast<int32_t>(ring.read_pos - ring.ring_start)};
  store_unit(buffer, TRELLON_PRESENCE_WORDS);
  store_unit(buffer + BYTES_PER_XDR_UNIT, kAllFieldBits);
  for (std::ptrdiff_t index = 0; index < kFieldCount; ++index)
    store_unit(buffer + (2 + index) * BYTES_PER_XDR_UNIT, static_cast<uint32_t>(fields[index]));
  return kFullHeaderLength;
}

// ---------------------------------------------------------------------------
// Field descriptors: constant tables, filled in when the library is loaded
// and never written again, so handing them out needs no lock.

static_assert(std::is_standard_layout_v<cyclic_file_header_t>);

namespace {

// xdr_int takes an int *; trellon hands each routine the field's address.
const trellon_field_proc_t kCodeInt = reinterpret_cast<trellon_field_proc_t>(&xdr_int);

const trellon_field_entry_t kCodingEntries[] = {
    {kCodeInt, offsetof(cyclic_file_header_t, buffer_size)},
    {kCodeInt, offsetof(cyclic_file_header_t, message_count)},
    {kCodeInt, offsetof(cyclic_file_header_t, wasted_tail)},
    {kCodeInt, offsetof(cyclic_file_header_t, write_offset)},
    {kCodeInt, offsetof(cyclic_file_header_t, read_offset)},
};

const trellon_length_entry_t kLengthEntries[] = {
    {&xdr_length_of_encoded_int, offsetof(cyclic_file_header_t, buffer_size)},
    {&xdr_length_of_encoded_int, offsetof(cyclic_file_header_t, message_count)},
    {&xdr_length_of_encoded_int, offsetof(cyclic_file_header_t, wasted_tail)},
    {&xdr_length_of_encoded_int, offsetof(cyclic_file_header_t, write_offset)},
    {&xdr_length_of_encoded_int, offsetof(cyclic_file_header_t, read_offset)},
};

const trellon_coding_descriptor_t kCodingDescriptor = {5, kCodingEntries};
const trellon_length_descriptor_t kLengthDescriptor = {5, kLengthEntries};

}  // namespace

const trellon_coding_descriptor_t *cyclic_file_header_coding_descriptor() {
  return &kCodingDescriptor;
}

const trellon_length_descriptor_t *cyclic_file_header_length_descriptor() {
  return &kLengthDescriptor;
}

// ---------------------------------------------------------------------------
// The ring's state in and out of a record

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

// A header that decodes may still not describe this file; using it would
// send the ring outside the mapping. Every record takes at least 4 bytes, and
// a length field that does not fit before the ring's end leaves at most 3.
bool cyclic_file_header_describes_ring(const cyclic_file_header_t *record, int64_t ring_bytes) {
  if (record == nullptr) return false;
  int size = 0, count = 0, wasted = 0, write_offset = 0, read_offset = 0;
  if (!record->get_buffer_size(&size) || !record->get_message_count(&count) ||
      !record->get_wasted_tail(&wasted) || !record->get_write_offset(&write_offset) ||
      !record->get_read_offset(&read_offset))
    return false;
  return size > 0 && size == ring_bytes && within(count, 0, size / kLengthWidth) &&
         within(wasted, 0, kLengthWidth - 1) && within(write_offset, 0, size) &&
         within(read_offset, 0, size);
}

cyclic_file_header_t *allocate_cyclic_file_header() {
  void *block = vel_malloc(sizeof(cyclic_file_header_t));
  if (block == nullptr) return nullptr;
  auto *record = new (block) cyclic_file_header_t;
  record->init();
  return record;
}

}  // namespace rotolog::detail
