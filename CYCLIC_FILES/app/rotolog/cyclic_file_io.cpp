// CCyclicFile's write: the locks, the header's reload, the write and its
// stores, and flushing. The repair is in cyclic_file_repair.cpp, the reads in
// cyclic_file_read.cpp, the words published beside the lock in
// cyclic_file_published.h.
//
// The write protocol
// ------------------
// Locks: the in-process lock of the file's canonical path, then its
// interprocess lock (the lock file beside it), held by a FileLocks guard from
// the reload to the last store and released in the opposite order on every
// way out. Reload, ring change and store are thus one step for every other
// handle, in this process or another. A holder that died holding the lock is
// reported to the next one, which repairs the header before anything else.
//
// Under both locks a write
//   1. reloads the header: the ring's fields are a cache of the file's
//      header, checked against the mapping before any position moves;
//   2. stores an interim header when the record will overwrite the oldest
//      records: it stops counting them before any of their bytes changes;
//      publishes what it intends (the header without the record) and the
//      phase kPhaseRecord; the published sequence is odd around this step;
//   3. lays the record at the write position;
//   4. publishes the header with the record and the counts it intends, and
//      the phase kPhaseCounted; stores the final header, counting the
//      record, and the counts, the sequence odd around them; then the phase
//      kPhaseIdle.
// Between 2 and 4 the header and the counts are whole, and count no byte
// the write touches: readers copy then too.
// The compiler fences of the ordering points between the steps (crash_point)
// keep the stores to the mapping in this order in every build; they are not
// there for tests only.
//
// In CYCLIC_FILE_MODE_FLUSH each store is flushed before the next one is
// made: the interim header (only when the write evicts), the record's pages,
// then the header's page. So the disk never holds a header that counts a
// record whose bytes are not there yet, nor one that counts records whose
// bytes were already overwritten there, and a write that returned 0 is on
// disk whole: two flushes a write, three when it evicts (four when its
// payload wraps, one per end of the ring).
//
// What is left behind:
// - a writer killed at any step leaves a header that counts only whole
//   records (the page cache outlives it), torn at worst, and its phase: the
//   next holder finishes the write (kPhaseCounted: the header with the
//   record and the intended counts are stored) or undoes it (kPhaseRecord:
//   the header without the record is stored again), then salvages what does
//   not agree; so a count never lags or leads its header;
// - after a crashed machine the pages of the file may come from different
//   moments; the repair at the next write or read brings the header back to
//   the records that are whole (without CYCLIC_FILE_MODE_FLUSH, what the
//   kernel had not written back is lost).
// Every write and read that meets a record that is not whole repairs the
// header (salvage) and tries once more.
#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "rotolog/cyclic_buffer.h"
#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_handle.h"
#include "rotolog/cyclic_file_header_codec.h"
#include "rotolog/cyclic_file_published.h"

