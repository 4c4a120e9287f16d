// vandrel interprocess critical sections: a robust, process-shared pthread
// mutex in a small lock file beside the file it guards.
//
// Who may change the lock file. Every handle holds a shared OFD lock (an
// fcntl lock of the open file, which the kernel drops when the last
// descriptor of it closes, whatever way the process ends) on the whole lock
// file for as long as it lives, and maps the file only once it holds one. A
// process that gets the exclusive lock instead knows that no other handle
// has the file open or mapped, so it alone may write the file's layout: it
// lays out a lock file that is new (empty) or was never finished, or resets
// the mutex of one that is whole, since a mutex may read as held by a process
// of an earlier boot (the file outlives a reboot; no EOWNERDEAD will ever
// report that holder). Then it turns its lock into a shared one, which lets
// the others in. The lock file is thus made in place: nobody maps it while
// it is half made, and a maker killed half-way leaves an unfinished file for
// the next first opener to lay out, never a temporary.
#include "rotolog/platform/vandrel.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "system_call.h"

using platform_call::as_errno_result;
using platform_call::retry_on_eintr;
using platform_call::seam_fails;

namespace {

// ---- The lock file ----

// The version word also carries the sizes the layout depends on, so that a
// process of another word size or C library refuses the file instead of
// misreading its mutex.
constexpr uint32_t kLockFileMagic = 0x6b6c7472;  // "rtlk"
constexpr uint32_t kLockFileVersion = 2u | (static_cast<uint32_t>(sizeof(pthread_mutex_t)) << 8) |
                                      (static_cast<uint32_t>(sizeof(void *)) << 24);

struct LockFile {
  uint32_t magic;  // written last when the file is laid out
  uint32_t version;
  pthread_mutex_t mutex;
  // Set by a first opener that found the mutex held by a process that is
  // gone: the next to enter learns it as VANDREL_LOCK_OWNER_DIED. Read and
  // cleared under the mutex.
  uint32_t holder_lost;
  uint32_t reserved;
  uint64_t counter;  // stored under the mutex, read by anyone
};
static_assert(offsetof(LockFile, counter) % 8 == 0, "the counter is stored in one access");

struct InterprocessLock {
  LockFile *file;
  int fd;  // keeps the shared OFD lock while the handle lives
  // Only the holder reads or writes these: enter found the previous holder
  // lost (EOWNERDEAD, or holder_lost set), and it is not yet marked consistent.
  bool mutex_inconsistent;
  bool holder_lost;
};

// An opener that finds the file being made by someone else (or left
// unfinished while another handle shares it) tries again, this many times,
// a millisecond apart.
constexpr int kOpenRounds = 20;

// ---- Opening and creating ----

// Whoever may write the data may lock it, and nobody else: the lock file
// gives read and write to each class that may write the data file (and
// always to its owner). A class that may only read the data gets nothing,
// or it could hold a shared OFD lock for ever and keep every later first
// opener from resetting the mutex.
mode_t lock_file_permissions(mode_t data_mode) {
  mode_t bits = S_IRUSR | S_IWUSR;
  if (data_mode & S_IWGRP) bits |= S_IRGRP | S_IWGRP;
  if (data_mode & S_IWOTH) bits |= S_IROTH | S_IWOTH;
  return bits;
}

// Opens the lock file at path, creating it (empty) when there is none; *made
// tells which. -1 with errno on failure.
int open_or_create(const char *path, const vandrel_guarded_file &guarded, bool *made) {
  *made = false;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (seam_fails(TEST_SEAM_LOCK_OPEN)) return -1;
    int fd = retry_on_eintr(
        [&] { return open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY); });
    if (fd >= 0 || errno != ENOENT) return fd;

