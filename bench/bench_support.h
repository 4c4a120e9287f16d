// Shared pieces of the benchmarks: the messages every contender writes, the
// scratch directory for files, and the names under which results are
// reported (the report script groups and compares by these names).
#ifndef ROTOLOG_BENCH_SUPPORT_H
#define ROTOLOG_BENCH_SUPPORT_H

#include <cstddef>
#include <string>

#include <benchmark/benchmark.h>

namespace bench {

// The two message sizes measured everywhere.
constexpr int kSmallMessage = 64;
constexpr int kLargeMessage = 1024;

// In-memory rings hold about this many messages.
constexpr int kRingMessages = 4096;

// A log-like line of exactly `size` bytes, the same for every contender:
// "req 00001234 worker 03 status ok " followed by filler letters.
std::string make_message(int size);

// The values that make_message formats, for the formatted writes: the
// format "req %08d worker %02d status %s %.*s" with these arguments gives
// exactly make_message(size).
struct MessageParts {
  int request;
  int worker;
  const char *status;
  int filler_length;
  std::string filler;
};
MessageParts message_parts(int size);
constexpr const char *kMessageFormat = "req %08d worker %02d status %s %.*s";

// A directory for the benchmark files, made once per run under the system's
// temporary directory (TMPDIR) and removed with its contents at exit.
const std::string &scratch_directory();

// A fresh path inside scratch_directory(); the file does not exist yet.
std::string scratch_path(const std::string &stem);

// Result names are "<measurement>/<contender>/<bytes>[/procs:<n>]".
// Contenders named "rotolog..." are ours, "limit..." are the lower bounds, and
// everything else is a peer.
std::string result_name(const char *measurement, const char *contender, int message_size,
                        int processes = 0);

// Registers a single-process benchmark timed by the wall clock, which is
// what a caller waiting on I/O or a lock experiences.
template <typename Function, typename... Arguments>
benchmark::internal::Benchmark *register_benchmark(const std::string &name, Function function,
                                                   Arguments... arguments) {
  return benchmark::RegisterBenchmark(name.c_str(), function, arguments...)->UseRealTime();
}

// Every result reports messages per second as items per second.
void count_messages(benchmark::State &state, long long messages_per_iteration);

}  // namespace bench

#endif
