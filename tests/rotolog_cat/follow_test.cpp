// rotolog-cat as a process beside writer processes: a consumer that stops
// reading holds up no writer; --follow prints every message of several
// writers exactly once and in order, says how many were overwritten while it
// was stopped, follows a file removed and created again, and ends with
// status 0 on SIGINT, SIGTERM and a closed pipe. Every child has a deadline.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include "rotolog/cyclic_file.h"
#include "rotolog/platform/test_seams.h"

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "follow_messages.h"
#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"

using namespace test_support;
using namespace std::chrono_literals;

namespace {

// rotolog-cat started with its standard output and error on pipes.
struct Tool {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
  std::string pending;  // output read but not yet split into lines

  // as_nobody: the tool runs as a user without any rights.
  explicit Tool(const std::vector<std::string> &args, bool as_nobody = false) {
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return;
    pid = start_child([&] {
      if (as_nobody && !become_nobody()) return 126;
      dup2(out_pipe[1], STDOUT_FILENO);
      dup2(err_pipe[1], STDERR_FILENO);
      std::vector<char *> argv{const_cast<char *>(ROTOLOG_CAT_PATH)};
      for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
      argv.push_back(nullptr);
      execv(ROTOLOG_CAT_PATH, argv.data());
      return 127;
    });
    close(out_pipe[1]);
    close(err_pipe[1]);
    out = out_pipe[0];
    err = err_pipe[0];
  }
  ~Tool() {
    stop_child(pid);  // when it still runs
    close_output();
    if (err >= 0) close(err);
  }
  Tool(const Tool &) = delete;
  Tool &operator=(const Tool &) = delete;

  void close_output() {
    if (out >= 0) close(out);
    out = -1;
  }

  // Reads lines from the output until `done` says enough or the deadline
  // passes; false on the deadline or at the end of the output.
  template <typename Done>
  bool read_lines(std::vector<std::string> *lines, Done done, double deadline_ms = 20000) {
    const double until = monotonic_ms() + deadline_ms;
    while (!done(*lines)) {
      const double left = until - monotonic_ms();
      if (left <= 0) return false;
      pollfd ready{out, POLLIN, 0};
      if (poll(&ready, 1, static_cast<int>(left) + 1) <= 0) continue;
      char chunk[65536];
      const ssize_t got = read(out, chunk, sizeof chunk);
      if (got <= 0) return false;
      pending.append(chunk, static_cast<std::size_t>(got));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        lines->push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
    }
    return true;
  }

  // Waits for the end; its exit status (see wait_child), and its stderr.
  int finish(std::string *error_text, std::chrono::milliseconds deadline = 10s) {
    const int status = wait_child(pid, deadline);
    pid = -1;
    char chunk[4096];
    for (ssize_t got; (got = read(err, chunk, sizeof chunk)) > 0;)
      error_text->append(chunk, static_cast<std::size_t>(got));
    return status;
  }
};

void append_messages(const std::string &path, int writer, long count, int ring = 1 << 20) {
  int status = 0;
  void *file = cyclic_file_create_handle(path.c_str(), kReadWrite, ring, &status);
  ASSERT_NE(file, nullptr) << status;
  for (long i = 0; i < count; ++i)
    ASSERT_EQ(write_message(file, follow_test::writer_message(writer, i)), 0);
  cyclic_file_destroy_handle(file);
}

// Writer processes 0 to writers - 1, each appending `count` messages.
std::vector<pid_t> start_writers(const std::string &path, int writers, long count) {
  std::vector<pid_t> pids;
  for (int writer = 0; writer < writers; ++writer) {
    pids.push_back(start_child([&] {
      int status = 0;
      void *file = cyclic_file_create_handle(path.c_str(), kReadWrite, 0, &status);
      if (file == nullptr) return 1;
      int failures = 0;
      for (long i = 0; i < count; ++i) {
        if (write_message(file, follow_test::writer_message(writer, i)) != 0) ++failures;
        if (i % 64 == 0) sched_yield();
      }
      cyclic_file_destroy_handle(file);
      return failures == 0 ? 0 : 1;
    }));
  }
  return pids;
}

void finish_writers(const std::vector<pid_t> &pids) {
  for (pid_t pid : pids) EXPECT_EQ(wait_child(pid, 30s), 0);
}

long delivered(const std::vector<std::string> &lines) {
  long messages = 0;
  for (const std::string &line : lines)
    if (line.find("\"text\":") != std::string::npos) ++messages;
  return messages;
}

}  // namespace

