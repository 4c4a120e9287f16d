// sysbrace file services: creating, opening, writing, sizing, syncing and
// removing the cyclic file, and flushing its mapping; each passed through
// its test seam, so that a test can make the Nth call of a service fail.
#include "rotolog/platform/sysbrace.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system_call.h"

using platform_call::as_errno_result;
using platform_call::retry_on_eintr;
using platform_call::seam_fails;

namespace {

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Opens a path that has no symlink in any component (openat2 with
// RESOLVE_NO_SYMLINKS); where the kernel has no openat2 (or a filter refuses
// it), only the last component is checked (O_NOFOLLOW).
int open_without_symlinks(const char *path, int flags) {
  static std::atomic<bool> no_openat2{false};
  if (!no_openat2.load(std::memory_order_relaxed)) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
    if (errno == ENOSYS) no_openat2.store(true, std::memory_order_relaxed);
  }
  return open(path, flags | O_NOFOLLOW);
}

// In a sticky directory that others may write, an existing file is opened
// only when it belongs to the caller or to the directory's owner: anyone else
// may have made it there beforehand, to read what the caller writes or to
// truncate it under the caller's mapping. This is the rule of
// fs.protected_regular=2, applied whatever the machine's setting.
bool may_open_in_directory(const char *path, const os_file_facts_t &facts) {
  if (facts.owner == geteuid()) return true;
  const char *slash = std::strrchr(path, '/');
  if (slash == nullptr) return false;  // the path is canonical, so never happens
  char directory[PATH_MAX];
  size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
  if (length >= sizeof directory) return false;
  std::memcpy(directory, path, length);
  directory[length] = '\0';
  struct stat parent;
  if (stat(directory, &parent) != 0) return false;
  bool shared = (parent.st_mode & S_ISVTX) && (parent.st_mode & (S_IWOTH | S_IWGRP));
  return !shared || facts.owner == parent.st_uid;
}

// A temporary is named "<path>.<pid>.<tag>.tmp"; its creator holds a write
// lock on it (an OFD lock, tied to the open file, released when the process
// ends) until it publishes or removes it.
constexpr char kTemporarySuffix[] = ".tmp";

// The pid in the name of a temporary of the file called `base`, or 0 when
// `name` is not one.
long temporary_pid(const char *name, const char *base, size_t base_length) {
  if (std::strncmp(name, base, base_length) != 0 || name[base_length] != '.') return 0;
  const char *cursor = name + base_length + 1;
  char *end = nullptr;
  errno = 0;
  long pid = std::strtol(cursor, &end, 10);
  if (errno != 0 || end == cursor || *end != '.' || pid <= 0) return 0;
  cursor = end + 1;
  const char *tag = cursor;
  while ((*cursor >= '0' && *cursor <= '9') || (*cursor >= 'a' && *cursor <= 'f')) ++cursor;
  if (cursor == tag || std::strcmp(cursor, kTemporarySuffix) != 0) return 0;
  return pid;
}

// True when no process holds the creator's lock on the file at path.
bool nobody_holds(const char *path) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info;
  bool free = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              os_file_lock_conflict(fd, F_WRLCK, 0, 0) == F_UNLCK;
  close(fd);
  return free;
}

// The one exclusive create: a new file at path (O_EXCL never follows a
// symlink there), opened with access, its bits mode less the umask.
int create_exclusive(const char *path, int access, mode_t mode) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (seam_fails(TEST_SEAM_FILE_CREATE, path)) return -1;
  return retry_on_eintr([&] {
    return open(path, access | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode);
  });
}

// The request for a range lock; false, with EINVAL, for a range no file
// offset can hold.
bool lock_request(short type, uint64_t start, uint64_t length, struct flock *request) {
  if (start > static_cast<uint64_t>(INT64_MAX) || length > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return false;
  }
  std::memset(request, 0, sizeof *request);
  request->l_type = type;
  request->l_whence = SEEK_SET;
  request->l_start = static_cast<off_t>(start);
  request->l_len = static_cast<off_t>(length);
  return true;
}

}  // namespace

