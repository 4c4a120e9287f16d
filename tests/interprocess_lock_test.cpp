// vandrel interprocess critical sections: exclusion between processes, one
// lock per lock file, survival of a holder killed while holding it, the
// first opener's reset of a mutex left held by an earlier boot (and never
// under another handle), race-free making of the lock file, the counter
// beside the mutex, its mode and owner rules, and the seams of each step.
#include <gtest/gtest.h>
#include "rotolog/platform/test_seams.h"
#include "rotolog/platform/vandrel.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/files.h"

namespace {

using namespace test_support;
using namespace std::chrono_literals;

// Memory every forked process of a test shares.
template <typename T>
T *shared_memory() {
  void *address =
      mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return address == MAP_FAILED ? nullptr : new (address) T();
}

// A read-modify-write that loses counts unless the lock excludes the others.
void unprotected_increment(volatile long *counter) {
  long value = *counter;
  for (volatile int spin = 0; spin < 20; spin = spin + 1) {
  }
  *counter = value + 1;
}

// Enters, and enters again while a loaded machine (a sanitizer, a dozen
// processes on two cores) keeps a live holder's hand-over past the patience:
// that is the lock saying it waited long, not a fault of exclusion.
int enter_patiently(vandrel_lock_t lock) {
  int entered;
  do {
    entered = enter_interprocess_critical_section(lock);
  } while (entered == VANDREL_LOCK_FAILED && errno == ETIMEDOUT);
  return entered;
}

// A guarded file of this process's user, writable by its owner only.
vandrel_guarded_file own_file(mode_t mode = 0600) {
  vandrel_guarded_file guarded;
  guarded.mode = S_IFREG | mode;
  guarded.owner = geteuid();
  guarded.group = getegid();
  return guarded;
}

vandrel_lock_t open_lock(const std::string &path, const vandrel_guarded_file &guarded) {
  return init_interprocess_critical_section(path.c_str(), &guarded);
}

std::string read_bytes(const std::string &path) {
  std::string bytes(4096, '\0');
  int fd = open(path.c_str(), O_RDONLY);
  ssize_t got = fd >= 0 ? pread(fd, &bytes[0], bytes.size(), 0) : -1;
  if (fd >= 0) close(fd);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

bool write_bytes(const std::string &path, const std::string &bytes) {
  int fd = open(path.c_str(), O_WRONLY);
  bool whole =
      fd >= 0 && pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
  if (fd >= 0) close(fd);
  return whole;
}

class InterprocessLock : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(directory_.empty()); }
  void TearDown() override {
    test_seam_reset();
    for (vandrel_lock_t lock : locks_) destroy_interprocess_critical_section(lock);
  }

  // A lock file path no other lock of the test uses.
  std::string lock_path() {
    static int serial = 0;
    return directory_ + "/file" + std::to_string(++serial) + "-lock";
  }

  // Opens the lock, which the test destroys at its end.
  vandrel_lock_t keep(vandrel_lock_t lock) {
    if (lock != nullptr) locks_.push_back(lock);
    return lock;
  }
  vandrel_lock_t keep_open(const std::string &path,
                           const vandrel_guarded_file &guarded = own_file()) {
    return keep(open_lock(path, guarded));
  }

  std::set<std::string> entries() const { return directory_entries(directory_); }

  TempDir dir_;
  const std::string directory_ = dir_.path();
  std::vector<vandrel_lock_t> locks_;
};

// ---- Exclusion ----

TEST_F(InterprocessLock, ForkedProcessesExcludeEachOtherOnASharedCounter) {
  const std::string path = lock_path();
  ASSERT_NE(keep_open(path), nullptr);
  volatile long *counter = shared_memory<long>();
  ASSERT_NE(counter, nullptr);
  const int processes = 3, rounds = 100000;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  pid_t children[processes];
  for (pid_t &child : children) {
    child = start_child([&] {
      vandrel_lock_t lock = open_lock(path, own_file());
      if (lock == nullptr) return 1;
      close(gate[1]);
      char byte;
      if (read(gate[0], &byte, 1) != 0) return 3;  // all start together when the gate closes
      for (int round = 0; round < rounds; ++round) {
        if (enter_patiently(lock) != VANDREL_LOCK_TAKEN) return 2;
        unprotected_increment(counter);
        leave_interprocess_critical_section(lock);
      }
      destroy_interprocess_critical_section(lock);
      return 0;
    });
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t child : children) EXPECT_EQ(wait_child(child, 60s), 0);
  EXPECT_EQ(*counter, processes * rounds);
  munmap(const_cast<long *>(counter), sizeof(long));
}

