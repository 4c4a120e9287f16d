/* sysbrace: the operating-system helpers rotolog calls: text copies and
 * comparisons, file tests and file services, and in-process critical
 * sections. Every function is safe to call from several threads at once
 * (on distinct descriptors and mappings, for the file services). */
#ifndef ROTOLOG_PLATFORM_SYSBRACE_H
#define ROTOLOG_PLATFORM_SYSBRACE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SYSBRACE_API __attribute__((visibility("default")))

/* Texts. A copy from os_strdup lives until os_strdup_free (which accepts
 * null); os_strdup returns null when memory is exhausted or text is null.
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
 * close-on-exec. Unless stated otherwise a function returns 0 on success and
 * -1 with errno set on failure; a null path gives -1 with EINVAL. */

/* Creates the file at path, which must not exist yet (a symlink there counts
 * as existing), for writing, with mode 0660 less the caller's umask: logs are
 * shared with the group, not the world. Returns the descriptor (release it
 * with os_file_close), or -1: EEXIST when something is at path already. */
SYSBRACE_API int os_file_create_new(const char *path);

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

/* Creates a new file beside path under a unique temporary name (path plus
 * a suffix), as os_file_create_new does, and writes that name into
 * temporary (temporary_size bytes). Returns the descriptor, or -1
 * (ENAMETOOLONG when the name does not fit). */
SYSBRACE_API int os_file_create_temporary(const char *path, char *temporary, size_t temporary_size);

/* Gives the finished file at temporary the name path as well, atomically,
 * never replacing what is there (link, or a rename that refuses to replace
 * where the file system has no links). The caller then deletes temporary.
 * Returns 0, or -1: EEXIST when something is at path already. */
SYSBRACE_API int os_file_publish(const char *temporary, const char *path);

/* Writes into out (out_size bytes, NUL included) the identity under which
 * the file at path is locked: its canonical absolute path. For an existing
 * file that is realpath(path), so relative and absolute names, "./", "..",
 * symlinked directories and symlinks to the file all give the same text; for
 * a missing file it is the canonical path of its directory joined with the
 * last component, which is what realpath gives once the file exists.
 * Returns 0, or -1: ENAMETOOLONG when the identity does not fit out, ENOENT
 * when the directory is missing, EINVAL for a null path or out. */
SYSBRACE_API int os_file_lock_identity(const char *path, char *out, size_t out_size);

/* ---- In-process critical sections ----
 * A mutex that spins up to spin_count times
 * before it sleeps (0 for none). init returns 0 or an errno value. */
typedef struct os_critical_section {
  pthread_mutex_t mutex;
} os_critical_section_t;

SYSBRACE_API int os_critical_section_init(os_critical_section_t *section, unsigned spin_count);
SYSBRACE_API void os_critical_section_delete(os_critical_section_t *section);
SYSBRACE_API void os_critical_section_enter(os_critical_section_t *section);
SYSBRACE_API void os_critical_section_leave(os_critical_section_t *section);

#ifdef __cplusplus
}
#endif

#endif
