// What a follower costs and how soon it shows a message: rotolog-cat
// --follow --json runs on a cyclic file while this program
//   1. leaves the file idle for a while and reads the follower's CPU time
//      and wake-ups from /proc,
//   2. appends messages one at a time after random pauses of 0 to 120 ms
//      (so that they meet the follower at every length of its idle pause)
//      and times each from the write to its line on the follower's output,
//   3. times a burst of writes with and without the follower copying beside
//      them.
// Prints the figures; asserts nothing. Usage: rotolog_follow_bench [ROTOLOG_CAT]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <rotolog/cyclic_file.h>

namespace {

double now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

void sleep_ms(double ms) {
  timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms * 1e6) % 1000000000L};
  nanosleep(&pause, nullptr);
}

struct Follower {
  pid_t pid = -1;
  int out = -1;
  std::string pending;
};

Follower start_follower(const char *tool, const std::string &path) {
  int pipe_ends[2];
  Follower follower;
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return follower;
  follower.pid = fork();
  if (follower.pid == 0) {
    dup2(pipe_ends[1], STDOUT_FILENO);
    // During the burst it falls behind and says so on stderr, as it should.
    const int quiet = open("/dev/null", O_WRONLY);
    if (quiet >= 0) dup2(quiet, STDERR_FILENO);
    execl(tool, tool, "--follow", "--json", "--lines", "0", path.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(pipe_ends[1]);
  follower.out = pipe_ends[0];
  return follower;
}

void stop_follower(Follower *follower) {
  if (follower->pid <= 0) return;
  kill(follower->pid, SIGTERM);
  waitpid(follower->pid, nullptr, 0);
  close(follower->out);
  follower->pid = -1;
}

// Waits for the next line of output, up to timeout_ms; false when none came.
bool next_line(Follower *follower, std::string *line, double timeout_ms) {
  const double until = now_ms() + timeout_ms;
  for (;;) {
    const std::size_t end = follower->pending.find('\n');
    if (end != std::string::npos) {
      *line = follower->pending.substr(0, end);
      follower->pending.erase(0, end + 1);
      return true;
    }
    const double left = until - now_ms();
    if (left <= 0) return false;
    pollfd ready{follower->out, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left) + 1) <= 0) continue;
    char chunk[65536];
    const ssize_t got = read(follower->out, chunk, sizeof chunk);
    if (got <= 0) return false;
    follower->pending.append(chunk, static_cast<std::size_t>(got));
  }
}

// Time a process has run on a core, in nanoseconds (schedstat), and its
// voluntary context switches (each idle pause is one).
void process_usage(pid_t pid, long long *run_ns, long long *switches) {
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  *run_ns = 0;
  schedstat >> *run_ns;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  *switches = 0;
  for (std::string line; std::getline(status, line);)
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) *switches = std::atoll(line.c_str() + 24);
}

double percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()))];
}

double burst_rate(void *file, long writes) {
  const std::string message(64, 'b');
  const double start = now_ms();
  for (long i = 0; i < writes; ++i)
    cyclic_file_write(file, message.data(), static_cast<int>(message.size()));
  return writes / ((now_ms() - start) / 1e3);
}

}  // namespace

int main(int argc, char **argv) {
  const char *tool = argc > 1 ? argv[1] : ROTOLOG_CAT_PATH;
  char directory[] = "/tmp/rotolog-follow-bench-XXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  const std::string path = std::string(directory) + "/followed.cyclic";
  int status = 0;
  void *file = cyclic_file_create_handle(
      path.c_str(), CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE, 1 << 20, &status);
  if (file == nullptr) {
    std::fprintf(stderr, "follow_bench: %s\n", cyclic_file_get_error_string(status));
    return 1;
  }
  Follower follower = start_follower(tool, path);
  sleep_ms(1000);  // started and settled into its longest pause

  const double idle_seconds = 10;
  long long run_before = 0, run_after = 0, switches_before = 0, switches_after = 0;
  process_usage(follower.pid, &run_before, &switches_before);
  sleep_ms(idle_seconds * 1000);
  process_usage(follower.pid, &run_after, &switches_after);
  const double run_ms = static_cast<double>(run_after - run_before) / 1e6;
  std::printf("idle follower:  %.4f%% of a core (%.1f ms on a core in %.0f s), %.1f wake-ups/s\n",
              100.0 * run_ms / (idle_seconds * 1000), run_ms, idle_seconds,
              static_cast<double>(switches_after - switches_before) / idle_seconds);

  std::mt19937 random(20261207);
  std::uniform_real_distribution<double> pause(0, 120);
  std::vector<double> latencies;
  const int kMessages = 150;
  for (int i = 0; i < kMessages; ++i) {
    sleep_ms(pause(random));
    const std::string message = "latency probe " + std::to_string(i);
    const double written = now_ms();
    cyclic_file_write(file, message.data(), static_cast<int>(message.size()));
    std::string line;
    if (!next_line(&follower, &line, 5000) || line.find(message + "\"") == std::string::npos) {
      std::fprintf(stderr, "follow_bench: message %d did not arrive as expected: %s\n", i,
                   line.c_str());
      break;
    }
    latencies.push_back(now_ms() - written);
  }
  std::printf(
      "latency:        write to its line on the follower's output, %zu messages after "
      "random pauses of 0-120 ms: median %.1f ms, p90 %.1f ms, p99 %.1f ms, max %.1f ms\n",
      latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.9),
      percentile(latencies, 0.99), percentile(latencies, 1.0));

  // A reader drains the follower's output meanwhile, so that it keeps copying.
  const long kBurst = 400000;
  pid_t drain = fork();
  if (drain == 0) {
    char chunk[65536];
    while (read(follower.out, chunk, sizeof chunk) > 0) {
    }
    _exit(0);
  }
  const double with_follower = burst_rate(file, kBurst);
  stop_follower(&follower);
  waitpid(drain, nullptr, 0);
  const double without_follower = burst_rate(file, kBurst);
  std::printf("writes of 64 B: %.2fM/s alone, %.2fM/s with the follower copying beside them\n",
              without_follower / 1e6, with_follower / 1e6);

  cyclic_file_destroy_handle(file);
  std::system(("rm -rf '" + std::string(directory) + "'").c_str());
  return latencies.size() == kMessages ? 0 : 1;
}