TEST(RotologCatProcess, AConsumerThatStopsReadingHoldsUpNoWriter) {
  TempDir dir;
  const std::string path = dir.file("stalled");
  // Far more than a pipe holds, so that the tool blocks in its output.
  append_messages(path, 0, 20000, 4 << 20);
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{path}, std::vector<std::string>{"--follow", path}}) {
    Tool tool(args);
    ASSERT_GT(tool.pid, 0);
    int queued = 0;
    for (double until = monotonic_ms() + 10000; queued < 60000 && monotonic_ms() < until;) {
      ioctl(tool.out, FIONREAD, &queued);
      usleep(1000);
    }
    ASSERT_GE(queued, 60000) << "rotolog-cat " << args[0] << " did not fill its pipe";
    usleep(50000);  // well inside a blocked write now
    EXPECT_EQ(run_in_child(
                  [&] {
                    int status = 0;
                    void *file = cyclic_file_create_handle(path.c_str(), kReadWrite, 0, &status);
                    if (file == nullptr) return 2;
                    int failures = 0;
                    for (int i = 0; i < 100; ++i)
                      failures += cyclic_file_write(file, "late", 4) != 0;
                    cyclic_file_destroy_handle(file);
                    return failures == 0 ? 0 : 1;
                  },
                  5s),
              0)
        << "a write waited for rotolog-cat " << args[0];
    // The reader goes away: the tool ends quietly.
    tool.close_output();
    std::string error_text;
    EXPECT_EQ(tool.finish(&error_text), 0) << args[0];
    EXPECT_EQ(error_text, "") << args[0];
  }
}

TEST(RotologCatFollow, PrintsEveryMessageOfSeveralWritersExactlyOnceAndInOrder) {
  TempDir dir;
  const std::string path = dir.file("followed");
  append_messages(path, 9, 100);  // already there: only the newest 10 are asked for
  Tool tool({"-f", "-j", "-n", "10", path});
  std::vector<std::string> lines;
  ASSERT_TRUE(
      tool.read_lines(&lines, [](const std::vector<std::string> &l) { return l.size() >= 10; }));
  const long kWriters = 4, kEach = 2500;
  std::vector<pid_t> writers = start_writers(path, kWriters, kEach);
  const bool all = tool.read_lines(&lines, [&](const std::vector<std::string> &l) {
    return delivered(l) >= 10 + kWriters * kEach;
  });
  finish_writers(writers);
  ASSERT_TRUE(all) << delivered(lines) << " messages arrived";
  ASSERT_EQ(kill(tool.pid, SIGINT), 0);
  std::string error_text;
  EXPECT_EQ(tool.finish(&error_text), 0);
  EXPECT_EQ(error_text, "");

  const follow_test::Delivery delivery = follow_test::check_delivery(lines, 10);
  EXPECT_EQ(delivery.problems, "");
  EXPECT_EQ(delivery.messages, 10 + kWriters * kEach);
  EXPECT_EQ(delivery.skipped, 90);  // writer 9's oldest, left out by -n 10
  for (int writer = 0; writer < kWriters; ++writer) EXPECT_EQ(delivery.next[writer], kEach);
  EXPECT_EQ(delivery.missed_reported, 0);
  EXPECT_EQ(delivery.bad_seq, 0);
  EXPECT_EQ(follow_test::json_member(lines.front(), "seq"), "91");
  EXPECT_EQ(delivery.last_seq, 100u + kWriters * kEach);
}

