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

namespace rotolog::detail {

namespace {

constexpr int32_t kFirstFormatSize = 512;

// A ring operation that met a record that is not whole: the header and the
// records disagree, and a salvage can mend them.
constexpr int kRingDamaged = 1;
constexpr int kInterimHeaderStored = 2;

// Flush mode, the record's pages: one range when the record lies in one
// piece, which it does whenever it ends length + 4 bytes or more after the
// start of the ring; the two ends of the ring when its payload crossed the
// end. record_from is the write position before the write. True when every
// flush succeeded; otherwise errno is that of the first that failed (both
// ranges are flushed all the same).
bool flush_record(const CCyclicFile &file, const char *record_from, int32_t length) {
  const int64_t record_bytes = static_cast<int64_t>(length) + 4;
  if (file.write_pos - file.ring_start >= record_bytes) {
    char *record_start = file.write_pos - record_bytes;
    return os_flush_view(record_start, static_cast<std::size_t>(record_bytes)) != 0;
  }
  const bool first = os_flush_view(const_cast<char *>(record_from),
                                   static_cast<std::size_t>(file.ring_end - record_from)) != 0;
  const int first_error = errno;
  const bool second =
      os_flush_view(file.ring_start, static_cast<std::size_t>(file.write_pos - file.ring_start)) !=
      0;
  if (!first) errno = first_error;
  return first && second;
}

// A flush of the header's bytes: true when it succeeded (errno otherwise).
bool flush_header(const CCyclicFile &file) {
  return os_flush_view(file.map_base, static_cast<std::size_t>(file.header_length)) != 0;
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
// The published state
//
// Readers take no lock: they copy the header, the counts and the ring while
// writers go on (see "Reading"). What writers publish for them, in the lock
// file's shared words (PublishedWord):
// - kSequence is odd from before a writer's first store to the header or to
//   these words until after its last: a reader that sees the same even value
//   before and after it copied the header and the counts has them as of one
//   moment;
// - kAppended numbers the messages: the newest counted is number kAppended;
// - kAdvanced counts the bytes the write position ever moved forward,
//   skipped tails included (a ring emptied and begun again at its start
//   moves it forward past the end). Two looks whose kAdvanced differ by a
//   whole ring or more share no byte;
// - kPhase and the intent words let whoever takes over from a writer that
//   died, and a reader that finds one, finish or undo its write.
// A repair that changes the header otherwise (a salvage) moves kAdvanced on
// by a whole ring, so that no copy taken across it keeps a record.
//
// All of it may be scribbled by anyone who may write the file: what is read
// from it is checked (the header it names through the one header check) or
// only compared, never used as an address, a length or an index.

namespace {

uint64_t load_word(const uint64_t *words, PublishedWord word) {
  return __atomic_load_n(&words[word], __ATOMIC_ACQUIRE);
}

void store_word(uint64_t *words, PublishedWord word, uint64_t value) {
  __atomic_store_n(&words[word], value, __ATOMIC_RELEASE);
}

// A fence for memory that other processes share. ThreadSanitizer, which
// cannot see them and does not take fences, gets the compiler's ordering
// only.
void fence(std::memory_order order) {
#if defined(__SANITIZE_THREAD__)
  (void)order;
  std::atomic_signal_fence(std::memory_order_seq_cst);
#else
  std::atomic_thread_fence(order);
#endif
}

// Keeps the stores that follow after those before, for other processes too
// (a plain compiler barrier on x86, whose stores are seen in order).
void order_stores() { fence(std::memory_order_release); }

uint64_t pack(int32_t low, int32_t high) {
  return static_cast<uint32_t>(low) | static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32;
}
int32_t low_half(uint64_t word) { return static_cast<int32_t>(word & 0xffffffffu); }
int32_t high_half(uint64_t word) { return static_cast<int32_t>(word >> 32); }

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

// A change of the header and of the published words by the holder of the
// lock: the sequence is odd from construction to destruction. Without
// published words (no lock file of this version) it does nothing.
class CCyclicFile::PublishedChange {
 public:
  explicit PublishedChange(uint64_t *words) : words_(words) {
    if (words_ == nullptr) return;
    // Odd, and not the odd value a reader may have seen before a writer
    // died: a reader that copied across this change sees it.
    sequence_ = (load_word(words_, kSequence) | 1) + 2;
    store_word(words_, kSequence, sequence_);
    order_stores();
  }
  ~PublishedChange() {
    if (words_ == nullptr) return;
    order_stores();
    store_word(words_, kSequence, sequence_ + 1);
  }
  PublishedChange(const PublishedChange &) = delete;
  PublishedChange &operator=(const PublishedChange &) = delete;
  uint64_t *words() const { return words_; }

 private:
  uint64_t *words_;
  uint64_t sequence_ = 0;
};

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

// The header a dead writer's phase says, into `ring`'s fields (not a
// file): for kPhaseRecord the header without its record, for kPhaseCounted
// the header with it. Only when the header the ring holds is one that write
// can have left (its write position is the one it started from, or the one
// it was to end at): a lock file kept beside a data file restored from
// elsewhere says nothing of it. And only when the intended header describes
// this ring (the one header check). Returns whether the fields changed.
bool apply_intent(const uint64_t *words, CCyclicBuffer &ring) {
  const uint64_t phase = words[kPhase];
  if (phase != kPhaseRecord && phase != kPhaseCounted) return false;
  const int64_t write_offset = ring.write_pos - ring.ring_start;
  const bool left_by_it =
      write_offset == low_half(words[kIntentWrite]) ||
      (phase == kPhaseCounted && write_offset == low_half(words[kIntentFinalWrite]));
  if (!left_by_it) return false;
  const uint64_t read = words[phase == kPhaseRecord ? kIntentRead : kIntentFinalRead];
  const uint64_t write = words[phase == kPhaseRecord ? kIntentWrite : kIntentFinalWrite];
  cyclic_file_header_t intended;
  intended.init();
  intended.set_buffer_size(ring.buffer_size);
  intended.set_message_count(high_half(read));
  intended.set_wasted_tail(high_half(write));
  intended.set_write_offset(low_half(write));
  intended.set_read_offset(low_half(read));
  if (!cyclic_file_header_describes_ring(&intended, ring.buffer_size)) return false;
  apply_ring_header(ring, &intended);
  return true;
}

// Under both locks, after the holder died: its write is finished or undone
// by its phase, the header salvaged, and the sequence made even. After a
// crash of the machine (earlier_boot) the lock file's pages may be older or
// newer than the data file's: its phase is not trusted, only the salvage.
void CCyclicFile::repair_after_holder_died(bool earlier_boot) {
  PublishedChange change(published);
  if (reload_header() != 0) return;
  bool changed = false;
  if (published != nullptr && !earlier_boot) {
    uint64_t words[kPublishedWords];
    for (int i = 0; i < kPublishedWords; ++i)
      words[i] = load_word(published, static_cast<PublishedWord>(i));
    if (apply_intent(words, *this)) {
      changed = store_header() == 0;
      if (words[kPhase] == kPhaseCounted) {
        store_word(published, kAppended, words[kIntentAppended]);
        store_word(published, kAdvanced, words[kIntentAdvanced]);
      }
    }
  }
  if (salvage(true) || changed || earlier_boot) rebase_published();
  if (published != nullptr) store_word(published, kPhase, kPhaseIdle);
}

// Under both locks: a header that disagrees with its records is salvaged and
// stored. One walk over the records when they agree.
void CCyclicFile::mend() {
  FileLocks locks(*this);
  if (!locks.held() || reload_header() != 0) return;
  SalvagePlan plan;
  plan_salvage(&plan);
  if (!plan.consistent) {
    PublishedChange change(published);
    apply_salvage(plan);
    store_header();
    rebase_published();
  }
  count_past_entries();
}

// Entries are numbered from the lock file's count. A file copied or restored
// beside a lock file that counts fewer messages than its entries' numbers
// would have its new entries numbered below its old ones, and readers would
// take them for records of another moment: under both locks, after a mend,
// the count moves up to the highest entry's number and the messages after it.
void CCyclicFile::count_past_entries() {
  if (published == nullptr || message_count == 0 || !positions_valid()) return;
  const int64_t span = stored_span();
  // The highest number an entry of the ring takes, with the messages after
  // it (an entry of another moment may be out of order).
  uint64_t needed = 0;
  uint64_t newest = 0;
  uint64_t after = 0;
  RecordStep step;
  for (int64_t at = read_pos - ring_start, walked = 0;
       walked < span && step_record(at, span - walked, 1, &step);
       walked += step.used, at = step.next) {
    char head[kEntryHeadSize];
    EntryFields fields;
    if (step.length >= kEntryHeadSize) copy_payload_head(step, head);
    if (step.length >= kEntryHeadSize && decode_entry(head, kEntryHeadSize, &fields)) {
      newest = fields.number;
      after = 0;
    } else {
      ++after;
    }
    if (newest != 0 && newest + after > needed) needed = newest + after;
  }
  if (needed <= load_word(published, kAppended)) return;
  PublishedChange change(published);
  store_word(published, kAppended, needed);
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
  if (length > ring_size - 4 - kEntryHeadSize) {
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
  int result = CYCLIC_FILE_WRITE_FAILED;
  int error = 0;
  {
    FileLocks locks(*this);
    if (!locks.held()) return CYCLIC_FILE_WRITE_FAILED;
    result = locked_write(data, length, draft);
    // The records and the header disagree: mend the header and try once more.
    if (__builtin_expect(result == kRingDamaged, 0))
      result = salvage_and_write(data, length, draft);
    error = errno;
  }
  // The caller learns why a write failed (a flush's EIO, say), whatever
  // leaving the locks did to errno.
  if (__builtin_expect(result != CYCLIC_FILE_OK, 0)) errno = error;
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
  if (__builtin_expect(data == nullptr || length <= 0 || length > buffer_size - 4, 0)) {
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
  if (interim == kInterimHeaderStored && flushed && !flush_header(*this))
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
  if (flushed && !flush_record(*this, record_from, length)) return CYCLIC_FILE_WRITE_FAILED;
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
  if (flushed && !flush_header(*this)) return CYCLIC_FILE_WRITE_FAILED;
  crash_point(CrashPoint::kHeaderStored);
  return CYCLIC_FILE_OK;
}

// Drops from the file's header the records that writing a message of
// `length` bytes will overwrite, before any of their bytes is touched.
// Returns 0 when nothing needed storing (the write evicts nothing, or will be
// refused anyway), kInterimHeaderStored, kRingDamaged when a record to evict is not
// whole (nothing is stored then), or -1 when the header did not encode.
int CCyclicFile::store_interim_header(const char *data, int32_t length, uint64_t *intent_read,
                                      uint64_t *intent_write) {
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
  *intent_read = pack(static_cast<int32_t>(read_pos - ring_start), message_count);
  *intent_write = pack(static_cast<int32_t>(write_pos - ring_start), wasted_tail);
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
// A record is whole as step_message says: its length fits, and it is not an
// entry whose checksum fails.
// In 2 and 3 the record just before the first one that is not whole is
// dropped as well (see below).
// Every kept record lies inside the header's span, in ring order, once.
bool CCyclicBuffer::step_message(int64_t at, int64_t span, RecordStep *step) const {
  if (!step_record(at, span, 1, step)) return false;
  if (step->length < kEntryHeadSize) return true;
  const int64_t before_end = buffer_size - step->payload;
  if (before_end >= step->length) return payload_whole(ring_start + step->payload, step->length);
  return payload_kind(*step) != PayloadKind::kDamagedEntry;
}

PayloadKind CCyclicBuffer::payload_kind(const RecordStep &step) const {
  const int64_t before_end = buffer_size - step.payload;
  return classify_payload(ring_start + step.payload, before_end, ring_start, step.length);
}

void CCyclicBuffer::copy_payload_head(const RecordStep &step, char *head) const {
  const int64_t before_end = buffer_size - step.payload;
  if (before_end >= kEntryHeadSize) {
    std::memcpy(head, ring_start + step.payload, kEntryHeadSize);
    return;
  }
  std::memcpy(head, ring_start + step.payload, static_cast<std::size_t>(before_end));
  std::memcpy(head + before_end, ring_start, static_cast<std::size_t>(kEntryHeadSize - before_end));
}

void CCyclicBuffer::plan_salvage(SalvagePlan *plan) const {
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
  while (distance < span && step_message(offset_at(distance), span - distance, &step)) {
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
  // Whether the record at span distance `start` is a whole entry.
  bool entries_seen = false;
  auto entry_at = [&](int64_t start) {
    RecordStep first;
    if (!step_record(offset_at(start), span - start, 1, &first) || first.length < kEntryHeadSize)
      return false;
    char head[kEntryHeadSize];
    copy_payload_head(first, head);
    const bool entry =
        begins_like_entry(head, kEntryHeadSize) && payload_kind(first) == PayloadKind::kEntry;
    entries_seen = entries_seen || entry;
    return entry;
  };
  // Runs that begin with an entry first: bytes inside an entry (its binary
  // fields, a binary text) may read as a length field that happens to lead
  // to the write position, a record that never was; a run of entries begins
  // where an entry does. Then, when none reaches the write position and the
  // span holds no whole entry at all, runs that begin anywhere (raw messages
  // carry nothing to tell them by); in a span of entries such a run is far
  // likelier bytes of entries read as records. A chain's fate does not
  // depend on where it was entered, so the failed offsets of the first pass
  // hold for the second.
  for (const bool entries_only : {true, false}) {
    if (!entries_only && entries_seen) break;
    for (int64_t start = 1; start + 5 <= span; ++start) {
      if (failed.has(start) || (entries_only && !entry_at(start))) continue;
      int64_t at = start;
      int32_t run = 0;
      int64_t run_payload = 0;
      while (at < span && !failed.has(at) && step_message(offset_at(at), span - at, &step)) {
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
}

// The older run (`records` whole records from the read position, `payload`
// bytes) laid again so that it ends where the newer run begins, at span
// distance `newer_start`. Laid record by record as a writer lays them, it
// takes its records' bytes plus a skipped tail of 0 to 3 bytes, depending
// on where it begins: the first start that ends exactly there wins.
void CCyclicBuffer::plan_older_run(SalvagePlan *plan, int32_t records, int64_t payload,
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

void CCyclicBuffer::apply_salvage(const SalvagePlan &plan) {
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
bool CCyclicBuffer::move_older_run(const SalvagePlan &plan) {
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

bool CCyclicFile::salvage(bool store) {
  SalvagePlan plan;
  plan_salvage(&plan);
  if (plan.consistent) return false;
  apply_salvage(plan);
  if (store) store_header();
  return true;
}

// ---------------------------------------------------------------------------
// Reading
//
// Every read works on a private copy of the file taken without any lock, so
// that no reader waits for a writer or makes one wait, and the handle's own
// fields stay its writers':
//   1. a settled look at the header and the counts (look_at_published): the
//      same even sequence before and after they were copied;
//   2. the ring copied;
//   3. a second settled look. When the sequence did not move, the copy is
//      the file at one moment. Otherwise writers went on during the copy.
//      Every record they counted came after the copied ones and every record
//      they evicted was among the oldest, and a writer evicts a record
//      before it lays a byte over it; so the copied records that the second
//      look still counts (from its read position on: its count less the
//      messages appended in between) were whole in the file from the first
//      look to the second, and so in the copy. The others are dropped: the
//      oldest, which writers reached. Looks a whole ring apart (kAdvanced)
//      share nothing, and the copy is taken again.
// When the sequence stays odd because the writer changing it died (or has
// been stopped for a long time), the copy is taken as it stands, settled by
// an unchanged sequence, and the dead writer's phase applied to it as the
// next writer will apply it to the file. A settled copy whose records
// disagree with its header is salvaged in the copy (the file is repaired by
// its next writer); an unsettled one is taken again. Without published
// state (the lock file of an older version, or none a reader may open) the
// whole mapping is copied again until its header did not change meanwhile.

namespace {

// Attempts at a copy before a read gives up: writers that lap the whole ring
// during each of them, or a header that keeps changing.
constexpr int kCopyAttempts = 100;
// A copy that must be taken again (the statuses are 0 or negative).
constexpr int kTryAgain = 1;
// A sequence that stays odd this long, its holder alive, is taken as
// abandoned: a writer stopped (a debugger) holds no reader up.
constexpr double kStoppedWriterMs = 20;

// The copy's loads come before the loads that follow.
void order_loads() { fence(std::memory_order_acquire); }

// Copies bytes that writers may be changing meanwhile: the sequence checks
// above decide what of them is kept. ThreadSanitizer would report each such
// copy as the race it is meant to be, so its build copies word by word with
// relaxed atomic loads, unseen by it.
#if defined(__SANITIZE_THREAD__)
__attribute__((no_sanitize("thread"))) void copy_shared(char *to, const char *from,
                                                        std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) to[i] = __atomic_load_n(from + i, __ATOMIC_RELAXED);
}
#else
void copy_shared(char *to, const char *from, std::size_t length) { std::memcpy(to, from, length); }
#endif

double now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace

bool CCyclicFile::look_at_published(char *header_bytes, PublishedLook *look) const {
  const std::size_t room = header_room();
  uint64_t odd_seen = 0;
  double odd_since = 0;
  const double give_up = now_ms() + 1000;
  for (long round = 0;; ++round) {
    const uint64_t before = load_word(published, kSequence);
    bool abandoned = false;
    if (before & 1) {
      if (before != odd_seen) {
        odd_seen = before;
        odd_since = now_ms();
        round = 0;
      }
      if (round < 64) continue;  // a write takes well under a microsecond
      abandoned = now_ms() - odd_since > kStoppedWriterMs ||
                  !interprocess_critical_section_holder_alive(interprocess_lock);
      if (!abandoned) {
        if (now_ms() > give_up) return false;
        sched_yield();
        continue;
      }
    }
    copy_shared(header_bytes, map_base, room);
    for (int i = 0; i < kPublishedWords; ++i)
      look->words[i] = load_word(published, static_cast<PublishedWord>(i));
    order_loads();
    if (load_word(published, kSequence) == before) {
      look->sequence = before;
      look->abandoned = abandoned;
      return true;
    }
    if (now_ms() > give_up) return false;
  }
}

bool CCyclicFile::sequence_unchanged(const PublishedLook &look) const {
  order_loads();
  return load_word(published, kSequence) == look.sequence;
}

// The block a read copies into: the handle keeps the last one, so that a
// reader that reads again reuses its pages (a fresh block of a large ring
// costs more in page faults than the copy itself). Readers of one handle
// at the same time each get their own.
char *CCyclicFile::take_copy_block() const {
  char *block = __atomic_exchange_n(&spare_copy_block, nullptr, __ATOMIC_ACQ_REL);
  return block != nullptr ? block : static_cast<char *>(vel_malloc(mapped_length));
}

void CCyclicFile::give_back_copy_block(char *block) const {
  char *displaced = __atomic_exchange_n(&spare_copy_block, block, __ATOMIC_ACQ_REL);
  if (displaced != nullptr) vel_free(displaced);
}

CCyclicFile::ReadView::ReadView(const CCyclicFile &file, bool repair)
    : file_(file),
      repair_(repair),
      settled_(false),
      in_place_(false),
      first_look_(),
      copy_(nullptr),
      appended_(0),
      status_(CYCLIC_FILE_NO_MEMORY) {
  if (look_in_place()) {
    status_ = 0;
    return;
  }
  copy_ = file.take_copy_block();
  if (copy_ != nullptr) status_ = take();
}

CCyclicFile::ReadView::~ReadView() {
  if (copy_ != nullptr) file_.give_back_copy_block(copy_);
}

// The common read needs no copy of the ring: when no writer changes the
// header between a look before the walk and one after it, every record the
// first look counted stayed as it was meanwhile (a writer in between lays
// bytes only where it evicted records, and its evictions change the header),
// so a walk over the mapping itself read them whole. The walk then copies
// each payload once. A handle whose last read in place met writers copies
// first for the next read; ThreadSanitizer builds always copy first (the
// walk over bytes that a writer thread may be laying at that moment is the
// race this protocol tolerates, and it would report it).
bool CCyclicFile::ReadView::look_in_place() {
#if defined(__SANITIZE_THREAD__)
  return false;
#else
  const CCyclicFile &file = file_;
  if (file.published == nullptr || __atomic_load_n(&file.copy_first, __ATOMIC_RELAXED))
    return false;
  char looked[CYCLIC_FILE_HEADER_MAX_LENGTH];
  if (!file.look_at_published(looked, &first_look_) || first_look_.abandoned) return false;
  const int room = static_cast<int>(file.header_room());
  cyclic_file_header_t record;
  record.init();
  const int length_seen = decode_cyclic_file_header_into(looked, room, &record);
  if (length_seen < 0 || !cyclic_file_header_describes_ring(
                             &record, static_cast<int64_t>(file.mapped_length) - length_seen))
    return false;
  ring_.ring_start = file.map_base + length_seen;
  ring_.ring_end = ring_.ring_start + record.buffer_size;
  apply_ring_header(ring_, &record);
  ring_.error_flag = 0;
  appended_ = first_look_.words[kAppended];
  in_place_ = true;
  return true;
#endif
}

// After a walk in place: whether the header stayed as the first look saw it.
bool CCyclicFile::ReadView::still_as_looked() {
  PublishedLook second;
  char looked[CYCLIC_FILE_HEADER_MAX_LENGTH];
  const bool same =
      file_.look_at_published(looked, &second) && second.sequence == first_look_.sequence;
  __atomic_store_n(&file_.copy_first, !same, __ATOMIC_RELAXED);
  return same;
}

// Copies until a copy holds records that can be trusted to be whole: 0, or
// a status.
int CCyclicFile::ReadView::take() {
  // A copy that writers lapped starts the next from its second look.
  Carried carried;
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    const int status = file_.published != nullptr
                           ? copy_once(attempt + 1 == kCopyAttempts, &carried)
                           : copy_settled_mapping();
    if (status != kTryAgain) return status;
  }
  return CYCLIC_FILE_READ_ALL_FAILED;
}

// Runs `copy` (a walk of the ring's records that fails with
// CYCLIC_BUFFER_WRITE_FAILED on a record that is not whole) on the view: a
// settled copy whose records disagree with its header is salvaged in the
// copy when the view repairs, and walked again; an unsettled one (writers
// went on while it was taken) is taken again. One walk when all is well.
template <typename Copy>
int CCyclicFile::ReadView::walk_whole(Copy copy) {
  if (in_place_) {
    const int result = copy(ring_);
    if (still_as_looked() && result == CYCLIC_BUFFER_OK) return result;
    // Writers went on, or the records disagree with the header: copy, and
    // settle that (a copy also salvages what is damaged).
    in_place_ = false;
    copy_ = file_.take_copy_block();
    status_ = copy_ != nullptr ? take() : CYCLIC_FILE_NO_MEMORY;
    if (status_ != 0) return CYCLIC_BUFFER_WRITE_FAILED;
  }
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    const int result = copy(ring_);
    if (result != CYCLIC_BUFFER_WRITE_FAILED) return result;
    if (settled_) {
      SalvagePlan plan;
      ring_.plan_salvage(&plan);
      if (plan.consistent || !repair_) return result;
      ring_.apply_salvage(plan);
      return copy(ring_);
    }
    status_ = take();
    if (status_ != 0) return result;
  }
  return CYCLIC_BUFFER_WRITE_FAILED;
}

// Points the copy's ring at the copy, from the header decoded there. False
// when it does not describe the file.
static bool ring_from_copy(CCyclicBuffer &ring, char *copy, int room, int64_t mapped_length) {
  cyclic_file_header_t record;
  record.init();
  const int header_length = decode_cyclic_file_header_into(copy, room, &record);
  if (header_length < 0 ||
      !cyclic_file_header_describes_ring(&record, mapped_length - header_length))
    return false;
  ring.ring_start = copy + header_length;
  ring.ring_end = ring.ring_start + record.buffer_size;
  apply_ring_header(ring, &record);
  ring.error_flag = 0;
  return true;
}

int CCyclicFile::ReadView::copy_once(bool last_attempt, Carried *carried) {
  const CCyclicFile &file = file_;
  const int room = static_cast<int>(file.header_room());
  const int64_t mapped = static_cast<int64_t>(file.mapped_length);
  PublishedLook first;
  if (carried->held) {
    first = carried->look;
    std::memcpy(copy_, carried->header, static_cast<std::size_t>(room));
    carried->held = false;
  } else if (!file.look_at_published(copy_, &first)) {
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  copy_shared(copy_ + room, file.map_base + room,
              file.mapped_length - static_cast<std::size_t>(room));
  if (!ring_from_copy(ring_, copy_, room, mapped)) {
    // A header that does not describe the file, or one torn by a writer
    // stopped for long: look again, and fail only when it stays so.
    return file.sequence_unchanged(first) && !first.abandoned ? CYCLIC_FILE_READ_ALL_FAILED
                                                              : kTryAgain;
  }
  appended_ = first.words[kAppended];
  if (first.abandoned) {
    // Nobody changed the file during the copy: it is the dead writer's
    // file, as the next writer will find it.
    if (!file.sequence_unchanged(first)) return kTryAgain;
    if (apply_intent(first.words, ring_) && first.words[kPhase] == kPhaseCounted)
      appended_ = first.words[kIntentAppended];
    settled_ = true;
    return 0;
  }
  PublishedLook second;
  char header_again[CYCLIC_FILE_HEADER_MAX_LENGTH];
  if (!file.look_at_published(header_again, &second)) return CYCLIC_FILE_READ_ALL_FAILED;
  settled_ = second.sequence == first.sequence;
  if (settled_) return 0;

  // Writers went on: keep the copied records that the second look counts.
  cyclic_file_header_t record;
  record.init();
  const int length_again = decode_cyclic_file_header_into(header_again, room, &record);
  if (length_again < 0 || !cyclic_file_header_describes_ring(&record, ring_.buffer_size))
    return kTryAgain;
  const uint64_t appended_since = second.words[kAppended] - first.words[kAppended];
  const uint64_t advanced_since = second.words[kAdvanced] - first.words[kAdvanced];
  const int64_t kept =
      static_cast<int64_t>(record.message_count) - static_cast<int64_t>(appended_since);
  if (advanced_since >= static_cast<uint64_t>(ring_.buffer_size) || kept <= 0 ||
      appended_since > static_cast<uint64_t>(INT32_MAX)) {
    // Writers lapped the ring during the copy: nothing copied is sure. The
    // next attempt starts from the second look. On the last attempt the
    // read is empty rather than failed.
    if (!last_attempt) {
      carried->look = second;
      std::memcpy(carried->header, header_again, static_cast<std::size_t>(room));
      carried->held = !second.abandoned;
      return kTryAgain;
    }
    ring_.message_count = 0;
    ring_.read_pos = ring_.write_pos;
    return 0;
  }
  if (kept < ring_.message_count) {
    ring_.read_pos = ring_.ring_start + record.read_offset;
    ring_.message_count = static_cast<int32_t>(kept);
  }
  return 0;
}

// Without published state: the whole mapping, copied again until its header
// did not change meanwhile (a writer changes the header before it touches
// any record the header counts, and again after).
int CCyclicFile::ReadView::copy_settled_mapping() {
  const CCyclicFile &file = file_;
  const std::size_t room = file.header_room();
  copy_shared(copy_, file.map_base, file.mapped_length);
  order_loads();
  char header_again[CYCLIC_FILE_HEADER_MAX_LENGTH];
  copy_shared(header_again, file.map_base, room);
  if (std::memcmp(copy_, header_again, room) != 0) return kTryAgain;
  if (!ring_from_copy(ring_, copy_, static_cast<int>(room),
                      static_cast<int64_t>(file.mapped_length)))
    return CYCLIC_FILE_READ_ALL_FAILED;
  settled_ = true;
  return 0;
}

int CCyclicFile::read_all(char **buffer, int32_t *length) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (buffer == nullptr || length == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  *buffer = nullptr;
  *length = 0;
  ReadView view(*this);
  if (view.status() != 0) return view.status();
  // The ring fits in the mapping: its size as loaded, not the fields writers reload.
  char *block = static_cast<char *>(vel_malloc(mapped_length + 1));
  if (block == nullptr) return CYCLIC_FILE_NO_MEMORY;
  // One walk over the records copies every payload.
  int64_t copied = 0;
  int32_t messages = 0;
  const int walked = view.walk_whole([&](const CCyclicBuffer &ring) -> int {
    messages = ring.message_count;
    return ring.copy_messages(block, ring.buffer_size, &copied);
  });
  if (walked != CYCLIC_BUFFER_OK || messages == 0) {
    vel_free(block);
    return walked == CYCLIC_BUFFER_OK ? 0 : CYCLIC_FILE_READ_ALL_FAILED;
  }
  *buffer = block;
  *length = static_cast<int32_t>(copied);
  return messages;
}

// From the same copy as read_all, so a copy holds exactly what a reader
// sees; the one walk of copy_messages checks every record.
int CCyclicFile::copy_newest(int32_t newest, MessageCopy *copy, const uint64_t *above) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (copy == nullptr || newest < 0) return CYCLIC_FILE_READ_ALL_FAILED;
  copy->count = 0;
  copy->ring_count = 0;
  copy->appended = 0;
  ReadView view(*this);
  if (view.status() != 0) return view.status();
  if (!reserve(&copy->bytes, &copy->bytes_room, mapped_length + 1)) return CYCLIC_FILE_NO_MEMORY;
  bool no_memory = false;
  const int walked = view.walk_whole([&](const CCyclicBuffer &ring) -> int {
    // Numbered by the look that the records came from.
    const uint64_t appended = view.appended();
    int32_t wanted = newest;
    if (above != nullptr && counts_messages()) {
      const uint64_t numbered_above = appended > *above ? appended - *above : 0;
      if (numbered_above < static_cast<uint64_t>(wanted))
        wanted = static_cast<int32_t>(numbered_above);
    }
    if (ring.message_count < wanted) wanted = ring.message_count;
    if (!reserve(&copy->lengths, &copy->lengths_room, static_cast<std::size_t>(wanted) + 1)) {
      no_memory = true;
      return CYCLIC_BUFFER_OK;
    }
    int64_t copied = 0;
    const int result = ring.copy_messages(copy->bytes, ring.buffer_size, &copied,
                                          ring.message_count - wanted, copy->lengths);
    copy->count = wanted;
    copy->ring_count = ring.message_count;
    copy->appended = appended;
    return result;
  });
  if (no_memory) return CYCLIC_FILE_NO_MEMORY;
  if (walked != CYCLIC_BUFFER_OK) {
    copy->count = 0;
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  return CYCLIC_FILE_OK;
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

int CCyclicFile::read_messages(uint64_t after, int32_t newest, cyclic_file_message_visitor visit,
                               void *context) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (visit == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  // The handle keeps the copy's blocks for its next read, as it keeps the
  // copy block; readers of one handle at the same time each get their own.
  MessageCopy *copy = __atomic_exchange_n(&spare_message_copy, nullptr, __ATOMIC_ACQ_REL);
  if (copy == nullptr) {
    copy = static_cast<MessageCopy *>(vel_malloc(sizeof(MessageCopy)));
    if (copy == nullptr) return CYCLIC_FILE_NO_MEMORY;
    *copy = MessageCopy{};
  }
  const int copied =
      copy_newest(newest < 0 ? INT32_MAX : newest, copy, after > 0 ? &after : nullptr);
  int visited = 0;
  uint64_t latest_entry = 0;
  const char *payload = copy->bytes;
  for (int32_t index = 0; copied == 0 && index < copy->count; ++index) {
    const int32_t length = copy->lengths[index];
    const uint64_t older = static_cast<uint64_t>(copy->count - 1 - index);
    cyclic_file_message_t message{
        payload, length, 0, -1, 0, 0, 0, copy->appended > older ? copy->appended - older : 0};
    EntryFields fields;
    if (decode_entry(payload, length, &fields)) {
      // Numbered in the order of the lock: one that is not above the entry
      // before it, or not above `after`, is a record of another moment.
      payload += length;
      if (fields.number <= latest_entry || fields.number <= after) continue;
      latest_entry = fields.number;
      message.data += kEntryHeadSize;
      message.length -= kEntryHeadSize;
      message.seq = fields.number;
      if (!fields.bare) {
        message.is_entry = 1;
        message.level = fields.level;
        message.time_ns = fields.time_ns;
        message.pid = fields.pid;
        message.tid = fields.tid;
      }
    } else {
      payload += length;
    }
    ++visited;
    if (visit(&message, context) != 0) break;
  }
  MessageCopy *displaced = __atomic_exchange_n(&spare_message_copy, copy, __ATOMIC_ACQ_REL);
  if (displaced != nullptr) {
    release_copy(displaced);
    vel_free(displaced);
  }
  return copied == 0 ? visited : copied;
}

int CCyclicFile::verify(Verdict *verdict) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  ReadView view(*this, false);
  if (view.status() != 0) return view.status();
  // A copy that writers changed while it was taken is taken again rather
  // than reported damaged.
  const int walked = view.walk_whole([&](const CCyclicBuffer &ring) -> int {
    ring.plan_salvage(&verdict->plan);
    verdict->damaged_entries = 0;
    verdict->misnumbered_entries = 0;
    verdict->header_length = static_cast<int32_t>(mapped_length) - ring.buffer_size;
    verdict->buffer_size = ring.buffer_size;
    verdict->read_offset = ring.read_pos - ring.ring_start;
    verdict->write_offset = ring.write_pos - ring.ring_start;
    verdict->wasted_tail = ring.wasted_tail;
    const int64_t span = ring.stored_span();
    uint64_t latest_entry = 0;
    RecordStep step;
    for (int64_t at = ring.read_pos - ring.ring_start, walked_span = 0;
         walked_span < span && ring.step_record(at, span - walked_span, 1, &step);
         walked_span += step.used, at = step.next) {
      const PayloadKind kind = ring.payload_kind(step);
      if (kind == PayloadKind::kDamagedEntry) ++verdict->damaged_entries;
      if (kind != PayloadKind::kEntry) continue;
      char head[kEntryHeadSize];
      ring.copy_payload_head(step, head);
      EntryFields fields;
      decode_entry(head, kEntryHeadSize, &fields);
      if (fields.number <= latest_entry) ++verdict->misnumbered_entries;
      if (fields.number > latest_entry) latest_entry = fields.number;
    }
    return verdict->plan.consistent ? CYCLIC_BUFFER_OK : CYCLIC_BUFFER_WRITE_FAILED;
  });
  (void)walked;  // a damaged settled copy is what the verdict reports
  return view.status();
}

}  // namespace rotolog::detail
