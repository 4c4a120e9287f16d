// rotolog-cat: prints the messages of cyclic files, oldest first, without
// changing them, or follows them as processes append to them (reader.cpp);
// the command line, --stats and --verify. The messages are copied by the
// library's reader, which takes no lock, so every message keeps its
// boundaries and a slow consumer holds up no writer.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "message_formats.h"
#include "reader.h"
#include "rotolog/cyclic_file.h"

namespace {

// What the tool does: print messages (in a layout), or tell of the file.
enum class Format { kMessages, kStats, kVerify };

const char kUsage[] =
    "usage: rotolog-cat [OPTION]... FILE...\n"
    "Prints the messages of the rotolog cyclic files FILE, oldest first.\n"
    "It copies each file without any lock and never changes it; a file whose\n"
    "header disagrees with its records (after a crash) is salvaged in that\n"
    "copy, and mended in the file by its next writer.\n"
    "\n"
    "  -f, --follow   after the messages in the files, print each message any\n"
    "                 process appends, as it is appended, until interrupted;\n"
    "                 a file removed and created again is followed anew\n"
    "  -F             --follow --retry\n"
    "      --retry    wait for a file that is missing or cannot be read yet\n"
    "                 (with --follow)\n"
    "  -n, --lines=N  only the newest N messages (of those selected) of a file\n"
    "      --after-seq=N  only messages numbered above N\n"
    "      --cursor-file=PATH  start after the message number kept in PATH, when\n"
    "                 it exists, and keep there the number of the last message\n"
    "                 read (one FILE)\n"
    "Selecting entries (raw messages have no time or level: a time or level\n"
    "condition leaves them out; --grep applies to them too):\n"
    "  -S, --since=TIME  entries written at TIME or later\n"
    "  -U, --until=TIME  entries written at TIME or earlier; TIME as journalctl\n"
    "                 takes it: 2026-12-08 03:14[:15[.123]], today, yesterday,\n"
    "                 now, -10min, +5s, -2h, @SECONDS\n"
    "  -p, --priority=LEVEL  entries of LEVEL or graver (emerg, alert, crit, err,\n"
    "                 warning, notice, info, debug, or 0 to 7), or of a range\n"
    "                 FROM..TO\n"
    "  -g, --grep=REGEX  messages whose text matches the POSIX extended regular\n"
    "                 expression REGEX\n"
    "  -i, --ignore-case  --grep without regard to case\n"
    "Output:\n"
    "  -o, --output=FORMAT  short-iso (default: an entry as its time, [pid/tid],\n"
    "                 level and text), short-precise, cat (the text alone),\n"
    "                 raw (cat without escaping), json, hex\n"
    "  -r, --raw      the bytes as they are even on a terminal (a pipe or a\n"
    "                 file always gets them so); on a terminal, control\n"
    "                 characters are otherwise shown escaped\n"
    "  -x, --hex      --output=hex: a hex dump of each message\n"
    "  -j, --json     --output=json: one JSON object per line: index, file (of\n"
    "                 several), seq (the message's number among all ever\n"
    "                 appended), for an entry time, pid, tid and level, length,\n"
    "                 and text or base64\n"
    "  -z, --zero-terminated  end each message with a NUL byte, not a newline\n"
    "      --stats    the header fields, the ring's fill level and the message sizes\n"
    "      --verify   whether the header and the records agree and, if not, what a\n"
    "                 salvage would keep and drop; changes nothing\n"
    "  -h, --help     this text\n"
    "      --version  the version of rotolog-cat\n"
    "\n"
    "Of several files, the messages are merged by the time of their entries,\n"
    "each file's in its order, under a line ==> FILE <== when the file changes\n"
    "(in JSON, a \"file\" member).\n"
    "FILE comes with its lock file FILE-lock beside it: to remove a cyclic\n"
    "file, remove both, while no process has it open.\n"
    "\n"
    "Exit status: 0 ok (--verify: consistent; --follow: interrupted, or its\n"
    "output closed), 1 a file could not be read, 2 usage error, 3 (--verify)\n"
    "damaged but salvageable.\n";

struct Options {
  Format format = Format::kMessages;
  Layout layout = Layout::kShortIso;
  bool raw = false;
  char terminator = '\n';
  Selection selection;
  ReadRequest read;
};

// The current time, nanoseconds since the epoch: what --since and --until
// count from.
int64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The layout an -o name stands for; false for no such name.
bool layout_named(const std::string &name, Layout *layout, bool *raw) {
  static const struct {
    const char *name;
    Layout layout;
    bool raw;
  } kLayouts[] = {{"short-iso", Layout::kShortIso, false},
                  {"short-precise", Layout::kShortPrecise, false},
                  {"cat", Layout::kCat, false},
                  {"raw", Layout::kCat, true},
                  {"json", Layout::kJson, false},
                  {"hex", Layout::kHex, false}};
  for (const auto &known : kLayouts) {
    if (name != known.name) continue;
    *layout = known.layout;
    *raw = *raw || known.raw;
    return true;
  }
  return false;
}

// One line for the problem and one for where to learn more, as GNU tools do.
int usage_error(const std::string &problem) {
  std::fprintf(stderr, "rotolog-cat: %s\nTry 'rotolog-cat --help' for more information.\n",
               problem.c_str());
  return kExitUsage;
}

// Fills *options from the command line, GNU style (options and the file in
// any order, "--" ends the options). Returns -1 to go on, or the exit status.
int parse_options(int argc, char **argv, Options *options) {
  enum {
    kStatsOption = 256,
    kVerifyOption,
    kVersionOption,
    kRetryOption,
    kAfterOption,
    kCursorOption
  };
  static const option kLongOptions[] = {{"follow", no_argument, nullptr, 'f'},
                                        {"retry", no_argument, nullptr, kRetryOption},
                                        {"after-seq", required_argument, nullptr, kAfterOption},
                                        {"cursor-file", required_argument, nullptr, kCursorOption},
                                        {"lines", required_argument, nullptr, 'n'},
                                        {"since", required_argument, nullptr, 'S'},
                                        {"until", required_argument, nullptr, 'U'},
                                        {"priority", required_argument, nullptr, 'p'},
                                        {"grep", required_argument, nullptr, 'g'},
                                        {"ignore-case", no_argument, nullptr, 'i'},
                                        {"output", required_argument, nullptr, 'o'},
                                        {"zero-terminated", no_argument, nullptr, 'z'},
                                        {"raw", no_argument, nullptr, 'r'},
                                        {"hex", no_argument, nullptr, 'x'},
                                        {"json", no_argument, nullptr, 'j'},
                                        {"stats", no_argument, nullptr, kStatsOption},
                                        {"verify", no_argument, nullptr, kVerifyOption},
                                        {"help", no_argument, nullptr, 'h'},
                                        {"version", no_argument, nullptr, kVersionOption},
                                        {nullptr, 0, nullptr, 0}};
  bool format_given = false;
  bool selected = false;  // a --since, --until, --priority or --grep
  bool ignore_case = false;
  const char *pattern = nullptr;
  const int64_t now = now_ns();
  std::string problem;
  opterr = 0;
  for (;;) {
    int option_index = 0;
    const int chosen =
        getopt_long(argc, argv, ":fFn:S:U:p:g:io:zrxjh", kLongOptions, &option_index);
    if (chosen == -1) break;
    Format format = Format::kMessages;
    Layout layout = Layout::kShortIso;
    switch (chosen) {
      case 'f':
        options->read.follow = true;
        continue;
      case 'F':
        options->read.follow = true;
        options->read.retry = true;
        continue;
      case kRetryOption:
        options->read.retry = true;
        continue;
      case kCursorOption:
        options->read.cursor_file = optarg;
        continue;
      case kAfterOption: {
        char *end = nullptr;
        errno = 0;
        const unsigned long long after = std::strtoull(optarg, &end, 10);
        if (optarg[0] < '0' || optarg[0] > '9' || *end != '\0' || errno != 0)
          return usage_error(std::string("invalid message number: ") + optarg);
        options->read.after_given = true;
        options->read.after = after;
        continue;
      }
      case 'S':
        if (!options->selection.set_since(optarg, now, &problem)) return usage_error(problem);
        selected = true;
        continue;
      case 'U':
        if (!options->selection.set_until(optarg, now, &problem)) return usage_error(problem);
        selected = true;
        continue;
      case 'p':
        if (!options->selection.set_priority(optarg, &problem)) return usage_error(problem);
        selected = true;
        continue;
      case 'g':
        pattern = optarg;
        selected = true;
        continue;
      case 'i':
        ignore_case = true;
        continue;
      case 'z':
        options->terminator = '\0';
        continue;
      case 'r':
        options->raw = true;
        continue;
      case 'h':
        std::fputs(kUsage, stdout);
        return kExitOk;
      case kVersionOption:
        std::puts("rotolog-cat (rotolog) " ROTOLOG_VERSION_TEXT);
        return kExitOk;
      case 'n': {
        char *end = nullptr;
        errno = 0;
        const long lines = std::strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || errno != 0 || lines < 0 || lines > INT_MAX)
          return usage_error(std::string("invalid number of messages: ") + optarg);
        options->read.lines = lines;
        continue;
      }
      case 'o':
        if (!layout_named(optarg, &layout, &options->raw))
          return usage_error(std::string("unknown output format: ") + optarg +
                             " (short-iso, short-precise, cat, raw, json, hex)");
        break;
      case 'x':
        layout = Layout::kHex;
        break;
      case 'j':
        layout = Layout::kJson;
        break;
      case kStatsOption:
        format = Format::kStats;
        break;
      case kVerifyOption:
        format = Format::kVerify;
        break;
      case ':':
        return usage_error(std::string("option ") + argv[optind - 1] + " needs an argument");
      default:
        if (optopt != 0)
          return usage_error(std::string("unknown option -") + static_cast<char>(optopt));
        return usage_error(std::string("unknown option ") + argv[optind - 1]);
    }
    if (format_given && (format != options->format || layout != options->layout))
      return usage_error("choose one of --hex, --json, --output, --stats, --verify");
    options->format = format;
    options->layout = layout;
    format_given = true;
  }
  if (pattern != nullptr && !options->selection.set_pattern(pattern, ignore_case, &problem))
    return usage_error(problem);
  if (optind == argc) return usage_error("no file given");
  for (int i = optind; i < argc; ++i) options->read.paths.push_back(argv[i]);
  const ReadRequest &read = options->read;
  const bool whole_file = options->format != Format::kMessages;
  if (whole_file && (read.follow || read.lines >= 0 || read.retry || read.after_given ||
                     read.cursor_file != nullptr || selected))
    return usage_error("--stats and --verify take no option of what to print");
  if (whole_file && read.paths.size() > 1) return usage_error("--stats and --verify take one file");
  if (read.retry && !read.follow) return usage_error("--retry needs --follow");
  if (read.cursor_file != nullptr && read.paths.size() > 1)
    return usage_error("--cursor-file takes one file");
  if (read.after_given && read.paths.size() > 1) return usage_error("--after-seq takes one file");
  options->read.selection = &options->selection;
  return -1;
}

