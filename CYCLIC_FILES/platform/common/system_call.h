// How the platform libraries make a system call: its test seam may fail it
// first (test_seams.h), and a call that a signal interrupts is made again.
#ifndef ROTOLOG_PLATFORM_SYSTEM_CALL_H
#define ROTOLOG_PLATFORM_SYSTEM_CALL_H

#include "rotolog/platform/test_seams.h"

#include <cerrno>

namespace platform_call {

// True, with errno set to the chosen error, when a test makes this call of
// `seam` fail: the caller then returns its failure without calling the
// operating system. A hook sees the path the call names, or the descriptor
// it works on, so that a test can fail the calls on one file only. One
// relaxed load while no test uses the seams.
inline bool seam_fails(test_seam seam, const char *path = nullptr, int fd = -1) {
  int error = test_seam_check(seam, const_cast<char *>(path), 0, fd);
  if (error <= 0) return false;
  errno = error;
  return true;
}

// The allocation seam: a failed allocation reports ENOMEM, as malloc does,
// whatever errno the test chose.
inline bool allocation_fails() {
  if (!seam_fails(TEST_SEAM_ALLOCATION)) return false;
  errno = ENOMEM;
  return true;
}

// Makes `call`, a system call that fails with -1 and errno, again for as long
// as it fails with EINTR: a signal caught during a slow call (an open of a
// FIFO, a waiting lock, a sync) interrupts it without failing it. Returns the
// last result, errno intact. close() is never retried so: Linux releases the
// descriptor whatever close reports, and a second close could release one
// that another thread has opened since (os_file_close counts EINTR as done).
template <typename Call>
auto retry_on_eintr(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// posix_fallocate returns its error instead of setting errno: 0, or -1 with
// errno set to error, as retry_on_eintr wants.
inline int as_errno_result(int error) {
  if (error == 0) return 0;
  errno = error;
  return -1;
}

}  // namespace platform_call

#endif
