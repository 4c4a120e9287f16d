/* sysbrace: the operating-system helpers rotolog calls: text copies and
 * comparisons, file tests and file services, and in-process critical
 * sections. Every function is safe to call from several threads at once
 * (on distinct descriptors and mappings, for the file services).
 *
 * Failures are reported one way: a function returns 0 (or a descriptor, or
 * a count) on success and -1 on failure, with errno set; one that returns a
 * pointer returns null, with errno set. errno is the failing call's own:
 * nothing that could change it runs between the failure and the return.
 * The comparisons and os_is_file_exist answer a question and never fail.
 * One exception, kept because the cyclic file tests its result so:
 * os_flush_view returns nonzero on success and 0 on failure (errno set), as
 * the Windows FlushViewOfFile it stands in for does. */
#ifndef ROTOLOG_PLATFORM_SYSBRACE_H
#define ROTOLOG_PLATFORM_SYSBRACE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SYSBRACE_API __attribute__((visibility("default")))

/* Texts. A copy from os_strdup lives until os_strdup_free (which accepts
 * null); os_strdup returns null with errno ENOMEM when memory is exhausted,
 * or EINVAL when text is null.
 * The comparisons return 0 for equal texts, non-zero otherwise. */
SYSBRACE_API char *os_strdup(const char *text);
SYSBRACE_API void os_strdup_free(char *copy);
SYSBRACE_API int os_strcmp(const char *searched, const char *stored);
SYSBRACE_API int os_stricmp(const char *searched, const char *stored);

/* 1 when something exists at path (following symlinks), 0 otherwise. */
SYSBRACE_API int os_is_file_exist(const char *path);

/* ---- File services ----
 * Thin wrappers over the POSIX calls the cyclic file needs, so that the file
 * logic never calls the operating system itself. Every descriptor is opened
 * close-on-exec. Each returns 0 or -1 with errno, unless stated otherwise
 * (os_flush_view); a null path gives -1 with EINVAL. A call that a signal
 * interrupts is made again, except close. */

/* What the file system says of an open file, as the cyclic file needs it. */
typedef struct os_file_facts {
  uint64_t size;
  mode_t mode; /* type and permission bits (st_mode) */
  uid_t owner;
  gid_t group;
  nlink_t links; /* names (hard links) the file has */
  dev_t device;  /* with inode: which file it is */
  ino_t inode;
} os_file_facts_t;

/* Fills facts from fstat of fd. 0, or -1 (EBADF; EINVAL for null facts). */
SYSBRACE_API int os_file_describe(int fd, os_file_facts_t *facts);

/* Opens the existing regular file at path for reading and writing (writable
 * nonzero) or for reading, close-on-exec, without blocking on a FIFO or a
 * device, and fills facts. path is a canonical path (os_file_lock_identity):
 * no component of it may be a symlink, so a symlink put in place since it was
 * resolved is never followed. The file is refused when it has more than one
 * hard link, or when it lies in a sticky directory that its group or others
 * may write and belongs to neither the caller nor the directory's owner,
 * whatever fs.protected_regular says. Returns the descriptor (release it
 * with os_file_close), or -1: ENOENT, EACCES (no permission, or refused in
 * a shared directory), EMLINK (more than one hard link), ELOOP (a symlink on
 * the path), EISDIR, ENODEV (not a regular file), or the errno of open. */
SYSBRACE_API int os_file_open_existing(const char *path, int writable, os_file_facts_t *facts);

/* Creates the file at path, which must not exist yet (a symlink there counts
 * as existing), for writing, with mode 0660 less the caller's umask: logs are
 * shared with the group, not the world. Returns the descriptor (release it
 * with os_file_close), or -1: EEXIST when something is at path already. */
SYSBRACE_API int os_file_create_new(const char *path);

/* Creates the file at path, which must not exist yet (a symlink there counts
 * as existing), for reading and writing, with exactly the permission bits
 * mode, whatever the caller's umask: for files whose bits are decided by the
 * caller (a lock file shares its data file's readers and writers). Returns
 * the descriptor (release it with os_file_close), or -1: EEXIST when
 * something is at path already. Passes through the create seam, as
 * os_file_create_new does. */
SYSBRACE_API int os_file_create_exact(const char *path, mode_t mode);

/* Writes all length bytes of data at offset of fd, retrying interrupted and
 * short writes. Returns 0, or -1 (errno of the failed write; EIO when the
 * file accepts no more bytes). The file position is not used or moved. */
SYSBRACE_API int os_file_write_at(int fd, const void *data, size_t length, uint64_t offset);

/* Makes the file of fd exactly size bytes long and reserves its blocks, so
 * that later stores through a mapping cannot fail for want of disk space.
 * Where the file system cannot reserve (EOPNOTSUPP, EINVAL) the file is only
 * sized. Returns 0, or -1: ENOSPC when the disk is full, EFBIG when size does
 * not fit a file offset, or the errno of the failed call. */
SYSBRACE_API int os_file_reserve(int fd, uint64_t size);

/* Reserves the blocks of the first size bytes of the file of fd without
 * changing its size or its bytes (fallocate with FALLOC_FL_KEEP_SIZE): a
 * file with holes (a sparse copy, a restore) then takes no store through a
 * mapping that the disk has no room for, which would raise SIGBUS. Cheap
 * where the blocks are allocated already. Other processes may be writing
 * the file meanwhile: nothing is written. Where the file system cannot
 * reserve (EOPNOTSUPP) it does nothing and returns 0. Returns 0, or -1 with
 * errno (ENOSPC when the disk is full). Passes through the reserve seam. */
