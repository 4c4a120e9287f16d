// sysbrace file publication: a file is built under a temporary name beside
// its final one, then published whole, so no reader ever sees it half made.
#include <rotolog/platform/sysbrace.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

extern "C" {

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
  if (link(temporary, path) == 0) return 0;
  if (errno == EEXIST) return -1;
  // File systems without hard links: a rename that refuses to replace.
  if (syscall(SYS_renameat2, AT_FDCWD, temporary, AT_FDCWD, path, RENAME_NOREPLACE) == 0) return 0;
  return -1;
}

}  // extern "C"
