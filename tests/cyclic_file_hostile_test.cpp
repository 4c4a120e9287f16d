// Cyclic files that are damaged or are not files at all: loading, writing and
// reading give codes, never a crash, a hang or an access outside the mapping.
// Other users of the machine who plant files, lock files and symlinks where a
// root service will look: it uses none of them, waits for none, and its
// writes go on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_header.h"
#include "rotolog/platform/vandrel.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "rotolog/cyclic_file_handle.h"
#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"

using namespace rotolog::detail;

using namespace test_support;
using namespace std::chrono_literals;

namespace {

// Loads the file and, when it loads, writes and reads it. Returns 0 when every
// call gave a documented code (the child's exit tells a crash apart).
int exercise(const std::string &path) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kReadWrite, 128, &status);
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
  void *handle = cyclic_file_create_handle(path.c_str(), kReadWrite, ring_size, &status);
  for (int i = 0; i < messages; ++i)
    cyclic_file_fwritef(handle, "message %d %s", i, std::string(i % 23, '#').c_str());
  cyclic_file_destroy_handle(handle);
  return read_file(path);
}

// The 4-byte little-endian length field of a record.
std::string length_field(uint32_t length) {
  return std::string(reinterpret_cast<const char *>(&length), sizeof length);
}

}  // namespace

// Records that do not end at the header's write position describe
// no ring that writes can make: reading it would hand out bytes that are not
// messages (zero lengths from unwritten space), and a write would land where
// no read reaches it. The salvage keeps the whole records but the last one
// before the damage (its tail may be of another moment), and moves the write
// position to their end.
TEST(CyclicFileHostile, RecordsThatDoNotEndAtTheWritePositionAreSalvaged) {
  TestFile file;
  make_valid_file(file.path(), 64, 0);
  void *handle = file.open(kReadWrite, 64);
  ASSERT_NE(handle, nullptr);
  for (const char *message : {"m0", "m1", "m2"})
    ASSERT_EQ(cyclic_file_write(handle, message, 2), 0);
  file.close(handle);
  ASSERT_EQ(read_all_at(file.path()), (Contents{3, "m0m1m2"}));

  // Three records of 6 bytes, but the write position far beyond them.
  const std::string sound = file.bytes();
  ASSERT_TRUE(file.rewrite_header({64, 3, 0, 59, 0}));
  EXPECT_EQ(read_all_at(file.path()), (Contents{2, "m0m1"}));
  // The mended header is stored: the next write follows the kept records.
  handle = file.open(kReadWrite, 64);
  ASSERT_EQ(cyclic_file_write(handle, "m3", 2), 0);
  file.close(handle);
  EXPECT_EQ(read_all_at(file.path()), (Contents{3, "m0m1m3"}));
  // Four records counted where the fourth is unwritten space (length 0).
  file.set_bytes(sound);
  ASSERT_TRUE(file.rewrite_header({64, 4, 0, 24, 0}));
  EXPECT_EQ(read_all_at(file.path()), (Contents{2, "m0m1"}));
}

// The header is damaged under an open handle (another program writes into
// the file): read_all fails and hands back no block, so a caller that frees
// what it got frees nothing.
TEST(CyclicFileHostile, AHeaderDamagedUnderAnOpenHandleFailsTheReadWithNoBlock) {
  TestFile file;
  make_valid_file(file.path(), 64, 3);
  void *handle = file.open(kReadWrite, 0);
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(file.overwrite(0, std::string(4, '\xff')));
  char sentinel = 0;
  char *block = &sentinel;
  int length = 77;
  EXPECT_EQ(cyclic_file_read_all(handle, &block, &length), CYCLIC_FILE_READ_ALL_FAILED);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(length, 0);
  cyclic_file_free_read_buffer(handle, block);
  EXPECT_EQ(cyclic_file_write(handle, "m", 1), CYCLIC_FILE_READ_ALL_FAILED);
}

