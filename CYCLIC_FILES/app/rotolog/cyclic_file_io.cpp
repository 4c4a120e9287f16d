// CCyclicFile: one write or read of a cyclic file, from the locks to the last
// store: the header's reload, the write and its stores, flushing, the repair
// of a ring that disagrees with its header, and the reads.
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
//   3. lays the record at the write position;
//   4. stores the final header, counting the record, then adds one to the
//      lock file's count of messages ever appended.
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
//   records (the page cache outlives it); the next holder finds it torn at
//   worst, and the repair mends that;
// - after a crashed machine the pages of the file may come from different
//   moments; the repair at the next write or read brings the header back to
//   the records that are whole (without CYCLIC_FILE_MODE_FLUSH, what the
//   kernel had not written back is lost).
// Every write and read that meets a record that is not whole repairs the
// header (salvage) and tries once more.
#include <cstdio>
#include <cstring>

#include "rotolog/cyclic_buffer.h"
#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_handle.h"
#include "rotolog/cyclic_file_header_codec.h"

namespace rotolog::detail {

namespace {

constexpr int32_t kFirstFormatSize = 512;
// Writers that changed the header while a read-only reader copied the file
// make it copy again, this many times at most.
constexpr int kSnapshotAttempts = 1000;

// A ring operation that met a record that is not whole: the header and the
// records disagree, and a salvage can mend them.
constexpr int kRingDamaged = 1;
constexpr int kInterimHeaderStored = 2;

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

// One bit per offset of the stored span: the offsets from which a walk of
// whole records is known not to end at the write position.
class FailedStarts {
 public:
  explicit FailedStarts(int64_t span)
      : bits_(static_cast<unsigned char *>(vel_calloc(static_cast<std::size_t>(span / 8 + 1), 1))) {
  }
  ~FailedStarts() {
    if (bits_ != nullptr) vel_free(bits_);
  }
  FailedStarts(const FailedStarts &) = delete;
  FailedStarts &operator=(const FailedStarts &) = delete;

  bool usable() const { return bits_ != nullptr; }
  bool has(int64_t at) const { return (bits_[at >> 3] >> (at & 7)) & 1; }
  void add(int64_t at) {
    bits_[at >> 3] = static_cast<unsigned char>(bits_[at >> 3] | 1 << (at & 7));
  }

