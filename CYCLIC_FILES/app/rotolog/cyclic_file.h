/* rotolog cyclic file: a ring of messages inside a file that several
 * processes of one machine map and append to at once.
 *
 * The file holds an XDR-encoded header (ring size, message count, wasted
 * tail, write and read offsets) followed by the ring's records. Every write
 * and read takes an in-process lock shared by the handles of the file in this
 * process, then an interprocess lock shared by all processes, reloads the
 * header, works on the ring and (for a write) stores the header again.
 *
 * Thread and process safety: any thread of any process may write and read a
 * file through its own handles at the same time. One handle may be used by
 * several threads, but must not be destroyed while another thread uses it.
 *
 * What survives, mode by mode:
 *
 * A killed process (any mode): nothing is lost. The file's pages live in the
 * page cache, which outlives the process; a writer killed inside a write
 * leaves at worst a header torn between two stores, and the next handle to
 * take the lock brings it back to the records that are whole.
 *
 * A crashed machine without CYCLIC_FILE_MODE_FLUSH: the file holds, page by
 * page, states from any moment since it was last written back (every few
 * seconds by the kernel, or by cyclic_file_flush). The file stays readable
 * and writable: when the header and the records disagree, the next write or
 * read salvages it under the locks. It keeps the longest run of whole
 * records that ends at the header's write position, and the whole records
 * from the read position up to the damage laid again just before that run
 * (or, when no run reaches the write position, only those, with the write
 * position moved to their end); the record just before the damage is
 * dropped too, as its tail is likely of another moment. Then it stores that
 * header. Messages whose pages were not written back are lost. Records carry
 * no checksum, so a record whose pages come from two moments may still hold
 * mixed bytes, and a record of another moment that lines up with the others
 * may come back out of order.
 *
 * A power cut with CYCLIC_FILE_MODE_FLUSH, at any instant, even inside the
 * flushes of a write: every write that returned CYCLIC_FILE_OK is on disk,
 * whole, until a later write evicts it. Each write flushes, in this order,
 * the header without the records it evicts (only when it evicts), its
 * record, and the header that counts the record; so the disk never holds a
 * header that counts bytes that are not there. The write being made at the
 * cut may or may not survive; the records it evicted may be gone.
 *
 * The lock file. The interprocess lock of FILE is the small file FILE-lock
 * beside it (named after FILE's canonical path, every symlink followed), so
 * that FILE's directory protects it as it protects FILE. A handle that finds
 * it missing makes it, with read and write for each class of users that may
 * write FILE (and for its owner), owned by FILE's owner (a process of
 * another user who may write FILE cannot make it; root makes it for the
 * owner); one that is not a regular file, not a lock file of this version,
 * or owned by anyone but FILE's owner or the caller is refused. It keeps a
 * robust process-shared mutex and the count of messages ever appended. Every
 * handle holds a shared OFD lock on it; a process that opens it while no
 * other process has it open gives it a fresh mutex, since after a crash or a
 * reboot it may read as held by a process that is gone. To remove a cyclic
 * file, remove FILE and FILE-lock, while no process has FILE open.
 *
 * Files other users control are not used: in a sticky directory that others
 * may write (such as /tmp), an existing FILE is opened, and a symlink on its
 * path followed, only when it belongs to the caller or to the directory's
 * owner, whatever the machine's fs.protected_regular and
 * fs.protected_symlinks say; a FILE with more than one hard link is refused
 * everywhere. Symlinks elsewhere are followed.
 *
 * Limitation: a file truncated by another program while it is mapped makes
 * the process that touches the lost pages receive SIGBUS; rotolog installs no
 * signal handlers in its callers' processes.
 */
#ifndef ROTOLOG_CYCLIC_FILE_H
#define ROTOLOG_CYCLIC_FILE_H

#include <stdarg.h>
#include <stdint.h>

#include "rotolog/export.h"