TEST(RotologCatFollow, AStoppedFollowerSaysHowManyWereOverwrittenAndRepeatsNothing) {
  TempDir dir;
  const std::string path = dir.file("lapped");
  append_messages(path, 9, 1, 16384);
  Tool tool({"--follow", "--json", path});
  std::vector<std::string> lines;
  ASSERT_TRUE(
      tool.read_lines(&lines, [](const std::vector<std::string> &l) { return !l.empty(); }));
  // Idle, so outside the locks: stopped there it holds up nobody.
  usleep(20000);
  ASSERT_EQ(kill(tool.pid, SIGSTOP), 0);
  const long kWriters = 4, kEach = 3000;  // some 40 laps of the ring
  finish_writers(start_writers(path, kWriters, kEach));
  ASSERT_EQ(kill(tool.pid, SIGCONT), 0);
  // Caught up when the newest message, number 1 + writers x each, is printed.
  const auto caught_up = [&](const std::vector<std::string> &l) {
    return !l.empty() &&
           follow_test::json_member(l.back(), "seq") == std::to_string(1 + kWriters * kEach);
  };
  ASSERT_TRUE(tool.read_lines(&lines, caught_up));
  ASSERT_EQ(kill(tool.pid, SIGTERM), 0);
  std::string error_text;
  EXPECT_EQ(tool.finish(&error_text), 0);

  const follow_test::Delivery delivery = follow_test::check_delivery(lines, 10);
  EXPECT_EQ(delivery.problems, "");
  EXPECT_EQ(delivery.bad_seq, 0);
  EXPECT_GT(delivery.missed_reported, 0);
  // Every message appended was printed or counted as missed, and what is
  // absent of the writers' messages is exactly what was reported.
  EXPECT_EQ(delivery.messages + delivery.missed_reported, 1 + kWriters * kEach);
  long never_printed = delivery.skipped;
  for (int writer = 0; writer < kWriters; ++writer) never_printed += kEach - delivery.next[writer];
  EXPECT_EQ(never_printed, delivery.missed_reported);
  EXPECT_EQ(delivery.last_seq, 1u + kWriters * kEach);
  EXPECT_NE(error_text.find(" messages were overwritten before they could be read\n"),
            std::string::npos)
      << error_text;
}

TEST(RotologCatFollow, FollowsAFileRemovedAndCreatedAgain) {
  TempDir dir;
  const std::string path = dir.file("replaced");
  append_messages(path, 0, 3);
  Tool tool({"-fj", path});
  std::vector<std::string> lines;
  ASSERT_TRUE(
      tool.read_lines(&lines, [](const std::vector<std::string> &l) { return l.size() >= 3; }));
  ASSERT_EQ(unlink(path.c_str()), 0);
  unlink((path + "-lock").c_str());
  usleep(100000);  // the follower sees the path missing and keeps the old file
  append_messages(path, 1, 5);
  ASSERT_TRUE(
      tool.read_lines(&lines, [](const std::vector<std::string> &l) { return l.size() >= 8; }));
  append_messages(path, 1, 0);
  ASSERT_EQ(kill(tool.pid, SIGINT), 0);
  std::string error_text;
  EXPECT_EQ(tool.finish(&error_text), 0);
  const follow_test::Delivery delivery = follow_test::check_delivery(lines, 2);
  EXPECT_EQ(delivery.problems, "");
  EXPECT_EQ(delivery.next[0], 3);
  EXPECT_EQ(delivery.next[1], 5);
  EXPECT_EQ(lines.size(), 8u);
  EXPECT_NE(error_text.find("the file was replaced; following the new file"), std::string::npos)
      << error_text;
}

