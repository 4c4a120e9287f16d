/* Test seams: one table through which a test reaches every call that rotolog
 * makes of its platform libraries (allocation, files, mappings, lock files,
 * the interprocess lock) and every crash point of the cyclic file's write
 * path. Each seam, named by its id below, can
 *   - make the nth call from now fail with a chosen errno, without calling
 *     the operating system (test_seam_fail);
 *   - count the calls made (test_seam_calls);
 *   - call a hook that a test installs, to watch the call or, where the seam
 *     says so, to replace it (test_seam_set_hook).
 * Seams exist only in the test-only builds of the libraries (built with
 * ROTOLOG_TEST_SEAMS: sysbrace_testing, vandrel_testing, spanwick_testing,
 * librotolog_testing and the tests' static library): the table lives in
 * sysbrace_testing, the library every other one links. In the shipped
 * libraries test_seam_check is 0 and no seam name is exported. A test
 * process that never calls a test_seam_ function pays one relaxed load of
 * one word per call; calls are counted from the first use of a test_seam_
 * function on. */
#ifndef ROTOLOG_PLATFORM_TEST_SEAMS_H
#define ROTOLOG_PLATFORM_TEST_SEAMS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TEST_SEAM_API __attribute__((visibility("default")))

/* Every seam: X(id, name, kind, what it stands for). Names are for tests and
 * diagnostics only; the library passes ids.
 *   CALL: a call that can fail; it then returns its failure with the
 *     chosen errno (vel_ allocations: null, errno ENOMEM whatever the errno
 *     chosen). A hook may return an errno to fail it too.
 *   LOCK: a step of the interprocess lock; its hook watches the lock.
 *   CRASH: a crash point of the cyclic file's write path; its hook may end
 *     the process there (the point cannot fail). */
#define TEST_SEAM_TABLE(X)                                                                         \
  X(ALLOCATION, "allocation", CALL, "vel_malloc, vel_calloc, vel_realloc and os_strdup")           \
  X(FILE_CREATE, "sysbrace create", CALL, "os_file_create_new and os_file_create_exact")           \
  X(FILE_WRITE, "sysbrace write", CALL, "os_file_write_at")                                        \
  X(FILE_RESERVE, "sysbrace reserve", CALL, "os_file_reserve (posix_fallocate / ftruncate)")       \
  X(FILE_SYNC, "sysbrace fsync", CALL, "os_file_sync")                                             \
  X(FLUSH_VIEW, "sysbrace msync", CALL, "os_flush_view; a hook may replace the flush")             \
  X(FILE_DELETE, "sysbrace unlink", CALL, "os_file_delete")                                        \
  X(FILE_PUBLISH, "sysbrace publish", CALL, "os_file_publish")                                     \
  X(FILE_OPEN, "sysbrace open", CALL, "os_file_open_existing")                                     \
  X(FILE_LOCK, "sysbrace ofd lock", CALL, "os_file_lock_range")                                    \
  X(MAP_FSTAT, "spanwick fstat", CALL, "the fstat of the file to map")                             \
  X(MAP_MMAP, "spanwick mmap", CALL, "the mmap of the whole file")                                 \
  X(LOCK_MMAP, "lock mmap", CALL, "the mmap of a lock file")                                       \
  X(LOCK_ENTER, "lock enter", LOCK, "enter_interprocess_critical_section, once the lock is held")  \
  X(LOCK_LEAVE, "lock leave", LOCK, "leave_interprocess_critical_section, before the release")     \
  X(CRASH_HEADER_RELOADED, "crash header reloaded", CRASH, "the header is read; nothing changed")  \
  X(CRASH_INTERIM_STORED, "crash interim stored", CRASH, "the evicted records are dropped")        \
  X(CRASH_RECORD_WRITTEN, "crash record written", CRASH, "the record is in the ring, not counted") \
  X(CRASH_HEADER_STORED, "crash header stored", CRASH, "the final header is stored")