/* Status codes of the family: X(name, value, text). Never renumbered.
 *
 * The text is the library's; errno, read at once after the failed call, adds
 * the system's reason where a system call failed. What each code leaves in it:
 *   CYCLIC_FILE_LOAD_ERROR           0 (no name, or a header that does not
 *                                    describe its file).
 *   CYCLIC_FILE_INVALID_BUFFER_SIZE  0.
 *   CYCLIC_FILE_PERMISSION_DENIED    opening: EACCES or EPERM (no permission;
 *                                    another user's file, symlink or lock file
 *                                    in a shared directory), EMLINK (more than
 *                                    one hard link), ELOOP, EBUSY (a process of
 *                                    0.2 has the lock file open), ENOSPC (no
 *                                    room for the lock file); a write or read
 *                                    that the mode does not allow: unchanged.
 *   CYCLIC_FILE_WRITE_FAILED         EINVAL (no data, a length below 1, an
 *                                    empty text), EMSGSIZE (longer than the
 *                                    ring less 4 bytes), ETIMEDOUT (the lock's
 *                                    holder kept it 500 ms), the error of a
 *                                    failed flush in CYCLIC_FILE_MODE_FLUSH
 *                                    (EIO, ...).
 *   CYCLIC_FILE_READ_ALL_FAILED      unchanged (the header no longer describes
 *                                    the file, or writers kept it changing).
 *   CYCLIC_FILE_INVALID_HANDLE       unchanged.
 *   CYCLIC_FILE_NOT_FOUND            ENOENT (missing, with
 *                                    CYCLIC_FILE_MODE_WRITE or
 *                                    CYCLIC_FILE_MODE_MUST_EXIST), or what
 *                                    stopped its creation: ENOSPC, EDQUOT,
 *                                    EFBIG (past the file size limit), EACCES
 *                                    (a directory it may not write), ...
 *   CYCLIC_FILE_MAP_FAILED           ENOENT (missing, opened with neither of
 *                                    those flags), EISDIR or ENODEV (not a
 *                                    regular file), EINVAL (empty), ENOSPC (a
 *                                    writer's blocks cannot be reserved), or
 *                                    the mapping's ENOMEM.
 *   CYCLIC_FILE_NO_MEMORY            ENOMEM when the system refused memory.
 * cyclic_file_create_handle sets errno to 0 where no system call failed;
 * the other calls leave it unchanged there, so a caller who sets errno to 0
 * before the call knows that a nonzero value after it is the reason. */
#define CYCLIC_FILE_STATUS_TABLE(X)                                  \
  X(CYCLIC_FILE_OK, 0, "success")                                    \
  X(CYCLIC_FILE_LOAD_ERROR, -10, "Error loading file")               \
  X(CYCLIC_FILE_INVALID_BUFFER_SIZE, -11, "Invalid buffer size")     \
  X(CYCLIC_FILE_PERMISSION_DENIED, -12, "Permission denied")         \
  X(CYCLIC_FILE_WRITE_FAILED, -13, "Failed to write message")        \
  X(CYCLIC_FILE_READ_ALL_FAILED, -14, "Failed to read all messages") \
  X(CYCLIC_FILE_INVALID_HANDLE, -15, "Invalid cyclic file handle")   \
  X(CYCLIC_FILE_NOT_FOUND, -16, "File not found")                    \
  X(CYCLIC_FILE_MAP_FAILED, -17, "Unable to map file to memory")     \
  X(CYCLIC_FILE_NO_MEMORY, -18, "Failed to allocate memory")

#define CYCLIC_FILE_STATUS_ENUMERATOR(name, value, text) name = (value),
enum cyclic_file_status { CYCLIC_FILE_STATUS_TABLE(CYCLIC_FILE_STATUS_ENUMERATOR) };
#undef CYCLIC_FILE_STATUS_ENUMERATOR

/* Mode flags, freely combined. */
#define CYCLIC_FILE_MODE_READ 1  /* cyclic_file_read_all is permitted */
#define CYCLIC_FILE_MODE_WRITE 2 /* writes are permitted; a missing file is created */
/* loading fails with CYCLIC_FILE_NOT_FOUND when the file is missing; nothing
 * is created, even with CYCLIC_FILE_MODE_WRITE */
#define CYCLIC_FILE_MODE_MUST_EXIST 4
#define CYCLIC_FILE_MODE_FLUSH 8 /* every successful write is flushed to disk */
/* cyclic_file_write and cyclic_file_fwritef write entries (below) at level
 * CYCLIC_FILE_LEVEL_INFO, so that a program gets entries without changing
 * its calls */
#define CYCLIC_FILE_MODE_ENTRIES 16

/* Entries. An entry is a message that carries, in a 32-byte head in front of
 * its text, the time it was written (CLOCK_REALTIME, nanoseconds), the ids of
 * the process and the thread that wrote it, a level (syslog's priorities), its
 * number among all messages ever appended to the file, and a CRC32C of all of
 * it. It is stored as an ordinary message, so a reader of an older version
 * reads it as one (its head and text). Numbers are given under the file's
 * lock: entries are in the order of their numbers, and within one process in
 * the order of their times. cyclic_file_read_messages leaves out an entry
 * whose checksum does not hold (a torn record after a machine crash, or one
 * changed by hand) or whose number is out of place; cyclic_file_read_all
 * leaves out the first. */
