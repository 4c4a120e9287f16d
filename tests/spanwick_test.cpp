// spanwick: mapping whole regular files shared and writable, refusing
// anything else without blocking, and holding no descriptor once mapped.
#include "rotolog/platform/spanwick.h"
#include <gtest/gtest.h>
#include "rotolog/platform/test_seams.h"
#include "rotolog/platform/vandrel.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/child_process.h"
#include "support/files.h"

namespace {

using namespace test_support;
using namespace std::chrono_literals;

int open_descriptor_count() {
  int count = 0;
  DIR *directory = opendir("/proc/self/fd");
  if (directory == nullptr) return -1;
  while (readdir(directory) != nullptr) ++count;
  closedir(directory);
  return count;
}

class Spanwick : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(directory_.empty());
    ASSERT_TRUE(write_file(file_, std::string(10000, '.')));
  }
  void TearDown() override { test_seam_reset(); }

  // Maps path as the cyclic file does: opened without blocking, then mapped
  // from the descriptor, which goes at once. Null when it cannot (errno set).
  static mmap_handle_t map(const std::string &path, int mode = SPANWICK_MODE_SHARED_READ_WRITE) {
    const int access = (mode & SPANWICK_MODE_WRITE) ? O_RDWR : O_RDONLY;
    const int fd = open(path.c_str(), access | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return nullptr;
    mmap_handle_t handle = mmap_create_handle();
    int result = -1;
    if (handle != nullptr) {
      mmap_set_mode(handle, mode);
      result = mmap_open_descriptor(handle, fd);
    }
    const int saved_errno = errno;
    close(fd);
    if (handle != nullptr && result != 0) {
      EXPECT_EQ(mmap_get_base_address(handle), nullptr);
      EXPECT_EQ(mmap_get_length(handle), 0u);
      mmap_destroy_handle(handle);
      handle = nullptr;
    }
    errno = saved_errno;
    return handle;
  }

  // errno of a refused mapping of path, found in a child with a deadline so
  // that a mapping that blocks fails the test instead of hanging it.
  static int refusal_errno(const std::string &path) {
    return run_in_child(
        [&] {
          mmap_handle_t handle = map(path);
          if (handle != nullptr) return 255;
          return errno;
        },
        2s);
  }

  TempDir dir_;
  const std::string directory_ = dir_.path();
  const std::string file_ = dir_.file("ring");
};

// ---- Mapping ----

TEST_F(Spanwick, MapsTheWholeFileSharedSoStoresReachOtherMappingsAndTheFile) {
  mmap_handle_t first = map(file_);
  ASSERT_NE(first, nullptr);
  mmap_handle_t second = map(file_);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(mmap_get_length(first), 10000u);
  char *a = static_cast<char *>(mmap_get_base_address(first));
  char *b = static_cast<char *>(mmap_get_base_address(second));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(a, b);

  std::memcpy(a + 9990, "last bytes", 10);
  std::memcpy(a, "first", 5);
  EXPECT_EQ(std::string(b + 9990, 10), "last bytes");
  mmap_destroy_handle(first);
  EXPECT_EQ(std::string(b, 5), "first");  // survives the other handle's unmapping

  char from_file[10];
  int fd = open(file_.c_str(), O_RDONLY);
  EXPECT_EQ(pread(fd, from_file, 10, 9990), 10);
  close(fd);
  EXPECT_EQ(std::string(from_file, 10), "last bytes");
  mmap_destroy_handle(second);
  mmap_destroy_handle(nullptr);
}

