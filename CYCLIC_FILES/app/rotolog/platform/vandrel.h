/* vandrel: the allocator every block of rotolog comes from, and
 * interprocess critical sections shared by all processes of the machine,
 * each kept in a lock file; and the table of test seams (test_seams.h). All
 * functions are safe to call from several threads at once.
 *
 * Failures are reported one way: a function that returns a block or a
 * handle returns null with errno set (ENOMEM when memory is exhausted);
 * enter_interprocess_critical_section returns VANDREL_LOCK_FAILED with
 * errno set. errno is the failing call's own: nothing that could change it
 * runs between the failure and the return. The functions that release,
 * leave or read accept null and cannot fail. */
#ifndef ROTOLOG_PLATFORM_VANDREL_H
#define ROTOLOG_PLATFORM_VANDREL_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VANDREL_API __attribute__((visibility("default")))

/* Memory. Blocks are aligned for any object; null means memory is exhausted.
 * vel_realloc(NULL, n) behaves as vel_malloc(n); vel_free(NULL) does nothing. */
VANDREL_API void *vel_malloc(size_t size);
VANDREL_API void *vel_calloc(size_t count, size_t size);
VANDREL_API void *vel_realloc(void *block, size_t size);
VANDREL_API void vel_free(void *block);

/* Interprocess critical sections. A lock is a lock file: the same path in
 * any process of the machine gives a lock on one robust, process-shared
 * mutex inside that file. init returns an opaque handle, or null on failure;
 * enter, leave, the counter functions and destroy accept null and then do
 * nothing (enter returns VANDREL_LOCK_FAILED for it, the counter reads 0).
 *
 * The lock file guards another file, whose owner and permission bits decide
 * who may make and use it: it is made with read and write for each class of
 * users that may write the guarded file, and owned by the guarded file's
 * owner; one that is not a regular file, not of this layout and version, or
 * owned by anyone but the guarded file's owner or the caller, is refused.
 * Each handle holds an OFD lock (fcntl F_OFD_SETLK) on the lock file while it
 * lives; the one process that opens the lock file while no other has it open
 * lays it out when it is new or unfinished, or gives it a fresh mutex, since
 * a lock file outlives a reboot and its mutex may read as held by a process
 * of an earlier boot. Opening costs a few system calls; an uncontended enter
 * and leave make none. The lock file stays after its last handle is gone;
 * removing it while a process uses it splits that lock in two. */
typedef void *vandrel_lock_t;

/* The file a lock file guards, as fstat gives it. */
struct vandrel_guarded_file {
  mode_t mode; /* its permission bits: who may write it may use the lock */
  uid_t owner; /* its owner, who owns the lock file */
  gid_t group; /* its group, which the lock file gets where the caller may give it */
};

/* Results of enter_interprocess_critical_section. */
#define VANDREL_LOCK_TAKEN 0 /* the caller holds the lock */
#define VANDREL_LOCK_OWNER_DIED \
  1 /* the caller holds the lock; the previous holder died holding it */
#define VANDREL_LOCK_FAILED \
  (-1) /* the lock is not held: null handle (EINVAL) or unusable lock (errno of the mutex) */

/* Opens the lock file at lock_file_path (O_NOFOLLOW, close-on-exec) for the
 * file `guarded` describes, making it when there is none: only the guarded
 * file's owner makes it, or root, which gives it to that owner. It is made
 * in place, its blocks reserved before it is mapped, and no process maps it
 * before it is whole. Never waits for a lock file that it refuses. Returns
 * the handle, to be released with destroy_interprocess_critical_section, or
 * null with errno: EINVAL (null argument), ENOMEM, EPERM (owned by someone
 * else, or missing and the caller may not make it), EPROTO (not a regular
 * file, or not a lock file of this build: other layout or word size, or
 * damaged), ELOOP (a symlink there), EACCES (no permission), ENOSPC (no room
 * to lay it out), EAGAIN (it stayed unfinished), or that of the failed open,
 * fcntl or mmap. A lock file this call made and could not finish is removed. */
VANDREL_API vandrel_lock_t init_interprocess_critical_section(
    const char *lock_file_path, const struct vandrel_guarded_file *guarded);

/* Returns once the caller holds the lock: VANDREL_LOCK_TAKEN, or
 * VANDREL_LOCK_OWNER_DIED when the previous holder (thread or process) ended
 * while holding it, or a first opener found the mutex held by a process that
 * is gone (to one enter, in whichever process). After VANDREL_LOCK_OWNER_DIED the state the lock
 * protects may be half-updated: the caller checks it, then calls
 * mark_interprocess_critical_section_consistent. A leave without that call
 * marks it consistent itself, so the lock is never left unusable.
 * VANDREL_LOCK_FAILED: null handle or a lock that cannot be taken; the lock
 * is then not held. The lock is not recursive: a thread that enters twice
 * without leaving, through any handle of the lock file, waits for itself. */
VANDREL_API int enter_interprocess_critical_section(vandrel_lock_t lock);
/* Declares the protected state sound again after VANDREL_LOCK_OWNER_DIED;
 * only the holder calls it. Does nothing otherwise, and accepts null. */
VANDREL_API void mark_interprocess_critical_section_consistent(vandrel_lock_t lock);
/* Releases the lock taken by the matching enter on this handle. Accepts null. */
VANDREL_API void leave_interprocess_critical_section(vandrel_lock_t lock);

/* A 64-bit counter kept in the lock file beside the mutex, shared by every
 * handle of it; 0 when the lock file is laid out, kept when its mutex is
 * reset. The cyclic file counts in it the messages ever appended. get reads
 * it at any time, with or without the lock; add advances it by amount and
 * may be called only by the holder of the lock. Both are plain loads and
 * stores into the mapped lock file: no system call. */
VANDREL_API uint64_t get_interprocess_critical_section_counter(vandrel_lock_t lock);
VANDREL_API void add_to_interprocess_critical_section_counter(vandrel_lock_t lock, uint64_t amount);

/* Releases this handle and its OFD lock; other handles of the same lock file
 * keep working. Must not be called while this handle holds the lock. Accepts
 * null. */
VANDREL_API void destroy_interprocess_critical_section(vandrel_lock_t lock);

#ifdef __cplusplus
}
#endif

#endif
