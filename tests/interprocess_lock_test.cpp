// vandrel interprocess critical sections: exclusion between processes, one
// lock per name whatever its bytes, survival of a holder killed while holding
// it, race-free creation of the shared object, and the seams of each step.
#include <gtest/gtest.h>
#include <rotolog/platform/vandrel.h>
#include <test_seams.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform_child_process.h"

namespace {

using platform_test::child_timed_out;
using platform_test::run_in_child;
using platform_test::start_child;
using platform_test::wait_child;

// Memory every forked process of a test shares.
template <typename T>
T *shared_memory() {
  void *address = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return address == MAP_FAILED ? nullptr : new (address) T();
}

// A read-modify-write that loses counts unless the lock excludes the others.
void unprotected_increment(volatile long *counter) {
  long value = *counter;
  for (volatile int spin = 0; spin < 20; spin = spin + 1) {
  }
  *counter = value + 1;
}

std::string directory_of(const std::string &path) { return path.substr(0, path.rfind('/')); }
std::string base_name_of(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// Entries of the object's directory whose name begins with the object's
// name: the object itself and any temporary made for it.
int entries_for_object(const std::string &path) {
  DIR *directory = opendir(directory_of(path).c_str());
  if (directory == nullptr) return -1;
  std::string base = base_name_of(path);
  int count = 0;
  while (dirent *entry = readdir(directory))
    if (std::strncmp(entry->d_name, base.c_str(), base.size()) == 0) ++count;
  closedir(directory);
  return count;
}

class InterprocessLock : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int service = 0; service < VANDREL_LOCK_SERVICE_COUNT; ++service)
      vandrel_test_fail_lock_call(static_cast<vandrel_lock_service>(service), 0, 0);
    vandrel_test_report_owner_died(0);
    for (vandrel_lock_t lock : locks_) destroy_interprocess_critical_section(lock);
    for (const std::string &path : objects_) unlink(path.c_str());
  }

  // A lock name no other test run uses.
  std::string unique_name(const std::string &suffix = "") {
    static int serial = 0;
    return "rotolog-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + suffix;
  }

  // Opens the lock, noting its object so the test removes it at the end.
  vandrel_lock_t open_lock(const std::string &name) {
    vandrel_lock_t lock = init_interprocess_critical_section(name.c_str());
    if (lock != nullptr) {
      locks_.push_back(lock);
      std::string path = object_path(lock);
      if (!path.empty()) objects_.push_back(path);
    }
    return lock;
  }

  static std::string object_path(vandrel_lock_t lock) {
    char path[256];
    return vandrel_test_lock_object_path(lock, path, sizeof path) == 0 ? path : "";
  }

  std::vector<vandrel_lock_t> locks_;
  std::vector<std::string> objects_;
};

// ---- Exclusion ----

TEST_F(InterprocessLock, ForkedProcessesExcludeEachOtherOnASharedCounter) {
  const std::string name = unique_name();
  ASSERT_NE(open_lock(name), nullptr);
  volatile long *counter = shared_memory<long>();
  ASSERT_NE(counter, nullptr);
  const int processes = 3, rounds = 100000;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  pid_t children[processes];
  for (pid_t &child : children) {
    child = start_child([&] {
      vandrel_lock_t lock = init_interprocess_critical_section(name.c_str());
      if (lock == nullptr) return 1;
      close(gate[1]);
      char byte;
      if (read(gate[0], &byte, 1) != 0) return 3;  // all start together when the gate closes
      for (int round = 0; round < rounds; ++round) {
        if (enter_interprocess_critical_section(lock) != VANDREL_LOCK_TAKEN) return 2;
        unprotected_increment(counter);
        leave_interprocess_critical_section(lock);
      }
      destroy_interprocess_critical_section(lock);
      return 0;
    });
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t child : children) EXPECT_EQ(wait_child(child, 60000), 0);
  EXPECT_EQ(*counter, processes * rounds);
  munmap(const_cast<long *>(counter), sizeof(long));
}

struct Timeline {
  std::atomic<int> child_ready{0};
  double parent_left_ms = 0;
  double child_entered_ms = 0;
};

