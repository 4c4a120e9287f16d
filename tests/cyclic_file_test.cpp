// The cyclic file through its exported functions, on real files: creation,
// loading, the header on disk, writing, reading, flushing and the codes.
#include <gtest/gtest.h>
#include <rotolog/cyclic_file.h>
#include <rotolog/cyclic_file_header.h>
#include <rotolog/platform/sysbrace.h>
#include <rotolog/platform/test_seams.h>
#include <rotolog/platform/vandrel.h>
#include <sys/stat.h>

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
#include "test_support.h"

using test_support::TempDir;

namespace {

constexpr int kRW = CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE;

int full_header_length() {
  cyclic_file_header_t record;
  record.init();
  record.set_buffer_size(1);
  record.set_message_count(0);
  record.set_wasted_tail(0);
  record.set_write_offset(0);
  record.set_read_offset(0);
  return xdr_length_of_encoded_cyclic_file_header_t(&record);
}

// The header as it stands in the file's first bytes.
struct DiskHeader {
  int length = -1;
  int buffer_size = -1, message_count = -1, wasted_tail = -1, write_offset = -1, read_offset = -1;
};

DiskHeader read_disk_header(const std::string &path) {
  std::string bytes = test_support::read_file(path);
  DiskHeader result;
  cyclic_file_header_t *record = nullptr;
  result.length = xdr_decode_p_cyclic_file_header_t(
      bytes.data(), static_cast<int>(bytes.size() < 60 ? bytes.size() : 60), &record);
  if (result.length > 0) {
    record->get_buffer_size(&result.buffer_size);
    record->get_message_count(&result.message_count);
    record->get_wasted_tail(&result.wasted_tail);
    record->get_write_offset(&result.write_offset);
    record->get_read_offset(&result.read_offset);
  }
  if (record != nullptr) xdr_free_p_cyclic_file_header_t(&record);
  return result;
}

std::string read_all(void *handle, int *count = nullptr) {
  char *block = nullptr;
  int length = -1;
  int result = cyclic_file_read_all(handle, &block, &length);
  if (count != nullptr) *count = result;
  std::string text =
      block != nullptr ? std::string(block, static_cast<size_t>(length)) : std::string();
  cyclic_file_free_read_buffer(handle, block);
  return text;
}

bool file_exists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

}  // namespace

TEST(CyclicFileCreation, NewFileHoldsTheHeaderOfAnEmptyRingFollowedByTheRing) {
  TempDir dir;
  int status = 1;
  void *handle = cyclic_file_create_handle(dir.file("log").c_str(), kRW, 1000, &status);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(status, CYCLIC_FILE_OK);
  int header_length = full_header_length();
  EXPECT_GT(header_length, 0);
  EXPECT_LE(header_length, 60);
  struct stat info;
  ASSERT_EQ(stat(dir.file("log").c_str(), &info), 0);
  EXPECT_EQ(info.st_size, header_length + 1000);
  EXPECT_EQ(info.st_mode & 0007, 0u) << "logs are not shared with the world";
  DiskHeader disk = read_disk_header(dir.file("log"));
  EXPECT_EQ(disk.length, header_length);
  EXPECT_EQ(disk.buffer_size, 1000);
  EXPECT_EQ(disk.message_count, 0);
  EXPECT_EQ(disk.wasted_tail, 0);
  EXPECT_EQ(disk.write_offset, 0);
  EXPECT_EQ(disk.read_offset, 0);
  cyclic_file_destroy_handle(handle);
  EXPECT_TRUE(file_exists(dir.file("log")));
}