// A user who may read a log but not write it follows it: the lock file
// gives read to whoever may read the data. A lock file that user may not
// read (one made before, for a file of other bits) is told at once.
TEST(RotologCatFollow, AReaderWithoutWritePermissionFollowsTheFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to drop to nobody";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string path = dir.file("readable");
  // nobody must be able to run the tool: a build tree under a folder only
  // root may enter (a clone in /root) keeps it out, which is no fault here.
  const int runnable = run_in_child(
      [] { return become_nobody() && access(ROTOLOG_CAT_PATH, X_OK) == 0 ? 0 : 1; }, 10s);
  if (runnable != 0) GTEST_SKIP() << "nobody cannot run " << ROTOLOG_CAT_PATH;
  append_messages(path, 0, 1);
  // The service opens its log to every reader; its next writer gives the
  // lock file the same reach.
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  append_messages(path, 0, 1);
  struct stat info;
  ASSERT_EQ(stat((path + "-lock").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  {
    Tool tool({"-fj", path}, true);
    std::vector<std::string> lines;
    ASSERT_TRUE(
        tool.read_lines(&lines, [](const std::vector<std::string> &l) { return l.size() >= 2; }));
    append_messages(path, 0, 3);  // root's service writes on
    ASSERT_TRUE(
        tool.read_lines(&lines, [](const std::vector<std::string> &l) { return l.size() >= 5; }));
    ASSERT_EQ(kill(tool.pid, SIGINT), 0);
    std::string error_text;
    EXPECT_EQ(tool.finish(&error_text), 0);
    EXPECT_EQ(error_text, "");
    EXPECT_EQ(follow_test::json_member(lines.back(), "seq"), "5");
  }
  ASSERT_EQ(chmod((path + "-lock").c_str(), 0600), 0);
  Tool tool({"-f", path}, true);
  std::vector<std::string> lines;
  tool.read_lines(
      &lines, [](const std::vector<std::string> &) { return false; }, 3000);
  std::string error_text;
  EXPECT_EQ(tool.finish(&error_text), 1);
  EXPECT_NE(error_text.find("cannot follow"), std::string::npos) << error_text;
}

// Writers killed inside a write, at each of its steps in turn: the follower
// beside them prints every message exactly once, numbered without a gap,
// and reports none missed (the ring is large enough to lose none). The next
// writer finishes or undoes the dead one's write, count and header together.
namespace {
int writes_before_death = 0;
int die_on_the_last_write(const test_seam_call_t *, void *) {
  if (writes_before_death-- == 0) _exit(0);
  return TEST_SEAM_PROCEED;
}
}  // namespace

TEST(RotologCatFollow, WritersKilledAtEveryStepOfAWriteNeitherHideNorRepeatAMessage) {
  TempDir dir;
  const std::string path = dir.file("killed");
  append_messages(path, 0, 1);
  Tool tool({"-fj", path});
  std::vector<std::string> lines;
  ASSERT_TRUE(
      tool.read_lines(&lines, [](const std::vector<std::string> &l) { return !l.empty(); }));
  constexpr int kWriters = 4;
  std::vector<long> next(kWriters, 0);
  next[0] = 1;
  for (int round = 0; round < 40; ++round) {
    const int writer = round % kWriters;
    const int whole = 5 + round % 7;
    const test_seam point = static_cast<test_seam>(TEST_SEAM_CRASH_HEADER_RELOADED + round % 4);
    const long first = next[writer];
    const int status = run_in_child([&] {
      int opened = 0;
      void *file = cyclic_file_create_handle(path.c_str(), kReadWrite, 0, &opened);
      if (file == nullptr) return 1;
      writes_before_death = whole;
      test_seam_set_hook(point, die_on_the_last_write, nullptr);
      for (long i = first;; ++i) write_message(file, follow_test::writer_message(writer, i));
    });
    ASSERT_EQ(status, 0) << "round " << round;
    next[writer] = first + whole + 1;  // the last one may or may not be there
  }
  append_messages(path, 0, 0);
  // Everything appended is printed once the count stops moving.
  int status = 0;
  void *file = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_READ, 0, &status);
  ASSERT_NE(file, nullptr);
  const Contents all = read_all(file);
  cyclic_file_destroy_handle(file);
  ASSERT_GT(all.count, 0);
  ASSERT_TRUE(tool.read_lines(&lines, [&](const std::vector<std::string> &l) {
    return static_cast<int>(l.size()) >= all.count;
  }));
  ASSERT_EQ(kill(tool.pid, SIGINT), 0);
  std::string error_text;
  EXPECT_EQ(tool.finish(&error_text), 0);
  EXPECT_EQ(error_text, "");
  EXPECT_EQ(static_cast<int>(lines.size()), all.count);
  const follow_test::Delivery delivery = follow_test::check_delivery(lines, kWriters);
  EXPECT_EQ(delivery.problems, "");
  EXPECT_EQ(delivery.missed_reported, 0);
  EXPECT_EQ(delivery.bad_seq, 0);
  // Numbered 1 to the last, each once.
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(follow_test::json_member(lines[i], "seq"), std::to_string(i + 1)) << lines[i];
}

// `rotolog-cat -f FILE | head -1`: once the reader of its output has gone,
// an idle follower ends (status 0) without waiting for the next message.
TEST(RotologCatFollow, AnIdleFollowerEndsWhenTheReaderOfItsOutputHasGone) {
  TempDir dir;
  const std::string path = dir.file("idle");
  append_messages(path, 0, 1);
  Tool tool({"-f", path});
  std::vector<std::string> lines;
  ASSERT_TRUE(
      tool.read_lines(&lines, [](const std::vector<std::string> &l) { return !l.empty(); }));
  tool.close_output();
  std::string error_text;
  EXPECT_EQ(tool.finish(&error_text, 2s), 0);  // kChildTimedOut while it waits
  EXPECT_EQ(error_text, "");
}
