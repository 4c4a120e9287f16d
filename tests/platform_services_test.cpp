// The allocator and operating-system helpers that rotolog relies on.
#include <gtest/gtest.h>
#include "rotolog/platform/sysbrace.h"
#include "rotolog/platform/test_seams.h"
#include "rotolog/platform/vandrel.h"

#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

TEST(VandrelMemory, ReallocOfNullBehavesAsMallocAndGrowingKeepsBytes) {
  char *block = static_cast<char *>(vel_realloc(nullptr, 8));
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "rotolog", 8);
  block = static_cast<char *>(vel_realloc(block, 4096));
  ASSERT_NE(block, nullptr);
  EXPECT_STREQ(block, "rotolog");
  vel_free(block);
}

TEST(VandrelMemory, CallocOfPointersYieldsNullPointers) {
  void **pointers = static_cast<void **>(vel_calloc(64, sizeof(void *)));
  ASSERT_NE(pointers, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(pointers[i], nullptr);
  vel_free(pointers);
}

TEST(VandrelMemory, SeamFailsExactlyTheNthAllocation) {
  test_seam_fail(TEST_SEAM_ALLOCATION, 2, ENOMEM);
  void *first = vel_malloc(16);
  void *second = vel_calloc(1, 16);
  void *third = vel_realloc(nullptr, 16);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  vel_free(first);
  vel_free(third);
}

TEST(SysbraceTexts, CopiesAndComparesByteStrings) {
  char *copy = os_strdup("Mutex_A");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "Mutex_A");
  EXPECT_EQ(os_stricmp(copy, "mUTEX_a"), 0);
  EXPECT_NE(os_strcmp(copy, "mUTEX_a"), 0);
  EXPECT_EQ(os_strcmp(copy, "Mutex_A"), 0);
  EXPECT_NE(os_stricmp(copy, "Mutex_B"), 0);
  os_strdup_free(copy);
  os_strdup_free(nullptr);
  EXPECT_EQ(os_strdup(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

TEST(SysbraceTexts, CopyFailsCleanlyWhenMemoryRunsOut) {
  test_seam_fail(TEST_SEAM_ALLOCATION, 1, ENOMEM);
  EXPECT_EQ(os_strdup("name"), nullptr);
  EXPECT_EQ(errno, ENOMEM);
}

TEST(SysbraceFiles, ExistenceIsExactlyOneOrZero) {
  char path[] = "/tmp/rotolog-exist-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(os_is_file_exist(path), 1);
  unlink(path);
  EXPECT_EQ(os_is_file_exist(path), 0);
  EXPECT_EQ(os_is_file_exist(nullptr), 0);
}

TEST(SysbraceCriticalSection, ExcludesOtherThreads) {
  os_critical_section_t section;
  ASSERT_EQ(os_critical_section_init(&section, 4000), 0);
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 100000; ++i) {
      os_critical_section_enter(&section);
      ++counter;
      os_critical_section_leave(&section);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 200000);
  os_critical_section_delete(&section);
}