extern "C" {

int os_file_create_new(const char *path) { return create_exclusive(path, O_WRONLY, 0660); }

int os_file_create_exact(const char *path, mode_t mode) {
  const int fd = create_exclusive(path, O_RDWR, mode & 07777);
  // The umask took some bits: give them back while the file is still empty.
  if (fd >= 0 && fchmod(fd, mode & 07777) != 0) {
    const int error = errno;
    close(fd);
    unlink(path);
    errno = error;
    return -1;
  }
  return fd;
}

int os_file_lock_range(int fd, short type, uint64_t start, uint64_t length) {
  struct flock request;
  if (!lock_request(type, start, length, &request)) return -1;
  if (seam_fails(TEST_SEAM_FILE_LOCK, nullptr, fd)) return -1;
  return retry_on_eintr([&] { return fcntl(fd, F_OFD_SETLK, &request); });
}

int os_file_lock_conflict(int fd, short type, uint64_t start, uint64_t length) {
  struct flock probe;
  if (!lock_request(type, start, length, &probe) || fcntl(fd, F_OFD_GETLK, &probe) != 0) return -1;
  return probe.l_type;
}

int os_file_describe(int fd, os_file_facts_t *facts) {
  if (facts == nullptr) {
    errno = EINVAL;
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) return -1;
  facts->size = static_cast<uint64_t>(info.st_size);
  facts->mode = info.st_mode;
  facts->owner = info.st_uid;
  facts->group = info.st_gid;
  facts->links = info.st_nlink;
  facts->device = info.st_dev;
  facts->inode = info.st_ino;
  return 0;
}

int os_file_open_existing(const char *path, int writable, os_file_facts_t *facts) {
  if (path == nullptr || facts == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (seam_fails(TEST_SEAM_FILE_OPEN, path)) return -1;
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd = retry_on_eintr([&] { return open_without_symlinks(path, flags); });
  if (fd < 0) return -1;
  int refusal = 0;
  if (os_file_describe(fd, facts) != 0) {
    refusal = errno;
  } else if (S_ISDIR(facts->mode)) {
    refusal = EISDIR;
  } else if (!S_ISREG(facts->mode)) {
    refusal = ENODEV;
  } else if (facts->links > 1) {
    // Two names of one file would get two locks; and a hard link is how
    // another user points a service at a file it could not name otherwise.
    refusal = EMLINK;
  } else if (!may_open_in_directory(path, *facts)) {
    refusal = EACCES;
  }
  if (refusal != 0) {
    close(fd);
    errno = refusal;
    return -1;
  }
  return fd;
}

int os_file_write_at(int fd, const void *data, size_t length, uint64_t offset) {
  if (seam_fails(TEST_SEAM_FILE_WRITE, nullptr, fd)) return -1;
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      length > static_cast<uint64_t>(INT64_MAX) - offset) {
    errno = EFBIG;
    return -1;
  }
  const char *bytes = static_cast<const char *>(data);
  while (length > 0) {
    ssize_t written =
        retry_on_eintr([&] { return pwrite(fd, bytes, length, static_cast<off_t>(offset)); });
    if (written < 0) return -1;
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
  if (seam_fails(TEST_SEAM_FILE_RESERVE, nullptr, fd)) return -1;
  if (size > static_cast<uint64_t>(INT64_MAX)) {
    errno = EFBIG;
    return -1;
  }
  const off_t length = static_cast<off_t>(size);
  if (length > 0) {
    if (retry_on_eintr([&] { return as_errno_result(posix_fallocate(fd, 0, length)); }) == 0) {
      // Reservation only grows a file; a longer file is cut to size below.
      struct stat info;
      if (fstat(fd, &info) != 0) return -1;
      if (info.st_size == length) return 0;
    } else if (errno != EOPNOTSUPP && errno != EINVAL) {
      return -1;
    }
  }
  return retry_on_eintr([&] { return ftruncate(fd, length); }) == 0 ? 0 : -1;
}

int os_file_reserve_in_place(int fd, uint64_t size) {
  if (seam_fails(TEST_SEAM_FILE_RESERVE, nullptr, fd)) return -1;
  if (size > static_cast<uint64_t>(INT64_MAX)) {
    errno = EFBIG;
    return -1;
  }
  if (size == 0) return 0;
  // No posix_fallocate: where the file system cannot reserve, it would write
  // a zero into every block that reads as zero, over what another process
  // may be storing there at that moment.
  const int reserved = retry_on_eintr(
      [&] { return fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)); });
  if (reserved == 0 || errno == EOPNOTSUPP || errno == ENOSYS) return 0;
  return -1;
}