#define CYCLIC_FILE_LEVEL_EMERGENCY 0
#define CYCLIC_FILE_LEVEL_ALERT 1
#define CYCLIC_FILE_LEVEL_CRITICAL 2
#define CYCLIC_FILE_LEVEL_ERROR 3
#define CYCLIC_FILE_LEVEL_WARNING 4
#define CYCLIC_FILE_LEVEL_NOTICE 5
#define CYCLIC_FILE_LEVEL_INFO 6
#define CYCLIC_FILE_LEVEL_DEBUG 7
#define CYCLIC_FILE_ENTRY_HEAD_SIZE 32

/* One message as cyclic_file_read_messages hands it out. */
typedef struct cyclic_file_message {
  const char *data; /* an entry's text, or a raw message's bytes */
  int length;       /* bytes at data (an entry's text may be empty) */
  int is_entry;     /* nonzero: level, time_ns, pid and tid hold */
  int level;        /* CYCLIC_FILE_LEVEL_*; -1 for a raw message */
  int64_t time_ns;  /* nanoseconds since the epoch; 0 for a raw message */
  int32_t pid;      /* the writer's process and thread ids; 0 for a raw message */
  int32_t tid;
  uint64_t seq; /* its number among all messages ever appended; 0: unknown */
} cyclic_file_message_t;

/* Called once per message; a nonzero result stops the walk. */
typedef int (*cyclic_file_message_visitor)(const cyclic_file_message_t *message, void *context);

ROTOLOG_EXTERN_C_BEGIN

/* Opens the cyclic file `file_name`, creating it (mode 0660 less the umask)
 * with a ring of `buffer_size` bytes when it is missing and `mode` has
 * CYCLIC_FILE_MODE_WRITE but not CYCLIC_FILE_MODE_MUST_EXIST. A new ring must
 * hold a message: at least 5 bytes (a 4-byte length and one byte), or
 * CYCLIC_FILE_INVALID_BUFFER_SIZE. An existing file is never recreated: its own
 * ring size replaces `buffer_size`. A handle is only handed out with both its
 * locks in hand. Stores the status through `status` (may be null):
 * CYCLIC_FILE_OK, CYCLIC_FILE_LOAD_ERROR (no name, or the header is damaged;
 * the file is left as it is), CYCLIC_FILE_INVALID_BUFFER_SIZE,
 * CYCLIC_FILE_NOT_FOUND (missing, with errno ENOENT, or could not be created:
 * EFBIG when it would pass the process's file size limit),
 * CYCLIC_FILE_PERMISSION_DENIED (the lock cannot be had: FILE-lock is refused,
 * may not be opened or made, or there is no room for it; or FILE is refused: no
 * permission, another user's file or symlink in a shared directory, more than
 * one hard link; a missing FILE is then not created), CYCLIC_FILE_MAP_FAILED
 * (not a regular file, not mappable, or, for a writer, its blocks cannot be
 * reserved: ENOSPC for a file with holes on a full disk), CYCLIC_FILE_NO_MEMORY. Returns the
 * handle, or null on any failure; errno then holds the error of the system call
 * that failed (ENOENT, EACCES, ENOSPC, ...), kept across the cleanup, or 0 when
 * none did (a damaged header, a bad size). Release it with
 * cyclic_file_destroy_handle. A handle that may write mends a file whose header
 * disagrees with its records before it is handed out. A caller who may read the
 * file but not write it, opening it without CYCLIC_FILE_MODE_WRITE, gets a
 * read-only mapping and, when it may read the lock file, a reader's handle of
 * it (for the count of messages appended); no read takes a lock (see
 * cyclic_file_read_all). */
ROTOLOG_API void *cyclic_file_create_handle(const char *file_name, int mode, int buffer_size,
                                            int *status);

/* Unmaps the file and frees the handle; the file stays on disk with its
 * messages. Accepts null. Must not race with other uses of the handle. */
ROTOLOG_API void cyclic_file_destroy_handle(void *handle);

