// What opening a cyclic file costs: cyclic_file_create_handle followed by
// cyclic_file_destroy_handle, timed by the wall clock, for an existing file
// that no other handle has open, for one that another handle keeps open, and
// for a missing file (created, then removed again). Prints the median and the
// fastest of 7 rounds in microseconds per open.
//
//   rotolog_open_bench [DIRECTORY]   (default: a new folder under TMPDIR or /tmp)
//
// Opening is dominated by mapping and unmapping the file, whose cost varies
// with where the mappings land: run it under `setarch -R` (no address space
// randomisation) to compare builds.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <rotolog/cyclic_file.h>

namespace {

constexpr int kRounds = 7;
constexpr int kRing = 1 << 20;
constexpr int kMode = CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE;

double clock_us(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Removes the file and whatever the library keeps beside it.
void remove_cyclic_file(const std::string &path) {
  unlink(path.c_str());
  unlink((path + "-lock").c_str());
}

bool open_and_close(const std::string &path) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), kMode, kRing, &status);
  if (handle == nullptr) {
    std::fprintf(stderr, "rotolog_open_bench: %s: %s\n", path.c_str(),
                 cyclic_file_get_error_string(status));
    return false;
  }
  cyclic_file_destroy_handle(handle);
  return true;
}

// Runs `opens` opens per round and prints the median and the best round, by
// the wall clock and by the CPU time of this process (which other programs
// on a busy machine disturb less).
template <typename Open>
bool measure(const char *what, int opens, Open open) {
  std::vector<double> wall, cpu;
  for (int round = 0; round < kRounds; ++round) {
    double wall_started = clock_us(CLOCK_MONOTONIC);
    double cpu_started = clock_us(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < opens; ++i)
      if (!open()) return false;
    cpu.push_back((clock_us(CLOCK_PROCESS_CPUTIME_ID) - cpu_started) / opens);
    wall.push_back((clock_us(CLOCK_MONOTONIC) - wall_started) / opens);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  std::printf("%-46s wall median %8.1f best %8.1f us; CPU median %8.1f best %8.1f us\n", what,
              wall[wall.size() / 2], wall.front(), cpu[cpu.size() / 2], cpu.front());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  std::string directory;
  bool own_directory = argc < 2;
  if (own_directory) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/rotolog-open-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
      std::perror("rotolog_open_bench: mkdtemp");
      return 2;
    }
    directory = name.data();
  } else {
    directory = argv[1];
  }
  const std::string existing = directory + "/existing.cyclic";
  const std::string created = directory + "/created.cyclic";
  std::printf("rotolog_open_bench: files in %s, ring %d bytes\n", directory.c_str(), kRing);

  bool ok = open_and_close(existing) && measure("open an existing file, no other handle", 2000,
                                                [&] { return open_and_close(existing); });
  int status = 0;
  void *keeper = ok ? cyclic_file_create_handle(existing.c_str(), kMode, kRing, &status) : nullptr;
  ok = ok && keeper != nullptr &&
       measure("open an existing file another handle has open", 2000,
               [&] { return open_and_close(existing); });
  cyclic_file_destroy_handle(keeper);
  ok = ok && measure("create a new file (then remove it)", 50, [&] {
         bool opened = open_and_close(created);
         remove_cyclic_file(created);
         return opened;
       });

  remove_cyclic_file(existing);
  remove_cyclic_file(created);
  if (own_directory) rmdir(directory.c_str());
  return ok ? 0 : 1;
}