 private:
  unsigned char *bits_;
};

// Grows *block to `needed` elements; false when memory is short (the block
// is then kept as it was).
template <typename Element>
bool reserve(Element **block, std::size_t *room, std::size_t needed) {
  if (needed <= *room) return true;
  void *grown = vel_realloc(*block, needed * sizeof(Element));
  if (grown == nullptr) return false;
  *block = static_cast<Element *>(grown);
  *room = needed;
  return true;
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

CCyclicFile::FileLocks::FileLocks(CCyclicFile &file, bool take)
    : file_(file), held_(take && file.enter_locks()) {}

CCyclicFile::FileLocks::~FileLocks() {
  if (held_) file_.leave_locks();
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
    return -1;
  }
  ring_start = base + header_length;
  ring_end = ring_start + header->buffer_size;
  apply_header(header);
  // The ring state is a cache of the header: a failure of an earlier
  // operation of this handle does not outlive it (a salvage mends what
  // caused it).
  error_flag = 0;
  return 0;
}

int CCyclicFile::store_header() {
  int stored = encode_ring_header_into(*this, map_base, header_length);
  return stored == header_length ? 0 : -1;
}

// A private copy of the whole mapping (vel_malloc; the caller frees it) in
// which the header did not change while the rest was copied: a writer
// changes the header before it touches any record the header counts, and
// again after, so an unchanged header means the records it counts are the
// ones copied. Null when memory ran out or writers kept changing it.
char *CCyclicFile::snapshot_mapping() {
  char *copy = static_cast<char *>(vel_malloc(mapped_length));
  if (copy == nullptr) return nullptr;
  const std::size_t room = header_room();
  for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
    std::memcpy(copy, map_base, mapped_length);
    // The copy's loads come before the header is read again. The writers are
    // other processes; ThreadSanitizer, which cannot see them, does not take
    // fences, so its build keeps only the compiler's ordering.
#if defined(__SANITIZE_THREAD__)
    std::atomic_signal_fence(std::memory_order_seq_cst);
#else
    std::atomic_thread_fence(std::memory_order_acquire);
#endif
    if (std::memcmp(copy, map_base, room) == 0) return copy;
  }
  vel_free(copy);
  return nullptr;
}

// Moves the ring's pointers from the bytes at `from` to the same offsets in
// the mapping, so that no pointer is left into a copy that is freed.
void CCyclicFile::rebase_ring(char *from) {
  const std::ptrdiff_t shift = map_base - from;
  ring_start += shift;
  ring_end += shift;
  write_pos += shift;
  read_pos += shift;
}

// ---------------------------------------------------------------------------
// Writing

int CCyclicFile::write(const char *data, int32_t length) {
  if (!(mode & CYCLIC_FILE_MODE_WRITE)) return CYCLIC_FILE_PERMISSION_DENIED;
  FileLocks locks(*this);
  if (!locks.held()) return CYCLIC_FILE_WRITE_FAILED;
  int result = locked_write(data, length);
  // The records and the header disagree: mend the header and try once more.
  if (__builtin_expect(result == kRingDamaged, 0)) result = salvage_and_write(data, length);
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
// Flushing

// The whole file: header and ring fill the mapping exactly (every reload
// checks it). Flushing takes no lock, so it reads only what stays fixed from
// load to release, never the ring state another thread of this handle may be
// reloading at the same moment.
int CCyclicFile::flush_view() { return os_flush_view(map_base, mapped_length); }

// ---------------------------------------------------------------------------
// Repair: consistency and salvage
//
// After a crash the header and the ring's pages may come from different
// moments, and after a writer died inside a write its header may be torn. The
// records cannot be trusted to agree with the header, so they are walked:
//   1. From the read position. When the header's count of whole records
//      ends exactly at the write position, the header is consistent.
//   2. The earliest other start from which whole records reach the write
//      position exactly: the longest run of the newest messages, which is
//      what a black box is for. It wins over the walk from the read position
//      when that does not reach the write position or holds fewer records
//      (a damaged length that swallows its followers in one record). Chains
//      of records are followed once each: a start whose walk meets a failed
//      offset fails too, so the search is one pass over the span. The whole
//      records from the read position up to the damage are kept as well
//      when they can be laid again to end where the newer run begins: they
//      are older than it, so the ring order holds.
//   3. When no run reaches the write position: the run from the read
//      position up to the first record that is not whole, with the write
//      position moved to its end.
// In 2 and 3 the record just before the first one that is not whole is
// dropped as well (see below).
// Every kept record lies inside the header's span, in ring order, once.
void CCyclicFile::plan_salvage(SalvagePlan *plan) const {
  const int64_t span = stored_span();
  const int64_t read_offset = read_pos - ring_start;
  const int64_t size = buffer_size;
  auto offset_at = [&](int64_t distance) {
    const int64_t at = read_offset + distance;
    return at > size ? at - size : at;
  };
  *plan = SalvagePlan{true, message_count, span, 0, 0, 0, read_offset, read_offset, 0, 0, 0};
  if (message_count == 0) return;

  int64_t distance = 0;
  int32_t records = 0;
  int64_t payload = 0;
  RecordStep step;
  RecordStep last{};
  while (distance < span && step_record(offset_at(distance), span - distance, 1, &step)) {
    distance += step.used;
    payload += step.length;
    ++records;
    last = step;
  }
  const bool reached = distance == span;
  plan->consistent = reached && records == message_count;
  if (plan->consistent) {
    plan->kept_count = records;
    plan->kept_span = distance;
    plan->kept_payload = payload;
    plan->write_offset = offset_at(distance);
    return;
  }
  const int64_t walked_whole = distance;
  if (!reached && records > 0) {
    // The record just before the first one that is not whole ends where
    // bytes of another moment begin: its own tail is likely among them
    // (after a crashed machine it was torn more often than not), so it is
    // not kept.
    --records;
    payload -= last.length;
    distance -= last.used;
  }
  plan->kept_count = records;
  plan->kept_span = distance;
  plan->kept_payload = payload;
  plan->write_offset = offset_at(distance);

  FailedStarts failed(span);
  if (!failed.usable()) return;  // no memory for the search: the walk stands
  for (int64_t walked = 0; walked < walked_whole;) {
    step_record(offset_at(walked), span - walked, 1, &step);
    failed.add(walked);
    walked += step.used;
  }
  if (!reached) failed.add(walked_whole);
  for (int64_t start = 1; start + 5 <= span; ++start) {
    if (failed.has(start)) continue;
    int64_t at = start;
    int32_t run = 0;
    int64_t run_payload = 0;
    while (at < span && !failed.has(at) && step_record(offset_at(at), span - at, 1, &step)) {
      failed.add(at);
      at += step.used;
      run_payload += step.length;
      ++run;
    }
    if (at == span) {
      if (!reached || run > records) {
        plan->kept_count = run;
        plan->kept_span = span - start;
        plan->kept_payload = run_payload;
        plan->read_offset = offset_at(start);
        plan->write_offset = offset_at(span);
        if (!reached && records > 0 && start >= distance)
          plan_older_run(plan, records, payload, start);
      }
      return;
    }
    if (at < span) failed.add(at);
  }
}

// The older run (`records` whole records from the read position, `payload`
// bytes) laid again so that it ends where the newer run begins, at span
// distance `newer_start`. Laid record by record as a writer lays them, it
// takes its records' bytes plus a skipped tail of 0 to 3 bytes, depending
// on where it begins: the first start that ends exactly there wins.
void CCyclicFile::plan_older_run(SalvagePlan *plan, int32_t records, int64_t payload,
                                 int64_t newer_start) const {
  const int64_t size = buffer_size;
  const int64_t read_offset = read_pos - ring_start;
  auto offset_at = [&](int64_t distance) {
    const int64_t at = read_offset + distance;
    return at > size ? at - size : at;
  };
  const int64_t span = stored_span();
  const int64_t record_bytes = payload + 4 * static_cast<int64_t>(records);
  const int64_t newer_at = offset_at(newer_start) % size;
  for (int64_t skipped = 0; skipped < 4; ++skipped) {
    const int64_t begin = newer_start - record_bytes - skipped;
    if (begin < 0) return;
    int64_t laid_at = offset_at(begin);
    int64_t walked = 0;
    RecordStep step{};
    for (int32_t i = 0; i < records; ++i) {
      if (!step_record(offset_at(walked), span - walked, 1, &step)) return;  // walked whole before
      walked += step.used;
      place_span(size, &laid_at, 4, step.length);
    }
    if (laid_at % size != newer_at) continue;
    plan->older_count = records;
    plan->older_from = read_offset;
    plan->newer_from = plan->read_offset;
    plan->kept_count += records;
    plan->kept_payload += payload;
    plan->kept_span = span - begin;
    plan->read_offset = offset_at(begin);
    return;
  }
}

void CCyclicFile::apply_salvage(const SalvagePlan &plan) {
  message_count = plan.kept_count;
  if (message_count == 0) {
    read_pos = ring_start;
    write_pos = ring_start;
    wasted_tail = 0;
    return;
  }
  read_pos = ring_start + plan.read_offset;
  write_pos = ring_start + plan.write_offset;
  if (plan.older_count > 0 && !move_older_run(plan)) {
    // No memory to move it: the newer run alone.
    message_count -= plan.older_count;
    read_pos = ring_start + plan.newer_from;
  }
}

// Copies the older run aside (its new place may overlap its old one), then
// lays its records from the kept read position, as a writer would. A crash
// in between leaves the header as it was: the next salvage finds the newer
// run untouched, since nothing is laid from where it begins.
bool CCyclicFile::move_older_run(const SalvagePlan &plan) {
  const int64_t size = buffer_size;
  const int64_t span = plan.newer_from >= plan.older_from
                           ? plan.newer_from - plan.older_from
                           : size - plan.older_from + plan.newer_from;
  char *aside = static_cast<char *>(vel_malloc(static_cast<std::size_t>(span) + 1));
  if (aside == nullptr) return false;
  // The records, each as its length and its payload joined.
  const RingLayout ring{ring_start, buffer_size, wasted_tail};
  int64_t at = plan.older_from;
  int64_t left = span;
  int64_t filled = 0;
  for (int32_t i = 0; i < plan.older_count; ++i) {
    RecordStep step{};
    if (!step_over(ring, at, left, 1, &step)) {  // walked whole when planned
      vel_free(aside);
      return false;
    }
    std::memcpy(aside + filled, &step.length, 4);
    const int64_t before_end = size - step.payload;
    if (before_end >= step.length) {
      std::memcpy(aside + filled + 4, ring_start + step.payload,
                  static_cast<std::size_t>(step.length));
    } else {
      std::memcpy(aside + filled + 4, ring_start + step.payload,
                  static_cast<std::size_t>(before_end));
      std::memcpy(aside + filled + 4 + before_end, ring_start,
                  static_cast<std::size_t>(step.length - before_end));
    }
    filled += 4 + step.length;
    at = step.next;
    left -= step.used;
  }
  char *const kept_write_pos = write_pos;
  write_pos = read_pos;
  for (int64_t taken = 0; taken < filled;) {
    int32_t length = 0;
    std::memcpy(&length, aside + taken, 4);
    place_piece(4, length, aside + taken + 4);
    taken += 4 + length;
  }
  vel_free(aside);
  write_pos = kept_write_pos;
  return true;
}

bool CCyclicFile::salvage() {
  SalvagePlan plan;
  plan_salvage(&plan);
  if (plan.consistent) return false;
  apply_salvage(plan);
  if (!read_only_mapping) store_header();
  return true;
}

// ---------------------------------------------------------------------------
// Reading

// Every read starts here. Under both locks the ring is the mapping's, its
// header reloaded. On a read-only mapping (or for a check that must change
// nothing) no lock is taken: the ring is that of a private snapshot of the
// mapping (see snapshot_mapping), and ending the read moves it back onto
// the mapping.
CCyclicFile::ReadView::ReadView(CCyclicFile &file, bool snapshot)
    : file_(file),
      locks_(file, !snapshot && !file.read_only_mapping),
      snapshot_(nullptr),
      status_(CYCLIC_FILE_READ_ALL_FAILED) {
  if (!snapshot && !file.read_only_mapping) {
    if (locks_.held() && file.reload_header() == 0) status_ = 0;
    return;
  }
  snapshot_ = file.snapshot_mapping();
  if (snapshot_ == nullptr) return;
  if (file.reload_header_from(snapshot_) == 0) {
    status_ = 0;
    return;
  }
  vel_free(snapshot_);
  snapshot_ = nullptr;
}

CCyclicFile::ReadView::~ReadView() {
  if (snapshot_ == nullptr) return;
  file_.rebase_ring(snapshot_);
  vel_free(snapshot_);
}

int CCyclicFile::read_all(char **buffer, int32_t *length) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (buffer == nullptr || length == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  *buffer = nullptr;
  *length = 0;
  char *block = nullptr;
  int64_t copied = 0;
  int32_t messages_read = 0;
  {
    ReadView view(*this);
    if (view.status() != 0) return view.status();
    if (message_count == 0) return 0;
    block = static_cast<char *>(vel_malloc(static_cast<std::size_t>(buffer_size) + 1));
    if (block == nullptr) return CYCLIC_FILE_NO_MEMORY;
    // One walk over the records copies every payload; the ring's state, and
    // so the file, stay as they are.
    int copy_result = copy_messages(block, buffer_size, &copied);
    // The records and the header disagree: mend the header, then copy what
    // it keeps.
    if (copy_result == CYCLIC_BUFFER_WRITE_FAILED && salvage())
      copy_result = copy_messages(block, buffer_size, &copied);
    messages_read = copy_result == CYCLIC_BUFFER_OK ? message_count : -1;
  }
  if (messages_read <= 0) {
    vel_free(block);
    return messages_read < 0 ? CYCLIC_FILE_READ_ALL_FAILED : 0;
  }
  *buffer = block;
  *length = static_cast<int32_t>(copied);
  return messages_read;
}

// Same locking, reload and salvage as read_all, so a copy holds exactly what
// a reader sees; the one walk of copy_messages checks every record.
int CCyclicFile::copy_newest(int32_t newest, MessageCopy *copy, const uint64_t *above) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (copy == nullptr || newest < 0) return CYCLIC_FILE_READ_ALL_FAILED;
  copy->count = 0;
  copy->ring_count = 0;
  copy->appended = 0;
  ReadView view(*this);
  if (view.status() != 0) return view.status();
  // Read under the lock, in the same step as the records it numbers. (A
  // read-only mapping, copied without the lock, has no lock file and so no
  // count: its copies are not numbered.)
  const uint64_t appended = appended_messages();
  if (above != nullptr && counts_messages()) {
    const uint64_t numbered_above = appended > *above ? appended - *above : 0;
    if (numbered_above < static_cast<uint64_t>(newest))
      newest = static_cast<int32_t>(numbered_above);
  }
  int result = CYCLIC_FILE_READ_ALL_FAILED;
  for (bool salvaged = false;;) {
    const int32_t wanted = message_count < newest ? message_count : newest;
    if (!reserve(&copy->bytes, &copy->bytes_room, static_cast<std::size_t>(buffer_size) + 1) ||
        !reserve(&copy->lengths, &copy->lengths_room, static_cast<std::size_t>(wanted) + 1)) {
      result = CYCLIC_FILE_NO_MEMORY;
      break;
    }
    int64_t copied = 0;
    const int copy_result =
        copy_messages(copy->bytes, buffer_size, &copied, message_count - wanted, copy->lengths);
    if (copy_result == CYCLIC_BUFFER_OK) {
      copy->count = wanted;
      copy->ring_count = message_count;
      copy->appended = appended;
      result = CYCLIC_FILE_OK;
      break;
    }
    // The records and the header disagree: mend the header once, then copy
    // what it keeps.
    if (salvaged || copy_result != CYCLIC_BUFFER_WRITE_FAILED || !salvage()) break;
    salvaged = true;
  }
  return result;
}

void CCyclicFile::release_copy(MessageCopy *copy) {
  if (copy == nullptr) return;
  if (copy->bytes != nullptr) vel_free(copy->bytes);
  if (copy->lengths != nullptr) vel_free(copy->lengths);
  *copy = MessageCopy{};
}

int CCyclicFile::for_each_message(MessageVisitor visit, void *context) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (visit == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  MessageCopy copy{};
  int copied = copy_newest(INT32_MAX, &copy);
  if (copied != 0) {
    release_copy(&copy);
    return copied;
  }
  const char *message = copy.bytes;
  int32_t visited = 0;
  while (visited < copy.count) {
    const int32_t length = copy.lengths[visited++];
    if (visit(message, length, context) != 0) break;
    message += length;
  }
  release_copy(&copy);
  return visited;
}

int CCyclicFile::verify(SalvagePlan *plan) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  ReadView view(*this, true);
  if (view.status() != 0) return view.status();
  plan_salvage(plan);
  return 0;
}

}  // namespace rotolog::detail
