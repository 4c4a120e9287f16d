// Forking helpers for the platform tests: run a function in a child that ends
// with _exit, and wait for a child with a deadline so a hang fails one test.
#ifndef ROTOLOG_TESTS_PLATFORM_CHILD_PROCESS_H
#define ROTOLOG_TESTS_PLATFORM_CHILD_PROCESS_H

#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

namespace platform_test {

constexpr int child_timed_out = -1000;

// Starts body in a child process; its result is the child's exit status.
template <typename Body>
pid_t start_child(Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

// Waits for pid up to timeout_ms: its exit status, 128 + signal when a signal
// ended it, or child_timed_out (the child is then killed and reaped).
inline int wait_child(pid_t pid, long timeout_ms) {
  if (pid < 0) return -1;
  timespec pause{0, 1000000};
  for (long waited = 0;; ++waited) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0) return -1;
    if (waited >= timeout_ms) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return child_timed_out;
    }
    nanosleep(&pause, nullptr);
  }
}

// Runs body in a child and waits for it: its exit status or child_timed_out.
template <typename Body>
int run_in_child(Body body, long timeout_ms = 10000) {
  return wait_child(start_child(body), timeout_ms);
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

inline double monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

}  // namespace platform_test

#endif