struct Timeline {
  std::atomic<int> child_ready{0};
  double parent_left_ms = 0;
  double child_entered_ms = 0;
};

TEST_F(InterprocessLock, TheSameLockFileGivesOneLockAndAnotherAnIndependentOne) {
  const std::string path = lock_path(), other = lock_path();
  vandrel_lock_t lock = keep_open(path);
  ASSERT_NE(lock, nullptr);
  ASSERT_NE(keep_open(other), nullptr);
  Timeline *timeline = shared_memory<Timeline>();
  ASSERT_NE(timeline, nullptr);

  ASSERT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
  // Another lock file is free while this one is held.
  EXPECT_EQ(run_in_child(
                [&] {
                  vandrel_lock_t independent = open_lock(other, own_file());
                  return enter_interprocess_critical_section(independent);
                },
                5s),
            VANDREL_LOCK_TAKEN);

  // The same one waits until this process leaves.
  pid_t waiter = start_child([&] {
    vandrel_lock_t same = open_lock(path, own_file());
    timeline->child_ready = 1;
    int result = enter_interprocess_critical_section(same);
    timeline->child_entered_ms = monotonic_ms();
    leave_interprocess_critical_section(same);
    return result;
  });
  for (int waited = 0; timeline->child_ready == 0 && waited < 5000; ++waited) usleep(1000);
  if (timeline->child_ready == 0) stop_child(waiter);
  ASSERT_EQ(timeline->child_ready, 1);
  usleep(200000);
  timeline->parent_left_ms = monotonic_ms();
  leave_interprocess_critical_section(lock);
  EXPECT_EQ(wait_child(waiter, 5s), VANDREL_LOCK_TAKEN);
  EXPECT_GE(timeline->child_entered_ms, timeline->parent_left_ms);
  munmap(timeline, sizeof(Timeline));
}

// ---- A holder that dies ----

TEST_F(InterprocessLock, AHolderKilledWhileHoldingNeverBlocksTheOthers) {
  const std::string path = lock_path();
  vandrel_lock_t lock = keep_open(path);
  ASSERT_NE(lock, nullptr);
  for (int kill_round = 0; kill_round < 3; ++kill_round) {
    SCOPED_TRACE(kill_round);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = start_child([&] {
      vandrel_lock_t own = open_lock(path, own_file());
      if (enter_interprocess_critical_section(own) < 0) return 1;
      if (write(ready[1], "x", 1) != 1) return 2;
      for (;;) pause();
    });
    close(ready[1]);  // a holder that fails to enter ends the read with 0
    char signal_byte;
    ssize_t got = read(ready[0], &signal_byte, 1);
    close(ready[0]);
    if (got != 1) stop_child(holder);
    ASSERT_EQ(got, 1);
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    EXPECT_EQ(wait_child(holder, 5s), 128 + SIGKILL);

    // The next holder learns of the death within the deadline; the lock then
    // goes on working whether or not the caller marked it consistent.
    bool mark = kill_round == 1;
    int observed = run_in_child(
        [&] {
          vandrel_lock_t own = open_lock(path, own_file());
          int first = enter_interprocess_critical_section(own);
          if (mark) mark_interprocess_critical_section_consistent(own);
          leave_interprocess_critical_section(own);
          int second = enter_interprocess_critical_section(own);
          leave_interprocess_critical_section(own);
          return first * 10 + second;
        },
        2s);
    EXPECT_EQ(observed, VANDREL_LOCK_OWNER_DIED * 10 + VANDREL_LOCK_TAKEN);
    EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
    leave_interprocess_critical_section(lock);
  }
}

