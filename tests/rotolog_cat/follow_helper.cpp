// The writer and the checker of the follow tests (follow_test.cpp and
// check_rsyslog_route.sh):
//   follow_helper append FILE WRITER COUNT [PAUSE_US [RING_BYTES]]
//     appends COUNT self-checking messages of writer WRITER (0 to 9) to FILE,
//     creating it with a ring of RING_BYTES (default 1 MiB) when missing;
//   follow_helper check WRITERS COUNT < LINES
//     reads lines that each hold one message in a JSON "text" member (as
//     rotolog-cat --json prints them, or as a log file stores them) and checks
//     that every writer's COUNT messages are there exactly once, in order.
#include <time.h>
#include "rotolog/cyclic_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "follow_messages.h"
#include "support/cyclic_file_fixture.h"

namespace {

int append(const char *path, int writer, long count, long pause_us, int ring) {
  int status = 0;
  void *file = cyclic_file_create_handle(path, test_support::kReadWrite, ring, &status);
  if (file == nullptr) {
    std::fprintf(stderr, "follow_helper: %s: %s\n", path, cyclic_file_get_error_string(status));
    return 1;
  }
  int failures = 0;
  for (long i = 0; i < count; ++i) {
    if (test_support::write_message(file, follow_test::writer_message(writer, i)) != 0) ++failures;
    if (pause_us > 0) {
      timespec pause{pause_us / 1000000, (pause_us % 1000000) * 1000};
      nanosleep(&pause, nullptr);
    }
  }
  cyclic_file_destroy_handle(file);
  return failures == 0 ? 0 : 1;
}

int check(int writers, long count) {
  std::vector<std::string> lines;
  for (std::string line; std::getline(std::cin, line);) lines.push_back(line);
  const follow_test::Delivery delivery = follow_test::check_delivery(lines, writers);
  for (int writer = 0; writer < writers; ++writer) {
    if (delivery.next[static_cast<std::size_t>(writer)] != count) {
      std::fprintf(stderr, "follow_helper: writer %d: %ld of %ld messages arrived\n", writer,
                   delivery.next[static_cast<std::size_t>(writer)], count);
      return 1;
    }
  }
  if (!delivery.problems.empty()) {
    std::fprintf(stderr, "follow_helper: %s\n", delivery.problems.c_str());
    return 1;
  }
  std::printf("follow_helper: %d writers x %ld messages arrived exactly once, in order\n", writers,
              count);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 5 && std::strcmp(argv[1], "append") == 0)
    return append(argv[2], std::atoi(argv[3]), std::atol(argv[4]),
                  argc > 5 ? std::atol(argv[5]) : 0, argc > 6 ? std::atoi(argv[6]) : 1 << 20);
  if (argc == 4 && std::strcmp(argv[1], "check") == 0)
    return check(std::atoi(argv[2]), std::atol(argv[3]));
  std::fprintf(stderr,
               "usage: follow_helper append FILE WRITER COUNT [PAUSE_US [RING_BYTES]]\n"
               "       follow_helper check WRITERS COUNT < LINES\n");
  return 2;
}