TEST_F(InterprocessLock, TheSameNameGivesOneLockAndAnotherNameAnIndependentOne) {
  const std::string name = unique_name(), other = unique_name();
  vandrel_lock_t lock = open_lock(name);
  ASSERT_NE(lock, nullptr);
  vandrel_lock_t again = open_lock(name);
  EXPECT_EQ(object_path(again), object_path(lock));
  EXPECT_NE(object_path(open_lock(other)), object_path(lock));
  Timeline *timeline = shared_memory<Timeline>();
  ASSERT_NE(timeline, nullptr);

  ASSERT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
  // Another name is free while this one is held.
  EXPECT_EQ(run_in_child(
                [&] {
                  vandrel_lock_t independent = init_interprocess_critical_section(other.c_str());
                  return enter_interprocess_critical_section(independent);
                },
                5000),
            VANDREL_LOCK_TAKEN);

  // The same name waits until this process leaves.
  pid_t waiter = start_child([&] {
    vandrel_lock_t same = init_interprocess_critical_section(name.c_str());
    timeline->child_ready = 1;
    int result = enter_interprocess_critical_section(same);
    timeline->child_entered_ms = platform_test::monotonic_ms();
    leave_interprocess_critical_section(same);
    return result;
  });
  for (int waited = 0; timeline->child_ready == 0 && waited < 5000; ++waited) usleep(1000);
  if (timeline->child_ready == 0) wait_child(waiter, 0);  // kills and reaps it
  ASSERT_EQ(timeline->child_ready, 1);
  usleep(200000);
  timeline->parent_left_ms = platform_test::monotonic_ms();
  leave_interprocess_critical_section(lock);
  EXPECT_EQ(wait_child(waiter, 5000), VANDREL_LOCK_TAKEN);
  EXPECT_GE(timeline->child_entered_ms, timeline->parent_left_ms);
  munmap(timeline, sizeof(Timeline));
}

TEST_F(InterprocessLock, NamesOfAnyLengthAndAnyBytesWork) {
  std::string every_byte;
  for (int round = 0; round < 4; ++round)
    for (int byte = 1; byte < 256; ++byte) every_byte += static_cast<char>(byte);
  std::string twin = every_byte;
  twin.back() = 'x';  // differs only in the 1020th byte
  const std::string names[] = {every_byte, twin, "../../etc/passwd", "mutex_/tmp/a.log", ""};

  std::vector<std::string> paths;
  for (const std::string &name : names) {
    vandrel_lock_t lock = open_lock(name);
    ASSERT_NE(lock, nullptr) << name.size();
    std::string path = object_path(lock);
    EXPECT_EQ(base_name_of(path).size(), std::strlen("rotolog-lock-") + 32);
    EXPECT_EQ(base_name_of(path).rfind("rotolog-lock-", 0), 0u);
    EXPECT_EQ(object_path(open_lock(name)), path);
    EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
    leave_interprocess_critical_section(lock);
    for (const std::string &earlier : paths) EXPECT_NE(path, earlier);
    paths.push_back(path);
  }
}

// ---- A holder that dies ----

TEST_F(InterprocessLock, AHolderKilledWhileHoldingNeverBlocksTheOthers) {
  const std::string name = unique_name();
  vandrel_lock_t lock = open_lock(name);
  ASSERT_NE(lock, nullptr);
  for (int kill_round = 0; kill_round < 3; ++kill_round) {
    SCOPED_TRACE(kill_round);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = start_child([&] {
      vandrel_lock_t own = init_interprocess_critical_section(name.c_str());
      if (enter_interprocess_critical_section(own) < 0) return 1;
      if (write(ready[1], "x", 1) != 1) return 2;
      for (;;) pause();
    });
    close(ready[1]);  // a holder that fails to enter ends the read with 0
    char signal_byte;
    ssize_t got = read(ready[0], &signal_byte, 1);
    close(ready[0]);
    if (got != 1) wait_child(holder, 0);  // kills and reaps it
    ASSERT_EQ(got, 1);
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    EXPECT_EQ(wait_child(holder, 5000), 128 + SIGKILL);

    // The next holder learns of the death within the deadline; the lock then
    // goes on working whether or not the caller marked it consistent.
    bool mark = kill_round == 1;
    int observed = run_in_child(
        [&] {
          vandrel_lock_t own = init_interprocess_critical_section(name.c_str());
          int first = enter_interprocess_critical_section(own);
          if (mark) mark_interprocess_critical_section_consistent(own);
          leave_interprocess_critical_section(own);
          int second = enter_interprocess_critical_section(own);
          leave_interprocess_critical_section(own);
          return first * 10 + second;
        },
        2000);
    EXPECT_EQ(observed, VANDREL_LOCK_OWNER_DIED * 10 + VANDREL_LOCK_TAKEN);
    EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
    leave_interprocess_critical_section(lock);
  }
}