TEST_F(InterprocessLock, AHolderThatDiesHoldingItInThisProcessIsReportedToTheNextEnter) {
  vandrel_lock_t lock = keep_open(lock_path());
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(run_in_child([&] { return enter_interprocess_critical_section(lock); }),
            VANDREL_LOCK_TAKEN);
  // The child's exit killed the holder thread: this process's enter sees it.
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_OWNER_DIED);
  mark_interprocess_critical_section_consistent(lock);
  mark_interprocess_critical_section_consistent(lock);  // a second mark does nothing
  leave_interprocess_critical_section(lock);
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
  leave_interprocess_critical_section(lock);
}

// ---- A lock file that outlived its holders: the first opener ----

// A lock file whose mutex is held by a thread that is gone without the
// kernel's robust-list clean-up, as after a reboot: the bytes of the file
// copied while a child held it, put back once the child is gone.
// The boot stamp of a lock file (a hash of the boot id), at its offset in
// the layout, read and replaced as a crash of the machine would leave it.
constexpr off_t kBootStampOffset = 16;

bool replace_boot_stamp(const std::string &path, uint64_t stamp) {
  int fd = open(path.c_str(), O_RDWR);
  bool done = fd >= 0 && pwrite(fd, &stamp, sizeof stamp, kBootStampOffset) == sizeof stamp;
  if (fd >= 0) close(fd);
  return done;
}

// A word left held by an earlier boot names ids that this boot may have
// given to live threads (here: this test's own, which holds the lock). The
// first opener of this boot clears it, once; the next to enter is told.
TEST_F(InterprocessLock, AWordLeftHeldByAnEarlierBootIsClearedByTheFirstOpenerOfThisOne) {
  const std::string path = lock_path();
  vandrel_lock_t holder = keep_open(path);
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(enter_interprocess_critical_section(holder), VANDREL_LOCK_TAKEN);
  add_to_interprocess_critical_section_counter(holder, 7);
  // While this boot's stamp stands, a live holder is waited for, and given
  // up on after the patience.
  EXPECT_EQ(run_in_child([&] {
              vandrel_lock_t other = open_lock(path, own_file());
              if (other == nullptr) return 1;
              const int entered = enter_interprocess_critical_section(other);
              return entered == VANDREL_LOCK_FAILED && errno == ETIMEDOUT ? 0 : 2;
            }),
            0);
  // The same file as a crash of the machine leaves it: stamped by another boot.
  ASSERT_TRUE(replace_boot_stamp(path, 0x1234567890abcdefull));
  int first_opener = run_in_child(
      [&] {
        vandrel_lock_t lock = open_lock(path, own_file());
        if (lock == nullptr) return 1;
        if (get_interprocess_critical_section_counter(lock) != 7) return 2;
        int first = enter_interprocess_critical_section(lock);
        mark_interprocess_critical_section_consistent(lock);
        leave_interprocess_critical_section(lock);
        int next = enter_interprocess_critical_section(lock);
        leave_interprocess_critical_section(lock);
        return 10 + first * 10 + next;
      },
      2s);
  EXPECT_EQ(first_opener, 10 + VANDREL_LOCK_EARLIER_BOOT * 10 + VANDREL_LOCK_TAKEN);
  // Reported to one enter only, whichever process makes it.
  vandrel_lock_t later = keep_open(path);
  EXPECT_EQ(enter_interprocess_critical_section(later), VANDREL_LOCK_TAKEN);
  leave_interprocess_critical_section(later);
}

// ---- Making the lock file ----

