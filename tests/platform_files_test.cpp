// The sysbrace file services: creation, positioned writes, reservation,
// sync, removal, flushing a mapping, the lock identity of a file, and the
// seams that make each of them fail.
#include <gtest/gtest.h>
#include "rotolog/platform/sysbrace.h"
#include "rotolog/platform/test_seams.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/files.h"
#include "support/seams.h"

namespace {

using namespace test_support;
using namespace std::chrono_literals;

class FileServices : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(directory_.empty()); }
  void TearDown() override { test_seam_reset(); }
  std::string path(const std::string &name) const { return dir_.file(name); }

  TempDir dir_;
  const std::string directory_ = dir_.path();
};

off_t file_size(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

std::string identity_of(const std::string &path) {
  char out[PATH_MAX];
  if (os_file_lock_identity(path.c_str(), out, sizeof out) != 0)
    return "error " + std::to_string(errno);
  return out;
}

// ---- Creation, writing, sizing, syncing, removal ----

TEST_F(FileServices, CreateNewMakesACloseOnExecFileAndRefusesAnythingAlreadyThere) {
  int fd = os_file_create_new(path("log").c_str());
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(os_file_close(fd), 0);

  errno = 0;
  EXPECT_EQ(os_file_create_new(path("log").c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  // A dangling symlink is something there too: creation never follows it.
  ASSERT_EQ(symlink(path("elsewhere").c_str(), path("dangling").c_str()), 0);
  EXPECT_EQ(os_file_create_new(path("dangling").c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(file_size(path("elsewhere")), -1);
  EXPECT_EQ(os_file_create_new(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(FileServices, CreateNewGivesMode0660LessTheUmask) {
  // umask is process-wide: change it in a child only.
  int status = run_in_child([&] {
    const mode_t masks[] = {0, 022, 077};
    const mode_t expected[] = {0660, 0640, 0600};
    for (int i = 0; i < 3; ++i) {
      umask(masks[i]);
      std::string name = path("mode" + std::to_string(i));
      int fd = os_file_create_new(name.c_str());
      if (fd < 0) return 10 + i;
      os_file_close(fd);
      struct stat info;
      if (stat(name.c_str(), &info) != 0 || (info.st_mode & 07777) != expected[i]) return 20 + i;
    }
    return 0;
  });
  EXPECT_EQ(status, 0);
}

// A lock file's bits are decided by its data file, not by the umask of
// whichever process happens to make it.
TEST_F(FileServices, CreateExactGivesTheBitsAskedWhateverTheUmaskAndRefusesWhatIsThere) {
  int status = run_in_child([&] {
    const mode_t modes[] = {0600, 0644, 0660, 0666, 0604};
    int index = 0;
    for (mode_t mask : {mode_t{0}, mode_t{077}}) {
      umask(mask);
      for (mode_t mode : modes) {
        std::string name = path("exact" + std::to_string(index++));
        int fd = os_file_create_exact(name.c_str(), mode);
        if (fd < 0) return 10 + index;
        // Opened for reading and writing, close-on-exec.
        const int flags = fcntl(fd, F_GETFL);
        if ((flags & O_ACCMODE) != O_RDWR || !(fcntl(fd, F_GETFD) & FD_CLOEXEC)) return 30 + index;
        os_file_close(fd);
        struct stat info;
        if (stat(name.c_str(), &info) != 0 || (info.st_mode & 07777) != mode) return 50 + index;
      }
    }
    return 0;
  });
  EXPECT_EQ(status, 0);

  ASSERT_EQ(symlink(path("target").c_str(), path("link").c_str()), 0);
  errno = 0;
  EXPECT_EQ(os_file_create_exact(path("link").c_str(), 0600), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(file_size(path("target")), -1);
  EXPECT_EQ(os_file_create_exact(nullptr, 0600), -1);
  EXPECT_EQ(errno, EINVAL);
  test_seam_fail(TEST_SEAM_FILE_CREATE, 1, EDQUOT);
  EXPECT_EQ(os_file_create_exact(path("quota").c_str(), 0600), -1);
  EXPECT_EQ(errno, EDQUOT);
  EXPECT_EQ(file_size(path("quota")), -1);
}

// Locks of one open file description: a second description of the same
// file sees them, the one that holds them does not, and they go with it.
TEST_F(FileServices, RangeLocksAreSeenByOtherDescriptionsAndGoWithTheirOwn) {
  int holder = os_file_create_exact(path("locked").c_str(), 0600);
  ASSERT_GE(holder, 0);
  int other = open(path("locked").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);

  EXPECT_EQ(os_file_lock_conflict(other, F_WRLCK, 0, 0), F_UNLCK);
  ASSERT_EQ(os_file_lock_range(holder, F_RDLCK, 0, 0), 0);
  EXPECT_EQ(os_file_lock_conflict(other, F_WRLCK, 0, 0), F_RDLCK);
  EXPECT_EQ(os_file_lock_conflict(other, F_RDLCK, 0, 0), F_UNLCK);
  EXPECT_EQ(os_file_lock_conflict(holder, F_WRLCK, 0, 0), F_UNLCK);
  errno = 0;
  EXPECT_EQ(os_file_lock_range(other, F_WRLCK, 0, 0), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EACCES) << errno;

  // A range far past the end, and lengths the kernel cannot take.
  ASSERT_EQ(os_file_lock_range(holder, F_UNLCK, 0, 0), 0);
  ASSERT_EQ(os_file_lock_range(holder, F_WRLCK, uint64_t{1} << 40, 16), 0);
  EXPECT_EQ(os_file_lock_conflict(other, F_RDLCK, 0, 16), F_UNLCK);
  EXPECT_EQ(os_file_lock_conflict(other, F_RDLCK, (uint64_t{1} << 40) + 8, 1), F_WRLCK);
  EXPECT_EQ(os_file_lock_range(holder, F_WRLCK, UINT64_MAX, 1), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(os_file_lock_conflict(other, F_WRLCK, 0, UINT64_MAX), -1);
  EXPECT_EQ(errno, EINVAL);

  os_file_close(holder);
  EXPECT_EQ(os_file_lock_conflict(other, F_WRLCK, 0, 0), F_UNLCK);
  test_seam_fail(TEST_SEAM_FILE_LOCK, 1, ENOLCK);
  EXPECT_EQ(os_file_lock_range(other, F_WRLCK, 0, 0), -1);
  EXPECT_EQ(errno, ENOLCK);
  EXPECT_EQ(os_file_lock_range(other, F_WRLCK, 0, 0), 0);
  os_file_close(other);
}

// The seams tell a hook which file a call works on, so that a test can fail
// one file's calls among those of several.
TEST_F(FileServices, ACallFailsOnlyOnTheFileItIsAimedAt) {
  int kept = os_file_create_new(path("data").c_str());
  ASSERT_GE(kept, 0);
  {
    FailOnFile fail(TEST_SEAM_FILE_CREATE, "data-lock", EMFILE);
    EXPECT_EQ(os_file_create_exact(path("data-lock").c_str(), 0600), -1);
    EXPECT_EQ(errno, EMFILE);
    int other = os_file_create_new(path("other").c_str());
    EXPECT_GE(other, 0);
    os_file_close(other);
    EXPECT_EQ(fail.calls(), 1);
  }
  int lock = os_file_create_exact(path("data-lock").c_str(), 0600);
  ASSERT_GE(lock, 0);
  for (test_seam seam : {TEST_SEAM_FILE_RESERVE, TEST_SEAM_FILE_SYNC, TEST_SEAM_FILE_WRITE}) {
    SCOPED_TRACE(test_seam_name(seam));
    // The second call on the lock file fails; those on the data file never.
    FailOnFile fail(seam, "data-lock", EIO, 2);
    auto call = [&](int fd) {
      if (seam == TEST_SEAM_FILE_RESERVE) return os_file_reserve(fd, 160);
      if (seam == TEST_SEAM_FILE_SYNC) return os_file_sync(fd);
      return os_file_write_at(fd, "x", 1, 0);
    };
    EXPECT_EQ(call(kept), 0);
    EXPECT_EQ(call(lock), 0);
    EXPECT_EQ(call(kept), 0);
    EXPECT_EQ(call(lock), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(call(lock), 0);
    EXPECT_EQ(fail.calls(), 3);
  }
  os_file_close(lock);
  os_file_close(kept);
}

TEST_F(FileServices, WriteAtWritesEveryByteAtItsOffsetWithoutMovingThePosition) {
  int fd = os_file_create_new(path("log").c_str());
  ASSERT_GE(fd, 0);
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
  ASSERT_EQ(os_file_write_at(fd, "head", 4, 0), 0);
  ASSERT_EQ(os_file_write_at(fd, block.data(), block.size(), 4096), 0);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
  os_file_close(fd);

  EXPECT_EQ(file_size(path("log")), static_cast<off_t>(4096 + block.size()));
  int reader = open(path("log").c_str(), O_RDONLY);
  std::vector<char> back(block.size());
  char head[4];
  EXPECT_EQ(pread(reader, head, 4, 0), 4);
  EXPECT_EQ(std::string(head, 4), "head");
  EXPECT_EQ(pread(reader, back.data(), back.size(), 4096), static_cast<ssize_t>(back.size()));
  EXPECT_EQ(back, block);
  close(reader);

  EXPECT_EQ(os_file_write_at(reader, "x", 1, 0), -1);  // closed descriptor
  EXPECT_EQ(errno, EBADF);
}

TEST_F(FileServices, ReserveSizesTheFileExactlyAndReservesItsBlocks) {
  int fd = os_file_create_new(path("log").c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(os_file_write_at(fd, "header", 6, 0), 0);
  ASSERT_EQ(os_file_reserve(fd, (1 << 20) + 60), 0);
  struct stat info;
  ASSERT_EQ(fstat(fd, &info), 0);
  EXPECT_EQ(info.st_size, (1 << 20) + 60);
  EXPECT_GE(static_cast<long long>(info.st_blocks) * 512, (1 << 20) + 60);
  char header[6];
  int reader = open(path("log").c_str(), O_RDONLY);  // fd is write-only
  EXPECT_EQ(pread(reader, header, 6, 0), 6);
  EXPECT_EQ(std::string(header, 6), "header");
  close(reader);

  ASSERT_EQ(os_file_reserve(fd, 100), 0);  // a longer file is cut to size
  EXPECT_EQ(file_size(path("log")), 100);
  ASSERT_EQ(os_file_reserve(fd, 0), 0);
  EXPECT_EQ(file_size(path("log")), 0);
  EXPECT_EQ(os_file_reserve(fd, UINT64_MAX), -1);
  EXPECT_EQ(errno, EFBIG);
  EXPECT_EQ(os_file_sync(fd), 0);
  EXPECT_EQ(os_file_close(fd), 0);
  EXPECT_EQ(os_file_close(fd), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(os_file_sync(fd), -1);
}

TEST_F(FileServices, DeleteRemovesTheNameAndNotASymlinksTarget) {
  int fd = os_file_create_new(path("log").c_str());
  ASSERT_GE(fd, 0);
  os_file_close(fd);
  ASSERT_EQ(symlink(path("log").c_str(), path("link").c_str()), 0);
  EXPECT_EQ(os_file_delete(path("link").c_str()), 0);
  EXPECT_EQ(file_size(path("log")), 0);
  EXPECT_EQ(os_file_delete(path("log").c_str()), 0);
  EXPECT_EQ(file_size(path("log")), -1);
  EXPECT_EQ(os_file_delete(path("log").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(os_file_delete(nullptr), -1);
}

// ---- Flushing a mapping ----

TEST_F(FileServices, FlushViewIsNonzeroOnSuccessFromAnyStartAndZeroOnFailure) {
  const size_t length = 3 * 4096 + 123;
  int fd = os_file_create_new(path("log").c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(os_file_reserve(fd, length), 0);
  os_file_close(fd);
  fd = open(path("log").c_str(), O_RDWR);
  char *base =
      static_cast<char *>(mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  ASSERT_NE(base, MAP_FAILED);
  base[4097] = 'x';

  EXPECT_NE(os_flush_view(base, length), 0);
  EXPECT_NE(os_flush_view(base + 4097, 60), 0);  // not page-aligned
  EXPECT_NE(os_flush_view(base + 60, length - 60), 0);
  munmap(base, length);

  errno = 0;
  EXPECT_EQ(os_flush_view(base, length), 0);  // no longer mapped
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(os_flush_view(nullptr, 10), 0);
  EXPECT_EQ(errno, EINVAL);
}

// ---- Seams ----

TEST_F(FileServices, EachSeamFailsExactlyTheNthCallWithTheChosenErrno) {
  int fd = os_file_create_new(path("log").c_str());
  ASSERT_GE(fd, 0);
  long writes_before = test_seam_calls(TEST_SEAM_FILE_WRITE);
  test_seam_fail(TEST_SEAM_FILE_WRITE, 2, EIO);
  EXPECT_EQ(os_file_write_at(fd, "a", 1, 0), 0);
  EXPECT_EQ(os_file_write_at(fd, "b", 1, 1), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(os_file_write_at(fd, "c", 1, 1), 0);
  EXPECT_EQ(test_seam_calls(TEST_SEAM_FILE_WRITE) - writes_before, 3);

  // A full disk at reservation: the file keeps its size.
  test_seam_fail(TEST_SEAM_FILE_RESERVE, 1, ENOSPC);
  EXPECT_EQ(os_file_reserve(fd, 1 << 20), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(file_size(path("log")), 2);

  test_seam_fail(TEST_SEAM_FILE_SYNC, 1, EIO);
  EXPECT_EQ(os_file_sync(fd), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(os_file_sync(fd), 0);
  os_file_close(fd);

  test_seam_fail(TEST_SEAM_FILE_CREATE, 1, EACCES);
  EXPECT_EQ(os_file_create_new(path("other").c_str()), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(file_size(path("other")), -1);

  test_seam_fail(TEST_SEAM_FILE_DELETE, 1, EPERM);
  EXPECT_EQ(os_file_delete(path("log").c_str()), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(file_size(path("log")), 2);

  char page[64];
  test_seam_fail(TEST_SEAM_FLUSH_VIEW, 1, EIO);
  EXPECT_EQ(os_flush_view(page, sizeof page), 0);
  EXPECT_EQ(errno, EIO);
}

// A hook on a seam sees each call that no armed failure takes, and decides
// it: os_flush_view's may replace the flush (it then reports success without
// msync, which an unmapped range would fail) or fail it with an errno. The
// reset removes the hook and keeps the count.
TEST_F(FileServices, AHookWatchesReplacesOrFailsACallAndAnArmedFailureComesFirst) {
  struct Watch {
    int verdict;
    std::vector<std::pair<void *, size_t>> ranges;
  } watch{TEST_SEAM_SKIP, {}};
  auto hook = [](const test_seam_call_t *call, void *context) {
    Watch *seen = static_cast<Watch *>(context);
    seen->ranges.emplace_back(call->object, call->length);
    return seen->verdict;
  };
  char *unmapped = static_cast<char *>(
      mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(unmapped, MAP_FAILED);
  munmap(unmapped, 8192);
  const long calls = test_seam_calls(TEST_SEAM_FLUSH_VIEW);
  test_seam_set_hook(TEST_SEAM_FLUSH_VIEW, hook, &watch);

  EXPECT_NE(os_flush_view(unmapped + 100, 5000), 0);
  watch.verdict = EIO;
  errno = 0;
  EXPECT_EQ(os_flush_view(unmapped, 10), 0);
  EXPECT_EQ(errno, EIO);
  test_seam_fail(TEST_SEAM_FLUSH_VIEW, 1, EBUSY);
  EXPECT_EQ(os_flush_view(unmapped, 20), 0);
  EXPECT_EQ(errno, EBUSY);
  const std::vector<std::pair<void *, size_t>> expected = {{unmapped + 100, 5000}, {unmapped, 10}};
  EXPECT_EQ(watch.ranges, expected);

  test_seam_reset();
  EXPECT_EQ(os_flush_view(unmapped, 10), 0);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(watch.ranges.size(), 2u);
  EXPECT_EQ(test_seam_calls(TEST_SEAM_FLUSH_VIEW) - calls, 4);
}

// Every seam has its own name, which the sweeps print; ids out of the table
// name nothing and fail nothing.
TEST(TestSeams, EachSeamHasItsOwnNameAndOutOfRangeIdsAreHarmless) {
  std::set<std::string> names;
  for (int id = 0; id < TEST_SEAM_COUNT; ++id) {
    const char *name = test_seam_name(static_cast<test_seam>(id));
    ASSERT_NE(name, nullptr) << id;
    EXPECT_TRUE(names.insert(name).second) << name;
  }
  EXPECT_EQ(test_seam_name(TEST_SEAM_COUNT), nullptr);
  EXPECT_EQ(test_seam_kind(TEST_SEAM_COUNT), -1);
  test_seam_fail(TEST_SEAM_COUNT, 1, EIO);
  EXPECT_EQ(test_seam_calls(TEST_SEAM_COUNT), 0);
  EXPECT_EQ(test_seam_visit(TEST_SEAM_COUNT, nullptr, 0, 0), TEST_SEAM_PROCEED);
}

// ---- Opening an existing file, temporaries ----

TEST_F(FileServices, OpenExistingOpensOneRegularFileWithOneNameAndNoSymlinkOnItsPath) {
  int fd = os_file_create_new(path("log").c_str());
  ASSERT_EQ(os_file_write_at(fd, "abc", 3, 0), 0);
  os_file_close(fd);
  os_file_facts_t facts;
  fd = os_file_open_existing(path("log").c_str(), 1, &facts);
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ((fcntl(fd, F_GETFL) & O_ACCMODE), O_RDWR);
  EXPECT_EQ(facts.size, 3u);
  EXPECT_EQ(facts.owner, geteuid());
  EXPECT_TRUE(S_ISREG(facts.mode));
  EXPECT_EQ(facts.links, 1u);
  os_file_close(fd);

  auto refused = [&](const std::string &name) {
    errno = 0;
    int opened = os_file_open_existing(name.c_str(), 0, &facts);
    if (opened >= 0) os_file_close(opened);
    return opened < 0 ? errno : 0;
  };
  ASSERT_EQ(link(path("log").c_str(), path("alias").c_str()), 0);
  EXPECT_EQ(refused(path("log")), EMLINK);
  ASSERT_EQ(unlink(path("alias").c_str()), 0);
  ASSERT_EQ(symlink(path("log").c_str(), path("link").c_str()), 0);
  EXPECT_EQ(refused(path("link")), ELOOP);
  ASSERT_EQ(symlink(directory_.c_str(), path("linkdir").c_str()), 0);
  EXPECT_EQ(refused(path("linkdir/log")), ELOOP);  // a symlink anywhere on the path
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(refused(path("fifo")), ENODEV);
  EXPECT_EQ(refused(directory_), EISDIR);
  EXPECT_EQ(refused(path("missing")), ENOENT);
  EXPECT_EQ(refused(path("log")), 0);
}

TEST_F(FileServices, InASharedDirectoryOnlyFilesOfTheCallerOrTheDirectoryOwnerAreOpened) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to give files to another user (nobody)";
  ASSERT_EQ(chmod(directory_.c_str(), 01777), 0);
  for (const char *name : {"theirs", "mine"}) {
    int fd = os_file_create_new(path(name).c_str());
    ASSERT_GE(fd, 0);
    os_file_close(fd);
  }
  ASSERT_EQ(chown(path("theirs").c_str(), kNobody, kNobody), 0);
  os_file_facts_t facts;
  errno = 0;
  EXPECT_EQ(os_file_open_existing(path("theirs").c_str(), 1, &facts), -1);
  EXPECT_EQ(errno, EACCES);
  int fd = os_file_open_existing(path("mine").c_str(), 1, &facts);
  EXPECT_GE(fd, 0);
  os_file_close(fd);
  // Group-writable sticky directories count as shared too; a plain one not.
  ASSERT_EQ(chmod(directory_.c_str(), 01770), 0);
  EXPECT_EQ(os_file_open_existing(path("theirs").c_str(), 1, &facts), -1);
  ASSERT_EQ(chmod(directory_.c_str(), 0777), 0);
  fd = os_file_open_existing(path("theirs").c_str(), 1, &facts);
  EXPECT_GE(fd, 0);
  os_file_close(fd);
  // The directory's owner's file is opened: nobody's, in nobody's directory.
  ASSERT_EQ(chmod(directory_.c_str(), 01777), 0);
  ASSERT_EQ(chown(directory_.c_str(), kNobody, kNobody), 0);
  fd = os_file_open_existing(path("theirs").c_str(), 1, &facts);
  EXPECT_GE(fd, 0);
  os_file_close(fd);
}

TEST_F(FileServices, StaleTemporariesGoAndThoseOfLiveCreatorsStay) {
  const std::string file = path("log");
  char live[PATH_MAX], stale[PATH_MAX];
  int live_fd = os_file_create_temporary(file.c_str(), live, sizeof live);
  ASSERT_GE(live_fd, 0);
  // A creator that is gone, without removing its temporary.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(run_in_child([&] {
              int fd = os_file_create_temporary(file.c_str(), stale, sizeof stale);
              return fd >= 0 && write(fds[1], stale, sizeof stale) == sizeof stale ? 0 : 1;
            }),
            0);
  ASSERT_EQ(read(fds[0], stale, sizeof stale), static_cast<ssize_t>(sizeof stale));
  close(fds[0]);
  close(fds[1]);
  // Names that are not temporaries of this file, or whose pid is gone but
  // whose lock is held, stay too.
  const std::string others[] = {path("log.1.tmp"), path("log.x.1.tmp"),
                                path("logger.99999999.1.tmp"), path("log.99999999.1.tmp.old")};
  for (const std::string &other : others) close(os_file_create_new(other.c_str()));
  const std::string held = path("log.99999998.ab.tmp");
  int held_fd = os_file_create_new(held.c_str());
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(held_fd, F_OFD_SETLK, &lock), 0);

  EXPECT_EQ(os_file_remove_stale_temporaries(file.c_str()), 1);
  EXPECT_EQ(file_size(stale), -1);
  EXPECT_EQ(file_size(live), 0);
  EXPECT_EQ(file_size(held), 0);
  for (const std::string &other : others) EXPECT_EQ(file_size(other), 0) << other;
  os_file_close(held_fd);
  EXPECT_EQ(os_file_remove_stale_temporaries(file.c_str()), 1);  // its lock is gone now
  os_file_close(live_fd);
  EXPECT_EQ(os_file_remove_stale_temporaries(path("nodir/log").c_str()), -1);
}

// ---- Lock identity ----

class FileIdentity : public FileServices {
 protected:
  void SetUp() override {
    FileServices::SetUp();
    ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(path("dir/sub").c_str(), 0700), 0);
    ASSERT_EQ(symlink(path("dir").c_str(), path("linkdir").c_str()), 0);
    int fd = os_file_create_new(path("dir/log").c_str());
    ASSERT_GE(fd, 0);
    os_file_close(fd);
    ASSERT_EQ(symlink(path("dir/log").c_str(), path("linkfile").c_str()), 0);
    ASSERT_EQ(symlink("../log", path("dir/sub/relative").c_str()), 0);
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(path("dir").c_str(), resolved), nullptr);
    canonical_dir_ = resolved;
  }

  std::string canonical_dir_;
};

TEST_F(FileIdentity, EveryNameOfAnExistingFileGivesOneCanonicalIdentity) {
  const std::string expected = canonical_dir_ + "/log";
  EXPECT_EQ(identity_of(path("dir/log")), expected);
  EXPECT_EQ(identity_of(path("dir/./log")), expected);
  EXPECT_EQ(identity_of(path("dir/sub/../log")), expected);
  EXPECT_EQ(identity_of(path("linkdir/log")), expected);
  EXPECT_EQ(identity_of(path("linkfile")), expected);
  EXPECT_EQ(identity_of(path("dir/sub/relative")), expected);
  EXPECT_EQ(identity_of("/" + path("dir//log")), expected);

  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(path("dir/sub").c_str()), 0);
  EXPECT_EQ(identity_of("../log"), expected);
  EXPECT_EQ(identity_of("./../../dir/log"), expected);
  EXPECT_EQ(identity_of("relative"), expected);
  ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(FileIdentity, AMissingFileInAnExistingDirectoryGetsTheIdentityItWillHave) {
  const std::string expected = canonical_dir_ + "/new";
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(path("dir").c_str()), 0);
  EXPECT_EQ(identity_of("new"), expected);
  EXPECT_EQ(identity_of("./new"), expected);
  EXPECT_EQ(identity_of("sub/../new"), expected);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(identity_of(path("linkdir/new")), expected);
  EXPECT_EQ(identity_of(path("dir/sub/../new")), expected);

  int fd = os_file_create_new(path("linkdir/new").c_str());
  ASSERT_GE(fd, 0);
  os_file_close(fd);
  EXPECT_EQ(identity_of(path("dir/new")), expected);

  EXPECT_EQ(identity_of(path("missing/new")), "error " + std::to_string(ENOENT));
  EXPECT_EQ(identity_of(path("dir/log/new")), "error " + std::to_string(ENOTDIR));
}

TEST_F(FileIdentity, ASymlinkInASharedDirectoryIsFollowedOnlyWhenItIsTheCallersOrTheOwners) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to give files to another user (nobody)";
  ASSERT_EQ(mkdir(path("shared").c_str(), 01777), 0);
  ASSERT_EQ(chmod(path("shared").c_str(), 01777), 0);
  const std::string expected = canonical_dir_ + "/log";
  ASSERT_EQ(symlink(path("dir/log").c_str(), path("shared/mine").c_str()), 0);
  ASSERT_EQ(symlink(path("dir/log").c_str(), path("shared/theirs").c_str()), 0);
  ASSERT_EQ(lchown(path("shared/theirs").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(symlink(path("shared").c_str(), path("dir/to_shared").c_str()), 0);
  EXPECT_EQ(identity_of(path("shared/mine")), expected);
  EXPECT_EQ(identity_of(path("shared/theirs")), "error " + std::to_string(EACCES));
  // Wherever the walk meets it, through other links too.
  EXPECT_EQ(identity_of(path("dir/to_shared/theirs")), "error " + std::to_string(EACCES));
  // Anyone's symlink is followed in a directory that is not shared.
  ASSERT_EQ(lchown(path("linkfile").c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(identity_of(path("linkfile")), expected);
  // A sticky directory that only its group may write is shared too.
  ASSERT_EQ(chmod(path("shared").c_str(), 01775), 0);
  EXPECT_EQ(identity_of(path("shared/theirs")), "error " + std::to_string(EACCES));
  ASSERT_EQ(chmod(path("shared").c_str(), 01755), 0);
  EXPECT_EQ(identity_of(path("shared/theirs")), expected);
  ASSERT_EQ(chmod(path("shared").c_str(), 01777), 0);
  // And in a shared directory of its own owner.
  ASSERT_EQ(chown(path("shared").c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(identity_of(path("shared/theirs")), expected);
}

TEST_F(FileIdentity, ASymlinkLoopAndADanglingSymlinkAreTold) {
  ASSERT_EQ(symlink(path("loop_b").c_str(), path("loop_a").c_str()), 0);
  ASSERT_EQ(symlink(path("loop_a").c_str(), path("loop_b").c_str()), 0);
  EXPECT_EQ(identity_of(path("loop_a")), "error " + std::to_string(ELOOP));
  // A dangling symlink names the file to be made at its target.
  ASSERT_EQ(symlink(path("dir/later").c_str(), path("dangling").c_str()), 0);
  EXPECT_EQ(identity_of(path("dangling")), canonical_dir_ + "/later");
}

TEST_F(FileIdentity, AnIdentityThatDoesNotFitIsRefusedAndOneThatFitsExactlyIsWhole) {
  const std::string expected = canonical_dir_ + "/log";
  std::vector<char> out(expected.size() + 1, '#');
  EXPECT_EQ(os_file_lock_identity(path("dir/log").c_str(), out.data(), out.size()), 0);
  EXPECT_EQ(std::string(out.data()), expected);
  EXPECT_EQ(os_file_lock_identity(path("dir/log").c_str(), out.data(), out.size() - 1), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(os_file_lock_identity(path("dir/newer").c_str(), out.data(), out.size()), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(os_file_lock_identity(nullptr, out.data(), out.size()), -1);
  EXPECT_EQ(errno, EINVAL);

  char root[2];
  EXPECT_EQ(os_file_lock_identity("/", root, sizeof root), 0);
  EXPECT_STREQ(root, "/");
}

}  // namespace
