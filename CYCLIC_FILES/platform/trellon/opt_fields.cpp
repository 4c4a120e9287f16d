// trellon optional fields: codes and measures a record of optional fields as
// a presence-word count, one presence word and the present fields in order.
#include "rotolog/platform/trellon.h"

namespace {

constexpr int kMaxFieldsPerWord = 32;

// The fields that count: those the record declares, that the descriptor has
// a routine for, and that one presence word can flag.
int counted_fields(int field_count, int entry_count) {
  int counted = field_count < entry_count ? field_count : entry_count;
  return counted < kMaxFieldsPerWord ? counted : kMaxFieldsPerWord;
}

uint32_t mask_of(int counted) {
  return counted >= kMaxFieldsPerWord ? ~uint32_t{0} : (uint32_t{1} << counted) - 1;
}

bool is_present(uint32_t word, int index) { return (word >> index) & 1u; }

void *field_at(void *record, size_t offset) { return static_cast<char *>(record) + offset; }

// Codes every field flagged in word, in field order, with the stream as it is.
bool_t code_fields(XDR *stream, uint32_t word, int counted,
                   const trellon_coding_descriptor_t *descriptor, void *record) {
  for (int index = 0; index < counted; ++index) {
    if (!is_present(word, index)) continue;
    const trellon_field_entry_t &entry = descriptor->entries[index];
    if (entry.routine == nullptr) return FALSE;
    if (!entry.routine(stream, field_at(record, entry.offset))) return FALSE;
  }
  return TRUE;
}

bool_t encode(XDR *stream, const uint32_t *present, int counted,
              const trellon_coding_descriptor_t *descriptor, void *record) {
  u_int word_count = TRELLON_PRESENCE_WORDS;
  // Bits beyond the counted fields mean nothing; they are never written, so
  // the decoder can treat any such bit as damage.
  u_int word = *present & mask_of(counted);
  if (!xdr_u_int(stream, &word_count) || !xdr_u_int(stream, &word)) return FALSE;
  return code_fields(stream, word, counted, descriptor, record);
}

bool_t decode(XDR *stream, uint32_t *present, int counted,
              const trellon_coding_descriptor_t *descriptor, void *record) {
  u_int word_count = 0;
  u_int word = 0;
  if (!xdr_u_int(stream, &word_count) || word_count != TRELLON_PRESENCE_WORDS) return FALSE;
  if (!xdr_u_int(stream, &word) || (word & ~mask_of(counted)) != 0) return FALSE;
  if (!code_fields(stream, word, counted, descriptor, record)) return FALSE;
  // Presence is stored last: a stream that fails part-way flags nothing new.
  *present = word;
  return TRUE;
}

}  // namespace

extern "C" {

bool_t xdr_opt_fields(XDR *stream, uint32_t *present, int field_count,
                      const trellon_coding_descriptor_t *descriptor, void *record) {
  if (stream == nullptr || present == nullptr || descriptor == nullptr || record == nullptr)
    return FALSE;
  if (field_count < 0 || descriptor->entry_count < 0) return FALSE;
  if (descriptor->entries == nullptr && descriptor->entry_count > 0) return FALSE;
  int counted = counted_fields(field_count, descriptor->entry_count);

  switch (stream->x_op) {
    case XDR_ENCODE:
      return encode(stream, present, counted, descriptor, record);
    case XDR_DECODE:
      return decode(stream, present, counted, descriptor, record);
    case XDR_FREE:
      return code_fields(stream, *present & mask_of(counted), counted, descriptor, record);
  }
  return FALSE;
}

int xdr_length_of_encoded_optional_struct(const uint32_t *present, int field_count,
                                          const trellon_length_descriptor_t *descriptor,
                                          const void *record) {
  if (present == nullptr || descriptor == nullptr || record == nullptr) return -1;
  if (field_count < 0 || descriptor->entry_count < 0) return -1;
  if (descriptor->entries == nullptr && descriptor->entry_count > 0) return -1;
  int counted = counted_fields(field_count, descriptor->entry_count);
  uint32_t word = *present & mask_of(counted);

  int length = (1 + TRELLON_PRESENCE_WORDS) * BYTES_PER_XDR_UNIT;
  for (int index = 0; index < counted; ++index) {
    if (!is_present(word, index)) continue;
    const trellon_length_entry_t &entry = descriptor->entries[index];
    if (entry.routine == nullptr) return -1;
    int field_length = entry.routine(static_cast<const char *>(record) + entry.offset);
    if (field_length < 0) return -1;
    length += field_length;
  }
  return length;
}

int xdr_length_of_encoded_int(const void *) { return BYTES_PER_XDR_UNIT; }

}  // extern "C"
