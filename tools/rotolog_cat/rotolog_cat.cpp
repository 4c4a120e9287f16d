// rotolog-cat: prints the messages of a cyclic file, oldest first, without
// changing the file. It walks the records with the library's own ring code
// under the same locks a reader takes, so every message keeps its boundaries.
#include <cstdio>
#include <cstring>
#include <string>

#include <rotolog/cyclic_file.h>
#include "message_formats.h"
#include "rotolog/cyclic_file_handle.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUnreadable = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDamaged = 3;

enum class Format { kPlain, kHex, kJson, kStats, kVerify };

const char kUsage[] =
    "usage: rotolog-cat [--hex | --json | --stats | --verify] FILE\n"
    "Prints the messages of the rotolog cyclic file FILE, oldest first.\n"
    "A file whose header disagrees with its records (after a crash) is\n"
    "salvaged first, as every reader does; nothing else is changed.\n"
    "\n"
    "  (default)  each message as it stands, then a newline unless it ends in one\n"
    "  --hex      a hex dump of each message\n"
    "  --json     one JSON object per line: index, length, and text or base64\n"
    "  --stats    the header fields, the ring's fill level and the message sizes\n"
    "  --verify   whether the header and the records agree and, if not, what a\n"
    "             salvage would keep and drop; changes nothing\n"
    "  --help     this text\n"
    "\n"
    "FILE comes with its lock file FILE-lock beside it: to remove a cyclic\n"
    "file, remove both, while no process has it open.\n"
    "\n"
    "Exit status: 0 ok (--verify: consistent), 1 the file could not be read,\n"
    "2 usage error, 3 (--verify) damaged but salvageable.\n";

struct Walk {
  Format format;
  std::FILE *out;
  long index;
  long smallest;
  long largest;
  long long payload_bytes;
};

int visit_message(const char *data, int32_t length, void *context) {
  Walk *walk = static_cast<Walk *>(context);
  std::size_t size = static_cast<std::size_t>(length);
  switch (walk->format) {
    case Format::kPlain:
      print_plain(walk->out, data, size);
      break;
    case Format::kHex:
      print_hex(walk->out, walk->index, data, size);
      break;
    case Format::kJson:
      print_json(walk->out, walk->index, data, size);
      break;
    case Format::kStats:
    case Format::kVerify:
      break;
  }
  if (walk->index == 0 || length < walk->smallest) walk->smallest = length;
  if (walk->index == 0 || length > walk->largest) walk->largest = length;
  walk->payload_bytes += length;
  ++walk->index;
  return 0;
}

// Bytes the ring's records take between the read and the write position,
// counting the tail skipped before the ring's end when the records wrap.
long long used_bytes(const CCyclicFile &file) {
  if (file.message_count == 0) return 0;
  long long read_offset = file.read_pos - file.ring_start;
  long long write_offset = file.write_pos - file.ring_start;
  if (write_offset > read_offset) return write_offset - read_offset;
  return file.buffer_size - read_offset + write_offset;
}

void print_stats(std::FILE *out, const char *path, const CCyclicFile &file, const Walk &walk) {
  long long used = used_bytes(file);
  std::fprintf(out, "file:           %s\n", path);
  std::fprintf(out, "header length:  %d bytes\n", file.header_length);
  std::fprintf(out, "buffer size:    %d bytes\n", file.buffer_size);
  std::fprintf(out, "message count:  %d\n", file.message_count);
  std::fprintf(out, "wasted tail:    %d bytes\n", file.wasted_tail);
  std::fprintf(out, "write offset:   %ld\n", static_cast<long>(file.write_pos - file.ring_start));
  std::fprintf(out, "read offset:    %ld\n", static_cast<long>(file.read_pos - file.ring_start));
  std::fprintf(out, "used:           %lld of %d bytes (%.1f%%)\n", used, file.buffer_size,
               file.buffer_size > 0 ? 100.0 * static_cast<double>(used) / file.buffer_size : 0.0);
  std::fprintf(out, "messages:       %ld\n", walk.index);
  std::fprintf(out, "payload bytes:  %lld\n", walk.payload_bytes);
  if (walk.index > 0) {
    std::fprintf(out, "message sizes:  %ld to %ld bytes\n", walk.smallest, walk.largest);
  } else {
    std::fprintf(out, "message sizes:  -\n");
  }
}