namespace rotolog::detail {

namespace {

constexpr int32_t kFirstFormatSize = 512;

// Flush mode, the record's pages: one range when the record lies in one
// piece, which it does whenever it ends record_bytes(length) or more after
// the start of the ring; the two ends of the ring when its payload crossed the
// end. record_from is the write position before the write. 0, or
// CYCLIC_FILE_WRITE_FAILED with the errno of the first flush that failed
// (both ranges are flushed all the same).
int flush_record(const CCyclicFile &file, const char *record_from, int32_t length) {
  const int64_t bytes = record_bytes(length);
  if (file.write_pos - file.ring_start >= bytes) {
    char *record_start = file.write_pos - bytes;
    return os_flush_view(record_start, static_cast<std::size_t>(bytes)) != 0
               ? CYCLIC_FILE_OK
               : CYCLIC_FILE_WRITE_FAILED;
  }
  if (os_flush_view(const_cast<char *>(record_from),
                    static_cast<std::size_t>(file.ring_end - record_from)) == 0) {
    KeptErrno kept;
    os_flush_view(file.ring_start, static_cast<std::size_t>(file.write_pos - file.ring_start));
    return CYCLIC_FILE_WRITE_FAILED;
  }
  return os_flush_view(file.ring_start,
                       static_cast<std::size_t>(file.write_pos - file.ring_start)) != 0
             ? CYCLIC_FILE_OK
             : CYCLIC_FILE_WRITE_FAILED;
}

// A flush of the header's bytes: 0, or CYCLIC_FILE_WRITE_FAILED (errno of the
// flush).
int flush_header(const CCyclicFile &file) {
  return os_flush_view(file.map_base, static_cast<std::size_t>(file.header_length)) != 0
             ? CYCLIC_FILE_OK
             : CYCLIC_FILE_WRITE_FAILED;
}

}  // namespace

// ---------------------------------------------------------------------------
// Locks

// Takes the in-process lock, then the interprocess lock, for a FileLocks
// guard. A shared file is never touched without both: a handle that could
// not obtain one of them refuses to write or read.
bool CCyclicFile::enter_locks() {
  if (process_lock == nullptr || interprocess_lock == nullptr) return false;
  os_critical_section_enter(process_lock);
  int state = enter_interprocess_critical_section(interprocess_lock);
  if (state == VANDREL_LOCK_FAILED) {
    os_critical_section_leave(process_lock);
    return false;
  }
  if (state != VANDREL_LOCK_TAKEN) {
    // The previous holder died inside a write: its header may be torn
    // between two stores and its counts half published. Bring both back to
    // the records that are whole before anyone relies on them.
    repair_after_holder_died(state == VANDREL_LOCK_EARLIER_BOOT);
    mark_interprocess_critical_section_consistent(interprocess_lock);
  }
  return true;
}

void CCyclicFile::leave_locks() {
  leave_interprocess_critical_section(interprocess_lock);
  os_critical_section_leave(process_lock);
}

// A flush (msync) is a cancellation point: a thread cancelled there would
// leave the locks to its stack's unwinding, or (from C code built without
// unwind tables) held for ever, with the header half stored. In flush mode
// cancellation waits until the locks are released; no other call of the
// locked section is a cancellation point.
CCyclicFile::FileLocks::FileLocks(CCyclicFile &file)
    : file_(file), cancel_state_(-1), held_(false) {
  if (file.mode & CYCLIC_FILE_MODE_FLUSH)
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state_);
  held_ = file.enter_locks();
}

CCyclicFile::FileLocks::~FileLocks() {
  if (held_) file_.leave_locks();
  if (cancel_state_ >= 0) pthread_setcancelstate(cancel_state_, nullptr);
}

// ---------------------------------------------------------------------------
// The published state: the writer's side (cyclic_file_published.h)

namespace {

// How far forward the write position moved from offset `from` to offset
// `to` (both 0 to size) of a ring of `size` bytes; `restarted` when the ring
// was emptied and the record laid from its start. 1 to size, or up to twice
// size when restarted. No division: this runs in every write.
int64_t moved_forward(int64_t size, int64_t from, int64_t to, bool restarted) {
  if (from == size) from = 0;
  if (to == size) to = 0;
  if (restarted && from != 0) return size - from + (to == 0 ? size : to);
  const int64_t moved = to - from;
  return moved > 0 ? moved : moved + size;
}

}  // namespace

// Leaves the phase idle when a write ends, however it ends.
class CCyclicFile::PhaseReset {
 public:
  explicit PhaseReset(uint64_t *words) : words_(words) {}
  ~PhaseReset() {
    if (words_ != nullptr && load_word(words_, kPhase) != kPhaseIdle)
      store_word(words_, kPhase, kPhaseIdle);
  }
  PhaseReset(const PhaseReset &) = delete;
  PhaseReset &operator=(const PhaseReset &) = delete;

 private:
  uint64_t *words_;
};

// Moves kAdvanced on by a whole ring: every copy taken across a salvage
// drops what it copied. Inside a PublishedChange.
void CCyclicFile::rebase_published() {
  if (published == nullptr) return;
  const uint64_t advanced = load_word(published, kAdvanced);
  store_word(published, kAdvanced, advanced + static_cast<uint64_t>(buffer_size));
}

// ---------------------------------------------------------------------------
// Reload and store of the header

int CCyclicFile::reload_header() { return reload_header_from(map_base); }

