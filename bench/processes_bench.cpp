// Several processes appending at once: 1, 2 and 4 processes writing to one
// cyclic file, against write(2) with O_APPEND on one file and a Boost
// message_queue with as many senders and one receiver. Each run forks the
// writers, lets them all start together, stops them after a fixed time and
// reports the messages written per second of wall time by all of them.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/interprocess/ipc/message_queue.hpp>

#include <rotolog/cyclic_file.h>

#include "bench_support.h"

namespace {

constexpr const char *kProcesses = "processes";
constexpr int kFileRing = 1 << 20;
constexpr int kMaxProcesses = 8;
constexpr auto kRunTime = std::chrono::milliseconds(150);
constexpr auto kDeadline = std::chrono::seconds(20);
constexpr long long kAppendLimit = 64LL << 20;

// Lives in a shared anonymous mapping, seen by the parent and every child.
struct Control {
  std::atomic<int> ready;
  std::atomic<int> go;
  std::atomic<int> stop;
  std::atomic<int> failed;
  std::atomic<long long> written[kMaxProcesses + 1];
};

// What one child does: prepare (open its file or queue), report ready, wait
// for go, then write until stop and return the number of messages written,
// or -1 on failure. Runs in the child; must not return through main.
using Worker = std::function<long long(Control &, int index)>;

bool all_stopped(const std::vector<pid_t> &children) {
  for (const pid_t child : children)
    if (child > 0) return false;
  return true;
}

// Forks one child per worker, times them from go to the last exit, and
// returns the seconds taken (negative on failure); the messages they wrote
// are summed into `messages`.
double run_workers(const std::vector<Worker> &workers, long long &messages) {
  if (workers.size() > kMaxProcesses + 1) return -1;
  void *area =
      mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return -1;
  Control &control = *new (area) Control{};
  std::vector<pid_t> children;
  for (std::size_t index = 0; index < workers.size(); ++index) {
    const pid_t child = fork();
    if (child == 0) {
      long long written = -1;
      try {
        written = workers[index](control, static_cast<int>(index));
      } catch (...) {
        written = -1;
      }
      if (written < 0) control.failed.store(1);
      control.written[index].store(written < 0 ? 0 : written);
      _exit(written < 0 ? 1 : 0);
    }
    children.push_back(child);
    if (child < 0) control.failed.store(1);
  }
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (control.ready.load() < static_cast<int>(workers.size()) && control.failed.load() == 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  const auto start = std::chrono::steady_clock::now();
  control.go.store(1);
  std::this_thread::sleep_for(kRunTime);
  control.stop.store(1);
  while (!all_stopped(children)) {
    for (pid_t &child : children) {
      int status = 0;
      if (child > 0 && waitpid(child, &status, WNOHANG) == child) {
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) control.failed.store(1);
        child = 0;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      for (pid_t &child : children)
        if (child > 0) kill(child, SIGKILL);
      control.failed.store(1);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  messages = 0;
  for (std::size_t index = 0; index < workers.size(); ++index)
    messages += control.written[index].load();
  const bool failed = control.failed.load() != 0;
  munmap(area, sizeof(Control));
  return failed ? -1 : seconds;
}

void wait_for_go(Control &control) {
  control.ready.fetch_add(1);
  while (control.go.load() == 0) std::this_thread::yield();
}

void run(benchmark::State &state, const std::vector<Worker> &workers) {
  long long total = 0;
  for (auto _ : state) {
    long long messages = 0;
    const double seconds = run_workers(workers, messages);
    if (seconds < 0) {
      state.SkipWithError("a writer process failed");
      break;
    }
    state.SetIterationTime(seconds);
    total += messages;
  }
  state.SetItemsProcessed(total);
}

// ---- rotolog ---------------------------------------------------------------

void rotolog_processes(benchmark::State &state, int size, int processes) {
  const std::string message = bench::make_message(size);
  const std::string path = bench::scratch_path("shared-cyclic");
  int status = 0;
  void *file = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_WRITE, kFileRing, &status);
  if (file == nullptr) return state.SkipWithError("cyclic_file_create_handle failed");
  for (int i = 0; i < kFileRing / (size + 4) + 1; ++i)
    cyclic_file_write(file, message.data(), size);
  cyclic_file_destroy_handle(file);
  const Worker writer = [&](Control &control, int) -> long long {
    int child_status = 0;
    void *handle =
        cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_WRITE, kFileRing, &child_status);
    if (handle == nullptr) return -1;
    wait_for_go(control);
    long long written = 0;
    while (control.stop.load(std::memory_order_relaxed) == 0) {
      if (cyclic_file_write(handle, message.data(), size) != CYCLIC_FILE_OK) return -1;
      ++written;
    }
    cyclic_file_destroy_handle(handle);
    return written;
  };
  run(state, std::vector<Worker>(static_cast<std::size_t>(processes), writer));
}

// ---- write(2) with O_APPEND ----------------------------------------------------

void write_append_processes(benchmark::State &state, int size, int processes) {
  const std::string message = bench::make_message(size);
  const std::string path = bench::scratch_path("shared-append");
  const Worker writer = [&](Control &control, int) -> long long {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    wait_for_go(control);
    long long written = 0;
    long long appended = 0;
    while (control.stop.load(std::memory_order_relaxed) == 0) {
      if (write(fd, message.data(), message.size()) != static_cast<ssize_t>(message.size()))
        return -1;
      ++written;
      appended += size;
      if (appended >= kAppendLimit / processes) {
        if (ftruncate(fd, 0) != 0) return -1;
        appended = 0;
      }
    }
    close(fd);
    return written;
  };
  run(state, std::vector<Worker>(static_cast<std::size_t>(processes), writer));
  unlink(path.c_str());
}

// ---- Boost.Interprocess message_queue ----------------------------------------------

void boost_queue_processes(benchmark::State &state, int size, int processes) {
  namespace ipc = boost::interprocess;
  const std::string message = bench::make_message(size);
  const std::string name = "rotolog-bench-mq-" + std::to_string(getpid());
  ipc::message_queue::remove(name.c_str());
  std::vector<Worker> workers;
  // The receiver counts what arrives; every sender ends with an empty message.
  workers.push_back([&](Control &control, int) -> long long {
    ipc::message_queue queue(ipc::open_only, name.c_str());
    std::vector<char> received(static_cast<std::size_t>(size));
    wait_for_go(control);
    long long messages = 0;
    for (int senders_left = processes; senders_left > 0;) {
      ipc::message_queue::size_type received_size = 0;
      unsigned int priority = 0;
      queue.receive(received.data(), received.size(), received_size, priority);
      if (received_size == 0)
        --senders_left;
      else
        ++messages;
    }
    return messages;
  });
  for (int sender = 0; sender < processes; ++sender) {
    workers.push_back([&](Control &control, int) -> long long {
      ipc::message_queue queue(ipc::open_only, name.c_str());
      wait_for_go(control);
      while (control.stop.load(std::memory_order_relaxed) == 0)
        queue.send(message.data(), message.size(), 0);
      queue.send(message.data(), 0, 0);
      return 0;
    });
  }
  {
    ipc::message_queue queue(ipc::create_only, name.c_str(), bench::kRingMessages,
                             static_cast<std::size_t>(size));
    run(state, workers);
  }
  ipc::message_queue::remove(name.c_str());
}

const bool registered = [] {
  for (const int size : {bench::kSmallMessage, bench::kLargeMessage}) {
    for (const int processes : {1, 2, 4}) {
      using bench::result_name;
      benchmark::RegisterBenchmark(result_name(kProcesses, "rotolog", size, processes).c_str(),
                                   rotolog_processes, size, processes)
          ->UseManualTime()
          ->Iterations(3);
      benchmark::RegisterBenchmark(result_name(kProcesses, "write_append", size, processes).c_str(),
                                   write_append_processes, size, processes)
          ->UseManualTime()
          ->Iterations(3);
      benchmark::RegisterBenchmark(
          result_name(kProcesses, "boost_message_queue", size, processes).c_str(),
          boost_queue_processes, size, processes)
          ->UseManualTime()
          ->Iterations(3);
    }
  }
  return true;
}();

}  // namespace
