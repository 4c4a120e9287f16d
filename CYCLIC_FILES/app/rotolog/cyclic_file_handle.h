// CCyclicFile: the ring of CCyclicBuffer laid into a memory-mapped file
// behind an encoded header. The ring's storage is the mapping; the ring's
// fields are only a cache of the header, refreshed under both locks before
// every write and read. Opening, creating, mapping and the locks are in
// cyclic_file_open.cpp; reload, write, store, flush, repair and read, with
// the write protocol, in cyclic_file_io.cpp; the header's bytes in
// cyclic_file_header_codec.cpp.
#ifndef ROTOLOG_CYCLIC_FILE_HANDLE_H
#define ROTOLOG_CYCLIC_FILE_HANDLE_H

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "rotolog/cyclic_buffer_ring.h"
#include "rotolog/cyclic_file_header.h"
#include "rotolog/cyclic_file_header_codec.h"
#include "rotolog/platform/spanwick.h"
#include "rotolog/platform/sysbrace.h"
#include "rotolog/platform/test_seams.h"
#include "rotolog/platform/vandrel.h"

namespace rotolog::detail {

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
// The handle

constexpr std::size_t kLockNameSize = 512;

class CCyclicFile : public CCyclicBuffer {
 public:
  CCyclicFile(const char *file_name, int32_t mode, int32_t buffer_size);

  static void *operator new(std::size_t, void *place) noexcept { return place; }

  int load();
  void release();

  int write(const char *data, int32_t length);
  // The format comes from the caller, as for vsnprintf.
  int vfwritef(const char *format, va_list args) __attribute__((format(printf, 2, 0)));
  int read_all(char **buffer, int32_t *length);
  int flush_view();

  // Messages copied out of the file with their boundaries, for tools
  // (cyclic_file_io.cpp). A caller keeps one across copies, so that its
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
  // under both locks, or from a snapshot on a read-only mapping, salvaging
  // as every reader does; the locks are released before it returns, so what
  // the caller does with the copy holds up no writer. With a count of
  // appended messages, the newest is number copy->appended, the one before
  // it one less, and when `above` is not null only those numbered above
  // *above are copied. Returns 0,
  // CYCLIC_FILE_PERMISSION_DENIED (no CYCLIC_FILE_MODE_READ),
  // CYCLIC_FILE_NO_MEMORY or CYCLIC_FILE_READ_ALL_FAILED (damaged file,
  // missing lock, null copy). Consumes nothing; on return the ring fields
  // hold the state the copy read.
  int copy_newest(int32_t newest, MessageCopy *copy, const uint64_t *above = nullptr);
  static void release_copy(MessageCopy *copy);
  // Whether the file's lock file counts the messages ever appended, and that
  // count, read without a lock: a load from the mapped lock file, for a
  // follower to poll.
  bool counts_messages() const { return interprocess_lock != nullptr; }
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

  // What the records between the header's read and write positions say
  // about the header, and what a salvage keeps (cyclic_file_io.cpp).
  // Offsets count from ring_start.
  struct SalvagePlan {
    bool consistent;       // the header's count of whole records ends at write_pos
    int32_t header_count;  // what the header counts
    int64_t header_span;   // bytes from the header's read to its write position
    int32_t kept_count;    // whole records kept, oldest first
    int64_t kept_span;     // bytes they take
    int64_t kept_payload;  // their payload bytes
    int64_t read_offset;   // where the kept records begin
    int64_t write_offset;  // where they end: the next write goes here
    // When the kept records are an older run from the header's read
    // position and a newer one ending at its write position, with damage
    // between: the older run, laid again to end where the newer one begins.
    int32_t older_count;  // 0: nothing to move
    int64_t older_from;   // where the older run lies now
    int64_t newer_from;   // where the newer run begins
  };
  // Works out the plan for the ring state as reloaded; changes nothing.
  // Consistent rings cost one walk over their length fields.
  void plan_salvage(SalvagePlan *plan) const;
  // The plan for the file as it stands, for rotolog-cat --verify: takes no
  // lock and stores nothing. The header is read before and after the walk
  // and the walk is retried while a writer changed it in between. Returns 0,
  // CYCLIC_FILE_PERMISSION_DENIED (no CYCLIC_FILE_MODE_READ) or
  // CYCLIC_FILE_READ_ALL_FAILED (the header does not describe the file, or
  // writers kept changing it).
  int verify(SalvagePlan *plan);
  // Puts a plan's positions and count into the ring state (not the file).
  void apply_salvage(const SalvagePlan &plan);
  // After a reload: mends a ring state that disagrees with the records,
  // storing the kept state in the file (under both locks) or only in the
  // handle (a read-only mapping). Returns false when nothing needed mending.
  bool salvage();