TEST(CyclicFileHostile, RandomBytesAnywhereGiveCodesNeverACrash) {
  TestFile file;
  const std::string &path = file.path();
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
    file.set_bytes(damaged);
    ASSERT_EQ(run_in_child([&] { return exercise(path); }, 20s), 0) << "round " << round;
  }
}

TEST(CyclicFileHostile, TruncatedAndOverclaimingFilesAreRefused) {
  TestFile file;
  std::string valid = make_valid_file(file.path(), 256, 10);
  for (size_t keep :
       {size_t{0}, size_t{1}, size_t{8}, size_t{30}, valid.size() / 2, valid.size() - 1}) {
    file.set_bytes(valid.substr(0, keep));
    EXPECT_EQ(file.open(kReadWrite, 256), nullptr) << keep;
    EXPECT_TRUE(file.status() == CYCLIC_FILE_LOAD_ERROR || file.status() == CYCLIC_FILE_MAP_FAILED)
        << file.status();
  }
  file.set_bytes(valid + std::string(100, '\0'));
  EXPECT_EQ(file.open(kReadWrite, 256), nullptr);
  EXPECT_EQ(file.status(), CYCLIC_FILE_LOAD_ERROR);
}

TEST(CyclicFileHostile, ThingsThatAreNotRegularFilesAreRefusedWithoutBlocking) {
  TestFile file;
  std::string fifo = file.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &path : {fifo, file.folder(), std::string("/dev/null")}) {
    int result = run_in_child(
        [&] {
          return file.open(path, kReadWrite, 128) == nullptr &&
                         file.status() == CYCLIC_FILE_MAP_FAILED
                     ? 0
                     : 1;
        },
        5s);
    EXPECT_EQ(result, 0) << path;
  }
}

// A handle whose write met a damaged record is not dead for good: the write
// salvages the ring and goes on, and so do the handle's later reads.
TEST(CyclicFileHostile, ADamagedLengthUnderAnOpenHandleIsMendedByItsNextWrite) {
  TestFile file;
  make_valid_file(file.path(), 64, 0);
  void *handle = file.open(kReadWrite, 0);
  ASSERT_NE(handle, nullptr);
  for (const char *message : {"m0-0123456789", "m1-0123456789", "m2-0123456789", "m3-0123456789"})
    ASSERT_EQ(cyclic_file_write(handle, message, 13), 0);
  // The oldest record's length now points past the write position: m1, the
  // oldest once m3 evicted m0, at ring offset 17.
  ASSERT_TRUE(file.overwrite(static_cast<size_t>(header_length()) + 17, length_field(0x3c)));
  // The write evicts the oldest records: it meets the damage, mends it and
  // writes; every later operation of the handle works.
  EXPECT_EQ(cyclic_file_write(handle, "m4-0123456789", 13), 0);
  const Contents contents = read_all(handle);
  ASSERT_GT(contents.count, 0);
  const std::string &all = contents.text;
  EXPECT_EQ(all.substr(all.size() - 13), "m4-0123456789");
  EXPECT_EQ(all.find("m1-"), std::string::npos);  // the damaged record is dropped
  EXPECT_EQ(cyclic_file_write(handle, "m5-0123456789", 13), 0);
}

// Crafted positions cannot make a walk run away: equal read and write
// offsets (a full ring), the largest count a header may claim, and one record
// whose length spans the whole ring. Every reader stops within the ring.
TEST(CyclicFileHostile, AWalkNeverRunsPastTheRing) {
  TestFile file;
  const int ring = 4096;
  make_valid_file(file.path(), ring, 0);
  // The record at 100 wraps back onto itself.
  ASSERT_TRUE(file.overwrite(static_cast<size_t>(header_length()) + 100, length_field(ring - 4)));
  ASSERT_TRUE(file.rewrite_header({ring, ring / 4, 0, 100, 100}));
  void *handle = file.open(CYCLIC_FILE_MODE_READ, 0);
  ASSERT_NE(handle, nullptr);
  CCyclicFile *cyclic = static_cast<CCyclicFile *>(handle);
  CCyclicFile::SalvagePlan plan;
  ASSERT_EQ(cyclic->verify(&plan), 0);
  EXPECT_FALSE(plan.consistent);
  EXPECT_EQ(plan.kept_count, 1);
  long visited_bytes = 0;
  int visited = cyclic->for_each_message(
      [](const char *, int32_t message_length, void *context) {
        *static_cast<long *>(context) += message_length;
        return 0;
      },
      &visited_bytes);
  EXPECT_EQ(visited, 1);
  EXPECT_EQ(visited_bytes, ring - 4);
  const Contents contents = read_all(handle);
  EXPECT_EQ(contents.count, 1);
  EXPECT_EQ(contents.text.size(), static_cast<size_t>(ring - 4));
}

