// Kill-loop stress of one shared cyclic file: writer processes append
// self-checking messages while the parent SIGKILLs one of them at a random
// moment, again and again, starting a new writer each time. After every kill
// the parent times how long it takes to get the lock itself (by writing a
// message) and checks that the file reads back as whole, valid messages, each
// writer's in increasing sequence with none lost in the middle. It fails on a
// lost, torn or out-of-order message and on a hang; the takeover times are
// figures, which a loaded machine stretches without any fault of the library.
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>
#include "rotolog/cyclic_file.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "rotolog/platform/test_seams.h"
#include "rotolog/platform/vandrel.h"
#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"

namespace {

// ---------------------------------------------------------------------------
// Options

constexpr int kMaxWriters = 64;

struct Options {
  long kills = 200;
  double seconds = 0;  // 0: no time limit
  int writers = 4;
  int ring_size = 2048;
  unsigned seed = 0;  // 0: from the clock
  std::string file;   // empty: a private temporary directory
};

void usage() {
  std::fprintf(stderr,
               "usage: rotolog_stress [--kills N] [--seconds S] [--writers N] [--ring BYTES]\n"
               "                      [--seed N] [--file PATH]\n"
               "Stops after N kills or S seconds, whichever comes first. Exit status 0 when\n"
               "every message read back was whole and in order; 4 when a kill left the\n"
               "file's lock or its reading stuck for 10 s.\n");
}

bool parse_options(int argc, char **argv, Options *options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (i + 1 >= argc) return false;
    const char *value = argv[++i];
    if (name == "--kills") {
      options->kills = std::atol(value);
    } else if (name == "--seconds") {
      options->seconds = std::atof(value);
    } else if (name == "--writers") {
      options->writers = std::atoi(value);
    } else if (name == "--ring") {
      options->ring_size = std::atoi(value);
    } else if (name == "--seed") {
      options->seed = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
    } else if (name == "--file") {
      options->file = value;
    } else {
      return false;
    }
  }
  return options->kills > 0 && options->writers >= 1 && options->writers <= kMaxWriters &&
         options->ring_size >= 256;
}

// CLOCK_MONOTONIC is one clock for every process of the machine, so times
// taken in different processes compare.
int64_t now_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

using test_support::monotonic_ms;

// ---------------------------------------------------------------------------
// Messages: the test codec's, whose lengths vary so that records wrap the
// ring at every offset. read_all joins messages; the codec splits them again.

constexpr int kGenerationShift = 40;  // sequence = generation << 40 | counter

std::string stress_message(uint32_t writer, uint64_t sequence) {
  return test_support::varied_message(writer, sequence, 61);
}

// ---------------------------------------------------------------------------
// What the processes publish to each other in a shared page: when the lock was
// first taken after the last kill, and one slot per writer.

struct WriterSlot {
  // When this process first took the lock after the last kill (0: not yet).
  // Kept per process: SIGKILL lands a little after kill() returns, so the
  // victim itself may still take the lock once in between.
  std::atomic<int64_t> first_entry_ns;
  std::atomic<uint32_t> holding;  // 1 while the writer holds the interprocess lock
  std::atomic<uint32_t> refused;  // writes that did not return CYCLIC_FILE_OK
  std::atomic<uint64_t> written;
};

struct SharedPage {
  // Entries that found the previous holder dead (the library then repairs).
  std::atomic<uint64_t> owner_died;
  WriterSlot slots[kMaxWriters + 1];  // the last one is the parent's
};

SharedPage *shared = nullptr;
WriterSlot *own_slot = nullptr;

// Hooks on the seams of the interprocess lock: every process tells exactly
// when it holds the lock, when it took it first after a kill, and when it
// found the previous holder dead. The entry's hook runs once the lock is
// held, the leave's before it is released.
int on_lock_entered(const test_seam_call_t *call, void *) {
  if (call->result == VANDREL_LOCK_OWNER_DIED)
    shared->owner_died.fetch_add(1, std::memory_order_relaxed);
  if (own_slot != nullptr) {
    own_slot->holding.store(1, std::memory_order_relaxed);
    if (own_slot->first_entry_ns.load(std::memory_order_relaxed) == 0) {
      own_slot->first_entry_ns.store(now_ns(), std::memory_order_relaxed);
    }
  }
  return TEST_SEAM_PROCEED;
}

int on_lock_leaving(const test_seam_call_t *, void *) {
  if (own_slot != nullptr) own_slot->holding.store(0, std::memory_order_relaxed);
  return TEST_SEAM_PROCEED;
}

