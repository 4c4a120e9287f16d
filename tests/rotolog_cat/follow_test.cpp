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
#include <map>
#include <random>
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

// Writer processes 0 to writers - 1, each appending `count` messages, with
// a pause of pause_us after each one (none when 0); with `entries`, message
// I as an entry of level I % 8.
std::vector<pid_t> start_writers(const std::string &path, int writers, long count,
                                 long pause_us = 0, bool entries = false) {
  std::vector<pid_t> pids;
  for (int writer = 0; writer < writers; ++writer) {
    pids.push_back(start_child([&] {
      int status = 0;
      void *file = cyclic_file_create_handle(path.c_str(), kReadWrite, 0, &status);
      if (file == nullptr) return 1;
      int failures = 0;
      for (long i = 0; i < count; ++i) {
        const std::string message = follow_test::writer_message(writer, i);
        const int written =
            entries ? cyclic_file_write_entry(file, static_cast<int>(i % 8), message.data(),
                                              static_cast<int>(message.size()))
                    : write_message(file, message);
        if (written != 0) ++failures;
        if (pause_us > 0) usleep(static_cast<useconds_t>(pause_us));
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

// The lines of each file, by the "file" member of the JSON lines.
std::map<std::string, std::vector<std::string>> lines_by_file(
    const std::vector<std::string> &lines) {
  std::map<std::string, std::vector<std::string>> by_file;
  for (const std::string &line : lines)
    by_file[follow_test::json_member(line, "file")].push_back(line);
  return by_file;
}

// tail -F: a file that does not exist yet is waited for, then followed;
// removed and made again, it is followed anew.
TEST(RotologCatFollow, RetryWaitsForAFileThatDoesNotExistYet) {
  TempDir dir;
  const std::string path = dir.file("later");
  Tool tool({"-F", "-j", path});
  usleep(100000);  // the tool is looking for the file meanwhile
  append_messages(path, 0, 3);
  std::vector<std::string> lines;
  ASSERT_TRUE(
      tool.read_lines(&lines, [](const std::vector<std::string> &l) { return l.size() >= 3; }));
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(unlink((path + "-lock").c_str()), 0);
  append_messages(path, 1, 2);
  ASSERT_TRUE(
      tool.read_lines(&lines, [](const std::vector<std::string> &l) { return l.size() >= 5; }));
  ASSERT_EQ(kill(tool.pid, SIGTERM), 0);
  std::string error_text;
  EXPECT_EQ(tool.finish(&error_text), 0);
  const follow_test::Delivery delivery = follow_test::check_delivery(lines, 2);
  EXPECT_EQ(delivery.problems, "");
  EXPECT_EQ(delivery.next[0], 3);
  EXPECT_EQ(delivery.next[1], 2);
  EXPECT_EQ(lines.size(), 5u);
  EXPECT_NE(error_text.find(path + ": File not found: No such file or directory\n"),
            std::string::npos)
      << error_text;
  EXPECT_NE(error_text.find(path + ": has appeared; following it"), std::string::npos)
      << error_text;
  // Without --retry a missing file is an error at once.
  Tool plain({"-f", dir.file("never")});
  EXPECT_EQ(plain.finish(&error_text), 1);
}

// Two files followed at once, each written by its own processes: every
// line names its file, and each file's messages arrive exactly once, in
// order, numbered by that file.
TEST(RotologCatFollow, FollowsSeveralFilesAtOnceAndNamesTheFileOfEachMessage) {
  TempDir dir;
  const std::string first = dir.file("first"), second = dir.file("second");
  append_messages(first, 9, 1);
  append_messages(second, 9, 2);
  Tool tool({"-f", "-j", first, second});
  std::vector<std::string> lines;
  ASSERT_TRUE(
      tool.read_lines(&lines, [](const std::vector<std::string> &l) { return l.size() >= 3; }));
  const long kEach = 1500;
  std::vector<pid_t> writers = start_writers(first, 2, kEach);
  const std::vector<pid_t> more = start_writers(second, 3, kEach);
  writers.insert(writers.end(), more.begin(), more.end());
  const bool all = tool.read_lines(
      &lines, [&](const std::vector<std::string> &l) { return delivered(l) >= 3 + 5 * kEach; });
  finish_writers(writers);
  ASSERT_TRUE(all) << delivered(lines) << " messages arrived";
  ASSERT_EQ(kill(tool.pid, SIGINT), 0);
  std::string error_text;
  EXPECT_EQ(tool.finish(&error_text), 0);
  EXPECT_EQ(error_text, "");
  const auto by_file = lines_by_file(lines);
  ASSERT_EQ(by_file.size(), 2u) << lines.front();
  ASSERT_EQ(by_file.count(first), 1u);
  ASSERT_EQ(by_file.count(second), 1u);
  const follow_test::Delivery of_first = follow_test::check_delivery(by_file.at(first), 10);
  const follow_test::Delivery of_second = follow_test::check_delivery(by_file.at(second), 10);
  EXPECT_EQ(of_first.problems, "");
  EXPECT_EQ(of_second.problems, "");
  EXPECT_EQ(of_first.messages, 1 + 2 * kEach);
  EXPECT_EQ(of_second.messages, 2 + 3 * kEach);
  EXPECT_EQ(of_first.bad_seq + of_second.bad_seq, 0);
  EXPECT_EQ(of_first.last_seq, 1u + 2 * kEach);
  EXPECT_EQ(of_second.last_seq, 2u + 3 * kEach);
  for (int writer = 0; writer < 2; ++writer) EXPECT_EQ(of_first.next[writer], kEach);
  for (int writer = 0; writer < 3; ++writer) EXPECT_EQ(of_second.next[writer], kEach);
}

// A follower with a cursor file, killed (SIGKILL) at random moments while
// writers write and started again each time. The cursor never names a
// message the output did not get (so nothing is ever skipped), each run
// starts right after the cursor it found, and across all runs every message
// is printed in order. A run killed between its output's write and the
// cursor's rename leaves the cursor of the batch before, so the next run
// prints the same lines again: the only repeats there are.
uint64_t cursor_at(const std::string &path) {
  FILE *file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return 0;
  unsigned long long number = 0;
  const int read = std::fscanf(file, "%llu", &number);
  std::fclose(file);
  return read == 1 ? number : UINT64_MAX;
}

uint64_t seq_of(const std::string &line) {
  return std::strtoull(follow_test::json_member(line, "seq").c_str(), nullptr, 10);
}

TEST(RotologCatFollow, AFollowerKilledAtRandomResumesAfterTheLastMessageItPrinted) {
  TempDir dir;
  const std::string path = dir.file("resumed");
  const std::string cursor = dir.file("cursor");
  append_messages(path, 9, 5, 8 << 20);  // a ring that the writers never lap
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  const long kWriters = 3, kEach = 3000;
  const uint64_t total = 5 + kWriters * kEach;
  const std::vector<pid_t> writers = start_writers(path, kWriters, kEach, 50);
  std::map<uint64_t, std::string> printed;  // the text of every message printed, by number
  std::vector<std::string> once;            // every message, the first time it was printed
  int runs_that_repeated = 0;
  const auto never = [](const std::vector<std::string> &) { return false; };
  for (int run = 0; run <= 30; ++run) {
    const uint64_t start = cursor_at(cursor);
    ASSERT_LE(start, once.size()) << "run " << run << ": the cursor is ahead of the output";
    Tool tool({"-f", "-j", "--cursor-file", cursor, path});
    std::vector<std::string> lines;
    if (run < 30) {
      tool.read_lines(&lines, never, std::uniform_int_distribution<int>(1, 40)(random));
      kill(tool.pid, SIGKILL);
      tool.read_lines(&lines, never, 5000);  // what it wrote before it died, to the end
    } else {
      // The last run, once the writers are done, prints whatever is left.
      finish_writers(writers);
      tool.read_lines(&lines, [&](const std::vector<std::string> &l) {
        return once.size() + l.size() >= total + (once.size() - start);
      });
      ASSERT_EQ(kill(tool.pid, SIGINT), 0);
    }
    std::string error_text;
    tool.finish(&error_text);
    EXPECT_EQ(error_text, "") << "run " << run;
    uint64_t expected = start + 1;
    bool repeated = false;
    for (const std::string &line : lines) {
      ASSERT_EQ(seq_of(line), expected) << "run " << run << ", after cursor " << start;
      ++expected;
      if (seq_of(line) <= once.size()) {
        repeated = true;
        EXPECT_EQ(printed[seq_of(line)], follow_test::json_member(line, "text")) << "run " << run;
        continue;
      }
      printed[seq_of(line)] = follow_test::json_member(line, "text");
      once.push_back(line);
    }
    runs_that_repeated += repeated;
  }
  const follow_test::Delivery delivery = follow_test::check_delivery(once, 10);
  EXPECT_EQ(delivery.problems, "");
  EXPECT_EQ(delivery.messages, static_cast<long>(total));
  EXPECT_EQ(delivery.skipped, 0);
  EXPECT_EQ(delivery.missed_reported, 0);
  for (int writer = 0; writer < kWriters; ++writer) EXPECT_EQ(delivery.next[writer], kEach);
  EXPECT_EQ(cursor_at(cursor), total);
  std::printf("31 runs, %d of them began with the batch the run before printed\n",
              runs_that_repeated);
}

// Entries of four writer processes, followed with --priority: exactly the
// entries of the levels asked for arrive, each once, in order of number,
// with their fields; and a follower stopped while writers lap the ring
// counts exactly what it missed, entries as raw messages.
TEST(RotologCatFollow, FollowsEntriesWithAPriorityAndCountsWhatItMissedExactly) {
  TempDir dir;
  const std::string path = dir.file("entries");
  append_messages(path, 9, 0);
  Tool tool({"-f", "-j", "-p", "err..warning", path});
  usleep(20000);
  const long kWriters = 4, kEach = 800;
  finish_writers(start_writers(path, kWriters, kEach, 0, true));
  std::vector<std::string> lines;
  const long kept_each = kEach / 8 * 2;  // levels 3 and 4 of every 8
  ASSERT_TRUE(tool.read_lines(&lines, [&](const std::vector<std::string> &l) {
    return delivered(l) >= kWriters * kept_each;
  })) << delivered(lines);
  ASSERT_EQ(kill(tool.pid, SIGINT), 0);
  std::string error_text;
  EXPECT_EQ(tool.finish(&error_text), 0);
  EXPECT_EQ(error_text, "");
  EXPECT_EQ(static_cast<long>(lines.size()), kWriters * kept_each);
  std::vector<long> next(kWriters, 0);
  uint64_t last_seq = 0;
  for (const std::string &line : lines) {
    const test_support::Decoded decoded =
        test_support::decode_messages(follow_test::json_member(line, "text"));
    ASSERT_EQ(decoded.messages.size(), 1u) << line;
    const uint32_t writer = decoded.messages[0].writer;
    ASSERT_LT(writer, static_cast<uint32_t>(kWriters)) << line;
    long index = next[writer];
    while (index % 8 != 3 && index % 8 != 4) ++index;  // the next one of level 3 or 4
    EXPECT_EQ(static_cast<long>(decoded.messages[0].sequence), index) << line;
    next[writer] = static_cast<long>(decoded.messages[0].sequence) + 1;
    EXPECT_EQ(follow_test::json_member(line, "level"), std::to_string(index % 8)) << line;
    EXPECT_NE(follow_test::json_member(line, "pid"), "") << line;
    EXPECT_NE(line.find("\"time\":\""), std::string::npos) << line;
    const uint64_t seq = std::strtoull(follow_test::json_member(line, "seq").c_str(), nullptr, 10);
    EXPECT_GT(seq, last_seq) << line;
    last_seq = seq;
  }

  // Stopped, it misses what the writers overwrite meanwhile, and says so.
  const std::string small = dir.file("lapped-entries");
  append_messages(small, 9, 1, 16384);
  Tool stopped({"-f", "-j", small});
  std::vector<std::string> seen;
  ASSERT_TRUE(
      stopped.read_lines(&seen, [](const std::vector<std::string> &l) { return !l.empty(); }));
  usleep(20000);
  ASSERT_EQ(kill(stopped.pid, SIGSTOP), 0);
  finish_writers(start_writers(small, kWriters, 1500, 0, true));
  ASSERT_EQ(kill(stopped.pid, SIGCONT), 0);
  const std::string newest = std::to_string(1 + kWriters * 1500);
  ASSERT_TRUE(stopped.read_lines(&seen, [&](const std::vector<std::string> &l) {
    return !l.empty() && follow_test::json_member(l.back(), "seq") == newest;
  }));
  ASSERT_EQ(kill(stopped.pid, SIGTERM), 0);
  EXPECT_EQ(stopped.finish(&error_text), 0);
  const follow_test::Delivery delivery = follow_test::check_delivery(seen, 10);
  EXPECT_EQ(delivery.problems, "");
  EXPECT_EQ(delivery.bad_seq, 0);
  EXPECT_GT(delivery.missed_reported, 0);
  EXPECT_EQ(delivery.messages + delivery.missed_reported, 1 + kWriters * 1500);
}
