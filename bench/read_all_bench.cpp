// Reading every message without consuming any: cyclic_file_read_all of a full
// 1 MiB file against spdlog's ringbuffer_sink::last_raw() and copying a
// boost::circular_buffer<std::string> into a vector, with the floor of one
// memcpy of the live bytes into a block allocated beforehand.
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

void rotolog_read_all(benchmark::State &state, int size) {
  const std::string message = bench::make_message(size);
  const std::string path = bench::scratch_path("read-all");
  int status = 0;
  void *file = cyclic_file_create_handle(
      path.c_str(), CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE, kFileRing, &status);
  if (file == nullptr) return state.SkipWithError("cyclic_file_create_handle failed");
  for (int i = 0; i < 2 * messages_in_full_ring(size); ++i)
    cyclic_file_write(file, message.data(), size);
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

const bool registered = [] {
  for (const int size : {bench::kSmallMessage, bench::kLargeMessage}) {
    using bench::result_name;
    bench::register_benchmark(result_name(kReadAll, "rotolog", size), rotolog_read_all, size);
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
