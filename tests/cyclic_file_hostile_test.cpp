// Cyclic files that are damaged or are not files at all: loading, writing and
// reading give codes, never a crash, a hang or an access outside the mapping.
// Other users of the machine who plant files, lock files and symlinks where a
// root service will look: it uses none of them, waits for none, and its
// writes go on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <rotolog/cyclic_file.h>
#include <rotolog/cyclic_file_header.h>
#include <rotolog/platform/vandrel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>

#include "platform_child_process.h"
#include "rotolog/cyclic_file_handle.h"
#include "test_support.h"

using test_support::TempDir;

namespace {

constexpr int kRW = CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE;

// Loads the file and, when it loads, writes and reads it. Returns 0 when every
// call gave a documented code (the child's exit tells a crash apart).
int exercise(const std::string &path) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 128, &status);
  if (handle == nullptr) {
    return (status == CYCLIC_FILE_LOAD_ERROR || status == CYCLIC_FILE_MAP_FAILED) ? 0 : 20;
  }
  int bad = 0;
  for (int i = 0; i < 20; ++i) {
    int written = cyclic_file_write(handle, "0123456789abcdef", 1 + i % 16);
    if (written != 0 && written != CYCLIC_FILE_WRITE_FAILED &&
        written != CYCLIC_FILE_READ_ALL_FAILED)
      bad = 21;
    char *block = nullptr;
    int length = 0;
    int read = cyclic_file_read_all(handle, &block, &length);
    if (read < 0 && read != CYCLIC_FILE_READ_ALL_FAILED) bad = 22;
    if (read > 0 && (block == nullptr || length < 0)) bad = 23;
    cyclic_file_free_read_buffer(handle, block);
  }
  cyclic_file_destroy_handle(handle);
  return bad;
}

std::string make_valid_file(const std::string &path, int ring_size, int messages) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, ring_size, &status);
  for (int i = 0; i < messages; ++i)
    cyclic_file_fwritef(handle, "message %d %s", i, std::string(i % 23, '#').c_str());
  cyclic_file_destroy_handle(handle);
  return test_support::read_file(path);
}

// The file at path with its header replaced by one of these fields (the
// encoded length of a full header does not change with the values).
void rewrite_header(const std::string &path, int buffer_size, int count, int write_offset,
                    int read_offset) {
  std::string bytes = test_support::read_file(path);
  cyclic_file_header_t record;
  record.init();
  record.set_buffer_size(buffer_size);
  record.set_message_count(count);
  record.set_wasted_tail(0);
  record.set_write_offset(write_offset);
  record.set_read_offset(read_offset);
  int length = xdr_encode_cyclic_file_header_t(&record, &bytes[0], 60);
  ASSERT_GT(length, 0);
  test_support::write_file(path, bytes);
}

int read_count(const std::string &path, std::string *contents) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 0, &status);
  if (handle == nullptr) return status;
  char *block = nullptr;
  int length = 0;
  int count = cyclic_file_read_all(handle, &block, &length);
  contents->assign(block != nullptr ? block : "", static_cast<size_t>(length));
  cyclic_file_free_read_buffer(handle, block);
  cyclic_file_destroy_handle(handle);
  return count;
}

}  // namespace

// Records that do not end at the header's write position describe
// no ring that writes can make: reading it would hand out bytes that are not
// messages (zero lengths from unwritten space), and a write would land where
// no read reaches it. The salvage keeps the whole records but the last one
// before the damage (its tail may be of another moment), and moves the write
// position to their end.
TEST(CyclicFileHostile, RecordsThatDoNotEndAtTheWritePositionAreSalvaged) {
  TempDir dir;
  std::string path = dir.file("log");
  make_valid_file(path, 64, 0);
  {
    int status = 0;
    void *handle = cyclic_file_create_handle(path.c_str(), kRW, 64, &status);
    for (const char *message : {"m0", "m1", "m2"})
      ASSERT_EQ(cyclic_file_write(handle, message, 2), 0);
    cyclic_file_destroy_handle(handle);
  }
  std::string contents;
  ASSERT_EQ(read_count(path, &contents), 3);
  EXPECT_EQ(contents, "m0m1m2");

  // Three records of 6 bytes, but the write position far beyond them.
  const std::string sound = test_support::read_file(path);
  rewrite_header(path, 64, 3, 59, 0);
  EXPECT_EQ(read_count(path, &contents), 2);
  EXPECT_EQ(contents, "m0m1");
  {
    // The mended header is stored: the next write follows the kept records.
    int status = 0;
    void *handle = cyclic_file_create_handle(path.c_str(), kRW, 64, &status);
    ASSERT_EQ(cyclic_file_write(handle, "m3", 2), 0);
    cyclic_file_destroy_handle(handle);
  }
  EXPECT_EQ(read_count(path, &contents), 3);
  EXPECT_EQ(contents, "m0m1m3");
  // Four records counted where the fourth is unwritten space (length 0).
  test_support::write_file(path, sound);
  rewrite_header(path, 64, 4, 24, 0);
  EXPECT_EQ(read_count(path, &contents), 2);
  EXPECT_EQ(contents, "m0m1");
}

