// CCyclicFile: writing, formatted writing, reading every message and flushing,
// each write and read under the in-process lock and then the interprocess lock.
#include <cstdio>
#include <cstring>

#include "cyclic_buffer.h"
#include "cyclic_file.h"
#include "cyclic_file_crash_points.h"
#include "cyclic_file_handle.h"
#include "cyclic_file_header_bridge.h"

CrashPointHook cyclic_file_crash_hook = nullptr;

namespace {

constexpr int32_t kFirstFormatSize = 512;

// A copy of a ring's state over the same storage: eviction can be worked out
// on it (eviction only reads length fields) without changing the ring.
class RingShadow : public CCyclicBuffer {
 public:
  explicit RingShadow(const CCyclicBuffer &ring) {
    buffer_size = ring.buffer_size;
    message_count = ring.message_count;
    ring_start = ring.ring_start;
    write_pos = ring.write_pos;
    read_pos = ring.read_pos;
    ring_end = ring.ring_end;
    wasted_tail = ring.wasted_tail;
    error_flag = ring.error_flag;
    max_messages = ring.max_messages;
  }
  // The storage belongs to the ring it copies.
  ~RingShadow() {
    ring_start = nullptr;
    scratch = nullptr;
  }
};

// Flush mode: the header's page and the pages the record went to reach the
// disk in one flush, from the start of the mapping to the end of the record.
// One call, because every flush waits for the disk's cache (two cost twice
// one); the clean pages in between cost nothing. A record that wrapped went
// to both ends of the ring, and then the whole mapping is flushed.
// record_from is the write position before the write.
void flush_written(const CCyclicFile &file, const char *record_from) {
  std::size_t length = file.mapped_length;
  if (file.write_pos >= record_from)
    length = static_cast<std::size_t>(file.write_pos - file.map_base);
  os_flush_view(file.map_base, length);
}

}  // namespace

// ---------------------------------------------------------------------------
// Locks

// Takes the in-process lock, then the interprocess lock. A shared file is
// never touched without both: a handle that could not obtain one of them
// refuses to write or read.
bool CCyclicFile::enter_locks() {
  if (process_lock == nullptr || interprocess_lock == nullptr) return false;
  os_critical_section_enter(process_lock);
  int state = enter_interprocess_critical_section(interprocess_lock);
  if (state == VANDREL_LOCK_FAILED) {
    os_critical_section_leave(process_lock);
    return false;
  }
  if (state == VANDREL_LOCK_OWNER_DIED) {
    // The previous holder died inside a write: bring the header back to the
    // records that are whole before anyone relies on it.
    repair_after_dead_holder();
    mark_interprocess_critical_section_consistent(interprocess_lock);
  }
  return true;
}

void CCyclicFile::leave_locks() {
  leave_interprocess_critical_section(interprocess_lock);
  os_critical_section_leave(process_lock);
}

// ---------------------------------------------------------------------------
// Writing