SYSBRACE_API int os_file_reserve_in_place(int fd, uint64_t size);

/* Whether a file of size bytes may be made by this process: its file size
 * limit (RLIMIT_FSIZE), past which a write raises SIGXFSZ. 0, or -1 with
 * errno EFBIG. */
SYSBRACE_API int os_file_size_allowed(uint64_t size);

/* Writes the file's data and metadata to the disk (fsync). 0 or -1. */
SYSBRACE_API int os_file_sync(int fd);

/* Closes fd. 0 or -1 (EBADF). An interrupted close counts as done: on Linux
 * the descriptor is released whatever close reports, so it is never retried. */
SYSBRACE_API int os_file_close(int fd);

/* Removes the name path (unlink; a symlink itself, not its target). 0 or -1
 * (ENOENT when nothing is there). */
SYSBRACE_API int os_file_delete(const char *path);

/* Writes the pages of a shared file mapping that cover [address, address +
 * length) to the file and waits for it (msync MS_SYNC); address need not be
 * page-aligned. Returns NONZERO on success and 0 on failure (errno set; a
 * null address gives EINVAL), unlike the other file services. */
SYSBRACE_API int os_flush_view(void *address, size_t length);

/* Open file description locks (F_OFD_SETLK): tied to the open file, not to
 * the process, and released when its last descriptor closes or its process
 * ends. os_file_lock_range places a lock of type F_RDLCK or F_WRLCK, or
 * removes one (F_UNLCK), on [start, start + length) of fd (length 0: to the
 * end of the file, however long), without waiting. 0, or -1: EAGAIN (or
 * EACCES) when another open file holds a lock in the way. Passes through the
 * lock seam. */
SYSBRACE_API int os_file_lock_range(int fd, short type, uint64_t start, uint64_t length);

/* The type of lock (F_RDLCK or F_WRLCK) another open file holds that would
 * keep a lock of type from the range, F_UNLCK when none would, or -1 with
 * errno when the kernel cannot say. */
SYSBRACE_API int os_file_lock_conflict(int fd, short type, uint64_t start, uint64_t length);

/* Creates a new file beside path under a unique temporary name,
 * "<path>.<pid>.<tag>.tmp", as os_file_create_new does, and writes that name
 * into temporary (temporary_size bytes). The creator holds a lock on it (an
 * OFD write lock) for as long as the descriptor is open, which tells
 * os_file_remove_stale_temporaries that it is in use. Returns the descriptor,
 * or -1 (ENAMETOOLONG when the name does not fit). */
SYSBRACE_API int os_file_create_temporary(const char *path, char *temporary, size_t temporary_size);

/* Removes the temporaries of path (names as os_file_create_temporary makes
 * them) that a creator killed half-way left behind: those whose creating
 * process is gone and whose lock nobody holds. Returns how many it removed,
 * or -1 (the errno of opendir). */
SYSBRACE_API int os_file_remove_stale_temporaries(const char *path);

/* Gives the finished file at temporary the name path, atomically, never
 * replacing what is there (a rename that refuses to replace, or a hard link
 * where the file system cannot rename so). On success the name temporary is
 * gone. Returns 0, or -1: EEXIST when something is at path already (the
 * caller then deletes temporary). */
SYSBRACE_API int os_file_publish(const char *temporary, const char *path);

/* Writes into out (out_size bytes, NUL included) the identity under which
 * the file at path is opened and locked: its canonical absolute path, with
 * every symlink followed. Relative and absolute names, "./", "..",
 * symlinked directories and symlinks to the file all give the same text; a
 * missing file gets the path it will have once made (the canonical path of
 * its directory joined with its last component; a dangling symlink gives
 * its target's). A symlink that lies in a sticky directory anyone may write
 * is followed only when it belongs to the caller or to the directory's
 * owner, whatever fs.protected_symlinks says. Returns 0, or -1:
 * ENAMETOOLONG when the identity does not fit out, ENOENT when a directory
 * is missing, ENOTDIR, ELOOP, EACCES (a symlink refused, or no search
 * permission), EINVAL for a null path or out. */
SYSBRACE_API int os_file_lock_identity(const char *path, char *out, size_t out_size);

/* ---- In-process critical sections ----
 * A mutex that spins up to spin_count times before it sleeps (0 for none).
 * init returns 0, or -1 with errno (ENOMEM, EAGAIN: the system lacks the
 * resources). On a section that init set up, enter, leave and delete cannot
 * fail; enter is not recursive, and delete must not be called while the
 * section is held. */
typedef struct os_critical_section {
  pthread_mutex_t mutex;
} os_critical_section_t;

SYSBRACE_API int os_critical_section_init(os_critical_section_t *section, unsigned spin_count);
SYSBRACE_API void os_critical_section_delete(os_critical_section_t *section);
SYSBRACE_API void os_critical_section_enter(os_critical_section_t *section);
SYSBRACE_API void os_critical_section_leave(os_critical_section_t *section);
/* 1 when the calling thread holds the section, else 0. The answer is exact
 * for the caller's own holding and costs nothing on enter or leave: it reads
 * the owner the C library records in the mutex (glibc). Where the C library
 * records none it answers 0. Meant for the rare paths (fork handlers) that
 * must not wait for a section the caller itself holds. */
SYSBRACE_API int os_critical_section_is_held_by_caller(os_critical_section_t *section);

#ifdef __cplusplus
}
#endif

#endif