// The header is damaged under an open handle (another program writes into
// the file): read_all fails and hands back no block, so a caller that frees
// what it got frees nothing.
TEST(CyclicFileHostile, AHeaderDamagedUnderAnOpenHandleFailsTheReadWithNoBlock) {
  TempDir dir;
  std::string path = dir.file("log");
  make_valid_file(path, 64, 3);
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 0, &status);
  ASSERT_NE(handle, nullptr);
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);  // no truncation
    file.write("\xff\xff\xff\xff", 4);
  }
  char sentinel = 0;
  char *block = &sentinel;
  int length = 77;
  EXPECT_EQ(cyclic_file_read_all(handle, &block, &length), CYCLIC_FILE_READ_ALL_FAILED);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(length, 0);
  cyclic_file_free_read_buffer(handle, block);
  EXPECT_EQ(cyclic_file_write(handle, "m", 1), CYCLIC_FILE_READ_ALL_FAILED);
  cyclic_file_destroy_handle(handle);
}

TEST(CyclicFileHostile, RandomBytesAnywhereGiveCodesNeverACrash) {
  TempDir dir;
  std::string path = dir.file("log");
  std::string valid = make_valid_file(path, 256, 40);
  std::mt19937 random(20261207);
  for (int round = 0; round < 300; ++round) {
    std::string damaged = valid;
    int flips = 1 + static_cast<int>(random() % 8);
    bool header_only = round % 2 == 0;
    for (int i = 0; i < flips; ++i) {
      size_t at = header_only ? random() % 60 : random() % damaged.size();
      damaged[at] = static_cast<char>(random());
    }
    test_support::write_file(path, damaged);
    ASSERT_EQ(test_support::run_in_child([&] { return exercise(path); }, std::chrono::seconds(20)),
              0)
        << "round " << round;
  }
}

TEST(CyclicFileHostile, TruncatedAndOverclaimingFilesAreRefused) {
  TempDir dir;
  std::string path = dir.file("log");
  std::string valid = make_valid_file(path, 256, 10);
  for (size_t keep :
       {size_t{0}, size_t{1}, size_t{8}, size_t{30}, valid.size() / 2, valid.size() - 1}) {
    test_support::write_file(path, valid.substr(0, keep));
    int status = 0;
    EXPECT_EQ(cyclic_file_create_handle(path.c_str(), kRW, 256, &status), nullptr) << keep;
    EXPECT_TRUE(status == CYCLIC_FILE_LOAD_ERROR || status == CYCLIC_FILE_MAP_FAILED) << status;
  }
  test_support::write_file(path, valid + std::string(100, '\0'));
  int status = 0;
  EXPECT_EQ(cyclic_file_create_handle(path.c_str(), kRW, 256, &status), nullptr);
  EXPECT_EQ(status, CYCLIC_FILE_LOAD_ERROR);
}

TEST(CyclicFileHostile, ThingsThatAreNotRegularFilesAreRefusedWithoutBlocking) {
  TempDir dir;
  std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &path : {fifo, dir.path(), std::string("/dev/null")}) {
    int result = test_support::run_in_child(
        [&] {
          int status = 0;
          void *handle = cyclic_file_create_handle(path.c_str(), kRW, 128, &status);
          return handle == nullptr && status == CYCLIC_FILE_MAP_FAILED ? 0 : 1;
        },
        std::chrono::seconds(5));
    EXPECT_EQ(result, 0) << path;
  }
}

