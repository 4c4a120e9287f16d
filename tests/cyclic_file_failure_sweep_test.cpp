// Every failure, in turn: for creating, loading, writing, reading and
// flushing a cyclic file, each allocation and each platform call the
// operation makes (the lock file's creation and OFD locks among them) is
// failed one after another. Every run returns a documented code, hands out
// no handle that cannot write, leaves no lock held (another process writes
// right after), leaves no stray file, and the file still opens with its
// messages. Leaks are caught by LeakSanitizer in the asan preset.
#include <gtest/gtest.h>
#include "rotolog/cyclic_file.h"
#include "rotolog/platform/test_seams.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"

using namespace test_support;
using namespace std::chrono_literals;

namespace {

constexpr int kRing = 64;

// The errno each seam fails with: a full disk for the file services, an I/O
// error for the mappings, a refusal for the lock file's mapping.
int failure_of(test_seam seam) {
  switch (seam) {
    case TEST_SEAM_ALLOCATION:
      return ENOMEM;
    case TEST_SEAM_MAP_FSTAT:
    case TEST_SEAM_MAP_MMAP:
      return EIO;
    case TEST_SEAM_LOCK_MMAP:
      return EACCES;
    default:
      return ENOSPC;
  }
}

// Every seam of a call that can fail: each allocation and platform call.
std::vector<test_seam> all_seams() {
  std::vector<test_seam> seams;
  for (int s = 0; s < TEST_SEAM_COUNT; ++s) {
    if (test_seam_kind(static_cast<test_seam>(s)) == TEST_SEAM_KIND_CALL)
      seams.push_back(static_cast<test_seam>(s));
  }
  return seams;
}

// The errno the seam of that name fails with.
int failure_named(const std::string &name) {
  for (test_seam seam : all_seams()) {
    if (name == test_seam_name(seam)) return failure_of(seam);
  }
  return -1;
}

// What a fresh handle, with no seam armed, finds in the file.
Contents contents_of(const std::string &path) { return read_all_at(path, CYCLIC_FILE_MODE_READ); }

// Another process takes both locks of the file and writes, within a deadline:
// a lock left held by the failed operation would make it wait.
bool another_process_writes(const std::string &path) {
  return run_in_child(
             [&] {
               int status = 0;
               void *handle = cyclic_file_create_handle(path.c_str(), kReadWrite, kRing, &status);
               if (handle == nullptr) return 1;
               int written = cyclic_file_write(handle, "probe", 5);
               cyclic_file_destroy_handle(handle);
               return written == 0 ? 0 : 2;
             },
             5s) == 0;
}

// A file of kRing bytes whose newest message runs over the end of the ring,
// so that reading it needs the scratch area.
std::string make_file(const std::string &path) {
  std::remove(path.c_str());
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kReadWrite, kRing, &status);
  EXPECT_NE(handle, nullptr);
  for (const char *message :
       {"first message", "second message", "third message", "the fourth one"}) {
    EXPECT_EQ(cyclic_file_write(handle, message, static_cast<int>(std::string(message).size())), 0);
  }
  cyclic_file_destroy_handle(handle);
  return read_file(path);
}

