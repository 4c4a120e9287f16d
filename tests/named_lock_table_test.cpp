// The named lock registry: one lock per name across racing threads, case
// sensitivity, stable pointers through growth, private name copies, mutual
// exclusion, the process's registry, out-of-memory paths, and fork while
// other threads, or the forking one, hold the registry's locks.
#include "rotolog/named_lock_table.h"
#include <gtest/gtest.h>
#include <unistd.h>
#include "rotolog/platform/test_seams.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

using namespace rotolog::detail;

namespace {

std::string lock_name(int index) { return "mutex_racing_" + std::to_string(index); }

}  // namespace

TEST(NamedLockTable, SameNameGivesSameLockAndCaseMatters) {
  CNamedLockTable registry;
  os_critical_section_t *lock = registry.GetLock("mutex_log.bin");
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(registry.GetLock("mutex_log.bin"), lock);
  os_critical_section_t *other_case = registry.GetLock("MUTEX_LOG.BIN");
  ASSERT_NE(other_case, nullptr);
  EXPECT_NE(other_case, lock);
  EXPECT_EQ(registry.GetLock(nullptr), nullptr);
}

TEST(NamedLockTable, RacingThreadsGetOneLockPerName) {
  CNamedLockTable registry;
  constexpr int kThreads = 8;
  constexpr int kNames = 100;
  std::vector<std::vector<os_critical_section_t *>> seen(
      kThreads, std::vector<os_critical_section_t *>(kNames));
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      // Each thread walks the names from a different start to meet the others.
      for (int i = 0; i < kNames; ++i) {
        const int index = (i + t * 13) % kNames;
        seen[t][index] = registry.GetLock(lock_name(index).c_str());
      }
    });
  }
  for (auto &thread : threads) thread.join();
  std::vector<os_critical_section_t *> distinct;
  for (int i = 0; i < kNames; ++i) {
    ASSERT_NE(seen[0][i], nullptr);
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][i], seen[0][i]) << lock_name(i);
    distinct.push_back(seen[0][i]);
  }
  std::sort(distinct.begin(), distinct.end());
  EXPECT_EQ(std::unique(distinct.begin(), distinct.end()), distinct.end());
}

TEST(NamedLockTable, GrowthKeepsEarlierLocksAndTheRegistryOwnsItsNames) {
  CNamedLockTable registry;
  std::vector<os_critical_section_t *> early;
  char name[32];
  // The seventh name grows the table from 11 to 31 buckets.
  for (int i = 0; i < 12; ++i) {
    std::snprintf(name, sizeof name, "mutex_%d", i);
    early.push_back(registry.GetLock(name));
    ASSERT_NE(early.back(), nullptr);
  }
  // The buffer was reused for every name; the registry kept its own copies.
  std::memset(name, 'x', sizeof name - 1);
  for (int i = 0; i < 12; ++i) {
    std::string again = "mutex_" + std::to_string(i);
    EXPECT_EQ(registry.GetLock(again.c_str()), early[i]) << again;
  }
}

TEST(NamedLockTable, LockExcludesOtherThreads) {
  CNamedLockTable registry;
  os_critical_section_t *lock = registry.GetLock("mutex_counter");
  ASSERT_NE(lock, nullptr);
  // An unguarded read-modify-write split by a yield loses updates unless the
  // lock excludes.
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        os_critical_section_enter(lock);
        long value = counter;
        if (i % 64 == 0) std::this_thread::yield();
        counter = value + 1;
        os_critical_section_leave(lock);
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(counter, 8000);
}

TEST(NamedLockTable, ProcessRegistryExistsAndIsShared) {
  CNamedLockTable *registry = named_lock_registry();
  ASSERT_NE(registry, nullptr);
  EXPECT_EQ(named_lock_registry(), registry);
  os_critical_section_t *lock = registry->GetLock("mutex_process_wide");
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(named_lock_registry()->GetLock("mutex_process_wide"), lock);
}

TEST(NamedLockTableOutOfMemory, RegistryWithoutTableOrGuardHandsOutNothing) {
  // Start-up allocations: table record, bucket array, guard.
  for (long nth = 1; nth <= 3; ++nth) {
    test_seam_fail(TEST_SEAM_ALLOCATION, nth, ENOMEM);
    {
      CNamedLockTable registry;
      EXPECT_EQ(registry.GetLock("mutex_a"), nullptr) << "allocation " << nth;
    }
    test_seam_fail(TEST_SEAM_ALLOCATION, 0, 0);
  }
}

TEST(NamedLockTableOutOfMemory, FailedLockOrEntryIsRetriedLater) {
  CNamedLockTable registry;
  os_critical_section_t *existing = registry.GetLock("mutex_existing");
  ASSERT_NE(existing, nullptr);
  // A new name costs: the lock, the node, the name copy.
  for (long nth = 1; nth <= 3; ++nth) {
    test_seam_fail(TEST_SEAM_ALLOCATION, nth, ENOMEM);
    EXPECT_EQ(registry.GetLock("mutex_new"), nullptr) << "allocation " << nth;
    test_seam_fail(TEST_SEAM_ALLOCATION, 0, 0);
  }
  EXPECT_EQ(registry.GetLock("mutex_existing"), existing);
  os_critical_section_t *later = registry.GetLock("mutex_new");
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(registry.GetLock("mutex_new"), later);
  EXPECT_NE(later, existing);
}