// A handle whose write met a damaged record is not dead for good: the write
// salvages the ring and goes on, and so do the handle's later reads.
TEST(CyclicFileHostile, ADamagedLengthUnderAnOpenHandleIsMendedByItsNextWrite) {
  TempDir dir;
  std::string path = dir.file("log");
  make_valid_file(path, 64, 0);
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kRW, 0, &status);
  ASSERT_NE(handle, nullptr);
  for (const char *message : {"m0-0123456789", "m1-0123456789", "m2-0123456789", "m3-0123456789"})
    ASSERT_EQ(cyclic_file_write(handle, message, 13), 0);
  {
    // The oldest record's length now points past the write position.
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(28 + 17);  // m1, the oldest once m3 evicted m0
    file.write("\x3c\x00\x00\x00", 4);
  }
  // The write evicts the oldest records: it meets the damage, mends it and
  // writes; every later operation of the handle works.
  EXPECT_EQ(cyclic_file_write(handle, "m4-0123456789", 13), 0);
  char *block = nullptr;
  int length = 0;
  int count = cyclic_file_read_all(handle, &block, &length);
  ASSERT_GT(count, 0);
  std::string all(block, static_cast<size_t>(length));
  cyclic_file_free_read_buffer(handle, block);
  EXPECT_EQ(all.substr(all.size() - 13), "m4-0123456789");
  EXPECT_EQ(all.find("m1-"), std::string::npos);  // the damaged record is dropped
  EXPECT_EQ(cyclic_file_write(handle, "m5-0123456789", 13), 0);
  cyclic_file_destroy_handle(handle);
}

// Crafted positions cannot make a walk run away: equal read and write
// offsets (a full ring), the largest count a header may claim, and one record
// whose length spans the whole ring. Every reader stops within the ring.
TEST(CyclicFileHostile, AWalkNeverRunsPastTheRing) {
  TempDir dir;
  std::string path = dir.file("log");
  const int ring = 4096;
  make_valid_file(path, ring, 0);
  std::string bytes = test_support::read_file(path);
  const uint32_t length = ring - 4;  // the record wraps back onto itself
  std::memcpy(&bytes[28 + 100], &length, 4);
  test_support::write_file(path, bytes);
  rewrite_header(path, ring, ring / 4, 100, 100);
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_READ, 0, &status);
  ASSERT_NE(handle, nullptr);
  CCyclicFile *file = static_cast<CCyclicFile *>(handle);
  CCyclicFile::SalvagePlan plan;
  ASSERT_EQ(file->verify(&plan), 0);
  EXPECT_FALSE(plan.consistent);
  EXPECT_EQ(plan.kept_count, 1);
  long visited_bytes = 0;
  int visited = file->for_each_message(
      [](const char *, int32_t message_length, void *context) {
        *static_cast<long *>(context) += message_length;
        return 0;
      },
      &visited_bytes);
  EXPECT_EQ(visited, 1);
  EXPECT_EQ(visited_bytes, ring - 4);
  char *block = nullptr;
  int read_length = 0;
  EXPECT_EQ(cyclic_file_read_all(handle, &block, &read_length), 1);
  EXPECT_EQ(read_length, ring - 4);
  cyclic_file_free_read_buffer(handle, block);
  cyclic_file_destroy_handle(handle);
}

