// sysbrace file services: creating, writing, sizing, syncing and removing the
// cyclic file, and flushing its mapping; each routed through a fault point so
// that tests can make the Nth call of a service fail.
#include <rotolog/platform/sysbrace.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <time.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "../test_seams.h"
#include "fault_seam.h"

namespace {

platform_seam::FaultPoint service_faults[SYSBRACE_SERVICE_COUNT];

// True (errno set) when the armed seam makes this call of service fail.
bool call_must_fail(sysbrace_service service) {
  int error = service_faults[service].check();
  if (error == 0) return false;
  errno = error;
  return true;
}

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

extern "C" {

int os_file_create_new(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (call_must_fail(SYSBRACE_SERVICE_CREATE)) return -1;
  int fd;
  do {
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int os_file_write_at(int fd, const void *data, size_t length, uint64_t offset) {
  if (call_must_fail(SYSBRACE_SERVICE_WRITE)) return -1;
  if (offset > static_cast<uint64_t>(INT64_MAX) || length > static_cast<uint64_t>(INT64_MAX) - offset) {
    errno = EFBIG;
    return -1;
  }
  const char *bytes = static_cast<const char *>(data);
  while (length > 0) {
    ssize_t written = pwrite(fd, bytes, length, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    // A regular file that takes no byte of a nonempty write will take none
    // on a retry either: fail instead of spinning.
    if (written == 0) {
      errno = EIO;
      return -1;
    }
    bytes += written;
    length -= static_cast<size_t>(written);
    offset += static_cast<uint64_t>(written);
  }
  return 0;
}

int os_file_reserve(int fd, uint64_t size) {
  if (call_must_fail(SYSBRACE_SERVICE_RESERVE)) return -1;
  if (size > static_cast<uint64_t>(INT64_MAX)) {
    errno = EFBIG;
    return -1;
  }
  const off_t length = static_cast<off_t>(size);
  if (length > 0) {
    // posix_fallocate reports its error as its result, never through errno.
    int error;
    do {
      error = posix_fallocate(fd, 0, length);
    } while (error == EINTR);
    if (error != 0 && error != EOPNOTSUPP && error != EINVAL) {
      errno = error;
      return -1;
    }
    if (error == 0) {
      // Reservation only grows a file; a longer file is cut to size below.
      struct stat info;
      if (fstat(fd, &info) != 0) return -1;
      if (info.st_size == length) return 0;
    }
  }
  int result;
  do {
    result = ftruncate(fd, length);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : -1;
}

int os_file_sync(int fd) {
  if (call_must_fail(SYSBRACE_SERVICE_FSYNC)) return -1;
  int result;
  do {
    result = fsync(fd);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : -1;
}

int os_file_close(int fd) {
  if (close(fd) == 0 || errno == EINTR) return 0;
  return -1;
}

int os_file_delete(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (call_must_fail(SYSBRACE_SERVICE_UNLINK)) return -1;
  return unlink(path) == 0 ? 0 : -1;
}

int os_flush_view(void *address, size_t length) {
  if (address == nullptr) {
    errno = EINVAL;
    return 0;
  }
  if (call_must_fail(SYSBRACE_SERVICE_MSYNC)) return 0;
  // msync wants a page-aligned start: widen the range down to its page.
  uintptr_t start = reinterpret_cast<uintptr_t>(address);
  uintptr_t aligned = start & ~(static_cast<uintptr_t>(page_size()) - 1);
  size_t widened = length + static_cast<size_t>(start - aligned);
  if (widened < length) {
    errno = EINVAL;
    return 0;
  }
  return msync(reinterpret_cast<void *>(aligned), widened, MS_SYNC) == 0 ? 1 : 0;
}

// ---- Publication: a file built under a temporary name is published whole ----
int os_file_create_temporary(const char *path, char *temporary, size_t temporary_size) {
  // Unique enough across processes and threads; O_EXCL settles collisions.
  static std::uint64_t counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t tag = (static_cast<std::uint64_t>(getpid()) << 32) ^
                        static_cast<std::uint64_t>(now.tv_nsec) ^
                        __atomic_add_fetch(&counter, 0x9e3779b97f4a7c15ull, __ATOMIC_RELAXED);
    int written = std::snprintf(temporary, temporary_size, "%s.%016llx.tmp", path,
                                static_cast<unsigned long long>(tag));
    if (written < 0 || static_cast<size_t>(written) >= temporary_size) {
      errno = ENAMETOOLONG;
      return -1;
    }
    int fd = os_file_create_new(temporary);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

int os_file_publish(const char *temporary, const char *path) {
  if (call_must_fail(SYSBRACE_SERVICE_PUBLISH)) return -1;
  if (link(temporary, path) == 0) return 0;
  if (errno == EEXIST) return -1;
  // File systems without hard links: a rename that refuses to replace.
  if (syscall(SYS_renameat2, AT_FDCWD, temporary, AT_FDCWD, path, RENAME_NOREPLACE) == 0) return 0;
  return -1;
}

// ---- Test seams ----

void sysbrace_test_fail_call(enum sysbrace_service service, long nth, int error) {
  if (service >= 0 && service < SYSBRACE_SERVICE_COUNT) service_faults[service].arm(nth, error);
}

long sysbrace_test_call_count(enum sysbrace_service service) {
  if (service < 0 || service >= SYSBRACE_SERVICE_COUNT) return 0;
  return service_faults[service].calls();
}

}  // extern "C"