TEST_F(InterprocessLock, ManyProcessesMakingTheSameNewLockFileAtOnceAllGetOne) {
  const int processes = 12, rounds = 500;
  struct Race {
    long counter;
    ino_t files[processes];
  };
  Race *race = shared_memory<Race>();
  ASSERT_NE(race, nullptr);
  for (int attempt = 0; attempt < 4; ++attempt) {
    SCOPED_TRACE(attempt);
    const std::string path = lock_path();
    race->counter = 0;
    for (ino_t &file : race->files) file = 0;
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t children[processes];
    for (int i = 0; i < processes; ++i) {
      children[i] = start_child([&, i] {
        close(gate[1]);
        char byte;
        if (read(gate[0], &byte, 1) != 0) return 1;  // released all at once by the close
        vandrel_lock_t lock = open_lock(path, own_file());
        if (lock == nullptr) return 2;
        struct stat info;
        if (stat(path.c_str(), &info) != 0) return 3;
        race->files[i] = info.st_ino;
        for (int round = 0; round < rounds; ++round) {
          if (enter_patiently(lock) != VANDREL_LOCK_TAKEN) return 4;
          unprotected_increment(&race->counter);
          add_to_interprocess_critical_section_counter(lock, 1);
          leave_interprocess_critical_section(lock);
        }
        return 0;
      });
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t child : children) EXPECT_EQ(wait_child(child, 30s), 0);
    EXPECT_EQ(race->counter, processes * rounds);
    for (int i = 1; i < processes; ++i) EXPECT_EQ(race->files[i], race->files[0]);
    vandrel_lock_t lock = keep_open(path);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(get_interprocess_critical_section_counter(lock), uint64_t{processes} * rounds);
  }
  // The lock files and nothing else: no temporary, ever.
  EXPECT_EQ(entries().size(), 4u);
  munmap(race, sizeof(Race));
}

TEST_F(InterprocessLock, AMakerKilledAtAnyMomentNeverLeavesAnUnusableLockOrAnyOtherFile) {
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const std::string path = lock_path();
    // Removing the lock file each time makes every open of the loop make it
    // anew, so the kill lands inside the making most of the time.
    pid_t maker = start_child([&] {
      for (;;) {
        vandrel_lock_t lock = open_lock(path, own_file());
        unlink(path.c_str());
        destroy_interprocess_critical_section(lock);
      }
      return 0;
    });
    usleep(static_cast<useconds_t>(200 + round * 37 % 400));
    kill(maker, SIGKILL);
    wait_child(maker, 5s);
    int status = run_in_child(
        [&] {
          vandrel_lock_t lock = open_lock(path, own_file());
          if (lock == nullptr) return 100 + errno % 100;
          int first = enter_interprocess_critical_section(lock);
          leave_interprocess_critical_section(lock);
          int second = enter_interprocess_critical_section(lock);
          leave_interprocess_critical_section(lock);
          return first * 10 + second;
        },
        5s);
    // A maker killed after its magic word but before it left the lock is a
    // holder that died: the next one is told so and holds the lock all the
    // same, and the one after it finds nothing amiss.
    EXPECT_TRUE(status == VANDREL_LOCK_TAKEN * 10 + VANDREL_LOCK_TAKEN ||
                status == VANDREL_LOCK_OWNER_DIED * 10 + VANDREL_LOCK_TAKEN)
        << status;
    EXPECT_EQ(entries(), std::set<std::string>{path.substr(directory_.size() + 1)});
    unlink(path.c_str());
  }
}

