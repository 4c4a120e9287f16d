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

// Flush mode, the record's pages: one range when the record lies in one
// piece, which it does whenever it ends length + 4 bytes or more after the
// start of the ring; the two ends of the ring when its payload crossed the
// end. record_from is the write position before the write.
int flush_record(const CCyclicFile &file, const char *record_from, int32_t length) {
  const int64_t record_bytes = static_cast<int64_t>(length) + 4;
  if (file.write_pos - file.ring_start >= record_bytes) {
    char *record_start = file.write_pos - record_bytes;
    return os_flush_view(record_start, static_cast<std::size_t>(record_bytes)) != 0 ? 1 : 0;
  }
  int first = os_flush_view(const_cast<char *>(record_from),
                            static_cast<std::size_t>(file.ring_end - record_from));
  int second =
      os_flush_view(file.ring_start, static_cast<std::size_t>(file.write_pos - file.ring_start));
  return first != 0 && second != 0 ? 1 : 0;
}

// A ring operation that met a record that is not whole: the header and the
// records disagree, and a salvage can mend them.
constexpr int kRingDamaged = 1;
constexpr int kInterimHeaderStored = 2;

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
    // The previous holder died inside a write: its header may be torn
    // between two stores. Bring it back to the records that are whole
    // before anyone relies on it.
    if (reload_header() == 0) salvage();
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