// The stores of a write are ordered so that a writer killed at any point
// leaves a header that counts only whole records: the records the new one
// will overwrite leave the header first (interim store), then the record is
// copied, then the header takes it in.
int CCyclicFile::write(const char *data, int32_t length) {
  if (!(mode & CYCLIC_FILE_MODE_WRITE)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (!enter_locks()) return CYCLIC_FILE_WRITE_FAILED;
  // The steps in their order; the first that fails decides the result.
  auto locked_write = [&]() -> int {
    if (reload_header() != 0) return CYCLIC_FILE_READ_ALL_FAILED;
    const char *record_from = write_pos;
    crash_point(CrashPoint::kHeaderReloaded);
    if (store_interim_header(data, length) != 0) return CYCLIC_FILE_WRITE_FAILED;
    crash_point(CrashPoint::kInterimStored);
    // A refused record leaves the header unstored: the file still describes
    // the ring as it was.
    if (write_message(data, length) != CYCLIC_BUFFER_OK) return CYCLIC_FILE_WRITE_FAILED;
    crash_point(CrashPoint::kRecordWritten);
    if (store_header() != 0) return CYCLIC_FILE_WRITE_FAILED;
    add_to_interprocess_critical_section_counter(interprocess_lock, 1);  // messages ever appended
    crash_point(CrashPoint::kHeaderStored);
    if (mode & CYCLIC_FILE_MODE_FLUSH) flush_written(*this, record_from);
    return CYCLIC_FILE_OK;
  };
  int result = locked_write();
  leave_locks();
  return result;
}

// Drops from the file's header the records that writing a message of
// `length` bytes will overwrite, before any of their bytes is touched.
// Nothing is stored when the write evicts nothing or will be refused anyway.
int CCyclicFile::store_interim_header(const char *data, int32_t length) {
  if (message_count == 0 || error_flag != 0 || data == nullptr || length <= 0 ||
      length > buffer_size - 4) {
    return 0;
  }
  // The evictions are worked out on the ring itself: they only read length
  // fields, and what they change is noted so that it can be put back.
  char *const noted_write_pos = write_pos;
  char *const noted_read_pos = read_pos;
  const int32_t noted_count = message_count;
  const int32_t noted_tail = wasted_tail;
  const int32_t noted_error = error_flag;
  int made = make_room(4, length);  // a failure empties the ring, as the write would
  if (message_count == noted_count) return 0;
  int stored = encode_ring_header_into(*this, map_base, header_length);
  // The ring keeps the evictions (they moved only the read position and the
  // count), so write_message finds the room made and does not walk the same
  // records again. A ring that the evictions emptied, or that failed, goes
  // back to its state: write_message places the record of an empty ring
  // differently, and works that case out itself.
  if (stored != header_length || made != CYCLIC_BUFFER_OK || message_count == 0) {
    write_pos = noted_write_pos;
    read_pos = noted_read_pos;
    message_count = noted_count;
    wasted_tail = noted_tail;
    error_flag = noted_error;
  }
  return stored == header_length ? 0 : -1;
}

// After a holder died inside a write, the header may be torn between two
// stores: some fields new, some old. Walking the records from the read
// position until the write position tells how many whole records lie between
// them; the header is brought back to that. A walk that never meets the
// write position keeps the longest run of whole records it found.
void CCyclicFile::repair_after_dead_holder() {
  if (reload_header() != 0 || message_count == 0) return;
  RingShadow walker(*this);
  int32_t most_records = buffer_size / 4;
  walker.message_count = most_records + 1;  // the walk is bounded here instead
  int32_t walked = 0;
  char *end_of_counted = read_pos;  // just past the last whole record the header counts
  bool met_write_pos = false;
  while (walked < most_records) {
    int32_t freed = 0;
    if (walker.evict_oldest(&freed) != CYCLIC_BUFFER_OK) break;
    ++walked;
    if (walker.read_pos == write_pos) {
      met_write_pos = true;
      break;
    }
    if (walked <= message_count) end_of_counted = walker.read_pos;
  }
  if (met_write_pos) {
    if (walked == message_count) return;
    message_count = walked;
  } else {
    if (walked < message_count) message_count = walked;
    write_pos = end_of_counted;
  }
  store_header();
}

// Formats into a buffer one byte larger than the text it may hold, since
// vsnprintf always ends with a NUL that is not part of the message. Each pass
// formats from a fresh copy of the arguments; the second pass is sized from
// the length the first one reported. The first pass formats on the stack, so
// a text of up to 512 bytes costs no allocation.
int CCyclicFile::vfwritef(const char *format, va_list args) {
  if (format == nullptr) return CYCLIC_FILE_WRITE_FAILED;
  char first[kFirstFormatSize + 1];
  va_list pass;
  va_copy(pass, args);
  int formatted = std::vsnprintf(first, sizeof first, format, pass);
  va_end(pass);
  if (formatted < 0) return CYCLIC_FILE_WRITE_FAILED;
  if (formatted <= kFirstFormatSize) return write(first, formatted);
  int32_t size = formatted > kFirstFormatSize * 2 ? formatted : kFirstFormatSize * 2;
  for (;;) {
    char *text = static_cast<char *>(vel_malloc(static_cast<std::size_t>(size) + 1));
    if (text == nullptr) return CYCLIC_FILE_NO_MEMORY;
    va_copy(pass, args);
    formatted = std::vsnprintf(text, static_cast<std::size_t>(size) + 1, format, pass);
    va_end(pass);
    if (formatted < 0) {
      vel_free(text);
      return CYCLIC_FILE_WRITE_FAILED;
    }
    if (formatted <= size) {
      int result = write(text, formatted);
      vel_free(text);
      return result;
    }
    vel_free(text);
    if (size > INT32_MAX / 2) return CYCLIC_FILE_NO_MEMORY;
    size = formatted > size * 2 ? formatted : size * 2;
  }
}

// ---------------------------------------------------------------------------
// Reading

int CCyclicFile::read_all(char **buffer, int32_t *length) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (buffer == nullptr || length == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  if (!enter_locks()) {
    *buffer = nullptr;
    *length = 0;
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  if (reload_header() != 0) {
    leave_locks();
    *buffer = nullptr;
    *length = 0;
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  if (message_count == 0) {
    leave_locks();
    *buffer = nullptr;
    *length = 0;
    return 0;
  }
  char *block = static_cast<char *>(vel_malloc(static_cast<std::size_t>(buffer_size) + 1));
  if (block == nullptr) {
    leave_locks();
    *buffer = nullptr;
    *length = 0;
    return CYCLIC_FILE_NO_MEMORY;
  }
  // One walk over the records copies every payload; the ring's state, and so
  // the file, stay as they are.
  int64_t copied = 0;
  int copy_result = copy_messages(block, buffer_size, &copied);
  int32_t messages_read = message_count;
  leave_locks();
  if (copy_result != CYCLIC_BUFFER_OK) {
    vel_free(block);
    *buffer = nullptr;
    *length = 0;
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  *buffer = block;
  *length = static_cast<int32_t>(copied);
  return messages_read;
}

// ---------------------------------------------------------------------------
// Flushing

// The whole file: header and ring fill the mapping exactly (every reload
// checks it). Flushing takes no lock, so it reads only what stays fixed from
// load to release, never the ring state another thread of this handle may be
// reloading at the same moment.
int CCyclicFile::flush_view() { return os_flush_view(map_base, mapped_length); }
