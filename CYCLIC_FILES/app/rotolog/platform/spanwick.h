/* spanwick: memory-mapped files. A handle maps all of the regular file open
 * on a descriptor into memory; the mapping outlives the descriptor it was
 * made from, so a mapped handle holds no file descriptor.
 *
 * Failures are reported one way: 0 on success, -1 on failure with errno set
 * (the failing call's own, kept intact up to the return); the handle's
 * creation returns null with errno ENOMEM. The getters answer null or 0 for
 * a null or unmapped handle and never fail; mmap_destroy_handle accepts
 * null. */
#ifndef ROTOLOG_PLATFORM_SPANWICK_H
#define ROTOLOG_PLATFORM_SPANWICK_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SPANWICK_API __attribute__((visibility("default")))

/* Mode bits for mmap_set_mode; SPANWICK_MODE_READ is required. */
#define SPANWICK_MODE_READ 1     /* pages are readable */
#define SPANWICK_MODE_WRITE 2    /* pages are writable (the file is opened read-write) */
#define SPANWICK_MODE_SHARED 256 /* stores reach the file and every other mapping of it */
/* The three above (259); the default. */
#define SPANWICK_MODE_SHARED_READ_WRITE \
  (SPANWICK_MODE_READ | SPANWICK_MODE_WRITE | SPANWICK_MODE_SHARED)

/* Opaque handle. Thread safety: one handle must not be used by two threads at
 * once; distinct handles (of the same file too) are independent. */
typedef void *mmap_handle_t;

/* Creates an unmapped handle with mode SPANWICK_MODE_SHARED_READ_WRITE. Returns the handle, to be
 * released with mmap_destroy_handle, or null when memory is exhausted. */
SPANWICK_API mmap_handle_t mmap_create_handle(void);

/* Sets how the next mmap_open_descriptor maps the file: SPANWICK_MODE_ bits. Returns
 * 0, or -1 with errno EINVAL for a null handle, unknown bits or a mode
 * without SPANWICK_MODE_READ. */
SPANWICK_API int mmap_set_mode(mmap_handle_t handle, int mode);

/* Maps all of the nonempty regular file open on fd, as the mode says (fd
 * must be open for reading, and for writing too with SPANWICK_MODE_WRITE).
 * The descriptor stays the caller's: it may be closed at once, the mapping
 * keeps the file. Returns 0, or -1 with errno: EINVAL (null handle, negative
 * fd, empty file), EBUSY (already mapped), ENODEV (not a regular file: FIFO,
 * device, socket), EISDIR, EFBIG (larger than the address space), or that of
 * fstat or mmap. A file truncated by someone else while mapped raises SIGBUS
 * in the process that touches the lost pages. */
SPANWICK_API int mmap_open_descriptor(mmap_handle_t handle, int fd);

/* Address of the file's first byte, valid until mmap_destroy_handle; null
 * for a null or unmapped handle. */
SPANWICK_API void *mmap_get_base_address(mmap_handle_t handle);

/* Length of the mapping in bytes (the file's size when it was mapped); 0 for
 * a null or unmapped handle. */
SPANWICK_API size_t mmap_get_length(mmap_handle_t handle);

/* Unmaps the file (stores already made stay in it) and frees the handle.
 * Accepts null and then does nothing. */
SPANWICK_API void mmap_destroy_handle(mmap_handle_t handle);

#ifdef __cplusplus
}
#endif

#endif