// Runs `operation` once per call of every seam that it makes, failing that
// call. `prepare` restores the starting state before each run (seams
// disarmed); `check` judges the run (seams disarmed again).
void sweep(const char *operation_name, const std::function<void()> &prepare,
           const std::function<int()> &operation,
           const std::function<void(const std::string &, long, int)> &check) {
  int failed_runs = 0;
  std::string covered;
  for (test_seam seam : all_seams()) {
    const std::string name = test_seam_name(seam);
    prepare();
    long before = test_seam_calls(seam);
    operation();
    long calls = test_seam_calls(seam) - before;
    if (calls > 0) covered += " " + name + " x" + std::to_string(calls) + ";";
    for (long nth = 1; nth <= calls; ++nth) {
      prepare();
      test_seam_fail(seam, nth, failure_of(seam));
      int result = operation();
      test_seam_fail(seam, 0, 0);
      check(name, nth, result);
      ++failed_runs;
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  std::printf("%s, each failed in turn:%s\n", operation_name, covered.c_str());
  // Every operation makes at least one call that can fail.
  EXPECT_GT(failed_runs, 0) << operation_name;
}

}  // namespace

TEST(CyclicFileFailureSweep, CreatingANewFile) {
  TestFile file;
  const std::string &path = file.path();
  void *handle = nullptr;
  int status = 0;
  // Each run starts with neither the file nor its lock file, so that the
  // lock file's creation is swept too.
  auto prepare = [&] {
    cyclic_file_destroy_handle(handle);
    handle = nullptr;
    for (const std::string &name : directory_entries(file.folder()))
      std::remove(file.file(name).c_str());
  };
  int create_errno = 0;
  auto create = [&] {
    errno = -1;
    handle = cyclic_file_create_handle(path.c_str(), kReadWrite, kRing, &status);
    create_errno = errno;
    return status;
  };
  sweep("create", prepare, create, [&](const std::string &seam, long nth, int result) {
    SCOPED_TRACE(seam + " call " + std::to_string(nth));
    if (handle != nullptr) {
      ASSERT_EQ(result, CYCLIC_FILE_OK);
      // A handle is handed out only with both its locks: it writes.
      EXPECT_EQ(cyclic_file_write(handle, "m", 1), CYCLIC_FILE_OK);
      cyclic_file_destroy_handle(handle);
      handle = nullptr;
    } else {
      EXPECT_TRUE(result == CYCLIC_FILE_NOT_FOUND || result == CYCLIC_FILE_MAP_FAILED ||
                  result == CYCLIC_FILE_NO_MEMORY || result == CYCLIC_FILE_LOAD_ERROR ||
                  result == CYCLIC_FILE_PERMISSION_DENIED)
          << result;  // The failed call's error reaches the caller, whatever the cleanup
      // after it did (allocations fail without one).
      if (seam != "allocation") {
        EXPECT_EQ(create_errno, failure_named(seam)) << result;
      }
    }
    // Either no file, or a whole one, with or without its lock file; never a
    // temporary left behind (unless removing it was the call that failed).
    // A file whose lock could not be had is not created at all.
    std::set<std::string> entries = directory_entries(file.folder());
    entries.erase("log-lock");
    if (seam != "sysbrace unlink") {
      EXPECT_TRUE(entries.empty() || entries == std::set<std::string>{"log"})
          << entries.size() << " entries";
    }
    if (result == CYCLIC_FILE_PERMISSION_DENIED) {
      EXPECT_EQ(entries.count("log"), 0u);
    }
    if (entries.count("log") != 0) {
      Contents contents = contents_of(path);
      EXPECT_TRUE(contents.count == 0 || contents.count == 1) << contents.count;
      EXPECT_TRUE(another_process_writes(path));
    }
  });
  prepare();
}

TEST(CyclicFileFailureSweep, LoadingAnExistingFile) {
  TestFile file;
  const std::string &path = file.path();
  const std::string original = make_file(path);
  const Contents expected = contents_of(path);
  ASSERT_GT(expected.count, 0);
  void *handle = nullptr;
  int status = 0;
  auto prepare = [&] {
    cyclic_file_destroy_handle(handle);
    handle = nullptr;
    write_file(path, original);
  };
  auto load = [&] {
    handle = cyclic_file_create_handle(path.c_str(), kReadWrite, kRing, &status);
    return status;
  };
  sweep("load", prepare, load, [&](const std::string &seam, long nth, int result) {
    SCOPED_TRACE(seam + " call " + std::to_string(nth));
    if (handle != nullptr) {
      EXPECT_EQ(result, CYCLIC_FILE_OK);
      EXPECT_EQ(read_all(handle), expected);
      cyclic_file_destroy_handle(handle);
      handle = nullptr;
    } else {
      EXPECT_TRUE(result == CYCLIC_FILE_MAP_FAILED || result == CYCLIC_FILE_NO_MEMORY ||
                  result == CYCLIC_FILE_LOAD_ERROR || result == CYCLIC_FILE_PERMISSION_DENIED)
          << result;
    }
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(directory_entries(file.folder()), (std::set<std::string>{"log", "log-lock"}));
    EXPECT_TRUE(another_process_writes(path));
  });
  prepare();
}

TEST(CyclicFileFailureSweep, WritingReadingAndFlushing) {
  TestFile file;
  const std::string &path = file.path();
  const std::string original = make_file(path);
  const Contents before = contents_of(path);
  void *handle = nullptr;
  auto reopen = [&] {
    cyclic_file_destroy_handle(handle);
    write_file(path, original);
    int status = 0;
    handle = cyclic_file_create_handle(path.c_str(), kReadWrite | CYCLIC_FILE_MODE_FLUSH, kRing,
                                       &status);
    ASSERT_NE(handle, nullptr);
  };

  // A flush-mode write: a failed flush fails it, and only a failure of its
  // last flush (the header's, call 2: this write evicts nothing) leaves the
  // message counted.
  reopen();
  ASSERT_EQ(cyclic_file_write(handle, "fifth", 5), 0);
  const Contents after = contents_of(path);
  sweep(
      "write", reopen, [&] { return cyclic_file_write(handle, "fifth", 5); },
      [&](const std::string &seam, long nth, int result) {
        SCOPED_TRACE(seam + " call " + std::to_string(nth));
        EXPECT_TRUE(result == CYCLIC_FILE_OK || result == CYCLIC_FILE_WRITE_FAILED) << result;
        const bool counted =
            result == CYCLIC_FILE_OK || (seam == test_seam_name(TEST_SEAM_FLUSH_VIEW) && nth == 2);
        EXPECT_EQ(contents_of(path), counted ? after : before);
        EXPECT_TRUE(another_process_writes(path));
      });

  // Reading everything: the block and the scratch area for the message that
  // runs over the end of the ring.
  Contents seen;
  sweep(
      "read_all", reopen,
      [&] {
        seen = read_all(handle);
        return seen.count;
      },
      [&](const std::string &seam, long nth, int result) {
        SCOPED_TRACE(seam + " call " + std::to_string(nth));
        if (result >= 0) {
          EXPECT_EQ(seen, before);
        } else {
          EXPECT_TRUE(result == CYCLIC_FILE_NO_MEMORY || result == CYCLIC_FILE_READ_ALL_FAILED)
              << result;
          EXPECT_TRUE(seen.text.empty());
        }
        // The failure consumed nothing: the same handle reads everything.
        EXPECT_EQ(read_all(handle), before);
        EXPECT_TRUE(another_process_writes(path));
      });

  sweep(
      "flush", reopen, [&] { return cyclic_file_flush(handle); },
      [&](const std::string &seam, long nth, int result) {
        SCOPED_TRACE(seam + " call " + std::to_string(nth));
        EXPECT_EQ(result, 0);  // the failed flush is reported, not hidden
        EXPECT_NE(cyclic_file_flush(handle), 0);
        EXPECT_EQ(contents_of(path), before);
      });
  cyclic_file_destroy_handle(handle);
}