    // Only the data file's owner makes its lock file, or root, which hands
    // it to that owner: the others would refuse a lock file of anyone else.
    uid_t caller = geteuid();
    if (caller != guarded.owner && caller != 0) {
      errno = EPERM;
      return -1;
    }
    if (seam_fails(TEST_SEAM_LOCK_CREATE)) return -1;
    mode_t bits = lock_file_permissions(guarded.mode);
    fd = retry_on_eintr([&] {
      return open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, bits);
    });
    if (fd < 0) {
      if (errno == EEXIST) continue;  // made by someone else meanwhile: open theirs
      return -1;
    }
    *made = true;
    // The exact bits (the umask took some), and the data file's owner and
    // group where the caller may give them (a group it is not in stays its
    // own). Both before anyone could map the file: it is still empty.
    fchmod(fd, bits);
    if (caller != guarded.owner || getegid() != guarded.group)
      (void)!fchown(fd, guarded.owner, guarded.group);
    return fd;
  }
  errno = EAGAIN;
  return -1;
}

// One OFD lock request over the whole file: F_WRLCK or F_RDLCK, waiting or
// not. 0, or -1 with errno (EAGAIN or EACCES: another open file holds a
// conflicting lock).
int ofd_lock(int fd, short type, bool wait) {
  if (seam_fails(TEST_SEAM_LOCK_OFD)) return -1;
  struct flock request = {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  return retry_on_eintr([&] { return fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &request); });
}