TEST_F(InterprocessLock, ALockFileGetsTheReadAndWriteBitsOfItsFileWhateverTheUmask) {
  struct Case {
    mode_t data_mode, expected;
  };
  // Read for each class that may read the data, read and write for each
  // that may write it, and always both for the owner.
  const Case cases[] = {{0600, 0600}, {0644, 0644}, {0660, 0660}, {0664, 0664},
                        {0666, 0666}, {0444, 0644}, {0640, 0640}, {0604, 0604}};
  int status = run_in_child([&] {
    umask(077);
    int index = 0;
    for (const Case &c : cases) {
      std::string path = directory_ + "/mode" + std::to_string(index++);
      vandrel_lock_t lock = open_lock(path, own_file(c.data_mode));
      struct stat info;
      if (lock == nullptr || stat(path.c_str(), &info) != 0) return 10 + index;
      if ((info.st_mode & 07777) != c.expected) return 20 + index;
    }
    return 0;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(InterprocessLock, WhatIsNotALockFileOfTheRightOwnerIsRefusedAtOnce) {
  const std::string path = lock_path();
  vandrel_lock_t lock = keep_open(path);
  ASSERT_NE(lock, nullptr);
  const std::string whole = read_bytes(path);
  ASSERT_EQ(unlink(path.c_str()), 0);
  auto refused_with = [&](int expected) {
    errno = 0;
    vandrel_lock_t opened = open_lock(path, own_file());
    destroy_interprocess_critical_section(opened);
    return opened == nullptr && errno == expected;
  };

  // Another layout (a magic word of another program), and another size.
  {
    std::string foreign = whole;
    foreign[0] ^= 0x55;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(write_bytes(path, foreign));
    EXPECT_TRUE(refused_with(EPROTO));
    ASSERT_TRUE(write_bytes(path, whole + "x"));
    EXPECT_TRUE(refused_with(EPROTO));
    EXPECT_EQ(unlink(path.c_str()), 0);
  }
  // Not a regular file; a symlink is not followed.
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_TRUE(refused_with(EPROTO));
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  EXPECT_TRUE(refused_with(EISDIR));
  ASSERT_EQ(rmdir(path.c_str()), 0);
  const std::string elsewhere = lock_path();
  ASSERT_NE(keep_open(elsewhere), nullptr);
  ASSERT_EQ(symlink(elsewhere.c_str(), path.c_str()), 0);
  EXPECT_TRUE(refused_with(ELOOP));
  ASSERT_EQ(unlink(path.c_str()), 0);

  if (geteuid() == 0) {
    // An empty lock file another user planted in a shared directory, and
    // holds exclusively, as if making it: refused within moments, never
    // waited for. (A whole one held is the cyclic file's hostile test.)
    ASSERT_EQ(chmod(directory_.c_str(), 01777), 0);
    int planted[2];
    ASSERT_EQ(pipe(planted), 0);
    pid_t planter = start_child([&] {
      int fd = become_nobody() ? open(path.c_str(), O_RDWR | O_CREAT, 0666) : -1;
      struct flock exclusive = {};
      exclusive.l_type = F_WRLCK;
      exclusive.l_whence = SEEK_SET;
      if (fd < 0 || fcntl(fd, F_OFD_SETLK, &exclusive) != 0 || write(planted[1], "x", 1) != 1)
        return 1;
      for (;;) pause();
    });
    close(planted[1]);
    char byte;
    EXPECT_EQ(read(planted[0], &byte, 1), 1);
    close(planted[0]);
    double started = monotonic_ms();
    EXPECT_TRUE(refused_with(EACCES));
    EXPECT_LT(monotonic_ms() - started, 1000.0);
    stop_child(planter);
    ASSERT_EQ(unlink(path.c_str()), 0);

    // A user who does not own the guarded file may not make its lock file.
    EXPECT_EQ(run_in_child([&] {
                if (!become_nobody()) return 1;
                vandrel_guarded_file roots = own_file(0666);
                roots.owner = 0;
                errno = 0;
                vandrel_lock_t opened = open_lock(path, roots);
                return opened == nullptr && errno == EPERM ? 0 : 2;
              }),
              0);
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
  }
}

TEST_F(InterprocessLock, EachStepOfInitFailsThroughItsSeamAndTheNextOpenWorks) {
  struct Step {
    test_seam service;
    int error;
    bool on_a_new_file;
  };
  const Step steps[] = {{TEST_SEAM_FILE_OPEN, EACCES, false},
                        {TEST_SEAM_FILE_CREATE, EMFILE, true},
                        {TEST_SEAM_FILE_RESERVE, ENOSPC, true},
                        {TEST_SEAM_LOCK_MMAP, ENOMEM, true},
                        {TEST_SEAM_LOCK_MMAP, ENOMEM, false}};
  for (const Step &step : steps) {
    SCOPED_TRACE(test_seam_name(step.service));
    const std::string path = lock_path();
    if (!step.on_a_new_file) destroy_interprocess_critical_section(open_lock(path, own_file()));
    long calls = test_seam_calls(step.service);
    test_seam_fail(step.service, 1, step.error);
    EXPECT_EQ(open_lock(path, own_file()), nullptr);
    EXPECT_EQ(errno, step.error);
    EXPECT_EQ(test_seam_calls(step.service), calls + 1);
    // A lock file that was made and could not be laid out is gone.
    if (step.service == TEST_SEAM_FILE_RESERVE) {
      EXPECT_EQ(access(path.c_str(), F_OK), -1);
    }
    vandrel_lock_t lock = keep_open(path);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
    leave_interprocess_critical_section(lock);
  }
  test_seam_fail(TEST_SEAM_ALLOCATION, 1, ENOMEM);
  EXPECT_EQ(open_lock(lock_path(), own_file()), nullptr);
  EXPECT_EQ(errno, ENOMEM);
}

TEST_F(InterprocessLock, TheOwnerDiedSeamReportsOnceAndNullHandlesAreHarmless) {
  vandrel_lock_t lock = keep_open(lock_path());
  ASSERT_NE(lock, nullptr);
  test_seam_fail(TEST_SEAM_LOCK_ENTER, 2, EOWNERDEAD);
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
  leave_interprocess_critical_section(lock);
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_OWNER_DIED);
  mark_interprocess_critical_section_consistent(lock);
  leave_interprocess_critical_section(lock);
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
  leave_interprocess_critical_section(lock);

  vandrel_guarded_file guarded = own_file();
  EXPECT_EQ(init_interprocess_critical_section(nullptr, &guarded), nullptr);
  EXPECT_EQ(init_interprocess_critical_section(lock_path().c_str(), nullptr), nullptr);
  EXPECT_EQ(enter_interprocess_critical_section(nullptr), VANDREL_LOCK_FAILED);
  EXPECT_EQ(get_interprocess_critical_section_counter(nullptr), 0u);
  add_to_interprocess_critical_section_counter(nullptr, 1);
  mark_interprocess_critical_section_consistent(nullptr);
  leave_interprocess_critical_section(nullptr);
  destroy_interprocess_critical_section(nullptr);
}

}  // namespace

// The seams of enter and leave show a test every holding of the lock: the
// entry once the lock is held, with what it reports, and the leave before the
// release. An entry that the armed seam reports as after a dead holder is not
// shown; a failed entry is neither.
TEST_F(InterprocessLock, TheEnterAndLeaveSeamsShowEveryHoldingWithWhatTheEntryReports) {
  struct Seen {
    test_seam seam;
    void *lock;
    long result;
  };
  std::vector<Seen> seen;
  auto record = [](const test_seam_call_t *call, void *context) {
    static_cast<std::vector<Seen> *>(context)->push_back({call->seam, call->object, call->result});
    return TEST_SEAM_PROCEED;
  };
  vandrel_lock_t lock = keep_open(lock_path());
  ASSERT_NE(lock, nullptr);
  ASSERT_EQ(run_in_child([&] { return enter_interprocess_critical_section(lock); }),
            VANDREL_LOCK_TAKEN);
  test_seam_set_hook(TEST_SEAM_LOCK_ENTER, record, &seen);
  test_seam_set_hook(TEST_SEAM_LOCK_LEAVE, record, &seen);
  const long entries = test_seam_calls(TEST_SEAM_LOCK_ENTER);

  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_OWNER_DIED);
  leave_interprocess_critical_section(lock);
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
  leave_interprocess_critical_section(lock);
  test_seam_fail(TEST_SEAM_LOCK_ENTER, 1, EOWNERDEAD);
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_OWNER_DIED);
  leave_interprocess_critical_section(lock);
  EXPECT_EQ(enter_interprocess_critical_section(nullptr), VANDREL_LOCK_FAILED);
  EXPECT_EQ(errno, EINVAL);

  const Seen expected[] = {{TEST_SEAM_LOCK_ENTER, lock, VANDREL_LOCK_OWNER_DIED},
                           {TEST_SEAM_LOCK_LEAVE, lock, 0},
                           {TEST_SEAM_LOCK_ENTER, lock, VANDREL_LOCK_TAKEN},
                           {TEST_SEAM_LOCK_LEAVE, lock, 0},
                           {TEST_SEAM_LOCK_LEAVE, lock, 0}};
  ASSERT_EQ(seen.size(), sizeof expected / sizeof *expected);
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].seam, expected[i].seam);
    EXPECT_EQ(seen[i].lock, expected[i].lock);
    EXPECT_EQ(seen[i].result, expected[i].result);
  }
  EXPECT_EQ(test_seam_calls(TEST_SEAM_LOCK_ENTER) - entries, 3);
}