TEST(CyclicFileCreation, RefusesBadArgumentsWithoutTouchingTheFileSystem) {
  TempDir dir;
  int status = 0;
  EXPECT_EQ(cyclic_file_create_handle(nullptr, kRW, 100, &status), nullptr);
  EXPECT_EQ(status, CYCLIC_FILE_LOAD_ERROR);
  for (int size : {0, -1, INT_MIN}) {
    EXPECT_EQ(cyclic_file_create_handle(dir.file("a").c_str(), kRW, size, &status), nullptr);
    EXPECT_EQ(status, CYCLIC_FILE_INVALID_BUFFER_SIZE);
    EXPECT_FALSE(file_exists(dir.file("a")));
  }
  EXPECT_EQ(
      cyclic_file_create_handle(dir.file("b").c_str(), CYCLIC_FILE_MODE_MUST_EXIST, 100, &status),
      nullptr);
  EXPECT_EQ(status, CYCLIC_FILE_NOT_FOUND);
  EXPECT_FALSE(file_exists(dir.file("b")));
  EXPECT_EQ(cyclic_file_create_handle(dir.file("c").c_str(), CYCLIC_FILE_MODE_READ, 100, &status),
            nullptr);
  EXPECT_EQ(status, CYCLIC_FILE_MAP_FAILED);
  EXPECT_FALSE(file_exists(dir.file("c")));
  EXPECT_EQ(cyclic_file_create_handle(dir.file("missing/d").c_str(), kRW, 100, &status), nullptr);
  EXPECT_EQ(status, CYCLIC_FILE_NOT_FOUND);
}

TEST(CyclicFileCreation, ExistingFileKeepsItsMessagesAndItsOwnRingSize) {
  TempDir dir;
  std::string path = dir.file("log");
  int status = 0;
  void *first = cyclic_file_create_handle(path.c_str(), kRW, 64, &status);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(cyclic_file_write(first, "abc", 3), 0);
  cyclic_file_destroy_handle(first);
  for (int size : {0, -7, 4096}) {
    void *again = cyclic_file_create_handle(path.c_str(), kRW, size, &status);
    ASSERT_NE(again, nullptr) << size;
    EXPECT_EQ(read_all(again), "abc");
    EXPECT_EQ(read_disk_header(path).buffer_size, 64);
    cyclic_file_destroy_handle(again);
  }
}

TEST(CyclicFileCreation, DamagedHeaderIsRefusedInEveryModeAndLeftAsItWas) {
  TempDir dir;
  std::string path = dir.file("log");
  std::string garbage(200, '\xff');
  test_support::write_file(path, garbage);
  for (int mode :
       {CYCLIC_FILE_MODE_READ, CYCLIC_FILE_MODE_WRITE, kRW | CYCLIC_FILE_MODE_MUST_EXIST}) {
    int status = 0;
    EXPECT_EQ(cyclic_file_create_handle(path.c_str(), mode, 100, &status), nullptr);
    EXPECT_EQ(status, CYCLIC_FILE_LOAD_ERROR);
    EXPECT_EQ(test_support::read_file(path), garbage);
  }
}

TEST(CyclicFileCreation, HeaderThatDecodesButDoesNotFitTheFileIsRefused) {
  TempDir dir;
  std::string path = dir.file("log");
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 100, &status);
  ASSERT_NE(handle, nullptr);
  cyclic_file_destroy_handle(handle);
  std::string bytes = test_support::read_file(path);
  int header_length = full_header_length();

  auto rewrite = [&](int size, int count, int tail, int write_offset, int read_offset) {
    cyclic_file_header_t record;
    record.init();
    record.set_buffer_size(size);
    record.set_message_count(count);
    record.set_wasted_tail(tail);
    record.set_write_offset(write_offset);
    record.set_read_offset(read_offset);
    std::string changed = bytes;
    ASSERT_EQ(xdr_encode_cyclic_file_header_t(&record, changed.data(), header_length),
              header_length);
    test_support::write_file(path, changed);
  };
  struct Case {
    int size, count, tail, write_offset, read_offset;
  } cases[] = {
      {200, 0, 0, 0, 0},  {50, 0, 0, 0, 0},    {100, -1, 0, 0, 0}, {100, 0, 4, 0, 0},
      {100, 0, -1, 0, 0}, {100, 1, 0, 101, 0}, {100, 1, 0, 0, -1}, {100, 26, 0, 0, 0},
  };
  for (const Case &c : cases) {
    rewrite(c.size, c.count, c.tail, c.write_offset, c.read_offset);
    EXPECT_EQ(cyclic_file_create_handle(path.c_str(), kRW, 100, &status), nullptr);
    EXPECT_EQ(status, CYCLIC_FILE_LOAD_ERROR) << c.size << " " << c.count << " " << c.tail;
  }
  rewrite(100, 0, 0, 0, 0);
  handle = cyclic_file_create_handle(path.c_str(), kRW, 100, &status);
  EXPECT_NE(handle, nullptr);
  cyclic_file_destroy_handle(handle);
}

