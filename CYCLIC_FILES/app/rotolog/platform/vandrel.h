/* vandrel: the allocator every block of rotolog comes from, and named
 * interprocess critical sections shared by all processes of the machine.
 * All functions are safe to call from several threads at once. */
#ifndef ROTOLOG_PLATFORM_VANDREL_H
#define ROTOLOG_PLATFORM_VANDREL_H

#include <stddef.h>

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

/* Interprocess critical sections. The same name in any process of the machine
 * gives a lock on one shared object. init returns an opaque handle, or null
 * on failure; enter, leave and destroy accept null and then do nothing
 * (enter returns VANDREL_LOCK_FAILED for it).
 *
 * Each lock is a robust, process-shared mutex in a small shared-memory object
 * in /dev/shm (in /tmp on a machine without /dev/shm), named "rotolog-lock-"
 * followed by a 128-bit hash of the lock name, so names of any length and any
 * bytes work. An uncontended enter and leave make no system call. Objects
 * stay after their last handle is gone, so that every later process finds the
 * same lock; removing one while a process uses it splits that lock in two.
 * Limitations: the directory is shared by every user of the machine, and a
 * user who can open an object (mode 0660 less the creator's umask) can hold
 * its lock; a lock object under /tmp that outlives a machine crash while held
 * stays held: remove it while no process uses it. */
typedef void *vandrel_lock_t;

/* Results of enter_interprocess_critical_section. */
#define VANDREL_LOCK_TAKEN 0       /* the caller holds the lock */
#define VANDREL_LOCK_OWNER_DIED 1  /* the caller holds the lock; the previous holder died holding it */
#define VANDREL_LOCK_FAILED (-1)   /* the lock is not held (null handle or unusable lock) */

/* Opens the lock called name (a NUL-terminated byte string), creating its
 * shared object when no process has yet; concurrent creators all get the one
 * object that is published first, always complete. Returns the handle, to be
 * released with destroy_interprocess_critical_section, or null with errno:
 * EINVAL (null name), ENOMEM, EPROTO (what is at the object's path is not a
 * lock object of this build: other layout or word size, or damaged), ELOOP
 * (a symlink there), or that of the failed open, ftruncate, link or mmap. */
VANDREL_API vandrel_lock_t init_interprocess_critical_section(const char *name);

/* Returns once the caller holds the lock: VANDREL_LOCK_TAKEN, or
 * VANDREL_LOCK_OWNER_DIED when the previous holder (thread or process) ended
 * while holding it. After VANDREL_LOCK_OWNER_DIED the state the lock protects
 * may be half-updated: the caller checks it, then calls
 * mark_interprocess_critical_section_consistent. A leave without that call
 * marks it consistent itself, so the lock is never left unusable.
 * VANDREL_LOCK_FAILED: null handle or a lock that cannot be taken; the lock
 * is then not held. The lock is not recursive: a thread that enters twice
 * without leaving, through any handle of the name, waits for itself. */
VANDREL_API int enter_interprocess_critical_section(vandrel_lock_t lock);
/* Declares the protected state sound again after VANDREL_LOCK_OWNER_DIED;
 * only the holder calls it. Does nothing otherwise, and accepts null. */
VANDREL_API void mark_interprocess_critical_section_consistent(vandrel_lock_t lock);
/* Releases the lock taken by the matching enter on this handle. Accepts null. */
VANDREL_API void leave_interprocess_critical_section(vandrel_lock_t lock);

/* Releases this handle; other handles of the same name keep working. Must
 * not be called while this handle holds the lock. Accepts null. */
VANDREL_API void destroy_interprocess_critical_section(vandrel_lock_t lock);

#ifdef __cplusplus
}
#endif

#endif