// The output failed: a reader that went away (a closed pipe) ends the tool
// quietly, anything else is an error.
int output_failed() {
  if (errno == EPIPE) return kExitOk;
  std::fprintf(stderr, "rotolog-cat: cannot write the output: %s\n", std::strerror(errno));
  return kExitUnreadable;
}

struct SizeWalk {
  long count;
  long smallest;
  long largest;
  long long payload_bytes;
};

// The size of each message's record payload: an entry's text and its head.
int note_size(const cyclic_file_message_t *message, void *context) {
  SizeWalk *walk = static_cast<SizeWalk *>(context);
  const long length = message->length + (message->is_entry ? CYCLIC_FILE_ENTRY_HEAD_SIZE : 0);
  if (walk->count == 0 || length < walk->smallest) walk->smallest = length;
  if (walk->count == 0 || length > walk->largest) walk->largest = length;
  walk->payload_bytes += length;
  ++walk->count;
  return 0;
}

void print_stats(std::FILE *out, const char *path, const cyclic_file_check_t &check,
                 const SizeWalk &walk) {
  std::fprintf(out, "file:           %s\n", path);
  std::fprintf(out, "header length:  %d bytes\n", check.header_length);
  std::fprintf(out, "buffer size:    %d bytes\n", check.buffer_size);
  std::fprintf(out, "message count:  %d\n", check.message_count);
  std::fprintf(out, "wasted tail:    %d bytes\n", check.wasted_tail);
  std::fprintf(out, "write offset:   %d\n", check.write_offset);
  std::fprintf(out, "read offset:    %d\n", check.read_offset);
  std::fprintf(
      out, "used:           %lld of %d bytes (%.1f%%)\n", check.used_bytes, check.buffer_size,
      check.buffer_size > 0 ? 100.0 * static_cast<double>(check.used_bytes) / check.buffer_size
                            : 0.0);
  std::fprintf(out, "messages:       %ld\n", walk.count);
  std::fprintf(out, "payload bytes:  %lld\n", walk.payload_bytes);
  if (walk.count > 0) {
    std::fprintf(out, "message sizes:  %ld to %ld bytes\n", walk.smallest, walk.largest);
  } else {
    std::fprintf(out, "message sizes:  -\n");
  }
}