// Damage in the middle of the ring: the newer run that ends at the write
// position is kept, and the older run before the damage (less its last
// record, whose tail may be of another moment) is laid again against it, so
// the ring stays in order and consistent, also when the move crosses the
// ring's end.
TEST(CyclicFileHostile, TheOlderRunIsMovedUpAgainstTheNewerOne) {
  for (int lead : {0, 3}) {  // 3: the ring has wrapped, and so does the move
    TempDir dir;
    std::string path = dir.file("log");
    make_valid_file(path, 64, 0);
    int status = 0;
    void *handle = cyclic_file_create_handle(path.c_str(), kRW, 0, &status);
    ASSERT_NE(handle, nullptr);
    // With a lead, 3 messages first, evicted by the later ones.
    for (int i = 0; i < lead; ++i) ASSERT_EQ(cyclic_file_write(handle, "lead-msg", 8), 0);
    for (const char *message : {"msg-AAAA", "msg-BBBB", "msg-CCCC", "msg-DDDD", "msg-EEEE"})
      ASSERT_EQ(cyclic_file_write(handle, message, 8), 0);
    CCyclicFile *file = static_cast<CCyclicFile *>(handle);
    std::string all;
    int count = 0;
    all = test_support::read_all_text(handle, &count);
    ASSERT_EQ(all.substr(all.size() - 40), "msg-AAAAmsg-BBBBmsg-CCCCmsg-DDDDmsg-EEEE");
    // The header counts only A to E; C's length is damaged. Its field lies at
    // ring offset 24, or with the lead at 60, its payload then at 0.
    std::string bytes = test_support::read_file(path);
    const size_t c_at = 28 + (lead == 0 ? 24 : 60);
    ASSERT_EQ(bytes.substr(28 + (lead == 0 ? 28 : 0), 8), "msg-CCCC");
    bytes[c_at] = 0x7f;
    test_support::write_file(path, bytes);
    CCyclicFile::SalvagePlan plan;
    ASSERT_EQ(file->verify(&plan), 0);
    EXPECT_FALSE(plan.consistent);
    all = test_support::read_all_text(handle, &count);
    EXPECT_EQ(all.substr(all.size() - 24), "msg-AAAAmsg-DDDDmsg-EEEE") << "lead " << lead;
    ASSERT_EQ(file->verify(&plan), 0);
    EXPECT_TRUE(plan.consistent);
    ASSERT_EQ(cyclic_file_write(handle, "msg-FFFF", 8), 0);
    all = test_support::read_all_text(handle, &count);
    EXPECT_EQ(all.substr(all.size() - 8), "msg-FFFF");
    cyclic_file_destroy_handle(handle);
  }
}

// ---- Other users of the machine ----
// The tests run as root, as a service would; a forked child that drops to
// nobody plays a local user who attacks it.

namespace {

using platform_test::become_nobody;

// Starts body as nobody in a child that signals once it is ready (body
// returns 0) and then stays until killed: a holder of whatever it made.
pid_t start_attacker(const std::function<int()> &body) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    if (!become_nobody() || body() != 0) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(2);
    for (;;) pause();
  }
  close(ready[1]);
  char byte;
  bool started = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (!started && child > 0) platform_test::wait_child(child, 0);  // kills and reaps it
  return started ? child : -1;
}

std::string lock_file_of(const std::string &path) { return path + "-lock"; }

}  // namespace

TEST(CyclicFileOtherUsers, InARootDirectoryAnotherUserCanNeitherCreateNorHoldNorCorruptAnything) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // others may look, not write
  const std::string path = dir.file("service.cyclic");
  int status = 0;
  void *service = cyclic_file_create_handle(path.c_str(), kRW, 1 << 16, &status);
  ASSERT_NE(service, nullptr);

  // The attacker tries, over and over, every way in it has while the service
  // writes; it counts what worked.
  pid_t attacker = fork();
  if (attacker == 0) {
    if (!become_nobody()) _exit(100);
    int worked = 0;
    for (int round = 0; round < 2000; ++round) {
      int attempt_status = 0;
      void *handle = cyclic_file_create_handle(path.c_str(), kRW, 4096, &attempt_status);
      void *other =
          cyclic_file_create_handle(dir.file("other.cyclic").c_str(), kRW, 4096, &attempt_status);
      worked += handle != nullptr;
      worked += other != nullptr;
      cyclic_file_destroy_handle(handle);
      cyclic_file_destroy_handle(other);
      for (const std::string &target : {path, lock_file_of(path)}) {
        for (int flags : {O_RDWR, O_RDONLY}) {
          int fd = open(target.c_str(), flags);
          worked += fd >= 0;
          if (fd >= 0) close(fd);
        }
      }
      int fd = open(lock_file_of(dir.file("planted.cyclic")).c_str(), O_RDWR | O_CREAT, 0666);
      worked += fd >= 0;
      if (fd >= 0) close(fd);
    }
    _exit(worked > 99 ? 99 : worked);
  }
  // Each of the service's writes returns 0 within a second meanwhile.
  int writer = test_support::run_in_child(
      [&] {
        for (int i = 0; i < 2000; ++i) {
          double started = platform_test::monotonic_ms();
          if (cyclic_file_fwritef(service, "request %d", i) != 0) return 1;
          if (platform_test::monotonic_ms() - started > 1000) return 2;
          if (i % 100 == 0) usleep(1000);
        }
        return 0;
      },
      std::chrono::seconds(60));
  EXPECT_EQ(writer, 0);
  EXPECT_EQ(platform_test::wait_child(attacker, 60000), 0) << "attempts that worked";
  char *block = nullptr;
  int length = 0;
  EXPECT_EQ(cyclic_file_read_all(service, &block, &length), 2000);
  cyclic_file_free_read_buffer(service, block);
  cyclic_file_destroy_handle(service);
  EXPECT_EQ(test_support::directory_entries(dir.path()),
            (std::set<std::string>{"service.cyclic", "service.cyclic-lock"}));
}

