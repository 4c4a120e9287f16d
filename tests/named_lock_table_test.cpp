// The named lock registry: one lock per name across racing threads, case
// sensitivity, stable pointers through growth, private name copies, mutual
// exclusion, the process's registry, and out-of-memory paths.
#include "rotolog/named_lock_table.h"
#include <gtest/gtest.h>
#include "rotolog/platform/test_seams.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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
