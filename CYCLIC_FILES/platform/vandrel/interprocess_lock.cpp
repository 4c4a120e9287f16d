// vandrel interprocess critical sections: a lock word in a small lock file
// beside the file it guards, waited on with futex, and a few words of state
// that holders publish to readers.
//
// Threat. Whoever may write the guarded file may write its lock file, every
// byte of it, at any moment; whoever may read the guarded file may read the
// lock file, map it and place any OFD lock on it. So:
//   - the lock word holds plain values, never an address: the holder's
//     process id (high half) and thread id with a waiters bit (low half);
//     0 is free. A value read from the file is used only after its bounds
//     are checked here, and only as a process or thread id to ask the kernel
//     about, never as an address, a length or an index;
//   - a holder is dead when the kernel says so: the thread the word names
//     no longer exists in the process it names (tgkill(pid, tid, 0) fails
//     with ESRCH). The kernel keeps that answer; no user can fake it, and a
//     reader, which cannot store into the file, cannot change the question.
//     A waiter asks only after a sleep without change, so a live holder
//     costs its waiters nothing but the futex. Ids are reused only after the
//     kernel has handed out all others (4 million on 64-bit Linux), and a
//     lock left held is taken over by the next writer within a millisecond
//     or so; a word left by an earlier boot is cleared by the boot stamp
//     below.
//     Processes of one file must share a pid namespace;
//   - readers open the file read-only and place no lock on it; no OFD lock
//     a reader may hold is asked for by a writer of this layout (only the
//     conversion of the previous layout looks for its processes' locks, in
//     a file that readers could not open);
//   - a waiter gives up after VANDREL_LOCK_PATIENCE_MS, so a writer of the
//     file that holds the lock for ever (or scribbles a live holder into the
//     word) delays others by that much per call, which it could do by
//     holding the lock honestly.
//
// Layout, made in place: an opener that finds the file empty extends it to
// the layout's size (zeros), maps it, and lays it out under the lock itself,
// the magic word last; a maker killed half-way is taken over like any dead
// holder. No step needs the file to itself, so no reader's lock can hold an
// opener up. After a reboot the first opener of the new boot clears a word
// left by the old one (the boot stamp), whose ids may be in use again.
#include "rotolog/platform/vandrel.h"

#include "rotolog/platform/sysbrace.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "system_call.h"

using platform_call::seam_fails;

