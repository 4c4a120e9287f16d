// End to end through spdlog: logger->info(text) on one spdlog::logger with
// spdlog's default pattern, into rotolog's cyclic file sink and into spdlog's
// own basic_file_sink_mt, rotating_file_sink_mt and ringbuffer_sink_mt. Only
// the sink differs, so the ratios are what a program sees when it changes the
// one line that builds its logger.
#include <cstdio>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <rotolog/spdlog_sink.h>

#include "bench_support.h"

namespace {

constexpr const char *kLogger = "spdlog_logger";
constexpr int kSinkRing = 1 << 20;

// Logs `size`-byte texts through a logger on `sink` with the default pattern
// ("[time] [name] [level] text" and a newline). `warm_up` records go first, so
// that rings are full and every measured record evicts an old one.
void log_through(benchmark::State &state, int size, spdlog::sink_ptr sink, int warm_up) {
  const std::string message = bench::make_message(size);
  const spdlog::string_view_t text(message.data(), message.size());
  spdlog::logger logger("bench", std::move(sink));
  logger.set_formatter(std::make_unique<spdlog::pattern_formatter>());
  bool failed = false;
  logger.set_error_handler([&failed](const std::string &) { failed = true; });
  for (int i = 0; i < warm_up; ++i) logger.info(text);
  for (auto _ : state) logger.info(text);
  if (failed) state.SkipWithError("the sink reported an error");
  bench::count_messages(state, 1);
}

void rotolog_sink(benchmark::State &state, int size) {
  const std::string path = bench::scratch_path("spdlog-cyclic");
  {
    std::shared_ptr<rotolog::cyclic_file_sink_mt> sink;
    try {
      sink = std::make_shared<rotolog::cyclic_file_sink_mt>(path, kSinkRing);
    } catch (const spdlog::spdlog_ex &error) {
      return state.SkipWithError(error.what());
    }
    log_through(state, size, std::move(sink), kSinkRing / (size + 4) + 1);
  }
  std::remove(path.c_str());
}

void spdlog_basic_file(benchmark::State &state, int size) {
  const std::string path = bench::scratch_path("spdlog-basic");
  log_through(state, size, std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true), 0);
  std::remove(path.c_str());
}

void spdlog_rotating_file(benchmark::State &state, int size) {
  const std::string path = bench::scratch_path("spdlog-rotating");
  log_through(state, size,
              std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, std::size_t{16} << 20,
                                                                     std::size_t{1}, false),
              0);
  std::remove(path.c_str());
  std::remove((path + ".1").c_str());
}

void spdlog_ringbuffer(benchmark::State &state, int size) {
  log_through(state, size,
              std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(bench::kRingMessages),
              bench::kRingMessages);
}

const bool registered = [] {
  for (const int size : {bench::kSmallMessage, bench::kLargeMessage}) {
    using bench::result_name;
    bench::register_benchmark(result_name(kLogger, "rotolog_sink", size), rotolog_sink, size);
    bench::register_benchmark(result_name(kLogger, "spdlog_basic_file", size), spdlog_basic_file,
                              size);
    bench::register_benchmark(result_name(kLogger, "spdlog_rotating_file", size),
                              spdlog_rotating_file, size);
    bench::register_benchmark(result_name(kLogger, "spdlog_ringbuffer", size), spdlog_ringbuffer,
                              size);
  }
  return true;
}();

}  // namespace