TEST_F(InterprocessLock, AHolderThatDiesHoldingItInThisProcessIsReportedToTheNextEnter) {
  vandrel_lock_t lock = open_lock(unique_name());
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(run_in_child([&] { return enter_interprocess_critical_section(lock); }), VANDREL_LOCK_TAKEN);
  // The child's exit killed the holder thread: this process's enter sees it.
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_OWNER_DIED);
  mark_interprocess_critical_section_consistent(lock);
  mark_interprocess_critical_section_consistent(lock);  // a second mark does nothing
  leave_interprocess_critical_section(lock);
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
  leave_interprocess_critical_section(lock);
}

// ---- Creating the shared object ----

TEST_F(InterprocessLock, ManyProcessesCreatingTheSameNewLockAtOnceAllGetOne) {
  const int processes = 12, rounds = 500;
  struct Race {
    long counter;
    ino_t objects[processes];
  };
  Race *race = shared_memory<Race>();
  ASSERT_NE(race, nullptr);
  for (int attempt = 0; attempt < 4; ++attempt) {
    SCOPED_TRACE(attempt);
    const std::string name = unique_name();
    race->counter = 0;
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t children[processes];
    for (int i = 0; i < processes; ++i) {
      children[i] = start_child([&, i] {
        close(gate[1]);
        char byte;
        if (read(gate[0], &byte, 1) != 0) return 1;  // released all at once by the close
        vandrel_lock_t lock = init_interprocess_critical_section(name.c_str());
        if (lock == nullptr) return 2;
        struct stat info;
        if (stat(object_path(lock).c_str(), &info) != 0) return 3;
        race->objects[i] = info.st_ino;
        for (int round = 0; round < rounds; ++round) {
          if (enter_interprocess_critical_section(lock) != VANDREL_LOCK_TAKEN) return 4;
          unprotected_increment(&race->counter);
          leave_interprocess_critical_section(lock);
        }
        return 0;
      });
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t child : children) EXPECT_EQ(wait_child(child, 30000), 0);
    EXPECT_EQ(race->counter, processes * rounds);
    for (int i = 1; i < processes; ++i) EXPECT_EQ(race->objects[i], race->objects[0]);
    vandrel_lock_t lock = open_lock(name);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(entries_for_object(object_path(lock)), 1);  // no temporary left behind
  }
  munmap(race, sizeof(Race));
}

// Removes the object of path and any temporary a killed creator left.
void remove_object_and_temporaries(const std::string &path) {
  DIR *directory = opendir(directory_of(path).c_str());
  if (directory == nullptr) return;
  std::string base = base_name_of(path);
  while (dirent *entry = readdir(directory))
    if (std::strncmp(entry->d_name, base.c_str(), base.size()) == 0)
      unlink((directory_of(path) + "/" + entry->d_name).c_str());
  closedir(directory);
}

TEST_F(InterprocessLock, ACreatorKilledAtAnyMomentNeverLeavesAnUnusableLock) {
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const std::string name = unique_name();
    // Removing the object each time makes every init of the loop a creation,
    // so the kill lands inside one most of the time.
    pid_t creator = start_child([&] {
      for (;;) {
        vandrel_lock_t lock = init_interprocess_critical_section(name.c_str());
        unlink(object_path(lock).c_str());
        destroy_interprocess_critical_section(lock);
      }
      return 0;
    });
    usleep(static_cast<useconds_t>(200 + round * 37 % 400));
    kill(creator, SIGKILL);
    wait_child(creator, 5000);
    int status = run_in_child(
        [&] {
          vandrel_lock_t lock = init_interprocess_critical_section(name.c_str());
          if (lock == nullptr) return 100 + errno % 100;
          int result = enter_interprocess_critical_section(lock);
          leave_interprocess_critical_section(lock);
          return result;
        },
        5000);
    EXPECT_EQ(status, VANDREL_LOCK_TAKEN);
    char path[256];
    vandrel_lock_t lock = init_interprocess_critical_section(name.c_str());
    ASSERT_EQ(vandrel_test_lock_object_path(lock, path, sizeof path), 0);
    destroy_interprocess_critical_section(lock);
    remove_object_and_temporaries(path);
  }
}