namespace {

// ---- The lock file ----

constexpr uint32_t kLockFileMagic = 0x6b6c7472;  // "rtlk"

struct LockFile {
  uint32_t magic;  // written last when the file is laid out
  uint32_t version;
  // The lock word: 0 free, else pid << 32 | tid, with kWaiters in the low
  // half while someone may sleep on it. Only the low half is a futex word.
  uint64_t word;
  // A hash of the boot id of the boot that last opened the file: a word
  // stamped by another boot is cleared by the first opener of this one.
  uint64_t boot;
  // Set by the opener that cleared such a word (kLostInEarlierBoot), or by
  // a test: the next to enter is told. Cleared by the holder.
  uint32_t holder_lost;
  uint32_t reserved;
  uint64_t shared[VANDREL_SHARED_WORDS];
};
static_assert(sizeof(LockFile) == 160, "the layout is part of the file format");
static_assert(offsetof(LockFile, word) % 8 == 0 && offsetof(LockFile, shared) % 8 == 0,
              "words are stored in one access");

constexpr uint32_t kLockFileVersion = 3u | (static_cast<uint32_t>(sizeof(LockFile)) << 8);
constexpr off_t kLockFileSize = static_cast<off_t>(sizeof(LockFile));

// The previous layout (version 2) held a pthread mutex; its processes keep a
// shared OFD lock over the whole file while they have it open. Its size
// differs from this one's, so that such a process refuses this layout
// before it waits for any lock.
constexpr uint32_t kOldLayoutVersion = 2;
constexpr off_t kOldLayoutSize = static_cast<off_t>(8 + sizeof(pthread_mutex_t) + 16);
static_assert(kOldLayoutSize != kLockFileSize, "the layouts must be told apart by size");

constexpr uint32_t kLostInEarlierBoot = 2;
constexpr uint64_t kWaiters = 1u << 31;
// Set by a waiter that has waited kHungryAfterMs: the lock, once free, goes
// to such a waiter rather than to one that has just come, so that busy
// writers starve none of them.
constexpr uint64_t kHungry = 1u << 30;
constexpr double kHungryAfterMs = 20;
constexpr uint64_t kThreadMask = kHungry - 1;
// Process and thread ids above this are not ids (the kernel's PID_MAX_LIMIT):
// a word holding one was scribbled.
constexpr uint64_t kLargestId = 4194304;

// ---- This process: its ids, forks ----

// A fork makes a new process, whose ids differ: bumped in the child.
std::atomic<uint64_t> forks{0};
std::atomic<pid_t> process_id{0};

pid_t current_process() {
  pid_t pid = process_id.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = static_cast<pid_t>(syscall(SYS_getpid));
    process_id.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

// The calling thread's id, asked of the kernel once per thread (and again
// after a fork).
struct ThreadId {
  uint64_t forks_seen = ~uint64_t{0};
  uint32_t tid = 0;
};
thread_local ThreadId this_thread __attribute__((tls_model("initial-exec")));

uint32_t current_thread() {
  const uint64_t seen = forks.load(std::memory_order_relaxed);
  if (__builtin_expect(this_thread.forks_seen != seen, 0)) {
    this_thread.tid = static_cast<uint32_t>(syscall(SYS_gettid));
    this_thread.forks_seen = seen;
  }
  return this_thread.tid;
}

// After a fork the child's process id differs, and its thread ids too.
void after_fork_in_child() {
  process_id.store(static_cast<pid_t>(syscall(SYS_getpid)), std::memory_order_relaxed);
  forks.fetch_add(1, std::memory_order_relaxed);
}

void watch_forks() {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, [] { pthread_atfork(nullptr, nullptr, after_fork_in_child); });
}

// The hash of this boot's id; 0 when it cannot be read (the stamp then
// stays as it is).
uint64_t boot_stamp() {
  static const uint64_t stamp = [] {
    char text[64] = {};
    int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return uint64_t{0};
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return uint64_t{0};
    uint64_t hash = 14695981039346656037ull;
    for (ssize_t i = 0; i < got; ++i)
      hash = (hash ^ static_cast<unsigned char>(text[i])) * 1099511628211ull;
    return hash | 1;
  }();
  return stamp;
}

// ---- The handle ----

struct InterprocessLock {
  LockFile *file;
  int fd;         // the handle's own description: mapping, probes
  bool writable;  // false for a reader
  // Only the holder reads or writes this: it took the lock from a holder
  // that is gone, and has not yet marked the state consistent.
  bool holder_lost;
};

// An opener that finds the file being laid out or converted by someone else
// tries again, this many times, a millisecond apart.
constexpr int kOpenRounds = 20;

void pause_a_millisecond() {
  timespec pause{0, 1000000};
  nanosleep(&pause, nullptr);
}

// ---- Waiting and liveness ----

uint32_t *futex_word(LockFile *file) {
  // The low half of the 64-bit word.
  return reinterpret_cast<uint32_t *>(&file->word) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__);
}

