// Forked children for the tests: each runs a function and ends with _exit,
// and the parent waits with a deadline, so that a hang fails one test and
// not the run; a gate that starts them together. Also the unprivileged user
// the attacker tests become.
#ifndef ROTOLOG_TESTS_SUPPORT_CHILD_PROCESS_H
#define ROTOLOG_TESTS_SUPPORT_CHILD_PROCESS_H

#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace test_support {

// What wait_child returns besides an exit code (0 to 255) or 128 + the
// signal that ended the child: none of them can be a child's own result.
constexpr int kChildTimedOut = -1000;    // still running at the deadline: killed and reaped
constexpr int kChildNotStarted = -1001;  // fork failed, or no such child

// Forks a child that runs body and exits with its result; -1 when fork fails.
template <typename Body>
pid_t start_child(Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

// Waits for the child until the deadline: its exit code, 128 + the signal
// that ended it, kChildTimedOut (the child is then killed and reaped) or
// kChildNotStarted.
inline int wait_child(pid_t pid, std::chrono::milliseconds deadline) {
  if (pid <= 0) return kChildNotStarted;
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0) return kChildNotStarted;
    if (std::chrono::steady_clock::now() >= until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return kChildTimedOut;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Called first in a grandchild of the test: it is killed when the thread
// that forked it ends, so that a child killed at its deadline leaves no hung
// grandchild behind (nobody would reap it or close its end of the output).
inline void die_with_parent(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);  // the parent was gone before the request
}

// Kills a child that is not meant to end by itself, and reaps it.
inline void stop_child(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Runs body in a child and waits for it: see wait_child.
template <typename Body>
int run_in_child(Body body, std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
  return wait_child(start_child(body), deadline);
}

// The unprivileged user the attacker tests become (nobody on Debian).
constexpr uid_t kNobody = 65534;

// Drops the calling process (a forked child) to nobody, groups and all, as a
// local user without any rights would be. False when it cannot: the tests
// that need it run as root (and skip otherwise).
inline bool become_nobody() {
  return setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
         setresuid(kNobody, kNobody, kNobody) == 0;
}

// Milliseconds on the machine's monotonic clock, which every process shares.
inline double monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Lines children up behind a gate: each says it is ready, and none goes on
// before the parent has seen them all ready and opens the gate, so that
// what they do before (opening a file, say) is over before any of them
// starts the work measured. Made before the children are started.
class StartGate {
 public:
  StartGate() {
    if (pipe(ready_) != 0) ready_[0] = ready_[1] = -1;
    if (pipe(release_) != 0) release_[0] = release_[1] = -1;
  }
  ~StartGate() {
    for (int *fd : {&ready_[0], &ready_[1], &release_[0], &release_[1]}) close_once(fd);
  }
  StartGate(const StartGate &) = delete;
  StartGate &operator=(const StartGate &) = delete;

  // In a child, whether or not its preparation went well (the parent counts
  // every child): says it is ready and waits for the gate. False when the
  // gate could not be made or was not opened.
  bool ready_and_wait() {
    close_once(&release_[1]);
    close_once(&ready_[0]);
    char byte = 1;
    if (write(ready_[1], &byte, 1) != 1) return false;
    return read(release_[0], &byte, 1) == 0;
  }

  // In the parent, once every child is started: waits until `count` children
  // said they are ready, then opens the gate. False when the gate could not
  // be made or the children ended before they were all ready (the gate is
  // opened all the same, so that none is left waiting).
  bool open_when_ready(int count) {
    close_once(&ready_[1]);
    int seen = 0;
    char byte;
    while (seen < count && ready_[0] >= 0) {
      const ssize_t got = read(ready_[0], &byte, 1);
      if (got == 1) {
        ++seen;
      } else if (got == 0 || errno != EINTR) {
        break;
      }
    }
    close_once(&release_[1]);
    return seen == count && release_[0] >= 0;
  }

 private:
  static void close_once(int *fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  int ready_[2];
  int release_[2];
};

}  // namespace test_support

#endif