LockFile *map_file(int fd) {
  if (seam_fails(TEST_SEAM_LOCK_MMAP)) return nullptr;
  void *address = mmap(nullptr, sizeof(LockFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return address == MAP_FAILED ? nullptr : static_cast<LockFile *>(address);
}

void unmap_file(LockFile *file) { munmap(file, sizeof(LockFile)); }

int initialise_mutex(pthread_mutex_t *mutex) {
  pthread_mutexattr_t attributes;
  int error = pthread_mutexattr_init(&attributes);
  if (error != 0) return error;
  error = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  if (error == 0) error = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  if (error == 0) error = pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  return error;
}

// Reserves the file's blocks before anything is stored through the mapping:
// a store into a page the file system has no room for raises SIGBUS.
int reserve(int fd) {
  if (seam_fails(TEST_SEAM_LOCK_RESERVE)) return errno;
  const off_t length = static_cast<off_t>(sizeof(LockFile));
  if (retry_on_eintr([&] { return as_errno_result(posix_fallocate(fd, 0, length)); }) == 0)
    return 0;
  if (errno != EOPNOTSUPP && errno != EINVAL) return errno;
  return retry_on_eintr([&] { return ftruncate(fd, length); }) == 0 ? 0 : errno;
}

// Alone with the file: lays it out whole, the magic word last, so that a
// maker killed at any point leaves a file the next first opener lays out
// again. The counter starts at 0. 0 or an errno value.
int lay_out(int fd, LockFile **mapped) {
  int error = reserve(fd);
  if (error != 0) return error;
  LockFile *file = map_file(fd);
  if (file == nullptr) return errno;
  error = initialise_mutex(&file->mutex);
  if (error != 0) {
    unmap_file(file);
    return error;
  }
  file->holder_lost = 0;
  file->reserved = 0;
  __atomic_store_n(&file->counter, 0, __ATOMIC_RELAXED);
  file->version = kLockFileVersion;
  __atomic_store_n(&file->magic, kLockFileMagic, __ATOMIC_RELEASE);
  *mapped = file;
  return 0;
}

// Alone with a whole file: a fresh mutex. A mutex that reads as held, or
// whose holder died, lost a holder in the middle of its work; that is passed
// on to the next to enter, which then checks what the lock protects.
int reset(LockFile *file) {
  int examined = pthread_mutex_trylock(&file->mutex);
  if (examined == 0 || examined == EOWNERDEAD) {
    // This thread holds it now, and it sits on this thread's robust list:
    // unlock before the mutex is written over.
    if (examined == EOWNERDEAD) pthread_mutex_consistent(&file->mutex);
    pthread_mutex_unlock(&file->mutex);
  }
  // EBUSY: held by a thread that is gone without the kernel's clean-up, as a
  // process of an earlier boot is; ENOTRECOVERABLE: abandoned inconsistent.
  int error = initialise_mutex(&file->mutex);
  if (error != 0) return error;
  if (examined != 0) file->holder_lost = 1;
  return 0;
}

bool whole(const LockFile *file) {
  return __atomic_load_n(&file->magic, __ATOMIC_ACQUIRE) == kLockFileMagic &&
         file->version == kLockFileVersion;
}

bool never_finished(const LockFile *file) {
  return __atomic_load_n(&file->magic, __ATOMIC_ACQUIRE) == 0 && file->version == 0;
}

// Takes this open file's OFD lock and maps the lock file, laying it out or
// resetting it when this is the only handle. 0, EAGAIN (try again: the file
// is being made, or was left unfinished while others share it), or the
// errno value that refuses it. `patient` while more tries are to come.
int take(int fd, const char *path, const vandrel_guarded_file &guarded, bool made, bool patient,
         LockFile **mapped) {
  struct stat info;
  if (fstat(fd, &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return EPROTO;
  // A lock file of anyone but the data file's owner or the caller may have
  // been planted, to be held for ever; it is refused before any lock on it
  // is waited for. An empty one may be one that root is making and has not
  // handed to the owner yet.
  if (info.st_uid != guarded.owner && info.st_uid != geteuid())
    return info.st_size == 0 && patient ? EAGAIN : EPERM;
  off_t size = info.st_size;
  if (size != 0 && size != static_cast<off_t>(sizeof(LockFile))) return EPROTO;

  if (ofd_lock(fd, F_WRLCK, false) == 0) {
    // Alone: no other handle has the file open, so nobody maps it. Its size
    // is read again: the file may have been laid out, and used, since the
    // look above, by handles that have all gone since.
    if (fstat(fd, &info) != 0) return errno;
    size = info.st_size;
    if (size != 0 && size != static_cast<off_t>(sizeof(LockFile))) return EPROTO;
    LockFile *file = size == 0 ? nullptr : map_file(fd);
    if (size != 0 && file == nullptr) return errno;
    int error = 0;
    if (file == nullptr || never_finished(file)) {
      if (file != nullptr) unmap_file(file);
      file = nullptr;
      error = lay_out(fd, &file);
      // Creates nothing that it cannot finish.
      if (error != 0 && made) unlink(path);
    } else if (!whole(file)) {
      error = EPROTO;
    } else {
      error = reset(file);
    }
    // Shared from here on: the others may come in.
    if (error == 0 && ofd_lock(fd, F_RDLCK, false) != 0) error = errno;
    if (error != 0) {
      if (file != nullptr) unmap_file(file);
      return error;
    }
    *mapped = file;
    return 0;
  }
  if (errno != EAGAIN && errno != EACCES) return errno;
  // Others have it open: wait only while one of them holds it exclusively,
  // which it does just long enough to lay the file out or reset it.
  if (ofd_lock(fd, F_RDLCK, true) != 0) return errno;
  if (size == 0) {
    if (fstat(fd, &info) != 0) return errno;
    if (info.st_size != static_cast<off_t>(sizeof(LockFile))) return EAGAIN;
  }
  LockFile *file = map_file(fd);
  if (file == nullptr) return errno;
  if (!whole(file)) {
    int error = never_finished(file) ? EAGAIN : EPROTO;
    unmap_file(file);
    return error;
  }
  *mapped = file;
  return 0;
}

void pause_a_millisecond() {
  timespec pause{0, 1000000};
  nanosleep(&pause, nullptr);
}

// ---- Taking the lock ----

void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// A holder keeps the lock for well under a microsecond, while sleeping in the
// kernel costs a system call and a wake-up on both sides: a contender first
// retries for about a microsecond, pausing between tries so that it does not
// take the lock's cache line from the holder, and sleeps only when the holder
// is slow (descheduled, or a long critical section).
constexpr int kSpinTries = 32;

int lock_spinning_first(pthread_mutex_t *mutex) {
  for (int spin = 0; spin < kSpinTries; ++spin) {
    int error = pthread_mutex_trylock(mutex);
    if (error != EBUSY) return error;
    for (int pause = 0; pause < 8; ++pause) cpu_pause();
  }
  return pthread_mutex_lock(mutex);
}

}  // namespace

extern "C" {

vandrel_lock_t init_interprocess_critical_section(const char *lock_file_path,
                                                  const struct vandrel_guarded_file *guarded) {
  if (lock_file_path == nullptr || guarded == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  InterprocessLock *lock = static_cast<InterprocessLock *>(vel_malloc(sizeof(InterprocessLock)));
  if (lock == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  int error = EAGAIN;
  for (int round = 0; round < kOpenRounds && error == EAGAIN; ++round) {
    if (round > 0) pause_a_millisecond();
    bool made = false;
    int fd = open_or_create(lock_file_path, *guarded, &made);
    if (fd < 0) {
      error = errno;
      continue;
    }
    LockFile *file = nullptr;
    error = take(fd, lock_file_path, *guarded, made, round + 1 < kOpenRounds, &file);
    if (error != 0) {
      close(fd);  // and with it the OFD lock
      continue;
    }
    lock->file = file;
    lock->fd = fd;
    lock->mutex_inconsistent = false;
    lock->holder_lost = false;
    return lock;
  }
  vel_free(lock);
  errno = error;
  return nullptr;
}

int enter_interprocess_critical_section(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) {
    errno = EINVAL;
    return VANDREL_LOCK_FAILED;
  }
  int error = lock_spinning_first(&lock->file->mutex);
  int state = VANDREL_LOCK_TAKEN;
  if (error == EOWNERDEAD) {
    // This thread holds the mutex; it stays inconsistent until the caller
    // has checked what it protects (or until leave).
    lock->mutex_inconsistent = true;
    state = VANDREL_LOCK_OWNER_DIED;
  } else if (error != 0) {
    errno = error;
    return VANDREL_LOCK_FAILED;
  } else if (__builtin_expect(lock->file->holder_lost != 0, 0)) {
    lock->holder_lost = true;
    state = VANDREL_LOCK_OWNER_DIED;
  }
  // Held from here on. A test may watch the entry, or have it report a dead
  // holder so that the caller's repair runs.
  if (test_seam_check(TEST_SEAM_LOCK_ENTER, lock, 0, state) > 0) state = VANDREL_LOCK_OWNER_DIED;
  return state;
}

void mark_interprocess_critical_section_consistent(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) return;
  if (lock->mutex_inconsistent) {
    pthread_mutex_consistent(&lock->file->mutex);
    lock->mutex_inconsistent = false;
  }
  if (lock->holder_lost) {
    lock->file->holder_lost = 0;
    lock->holder_lost = false;
  }
}

void leave_interprocess_critical_section(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) return;
  test_seam_check(TEST_SEAM_LOCK_LEAVE, lock, 0, 0);
  // Unlocking an inconsistent robust mutex would make it ENOTRECOVERABLE for
  // every process: mark it consistent first.
  mark_interprocess_critical_section_consistent(lock);
  pthread_mutex_unlock(&lock->file->mutex);
}

uint64_t get_interprocess_critical_section_counter(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) return 0;
  return __atomic_load_n(&lock->file->counter, __ATOMIC_ACQUIRE);
}

void add_to_interprocess_critical_section_counter(vandrel_lock_t handle, uint64_t amount) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) return;
  // Only the holder stores, so a load and a store do: no atomic
  // read-modify-write, no system call.
  uint64_t value = __atomic_load_n(&lock->file->counter, __ATOMIC_RELAXED);
  __atomic_store_n(&lock->file->counter, value + amount, __ATOMIC_RELEASE);
}

void destroy_interprocess_critical_section(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) return;
  // The lock file stays for the other handles and for every later process.
  unmap_file(lock->file);
  close(lock->fd);
  vel_free(lock);
}

}  // extern "C"
