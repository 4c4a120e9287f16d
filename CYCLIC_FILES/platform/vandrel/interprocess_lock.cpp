// vandrel interprocess critical sections: a robust, process-shared pthread
// mutex in a small shared-memory object named after a hash of the lock name,
// created aside and published atomically so that no process ever uses a
// half-made object.
#include <rotolog/platform/vandrel.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "../test_seams.h"
#include "fault_seam.h"

namespace {

// ---- The shared object ----

// The version word also carries the sizes the layout depends on, so that a
// process of another word size or C library refuses the object instead of
// misreading its mutex.
constexpr uint32_t object_magic = 0x6b6c7472;  // "rtlk"
constexpr uint32_t object_version = 1u | (static_cast<uint32_t>(sizeof(pthread_mutex_t)) << 8) |
                                    (static_cast<uint32_t>(sizeof(void *)) << 24);

struct SharedLockObject {
  uint32_t magic;
  uint32_t version;
  pthread_mutex_t mutex;
};

constexpr char object_prefix[] = "rotolog-lock-";
constexpr size_t hash_hex_digits = 32;
// Directory, '/', prefix and hash; a temporary name adds a suffix of at most
// ".tmp-" and two 20-digit numbers.
constexpr size_t object_path_capacity = 16 + sizeof object_prefix + hash_hex_digits;
constexpr size_t temporary_path_capacity = object_path_capacity + 48;

struct InterprocessLock {
  SharedLockObject *object;
  // Set when enter found the previous holder dead and the mutex is not yet
  // marked consistent; only the holder reads or writes it.
  bool owner_died;
  char path[object_path_capacity];
};

// ---- Test seams ----

platform_seam::FaultPoint service_faults[VANDREL_LOCK_SERVICE_COUNT];
platform_seam::FaultPoint owner_died_report;

bool call_must_fail(vandrel_lock_service service) {
  int error = service_faults[service].check();
  if (error == 0) return false;
  errno = error;
  return true;
}

// ---- Naming ----

// FNV-1a over 128 bits: the object's name must tell apart lock names of any
// length and any bytes, and a raw name would not fit NAME_MAX anyway.
__extension__ typedef unsigned __int128 hash128_t;

hash128_t lock_name_hash(const char *name) {
  const hash128_t offset_basis =
      (static_cast<hash128_t>(0x6c62272e07bb0142ULL) << 64) | 0x62b821756295c58dULL;
  const hash128_t prime =
      (static_cast<hash128_t>(0x0000000001000000ULL) << 64) | 0x000000000000013bULL;
  hash128_t hash = offset_basis;
  for (const unsigned char *byte = reinterpret_cast<const unsigned char *>(name); *byte != 0;
       ++byte) {
    hash ^= *byte;
    hash *= prime;
  }
  return hash;
}

// Every process of the machine must pick the same directory, so the choice
// depends on the machine only (never on the environment): /dev/shm where it
// exists, the system's temporary directory otherwise.
const char *object_directory() {
  static const char *const directory = [] {
    struct stat info;
    return (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode)) ? "/dev/shm" : "/tmp";
  }();
  return directory;
}

void build_object_path(const char *name, char *path, size_t capacity) {
  hash128_t hash = lock_name_hash(name);
  std::snprintf(path, capacity, "%s/%s%016llx%016llx", object_directory(), object_prefix,
                static_cast<unsigned long long>(hash >> 64), static_cast<unsigned long long>(hash));
}

// ---- Opening and creating ----

SharedLockObject *map_object(int fd) {
  if (call_must_fail(VANDREL_LOCK_SERVICE_MMAP)) return nullptr;
  void *address =
      mmap(nullptr, sizeof(SharedLockObject), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return address == MAP_FAILED ? nullptr : static_cast<SharedLockObject *>(address);
}

void close_keeping_errno(int fd) {
  int saved_errno = errno;
  close(fd);
  errno = saved_errno;
}

// Maps the published object at path; null with errno ENOENT when there is
// none yet, EPROTO when what is there is not a lock object of this layout.
// Opened without O_CREAT: where fs.protected_regular is set, O_CREAT on
// another user's file in a sticky directory fails even when it exists.
SharedLockObject *open_published(const char *path) {
  if (call_must_fail(VANDREL_LOCK_SERVICE_OPEN)) return nullptr;
  int fd;
  do {
    fd = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    close_keeping_errno(fd);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode) || info.st_size != static_cast<off_t>(sizeof(SharedLockObject))) {
    close(fd);
    errno = EPROTO;
    return nullptr;
  }
  SharedLockObject *object = map_object(fd);
  close_keeping_errno(fd);  // the mapping keeps the object
  if (object == nullptr) return nullptr;
  if (object->magic != object_magic || object->version != object_version) {
    munmap(object, sizeof(SharedLockObject));
    errno = EPROTO;
    return nullptr;
  }
  return object;
}

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