TEST(CyclicFileCreation, LoadingALoadedHandleFailsAndChangesNothing) {
  TempDir dir;
  int status = 0;
  void *handle = cyclic_file_create_handle(dir.file("log").c_str(), kRW, 64, &status);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(cyclic_file_write(handle, "x", 1), 0);
  EXPECT_EQ(cyclic_file_load_file(nullptr), CYCLIC_FILE_INVALID_HANDLE);
  EXPECT_EQ(cyclic_file_load_file(handle), CYCLIC_FILE_LOAD_ERROR);
  EXPECT_EQ(read_all(handle), "x");
  cyclic_file_destroy_handle(handle);
}

TEST(CyclicFileLockName, SeparatorsBecomeUnderscoresAndLongNamesEndInAHash) {
  void *memory = vel_malloc(sizeof(CCyclicFile));
  auto *file = new (memory) CCyclicFile("D:\\logs\\a.log", kRW, 10);
  EXPECT_STREQ(file->lock_name, "mutex_D:_logs_a.log");
  file->release();
  new (memory) CCyclicFile("D:/logs/a.log", kRW, 10);
  EXPECT_STREQ(file->lock_name, "mutex_D:_logs_a.log");
  file->release();

  std::string long_a(700, 'a');
  std::string long_b = long_a;
  long_b.back() = 'b';
  new (memory) CCyclicFile(long_a.c_str(), kRW, 10);
  std::string name_a = file->lock_name;
  file->release();
  new (memory) CCyclicFile(long_b.c_str(), kRW, 10);
  std::string name_b = file->lock_name;
  file->release();
  EXPECT_EQ(name_a.size(), 511u);
  EXPECT_EQ(name_a.compare(0, 6, "mutex_"), 0);
  EXPECT_NE(name_a, name_b);
  vel_free(memory);
}

TEST(CyclicFileWriting, ModesPermitOnlyTheirOperations) {
  TempDir dir;
  std::string path = dir.file("log");
  int status = 0;
  void *writer = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_WRITE, 64, &status);
  ASSERT_NE(writer, nullptr);
  void *reader = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_READ, 0, &status);
  ASSERT_NE(reader, nullptr);
  char *block = reinterpret_cast<char *>(1);
  int length = 7;
  EXPECT_EQ(cyclic_file_read_all(writer, &block, &length), CYCLIC_FILE_PERMISSION_DENIED);
  EXPECT_EQ(block, reinterpret_cast<char *>(1));
  EXPECT_EQ(cyclic_file_write(reader, "a", 1), CYCLIC_FILE_PERMISSION_DENIED);
  EXPECT_EQ(cyclic_file_fwritef(reader, "%d", 5), CYCLIC_FILE_PERMISSION_DENIED);
  EXPECT_EQ(cyclic_file_write(writer, "a", 1), 0);
  EXPECT_EQ(read_all(reader), "a");
  cyclic_file_destroy_handle(writer);
  cyclic_file_destroy_handle(reader);
}

TEST(CyclicFileWriting, MessagesLandAsRecordsAfterTheHeaderAndReadBackWithoutBeingConsumed) {
  TempDir dir;
  std::string path = dir.file("log");
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 64, &status);
  ASSERT_NE(handle, nullptr);
  int count = -1;
  EXPECT_EQ(read_all(handle, &count), "");
  EXPECT_EQ(count, 0);
  ASSERT_EQ(cyclic_file_write(handle, "abc", 3), 0);
  ASSERT_EQ(cyclic_file_write(handle, "de", 2), 0);
  EXPECT_EQ(read_all(handle, &count), "abcde");
  EXPECT_EQ(count, 2);
  EXPECT_EQ(read_all(handle, &count), "abcde");
  EXPECT_EQ(count, 2);

  int header_length = full_header_length();
  std::string bytes = test_support::read_file(path);
  EXPECT_EQ(bytes.substr(header_length, 13), std::string("\x03\0\0\0abc\x02\0\0\0de", 13));
  DiskHeader disk = read_disk_header(path);
  EXPECT_EQ(disk.message_count, 2);
  EXPECT_EQ(disk.write_offset, 13);
  EXPECT_EQ(disk.read_offset, 0);
  cyclic_file_destroy_handle(handle);
}

