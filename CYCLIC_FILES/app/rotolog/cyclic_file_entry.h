// Entries: messages that carry their time, origin, level, number and a
// checksum in front of their text, inside the payload of an ordinary record.
// The only code that knows the entry's head; the file's layout and header
// are those of raw messages, so a reader that knows nothing of entries reads
// an entry as a message (its head and its text).
//
// The head, 32 bytes, little-endian:
//   0  3  marker: 0x1E 'r' 'l'
//   3  1  format: the version (1) in the high four bits; bit 3 "bare" (a raw
//         message that begins like an entry, see below); bits 0-2 the level
//   4  4  CRC32C of the text followed by the head's bytes 0-3 and 8-31
//   8  8  time: CLOCK_REALTIME in nanoseconds since the epoch (signed)
//  16  8  number: the message's number among all messages ever appended to
//         the file (the newest counted is the lock file's count)
//  24  4  process id
//  28  4  thread id
//  32     the text (0 bytes or more)
//
// Telling an entry from a raw message, and a damaged entry from both: a
// payload of 32 bytes or more whose first four bytes are the marker and a
// version-1 format byte is an entry, whole only when its checksum holds. One
// that differs from them in one of the four (the marker's three bytes, the
// version) is an entry with that byte damaged when the checksum holds with it
// put right; otherwise, and whenever two or more differ, the payload is a raw
// message. So one damaged byte anywhere in an entry makes it not whole. A raw
// message that a caller writes and that begins with the marker and the
// version is stored as a bare entry (its head in front), so that it can never
// be taken for a damaged entry; readers of entries return it as the raw
// message it was.
#ifndef ROTOLOG_CYCLIC_FILE_ENTRY_H
#define ROTOLOG_CYCLIC_FILE_ENTRY_H

#include <cstddef>
#include <cstdint>

namespace rotolog::detail {

constexpr int32_t kEntryHeadSize = 32;
constexpr int kEntryLevels = 8;  // syslog's priorities, 0 (emergency) to 7 (debug)

// CRC32C (Castagnoli), continued from `crc` (0 to begin): crc32c(crc32c(0, a),
// b) is the checksum of a followed by b. The SSE4.2 instruction where the
// processor has it.
uint32_t crc32c(uint32_t crc, const void *data, std::size_t length);

// What a record's payload is.
enum class PayloadKind { kRaw, kEntry, kDamagedEntry };

// The payload of `length` bytes, in one piece or (crossing the ring's end)
// two: `first` holds its first `first_length` bytes, `second` the rest.
PayloadKind classify_payload(const char *first, int64_t first_length, const char *second,
                             int32_t length);

// Whether a payload that begins at `payload` (at least kEntryHeadSize bytes)
// may be an entry, whole or damaged: three of the four parts of its prefix
// (the marker's bytes, the version) are as an entry's. Most raw messages
// fail this on their first two bytes.
inline bool may_be_entry(const char *payload) {
  const int first_two = (payload[0] == 0x1E) + (payload[1] == 'r');
  if (__builtin_expect(first_two == 0, 1)) return false;
  return first_two + (payload[2] == 'l') + ((static_cast<unsigned char>(payload[3]) >> 4) == 1) >=
         3;
}

// Whether a payload in one piece is not a damaged entry: the check every walk
// makes of a record's bytes beside its length (see CCyclicBuffer::step_message).
inline bool payload_whole(const char *payload, int32_t length) {
  return length < kEntryHeadSize || !may_be_entry(payload) ||
         classify_payload(payload, length, nullptr, length) != PayloadKind::kDamagedEntry;
}

// Whether a raw message's bytes begin like an entry, so that they must be
// stored as a bare entry.
inline bool begins_like_entry(const char *data, int32_t length) {
  return length >= kEntryHeadSize && data[0] == 0x1E && data[1] == 'r' && data[2] == 'l' &&
         (static_cast<unsigned char>(data[3]) >> 4) == 1;
}

// The fields of an entry's head.
struct EntryFields {
  int64_t time_ns;
  uint64_t number;
  int32_t pid;
  int32_t tid;
  int level;
  bool bare;
};

// Decodes the head of a payload that classify_payload found to be an entry
// (contiguous). False for a raw payload.
bool decode_entry(const char *payload, int32_t length, EntryFields *fields);

// An entry on its way into a file: the head and the text in one block,
// completed under the file's locks by seal(), which sets the number and the
// time and the checksum. The text's checksum is taken before, outside the
// locks.
class EntryDraft {
 public:
  // `level` 0 to 7. The text is copied. A time or a thread id other than 0
  // is the caller's (a logging library's record made earlier, or on another
  // thread) and is stored as given.
  EntryDraft(int level, bool bare, const char *text, int32_t length, int64_t time_ns = 0,
             int32_t tid = 0);
  ~EntryDraft();
  EntryDraft(const EntryDraft &) = delete;
  EntryDraft &operator=(const EntryDraft &) = delete;
  // False when memory for a long text was short.
  bool ready() const { return bytes_ != nullptr; }
  // Sets the number and the time: the caller's, or now, or the last time an
  // entry of this process was given if the clock went back meanwhile (so
  // time never runs backwards within one writer: entries sealed in order of
  // their numbers are in order of their times). Called under the file's
  // locks.
  void seal(uint64_t number);
  const char *bytes() const { return bytes_; }
  int32_t length() const { return length_; }

 private:
  static constexpr int32_t kInlineText = 2048 - kEntryHeadSize;
  char *bytes_;
  int32_t length_;
  int64_t given_time_;
  uint32_t text_crc_;
  char inline_[kEntryHeadSize + kInlineText];
};

}  // namespace rotolog::detail

#endif