// Opens a new file under a name no other creator uses: the published path
// with a suffix of this process and a counter.
int create_temporary(const char *path, char *temporary, size_t capacity) {
  static std::atomic<unsigned long> counter{0};
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::snprintf(temporary, capacity, "%s.tmp-%ld-%lu", path, static_cast<long>(getpid()),
                  counter.fetch_add(1, std::memory_order_relaxed));
    if (call_must_fail(VANDREL_LOCK_SERVICE_CREATE)) return -1;
    int fd;
    do {
      fd = open(temporary, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0660);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 || errno != EEXIST) return fd;  // EEXIST: a stale temporary of a dead pid
  }
  return -1;
}

// Builds a complete object under a temporary name (sized, mutex initialised,
// magic word written last) and only then links it to path, so the published
// name never shows a half-made object, even if this process is killed at any
// point; a killed creator leaves at most an unused temporary. Returns the
// mapped object when this process published it; null with errno EEXIST when
// another process published first (the caller then opens that one).
SharedLockObject *create_and_publish(const char *path) {
  char temporary[temporary_path_capacity];
  int fd = create_temporary(path, temporary, sizeof temporary);
  if (fd < 0) return nullptr;

  SharedLockObject *object = nullptr;
  bool sized = !call_must_fail(VANDREL_LOCK_SERVICE_SIZE) &&
               ftruncate(fd, static_cast<off_t>(sizeof(SharedLockObject))) == 0;
  if (sized) object = map_object(fd);
  if (object != nullptr) {
    int error = initialise_mutex(&object->mutex);
    if (error == 0) {
      object->version = object_version;
      object->magic = object_magic;
      if (!call_must_fail(VANDREL_LOCK_SERVICE_PUBLISH) && link(temporary, path) == 0) {
        unlink(temporary);
        close(fd);
        return object;
      }
    } else {
      errno = error;
    }
    munmap(object, sizeof(SharedLockObject));
  }
  int saved_errno = errno;
  unlink(temporary);
  close(fd);
  errno = saved_errno;
  return nullptr;
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

vandrel_lock_t init_interprocess_critical_section(const char *name) {
  if (name == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  InterprocessLock *lock = static_cast<InterprocessLock *>(vel_malloc(sizeof(InterprocessLock)));
  if (lock == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  lock->object = nullptr;
  lock->owner_died = false;
  build_object_path(name, lock->path, sizeof lock->path);

  // Open what is published; create it when nothing is; when another creator
  // wins the race, open the winner's. A few rounds cover an object removed
  // by hand between the steps.
  for (int round = 0; round < 8 && lock->object == nullptr; ++round) {
    lock->object = open_published(lock->path);
    if (lock->object != nullptr || errno != ENOENT) break;
    lock->object = create_and_publish(lock->path);
    if (lock->object == nullptr && errno != EEXIST) break;
  }
  if (lock->object == nullptr) {
    int saved_errno = errno;
    vel_free(lock);
    errno = saved_errno;
    return nullptr;
  }
  return lock;
}

int enter_interprocess_critical_section(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) return VANDREL_LOCK_FAILED;
  int error = lock_spinning_first(&lock->object->mutex);
  if (error == EOWNERDEAD) {
    // This thread holds the mutex; it stays inconsistent until the caller
    // has checked what it protects (or until leave).
    lock->owner_died = true;
    return VANDREL_LOCK_OWNER_DIED;
  }
  if (error != 0) return VANDREL_LOCK_FAILED;
  if (owner_died_report.check() != 0) return VANDREL_LOCK_OWNER_DIED;
  return VANDREL_LOCK_TAKEN;
}

void mark_interprocess_critical_section_consistent(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr || !lock->owner_died) return;
  pthread_mutex_consistent(&lock->object->mutex);
  lock->owner_died = false;
}

void leave_interprocess_critical_section(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) return;
  // Unlocking an inconsistent robust mutex would make it ENOTRECOVERABLE for
  // every process: mark it consistent first.
  mark_interprocess_critical_section_consistent(lock);
  pthread_mutex_unlock(&lock->object->mutex);
}

void destroy_interprocess_critical_section(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) return;
  // The object stays published for the other handles and processes.
  munmap(lock->object, sizeof(SharedLockObject));
  vel_free(lock);
}

// ---- Test seams ----

void vandrel_test_fail_lock_call(enum vandrel_lock_service service, long nth, int error) {
  if (service >= 0 && service < VANDREL_LOCK_SERVICE_COUNT) service_faults[service].arm(nth, error);
}

long vandrel_test_lock_call_count(enum vandrel_lock_service service) {
  if (service < 0 || service >= VANDREL_LOCK_SERVICE_COUNT) return 0;
  return service_faults[service].calls();
}

void vandrel_test_report_owner_died(long nth) { owner_died_report.arm(nth, 1); }

int vandrel_test_lock_object_path(void *handle, char *out, unsigned long out_size) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr || out == nullptr) return -1;
  size_t length = std::strlen(lock->path) + 1;
  if (length > out_size) return -1;
  std::memcpy(out, lock->path, length);
  return 0;
}

}  // extern "C"