// Reports whether the header and the records agree, and what a salvage would
// keep and drop, and the entries that are damaged or misnumbered.
int verify(const char *path, void *file) {
  cyclic_file_check_t check;
  int result = cyclic_file_check(file, &check);
  if (result != 0) {
    std::fprintf(stderr, "rotolog-cat: %s: %s\n", path, cyclic_file_get_error_string(result));
    return kExitUnreadable;
  }
  const bool entries_sound = check.damaged_entries == 0 && check.misnumbered_entries == 0;
  if (check.consistent && entries_sound) {
    std::printf("%s: consistent: %d messages, %lld of %d bytes used\n", path, check.message_count,
                check.used_bytes, check.buffer_size);
    return kExitOk;
  }
  if (check.consistent) {
    std::printf("%s: damaged: the header counts %d messages in %lld bytes\n", path,
                check.message_count, check.used_bytes);
  } else {
    int dropped =
        check.message_count > check.kept_count ? check.message_count - check.kept_count : 0;
    std::printf(
        "%s: damaged: the header counts %d messages in %lld bytes; a salvage keeps %d "
        "messages (%lld bytes, %lld of payload) and drops %d messages (%lld bytes)\n",
        path, check.message_count, check.used_bytes, check.kept_count, check.kept_bytes,
        check.kept_payload, dropped, check.used_bytes - check.kept_bytes);
  }
  if (check.damaged_entries > 0)
    std::printf("%s: %d entries whose checksum does not hold\n", path, check.damaged_entries);
  if (check.misnumbered_entries > 0)
    std::printf(
        "%s: %d entries numbered out of order (records of another moment); readers leave "
        "them out\n",
        path, check.misnumbered_entries);
  return kExitDamaged;
}