namespace {

// A lock file of the previous layout (version 2): its magic and version
// words, at its size on this machine.
void make_old_layout(const std::string &path) {
  std::string bytes(8 + sizeof(pthread_mutex_t) + 16, '\0');
  const uint32_t head[2] = {0x6b6c7472u, 2u | static_cast<uint32_t>(sizeof(pthread_mutex_t)) << 8};
  std::memcpy(&bytes[0], head, sizeof head);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

}  // namespace

// A process of the previous version keeps a shared OFD lock over the whole
// lock file while it has it open: the file is then refused (EBUSY), never
// written; once no such process has it, it is converted in place.
TEST_F(InterprocessLock, ALockFileOfThePreviousVersionIsConvertedOnlyWhenNoneOfItsProcessesHasIt) {
  const std::string path = lock_path();
  make_old_layout(path);
  const std::string old_bytes = read_bytes(path);
  int older = open(path.c_str(), O_RDWR);
  ASSERT_GE(older, 0);
  struct flock shared = {};
  shared.l_type = F_RDLCK;
  shared.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(older, F_OFD_SETLK, &shared), 0);
  errno = 0;
  EXPECT_EQ(open_lock(path, own_file()), nullptr);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(read_bytes(path), old_bytes);
  close(older);

  vandrel_lock_t lock = keep_open(path);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
  leave_interprocess_critical_section(lock);
  EXPECT_NE(read_bytes(path).size(), old_bytes.size());
}