void futex_wait(LockFile *file, uint32_t expected, long nanoseconds) {
  timespec timeout{0, nanoseconds};
  syscall(SYS_futex, futex_word(file), FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

void futex_wake(LockFile *file, int count) {
  syscall(SYS_futex, futex_word(file), FUTEX_WAKE, count, nullptr, nullptr, 0);
}

// Whether the holder a word names is alive: its thread exists in its
// process. A word that names no possible ids was scribbled: nobody holds it.
bool holder_alive(uint64_t word) {
  const uint64_t pid = word >> 32;
  const uint64_t tid = word & kThreadMask;
  if (pid == 0 || pid > kLargestId || tid == 0 || tid > kLargestId) return false;
  // EPERM: a thread of another user's process, which exists.
  return !(syscall(SYS_tgkill, static_cast<pid_t>(pid), static_cast<pid_t>(tid), 0) != 0 &&
           errno == ESRCH);
}

void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// A holder keeps the lock for well under a microsecond, while sleeping in the
// kernel costs a system call and a wake-up on both sides: a contender first
// retries for about a microsecond, then sleeps on the word, a quarter of a
// millisecond first and up to a millisecond at a time. A word that stays the
// same for a whole sleep has its holder checked: a dead one is taken over
// within about that long.
constexpr int kSpinTries = 32;
constexpr long kFirstSleepNanoseconds = 250000;
constexpr long kSleepNanoseconds = 1000000;

double now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

bool try_take(LockFile *file, uint64_t expected, uint64_t mine) {
  return __atomic_compare_exchange_n(&file->word, &expected, mine, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED);
}

// The contended enter: VANDREL_LOCK_TAKEN, VANDREL_LOCK_OWNER_DIED, or
// VANDREL_LOCK_FAILED with ETIMEDOUT.
[[gnu::noinline]] int wait_and_take(InterprocessLock &lock, uint64_t mine) {
  LockFile *file = lock.file;
  for (int spin = 0; spin < kSpinTries; ++spin) {
    if (__atomic_load_n(&file->word, __ATOMIC_RELAXED) == 0 && try_take(file, 0, mine))
      return VANDREL_LOCK_TAKEN;
    for (int pause = 0; pause < 8; ++pause) cpu_pause();
  }
  const double started = now_ms();
  const double deadline = started + VANDREL_LOCK_PATIENCE_MS;
  uint64_t slept_on = 0;  // the word of the last sleep that ran its full time
  long longest_sleep = kFirstSleepNanoseconds;
  for (;;) {
    const uint64_t word = __atomic_load_n(&file->word, __ATOMIC_RELAXED);
    const bool hungry = now_ms() - started > kHungryAfterMs;
    if ((word & ~(kWaiters | kHungry)) == 0) {
      // Free. Others may be asleep: the waiters bit stays, so that leaving
      // wakes one. A free lock marked hungry is left to those who have
      // waited that long too (they take it without the mark; the others
      // still hungry mark it again).
      if ((!(word & kHungry) || hungry) && try_take(file, word, mine | kWaiters))
        return VANDREL_LOCK_TAKEN;
      if (!(word & kHungry) || hungry) continue;
    } else if (word == slept_on && !holder_alive(word)) {
      if (try_take(file, word, mine | (word & (kWaiters | kHungry))))
        return VANDREL_LOCK_OWNER_DIED;
      continue;
    } else {
      const uint64_t marked = word | kWaiters | (hungry ? kHungry : 0);
      // Failed only because the word changed: look again, after a pause
      // that leaves the word's cache line to the holder.
      if (marked != word && !try_take(file, word, marked)) {
        for (int pause = 0; pause < 8; ++pause) cpu_pause();
        continue;
      }
    }
    const double left = deadline - now_ms();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return VANDREL_LOCK_FAILED;
    }
    const uint64_t expected = __atomic_load_n(&file->word, __ATOMIC_RELAXED);
    const double before = now_ms();
    const long sleep =
        left * 1e6 < longest_sleep ? static_cast<long>(left * 1e6) + 1 : longest_sleep;
    if (longest_sleep < kSleepNanoseconds) longest_sleep *= 2;
    futex_wait(file, static_cast<uint32_t>(expected & 0xffffffffu), sleep);
    // A sleep that ran its time without the word changing: check its holder
    // next time round.
    if (now_ms() - before >= static_cast<double>(sleep) / 1e6 &&
        __atomic_load_n(&file->word, __ATOMIC_RELAXED) == expected)
      slept_on = expected;
  }
}

int enter(InterprocessLock &lock) {
  const uint64_t mine = static_cast<uint64_t>(current_process()) << 32 | current_thread();
  int state = VANDREL_LOCK_TAKEN;
  if (__builtin_expect(!try_take(lock.file, 0, mine), 0)) {
    state = wait_and_take(lock, mine);
    if (state == VANDREL_LOCK_FAILED) return state;
  }
  const uint32_t lost = __atomic_load_n(&lock.file->holder_lost, __ATOMIC_RELAXED);
  if (__builtin_expect(state == VANDREL_LOCK_OWNER_DIED || lost != 0, 0)) {
    lock.holder_lost = true;
    state = lost == kLostInEarlierBoot ? VANDREL_LOCK_EARLIER_BOOT : VANDREL_LOCK_OWNER_DIED;
  }
  return state;
}

void leave(InterprocessLock &lock) {
  if (lock.holder_lost) {
    __atomic_store_n(&lock.file->holder_lost, 0, __ATOMIC_RELAXED);
    lock.holder_lost = false;
  }
  // Free, keeping the mark of a waiter that waited long: then every sleeper
  // is woken, so that the hungry one is among them.
  // (A word scribbled faster than this can swap it is simply cleared.)
  uint64_t word = __atomic_load_n(&lock.file->word, __ATOMIC_RELAXED);
  int tries = 0;
  while (!__atomic_compare_exchange_n(&lock.file->word, &word, word & kHungry, true,
                                      __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
    if (++tries == 64) {
      word = __atomic_exchange_n(&lock.file->word, 0, __ATOMIC_RELEASE) | kHungry;
      break;
    }
  }
  if (word & kHungry)
    futex_wake(lock.file, INT32_MAX);
  else if (word & kWaiters)
    futex_wake(lock.file, 1);
}

// ---- Opening ----

// Who may read the data may read the lock file (to follow the state its
// writers publish), and who may write the data may write it; its owner
// always may.
mode_t lock_file_permissions(mode_t data_mode) {
  mode_t bits = S_IRUSR | S_IWUSR;
  if (data_mode & (S_IRGRP | S_IWGRP)) bits |= S_IRGRP;
  if (data_mode & S_IWGRP) bits |= S_IWGRP;
  if (data_mode & (S_IROTH | S_IWOTH)) bits |= S_IROTH;
  if (data_mode & S_IWOTH) bits |= S_IWOTH;
  return bits;
}

// The rule a lock file is held to beyond those sysbrace holds every file it
// opens to (a regular file with one name, in a sticky directory that its
// group or others may write only the caller's or the directory owner's):
// owned by the guarded file's owner or the caller. 0 or EPERM.
int check_owner(const os_file_facts_t &facts, const vandrel_guarded_file &guarded) {
  return facts.owner == guarded.owner || facts.owner == geteuid() ? 0 : EPERM;
}

// What a refused open reports: a file that is not a regular one (ENODEV
// from sysbrace) is not a lock file.
int open_refusal(int error) { return error == ENODEV ? EPROTO : error; }

// A log whose bits were changed since its lock file was made (a service
// that opens its log to readers) has its lock file follow, when the caller
// may change its bits.
void follow_the_data_files_bits(int fd, const os_file_facts_t &facts,
                                const vandrel_guarded_file &guarded) {
  const mode_t bits = lock_file_permissions(guarded.mode);
  const uid_t caller = geteuid();
  if ((facts.mode & 07777) != bits && (caller == facts.owner || caller == 0)) fchmod(fd, bits);
}

// Opens the lock file at path for writing, creating it (empty) when there is
// none; *made tells which. Fills facts for a file it opened (the caller
// describes one it made, once its owner is given). -1 with errno on failure.
int open_or_create(const char *path, const vandrel_guarded_file &guarded, os_file_facts_t *facts,
                   bool *made) {
  *made = false;
  for (int attempt = 0; attempt < 4; ++attempt) {
    int fd = os_file_open_existing(path, 1, facts);
    if (fd >= 0 || errno != ENOENT) return fd;

    // Only the data file's owner makes its lock file, or root, which hands
    // it to that owner: the others would refuse a lock file of anyone else.
    uid_t caller = geteuid();
    if (caller != guarded.owner && caller != 0) {
      errno = EPERM;
      return -1;
    }
    fd = os_file_create_exact(path, lock_file_permissions(guarded.mode));
    if (fd < 0) {
      if (errno == EEXIST) continue;  // made by someone else meanwhile: open theirs
      return -1;
    }
    *made = true;
    // The data file's owner and group where the caller may give them (a
    // group it is not in stays its own), while the file is still empty.
    if (caller != guarded.owner || getegid() != guarded.group)
      (void)!fchown(fd, guarded.owner, guarded.group);
    return fd;
  }
  errno = EAGAIN;
  return -1;
}

LockFile *map_file(int fd, bool writable) {
  if (seam_fails(TEST_SEAM_LOCK_MMAP)) return nullptr;
  void *address = mmap(nullptr, sizeof(LockFile), writable ? PROT_READ | PROT_WRITE : PROT_READ,
                       MAP_SHARED, fd, 0);
  return address == MAP_FAILED ? nullptr : static_cast<LockFile *>(address);
}

void unmap_file(LockFile *file) { munmap(file, sizeof(LockFile)); }

// Gives the file the layout's size, its blocks reserved before anything is
// stored through the mapping (a store into a page the file system has no
// room for raises SIGBUS). 0 or errno.
int reserve(int fd) {
  return os_file_reserve(fd, static_cast<uint64_t>(kLockFileSize)) == 0 ? 0 : errno;
}

bool whole(const LockFile *file) {
  return __atomic_load_n(&file->magic, __ATOMIC_ACQUIRE) == kLockFileMagic &&
         __atomic_load_n(&file->version, __ATOMIC_RELAXED) == kLockFileVersion;
}

// A lock file of the previous layout, when no process of that version has it
// open: emptied under an exclusive lock of the whole file, for the layout
// below, and given the read bits of this version where the caller may. 0,
// EAGAIN (someone else is converting it) or EBUSY (a process of the previous
// version has it open: it holds a shared lock over the whole file).
int convert_old_layout(int fd, const vandrel_guarded_file &guarded) {
  uint32_t head[2] = {0, 0};
  if (pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
      head[0] != kLockFileMagic || (head[1] & 0xffu) != kOldLayoutVersion)
    return EPROTO;
  if (os_file_lock_range(fd, F_WRLCK, 0, 0) != 0) {
    if (errno != EAGAIN && errno != EACCES) return errno;
    return os_file_lock_conflict(fd, F_WRLCK, 0, 0) == F_RDLCK ? EBUSY : EAGAIN;
  }
  int error = os_file_reserve(fd, 0) == 0 ? 0 : errno;
  const uid_t caller = geteuid();
  if (error == 0 && (caller == guarded.owner || caller == 0))
    fchmod(fd, lock_file_permissions(guarded.mode));
  os_file_lock_range(fd, F_UNLCK, 0, 0);
  return error == 0 ? EAGAIN : error;  // EAGAIN: now lay it out
}

// Lays out a file that was never finished, under its own lock: the maker
// holds the word while it writes the rest, so that a maker killed half-way
// is taken over like any holder. 0 or errno.
int lay_out(InterprocessLock &lock) {
  LockFile *file = lock.file;
  int state = enter(lock);
  // Waited past the patience while others made the file and went to work
  // with it (a loaded machine): done, unless it is still unfinished.
  if (state == VANDREL_LOCK_FAILED) return whole(file) ? 0 : EAGAIN;
  if (__atomic_load_n(&file->magic, __ATOMIC_ACQUIRE) == 0) {
    // Never finished, or its maker died half-way. Made in this boot: no opener of it clears the
    // word of its holders.
    __atomic_store_n(&file->boot, boot_stamp(), __ATOMIC_RELAXED);
    file->holder_lost = 0;
    file->reserved = 0;
    for (uint64_t &word : file->shared) __atomic_store_n(&word, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&file->version, kLockFileVersion, __ATOMIC_RELAXED);
    __atomic_store_n(&file->magic, kLockFileMagic, __ATOMIC_RELEASE);
  }
  lock.holder_lost = false;
  leave(lock);
  return whole(file) ? 0 : EPROTO;
}

// The first opener of a boot clears a word that an earlier boot left held:
// its holder is gone, and its ids may belong to a process of this boot. The
// next to enter is told that the holder died.
void stamp_boot(LockFile *file) {
  const uint64_t stamp = boot_stamp();
  uint64_t seen = __atomic_load_n(&file->boot, __ATOMIC_RELAXED);
  if (stamp == 0 || seen == stamp) return;
  if (!__atomic_compare_exchange_n(&file->boot, &seen, stamp, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_RELAXED))
    return;  // another opener of this boot did it
  uint64_t word = __atomic_load_n(&file->word, __ATOMIC_ACQUIRE);
  if (word == 0) return;
  __atomic_store_n(&file->holder_lost, kLostInEarlierBoot, __ATOMIC_RELAXED);
  if (__atomic_compare_exchange_n(&file->word, &word, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED))
    futex_wake(file, INT32_MAX);
}

// One attempt at opening for writing: 0, EAGAIN (try again), or the errno
// value that refuses the file. Fills lock on success.
int open_for_writing(const char *path, const vandrel_guarded_file &guarded,
                     InterprocessLock *lock) {
  bool made = false;
  watch_forks();
  os_file_facts_t facts;
  int fd = open_or_create(path, guarded, &facts, &made);
  if (fd < 0) return open_refusal(errno);
  int error = made && os_file_describe(fd, &facts) != 0 ? errno : 0;
  if (error == 0) error = check_owner(facts, guarded);
  if (error == 0) follow_the_data_files_bits(fd, facts, guarded);
  const off_t size = static_cast<off_t>(facts.size);
  if (error == 0 && size == kOldLayoutSize) error = convert_old_layout(fd, guarded);
  if (error == 0 && size != 0 && size != kLockFileSize) error = EPROTO;
  if (error == 0 && size == 0) error = reserve(fd);
  LockFile *file = nullptr;
  if (error == 0) {
    file = map_file(fd, true);
    if (file == nullptr) error = errno;
  }
  if (error == 0) {
    *lock = InterprocessLock{file, fd, true, false};
    // Looked at under the lock only: a maker writes the layout while it
    // holds it, magic word last, and a look without it may see half of it.
    if (!whole(file)) error = lay_out(*lock);
  }
  if (error == 0) {
    // A maker that failed removes what it made; a handle of that file would
    // be a lock of its own. Open the file the path names now.
    struct stat named;
    if (stat(path, &named) != 0 || named.st_dev != facts.device || named.st_ino != facts.inode)
      error = EAGAIN;
  }
  if (error == 0) {
    stamp_boot(file);
    return 0;
  }
  if (file != nullptr) unmap_file(file);
  // Creates nothing that it cannot finish, and removes nothing that another
  // process may have finished meanwhile: only a file still empty.
  os_file_facts_t now;
  const bool empty = os_file_describe(fd, &now) == 0 && now.size == 0;
  os_file_close(fd);
  if (made && error != EAGAIN && empty) unlink(path);
  return error;
}

int open_for_reading(const char *path, const vandrel_guarded_file &guarded,
                     InterprocessLock *lock) {
  os_file_facts_t facts;
  int fd = os_file_open_existing(path, 0, &facts);
  if (fd < 0) return open_refusal(errno);
  int error = check_owner(facts, guarded);
  const off_t size = static_cast<off_t>(facts.size);
  if (error == 0 && size != kLockFileSize) error = size == 0 ? EAGAIN : EPROTO;
  LockFile *file = nullptr;
  if (error == 0) {
    file = map_file(fd, false);
    if (file == nullptr) error = errno;
  }
  // A maker may be writing the layout: without its magic word it is not
  // finished yet.
  if (error == 0 && !whole(file))
    error = __atomic_load_n(&file->magic, __ATOMIC_ACQUIRE) == 0 ? EAGAIN : EPROTO;
  if (error == 0) {
    *lock = InterprocessLock{file, fd, false, false};
    return 0;
  }
  if (file != nullptr) unmap_file(file);
  os_file_close(fd);
  return error;
}

template <typename Open>
vandrel_lock_t open_lock(const char *path, const vandrel_guarded_file *guarded, Open open_once) {
  if (path == nullptr || guarded == nullptr) {
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
    error = open_once(path, *guarded, lock);
  }
  if (error == 0) return lock;
  vel_free(lock);
  errno = error;
  return nullptr;
}

}  // namespace

extern "C" {

vandrel_lock_t init_interprocess_critical_section(const char *lock_file_path,
                                                  const struct vandrel_guarded_file *guarded) {
  return open_lock(lock_file_path, guarded, open_for_writing);
}

vandrel_lock_t init_interprocess_critical_section_reader(
    const char *lock_file_path, const struct vandrel_guarded_file *guarded) {
  return open_lock(lock_file_path, guarded, open_for_reading);
}

int enter_interprocess_critical_section(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr || !lock->writable) {
    errno = lock == nullptr ? EINVAL : EBADF;
    return VANDREL_LOCK_FAILED;
  }
  int state = enter(*lock);
  if (state == VANDREL_LOCK_FAILED) return state;
  // Held from here on. A test may watch the entry, or have it report a dead
  // holder so that the caller's repair runs.
  if (test_seam_check(TEST_SEAM_LOCK_ENTER, lock, 0, state) > 0) {
    lock->holder_lost = true;
    state = VANDREL_LOCK_OWNER_DIED;
  }
  return state;
}

void mark_interprocess_critical_section_consistent(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr || !lock->holder_lost) return;
  __atomic_store_n(&lock->file->holder_lost, 0, __ATOMIC_RELAXED);
  lock->holder_lost = false;
}

