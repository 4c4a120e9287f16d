// The cyclic file through its exported functions, on real files: creation,
// loading, the header on disk, writing, reading, flushing and the codes.
#include "rotolog/cyclic_file.h"
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include "rotolog/cyclic_file_header.h"
#include "rotolog/platform/sysbrace.h"
#include "rotolog/platform/test_seams.h"
#include "rotolog/platform/vandrel.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>

#include "rotolog/cyclic_file_handle.h"
#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"
#include "support/seams.h"

using namespace rotolog::detail;

using namespace test_support;

namespace {

bool file_exists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

}  // namespace

TEST(CyclicFileCreation, NewFileHoldsTheHeaderOfAnEmptyRingFollowedByTheRing) {
  TestFile file;
  void *handle = file.open(kReadWrite, 1000);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(file.status(), CYCLIC_FILE_OK);
  const int length = header_length();
  EXPECT_GT(length, 0);
  EXPECT_LE(length, 60);
  struct stat info;
  ASSERT_EQ(stat(file.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_size, length + 1000);
  EXPECT_EQ(info.st_mode & 0007, 0u) << "logs are not shared with the world";
  const Header disk = file.header();
  EXPECT_EQ(disk.length, length);
  EXPECT_EQ(disk.buffer_size, 1000);
  EXPECT_EQ(disk.message_count, 0);
  EXPECT_EQ(disk.wasted_tail, 0);
  EXPECT_EQ(disk.write_offset, 0);
  EXPECT_EQ(disk.read_offset, 0);
  file.close(handle);
  EXPECT_TRUE(file_exists(file.path()));
}

TEST(CyclicFileCreation, RefusesBadArgumentsWithoutTouchingTheFileSystem) {
  TestFile file;
  int status = 0;
  EXPECT_EQ(cyclic_file_create_handle(nullptr, kReadWrite, 100, &status), nullptr);
  EXPECT_EQ(status, CYCLIC_FILE_LOAD_ERROR);
  // A ring too small to hold any message (a 4-byte length and a byte).
  for (int size : {0, -1, INT_MIN, 1, 4}) {
    EXPECT_EQ(file.open(kReadWrite, size), nullptr);
    EXPECT_EQ(file.status(), CYCLIC_FILE_INVALID_BUFFER_SIZE);
    EXPECT_FALSE(file_exists(file.path()));
  }
  // A file that must exist is never made, not even by a handle that may
  // write; the caller learns ENOENT.
  for (int mode : {CYCLIC_FILE_MODE_MUST_EXIST, kReadWrite | CYCLIC_FILE_MODE_MUST_EXIST,
                   CYCLIC_FILE_MODE_WRITE | CYCLIC_FILE_MODE_MUST_EXIST}) {
    errno = 0;
    EXPECT_EQ(file.open(mode, 100), nullptr);
    EXPECT_EQ(file.status(), CYCLIC_FILE_NOT_FOUND);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(file_exists(file.path()));
    EXPECT_FALSE(file_exists(file.path() + "-lock"));
  }
  EXPECT_EQ(file.open(CYCLIC_FILE_MODE_READ, 100), nullptr);
  EXPECT_EQ(file.status(), CYCLIC_FILE_MAP_FAILED);
  EXPECT_FALSE(file_exists(file.path()));
  EXPECT_EQ(file.open(file.file("missing/d"), kReadWrite, 100), nullptr);
  EXPECT_EQ(file.status(), CYCLIC_FILE_NOT_FOUND);
}

TEST(CyclicFileCreation, ExistingFileKeepsItsMessagesAndItsOwnRingSize) {
  TestFile file;
  void *first = file.open(kReadWrite, 64);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(cyclic_file_write(first, "abc", 3), 0);
  file.close(first);
  for (int size : {0, -7, 4096}) {
    void *again = file.open(kReadWrite, size);
    ASSERT_NE(again, nullptr) << size;
    EXPECT_EQ(read_all(again).text, "abc");
    EXPECT_EQ(file.header().buffer_size, 64);
    file.close(again);
  }
}

TEST(CyclicFileCreation, DamagedHeaderIsRefusedInEveryModeAndLeftAsItWas) {
  TestFile file;
  const std::string garbage(200, '\xff');
  file.set_bytes(garbage);
  for (int mode :
       {CYCLIC_FILE_MODE_READ, CYCLIC_FILE_MODE_WRITE, kReadWrite | CYCLIC_FILE_MODE_MUST_EXIST}) {
    EXPECT_EQ(file.open(mode, 100), nullptr);
    EXPECT_EQ(file.status(), CYCLIC_FILE_LOAD_ERROR);
    EXPECT_EQ(file.bytes(), garbage);
  }
}

TEST(CyclicFileCreation, HeaderThatDecodesButDoesNotFitTheFileIsRefused) {
  TestFile file;
  void *created = file.open(kReadWrite, 100);
  ASSERT_NE(created, nullptr);
  file.close(created);
  const Header cases[] = {
      {200, 0, 0, 0, 0},  {50, 0, 0, 0, 0},    {100, -1, 0, 0, 0}, {100, 0, 4, 0, 0},
      {100, 0, -1, 0, 0}, {100, 1, 0, 101, 0}, {100, 1, 0, 0, -1}, {100, 26, 0, 0, 0},
  };
  for (const Header &fields : cases) {
    ASSERT_TRUE(file.rewrite_header(fields));
    EXPECT_EQ(file.open(kReadWrite, 100), nullptr);
    EXPECT_EQ(file.status(), CYCLIC_FILE_LOAD_ERROR)
        << fields.buffer_size << " " << fields.message_count << " " << fields.wasted_tail;
  }
  ASSERT_TRUE(file.rewrite_header({100, 0, 0, 0, 0}));
  EXPECT_NE(file.open(kReadWrite, 100), nullptr);
}

TEST(CyclicFileCreation, LoadingALoadedHandleFailsAndChangesNothing) {
  TestFile file;
  void *handle = file.open(kReadWrite, 64);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(cyclic_file_write(handle, "x", 1), 0);
  EXPECT_EQ(cyclic_file_load_file(nullptr), CYCLIC_FILE_INVALID_HANDLE);
  EXPECT_EQ(cyclic_file_load_file(handle), CYCLIC_FILE_LOAD_ERROR);
  EXPECT_EQ(read_all(handle).text, "x");
}

TEST(CyclicFileWriting, ModesPermitOnlyTheirOperations) {
  TestFile file;
  void *writer = file.open(CYCLIC_FILE_MODE_WRITE, 64);
  ASSERT_NE(writer, nullptr);
  void *reader = file.open(CYCLIC_FILE_MODE_READ, 0);
  ASSERT_NE(reader, nullptr);
  char *block = reinterpret_cast<char *>(1);
  int length = 7;
  EXPECT_EQ(cyclic_file_read_all(writer, &block, &length), CYCLIC_FILE_PERMISSION_DENIED);
  EXPECT_EQ(block, reinterpret_cast<char *>(1));
  EXPECT_EQ(cyclic_file_write(reader, "a", 1), CYCLIC_FILE_PERMISSION_DENIED);
  EXPECT_EQ(cyclic_file_fwritef(reader, "%d", 5), CYCLIC_FILE_PERMISSION_DENIED);
  EXPECT_EQ(cyclic_file_write(writer, "a", 1), 0);
  EXPECT_EQ(read_all(reader).text, "a");
}

TEST(CyclicFileWriting, MessagesLandAsRecordsAfterTheHeaderAndReadBackWithoutBeingConsumed) {
  TestFile file;
  void *handle = file.open(kReadWrite, 64);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(read_all(handle), (Contents{0, ""}));
  ASSERT_EQ(cyclic_file_write(handle, "abc", 3), 0);
  ASSERT_EQ(cyclic_file_write(handle, "de", 2), 0);
  EXPECT_EQ(read_all(handle), (Contents{2, "abcde"}));
  EXPECT_EQ(read_all(handle), (Contents{2, "abcde"}));

  EXPECT_EQ(file.bytes().substr(static_cast<size_t>(header_length()), 13),
            std::string("\x03\0\0\0abc\x02\0\0\0de", 13));
  const Header disk = file.header();
  EXPECT_EQ(disk.message_count, 2);
  EXPECT_EQ(disk.write_offset, 13);
  EXPECT_EQ(disk.read_offset, 0);
}

TEST(CyclicFileWriting, MessageSizeLimitAndEvictionOfTheOldest) {
  TestFile file;
  void *handle = file.open(kReadWrite, 32);
  ASSERT_NE(handle, nullptr);
  std::string largest(28, 'L');
  EXPECT_EQ(cyclic_file_write(handle, largest.data(), 28), 0);
  EXPECT_EQ(read_all(handle).text, largest);
  EXPECT_EQ(cyclic_file_write(handle, largest.data(), 29), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(read_all(handle).text, largest) << "a refused write leaves the file as it was";
  EXPECT_EQ(cyclic_file_write(handle, nullptr, 3), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(cyclic_file_write(handle, "a", 0), CYCLIC_FILE_WRITE_FAILED);

  void *other = file.open(kReadWrite, 0);
  ASSERT_NE(other, nullptr);
  std::string expected;
  for (char c = 'a'; c <= 'j'; ++c) {
    std::string message(10, c);
    ASSERT_EQ(cyclic_file_write(c % 2 ? handle : other, message.data(), 10), 0);
    expected = expected.substr(expected.size() >= 10 ? expected.size() - 10 : 0) + message;
  }
  EXPECT_EQ(read_all(other), (Contents{2, expected}));
}

TEST(CyclicFileWriting, FormattedTextsUpToAndPastTheFirstBuffer) {
  TestFile file;
  void *handle = file.open(kReadWrite, 1 << 16);
  ASSERT_NE(handle, nullptr);
  for (int size : {1, 511, 512, 513, 1024, 1025, 5000}) {
    std::string text(static_cast<size_t>(size), 'f');
    ASSERT_EQ(cyclic_file_fwritef(handle, "%s", text.c_str()), 0) << size;
    std::string all = read_all(handle).text;
    ASSERT_GE(all.size(), text.size());
    EXPECT_EQ(all.substr(all.size() - text.size()), text) << size;
  }
  EXPECT_EQ(cyclic_file_fwritef(handle, "%s-%d-%c", "x", 42, 'z'), 0);
  std::string all = read_all(handle).text;
  EXPECT_EQ(all.substr(all.size() - 6), "x-42-z");
  EXPECT_EQ(cyclic_file_fwritef(handle, "%s", ""), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(cyclic_file_fwritef(handle, nullptr), CYCLIC_FILE_WRITE_FAILED);
}

TEST(CyclicFileInterface, NullHandlesAndStatusTexts) {
  char *block = nullptr;
  int length = 0;
  EXPECT_EQ(cyclic_file_write(nullptr, "a", 1), CYCLIC_FILE_INVALID_HANDLE);
  EXPECT_EQ(cyclic_file_fwritef(nullptr, "a"), CYCLIC_FILE_INVALID_HANDLE);
  EXPECT_EQ(cyclic_file_read_all(nullptr, &block, &length), CYCLIC_FILE_INVALID_HANDLE);
  EXPECT_EQ(cyclic_file_flush(nullptr), CYCLIC_FILE_INVALID_HANDLE);
  cyclic_file_destroy_handle(nullptr);
  char *kept = static_cast<char *>(vel_malloc(4));
  cyclic_file_free_read_buffer(nullptr, kept);  // must not free it: freed below
  vel_free(kept);

  EXPECT_STREQ(cyclic_file_get_error_string(-4), "Unknown");
  EXPECT_STREQ(cyclic_file_get_error_string(0), "Unknown");
  EXPECT_STREQ(cyclic_file_get_error_string(-19), "Unknown");
  EXPECT_STREQ(cyclic_file_get_error_string(-13), "Failed to write message");
  EXPECT_STREQ(cyclic_file_get_error_string(-10), "Error loading file");
  EXPECT_STREQ(cyclic_file_get_error_string(-18), "Failed to allocate memory");
}

TEST(CyclicFileFlushing, FlushSucceedsOnALoadedHandleAndInFlushMode) {
  TestFile file;
  void *handle = file.open(kReadWrite | CYCLIC_FILE_MODE_FLUSH, 4096);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(cyclic_file_write(handle, "durable", 7), 0);
  EXPECT_NE(cyclic_file_flush(handle), 0);
  EXPECT_NE(cyclic_file_flush(handle), CYCLIC_FILE_INVALID_HANDLE);
}

TEST(CyclicFileMemory, EveryFailedAllocationIsReportedAndLeavesTheFileUsable) {
  TestFile file;
  const std::string &path = file.path();
  int status = 0;
  void *seed = file.open(kReadWrite, 256);
  ASSERT_NE(seed, nullptr);
  ASSERT_EQ(cyclic_file_write(seed, "kept", 4), 0);
  file.close(seed);

  for (long nth = 1; nth <= 12; ++nth) {
    test_seam_fail(TEST_SEAM_ALLOCATION, nth, ENOMEM);
    void *handle = file.open(kReadWrite, 256);
    if (handle == nullptr) {
      EXPECT_LT(file.status(), 0);
    } else {
      const int read = read_all(handle).count;
      EXPECT_TRUE(read == 1 || read == CYCLIC_FILE_NO_MEMORY || read == CYCLIC_FILE_READ_ALL_FAILED)
          << read;
      file.close(handle);
    }
    test_seam_fail(TEST_SEAM_ALLOCATION, 0, 0);
    EXPECT_EQ(read_all_at(path).text, "kept") << nth;
  }
  test_seam_fail(TEST_SEAM_ALLOCATION, 1, ENOMEM);
  EXPECT_EQ(cyclic_file_create_handle(path.c_str(), kReadWrite, 256, &status), nullptr);
  EXPECT_EQ(status, CYCLIC_FILE_NO_MEMORY);
}

TEST(CyclicFileCreation, AFullDiskFailsTheCreationAndLeavesNoFileBehind) {
  TestFile file;
  test_seam_fail(TEST_SEAM_FILE_RESERVE, 1, ENOSPC);
  EXPECT_EQ(file.open(kReadWrite, 4096), nullptr);
  EXPECT_EQ(file.status(), CYCLIC_FILE_NOT_FOUND);
  EXPECT_FALSE(file_exists(file.path()));
  EXPECT_EQ(directory_entries(file.folder()), std::set<std::string>{})
      << "a temporary file was left";
}

// A handle is handed out only with both its locks: when the lock cannot be
// had (its lock file cannot be opened, made or laid out), creating the
// handle fails with CYCLIC_FILE_PERMISSION_DENIED and creates no file.
TEST(CyclicFileLocks, ALockThatCannotBeHadFailsTheCreationAndCreatesNoFile) {
  TestFile file;
  const struct {
    test_seam service;
    int error;
  } failures[] = {{TEST_SEAM_FILE_CREATE, EACCES}, {TEST_SEAM_FILE_RESERVE, ENOSPC}};
  for (const auto &failure : failures) {
    SCOPED_TRACE(test_seam_name(failure.service));
    FailOnFile fail(failure.service, "-lock", failure.error);
    EXPECT_EQ(file.open(kReadWrite, 256), nullptr);
    EXPECT_EQ(fail.calls(), 1);
    EXPECT_EQ(errno, failure.error);
    EXPECT_EQ(file.status(), CYCLIC_FILE_PERMISSION_DENIED);
    EXPECT_FALSE(file_exists(file.path()));
    EXPECT_FALSE(file_exists(file.path() + "-lock"));
  }
  test_seam_fail(TEST_SEAM_LOCK_MMAP, 1, EACCES);
  EXPECT_EQ(file.open(kReadWrite, 256), nullptr);
  test_seam_fail(TEST_SEAM_LOCK_MMAP, 0, 0);
  EXPECT_EQ(file.status(), CYCLIC_FILE_PERMISSION_DENIED);
  EXPECT_FALSE(file_exists(file.path()));

  void *writer = file.open(kReadWrite, 256);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(cyclic_file_write(writer, "kept", 4), 0);
  {
    // The data file opens; its lock file does not.
    FailOnFile fail(TEST_SEAM_FILE_OPEN, "-lock", EACCES);
    EXPECT_EQ(file.open(kReadWrite, 256), nullptr);
    EXPECT_EQ(fail.calls(), 1);
  }
  EXPECT_EQ(file.status(), CYCLIC_FILE_PERMISSION_DENIED);
  EXPECT_EQ(read_all(writer).text, "kept");
}

mode_t mode_of(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(CyclicFileLocks, TheLockFileLiesBesideTheFileWithItsWriteBitsAndOwner) {
  TestFile file;
  const std::string &path = file.path();
  ASSERT_EQ(symlink(file.folder().c_str(), file.file("link").c_str()), 0);
  int made = run_in_child([&] {
    umask(027);
    void *handle = file.open(kReadWrite, 256);
    // Another name of the file finds the same lock file.
    void *linked = file.open(file.file("link/log"), kReadWrite, 0);
    if (handle == nullptr || linked == nullptr) return 1;
    // The lock file: read for whoever may read the file, write for whoever
    // may write it.
    if (mode_of(path) != 0640 || mode_of(path + "-lock") != 0640) return 2;
    return 0;
  });
  EXPECT_EQ(made, 0);
  EXPECT_EQ(directory_entries(file.folder()), (std::set<std::string>{"link", "log", "log-lock"}));

  if (geteuid() != 0) return;
  // Made by root for another user's file, it is that user's.
  ASSERT_EQ(unlink((path + "-lock").c_str()), 0);
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(path.c_str(), 0660), 0);
  ASSERT_NE(file.open(kReadWrite, 0), nullptr) << file.status();
  struct stat info;
  ASSERT_EQ(stat((path + "-lock").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 65534u);
  EXPECT_EQ(info.st_gid, 65534u);
  EXPECT_EQ(info.st_mode & 07777, 0660u);
}

uint64_t messages_appended(void *handle) {
  return get_interprocess_critical_section_counter(
      static_cast<CCyclicFile *>(handle)->interprocess_lock);
}

TEST(CyclicFileLocks, EverySuccessfulWriteOfEveryProcessAdvancesTheCountOfMessagesAppended) {
  TestFile file;
  void *handle = file.open(kReadWrite, 128);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(messages_appended(handle), 0u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(cyclic_file_fwritef(handle, "message %d", i), 0);
  // Refused writes count nothing.
  EXPECT_NE(cyclic_file_write(handle, "x", 0), 0);
  EXPECT_NE(cyclic_file_write(handle, std::string(200, 'x').c_str(), 200), 0);
  EXPECT_EQ(run_in_child([&] {
              void *own = file.open(CYCLIC_FILE_MODE_WRITE, 0);
              for (int i = 0; i < 50; ++i)
                if (cyclic_file_write(own, "other", 5) != 0) return 1;
              return 0;
            }),
            0);
  EXPECT_EQ(messages_appended(handle), 150u);
  file.close(handle);
  void *reopened = file.open(kReadWrite, 0);
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(messages_appended(reopened), 150u);
}

// Two names of one file would be two locks; a hard link is also how another
// user points a service at a file it could not name otherwise.
TEST(CyclicFileLocks, AFileWithMoreThanOneHardLinkIsRefused) {
  TestFile file;
  file.close(file.open(kReadWrite, 256));
  ASSERT_EQ(link(file.path().c_str(), file.file("alias").c_str()), 0);
  for (const std::string &name : {file.path(), file.file("alias")}) {
    EXPECT_EQ(file.open(name, kReadWrite, 256), nullptr) << name;
    EXPECT_EQ(file.status(), CYCLIC_FILE_PERMISSION_DENIED);
  }
  ASSERT_EQ(unlink(file.file("alias").c_str()), 0);
  EXPECT_NE(file.open(kReadWrite, 256), nullptr);
}

// A creator killed half-way leaves its temporary, as large as the ring; the
// next creator of the file removes it, and keeps those of live creators.
TEST(CyclicFileCreation, TheNextCreatorRemovesTheTemporaryOfAKilledCreator) {
  TestFile file;
  const std::string &path = file.path();
  char live[PATH_MAX];
  int live_fd = os_file_create_temporary(path.c_str(), live, sizeof live);
  ASSERT_GE(live_fd, 0);
  ASSERT_EQ(run_in_child([&] {
              char temporary[PATH_MAX];
              int fd = os_file_create_temporary(path.c_str(), temporary, sizeof temporary);
              return fd >= 0 && os_file_reserve(fd, 1 << 20) == 0 ? 0 : 1;  // gone, leaving it
            }),
            0);
  ASSERT_EQ(directory_entries(file.folder()).size(), 2u);
  void *handle = file.open(kReadWrite, 256);
  ASSERT_NE(handle, nullptr);
  file.close(handle);
  const std::string live_name = std::string(live).substr(file.folder().size() + 1);
  EXPECT_EQ(directory_entries(file.folder()),
            (std::set<std::string>{"log", "log-lock", live_name}));
  os_file_close(live_fd);
}

// The smallest ring holds a message of one byte; a message the ring cannot
// hold, or no message at all, is refused before anything changes, and errno
// says why.
TEST(CyclicFileWrite, AMessageTheRingCannotHoldIsRefusedWithItsReason) {
  TestFile file;
  void *smallest = file.open(kReadWrite, 5);
  ASSERT_NE(smallest, nullptr);
  EXPECT_EQ(cyclic_file_write(smallest, "a", 1), 0);
  EXPECT_EQ(cyclic_file_write(smallest, "b", 1), 0);
  EXPECT_EQ(read_all(smallest).text, "b");
  errno = 0;
  EXPECT_EQ(cyclic_file_write(smallest, "cc", 2), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(errno, EMSGSIZE);
  errno = 0;
  EXPECT_EQ(cyclic_file_write(smallest, nullptr, 1), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(cyclic_file_write(smallest, "d", 0), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(read_all(smallest).text, "b");
}

// ---- What the system may refuse a writer ----

// A process whose file size limit is below the file's size is refused the
// file with EFBIG, instead of dying of SIGXFSZ while making it, and leaves
// nothing behind.
TEST(CyclicFileLimits, AFileAboveTheSizeLimitIsRefusedNotASignal) {
  TestFile file;
  const int status = run_in_child([&] {
    const rlimit limit{64 << 10, 64 << 10};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 90;
    int opened = 0;
    errno = 0;
    void *handle = cyclic_file_create_handle(file.path().c_str(), kReadWrite, 1 << 20, &opened);
    if (handle != nullptr) return 1;
    if (opened != CYCLIC_FILE_NOT_FOUND) return 2;
    return errno == EFBIG ? 0 : 3;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(directory_entries(file.folder()), std::set<std::string>{});
}

// A file with holes (a sparse copy, a restore) on a full file system: a
// writer that opens it is refused with ENOSPC, instead of dying of SIGBUS at
// its first store into a hole.
TEST(CyclicFileLimits, AFileWithHolesOnAFullFileSystemIsRefusedNotASignal) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a small file system";
  SmallFileSystem small("1m");
  if (!small.usable()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string whole = small.file("whole.cyclic"), sparse = small.file("sparse.cyclic");
  void *made = cyclic_file_create_handle(whole.c_str(), kReadWrite, 256 << 10, nullptr);
  ASSERT_NE(made, nullptr);
  cyclic_file_destroy_handle(made);
  // The copy: its header, then holes to its size; its lock file beside it.
  const std::string bytes = read_file(whole);
  ASSERT_TRUE(write_file(sparse, bytes.substr(0, 64)));
  ASSERT_EQ(truncate(sparse.c_str(), static_cast<off_t>(bytes.size())), 0);
  ASSERT_TRUE(write_file(sparse + "-lock", read_file(whole + "-lock")));
  ASSERT_EQ(unlink(whole.c_str()), 0);
  small.fill();
  const int status = run_in_child([&] {
    int opened = 0;
    errno = 0;
    void *handle = cyclic_file_create_handle(sparse.c_str(), kReadWrite, 0, &opened);
    if (handle == nullptr) return opened == CYCLIC_FILE_MAP_FAILED && errno == ENOSPC ? 0 : 1;
    // Past the header's page, into the holes.
    const std::string message(1000, 'x');
    for (int i = 0; i < 50; ++i) cyclic_file_write(handle, message.c_str(), 1000);
    return 2;
  });
  EXPECT_EQ(status, 0) << "128 + 7: SIGBUS";
}