// The bytes at the start of the mapping that may hold the header.
std::size_t CCyclicFile::header_room() const {
  return mapped_length < static_cast<std::size_t>(CYCLIC_FILE_HEADER_MAX_LENGTH)
             ? mapped_length
             : static_cast<std::size_t>(CYCLIC_FILE_HEADER_MAX_LENGTH);
}

// Decodes the header at `base` (the mapping, or a private copy of it) and
// points the ring into the bytes that follow it there.
int CCyclicFile::reload_header_from(char *base) {
  header_length = decode_cyclic_file_header_into(base, static_cast<int>(header_room()), header);
  if (header_length < 0 ||
      !cyclic_file_header_describes_ring(
          header, static_cast<int64_t>(mapped_length) - static_cast<int64_t>(header_length))) {
    header_length = 0;
    return CYCLIC_FILE_LOAD_ERROR;
  }
  ring_start = base + header_length;
  ring_end = ring_start + header->buffer_size;
  apply_header(header);
  // The ring state is a cache of the header: a failure of an earlier
  // operation of this handle does not outlive it (a salvage mends what
  // caused it).
  error_flag = 0;
  return CYCLIC_FILE_OK;
}

int CCyclicFile::store_header() {
  int stored = encode_ring_header_into(*this, map_base, header_length);
  return stored == header_length ? CYCLIC_FILE_OK : CYCLIC_FILE_WRITE_FAILED;
}

// ---------------------------------------------------------------------------
// Writing

int CCyclicFile::write(const char *data, int32_t length) {
  // A raw message that begins like an entry is stored as a bare one, so that
  // no reader takes it for a damaged entry.
  if (__builtin_expect((mode & CYCLIC_FILE_MODE_ENTRIES) != 0 ||
                           (data != nullptr && begins_like_entry(data, length)),
                       0)) {
    if (data == nullptr || length <= 0) {
      errno = EINVAL;
      return (mode & CYCLIC_FILE_MODE_WRITE) ? CYCLIC_FILE_WRITE_FAILED
                                             : CYCLIC_FILE_PERMISSION_DENIED;
    }
    const bool bare = (mode & CYCLIC_FILE_MODE_ENTRIES) == 0;
    return write_entry_as(bare ? 0 : CYCLIC_FILE_LEVEL_INFO, bare, data, length);
  }
  return write_record(data, length, nullptr);
}

int CCyclicFile::write_entry(int level, const char *data, int32_t length, int64_t time_ns,
                             int32_t tid) {
  if (level < 0 || level >= kEntryLevels || length < 0 || (data == nullptr && length > 0) ||
      tid < 0) {
    if (!(mode & CYCLIC_FILE_MODE_WRITE)) return CYCLIC_FILE_PERMISSION_DENIED;
    errno = EINVAL;
    return CYCLIC_FILE_WRITE_FAILED;
  }
  return write_entry_as(level, false, data, length, time_ns, tid);
}

int CCyclicFile::write_entry_as(int level, bool bare, const char *data, int32_t length,
                                int64_t time_ns, int32_t tid) {
  if (!(mode & CYCLIC_FILE_MODE_WRITE)) return CYCLIC_FILE_PERMISSION_DENIED;
  // The ring's size as loaded; the write checks the record against the
  // header it reloads.
  if (length > longest_payload(ring_size) - kEntryHeadSize) {
    errno = EMSGSIZE;
    return CYCLIC_FILE_WRITE_FAILED;
  }
  EntryDraft draft(level, bare, data, length, time_ns, tid);
  if (!draft.ready()) return CYCLIC_FILE_NO_MEMORY;
  return write_record(draft.bytes(), draft.length(), &draft);
}

// A record of `length` bytes at `data`: a raw message, or the entry `draft`
// holds, sealed under the locks.
int CCyclicFile::write_record(const char *data, int32_t length, EntryDraft *draft) {
  if (!(mode & CYCLIC_FILE_MODE_WRITE)) return CYCLIC_FILE_PERMISSION_DENIED;
  // The caller learns why a write failed (a flush's EIO, say), whatever
  // leaving the locks does to errno: the guard outlives them.
  KeptErrno kept;
  FileLocks locks(*this);
  int result = locks.held() ? locked_write(data, length, draft) : CYCLIC_FILE_WRITE_FAILED;
  // The records and the header disagree: mend the header and try once more.
  if (__builtin_expect(result == kRingDamaged, 0)) result = salvage_and_write(data, length, draft);
  kept.note();
  return result;
}