// A lock file with a second name would be the lock of another file too, or
// lay its layout into a file that is not its own: refused, untouched.
TEST_F(InterprocessLock, ALockFileWithAnotherNameIsRefusedAndLeftAsItIs) {
  const std::string path = lock_path();
  const std::string other = directory_ + "/other";
  int fd = open(other.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(link(other.c_str(), path.c_str()), 0);
  errno = 0;
  EXPECT_EQ(open_lock(path, own_file()), nullptr);
  EXPECT_EQ(errno, EMLINK);
  errno = 0;
  const vandrel_guarded_file guarded = own_file();
  EXPECT_EQ(init_interprocess_critical_section_reader(path.c_str(), &guarded), nullptr);
  EXPECT_EQ(read_bytes(other), "");
}

// A reader's handle reads the published state, and cannot enter.
TEST_F(InterprocessLock, AReaderHandleSeesTheSharedWordsAndCannotEnter) {
  const std::string path = lock_path();
  vandrel_lock_t writer = keep_open(path);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(enter_interprocess_critical_section(writer), VANDREL_LOCK_TAKEN);
  add_to_interprocess_critical_section_counter(writer, 5);
  const vandrel_guarded_file guarded = own_file();
  vandrel_lock_t reader = init_interprocess_critical_section_reader(path.c_str(), &guarded);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(get_interprocess_critical_section_counter(reader), 5u);
  EXPECT_EQ(interprocess_critical_section_holder_alive(reader), 1);
  leave_interprocess_critical_section(writer);
  EXPECT_EQ(interprocess_critical_section_holder_alive(reader), 0);
  errno = 0;
  EXPECT_EQ(enter_interprocess_critical_section(reader), VANDREL_LOCK_FAILED);
  EXPECT_EQ(errno, EBADF);
  destroy_interprocess_critical_section(reader);
  errno = 0;
  EXPECT_EQ(init_interprocess_critical_section_reader((path + "-none").c_str(), &guarded), nullptr);
  EXPECT_EQ(errno, ENOENT);
}