// Reports whether the header and the records agree, and what a salvage would
// keep and drop.
int verify(const char *path, CCyclicFile *file) {
  CCyclicFile::SalvagePlan plan;
  int result = file->verify(&plan);
  if (result != 0) {
    std::fprintf(stderr, "rotolog-cat: %s: %s\n", path, cyclic_file_get_error_string(result));
    return kExitUnreadable;
  }
  if (plan.consistent) {
    std::printf("%s: consistent: %d messages, %lld of %d bytes used\n", path, plan.header_count,
                static_cast<long long>(plan.header_span), file->buffer_size);
    return kExitOk;
  }
  int dropped = plan.header_count > plan.kept_count ? plan.header_count - plan.kept_count : 0;
  std::printf("%s: damaged: the header counts %d messages in %lld bytes; a salvage keeps %d "
              "messages (%lld bytes, %lld of payload) and drops %d messages (%lld bytes)\n",
              path, plan.header_count, static_cast<long long>(plan.header_span), plan.kept_count,
              static_cast<long long>(plan.kept_span), static_cast<long long>(plan.kept_payload), dropped,
              static_cast<long long>(plan.header_span - plan.kept_span));
  return kExitDamaged;
}

int usage_error(const char *problem) {
  std::fprintf(stderr, "rotolog-cat: %s\n%s", problem, kUsage);
  return kExitUsage;
}

}  // namespace

int main(int argc, char **argv) {
  Format format = Format::kPlain;
  bool format_given = false;
  const char *path = nullptr;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (!options_done && std::strcmp(arg, "--help") == 0) {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (!options_done && std::strcmp(arg, "--") == 0) {
      options_done = true;
      continue;
    }
    if (!options_done && arg[0] == '-' && arg[1] != '\0') {
      Format chosen;
      if (std::strcmp(arg, "--hex") == 0) {
        chosen = Format::kHex;
      } else if (std::strcmp(arg, "--json") == 0) {
        chosen = Format::kJson;
      } else if (std::strcmp(arg, "--stats") == 0) {
        chosen = Format::kStats;
      } else if (std::strcmp(arg, "--verify") == 0) {
        chosen = Format::kVerify;
      } else {
        return usage_error((std::string("unknown option ") + arg).c_str());
      }
      if (format_given && chosen != format)
        return usage_error("choose one of --hex, --json, --stats, --verify");
      format = chosen;
      format_given = true;
      continue;
    }
    if (path != nullptr) return usage_error("one file at a time");
    path = arg;
  }
  if (path == nullptr) return usage_error("no file given");

  // Must exist and is opened for reading only: the tool never creates a file.
  int status = CYCLIC_FILE_OK;
  void *handle = cyclic_file_create_handle(
      path, CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_MUST_EXIST, 0, &status);
  if (handle == nullptr) {
    std::fprintf(stderr, "rotolog-cat: %s: %s\n", path, cyclic_file_get_error_string(status));
    return kExitUnreadable;
  }
  CCyclicFile *file = static_cast<CCyclicFile *>(handle);
  if (format == Format::kVerify) {
    int verdict = verify(path, file);
    cyclic_file_destroy_handle(handle);
    return verdict;
  }
  Walk walk{format, stdout, 0, 0, 0, 0};
  int walked = file->for_each_message(visit_message, &walk);
  if (walked < 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "rotolog-cat: %s: %s\n", path, cyclic_file_get_error_string(walked));
    cyclic_file_destroy_handle(handle);
    return kExitUnreadable;
  }
  if (format == Format::kStats) print_stats(stdout, path, *file, walk);
  cyclic_file_destroy_handle(handle);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "rotolog-cat: cannot write the output\n");
    return kExitUnreadable;
  }
  return kExitOk;
}
