// CCyclicFile: the ring of CCyclicBuffer laid into a memory-mapped file
// behind an encoded header. The ring's storage is the mapping; the ring's
// fields are only a cache of the header, refreshed under both locks before
// every write. Each job is a file that states its protocol at its top:
// opening, creating, mapping and taking the locks in cyclic_file_open.cpp;
// the locks, reload, write, store and flush in cyclic_file_io.cpp; the
// repair in cyclic_file_repair.cpp; the reads in cyclic_file_read.cpp; the
// words published beside the lock in cyclic_file_published.h; the header's
// bytes in cyclic_file_header_codec.cpp.
#ifndef ROTOLOG_CYCLIC_FILE_HANDLE_H
#define ROTOLOG_CYCLIC_FILE_HANDLE_H

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "rotolog/cyclic_buffer_ring.h"
#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_entry.h"
#include "rotolog/cyclic_file_header.h"
#include "rotolog/cyclic_file_header_codec.h"
#include "rotolog/platform/spanwick.h"
#include "rotolog/platform/sysbrace.h"
#include "rotolog/platform/test_seams.h"
#include "rotolog/platform/vandrel.h"

namespace rotolog::detail {

// ---------------------------------------------------------------------------
// Results, inside the library
//
// One convention for the cyclic file's own functions:
// - an operation returns an int: 0 (CYCLIC_FILE_OK) when it did its work, a
//   negative CYCLIC_FILE_ status when it failed, or one of the positive
//   outcomes below when its caller has more to do; the public functions hand
//   the statuses out as they are and never an outcome;
// - a bool answers a question (whether a header describes a file, whether a
//   lock is held, whether anything needed mending), and never reports a
//   failure that has a status;
// - the ring's CYCLIC_BUFFER_ codes stay between the ring and its caller,
//   which turns them into a status or an outcome at the call;
// - errno: the errno of the platform call that failed is the one the caller
//   reads. Cleanup that runs between the failure and the return (leaving the
//   locks, a second flush, closing, unmapping, freeing) runs under a
//   KeptErrno, which puts it back; the open, whose handle is freed before its
//   caller sees the failure, notes it in last_errno (platform_failure) for
//   cyclic_file_create_handle to hand out.
//
// A ring operation met a record that is not whole: the header and the
// records disagree, and a salvage can mend them.
constexpr int kRingDamaged = 1;
// The interim header of a write that evicts was stored.
constexpr int kInterimHeaderStored = 2;
// A read's copy must be taken again.
constexpr int kTryAgain = 3;

// Keeps errno across cleanup: the value at construction, or at the last
// note(), is errno again when the guard goes.
class KeptErrno {
 public:
  KeptErrno() : error_(errno) {}
  ~KeptErrno() { errno = error_; }
  void note() { error_ = errno; }
  KeptErrno(const KeptErrno &) = delete;
  KeptErrno &operator=(const KeptErrno &) = delete;