// Damage in the middle of the ring: the newer run that ends at the write
// position is kept, and the older run before the damage (less its last
// record, whose tail may be of another moment) is laid again against it, so
// the ring stays in order and consistent, also when the move crosses the
// ring's end.
// A header that says a tail was skipped where the last record ended exactly
// at the ring's end (no writer leaves one, a hostile file may): the record
// after the end is still whole, and a write that follows is read back as the
// newest message.
TEST(CyclicFileHostile, ARecordEndingAtTheRingsEndIsFollowedWhateverTheTailSays) {
  TestFile file;
  make_valid_file(file.path(), 64, 0);
  // Two records: 5 + 51 bytes from offset 8 fill the ring to its end.
  std::string ring(64, '#');
  ring.replace(8, 4, length_field(1));
  ring.replace(13, 4, length_field(47));
  ASSERT_TRUE(file.overwrite(static_cast<size_t>(header_length()), ring));
  ASSERT_TRUE(file.rewrite_header({64, 2, 1, 0, 8}));
  void *handle = file.open(kReadWrite, 0);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(read_all(handle).count, 2);
  ASSERT_EQ(cyclic_file_write(handle, "new", 3), 0);
  const Contents after = read_all(handle);
  EXPECT_EQ(after.count, 3);
  EXPECT_EQ(after.text.substr(after.text.size() - 3), "new");
}

TEST(CyclicFileHostile, TheOlderRunIsMovedUpAgainstTheNewerOne) {
  for (int lead : {0, 3}) {  // 3: the ring has wrapped, and so does the move
    TestFile file;
    make_valid_file(file.path(), 64, 0);
    void *handle = file.open(kReadWrite, 0);
    ASSERT_NE(handle, nullptr);
    // With a lead, 3 messages first, evicted by the later ones.
    for (int i = 0; i < lead; ++i) ASSERT_EQ(cyclic_file_write(handle, "lead-msg", 8), 0);
    for (const char *message : {"msg-AAAA", "msg-BBBB", "msg-CCCC", "msg-DDDD", "msg-EEEE"})
      ASSERT_EQ(cyclic_file_write(handle, message, 8), 0);
    CCyclicFile *cyclic = static_cast<CCyclicFile *>(handle);
    std::string all = read_all(handle).text;
    ASSERT_EQ(all.substr(all.size() - 40), "msg-AAAAmsg-BBBBmsg-CCCCmsg-DDDDmsg-EEEE");
    // The header counts only A to E; C's length is damaged. Its field lies at
    // ring offset 24, or with the lead at 60, its payload then at 0.
    const size_t ring_at = static_cast<size_t>(header_length());
    ASSERT_EQ(file.bytes().substr(ring_at + (lead == 0 ? 28 : 0), 8), "msg-CCCC");
    ASSERT_TRUE(file.overwrite(ring_at + (lead == 0 ? 24 : 60), "\x7f"));
    CCyclicFile::SalvagePlan plan;
    ASSERT_EQ(cyclic->verify(&plan), 0);
    EXPECT_FALSE(plan.consistent);
    all = read_all(handle).text;
    EXPECT_EQ(all.substr(all.size() - 24), "msg-AAAAmsg-DDDDmsg-EEEE") << "lead " << lead;
    // A read salvages its copy only; the next writer to open mends the file.
    ASSERT_EQ(cyclic->verify(&plan), 0);
    EXPECT_FALSE(plan.consistent);
    void *mender = file.open(kReadWrite, 0);
    ASSERT_NE(mender, nullptr);
    file.close(mender);
    ASSERT_EQ(cyclic->verify(&plan), 0);
    EXPECT_TRUE(plan.consistent);
    EXPECT_EQ(read_all(handle).text, all);
    ASSERT_EQ(cyclic_file_write(handle, "msg-FFFF", 8), 0);
    all = read_all(handle).text;
    EXPECT_EQ(all.substr(all.size() - 8), "msg-FFFF");
  }
}

