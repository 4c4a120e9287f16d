// Array messages of CCyclicBuffer: one record holding several segments, each
// stored as a 2-byte length and its bytes after the record's length field,
// which holds their total.
#include "rotolog/cyclic_buffer.h"

#include <cstdint>
#include <limits>

#include "rotolog/cyclic_buffer_ring.h"

namespace rotolog::detail {

namespace {
// The record's length field holds the segments' total (cyclic_buffer_record.h).
constexpr int32_t kTotalWidth = kLengthWidth;
}  // namespace

int CCyclicBuffer::write_array(const char *const *segments, const int16_t *lengths,
                               int32_t segment_count) {
  if (error_flag != 0) return CYCLIC_BUFFER_EARLIER_ERROR;
  if (segment_count < 0) segment_count = 0;
  if (segment_count > 0 && (segments == nullptr || lengths == nullptr))
    return CYCLIC_BUFFER_INVALID_INPUT;
  int64_t total = 0;
  for (int32_t i = 0; i < segment_count; ++i) {
    if (segments[i] == nullptr || lengths[i] <= 0) return CYCLIC_BUFFER_INVALID_INPUT;
    total += kSegmentWidth + lengths[i];
  }
  // An array record is one byte smaller than the storage at most: a segment
  // length may have to skip one byte before the end.
  if (max_messages <= 0 && total + kTotalWidth >= buffer_size) return CYCLIC_BUFFER_TOO_SMALL;
  if (total + kTotalWidth + 1 > std::numeric_limits<int32_t>::max())
    return CYCLIC_BUFFER_TOO_SMALL;  // no ring can grow to hold it
  WriteStart start;
  int rc = begin_write(&start);
  if (rc != CYCLIC_BUFFER_OK) return rc;
  // Room for the whole record first: once it is made, every piece lands in
  // free space and nothing can fail half-way.
  const RecordShape shape{kTotalWidth, -1, lengths, segment_count};
  rc = make_room_for(shape, 0);
  if (rc != CYCLIC_BUFFER_OK) return fail_write(start, rc);
  place_piece(kTotalWidth, static_cast<int32_t>(total), nullptr);
  for (int32_t i = 0; i < segment_count; ++i) place_piece(kSegmentWidth, lengths[i], segments[i]);
  ++message_count;
  return CYCLIC_BUFFER_OK;
}

int CCyclicBuffer::read_array(char **segments, int16_t *lengths, int32_t *segment_count) {
  if (error_flag != 0) return CYCLIC_BUFFER_EARLIER_ERROR;
  if (segments == nullptr || lengths == nullptr || segment_count == nullptr)
    return CYCLIC_BUFFER_INVALID_INPUT;
  if (message_count == 0) return CYCLIC_BUFFER_NO_MORE_MESSAGES;
  if (!positions_valid()) return CYCLIC_BUFFER_WRITE_FAILED;

  char *const saved_read_pos = read_pos;
  int32_t total = 0;
  int rc = read_field(kTotalWidth, &total, nullptr);
  if (rc != CYCLIC_BUFFER_OK) return rc;
  // Each segment takes at least 3 bytes of the total, so a caller that sized
  // its arrays for total / 3 entries is never written past.
  int64_t sum = 0;
  int32_t count = 0;
  while (sum < total) {
    int16_t length = 0;
    char *bytes = nullptr;
    rc = read_piece(kSegmentWidth, &length, &bytes, total - sum);
    if (rc != CYCLIC_BUFFER_OK) {
      read_pos = saved_read_pos;
      return rc;
    }
    segments[count] = bytes;
    lengths[count] = length;
    ++count;
    sum += kSegmentWidth + length;
  }
  --message_count;
  *segment_count = count;
  return CYCLIC_BUFFER_OK;
}

}  // namespace rotolog::detail