 private:
  int error_;
};

// ---------------------------------------------------------------------------
// The ordering points of the write path (see cyclic_file_io.cpp)

// Each point is its crash seam of test_seams.h, at which a test may end the
// writer to prove that a writer killed there leaves a file that reads back
// whole.
enum class CrashPoint {
  // The header is read; nothing is changed yet.
  kHeaderReloaded = TEST_SEAM_CRASH_HEADER_RELOADED,
  // The records to evict are dropped from the header.
  kInterimStored = TEST_SEAM_CRASH_INTERIM_STORED,
  // The new record is in the ring, the header does not count it yet.
  kRecordWritten = TEST_SEAM_CRASH_RECORD_WRITTEN,
  // The final header is stored.
  kHeaderStored = TEST_SEAM_CRASH_HEADER_STORED,
};

inline test_seam crash_seam(CrashPoint point) { return static_cast<test_seam>(point); }

// Marks a step of the write path. The signal fences keep the compiler from
// moving stores to the mapping across it, so the file sees them in the order
// the protocol gives: they order every write, not only those of tests.
// Between them, the point's seam: one relaxed load unless a test uses it.
inline void crash_point(CrashPoint point) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  test_seam_check(crash_seam(point), nullptr, 0, 0);
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

// ---------------------------------------------------------------------------
// The state writers publish beside the lock

// Words of the lock file's shared state (vandrel's shared words), stored by
// the holder of the lock and read by anyone, with or without it: the count
// of messages ever appended and the ring bytes ever advanced, under a
// sequence that is odd while a holder changes them or the header, and what a
// write in progress intends, for whoever takes over from a writer that died
// in it. See cyclic_file_published.h.
enum PublishedWord : int {
  kAppended = 0,     // messages ever appended (the lock's counter word)
  kSequence,         // odd while the holder changes the header or these words
  kAdvanced,         // ring bytes the write position ever moved forward
  kPhase,            // the write in progress: kPhaseIdle, kPhaseRecord, kPhaseCounted
  kIntentAppended,   // kAppended once the record is counted
  kIntentAdvanced,   // kAdvanced once the record is counted
  kIntentRead,       // the header without the record: read offset | count << 32
  kIntentWrite,      // the header without the record: write offset | wasted tail << 32
  kIntentFinalRead,  // the header with the record, likewise
  kIntentFinalWrite,
  kPublishedWords
};
enum WritePhase : uint64_t {
  kPhaseIdle = 0,     // nothing, or only evictions stored: the header is sound
  kPhaseRecord = 1,   // the record is being laid: the header without it holds
  kPhaseCounted = 2,  // the record is whole: the header with it and the intended counts hold
};
static_assert(kPublishedWords <= VANDREL_SHARED_WORDS, "the lock file has room for them");

// ---------------------------------------------------------------------------
// The handle

class CCyclicFile : public CCyclicBuffer {
 public:
  CCyclicFile(const char *file_name, int32_t mode, int32_t buffer_size);

  static void *operator new(std::size_t, void *place) noexcept { return place; }

  int load();
  void release();

  // A message: an entry at the default level in CYCLIC_FILE_MODE_ENTRIES, a
  // raw message otherwise (a bare entry when its bytes begin like one).
  int write(const char *data, int32_t length);
  // An entry of `level` (0 to 7) whose text is `length` bytes (0 or more),
  // stamped now by this thread unless a time or thread id is given.
  int write_entry(int level, const char *data, int32_t length, int64_t time_ns = 0,
                  int32_t tid = 0);
  // The format comes from the caller, as for vsnprintf. Written as write
  // does, or as an entry of `level` when it is 0 or more.
  int vfwritef(const char *format, va_list args, int level = -1)
      __attribute__((format(printf, 2, 0)));
  int read_all(char **buffer, int32_t *length);
  int flush_view();

  // Messages copied out of the file with their boundaries, for tools
  // (cyclic_file_read.cpp). A caller keeps one across copies, so that its
  // blocks are reused, and frees them with release_copy; zero-initialise it.
  struct MessageCopy {
    char *bytes;         // the payloads, one right after the other
    int32_t *lengths;    // the length of each
    int32_t count;       // messages copied: the newest of the ring, oldest first
    int32_t ring_count;  // messages the ring held
    uint64_t appended;   // messages ever appended, as the copy read it (0: no count)
    std::size_t bytes_room;
    std::size_t lengths_room;
  };
  // Copies the newest `newest` messages (all, when the ring holds fewer)
  // from a copy of the file taken without any lock, as every reader does
  // (ReadView); it holds up no writer. With a count of appended messages,
  // the newest is number copy->appended, the one before it one less, and
  // when `above` is not null only those numbered above *above are copied.
  // Returns 0,
  // CYCLIC_FILE_PERMISSION_DENIED (no CYCLIC_FILE_MODE_READ),
  // CYCLIC_FILE_NO_MEMORY or CYCLIC_FILE_READ_ALL_FAILED (damaged file,
  // missing lock, null copy). Consumes nothing; on return the ring fields
  // hold the state the copy read.
  int copy_newest(int32_t newest, MessageCopy *copy, const uint64_t *above = nullptr);
  static void release_copy(MessageCopy *copy);
  // Whether the file's lock file counts the messages ever appended, and that
  // count, read without a lock: a load from the mapped lock file, for a
  // follower to poll.
  bool counts_messages() const { return published != nullptr; }
  uint64_t appended_messages() const {
    return get_interprocess_critical_section_counter(interprocess_lock);
  }