void leave_interprocess_critical_section(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr || !lock->writable) return;
  test_seam_check(TEST_SEAM_LOCK_LEAVE, lock, 0, 0);
  leave(*lock);
}

int interprocess_critical_section_holder_alive(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) return 0;
  const uint64_t word = __atomic_load_n(&lock->file->word, __ATOMIC_ACQUIRE);
  return word != 0 && holder_alive(word) ? 1 : 0;
}

uint64_t *interprocess_critical_section_shared_words(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  return lock == nullptr ? nullptr : lock->file->shared;
}

uint64_t get_interprocess_critical_section_counter(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) return 0;
  return __atomic_load_n(&lock->file->shared[0], __ATOMIC_ACQUIRE);
}

void add_to_interprocess_critical_section_counter(vandrel_lock_t handle, uint64_t amount) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr || !lock->writable) return;
  // Only the holder stores, so a load and a store do: no atomic
  // read-modify-write, no system call.
  uint64_t value = __atomic_load_n(&lock->file->shared[0], __ATOMIC_RELAXED);
  __atomic_store_n(&lock->file->shared[0], value + amount, __ATOMIC_RELEASE);
}

void destroy_interprocess_critical_section(vandrel_lock_t handle) {
  InterprocessLock *lock = static_cast<InterprocessLock *>(handle);
  if (lock == nullptr) return;
  // The lock file stays for the other handles and for every later process.
  unmap_file(lock->file);
  os_file_close(lock->fd);
  vel_free(lock);
}

}  // extern "C"