TEST(CyclicFileWriting, MessageSizeLimitAndEvictionOfTheOldest) {
  TempDir dir;
  int status = 0;
  void *handle = cyclic_file_create_handle(dir.file("log").c_str(), kRW, 32, &status);
  ASSERT_NE(handle, nullptr);
  std::string largest(28, 'L');
  EXPECT_EQ(cyclic_file_write(handle, largest.data(), 28), 0);
  EXPECT_EQ(read_all(handle), largest);
  EXPECT_EQ(cyclic_file_write(handle, largest.data(), 29), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(read_all(handle), largest) << "a refused write leaves the file as it was";
  EXPECT_EQ(cyclic_file_write(handle, nullptr, 3), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(cyclic_file_write(handle, "a", 0), CYCLIC_FILE_WRITE_FAILED);

  void *other = cyclic_file_create_handle(dir.file("log").c_str(), kRW, 0, &status);
  ASSERT_NE(other, nullptr);
  std::string expected;
  for (char c = 'a'; c <= 'j'; ++c) {
    std::string message(10, c);
    ASSERT_EQ(cyclic_file_write(c % 2 ? handle : other, message.data(), 10), 0);
    expected = expected.substr(expected.size() >= 10 ? expected.size() - 10 : 0) + message;
  }
  int count = 0;
  EXPECT_EQ(read_all(other, &count), expected);
  EXPECT_EQ(count, 2);
  cyclic_file_destroy_handle(handle);
  cyclic_file_destroy_handle(other);
}

TEST(CyclicFileWriting, FormattedTextsUpToAndPastTheFirstBuffer) {
  TempDir dir;
  int status = 0;
  void *handle = cyclic_file_create_handle(dir.file("log").c_str(), kRW, 1 << 16, &status);
  ASSERT_NE(handle, nullptr);
  for (int size : {1, 511, 512, 513, 1024, 1025, 5000}) {
    std::string text(static_cast<size_t>(size), 'f');
    ASSERT_EQ(cyclic_file_fwritef(handle, "%s", text.c_str()), 0) << size;
    std::string all = read_all(handle);
    ASSERT_GE(all.size(), text.size());
    EXPECT_EQ(all.substr(all.size() - text.size()), text) << size;
  }
  EXPECT_EQ(cyclic_file_fwritef(handle, "%s-%d-%c", "x", 42, 'z'), 0);
  std::string all = read_all(handle);
  EXPECT_EQ(all.substr(all.size() - 6), "x-42-z");
  EXPECT_EQ(cyclic_file_fwritef(handle, "%s", ""), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_EQ(cyclic_file_fwritef(handle, nullptr), CYCLIC_FILE_WRITE_FAILED);
  cyclic_file_destroy_handle(handle);
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
  TempDir dir;
  int status = 0;
  void *handle = cyclic_file_create_handle(dir.file("log").c_str(), kRW | CYCLIC_FILE_MODE_FLUSH,
                                           4096, &status);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(cyclic_file_write(handle, "durable", 7), 0);
  EXPECT_NE(cyclic_file_flush(handle), 0);
  EXPECT_NE(cyclic_file_flush(handle), CYCLIC_FILE_INVALID_HANDLE);
  cyclic_file_destroy_handle(handle);
}

TEST(CyclicFileMemory, EveryFailedAllocationIsReportedAndLeavesTheFileUsable) {
  TempDir dir;
  std::string path = dir.file("log");
  int status = 0;
  void *seed = cyclic_file_create_handle(path.c_str(), kRW, 256, &status);
  ASSERT_NE(seed, nullptr);
  ASSERT_EQ(cyclic_file_write(seed, "kept", 4), 0);
  cyclic_file_destroy_handle(seed);

  for (long nth = 1; nth <= 12; ++nth) {
    test_seam_fail(TEST_SEAM_ALLOCATION, nth, ENOMEM);
    void *handle = cyclic_file_create_handle(path.c_str(), kRW, 256, &status);
    if (handle == nullptr) {
      EXPECT_LT(status, 0);
    } else {
      char *block = nullptr;
      int length = 0;
      int read = cyclic_file_read_all(handle, &block, &length);
      EXPECT_TRUE(read == 1 || read == CYCLIC_FILE_NO_MEMORY || read == CYCLIC_FILE_READ_ALL_FAILED)
          << read;
      cyclic_file_free_read_buffer(handle, block);
      cyclic_file_destroy_handle(handle);
    }
    test_seam_fail(TEST_SEAM_ALLOCATION, 0, 0);
    void *check = cyclic_file_create_handle(path.c_str(), kRW, 256, &status);
    ASSERT_NE(check, nullptr) << nth;
    EXPECT_EQ(read_all(check), "kept");
    cyclic_file_destroy_handle(check);
  }
  test_seam_fail(TEST_SEAM_ALLOCATION, 1, ENOMEM);
  EXPECT_EQ(cyclic_file_create_handle(path.c_str(), kRW, 256, &status), nullptr);
  EXPECT_EQ(status, CYCLIC_FILE_NO_MEMORY);
}

TEST(CyclicFileCreation, AFullDiskFailsTheCreationAndLeavesNoFileBehind) {
  TempDir dir;
  std::string path = dir.file("log");
  test_seam_fail(TEST_SEAM_FILE_RESERVE, 1, ENOSPC);
  int status = 0;
  EXPECT_EQ(cyclic_file_create_handle(path.c_str(), kRW, 4096, &status), nullptr);
  EXPECT_EQ(status, CYCLIC_FILE_NOT_FOUND);
  EXPECT_FALSE(file_exists(path));
  EXPECT_EQ(std::system(("test -z \"$(ls -A '" + dir.path() + "')\"").c_str()), 0)
      << "a temporary file was left";
}

// A handle is handed out only with both its locks: when the lock cannot be
// had (its lock file cannot be opened, made or laid out), creating the
// handle fails with CYCLIC_FILE_PERMISSION_DENIED and creates no file.
TEST(CyclicFileLocks, ALockThatCannotBeHadFailsTheCreationAndCreatesNoFile) {
  TempDir dir;
  std::string path = dir.file("log");
  int status = 0;
  const struct {
    test_seam service;
    int error;
  } failures[] = {{TEST_SEAM_LOCK_CREATE, EACCES},
                  {TEST_SEAM_LOCK_RESERVE, ENOSPC},
                  {TEST_SEAM_LOCK_OFD, ENOLCK}};
  for (const auto &failure : failures) {
    SCOPED_TRACE(test_seam_name(failure.service));
    test_seam_fail(failure.service, 1, failure.error);
    EXPECT_EQ(cyclic_file_create_handle(path.c_str(), kRW, 256, &status), nullptr);
    test_seam_fail(failure.service, 0, 0);
    EXPECT_EQ(status, CYCLIC_FILE_PERMISSION_DENIED);
    EXPECT_FALSE(file_exists(path));
  }
  void *writer = cyclic_file_create_handle(path.c_str(), kRW, 256, &status);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(cyclic_file_write(writer, "kept", 4), 0);
  test_seam_fail(TEST_SEAM_LOCK_OPEN, 1, EACCES);
  EXPECT_EQ(cyclic_file_create_handle(path.c_str(), kRW, 256, &status), nullptr);
  test_seam_fail(TEST_SEAM_LOCK_OPEN, 0, 0);
  EXPECT_EQ(status, CYCLIC_FILE_PERMISSION_DENIED);
  EXPECT_EQ(read_all(writer), "kept");
  cyclic_file_destroy_handle(writer);
}

mode_t mode_of(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(CyclicFileLocks, TheLockFileLiesBesideTheFileWithItsWriteBitsAndOwner) {
  TempDir dir;
  std::string path = dir.file("log");
  ASSERT_EQ(symlink(dir.path().c_str(), dir.file("link").c_str()), 0);
  int made = test_support::run_in_child([&] {
    umask(027);
    int status = 0;
    void *handle = cyclic_file_create_handle(path.c_str(), kRW, 256, &status);
    // Another name of the file finds the same lock file.
    void *linked = cyclic_file_create_handle(dir.file("link/log").c_str(), kRW, 0, &status);
    if (handle == nullptr || linked == nullptr) return 1;
    if (mode_of(path) != 0640 || mode_of(path + "-lock") != 0600) return 2;
    return 0;
  });
  EXPECT_EQ(made, 0);
  EXPECT_EQ(test_support::directory_entries(dir.path()),
            (std::set<std::string>{"link", "log", "log-lock"}));

  if (geteuid() != 0) return;
  // Made by root for another user's file, it is that user's.
  ASSERT_EQ(unlink((path + "-lock").c_str()), 0);
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(path.c_str(), 0660), 0);
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 0, &status);
  ASSERT_NE(handle, nullptr) << status;
  struct stat info;
  ASSERT_EQ(stat((path + "-lock").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 65534u);
  EXPECT_EQ(info.st_gid, 65534u);
  EXPECT_EQ(info.st_mode & 07777, 0660u);
  cyclic_file_destroy_handle(handle);
}

uint64_t messages_appended(void *handle) {
  return get_interprocess_critical_section_counter(
      static_cast<CCyclicFile *>(handle)->interprocess_lock);
}

TEST(CyclicFileLocks, EverySuccessfulWriteOfEveryProcessAdvancesTheCountOfMessagesAppended) {
  TempDir dir;
  std::string path = dir.file("log");
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 128, &status);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(messages_appended(handle), 0u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(cyclic_file_fwritef(handle, "message %d", i), 0);
  // Refused writes count nothing.
  EXPECT_NE(cyclic_file_write(handle, "x", 0), 0);
  EXPECT_NE(cyclic_file_write(handle, std::string(200, 'x').c_str(), 200), 0);
  EXPECT_EQ(test_support::run_in_child([&] {
              int child_status = 0;
              void *own =
                  cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_WRITE, 0, &child_status);
              for (int i = 0; i < 50; ++i)
                if (cyclic_file_write(own, "other", 5) != 0) return 1;
              return 0;
            }),
            0);
  EXPECT_EQ(messages_appended(handle), 150u);
  cyclic_file_destroy_handle(handle);
  void *reopened = cyclic_file_create_handle(path.c_str(), kRW, 0, &status);
  EXPECT_EQ(messages_appended(reopened), 150u);
  cyclic_file_destroy_handle(reopened);
}

// Two names of one file would be two locks; a hard link is also how another
// user points a service at a file it could not name otherwise.
TEST(CyclicFileLocks, AFileWithMoreThanOneHardLinkIsRefused) {
  TempDir dir;
  std::string path = dir.file("log");
  int status = 0;
  cyclic_file_destroy_handle(cyclic_file_create_handle(path.c_str(), kRW, 256, &status));
  ASSERT_EQ(link(path.c_str(), dir.file("alias").c_str()), 0);
  for (const std::string &name : {path, dir.file("alias")}) {
    EXPECT_EQ(cyclic_file_create_handle(name.c_str(), kRW, 256, &status), nullptr) << name;
    EXPECT_EQ(status, CYCLIC_FILE_PERMISSION_DENIED);
  }
  ASSERT_EQ(unlink(dir.file("alias").c_str()), 0);
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 256, &status);
  EXPECT_NE(handle, nullptr);
  cyclic_file_destroy_handle(handle);
}

// A creator killed half-way leaves its temporary, as large as the ring; the
// next creator of the file removes it, and keeps those of live creators.
TEST(CyclicFileCreation, TheNextCreatorRemovesTheTemporaryOfAKilledCreator) {
  TempDir dir;
  std::string path = dir.file("log");
  char live[PATH_MAX];
  int live_fd = os_file_create_temporary(path.c_str(), live, sizeof live);
  ASSERT_GE(live_fd, 0);
  ASSERT_EQ(test_support::run_in_child([&] {
              char temporary[PATH_MAX];
              int fd = os_file_create_temporary(path.c_str(), temporary, sizeof temporary);
              return fd >= 0 && os_file_reserve(fd, 1 << 20) == 0 ? 0 : 1;  // gone, leaving it
            }),
            0);
  ASSERT_EQ(test_support::directory_entries(dir.path()).size(), 2u);
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 256, &status);
  ASSERT_NE(handle, nullptr);
  cyclic_file_destroy_handle(handle);
  const std::string live_name = std::string(live).substr(dir.path().size() + 1);
  EXPECT_EQ(test_support::directory_entries(dir.path()),
            (std::set<std::string>{"log", "log-lock", live_name}));
  os_file_close(live_fd);
}