  // Read-only walk for tools that need message boundaries: copies every
  // message with copy_newest, then calls visit(data, length, context) for
  // each, oldest first, after the locks are released; data is valid only
  // during the call. A nonzero result from visit stops the walk. Returns the
  // number of messages visited or what copy_newest returns.
  using MessageVisitor = int (*)(const char *data, int32_t length, void *context);
  int for_each_message(MessageVisitor visit, void *context);

  // cyclic_file_read_messages: the newest `newest` messages (all when
  // negative) numbered above `after`, each with its entry's fields, from one
  // copy; entries out of the order of their numbers are left out.
  int read_messages(uint64_t after, int32_t newest, cyclic_file_message_visitor visit,
                    void *context);

  // The salvage's plan (CCyclicBuffer::SalvagePlan, plan_salvage and
  // apply_salvage) is worked out on the ring's fields alone, so that a
  // reader works it out on its copy.
  //
  // What rotolog-cat --verify reports: the plan for the file as it stands,
  // worked out on a copy taken as every reader takes it (no lock, nothing
  // stored), with a write that a dead writer left half done undone first;
  // and, among the records from the header's read position that are whole
  // as records, the entries that are damaged and those out of the order of
  // their numbers. Returns 0, CYCLIC_FILE_PERMISSION_DENIED (no
  // CYCLIC_FILE_MODE_READ) or CYCLIC_FILE_READ_ALL_FAILED (the header does
  // not describe the file, or writers kept changing it).
  struct Verdict {
    SalvagePlan plan;
    int32_t damaged_entries;
    int32_t misnumbered_entries;
    // The header the copy holds.
    int32_t header_length;
    int32_t buffer_size;
    int64_t read_offset;
    int64_t write_offset;
    int32_t wasted_tail;
  };
  int verify(Verdict *verdict);
  int verify(SalvagePlan *plan) {
    Verdict verdict;
    const int result = verify(&verdict);
    *plan = verdict.plan;
    return result;
  }

  // After a reload: mends a ring state that disagrees with the records,
  // storing the kept state in the file when `store` (a writer, under both
  // locks) or only in the handle (a reader's copy). Returns false when
  // nothing needed mending.
  bool salvage(bool store);

  // The ring's state into a header record and back (the codec's
  // capture_ring_header and apply_ring_header).
  void capture_header(cyclic_file_header_t *record) const { capture_ring_header(*this, record); }
  void apply_header(const cyclic_file_header_t *record) { apply_ring_header(*this, record); }

  // Fields added to the ring's ten, in this order.
  char *file_name;
  int32_t mode;
  char *map_base;
  mmap_handle_t mapping;
  cyclic_file_header_t *header;
  int32_t header_length;
  // A writer's lock, or a reader's handle of the lock file (which cannot
  // enter); null when the file has none a reader may use.
  vandrel_lock_t interprocess_lock;
  // The lock file's shared words (PublishedWord); null without a lock file.
  uint64_t *published;
  os_critical_section_t *process_lock;
  // Bytes mapped; a header must describe exactly this many.
  std::size_t mapped_length;
  // The ring's size as loaded, which no writer changes: for checks made
  // outside the locks (buffer_size is reloaded under them).
  int32_t ring_size;
  // The name could not be copied: load reports exhausted memory.
  bool name_copy_failed;
  // Mapped read-only: the caller may read the file but not write it, and
  // its lock handle (if any) is a reader's.
  bool read_only_mapping;
  // A read's copy block kept for the next read (take_copy_block), and the
  // message copy of read_messages.
  mutable char *spare_copy_block;
  mutable MessageCopy *spare_message_copy;
  // Set when the last read in place met writers: the next reads copy first.
  mutable bool copy_first;
  char *take_copy_block() const;
  void give_back_copy_block(char *block) const;
  // The errno of the platform call whose failure ended the last load; 0
  // when none did. cyclic_file_create_handle hands it to its caller.
  int last_errno;

