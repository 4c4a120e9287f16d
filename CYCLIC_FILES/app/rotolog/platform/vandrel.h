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
 * any process of the machine gives the same lock, a word inside that file,
 * and beside it a few words of state that its holders publish to everyone
 * who may read the guarded file. init returns an opaque handle, or null on
 * failure; enter, leave, the state functions and destroy accept null and
 * then do nothing (enter returns VANDREL_LOCK_FAILED for it, the state reads
 * as absent).
 *
 * Who may do what. The lock file guards another file, whose owner and
 * permission bits decide: it gives read to each class of users that may read
 * the guarded file and read and write to each class that may write it
 * (always to its owner), and it is owned by the guarded file's owner. Every
 * byte of it may thus be written by any user who may write the guarded file,
 * so nothing read from it is ever used as an address, a length or an index
 * without bounds checked here: the lock word holds only a process id, a
 * thread id and a waiters bit. A writer of the guarded file can hold the
 * lock for ever or scribble it, as it could scribble the guarded file; it
 * cannot make another process store through an address of its choosing, and
 * a waiter gives up after VANDREL_LOCK_PATIENCE_MS. A reader (a handle from
 * init_interprocess_critical_section_reader) cannot change the lock file at
 * all: it maps it read-only, and no lock it may place on the file delays or
 * misleads a holder.
 *
 * A holder that died is found by the kernel, not by trust: the word names
 * the holding thread and its process, and a waiter that has waited a
 * millisecond asks the kernel whether that thread still exists (tgkill with
 * signal 0). A gone holder (thread or process) is taken over and the taker
 * told so (VANDREL_LOCK_OWNER_DIED). The first opener after a reboot clears
 * a word the earlier boot left held. No step needs the file to itself, and
 * nothing a reader does can hold an opener or a holder up. Processes that
 * share a lock file must share a pid namespace.
 *
 * Opening costs a few system calls; an uncontended enter and leave make
 * none. The lock file stays after its last handle is gone; removing it while
 * a process uses it splits that lock in two. A child forked while a handle
 * is open may use the handle at once. */
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
#define VANDREL_LOCK_EARLIER_BOOT                                                  \
  2 /* the caller holds the lock; an earlier boot left it held: what the lock file \
       publishes may come from before a crash of the machine */
#define VANDREL_LOCK_FAILED                                                               \
  (-1) /* the lock is not held: null or read-only handle (EINVAL, EBADF), waited too long \
          (ETIMEDOUT), or the process could not prove its life (errno of that) */

/* How long enter waits for a holder that is alive before it gives up. */
#define VANDREL_LOCK_PATIENCE_MS 500

/* Opens the lock file at lock_file_path (through sysbrace's file services:
 * no symlink on the path is followed; close-on-exec) for a
 * process that may write the file `guarded` describes, making it when there
 * is none: only the guarded file's owner makes it, or root, which gives it
 * to that owner. A lock file is refused when it is not a regular file, has
 * more than one name, is owned by anyone but the guarded file's owner or the
 * caller, lies in a sticky directory that its group or others may write and
 * is owned by neither the caller nor the directory's owner, or has content
 * that is not a lock file. A lock file of the previous layout (version 2) is
 * converted when no process has it open, and refused while one does. Returns
 * the handle, to be released with destroy_interprocess_critical_section, or
 * null with errno: EINVAL (null argument), ENOMEM, EPERM (owned by someone
 * else, or missing and the caller may not make it), EMLINK (another name),
 * EPROTO (not a regular file, or not a lock file of this layout), EISDIR (a
 * directory), EBUSY (a process of an older version has it open), ELOOP (a
 * symlink on the path), EACCES (no permission, or another user's file in a
 * shared sticky directory), ENOSPC (no room to lay it out), EAGAIN (it stayed
 * unfinished), or that of the failed open, fcntl or mmap. A lock file this call made and could not
 * finish is removed. */
VANDREL_API vandrel_lock_t init_interprocess_critical_section(
    const char *lock_file_path, const struct vandrel_guarded_file *guarded);

/* Opens an existing lock file for a process that may read the guarded file:
 * read-only, under the same rules of ownership, names and directories; it
 * makes, converts and changes nothing. The handle reads the published state
 * and can tell whether the lock is held by a live holder; enter refuses it
 * (EBADF). Null with errno as for init, and ENOENT when there is none. */
VANDREL_API vandrel_lock_t init_interprocess_critical_section_reader(
    const char *lock_file_path, const struct vandrel_guarded_file *guarded);

/* Returns once the caller holds the lock: VANDREL_LOCK_TAKEN, or
 * VANDREL_LOCK_OWNER_DIED when the previous holder (thread or process) ended
 * while holding it (to one enter, in whichever process), or
 * VANDREL_LOCK_EARLIER_BOOT when an earlier boot left it held. After either
 * the state the lock protects may be half-updated: the caller checks it, then calls
 * mark_interprocess_critical_section_consistent (a leave without that call
 * does it too). A holder that stays alive is waited for at most
 * VANDREL_LOCK_PATIENCE_MS: then VANDREL_LOCK_FAILED with ETIMEDOUT, the lock
 * not held. Waiting sleeps in the kernel (futex on the mapped word) after a
 * short spin. The lock is not recursive: a thread that enters twice without
 * leaving, through any handle of the lock file, waits for itself. */
VANDREL_API int enter_interprocess_critical_section(vandrel_lock_t lock);
/* Declares the protected state sound again after VANDREL_LOCK_OWNER_DIED;
 * only the holder calls it. Does nothing otherwise, and accepts null. */
VANDREL_API void mark_interprocess_critical_section_consistent(vandrel_lock_t lock);
/* Releases the lock taken by the matching enter on this handle. Accepts null. */
VANDREL_API void leave_interprocess_critical_section(vandrel_lock_t lock);

/* Whether the lock is held by a holder that is alive, for a reader that
 * waits on the state its holders publish: false when it is free or its
 * holder is gone. Makes system calls; a holder may take or leave the lock
 * the moment after. */
VANDREL_API int interprocess_critical_section_holder_alive(vandrel_lock_t lock);

/* The published state: VANDREL_SHARED_WORDS 64-bit words kept in the lock
 * file, zero when it is laid out. Every handle reads them; only the holder
 * of the lock stores into them (a reader's mapping is read-only). Null for
 * a null handle. Their meaning is the caller's; like every byte of the lock
 * file they may have been written by anyone who may write the guarded file. */
#define VANDREL_SHARED_WORDS 16
VANDREL_API uint64_t *interprocess_critical_section_shared_words(vandrel_lock_t lock);

/* The first shared word, which the cyclic file uses for the messages ever
 * appended: get reads it at any time; add advances it by amount and may be
 * called only by the holder. Plain loads and stores: no system call. */
VANDREL_API uint64_t get_interprocess_critical_section_counter(vandrel_lock_t lock);
VANDREL_API void add_to_interprocess_critical_section_counter(vandrel_lock_t lock, uint64_t amount);

/* Releases this handle; other handles of the same lock file keep working.
 * Must not be called while this handle holds the lock. Accepts null. */
VANDREL_API void destroy_interprocess_critical_section(vandrel_lock_t lock);

#ifdef __cplusplus
}
#endif

#endif
