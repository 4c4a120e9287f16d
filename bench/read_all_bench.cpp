// Reading every message without consuming any: cyclic_file_read_all of a full
// 1 MiB file against spdlog's ringbuffer_sink::last_raw() and copying a
// boost::circular_buffer<std::string> into a vector, with the floor of one
// memcpy of the live bytes into a block allocated beforehand. And the read
// of a full 64 MiB file while four writer processes append to it flat out
// (readers take no lock), beside one memcpy of 64 MiB.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <boost/circular_buffer.hpp>

#include <rotolog/cyclic_file.h>

#include "bench_support.h"

namespace {

constexpr const char *kReadAll = "read_all";
constexpr int kFileRing = 1 << 20;

// What a full ring of kFileRing bytes holds, for the peers' rings.
int messages_in_full_ring(int size) { return kFileRing / (size + 4); }

// A full ring of messages of `size` bytes: raw, or entries of that size in
// all (their checksums are checked by every read).
void *full_ring(int size, bool entries) {
  const std::string message = bench::make_message(size);
  const std::string path = bench::scratch_path(entries ? "read-entries" : "read-all");
  int status = 0;
  void *file = cyclic_file_create_handle(
      path.c_str(), CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE, kFileRing, &status);
  for (int i = 0; file != nullptr && i < 2 * messages_in_full_ring(size); ++i) {
    if (entries) {
      cyclic_file_write_entry(file, CYCLIC_FILE_LEVEL_INFO, message.data(),
                              size - CYCLIC_FILE_ENTRY_HEAD_SIZE);
    } else {
      cyclic_file_write(file, message.data(), size);
    }
  }
  return file;
}

void rotolog_read_all(benchmark::State &state, int size, bool entries) {
  void *file = full_ring(size, entries);
  if (file == nullptr) return state.SkipWithError("cyclic_file_create_handle failed");
  int messages = 0;
  for (auto _ : state) {
    char *block = nullptr;
    int length = 0;
    messages = cyclic_file_read_all(file, &block, &length);
    if (messages <= 0) {
      state.SkipWithError("cyclic_file_read_all failed");
      break;
    }
    benchmark::DoNotOptimize(block);
    cyclic_file_free_read_buffer(file, block);
  }
  bench::count_messages(state, messages);
  cyclic_file_destroy_handle(file);
}

// Message by message, with each entry's fields.
void rotolog_read_messages(benchmark::State &state, int size) {
  void *file = full_ring(size, true);
  if (file == nullptr) return state.SkipWithError("cyclic_file_create_handle failed");
  auto visit = [](const cyclic_file_message_t *message, void *context) {
    *static_cast<int64_t *>(context) += message->length + message->level;
    return 0;
  };
  int messages = 0;
  for (auto _ : state) {
    int64_t sum = 0;
    messages = cyclic_file_read_messages(file, 0, -1, visit, &sum);
    if (messages <= 0) {
      state.SkipWithError("cyclic_file_read_messages failed");
      break;
    }
    benchmark::DoNotOptimize(sum);
  }
  bench::count_messages(state, messages);
  cyclic_file_destroy_handle(file);
}

void spdlog_last_raw(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  const int messages = messages_in_full_ring(size);
  auto sink =
      std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(static_cast<std::size_t>(messages));
  spdlog::logger logger("bench", sink);
  for (int i = 0; i < 2 * messages; ++i)
    logger.info(spdlog::string_view_t(message.data(), message.size()));
  for (auto _ : state) {
    auto copy = sink->last_raw();
    benchmark::DoNotOptimize(copy.data());
  }
  bench::count_messages(state, messages);
}

void boost_copy_to_vector(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  const int messages = messages_in_full_ring(size);
  boost::circular_buffer<std::string> ring(static_cast<std::size_t>(messages));
  for (int i = 0; i < 2 * messages; ++i) ring.push_back(message);
  for (auto _ : state) {
    std::vector<std::string> copy(ring.begin(), ring.end());
    benchmark::DoNotOptimize(copy.data());
  }
  bench::count_messages(state, messages);
}

void limit_memcpy_live_bytes(benchmark::State &state, int size) {
  const int messages = messages_in_full_ring(size);
  const std::size_t live_bytes =
      static_cast<std::size_t>(messages) * static_cast<std::size_t>(size);
  std::vector<char> ring(live_bytes, 'x');
  std::vector<char> block(live_bytes);
  for (auto _ : state) {
    std::memcpy(block.data(), ring.data(), live_bytes);
    benchmark::ClobberMemory();
  }
  bench::count_messages(state, messages);
}

constexpr const char *kReadBusy = "read_64MiB_busy";
constexpr int kLargeRing = 64 << 20;
constexpr int kBusyWriters = 4;
constexpr int kBusyMessage = 300;  // the average size the writers append

// Four processes writing messages of 20 to 600 bytes until killed.
std::vector<pid_t> start_busy_writers(const std::string &path) {
  std::vector<pid_t> writers;
  for (int w = 0; w < kBusyWriters; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      int status = 0;
      void *file = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_WRITE, 0, &status);
      const std::string filler = bench::make_message(600);
      for (unsigned i = 0; file != nullptr; ++i)
        cyclic_file_write(file, filler.data(), static_cast<int>(20 + (i * 2654435761u) % 580));
      _exit(1);
    }
    writers.push_back(pid);
  }
  return writers;
}