// The write path. Both locks are held from the reload to the last store, so
// that reload, ring change and store are one step for every other handle.
//
// Stores to the mapping, in this order (the compiler fences of crash_point
// keep them so; they are part of every write, not only of tests):
//   1. interim header: when the record will overwrite the oldest records,
//      the header stops counting them before any of their bytes changes;
//   2. the record, at the write position;
//   3. the final header, counting the record.
// A writer killed at any point leaves a header that counts only whole
// records (the page cache outlives it); the next holder finds it torn at
// worst, and its salvage mends that. After a crashed machine the pages of
// the file may come from different moments; the salvage of the next write
// or read brings the header back to the records that are whole.
//
// In CYCLIC_FILE_MODE_FLUSH each store is flushed before the next one is
// made: the interim header (only when the write evicts), the record's pages,
// then the header's page. So the disk never holds a header that counts a
// record whose bytes are not there yet, nor one that counts records whose
// bytes were already overwritten there, and a write that returned 0 is on
// disk whole: two flushes a write, three when it evicts (four when its
// payload wraps, one per end of the ring).
int CCyclicFile::write(const char *data, int32_t length) {
  if (!(mode & CYCLIC_FILE_MODE_WRITE)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (!enter_locks()) return CYCLIC_FILE_WRITE_FAILED;
  int result = locked_write(data, length);
  // The records and the header disagree: mend the header and try once more.
  if (__builtin_expect(result == kRingDamaged, 0)) result = salvage_and_write(data, length);
  leave_locks();
  return result;
}

// Out of line: the common write stays small.
[[gnu::noinline]] int CCyclicFile::salvage_and_write(const char *data, int32_t length) {
  if (reload_header() == 0) salvage();
  int result = locked_write(data, length);
  return result == kRingDamaged ? CYCLIC_FILE_WRITE_FAILED : result;
}

// One attempt at the write under both locks: a status, or kRingDamaged.
inline int CCyclicFile::locked_write(const char *data, int32_t length) {
  if (reload_header() != 0) return CYCLIC_FILE_READ_ALL_FAILED;
  const bool flushed = (mode & CYCLIC_FILE_MODE_FLUSH) != 0;
  const char *record_from = write_pos;
  crash_point(CrashPoint::kHeaderReloaded);
  int interim = store_interim_header(data, length);
  if (interim < 0) return CYCLIC_FILE_WRITE_FAILED;
  if (interim == kRingDamaged) return kRingDamaged;
  if (interim == kInterimHeaderStored && flushed)
    os_flush_view(map_base, static_cast<std::size_t>(header_length));
  crash_point(CrashPoint::kInterimStored);
  // A refused record leaves the header unstored: the file still describes
  // the ring as it was (less the evictions, when they were stored).
  int written = write_message(data, length);
  if (written == CYCLIC_BUFFER_WRITE_FAILED) return kRingDamaged;
  if (written != CYCLIC_BUFFER_OK) return CYCLIC_FILE_WRITE_FAILED;
  crash_point(CrashPoint::kRecordWritten);
  if (flushed) flush_record(*this, record_from, length);
  if (store_header() != 0) return CYCLIC_FILE_WRITE_FAILED;
  add_to_interprocess_critical_section_counter(interprocess_lock, 1);  // messages ever appended
  if (flushed) os_flush_view(map_base, static_cast<std::size_t>(header_length));
  crash_point(CrashPoint::kHeaderStored);
  return CYCLIC_FILE_OK;
}

// Drops from the file's header the records that writing a message of
// `length` bytes will overwrite, before any of their bytes is touched.
// Returns 0 when nothing needed storing (the write evicts nothing, or will be
// refused anyway), kInterimHeaderStored, kRingDamaged when a record to evict is not
// whole (nothing is stored then), or -1 when the header did not encode.
int CCyclicFile::store_interim_header(const char *data, int32_t length) {
  if (message_count == 0 || data == nullptr || length <= 0 || length > buffer_size - 4) return 0;
  // The evictions are worked out on the ring itself: they only read length
  // fields, and what they change is noted so that it can be put back.
  char *const noted_write_pos = write_pos;
  char *const noted_read_pos = read_pos;
  const int32_t noted_count = message_count;
  const int32_t noted_tail = wasted_tail;
  auto put_back = [&] {
    write_pos = noted_write_pos;
    read_pos = noted_read_pos;
    message_count = noted_count;
    wasted_tail = noted_tail;
    error_flag = 0;
  };
  if (make_room(4, length, 1) != CYCLIC_BUFFER_OK) {
    put_back();
    return kRingDamaged;
  }
  if (message_count == noted_count) return 0;
  int stored = encode_ring_header_into(*this, map_base, header_length);
  // The ring keeps the evictions (they moved only the read position and the
  // count), so write_message finds the room made and does not walk the same
  // records again. A ring that the evictions emptied goes back to its state:
  // write_message places the record of an empty ring differently, and works
  // that case out itself.
  if (stored != header_length || message_count == 0) put_back();
  return stored == header_length ? kInterimHeaderStored : -1;
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

// Every read starts here. Under both locks the ring is the mapping's, its
// header reloaded. On a read-only mapping no lock is taken: the ring is that
// of a private snapshot of the mapping (see snapshot_mapping). Returns 0, or
// CYCLIC_FILE_READ_ALL_FAILED (no lock, a header that does not describe the
// file, writers that kept changing it) with nothing to end.
int CCyclicFile::begin_read(char **snapshot) {
  *snapshot = nullptr;
  if (read_only_mapping) return load_snapshot(snapshot);
  if (!enter_locks()) return CYCLIC_FILE_READ_ALL_FAILED;
  if (reload_header() != 0) {
    leave_locks();
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  return 0;
}

// The ring of a private snapshot of the mapping, its header reloaded there:
// 0 with *snapshot set (end_read releases it), or CYCLIC_FILE_READ_ALL_FAILED.
int CCyclicFile::load_snapshot(char **snapshot) {
  *snapshot = snapshot_mapping();
  if (*snapshot == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  if (reload_header_from(*snapshot) == 0) return 0;
  vel_free(*snapshot);
  *snapshot = nullptr;
  return CYCLIC_FILE_READ_ALL_FAILED;
}

void CCyclicFile::end_read(char *snapshot) {
  if (snapshot == nullptr) {
    leave_locks();
    return;
  }
  rebase_ring(snapshot);
  vel_free(snapshot);
}

int CCyclicFile::read_all(char **buffer, int32_t *length) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (buffer == nullptr || length == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  *buffer = nullptr;
  *length = 0;
  char *snapshot = nullptr;
  int began = begin_read(&snapshot);
  if (began != 0) return began;
  if (message_count == 0) {
    end_read(snapshot);
    return 0;
  }
  char *block = static_cast<char *>(vel_malloc(static_cast<std::size_t>(buffer_size) + 1));
  if (block == nullptr) {
    end_read(snapshot);
    return CYCLIC_FILE_NO_MEMORY;
  }
  // One walk over the records copies every payload; the ring's state, and so
  // the file, stay as they are.
  int64_t copied = 0;
  int copy_result = copy_messages(block, buffer_size, &copied);
  // The records and the header disagree: mend the header, then copy what
  // it keeps.
  if (copy_result == CYCLIC_BUFFER_WRITE_FAILED && salvage())
    copy_result = copy_messages(block, buffer_size, &copied);
  int32_t messages_read = message_count;
  end_read(snapshot);
  if (copy_result != CYCLIC_BUFFER_OK || messages_read == 0) {
    vel_free(block);
    return copy_result != CYCLIC_BUFFER_OK ? CYCLIC_FILE_READ_ALL_FAILED : 0;
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