int os_file_size_allowed(uint64_t size) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      size > static_cast<uint64_t>(limit.rlim_cur)) {
    errno = EFBIG;
    return -1;
  }
  return 0;
}

int os_file_sync(int fd) {
  if (seam_fails(TEST_SEAM_FILE_SYNC, nullptr, fd)) return -1;
  return retry_on_eintr([&] { return fsync(fd); }) == 0 ? 0 : -1;
}

int os_file_close(int fd) {
  // Never retried (see retry_on_eintr): EINTR means the descriptor is gone.
  if (close(fd) == 0 || errno == EINTR) return 0;
  return -1;
}

int os_file_delete(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (seam_fails(TEST_SEAM_FILE_DELETE, path)) return -1;
  return unlink(path) == 0 ? 0 : -1;
}

int os_flush_view(void *address, size_t length) {
  if (address == nullptr) {
    errno = EINVAL;
    return 0;
  }
  // A test may fail the flush, or replace it (and record what it covers).
  int verdict = test_seam_check(TEST_SEAM_FLUSH_VIEW, address, length, 0);
  if (verdict == TEST_SEAM_SKIP) return 1;
  if (verdict > 0) {
    errno = verdict;
    return 0;
  }
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
    std::uint64_t tag = static_cast<std::uint64_t>(now.tv_nsec) ^
                        __atomic_add_fetch(&counter, 0x9e3779b97f4a7c15ull, __ATOMIC_RELAXED);
    int written =
        std::snprintf(temporary, temporary_size, "%s.%ld.%llx%s", path, static_cast<long>(getpid()),
                      static_cast<unsigned long long>(tag), kTemporarySuffix);
    if (written < 0 || static_cast<size_t>(written) >= temporary_size) {
      errno = ENAMETOOLONG;
      return -1;
    }
    int fd = os_file_create_new(temporary);
    if (fd >= 0) {
      // Tells a later creator that this one is alive (see
      // os_file_remove_stale_temporaries); where the file system has no
      // such locks, the pid in the name alone tells it.
      os_file_lock_range(fd, F_WRLCK, 0, 0);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

int os_file_remove_stale_temporaries(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const char *slash = std::strrchr(path, '/');
  char directory[PATH_MAX];
  size_t directory_length =
      slash == nullptr || slash == path ? 1 : static_cast<size_t>(slash - path);
  if (directory_length >= sizeof directory) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (slash == nullptr) {
    directory[0] = '.';
  } else {
    std::memcpy(directory, path, directory_length);
  }
  directory[directory_length] = '\0';
  const char *base = slash == nullptr ? path : slash + 1;
  size_t base_length = std::strlen(base);

  DIR *listing = opendir(directory);
  if (listing == nullptr) return -1;
  int removed = 0;
  char candidate[PATH_MAX];
  while (dirent *entry = readdir(listing)) {
    long pid = temporary_pid(entry->d_name, base, base_length);
    // A creator that still runs (or that this process cannot signal) keeps
    // its temporary.
    if (pid == 0 || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    int written = std::snprintf(candidate, sizeof candidate, "%s/%s", directory, entry->d_name);
    if (written < 0 || static_cast<size_t>(written) >= sizeof candidate) continue;
    // Under another pid namespace the pid names another process: the
    // creator's lock has the last word.
    if (nobody_holds(candidate) && unlink(candidate) == 0) ++removed;
  }
  closedir(listing);
  return removed;
}

int os_file_publish(const char *temporary, const char *path) {
  if (seam_fails(TEST_SEAM_FILE_PUBLISH, path)) return -1;
  // A rename that refuses to replace: the file appears whole, with one link
  // from the start.
  if (syscall(SYS_renameat2, AT_FDCWD, temporary, AT_FDCWD, path, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems whose rename cannot refuse to replace: a hard link, which
  // never replaces, then the temporary name goes.
  if (link(temporary, path) != 0) return -1;
  unlink(temporary);
  return 0;
}

}  // extern "C"
