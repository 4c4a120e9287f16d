// The eight exported codec functions of cyclic_file_header_t on libtirpc's
// XDR memory streams, and the allocation-free decoder of the reload path.
#include <arpa/inet.h>
#include <rotolog/platform/trellon.h>
#include <rotolog/platform/vandrel.h>

#include <cstddef>
#include <cstring>

#include "cyclic_file_header.h"
#include "cyclic_file_header_bridge.h"
#include "cyclic_file_header_descriptors.h"

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
                        cyclic_file_header_coding_descriptor(), record);
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
      *record = allocate_cyclic_file_header();
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
  return xdr_length_of_encoded_optional_struct(record->present, record->field_count,
                                               cyclic_file_header_length_descriptor(), record);
}

int xdr_length_of_encoded_p_cyclic_file_header_t(cyclic_file_header_t **record) {
  if (record == nullptr) return -1;
  return xdr_length_of_encoded_cyclic_file_header_t(*record);
}

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