// Out of line: the common write stays small.
[[gnu::noinline]] int CCyclicFile::salvage_and_write(const char *data, int32_t length,
                                                     EntryDraft *draft) {
  if (reload_header() == 0) {
    PublishedChange change(published);
    if (salvage(true)) rebase_published();
  }
  int result = locked_write(data, length, draft);
  return result == kRingDamaged ? CYCLIC_FILE_WRITE_FAILED : result;
}

// One attempt at the write under both locks: a status, or kRingDamaged.
inline int CCyclicFile::locked_write(const char *data, int32_t length, EntryDraft *draft) {
  if (reload_header() != 0) return CYCLIC_FILE_READ_ALL_FAILED;
  // Refused before anything changes, and said why.
  if (__builtin_expect(data == nullptr || length <= 0 || length > longest_payload(buffer_size),
                       0)) {
    errno = data == nullptr || length <= 0 ? EINVAL : EMSGSIZE;
    return CYCLIC_FILE_WRITE_FAILED;
  }
  const bool flushed = (mode & CYCLIC_FILE_MODE_FLUSH) != 0;
  const char *record_from = write_pos;
  uint64_t *const words = published;
  // However the write ends, it leaves no phase for a takeover to redo.
  PhaseReset phase_reset(words);
  crash_point(CrashPoint::kHeaderReloaded);
  // The header without the record: as reloaded, or as the interim stores it.
  uint64_t intent_read = pack(static_cast<int32_t>(read_pos - ring_start), message_count);
  uint64_t intent_write = pack(static_cast<int32_t>(write_pos - ring_start), wasted_tail);
  const int64_t from = record_from - ring_start;
  uint64_t advanced = 0;
  int interim = 0;
  {
    // The evictions, as readers see them: one change of the header.
    PublishedChange change(words);
    interim = store_interim_header(data, length, &intent_read, &intent_write);
    if (interim >= 0 && interim != kRingDamaged && words != nullptr) {
      // What the header is without the record, for whoever takes over.
      advanced = load_word(words, kAdvanced);
      store_word(words, kIntentRead, intent_read);
      store_word(words, kIntentWrite, intent_write);
      store_word(words, kPhase, kPhaseRecord);
    }
  }
  if (interim < 0) return CYCLIC_FILE_WRITE_FAILED;
  if (interim == kRingDamaged) return kRingDamaged;
  // A flush that fails fails the write (its errno stays): the header then
  // holds what the ring holds, the disk perhaps not.
  if (interim == kInterimHeaderStored && flushed && flush_header(*this) != 0)
    return CYCLIC_FILE_WRITE_FAILED;
  crash_point(CrashPoint::kInterimStored);
  // An entry takes the number the record will have, and its time, here:
  // in the order of the lock.
  if (draft != nullptr) draft->seal(words != nullptr ? load_word(words, kAppended) + 1 : 0);
  // A refused record leaves the header unstored: the file still describes
  // the ring as it was (less the evictions, when they were stored).
  int written = write_message(data, length);
  if (written == CYCLIC_BUFFER_WRITE_FAILED) return kRingDamaged;
  if (written != CYCLIC_BUFFER_OK) return CYCLIC_FILE_WRITE_FAILED;
  crash_point(CrashPoint::kRecordWritten);
  if (flushed && flush_record(*this, record_from, length) != 0) return CYCLIC_FILE_WRITE_FAILED;
  uint64_t appended = 0;
  if (words != nullptr) {
    // The header with the record and the counts, for whoever takes over.
    appended = load_word(words, kAppended) + 1;
    advanced += static_cast<uint64_t>(
        moved_forward(buffer_size, from, write_pos - ring_start, message_count == 1));
    store_word(words, kIntentFinalRead,
               pack(static_cast<int32_t>(read_pos - ring_start), message_count));
    store_word(words, kIntentFinalWrite,
               pack(static_cast<int32_t>(write_pos - ring_start), wasted_tail));
    store_word(words, kIntentAppended, appended);
    store_word(words, kIntentAdvanced, advanced);
    store_word(words, kPhase, kPhaseCounted);
  }
  {
    // The record counted, as readers see it: the header and the counts in
    // one change.
    PublishedChange change(words);
    if (store_header() != 0) return CYCLIC_FILE_WRITE_FAILED;
    if (words != nullptr) {
      store_word(words, kAppended, appended);  // messages ever appended
      store_word(words, kAdvanced, advanced);
    }
  }
  // Counted, but not known to be on disk when this flush fails.
  if (flushed && flush_header(*this) != 0) return CYCLIC_FILE_WRITE_FAILED;
  crash_point(CrashPoint::kHeaderStored);
  return CYCLIC_FILE_OK;
}

