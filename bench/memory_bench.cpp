// In-memory rings, one thread, about 4096 messages: rotolog's cyclic buffer
// against boost::circular_buffer<std::string> and spdlog's ring buffer sink,
// with the floor of one memcpy of the message under one private mutex pair.
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <boost/circular_buffer.hpp>

#include <rotolog/cyclic_buffer.h>

#include "bench_support.h"

namespace {

constexpr const char *kWrite = "memory_write";
constexpr const char *kWriteRead = "memory_write_read";

// ---- rotolog ---------------------------------------------------------------

// A full eviction-mode buffer sized for kRingMessages records of this size.
void *full_rotolog_ring(const std::string &message) {
  const int size = static_cast<int>(message.size());
  void *ring = cyclic_buffer_create_handle(bench::kRingMessages * (size + 4));
  for (int i = 0; ring != nullptr && i < bench::kRingMessages; ++i)
    cyclic_buffer_write_message(ring, message.data(), size);
  return ring;
}

void rotolog_write(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  void *ring = full_rotolog_ring(message);
  if (ring == nullptr) return state.SkipWithError("cyclic_buffer_create_handle failed");
  for (auto _ : state) {
    if (cyclic_buffer_write_message(ring, message.data(), size) != CYCLIC_BUFFER_OK) {
      state.SkipWithError("cyclic_buffer_write_message failed");
      break;
    }
  }
  bench::count_messages(state, 1);
  cyclic_buffer_destroy_handle(ring);
}

void rotolog_write_read(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  void *ring = full_rotolog_ring(message);
  if (ring == nullptr) return state.SkipWithError("cyclic_buffer_create_handle failed");
  for (auto _ : state) {
    char *data = nullptr;
    int length = 0;
    if (cyclic_buffer_write_message(ring, message.data(), size) != CYCLIC_BUFFER_OK ||
        cyclic_buffer_read_message(ring, &data, &length) != CYCLIC_BUFFER_OK) {
      state.SkipWithError("cyclic_buffer write or read failed");
      break;
    }
    benchmark::DoNotOptimize(data);
    benchmark::DoNotOptimize(length);
  }
  bench::count_messages(state, 1);
  cyclic_buffer_destroy_handle(ring);
}

// ---- boost::circular_buffer<std::string> ------------------------------------

boost::circular_buffer<std::string> full_boost_ring(const std::string &message) {
  boost::circular_buffer<std::string> ring(bench::kRingMessages);
  for (int i = 0; i < bench::kRingMessages; ++i) ring.push_back(message);
  return ring;
}

// The caller holds (data, length), as a logging call does: a new string per
// message, moved into the slot of the dropped one.
void boost_push_new_string(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  auto ring = full_boost_ring(message);
  const char *data = message.data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(data);
    ring.push_back(std::string(data, static_cast<std::size_t>(size)));
  }
  bench::count_messages(state, 1);
}

// The caller already holds a std::string: the full ring copy-assigns it into
// the dropped string, whose capacity is reused (no allocation).
void boost_push_copy(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  auto ring = full_boost_ring(message);
  for (auto _ : state) {
    ring.push_back(message);
    benchmark::ClobberMemory();
  }
  bench::count_messages(state, 1);
}

void boost_push_pop(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  auto ring = full_boost_ring(message);
  for (auto _ : state) {
    ring.push_back(message);
    const std::string &oldest = ring.front();
    benchmark::DoNotOptimize(oldest.data());
    ring.pop_front();
  }
  bench::count_messages(state, 1);
}

// ---- spdlog ringbuffer_sink_mt ----------------------------------------------

std::unique_ptr<spdlog::logger> ring_logger(
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink) {
  auto logger = std::make_unique<spdlog::logger>("bench", std::move(sink));
  logger->set_formatter(
      std::make_unique<spdlog::pattern_formatter>("%v", spdlog::pattern_time_type::local, ""));
  return logger;
}

void spdlog_ringbuffer(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  const spdlog::string_view_t text(message.data(), message.size());
  auto logger =
      ring_logger(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(bench::kRingMessages));
  for (int i = 0; i < bench::kRingMessages; ++i) logger->info(text);
  for (auto _ : state) logger->info(text);
  bench::count_messages(state, 1);
}

// ---- the floor ---------------------------------------------------------------

void limit_memcpy_mutex(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  std::vector<char> slots(static_cast<std::size_t>(bench::kRingMessages) *
                          static_cast<std::size_t>(size));
  std::mutex guard;
  std::size_t slot = 0;
  for (auto _ : state) {
    std::lock_guard<std::mutex> hold(guard);
    std::memcpy(slots.data() + slot * static_cast<std::size_t>(size), message.data(),
                message.size());
    slot = (slot + 1) % bench::kRingMessages;
    benchmark::ClobberMemory();
  }
  bench::count_messages(state, 1);
}

const bool registered = [] {
  for (const int size : {bench::kSmallMessage, bench::kLargeMessage}) {
    using bench::result_name;
    bench::register_benchmark(result_name(kWrite, "rotolog", size), rotolog_write, size);
    bench::register_benchmark(result_name(kWrite, "boost_push_new_string", size),
                              boost_push_new_string, size);
    bench::register_benchmark(result_name(kWrite, "boost_push_copy", size), boost_push_copy, size);
    bench::register_benchmark(result_name(kWrite, "spdlog_ringbuffer", size), spdlog_ringbuffer,
                              size);
    bench::register_benchmark(result_name(kWrite, "limit_memcpy_mutex", size), limit_memcpy_mutex,
                              size);
    bench::register_benchmark(result_name(kWriteRead, "rotolog", size), rotolog_write_read, size);
    bench::register_benchmark(result_name(kWriteRead, "boost_push_pop", size), boost_push_pop,
                              size);
  }
  return true;
}();

}  // namespace
