// Writes that reach the disk: cyclic_file_write in flush mode on files of
// 64 KiB and 64 MiB against pwrite + fdatasync of the same bytes into a file
// of the same size.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <benchmark/benchmark.h>

#include <rotolog/cyclic_file.h>

#include "bench_support.h"

namespace {

struct FileSize {
  const char *measurement;
  int bytes;
};
constexpr FileSize kSmallFile{"flush_64KiB", 64 << 10};
constexpr FileSize kLargeFile{"flush_64MiB", 64 << 20};

void rotolog_flush_write(benchmark::State &state, int size, int file_bytes) {
  const std::string message = bench::make_message(size);
  int status = 0;
  void *file = cyclic_file_create_handle(bench::scratch_path("flushed").c_str(),
                                         CYCLIC_FILE_MODE_WRITE | CYCLIC_FILE_MODE_FLUSH,
                                         file_bytes, &status);
  if (file == nullptr) return state.SkipWithError("cyclic_file_create_handle failed");
  cyclic_file_flush(file);
  for (auto _ : state) {
    if (cyclic_file_write(file, message.data(), size) != CYCLIC_FILE_OK) {
      state.SkipWithError("cyclic_file_write failed");
      break;
    }
  }
  bench::count_messages(state, 1);
  cyclic_file_destroy_handle(file);
}

void pwrite_fdatasync(benchmark::State &state, int size, int file_bytes) {
  const std::string message = bench::make_message(size);
  const std::string path = bench::scratch_path("pwrite");
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return state.SkipWithError("open failed");
  if (posix_fallocate(fd, 0, file_bytes) != 0 || fsync(fd) != 0) {
    close(fd);
    return state.SkipWithError("posix_fallocate failed");
  }
  off_t offset = 0;
  for (auto _ : state) {
    if (pwrite(fd, message.data(), message.size(), offset) !=
            static_cast<ssize_t>(message.size()) ||
        fdatasync(fd) != 0) {
      state.SkipWithError("pwrite or fdatasync failed");
      break;
    }
    offset += size;
    if (offset + size > file_bytes) offset = 0;
  }
  bench::count_messages(state, 1);
  close(fd);
  unlink(path.c_str());
}

// The disk is the noisiest part of the machine: more repetitions here.
constexpr int kRepetitions = 9;

const bool registered = [] {
  for (const FileSize file : {kSmallFile, kLargeFile}) {
    for (const int size : {bench::kSmallMessage, bench::kLargeMessage}) {
      using bench::result_name;
      bench::register_benchmark(result_name(file.measurement, "rotolog_flush", size),
                                rotolog_flush_write, size, file.bytes)
          ->MinTime(0.2)
          ->Repetitions(kRepetitions);
      bench::register_benchmark(result_name(file.measurement, "pwrite_fdatasync", size),
                                pwrite_fdatasync, size, file.bytes)
          ->MinTime(0.2)
          ->Repetitions(kRepetitions);
    }
  }
  return true;
}();

}  // namespace