TEST_F(InterprocessLock, NewObjectsGetMode0660LessTheUmask) {
  const std::string first = unique_name(), second = unique_name();
  int status = run_in_child([&] {
    umask(0);
    vandrel_lock_t open_to_group = init_interprocess_critical_section(first.c_str());
    umask(027);
    vandrel_lock_t restricted = init_interprocess_critical_section(second.c_str());
    struct stat a, b;
    if (stat(object_path(open_to_group).c_str(), &a) != 0 || stat(object_path(restricted).c_str(), &b) != 0)
      return 1;
    return (a.st_mode & 07777) == 0660 && (b.st_mode & 07777) == 0640 ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
  open_lock(first);
  open_lock(second);
}

TEST_F(InterprocessLock, WhatIsNotACompleteLockObjectIsNeverUsed) {
  const std::string name = unique_name();
  vandrel_lock_t lock = open_lock(name);
  ASSERT_NE(lock, nullptr);
  const std::string path = object_path(lock);
  struct stat object;
  ASSERT_EQ(stat(path.c_str(), &object), 0);
  ASSERT_EQ(unlink(path.c_str()), 0);

  // A zeroed object of the right size: what a creator killed half-way would
  // have left, had it built the object in place.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  char zeros[4096] = {};
  const ssize_t object_size = static_cast<ssize_t>(object.st_size);
  ASSERT_LE(object_size, static_cast<ssize_t>(sizeof zeros));
  ASSERT_EQ(write(fd, zeros, object_size), object_size);
  EXPECT_EQ(init_interprocess_critical_section(name.c_str()), nullptr);
  EXPECT_EQ(errno, EPROTO);
  ASSERT_EQ(write(fd, zeros, 100), 100);  // wrong size
  close(fd);
  EXPECT_EQ(init_interprocess_critical_section(name.c_str()), nullptr);
  EXPECT_EQ(errno, EPROTO);

  // A symlink in its place is not followed.
  ASSERT_EQ(unlink(path.c_str()), 0);
  vandrel_lock_t other = open_lock(unique_name());
  ASSERT_EQ(symlink(object_path(other).c_str(), path.c_str()), 0);
  EXPECT_EQ(init_interprocess_critical_section(name.c_str()), nullptr);
  EXPECT_EQ(errno, ELOOP);

  // Once the path is free again the lock is made afresh; a stale temporary
  // of a dead creator does not get in the way.
  ASSERT_EQ(unlink(path.c_str()), 0);
  const std::string stale = path + ".tmp-1-0";
  fd = open(stale.c_str(), O_RDWR | O_CREAT, 0600);
  close(fd);
  EXPECT_NE(open_lock(name), nullptr);
  unlink(stale.c_str());
}

TEST_F(InterprocessLock, EachStepOfInitFailsThroughItsSeamLeavingNothingBehind) {
  const vandrel_lock_service services[] = {VANDREL_LOCK_SERVICE_OPEN, VANDREL_LOCK_SERVICE_CREATE,
                                           VANDREL_LOCK_SERVICE_SIZE, VANDREL_LOCK_SERVICE_MMAP,
                                           VANDREL_LOCK_SERVICE_PUBLISH};
  const int errors[] = {EACCES, EMFILE, ENOSPC, ENOMEM, EIO};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    const std::string name = unique_name();
    long calls = vandrel_test_lock_call_count(services[i]);
    vandrel_test_fail_lock_call(services[i], 1, errors[i]);
    EXPECT_EQ(init_interprocess_critical_section(name.c_str()), nullptr);
    EXPECT_EQ(errno, errors[i]);
    EXPECT_EQ(vandrel_test_lock_call_count(services[i]), calls + 1);
    vandrel_lock_t lock = open_lock(name);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(entries_for_object(object_path(lock)), 1);
  }
  vandrel_test_fail_allocation(1);
  EXPECT_EQ(init_interprocess_critical_section(unique_name().c_str()), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  // Opening an existing object maps it too.
  const std::string name = unique_name();
  ASSERT_NE(open_lock(name), nullptr);
  vandrel_test_fail_lock_call(VANDREL_LOCK_SERVICE_MMAP, 1, ENOMEM);
  EXPECT_EQ(init_interprocess_critical_section(name.c_str()), nullptr);
  EXPECT_EQ(errno, ENOMEM);
}

TEST_F(InterprocessLock, TheOwnerDiedSeamReportsOnceAndNullHandlesAreHarmless) {
  vandrel_lock_t lock = open_lock(unique_name());
  ASSERT_NE(lock, nullptr);
  vandrel_test_report_owner_died(2);
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
  leave_interprocess_critical_section(lock);
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_OWNER_DIED);
  mark_interprocess_critical_section_consistent(lock);
  leave_interprocess_critical_section(lock);
  EXPECT_EQ(enter_interprocess_critical_section(lock), VANDREL_LOCK_TAKEN);
  leave_interprocess_critical_section(lock);

  EXPECT_EQ(init_interprocess_critical_section(nullptr), nullptr);
  EXPECT_EQ(enter_interprocess_critical_section(nullptr), VANDREL_LOCK_FAILED);
  mark_interprocess_critical_section_consistent(nullptr);
  leave_interprocess_critical_section(nullptr);
  destroy_interprocess_critical_section(nullptr);
}

}  // namespace