TEST_F(Spanwick, StoresThroughOneProcessAreSeenByAnother) {
  mmap_handle_t handle = map(file_);
  ASSERT_NE(handle, nullptr);
  int status = run_in_child([&] {
    mmap_handle_t own = map(file_);
    if (own == nullptr) return 1;
    std::memcpy(mmap_get_base_address(own), "from child", 10);
    mmap_destroy_handle(own);
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::string(static_cast<char *>(mmap_get_base_address(handle)), 10), "from child");
  mmap_destroy_handle(handle);
}

TEST_F(Spanwick, RefusesBadArgumentsAndModes) {
  mmap_handle_t handle = mmap_create_handle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(mmap_set_mode(handle, SPANWICK_MODE_WRITE), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(mmap_set_mode(handle, 4096 | SPANWICK_MODE_READ), -1);
  EXPECT_EQ(mmap_set_mode(nullptr, SPANWICK_MODE_SHARED_READ_WRITE), -1);
  EXPECT_EQ(mmap_get_base_address(nullptr), nullptr);
  EXPECT_EQ(mmap_get_length(nullptr), 0u);
  mmap_destroy_handle(handle);

  // A read-only private mapping of the same file: stores stay in this process.
  handle = map(file_, SPANWICK_MODE_READ);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(static_cast<char *>(mmap_get_base_address(handle))[0], '.');
  mmap_destroy_handle(handle);
}

// ---- Files that cannot be mapped ----

TEST_F(Spanwick, RefusesFifosDirectoriesDevicesMissingAndEmptyFilesWithoutBlocking) {
  ASSERT_EQ(mkfifo((directory_ + "/fifo").c_str(), 0600), 0);
  ASSERT_TRUE(write_file(directory_ + "/empty", ""));
  EXPECT_EQ(refusal_errno(directory_ + "/fifo"), ENODEV);
  EXPECT_EQ(refusal_errno(directory_), EISDIR);
  EXPECT_EQ(refusal_errno("/dev/null"), ENODEV);
  EXPECT_EQ(refusal_errno(directory_ + "/missing"), ENOENT);
  EXPECT_EQ(refusal_errno(directory_ + "/empty"), EINVAL);
}

TEST_F(Spanwick, HoldsNoDescriptorWhenMappedNorAfterAnyFailure) {
  ASSERT_EQ(mkfifo((directory_ + "/fifo").c_str(), 0600), 0);
  int before = open_descriptor_count();
  mmap_handle_t handle = map(file_);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(open_descriptor_count(), before);
  EXPECT_EQ(map(directory_ + "/fifo"), nullptr);
  EXPECT_EQ(map("/dev/null"), nullptr);
  test_seam_fail(TEST_SEAM_MAP_MMAP, 1, ENOMEM);
  EXPECT_EQ(map(file_), nullptr);
  EXPECT_EQ(open_descriptor_count(), before);
  mmap_destroy_handle(handle);
  EXPECT_EQ(open_descriptor_count(), before);
}

// ---- Seams ----

TEST_F(Spanwick, EachStepOfMappingFailsThroughItsSeamAndLeavesTheHandleUsable) {
  const test_seam services[] = {TEST_SEAM_MAP_FSTAT, TEST_SEAM_MAP_MMAP};
  const int errors[] = {EIO, ENOMEM};
  const int fd = open(file_.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    mmap_handle_t handle = mmap_create_handle();
    ASSERT_NE(handle, nullptr);
    long calls = test_seam_calls(services[i]);
    test_seam_fail(services[i], 1, errors[i]);
    EXPECT_EQ(mmap_open_descriptor(handle, fd), -1);
    EXPECT_EQ(errno, errors[i]);
    EXPECT_EQ(test_seam_calls(services[i]), calls + 1);
    EXPECT_EQ(mmap_get_base_address(handle), nullptr);
    EXPECT_EQ(mmap_open_descriptor(handle, fd), 0);
    EXPECT_NE(mmap_get_base_address(handle), nullptr);
    mmap_destroy_handle(handle);
  }
  close(fd);
}

TEST_F(Spanwick, AHandleThatCannotBeAllocatedIsNull) {
  test_seam_fail(TEST_SEAM_ALLOCATION, 1, ENOMEM);
  EXPECT_EQ(mmap_create_handle(), nullptr);
  EXPECT_EQ(errno, ENOMEM);
}

}  // namespace

namespace {

TEST_F(Spanwick, ADescriptorIsMappedWholeAsTheModeSaysAndStaysTheCallers) {
  int fd = open(file_.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  mmap_handle_t handle = mmap_create_handle();
  EXPECT_EQ(mmap_open_descriptor(handle, fd), -1);  // writable mapping of a read-only file
  EXPECT_EQ(errno, EACCES);
  mmap_set_mode(handle, SPANWICK_MODE_READ | SPANWICK_MODE_SHARED);
  ASSERT_EQ(mmap_open_descriptor(handle, fd), 0);
  EXPECT_EQ(mmap_get_length(handle), 10000u);
  EXPECT_EQ(mmap_open_descriptor(handle, fd), -1);
  EXPECT_EQ(errno, EBUSY);
  char first = 0;
  EXPECT_EQ(pread(fd, &first, 1, 0), 1);  // the descriptor is still the caller's
  mmap_destroy_handle(handle);
  close(fd);
  ASSERT_EQ(mkfifo((directory_ + "/fifo").c_str(), 0600), 0);
  fd = open((directory_ + "/fifo").c_str(), O_RDWR | O_NONBLOCK);
  handle = mmap_create_handle();
  EXPECT_EQ(mmap_open_descriptor(handle, fd), -1);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_EQ(mmap_open_descriptor(nullptr, fd), -1);
  EXPECT_EQ(errno, EINVAL);
  mmap_destroy_handle(handle);
  close(fd);
}

}  // namespace