  // The ring's state into a header record and back (the codec's
  // capture_ring_header and apply_ring_header).
  void capture_header(cyclic_file_header_t *record) const { capture_ring_header(*this, record); }
  void apply_header(const cyclic_file_header_t *record) { apply_ring_header(*this, record); }

  static void sanitize_lock_name(char *text);

  // Fields added to the ring's ten, in this order.
  char *file_name;
  int32_t mode;
  char *map_base;
  mmap_handle_t mapping;
  cyclic_file_header_t *header;
  int32_t header_length;
  char lock_name[kLockNameSize];
  vandrel_lock_t interprocess_lock;
  os_critical_section_t *process_lock;
  // Bytes mapped; a header must describe exactly this many.
  std::size_t mapped_length;
  // The name could not be copied: load reports exhausted memory.
  bool name_copy_failed;
  // Mapped read-only: the caller may read the file but not write it. Reads
  // then take no lock and store nothing; they copy the mapping and retry
  // while a writer changed the header in between.
  bool read_only_mapping;
  // The errno of the platform call whose failure ended the last load; 0
  // when none did. cyclic_file_create_handle hands it to its caller.
  int last_errno;

 private:
  // Both locks of the file, held for one operation: the in-process lock,
  // then the interprocess lock, released in the opposite order when the
  // guard goes, on every way out. Not held when take is false or a lock
  // could not be had; a holder found dead is repaired before held() is true.
  class FileLocks {
   public:
    explicit FileLocks(CCyclicFile &file, bool take = true);
    ~FileLocks();
    FileLocks(const FileLocks &) = delete;
    FileLocks &operator=(const FileLocks &) = delete;
    bool held() const { return held_; }

   private:
    CCyclicFile &file_;
    bool held_;
  };

  // The ring as one read sees it, for as long as the view lives: the
  // mapping's under both locks with the header reloaded, or that of a
  // private snapshot of the mapping when the handle maps the file read-only
  // or `snapshot` asks for one (no lock, nothing stored). status() is 0, or
  // CYCLIC_FILE_READ_ALL_FAILED (no lock, a header that does not describe
  // the file, writers that kept changing it, no memory for the snapshot).
  class ReadView {
   public:
    explicit ReadView(CCyclicFile &file, bool snapshot = false);
    ~ReadView();
    ReadView(const ReadView &) = delete;
    ReadView &operator=(const ReadView &) = delete;
    int status() const { return status_; }

   private:
    CCyclicFile &file_;
    FileLocks locks_;
    char *snapshot_;
    int status_;
  };

  int map_file(int fd);
  void unmap();
  int create_file(const char *path);
  void delete_file(const char *path);
  int platform_failure(int status);
  int obtain_locks(const char *path, const os_file_facts_t &facts);
  void build_lock_name(const char *name);
  bool enter_locks();
  void leave_locks();
  int reload_header();
  int reload_header_from(char *base);
  std::size_t header_room() const;
  int store_header();
  char *snapshot_mapping();
  void rebase_ring(char *base);
  int locked_write(const char *data, int32_t length);
  int store_interim_header(const char *data, int32_t length);
  int salvage_and_write(const char *data, int32_t length);
  void plan_older_run(SalvagePlan *plan, int32_t records, int64_t payload,
                      int64_t newer_start) const;
  bool move_older_run(const SalvagePlan &plan);
};

}  // namespace rotolog::detail

#endif