// ---- Other users of the machine ----
// The tests run as root, as a service would; a forked child that drops to
// nobody plays a local user who attacks it.

namespace {

// Starts body as nobody in a child that signals once it is ready (body
// returns 0) and then stays until killed: a holder of whatever it made.
pid_t start_attacker(const std::function<int()> &body) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t child = start_child([&] {
    close(ready[0]);
    if (!become_nobody() || body() != 0) return 1;
    if (write(ready[1], "x", 1) != 1) return 2;
    for (;;) pause();
  });
  close(ready[1]);
  char byte;
  bool started = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (!started) stop_child(child);
  return started ? child : -1;
}

std::string lock_file_of(const std::string &path) { return path + "-lock"; }

}  // namespace

TEST(CyclicFileOtherUsers, InARootDirectoryAnotherUserCanNeitherCreateNorHoldNorCorruptAnything) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as another user (nobody)";
  TestFile file;
  ASSERT_EQ(chmod(file.folder().c_str(), 0755), 0);  // others may look, not write
  const std::string path = file.file("service.cyclic");
  void *service = file.open(path, kReadWrite, 1 << 16);
  ASSERT_NE(service, nullptr);

  // The attacker tries, over and over, every way in it has while the service
  // writes; it counts what worked.
  pid_t attacker = start_child([&] {
    if (!become_nobody()) return 100;
    int worked = 0;
    for (int round = 0; round < 2000; ++round) {
      void *handle = file.open(path, kReadWrite, 4096);
      void *other = file.open(file.file("other.cyclic"), kReadWrite, 4096);
      worked += handle != nullptr;
      worked += other != nullptr;
      file.close(handle);
      file.close(other);
      for (const std::string &target : {path, lock_file_of(path)}) {
        for (int flags : {O_RDWR, O_RDONLY}) {
          int fd = open(target.c_str(), flags);
          worked += fd >= 0;
          if (fd >= 0) close(fd);
        }
      }
      int fd = open(lock_file_of(file.file("planted.cyclic")).c_str(), O_RDWR | O_CREAT, 0666);
      worked += fd >= 0;
      if (fd >= 0) close(fd);
    }
    return worked > 99 ? 99 : worked;
  });
  // Each of the service's writes returns 0 within a second meanwhile.
  int writer = run_in_child([&] {
    for (int i = 0; i < 2000; ++i) {
      double started = monotonic_ms();
      if (cyclic_file_fwritef(service, "request %d", i) != 0) return 1;
      if (monotonic_ms() - started > 1000) return 2;
      if (i % 100 == 0) usleep(1000);
    }
    return 0;
  });
  EXPECT_EQ(writer, 0);
  EXPECT_EQ(wait_child(attacker, 60s), 0) << "attempts that worked";
  EXPECT_EQ(read_all(service).count, 2000);
  file.close(service);
  EXPECT_EQ(directory_entries(file.folder()),
            (std::set<std::string>{"service.cyclic", "service.cyclic-lock"}));
}