 private:
  // Both locks of the file, held for one operation: the in-process lock,
  // then the interprocess lock, released in the opposite order when the
  // guard goes, on every way out. Not held when a lock
  // could not be had; a holder found dead is repaired before held() is true.
  class FileLocks {
   public:
    explicit FileLocks(CCyclicFile &file);
    ~FileLocks();
    FileLocks(const FileLocks &) = delete;
    FileLocks &operator=(const FileLocks &) = delete;
    bool held() const { return held_; }

   private:
    CCyclicFile &file_;
    int cancel_state_;  // to restore; -1 when left alone
    bool held_;
  };

  // A settled look at the header (into `header_bytes`) and the counts.
  struct PublishedLook {
    uint64_t sequence;
    uint64_t words[kPublishedWords];
    bool abandoned;  // a writer left its change unfinished: nobody is changing it
  };

  // One read's copy of the file, taken without any lock (see the read protocol in
  // cyclic_file_read.cpp): its ring holds only records that were whole and
  // counted at one moment and that no writer reached while they were
  // copied, already salvaged where the file itself is damaged. The handle's
  // own fields are not touched: they belong to its writers. status() is 0,
  // or CYCLIC_FILE_READ_ALL_FAILED (a header that does not describe the
  // file, writers that lapped the ring during every attempt) or
  // CYCLIC_FILE_NO_MEMORY. appended() numbers the newest record kept (0
  // without a count).
  class ReadView {
   public:
    // `repair`: a settled copy whose records disagree with its header is
    // salvaged (in the copy); a check passes false to see the damage.
    explicit ReadView(const CCyclicFile &file, bool repair = true);
    ~ReadView();
    ReadView(const ReadView &) = delete;
    ReadView &operator=(const ReadView &) = delete;
    int status() const { return status_; }
    uint64_t appended() const { return appended_; }
    // Runs copy(ring), a walk of the copy's records that fails with
    // CYCLIC_BUFFER_WRITE_FAILED on a record that is not whole, until it
    // holds (cyclic_file_read.cpp). Its result.
    template <typename Copy>
    int walk_whole(Copy copy);

   private:
    // A CCyclicBuffer over the copy, which it does not own.
    struct CopiedRing : CCyclicBuffer {
      ~CopiedRing() { ring_start = nullptr; }
    };
    // A settled look handed from one attempt to the next.
    struct Carried {
      bool held = false;
      PublishedLook look;
      char header[CYCLIC_FILE_HEADER_MAX_LENGTH];
    };
    bool look_in_place();
    bool still_as_looked();
    int take();
    int copy_once(bool last_attempt, Carried *carried);
    int copy_settled_mapping();
    const CCyclicFile &file_;
    bool repair_;
    bool settled_;   // nothing changed the file while the copy was taken
    bool in_place_;  // the ring is the mapping's, as of first_look_
    PublishedLook first_look_;
    CopiedRing ring_;
    char *copy_;
    uint64_t appended_;
    int status_;
  };

  bool look_at_published(char *header_bytes, PublishedLook *look) const;
  bool sequence_unchanged(const PublishedLook &look) const;

  // The writer's side of the published state (cyclic_file_published.h,
  // cyclic_file_io.cpp) and the repair (cyclic_file_repair.cpp).
  class PublishedChange;
  class PhaseReset;
  void repair_after_holder_died(bool earlier_boot);
  void mend();
  void count_at_least(uint64_t needed);
  void rebase_published();

  // Each: 0 or a status, as the convention above says.
  int map_file(int fd);
  void unmap();
  int create_file(const char *path);
  void delete_file(const char *path);
  int platform_failure(int status);
  int obtain_locks(const char *path, const os_file_facts_t &facts);
  bool enter_locks();
  void leave_locks();
  int reload_header();
  int reload_header_from(char *base);
  std::size_t header_room() const;
  int store_header();
  int write_entry_as(int level, bool bare, const char *data, int32_t length, int64_t time_ns = 0,
                     int32_t tid = 0);
  int write_record(const char *data, int32_t length, EntryDraft *draft);
  int locked_write(const char *data, int32_t length, EntryDraft *draft);
  int store_interim_header(const char *data, int32_t length, uint64_t *intent_read,
                           uint64_t *intent_write);
  int salvage_and_write(const char *data, int32_t length, EntryDraft *draft);
};

}  // namespace rotolog::detail

#endif