// Drops from the file's header the records that writing a message of
// `length` bytes will overwrite, before any of their bytes is touched.
// Returns 0 when nothing needed storing (the write evicts nothing, or will be
// refused anyway), kInterimHeaderStored, kRingDamaged when a record to evict is not
// whole (nothing is stored then), or CYCLIC_FILE_WRITE_FAILED when the header
// did not encode.
int CCyclicFile::store_interim_header(const char *data, int32_t length, uint64_t *intent_read,
                                      uint64_t *intent_write) {
  if (message_count == 0 || data == nullptr || length <= 0 || length > longest_payload(buffer_size))
    return 0;
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
  if (make_room(kLengthWidth, length, 1) != CYCLIC_BUFFER_OK) {
    put_back();
    return kRingDamaged;
  }
  if (message_count == noted_count) return 0;
  int stored = encode_ring_header_into(*this, map_base, header_length);
  *intent_read = pack(static_cast<int32_t>(read_pos - ring_start), message_count);
  *intent_write = pack(static_cast<int32_t>(write_pos - ring_start), wasted_tail);
  // The ring keeps the evictions (they moved only the read position and the
  // count), so write_message finds the room made and does not walk the same
  // records again. A ring that the evictions emptied goes back to its state:
  // write_message places the record of an empty ring differently, and works
  // that case out itself.
  if (stored != header_length || message_count == 0) put_back();
  return stored == header_length ? kInterimHeaderStored : CYCLIC_FILE_WRITE_FAILED;
}

// Formats into a buffer one byte larger than the text it may hold, since
// vsnprintf always ends with a NUL that is not part of the message. Each pass
// formats from a fresh copy of the arguments; the second pass is sized from
// the length the first one reported. The first pass formats on the stack, so
// a text of up to 512 bytes costs no allocation.
int CCyclicFile::vfwritef(const char *format, va_list args, int level) {
  if (format == nullptr) return CYCLIC_FILE_WRITE_FAILED;
  auto emit = [&](const char *text, int32_t length) {
    return level < 0 ? write(text, length) : write_entry(level, text, length);
  };
  char first[kFirstFormatSize + 1];
  va_list pass;
  va_copy(pass, args);
  int formatted = std::vsnprintf(first, sizeof first, format, pass);
  va_end(pass);
  if (formatted < 0) return CYCLIC_FILE_WRITE_FAILED;
  if (formatted <= kFirstFormatSize) return emit(first, formatted);
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
      int result = emit(text, formatted);
      vel_free(text);
      return result;
    }
    vel_free(text);
    if (size > INT32_MAX / 2) return CYCLIC_FILE_NO_MEMORY;
    size = formatted > size * 2 ? formatted : size * 2;
  }
}

// ---------------------------------------------------------------------------
// Flushing

// The whole file: header and ring fill the mapping exactly (every reload
// checks it). Nonzero on success, as os_flush_view. Flushing takes no lock, so it reads only what
// stays fixed from load to release, never the ring state another thread of this handle may be
// reloading at the same moment.
int CCyclicFile::flush_view() { return os_flush_view(map_base, mapped_length); }

}  // namespace rotolog::detail