int print_file_stats(const char *path, void *file) {
  cyclic_file_check_t check;
  const int checked = cyclic_file_check(file, &check);
  SizeWalk walk{0, 0, 0, 0};
  const int walked =
      checked != 0 ? checked : cyclic_file_read_messages(file, 0, -1, note_size, &walk);
  if (walked < 0) {
    std::fprintf(stderr, "rotolog-cat: %s: %s\n", path, cyclic_file_get_error_string(walked));
    return kExitUnreadable;
  }
  print_stats(stdout, path, check, walk);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return output_failed();
  return kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  const int parsed = parse_options(argc, argv, &options);
  if (parsed >= 0) return parsed;
  // A reader that goes away shows as EPIPE on the next write, which ends the
  // tool quietly, rather than as a signal.
  std::signal(SIGPIPE, SIG_IGN);
  ReadRequest &read = options.read;
  if (read.cursor_file != nullptr) {
    std::string problem;
    uint64_t cursor = 0;
    const int found = read_cursor(read.cursor_file, &cursor, &problem);
    if (found < 0) {
      std::fprintf(stderr, "rotolog-cat: %s: %s\n", read.cursor_file, problem.c_str());
      return kExitUnreadable;
    }
    if (found > 0) {
      read.after_given = true;
      read.after = cursor;
    }
  }
  if (options.format == Format::kMessages) {
    // The reader flushes the output after each copy's messages, so that a
    // pipe sees each batch at once and in as few writes as it may (a
    // follower's cursor is moved after each flush). Their room:
    static char output_buffer[1 << 16];
    if (read.follow) std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    const bool escape = !options.raw && options.layout != Layout::kJson &&
                        options.layout != Layout::kHex && isatty(STDOUT_FILENO) != 0;
    MessagePrinter printer(stdout, options.layout, escape, options.terminator);
    return read_files(read, &printer);
  }

  const char *path = read.paths.front();
  int status = CYCLIC_FILE_OK;
  int error = 0;
  void *file = open_for_reading(path, &status, &error);
  if (file == nullptr) {
    std::fprintf(stderr, "rotolog-cat: %s: %s\n", path, open_failure(path, status, error).c_str());
    return kExitUnreadable;
  }
  const int result =
      options.format == Format::kVerify ? verify(path, file) : print_file_stats(path, file);
  cyclic_file_destroy_handle(file);
  return result;
}