// ---- Fork ----------------------------------------------------------------
// The process registry's fork handlers, on the registry itself: what the
// cyclic file's fork test does not reach (the guard, a lock the forking
// thread holds, two threads forking at once).

namespace {

using namespace std::chrono_literals;
using test_support::kChildTimedOut;

// What a child does first with the registry: a lock it never had, and one a
// thread of its parent kept taking. 0, or the step that failed.
int use_registry_in_child(const char *busy_name, int child) {
  CNamedLockTable *registry = named_lock_registry();
  os_critical_section_t *fresh = registry->GetLock(
      ("mutex_child_" + std::to_string(getpid()) + "_" + std::to_string(child)).c_str());
  if (fresh == nullptr) return 2;
  os_critical_section_enter(fresh);
  os_critical_section_leave(fresh);
  os_critical_section_t *busy = registry->GetLock(busy_name);
  if (busy == nullptr) return 3;
  os_critical_section_enter(busy);
  os_critical_section_leave(busy);
  return 0;
}

}  // namespace

TEST(NamedLockRegistryFork, ChildForkedWhileThreadsUseTheGuardAndALockGetsBoth) {
  CNamedLockTable *registry = named_lock_registry();
  ASSERT_NE(registry, nullptr);
  // Few names: under ThreadSanitizer a thread may hold at most 64 locks,
  // and the fork handler holds every lock of the registry at once.
  constexpr int kNames = 16, kChildren = 20;
  std::atomic<bool> running{true};
  // One thread keeps the guard busy (a lookup of a known name holds it as an
  // insertion does); one keeps a lock busy.
  std::thread looker([&] {
    for (int i = 0; running.load(std::memory_order_relaxed); ++i)
      registry->GetLock(("mutex_fork_looked_up_" + std::to_string(i % kNames)).c_str());
  });
  std::thread holder([&] {
    os_critical_section_t *busy = registry->GetLock("mutex_fork_busy");
    while (running.load(std::memory_order_relaxed)) {
      os_critical_section_enter(busy);
      os_critical_section_leave(busy);
    }
  });
  int hung = 0;
  for (int child = 0; child < kChildren; ++child) {
    const int result =
        test_support::wait_child(test_support::start_child([child] {
                                   return use_registry_in_child("mutex_fork_busy", child);
                                 }),
                                 10s);
    if (result == kChildTimedOut) ++hung;
    EXPECT_EQ(result, 0) << "child " << child;
  }
  running.store(false);
  looker.join();
  holder.join();
  EXPECT_EQ(hung, 0);
}

TEST(NamedLockRegistryFork, ThreadHoldingALockForksAndBothSidesKeepIt) {
  // In a child of its own: a fork that waited for the lock its own thread
  // holds would hang there, and fails the deadline instead.
  const int result = test_support::run_in_child(
      [] {
        os_critical_section_t *held = named_lock_registry()->GetLock("mutex_held_across_fork");
        if (held == nullptr) return 2;
        os_critical_section_enter(held);
        const pid_t self = getpid();
        const pid_t grandchild = test_support::start_child([held, self] {
          test_support::die_with_parent(self);
          // The same thread carries on in the child: it leaves the lock as
          // it would have, and the lock then works as any other.
          os_critical_section_leave(held);
          os_critical_section_enter(held);
          os_critical_section_leave(held);
          return use_registry_in_child("mutex_held_across_fork", 0);
        });
        // The fork handlers left the lock to its holder.
        if (os_critical_section_is_held_by_caller(held) != 1) return 3;
        os_critical_section_leave(held);
        const int grandchild_result = test_support::wait_child(grandchild, 10s);
        return grandchild_result == 0 ? 0 : 4;
      },
      20s);
  EXPECT_EQ(result, 0);
}

TEST(NamedLockRegistryFork, ThreadsForkingAtOnceEachLeaveTheRegistryFree) {
  const int result = test_support::run_in_child(
      [] {
        CNamedLockTable *registry = named_lock_registry();
        std::atomic<bool> running{true};
        std::atomic<int> failures{0};
        std::thread holder([&] {
          os_critical_section_t *busy = registry->GetLock("mutex_fork_busy");
          while (running.load(std::memory_order_relaxed)) {
            os_critical_section_enter(busy);
            os_critical_section_leave(busy);
          }
        });
        const pid_t self = getpid();
        std::vector<std::thread> forkers;
        for (int f = 0; f < 2; ++f) {
          forkers.emplace_back([&, f] {
            for (int child = 0; child < 20; ++child) {
              const int index = f * 100 + child;
              const pid_t pid = test_support::start_child([index, self] {
                test_support::die_with_parent(self);
                return use_registry_in_child("mutex_fork_busy", index);
              });
              if (test_support::wait_child(pid, 10s) != 0) ++failures;
            }
          });
        }
        for (auto &thread : forkers) thread.join();
        running.store(false);
        holder.join();
        // After every fork, the guard and the lock are free again here too.
        return failures.load() == 0 && use_registry_in_child("mutex_fork_busy", 999) == 0 ? 0 : 5;
      },
      60s);
  EXPECT_EQ(result, 0);
}