[[noreturn]] void run_writer(const Options &options, const char *path, WriterSlot *slot,
                             uint32_t writer, uint64_t generation, pid_t parent) {
  own_slot = slot;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(2);
  int status = 0;
  void *handle =
      cyclic_file_create_handle(path, CYCLIC_FILE_MODE_WRITE, options.ring_size, &status);
  if (handle == nullptr) _exit(3);
  for (uint64_t counter = 0;; ++counter) {
    int result = test_support::write_message(
        handle, stress_message(writer, generation << kGenerationShift | counter));
    if (result != CYCLIC_FILE_OK) slot->refused.fetch_add(1, std::memory_order_relaxed);
    slot->written.fetch_add(1, std::memory_order_relaxed);
  }
}

// ---------------------------------------------------------------------------
// Checking what the file holds

struct Findings {
  long reads = 0;
  long read_failures = 0;
  long messages = 0;
  long invalid = 0;       // torn, damaged or miscounted messages
  long out_of_order = 0;  // a writer's sequence not increasing
  long lost = 0;          // a gap inside one writer generation

  long faults() const { return read_failures + invalid + out_of_order + lost; }
};

void check_contents(void *handle, int writers, Findings *findings) {
  const test_support::Messages read = test_support::read_messages(handle);
  ++findings->reads;
  if (read.count < 0) {
    ++findings->read_failures;
    return;
  }
  std::vector<uint64_t> last(static_cast<size_t>(writers) + 1, 0);
  std::vector<bool> seen(last.size(), false);
  int parsed = 0;
  bool foreign = false;  // a writer that does not exist
  for (const test_support::MessageId &message : read.messages) {
    if (message.writer > static_cast<uint32_t>(writers)) {
      foreign = true;
      break;
    }
    ++parsed;
    size_t w = message.writer;
    if (seen[w]) {
      if (message.sequence <= last[w]) {
        ++findings->out_of_order;
      } else if (message.sequence >> kGenerationShift == last[w] >> kGenerationShift &&
                 message.sequence != last[w] + 1) {
        ++findings->lost;
      }
    }
    seen[w] = true;
    last[w] = message.sequence;
  }
  findings->messages += parsed;
  if (read.torn || foreign || parsed != read.count) ++findings->invalid;
}

// ---------------------------------------------------------------------------
// The kill loop

struct Figures {
  long kills = 0;
  long kills_holding_lock = 0;
  long probe_failures = 0;
  std::vector<double> takeover_ms;       // kill to the next lock entry by any process
  std::vector<double> held_takeover_ms;  // the same, for kills of a holder of the lock
  std::vector<double> probe_ms;          // kill to the return of the parent's own write
  uint64_t writes = 0;
  uint32_t refused = 0;
  double elapsed_s = 0;
};

// One line of percentiles of a set of times (sorted here).
void print_percentiles(const char *what, std::vector<double> *times) {
  std::sort(times->begin(), times->end());
  auto at = [times](double fraction) {
    if (times->empty()) return 0.0;
    return (*times)[std::min(times->size() - 1,
                             static_cast<size_t>(fraction * static_cast<double>(times->size())))];
  };
  std::printf("    %s (%zu): p50 %.3f, p90 %.3f, p99 %.3f, max %.3f\n", what, times->size(),
              at(0.50), at(0.90), at(0.99), times->empty() ? 0.0 : times->back());
}

pid_t start_writer(const Options &options, const char *path, WriterSlot *slot, uint32_t writer,
                   uint64_t generation) {
  pid_t parent = getpid();
  slot->holding.store(0);
  return test_support::start_child(
      [&]() -> int { run_writer(options, path, slot, writer, generation, parent); });
}

void on_alarm(int) {
  static const char text[] =
      "rotolog_stress: hang: the lock was not taken, or the file not read, within 10 s of a kill\n";
  ssize_t ignored = write(2, text, sizeof text - 1);
  (void)ignored;
  _exit(4);
}