TEST(CyclicFileOtherUsers, InASharedDirectoryAPlantedLockFileIsRefusedAtCreationAndNeverWaitedOn) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);  // as /tmp and /var/tmp are
  const std::string path = dir.file("service.cyclic");
  // The attacker makes the service's lock file its own before the service
  // starts, and holds its mutex.
  pid_t attacker = start_attacker([&] {
    vandrel_guarded_file own = {S_IFREG | 0666, geteuid(), getegid()};
    vandrel_lock_t lock = init_interprocess_critical_section(lock_file_of(path).c_str(), &own);
    return lock != nullptr && enter_interprocess_critical_section(lock) == VANDREL_LOCK_TAKEN ? 0
                                                                                              : 1;
  });
  ASSERT_GT(attacker, 0);
  double started = platform_test::monotonic_ms();
  int status = 0;
  EXPECT_EQ(cyclic_file_create_handle(path.c_str(), kRW, 4096, &status), nullptr);
  EXPECT_LT(platform_test::monotonic_ms() - started, 1000.0);
  EXPECT_EQ(status, CYCLIC_FILE_PERMISSION_DENIED);
  EXPECT_EQ(access(path.c_str(), F_OK), -1) << "the file was created all the same";
  platform_test::wait_child(attacker, 0);  // kills and reaps it
}

TEST(CyclicFileOtherUsers, InASharedDirectoryAnotherUsersFileOrSymlinkIsNeverUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir shared, own;
  ASSERT_EQ(chmod(shared.path().c_str(), 01777), 0);
  // A cyclic file of root's, elsewhere, that no one else may touch.
  const std::string secret = own.file("secret.cyclic");
  std::string before = make_valid_file(secret, 256, 3);

  const std::string planted = shared.file("service.cyclic"), link = shared.file("link.cyclic");
  pid_t attacker = start_attacker([&] {
    int attempt_status = 0;
    void *theirs = cyclic_file_create_handle(planted.c_str(), kRW, 256, &attempt_status);
    if (theirs == nullptr || chmod(planted.c_str(), 0666) != 0) return 1;
    cyclic_file_destroy_handle(theirs);
    return symlink(secret.c_str(), link.c_str());
  });
  ASSERT_GT(attacker, 0);
  int status = 0;
  for (const std::string &name : {planted, link}) {
    EXPECT_EQ(cyclic_file_create_handle(name.c_str(), kRW, 256, &status), nullptr) << name;
    EXPECT_EQ(status, CYCLIC_FILE_PERMISSION_DENIED);
    EXPECT_EQ(cyclic_file_create_handle(name.c_str(), CYCLIC_FILE_MODE_READ, 0, &status), nullptr);
  }
  EXPECT_EQ(test_support::read_file(secret), before);

  // Symlinks of the caller's own keep working, in a shared directory too,
  // and share the lock of the file they name.
  const std::string mine = shared.file("mine.cyclic");
  ASSERT_EQ(symlink(secret.c_str(), mine.c_str()), 0);
  void *handle = cyclic_file_create_handle(mine.c_str(), kRW, 0, &status);
  ASSERT_NE(handle, nullptr) << status;
  EXPECT_EQ(cyclic_file_write(handle, "through my link", 15), 0);
  cyclic_file_destroy_handle(handle);
  EXPECT_EQ(access(lock_file_of(mine).c_str(), F_OK), -1);
  EXPECT_EQ(access(lock_file_of(secret).c_str(), F_OK), 0);
  std::string contents;
  EXPECT_EQ(read_count(secret, &contents), 4);
  platform_test::wait_child(attacker, 0);  // kills and reaps it
}