/* Appends one message of `length` bytes (1 to the ring size less 4), dropping
 * the oldest messages when room is short, and counts it among the messages
 * ever appended (in the lock file). Returns CYCLIC_FILE_OK,
 * CYCLIC_FILE_PERMISSION_DENIED (no CYCLIC_FILE_MODE_WRITE),
 * CYCLIC_FILE_WRITE_FAILED (null data or a length below 1: errno EINVAL; a
 * message longer than the ring less 4 bytes: EMSGSIZE; a flush that failed, or
 * the lock could not be had: errno says which, e.g. EIO of the flush, or
 * ETIMEDOUT when its holder kept it 500 ms), CYCLIC_FILE_READ_ALL_FAILED
 * (the header in the file no longer describes it) or
 * CYCLIC_FILE_INVALID_HANDLE. Records that disagree with the header are
 * salvaged first (see above), so a damaged ring does not fail the write. The
 * bytes are copied. An uncontended write makes no system call; in
 * CYCLIC_FILE_MODE_FLUSH the message is on disk when CYCLIC_FILE_OK is
 * returned (two to four flushes of the pages it changed); when a flush fails
 * the write returns CYCLIC_FILE_WRITE_FAILED with the flush's errno, and the
 * header says what the ring then holds: the message is counted only when its
 * last flush (that of the header) was the one that failed, and is then in
 * the ring but not known to be on disk. */
ROTOLOG_API int cyclic_file_write(void *handle, const char *data, int length);

/* Formats like vsnprintf and appends the text (without a terminating NUL) as
 * one message. Returns what cyclic_file_write returns, or
 * CYCLIC_FILE_NO_MEMORY when the text cannot be formatted in memory, or
 * CYCLIC_FILE_WRITE_FAILED for an empty text, a null format or a formatting
 * error. `args` is not consumed (each formatting pass works on a copy). */
ROTOLOG_API int cyclic_file_vfwritef(void *handle, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));

/* cyclic_file_vfwritef with a variable argument list. */
ROTOLOG_API int cyclic_file_fwritef(void *handle, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* Appends an entry of `level` (CYCLIC_FILE_LEVEL_EMERGENCY to
 * CYCLIC_FILE_LEVEL_DEBUG) whose text is the `length` bytes at `data` (0 to
 * the ring size less 36; data may be null when length is 0), stamped with
 * the time, this process's and thread's ids and the entry's number, all
 * taken under the file's lock. Returns what cyclic_file_write returns
 * (CYCLIC_FILE_WRITE_FAILED with EINVAL for a bad level or length, EMSGSIZE
 * for a text the ring cannot hold), or CYCLIC_FILE_NO_MEMORY. */
ROTOLOG_API int cyclic_file_write_entry(void *handle, int level, const char *data, int length);

/* cyclic_file_write_entry with the time and the thread of a record made
 * before, or on another thread (a logging library's record handed to a
 * background thread): `time_ns` (nanoseconds since the epoch) and `tid` are
 * stored as given, each replaced by now and this thread when 0. Times given
 * are not kept in order. Returns what cyclic_file_write_entry returns
 * (EINVAL also for a negative tid). */
ROTOLOG_API int cyclic_file_write_entry_ex(void *handle, int level, int64_t time_ns, int32_t tid,
                                           const char *data, int length);

/* Formats like vsnprintf and appends the text as an entry of `level`.
 * Returns what cyclic_file_write_entry returns, or CYCLIC_FILE_NO_MEMORY, or
 * CYCLIC_FILE_WRITE_FAILED for a null format or a formatting error. `args`
 * is not consumed. */
ROTOLOG_API int cyclic_file_vfwrite_entry(void *handle, int level, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));