int run(const Options &options, const std::string &path) {
  int status = 0;
  void *probe =
      cyclic_file_create_handle(path.c_str(), test_support::kReadWrite, options.ring_size, &status);
  if (probe == nullptr) {
    std::fprintf(stderr, "rotolog_stress: cannot create %s: %s\n", path.c_str(),
                 cyclic_file_get_error_string(status));
    return 2;
  }
  void *page =
      mmap(nullptr, sizeof(SharedPage), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return 2;
  shared = new (page) SharedPage();
  // Before any writer is forked: each inherits the hooks.
  test_seam_set_hook(TEST_SEAM_LOCK_ENTER, on_lock_entered, nullptr);
  test_seam_set_hook(TEST_SEAM_LOCK_LEAVE, on_lock_leaving, nullptr);
  WriterSlot *slots = shared->slots;
  own_slot = &slots[options.writers];  // the parent's; each writer takes its own
  signal(SIGALRM, on_alarm);

  std::mt19937 random(options.seed != 0 ? options.seed : static_cast<unsigned>(monotonic_ms()));
  std::vector<pid_t> pids(static_cast<size_t>(options.writers));
  std::vector<uint64_t> generation(pids.size(), 0);
  for (size_t w = 0; w < pids.size(); ++w)
    pids[w] = start_writer(options, path.c_str(), &slots[w], static_cast<uint32_t>(w), 0);

  Figures figures;
  Findings findings;
  const uint32_t probe_writer = static_cast<uint32_t>(options.writers);
  uint64_t probe_sequence = 0;
  const double started = monotonic_ms();
  constexpr double kProgressMs = 20e3;  // a line this often, so a long run shows it is alive
  double next_progress_ms = started + kProgressMs;
  while (figures.kills < options.kills &&
         (options.seconds <= 0 || monotonic_ms() - started < options.seconds * 1e3)) {
    size_t victim = random() % pids.size();
    timespec pause{0, static_cast<long>(random() % 2000) * 1000};  // up to 2 ms
    nanosleep(&pause, nullptr);

    for (int w = 0; w <= options.writers; ++w) slots[w].first_entry_ns.store(0);
    const int64_t killed_at = now_ns();
    test_support::stop_child(pids[victim]);
    alarm(10);
    int probe_result =
        test_support::write_message(probe, stress_message(probe_writer, probe_sequence++));
    const int64_t probe_done = now_ns();
    // The first entry by a process other than the victim; the probe's own
    // entry is there at the latest.
    int64_t first_entry = slots[options.writers].first_entry_ns.load();
    for (size_t w = 0; w < pids.size(); ++w) {
      int64_t entry = slots[w].first_entry_ns.load();
      if (w != victim && entry != 0 && entry < first_entry) first_entry = entry;
    }
    figures.takeover_ms.push_back(static_cast<double>(first_entry - killed_at) / 1e6);
    figures.probe_ms.push_back(static_cast<double>(probe_done - killed_at) / 1e6);
    ++figures.kills;
    if (probe_result != CYCLIC_FILE_OK) ++figures.probe_failures;
    if (slots[victim].holding.load() != 0) {
      ++figures.kills_holding_lock;
      figures.held_takeover_ms.push_back(figures.takeover_ms.back());
    }
    figures.writes += slots[victim].written.load();
    figures.refused += slots[victim].refused.load();
    slots[victim].written.store(0);
    slots[victim].refused.store(0);

    pids[victim] = start_writer(options, path.c_str(), &slots[victim],
                                static_cast<uint32_t>(victim), ++generation[victim]);
    check_contents(probe, options.writers, &findings);
    alarm(0);
    if (monotonic_ms() >= next_progress_ms) {
      std::printf("rotolog_stress: %ld of %ld kills after %.0f s; faults so far: %ld\n",
                  figures.kills, options.kills, (monotonic_ms() - started) / 1e3,
                  findings.faults());
      std::fflush(stdout);
      next_progress_ms += kProgressMs;
    }
  }
  for (size_t w = 0; w < pids.size(); ++w) {
    test_support::stop_child(pids[w]);
    figures.writes += slots[w].written.load();
    figures.refused += slots[w].refused.load();
  }
  check_contents(probe, options.writers, &findings);
  figures.elapsed_s = (monotonic_ms() - started) / 1e3;
  cyclic_file_destroy_handle(probe);

  std::printf("rotolog_stress: %ld kills in %.1f s (%d writers, ring %d bytes, %" PRIu64
              " writes)\n",
              figures.kills, figures.elapsed_s, options.writers, options.ring_size, figures.writes);
  std::printf(
      "  kills while the victim held the lock: %ld; entries that found the holder dead: %" PRIu64
      "\n",
      figures.kills_holding_lock, shared->owner_died.load());
  std::printf("  times in ms, figures only (a loaded machine stretches them):\n");
  print_percentiles("lock takeover, kill to the next entry by another process",
                    &figures.takeover_ms);
  print_percentiles("lock takeover after a kill of the holder", &figures.held_takeover_ms);
  print_percentiles("the parent's own write after a kill", &figures.probe_ms);
  std::printf(
      "  reads checked: %ld (%ld messages); torn or invalid: %ld; out of order: %ld; lost: %ld\n",
      findings.reads, findings.messages, findings.invalid, findings.out_of_order, findings.lost);
  std::printf("  failed reads: %ld; refused writes: %u; failed probe writes: %ld\n",
              findings.read_failures, figures.refused, figures.probe_failures);

  bool sound = findings.faults() == 0 && figures.refused == 0 && figures.probe_failures == 0;
  if (!sound) std::printf("  FAILED: the file did not read back whole and in order\n");
  return sound ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (!parse_options(argc, argv, &options)) {
    usage();
    return 2;
  }
  // Without --file, a private temporary folder, removed at the end.
  test_support::TempDir directory;
  if (directory.path().empty()) {
    std::perror("rotolog_stress: temporary folder");
    return 2;
  }
  return run(options, options.file.empty() ? directory.file("stress.cyclic") : options.file);
}