TEST(CyclicFileOtherUsers, InASharedDirectoryAPlantedLockFileIsRefusedAtCreationAndNeverWaitedOn) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as another user (nobody)";
  TestFile file;
  ASSERT_EQ(chmod(file.folder().c_str(), 01777), 0);  // as /tmp and /var/tmp are
  const std::string path = file.file("service.cyclic");
  // The attacker makes the service's lock file its own before the service
  // starts, and holds its mutex.
  pid_t attacker = start_attacker([&] {
    vandrel_guarded_file own = {S_IFREG | 0666, geteuid(), getegid()};
    vandrel_lock_t lock = init_interprocess_critical_section(lock_file_of(path).c_str(), &own);
    return lock != nullptr && enter_interprocess_critical_section(lock) == VANDREL_LOCK_TAKEN ? 0
                                                                                              : 1;
  });
  ASSERT_GT(attacker, 0);
  double started = monotonic_ms();
  EXPECT_EQ(file.open(path, kReadWrite, 4096), nullptr);
  EXPECT_LT(monotonic_ms() - started, 1000.0);
  EXPECT_EQ(file.status(), CYCLIC_FILE_PERMISSION_DENIED);
  EXPECT_EQ(access(path.c_str(), F_OK), -1) << "the file was created all the same";
  stop_child(attacker);
}

TEST(CyclicFileOtherUsers, InASharedDirectoryAnotherUsersFileOrSymlinkIsNeverUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as another user (nobody)";
  TempDir shared, own;
  ASSERT_EQ(chmod(shared.path().c_str(), 01777), 0);
  // A cyclic file of root's, elsewhere, that no one else may touch.
  const std::string secret = own.file("secret.cyclic");
  std::string before = make_valid_file(secret, 256, 3);

  const std::string planted = shared.file("service.cyclic"), link = shared.file("link.cyclic");
  pid_t attacker = start_attacker([&] {
    int attempt_status = 0;
    void *theirs = cyclic_file_create_handle(planted.c_str(), kReadWrite, 256, &attempt_status);
    if (theirs == nullptr || chmod(planted.c_str(), 0666) != 0) return 1;
    cyclic_file_destroy_handle(theirs);
    return symlink(secret.c_str(), link.c_str());
  });
  ASSERT_GT(attacker, 0);
  int status = 0;
  for (const std::string &name : {planted, link}) {
    EXPECT_EQ(cyclic_file_create_handle(name.c_str(), kReadWrite, 256, &status), nullptr) << name;
    EXPECT_EQ(status, CYCLIC_FILE_PERMISSION_DENIED);
    EXPECT_EQ(cyclic_file_create_handle(name.c_str(), CYCLIC_FILE_MODE_READ, 0, &status), nullptr);
  }
  EXPECT_EQ(read_file(secret), before);

  // Symlinks of the caller's own keep working, in a shared directory too,
  // and share the lock of the file they name.
  const std::string mine = shared.file("mine.cyclic");
  ASSERT_EQ(symlink(secret.c_str(), mine.c_str()), 0);
  void *handle = cyclic_file_create_handle(mine.c_str(), kReadWrite, 0, &status);
  ASSERT_NE(handle, nullptr) << status;
  EXPECT_EQ(cyclic_file_write(handle, "through my link", 15), 0);
  cyclic_file_destroy_handle(handle);
  EXPECT_EQ(access(lock_file_of(mine).c_str(), F_OK), -1);
  EXPECT_EQ(access(lock_file_of(secret).c_str(), F_OK), 0);
  EXPECT_EQ(read_all_at(secret).count, 4);
  stop_child(attacker);
}