/* cyclic_file_vfwrite_entry with a variable argument list. */
ROTOLOG_API int cyclic_file_fwrite_entry(void *handle, int level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* Copies every message, oldest first, into one new block, with no separator
 * and no length prefix, without consuming them. On success returns the
 * number of messages (0 for an empty file, with *buffer null and *length 0)
 * and stores the block and its byte count. The block (at least ring size + 1
 * bytes) is the caller's, released with cyclic_file_free_read_buffer. Takes
 * no lock and never changes the file: it copies while writers go on and
 * returns only messages that were whole and counted at one moment (the
 * oldest, when writers overwrote them meanwhile, are left out); records that
 * disagree with the header are salvaged in its copy, and the kept ones
 * returned (the file itself is mended by its next writer). Failures:
 * CYCLIC_FILE_PERMISSION_DENIED (no CYCLIC_FILE_MODE_READ),
 * CYCLIC_FILE_READ_ALL_FAILED (the header no longer describes the file, or
 * writers kept it changing for a second),
 * CYCLIC_FILE_NO_MEMORY, CYCLIC_FILE_INVALID_HANDLE; *buffer is then null
 * and *length 0 (not written at all for the first and the last). */
ROTOLOG_API int cyclic_file_read_all(void *handle, char **buffer, int *length);

/* Calls visit(message, context) for each message of the file, oldest first:
 * the newest `newest` of them (all when negative) whose number is above
 * `after` (0: every one). The messages come from one copy taken as
 * cyclic_file_read_all takes it (no lock; nothing consumed; the file is not
 * changed) and are visited after it, so a slow visitor holds up no writer.
 * An entry comes with its fields and its text; a raw message with its bytes
 * and its number by position (0 when the file keeps no count). Entries come
 * in the order of their numbers: one whose number is not above the entry
 * before it (a record of another moment, after a machine crash) is left out.
 * message->data is valid during the call only. Returns the number of
 * messages visited (the one that stopped the walk included), or
 * CYCLIC_FILE_PERMISSION_DENIED (no CYCLIC_FILE_MODE_READ),
 * CYCLIC_FILE_READ_ALL_FAILED (null visit, or as cyclic_file_read_all),
 * CYCLIC_FILE_NO_MEMORY or CYCLIC_FILE_INVALID_HANDLE. Any thread may call
 * it beside writers of any process. */
ROTOLOG_API int cyclic_file_read_messages(void *handle, uint64_t after, int newest,
                                          cyclic_file_message_visitor visit, void *context);

/* The number of messages ever appended to the file (the newest message's
 * number), read from its lock file without a lock, for a follower to poll:
 * stored through `appended` (may be null), and 1 returned. Returns 0 (and
 * stores 0) when the file keeps no count this handle may see (a reader who may
 * not read the lock file), CYCLIC_FILE_INVALID_HANDLE for null. */
ROTOLOG_API int cyclic_file_appended(void *handle, uint64_t *appended);

/* What cyclic_file_check finds, in a copy of the file taken as every reader
 * takes it (no lock; the file is not changed). Offsets count from the ring's
 * first byte. */
typedef struct cyclic_file_check_report {
  int header_length; /* bytes of the encoded header in front of the ring */
  int buffer_size;   /* the ring's bytes */
  int message_count; /* the header's fields */
  int read_offset;
  int write_offset;
  int wasted_tail;
  long long used_bytes; /* from the read to the write position */
  int consistent;       /* the header's count of whole records ends at its write position */
  int kept_count;       /* what a salvage would keep: messages, bytes, payload bytes */
  long long kept_bytes;
  long long kept_payload;
  int damaged_entries;     /* entries whose checksum fails */
  int misnumbered_entries; /* entries whose number is not above the one before */
} cyclic_file_check_t;

/* Checks the file's header against its records and its entries, as
 * rotolog-cat --verify and --stats report them, after undoing in its copy a
 * write that a writer killed half-way left. Returns 0 with *check filled,
 * CYCLIC_FILE_PERMISSION_DENIED (no CYCLIC_FILE_MODE_READ),
 * CYCLIC_FILE_READ_ALL_FAILED (null check, the header no longer describes the
 * file, or writers kept it changing for a second), CYCLIC_FILE_NO_MEMORY or
 * CYCLIC_FILE_INVALID_HANDLE. The file is sound when consistent is nonzero
 * and no entry is damaged or misnumbered. */
ROTOLOG_API int cyclic_file_check(void *handle, cyclic_file_check_t *check);

/* The size of the file's ring in bytes (a message's length field takes 4 of
 * them, an entry's head 32 more), or CYCLIC_FILE_INVALID_HANDLE for null.
 * For texts such as "a message of N bytes does not fit a ring of M bytes". */
ROTOLOG_API int cyclic_file_get_buffer_size(void *handle);

/* Releases a block from cyclic_file_read_all. Does nothing when the handle
 * or the block is null. */
ROTOLOG_API void cyclic_file_free_read_buffer(void *handle, char *buffer);

/* Writes the whole mapped file (header and ring) to disk and waits for it.
 * Returns nonzero on success, 0 when the flush failed, and
 * CYCLIC_FILE_INVALID_HANDLE for a null handle. Takes no lock. */
ROTOLOG_API int cyclic_file_flush(void *handle);

/* The constant English text of a status code ("Unknown" for any other
 * value, 0 included). Never fails; the text must not be freed. */
ROTOLOG_API const char *cyclic_file_get_error_string(int code);

ROTOLOG_EXTERN_C_END

#ifdef __cplusplus
/* Loads a handle that is not loaded yet. Every handle from
 * cyclic_file_create_handle is loaded already, so this returns
 * CYCLIC_FILE_LOAD_ERROR for it and changes nothing;
 * CYCLIC_FILE_INVALID_HANDLE for null. Exported under its C++ name. */
ROTOLOG_API int cyclic_file_load_file(void *handle);
#endif

#endif