#define TEST_SEAM_ID(id, name, kind, what) TEST_SEAM_##id,
enum test_seam { TEST_SEAM_TABLE(TEST_SEAM_ID) TEST_SEAM_COUNT };
#undef TEST_SEAM_ID

enum test_seam_kind { TEST_SEAM_KIND_CALL, TEST_SEAM_KIND_LOCK, TEST_SEAM_KIND_CRASH };

/* ---- For tests ---- */

/* The nth call of seam from now (1: the next one) fails with error (an errno
 * value, > 0); nth 0 or error 0 disarms it. The failing call is counted. For
 * TEST_SEAM_LOCK_ENTER a failure means: the lock is taken and the entry
 * reports VANDREL_LOCK_OWNER_DIED, as after a holder that died. */
TEST_SEAM_API void test_seam_fail(enum test_seam seam, long nth, int error);

/* Calls of seam counted so far (the failed ones too). */
TEST_SEAM_API long test_seam_calls(enum test_seam seam);

/* One call as a hook sees it. object and length: the range os_flush_view
 * flushes, the path a file service names (create, open, delete, publish:
 * the lock file's own calls among them), or the lock handle that enters or
 * leaves (length 0); null and 0 elsewhere. result: for TEST_SEAM_LOCK_ENTER,
 * what the entry reports (VANDREL_LOCK_TAKEN or VANDREL_LOCK_OWNER_DIED);
 * the descriptor a file service works on (write, reserve, sync, ofd lock);
 * -1 or 0 elsewhere. */
typedef struct test_seam_call {
  enum test_seam seam;
  void *object;
  size_t length;
  long result;
} test_seam_call_t;

/* What a hook returns: TEST_SEAM_PROCEED lets the call go on; an errno value
 * fails it as test_seam_fail would (CALL seams; LOCK_ENTER reports the owner
 * dead); TEST_SEAM_SKIP makes TEST_SEAM_FLUSH_VIEW report success without
 * flushing (elsewhere it proceeds). */
#define TEST_SEAM_PROCEED 0
#define TEST_SEAM_SKIP (-1)
typedef int (*test_seam_hook_t)(const test_seam_call_t *call, void *context);

/* Installs hook (null removes it), called with context at every call of seam
 * that no armed failure takes; in whichever thread makes the call. Install
 * it while no other thread makes calls of that seam. */
TEST_SEAM_API void test_seam_set_hook(enum test_seam seam, test_seam_hook_t hook, void *context);

/* Disarms every seam and removes every hook; the counts stay. */
TEST_SEAM_API void test_seam_reset(void);

/* The seam's name ("sysbrace msync"), and its kind; null and -1 for an id
 * out of range. */
TEST_SEAM_API const char *test_seam_name(enum test_seam seam);
TEST_SEAM_API int test_seam_kind(enum test_seam seam);

/* ---- For the libraries ---- */

#if defined(ROTOLOG_TEST_SEAMS)
/* Nonzero once the process has called a test_seam_ function. */
extern TEST_SEAM_API int test_seams_active;

/* The slow path of test_seam_check, taken once tests use the seams. */
TEST_SEAM_API int test_seam_visit(enum test_seam seam, void *object, size_t length, long result);

/* Passes one call through its seam: counts it, and returns 0 to go on, the
 * errno value the call must fail with, or TEST_SEAM_SKIP (see the hook).
 * Costs one relaxed load while no test uses the seams. */
static inline int test_seam_check(enum test_seam seam, void *object, size_t length, long result) {
  if (__builtin_expect(__atomic_load_n(&test_seams_active, __ATOMIC_RELAXED) == 0, 1)) return 0;
  return test_seam_visit(seam, object, length, result);
}
#else
/* A shipped library: every call goes on. */
static inline int test_seam_check(enum test_seam seam, void *object, size_t length, long result) {
  (void)seam;
  (void)object;
  (void)length;
  (void)result;
  return 0;
}
#endif

#ifdef __cplusplus
}
#endif

#endif