// A member of a log's group may write its lock file, every byte of it, at
// any moment. The lock word holds ids, never an address: a root writer whose
// lock file is scribbled flat out never crashes, and each of its writes
// returns 0, or fails (-13, -14) within a second; once the scribbling stops,
// the lock is taken over and writes succeed again.
TEST(CyclicFileOtherUsers, AGroupMemberScribblingTheLockFileNeverCrashesNorHoldsARootWriter) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as another user (nobody)";
  TestFile file;
  ASSERT_EQ(chmod(file.folder().c_str(), 0755), 0);
  const std::string path = file.file("service.cyclic");
  file.close(file.open(path, kReadWrite, 1 << 14));
  // The service's log is written by its group (nobody's), its lock file too.
  ASSERT_EQ(chown(path.c_str(), 0, kNobody), 0);
  ASSERT_EQ(chmod(path.c_str(), 0660), 0);
  ASSERT_EQ(unlink(lock_file_of(path).c_str()), 0);
  void *service = file.open(path, kReadWrite, 0);
  ASSERT_NE(service, nullptr);
  struct stat lock_info;
  ASSERT_EQ(stat(lock_file_of(path).c_str(), &lock_info), 0);
  ASSERT_EQ(lock_info.st_gid, kNobody);
  ASSERT_EQ(lock_info.st_mode & 07777, 0660u);

  pid_t attacker = start_attacker([&] {
    int fd = open(lock_file_of(path).c_str(), O_RDWR);
    void *mapped =
        fd < 0 ? MAP_FAILED : mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) return 1;
    std::thread([mapped] {
      auto *words = static_cast<uint64_t *>(mapped);
      uint64_t x = 88172645463325252ull;
      for (;;) {
        // Bursts of a millisecond, then quiet: writes meet both.
        const double burst = monotonic_ms();
        while (monotonic_ms() - burst < 1)
          for (int i = 0; i < 20; ++i) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;  // xorshift
            // Random words, and words that look like ids of live threads.
            const uint64_t value =
                (x & 3) == 0 ? (static_cast<uint64_t>(getpid()) << 32 | getpid()) : x;
            __atomic_store_n(&words[i], value, __ATOMIC_RELAXED);
          }
        usleep(3000);
      }
    }).detach();
    return 0;
  });
  ASSERT_GT(attacker, 0);
  int writer = run_in_child(
      [&] {
        int succeeded = 0;
        const double until = monotonic_ms() + 800;
        for (int i = 0; monotonic_ms() < until; ++i) {
          const double started = monotonic_ms();
          const int result = cyclic_file_fwritef(service, "request %d", i);
          if (result != 0 && result != CYCLIC_FILE_WRITE_FAILED &&
              result != CYCLIC_FILE_READ_ALL_FAILED)
            return 1;
          if (monotonic_ms() - started > 1000) return 2;
          succeeded += result == 0;
        }
        return succeeded > 0 ? 0 : 3;
      },
      120s);
  stop_child(attacker);
  EXPECT_EQ(writer, 0);
  // What the attacker left is repaired or refused, never trusted: writes
  // go on.
  const double started = monotonic_ms();
  EXPECT_EQ(cyclic_file_write(service, "after", 5), 0);
  EXPECT_LT(monotonic_ms() - started, 1000);
  EXPECT_EQ(cyclic_file_write(service, "again", 5), 0);
}

// A user who may only read a log maps its lock file and holds a read lock
// over every byte of it, for as long as it likes: writers open the file,
// take the lock and write as if it were not there.
TEST(CyclicFileOtherUsers, AReaderHoldingLocksOnEveryByteOfTheLockFileHoldsUpNoWriter) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as another user (nobody)";
  TestFile file;
  ASSERT_EQ(chmod(file.folder().c_str(), 0755), 0);
  const std::string path = file.file("service.cyclic");
  file.close(file.open(path, kReadWrite, 1 << 14));
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  file.close(file.open(path, kReadWrite, 0));  // the lock file follows the log's bits
  pid_t reader = start_attacker([&] {
    int fd = open(lock_file_of(path).c_str(), O_RDONLY);
    if (fd < 0 || mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0) == MAP_FAILED) return 1;
    struct flock whole = {};
    whole.l_type = F_RDLCK;
    whole.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &whole) == 0 ? 0 : 2;
  });
  ASSERT_GT(reader, 0);
  int writer = run_in_child(
      [&] {
        void *handle = file.open(path, kReadWrite, 0);
        if (handle == nullptr) return 1;
        for (int i = 0; i < 2000; ++i)
          if (cyclic_file_fwritef(handle, "request %d", i) != 0) return 2;
        return 0;
      },
      30s);
  EXPECT_EQ(writer, 0);
  EXPECT_GT(read_all_at(path, CYCLIC_FILE_MODE_READ).count, 0);
  stop_child(reader);
}