void rotolog_read_all_under_writers(benchmark::State &state, int) {
  const std::string path = bench::scratch_path("read-all-busy");
  int status = 0;
  void *file = cyclic_file_create_handle(
      path.c_str(), CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE, kLargeRing, &status);
  if (file == nullptr) return state.SkipWithError("cyclic_file_create_handle failed");
  const std::string filler = bench::make_message(600);
  for (long long written = 0; written < 2LL * kLargeRing; written += kBusyMessage)
    cyclic_file_write(file, filler.data(), kBusyMessage);
  const std::vector<pid_t> writers = start_busy_writers(path);
  usleep(100000);
  long long messages = 0, reads = 0;
  for (auto _ : state) {
    char *block = nullptr;
    int length = 0;
    const int read = cyclic_file_read_all(file, &block, &length);
    if (read < 0) {
      state.SkipWithError("cyclic_file_read_all failed");
      break;
    }
    messages += read;
    ++reads;
    benchmark::DoNotOptimize(block);
    cyclic_file_free_read_buffer(file, block);
  }
  for (pid_t writer : writers) kill(writer, SIGKILL);
  for (pid_t writer : writers) waitpid(writer, nullptr, 0);
  // Rates in full rings: the same count per read as the memcpy's, so that
  // the ratio is one of times; the messages a read kept on average beside.
  bench::count_messages(state, kLargeRing / (kBusyMessage + 4));
  state.counters["messages_kept"] = reads > 0 ? static_cast<double>(messages) / reads : 0;
  cyclic_file_destroy_handle(file);
}

void limit_memcpy_large_ring(benchmark::State &state, int) {
  std::vector<char> ring(kLargeRing, 'x');
  std::vector<char> block(kLargeRing);
  for (auto _ : state) {
    std::memcpy(block.data(), ring.data(), ring.size());
    benchmark::ClobberMemory();
  }
  bench::count_messages(state, kLargeRing / (kBusyMessage + 4));
}

const bool registered = [] {
  using bench::result_name;
  bench::register_benchmark(result_name(kReadBusy, "rotolog", kBusyMessage),
                            rotolog_read_all_under_writers, 0)
      ->Unit(benchmark::kMillisecond);
  bench::register_benchmark(result_name(kReadBusy, "limit_memcpy", kBusyMessage),
                            limit_memcpy_large_ring, 0)
      ->Unit(benchmark::kMillisecond);
  for (const int size : {bench::kSmallMessage, bench::kLargeMessage}) {
    using bench::result_name;
    bench::register_benchmark(result_name(kReadAll, "rotolog", size), rotolog_read_all, size,
                              false);
    bench::register_benchmark(result_name(kReadAll, "rotolog_entries", size), rotolog_read_all,
                              size, true);
    bench::register_benchmark(result_name(kReadAll, "rotolog_read_messages", size),
                              rotolog_read_messages, size);
    bench::register_benchmark(result_name(kReadAll, "spdlog_last_raw", size), spdlog_last_raw,
                              size);
    bench::register_benchmark(result_name(kReadAll, "boost_copy_to_vector", size),
                              boost_copy_to_vector, size);
    bench::register_benchmark(result_name(kReadAll, "limit_memcpy", size), limit_memcpy_live_bytes,
                              size);
  }
  return true;
}();

}  // namespace
