// One process appending to a file without flushing: cyclic_file_write and
// cyclic_file_fwritef against write(2) with O_APPEND, spdlog's file sinks and
// a Boost.Interprocess message_queue, with the floor of one robust
// process-shared mutex pair, one private mutex pair and the memcpy.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <boost/interprocess/ipc/message_queue.hpp>

#include <rotolog/cyclic_file.h>

#include "bench_support.h"

namespace {

constexpr const char *kFileWrite = "file_write";
constexpr int kFileRing = 1 << 20;
// Appended files are cut back to empty after this many bytes, so that a run
// does not fill the disk; the rare ftruncate is part of the measured cost.
constexpr long long kAppendLimit = 64LL << 20;

// ---- rotolog ---------------------------------------------------------------

void *full_cyclic_file(const std::string &message) {
  int status = 0;
  void *file =
      cyclic_file_create_handle(bench::scratch_path("cyclic").c_str(),
                                CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE, kFileRing, &status);
  const int size = static_cast<int>(message.size());
  for (int i = 0; file != nullptr && i < kFileRing / (size + 4) + 1; ++i)
    cyclic_file_write(file, message.data(), size);
  return file;
}

void rotolog_write(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  void *file = full_cyclic_file(message);
  if (file == nullptr) return state.SkipWithError("cyclic_file_create_handle failed");
  for (auto _ : state) {
    if (cyclic_file_write(file, message.data(), size) != CYCLIC_FILE_OK) {
      state.SkipWithError("cyclic_file_write failed");
      break;
    }
  }
  bench::count_messages(state, 1);
  cyclic_file_destroy_handle(file);
}

// An entry of the same text: the head, its checksum and the time under the
// lock on top of the plain write.
void rotolog_write_entry(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  void *file = full_cyclic_file(message);
  if (file == nullptr) return state.SkipWithError("cyclic_file_create_handle failed");
  for (auto _ : state) {
    if (cyclic_file_write_entry(file, CYCLIC_FILE_LEVEL_INFO, message.data(), size) !=
        CYCLIC_FILE_OK) {
      state.SkipWithError("cyclic_file_write_entry failed");
      break;
    }
  }
  bench::count_messages(state, 1);
  cyclic_file_destroy_handle(file);
}

void rotolog_fwritef(benchmark::State &state, int size) {
  const bench::MessageParts parts = bench::message_parts(size);
  void *file = full_cyclic_file(bench::make_message(size));
  if (file == nullptr) return state.SkipWithError("cyclic_file_create_handle failed");
  for (auto _ : state) {
    if (cyclic_file_fwritef(file, bench::kMessageFormat, parts.request, parts.worker, parts.status,
                            parts.filler_length, parts.filler.c_str()) != CYCLIC_FILE_OK) {
      state.SkipWithError("cyclic_file_fwritef failed");
      break;
    }
  }
  bench::count_messages(state, 1);
  cyclic_file_destroy_handle(file);
}

// ---- write(2) with O_APPEND ----------------------------------------------------

void write_append(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  const std::string path = bench::scratch_path("append");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return state.SkipWithError("open failed");
  long long appended = 0;
  for (auto _ : state) {
    if (write(fd, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
      state.SkipWithError("write failed");
      break;
    }
    appended += size;
    if (appended >= kAppendLimit) {
      if (ftruncate(fd, 0) != 0) state.SkipWithError("ftruncate failed");
      appended = 0;
    }
  }
  bench::count_messages(state, 1);
  close(fd);
  unlink(path.c_str());
}

// ---- spdlog file sinks ---------------------------------------------------------

void use_message_pattern(spdlog::logger &logger) {
  logger.set_formatter(
      std::make_unique<spdlog::pattern_formatter>("%v", spdlog::pattern_time_type::local, ""));
}

template <typename Sink, typename... SinkArguments>
void spdlog_file(benchmark::State &state, int size, bool formatted, const std::string &path,
                 SinkArguments... sink_arguments) {
  const std::string message = bench::make_message(size);
  const bench::MessageParts parts = bench::message_parts(size);
  {
    spdlog::logger logger("bench", std::make_shared<Sink>(path, sink_arguments...));
    use_message_pattern(logger);
    if (formatted) {
      const spdlog::string_view_t filler(parts.filler.data(), parts.filler.size());
      for (auto _ : state)
        logger.info("req {:08d} worker {:02d} status {} {}", parts.request, parts.worker,
                    parts.status, filler);
    } else {
      const spdlog::string_view_t text(message.data(), message.size());
      for (auto _ : state) logger.info(text);
    }
  }
  bench::count_messages(state, 1);
  std::remove(path.c_str());
}

void spdlog_basic_file(benchmark::State &state, int size) {
  spdlog_file<spdlog::sinks::basic_file_sink_mt>(state, size, false, bench::scratch_path("spdlog"),
                                                 true);
}

void spdlog_basic_file_formatted(benchmark::State &state, int size) {
  spdlog_file<spdlog::sinks::basic_file_sink_mt>(state, size, true, bench::scratch_path("spdlog"),
                                                 true);
}

void spdlog_rotating_file(benchmark::State &state, int size) {
  const std::string path = bench::scratch_path("spdlog-rotating");
  spdlog_file<spdlog::sinks::rotating_file_sink_mt>(state, size, false, path, std::size_t{16} << 20,
                                                    std::size_t{1}, false);
  std::remove((path + ".1").c_str());
}

// ---- Boost.Interprocess message_queue ----------------------------------------------

void boost_message_queue(benchmark::State &state, int size) {
  namespace ipc = boost::interprocess;
  const std::string message = bench::make_message(size);
  const std::string name = "rotolog-bench-" + std::to_string(getpid()) + "-" + std::to_string(size);
  ipc::message_queue::remove(name.c_str());
  {
    ipc::message_queue queue(ipc::create_only, name.c_str(), bench::kRingMessages,
                             static_cast<std::size_t>(size));
    std::vector<char> received(static_cast<std::size_t>(size));
    for (auto _ : state) {
      ipc::message_queue::size_type received_size = 0;
      unsigned int priority = 0;
      queue.send(message.data(), message.size(), 0);
      queue.receive(received.data(), received.size(), received_size, priority);
      benchmark::DoNotOptimize(received_size);
    }
  }
  ipc::message_queue::remove(name.c_str());
  bench::count_messages(state, 1);
}

// ---- the floor ---------------------------------------------------------------------

void limit_locks_memcpy(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  void *shared = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return state.SkipWithError("mmap failed");
  auto *interprocess = static_cast<pthread_mutex_t *>(shared);
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(interprocess, &attributes);
  pthread_mutexattr_destroy(&attributes);
  std::mutex in_process;
  std::vector<char> ring(kFileRing);
  std::size_t offset = 0;
  for (auto _ : state) {
    std::lock_guard<std::mutex> hold(in_process);
    pthread_mutex_lock(interprocess);
    std::memcpy(ring.data() + offset, message.data(), message.size());
    offset = offset + message.size() + message.size() > ring.size() ? 0 : offset + message.size();
    pthread_mutex_unlock(interprocess);
  }
  bench::count_messages(state, 1);
  pthread_mutex_destroy(interprocess);
  munmap(shared, sizeof(pthread_mutex_t));
}

const bool registered = [] {
  for (const int size : {bench::kSmallMessage, bench::kLargeMessage}) {
    using bench::result_name;
    bench::register_benchmark(result_name(kFileWrite, "rotolog_write", size), rotolog_write, size);
    bench::register_benchmark(result_name(kFileWrite, "rotolog_write_entry", size),
                              rotolog_write_entry, size);
    bench::register_benchmark(result_name(kFileWrite, "rotolog_fwritef", size), rotolog_fwritef,
                              size);
    bench::register_benchmark(result_name(kFileWrite, "write_append", size), write_append, size);
    bench::register_benchmark(result_name(kFileWrite, "spdlog_basic_file", size), spdlog_basic_file,
                              size);
    bench::register_benchmark(result_name(kFileWrite, "spdlog_basic_file_formatted", size),
                              spdlog_basic_file_formatted, size);
    bench::register_benchmark(result_name(kFileWrite, "spdlog_rotating_file", size),
                              spdlog_rotating_file, size);
    bench::register_benchmark(result_name(kFileWrite, "boost_message_queue", size),
                              boost_message_queue, size);
    bench::register_benchmark(result_name(kFileWrite, "limit_locks_memcpy", size),
                              limit_locks_memcpy, size);
  }
  return true;
}();

}  // namespace
