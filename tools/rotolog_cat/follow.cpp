// rotolog-cat --follow. The follower polls the count of messages ever
// appended, which every write advances under the lock in the file's lock
// file: reading it is a load from a mapping, so writers pay nothing for
// followers (no signal, no system call). When the count moved, one copy
// (taken without any lock) brings the messages appended since the last one printed,
// and the count as that copy read it, which numbers them: the newest is
// number `count`, the one before it `count - 1`, and so on. A message is
// printed only when its number is above the last one printed, so nothing is
// printed twice or out of order, and a gap in the numbers is what writers
// overwrote before the follower could copy it. While nothing happens the
// follower sleeps, longer and longer up to kLongestPauseNs. Before each
// look it checks whether the path now names another file (removed and
// created again): it then follows that one from its first message, as
// tail -F does; what processes still append to the replaced file is not
// shown.
#include "follow.h"

#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "rotolog/cyclic_file.h"

using namespace rotolog::detail;

namespace {

// Idle pauses double from the first to the longest: a message appended to an
// idle file appears within about the longest pause, and an idle follower
// wakes 20 times a second, for one load and one stat.
constexpr long kFirstPauseNs = 1000000;
constexpr long kLongestPauseNs = 50000000;

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

// Without SA_RESTART, a pause or a write blocked on a full pipe returns at
// once when the signal comes.
void install_stop_handlers() {
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Sleeps, and wakes at once when the reader of the output has gone (a
// pipe's write end then reports an error): `rotolog-cat -f FILE | head -1`
// ends when head does, not at the next message. True when it has gone.
bool pause_for(long nanoseconds) {
  pollfd output{STDOUT_FILENO, 0, 0};
  const int ready = poll(&output, 1, static_cast<int>((nanoseconds + 999999) / 1000000));
  return ready > 0 && (output.revents & (POLLERR | POLLHUP)) != 0;
}

struct FileIdentity {
  bool exists;
  dev_t device;
  ino_t inode;
};

FileIdentity identity_of(const char *path) {
  struct stat info {};
  if (stat(path, &info) != 0) return FileIdentity{false, 0, 0};
  return FileIdentity{true, info.st_dev, info.st_ino};
}

bool same_file(const FileIdentity &a, const FileIdentity &b) {
  return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
}

class Follower {
 public:
  Follower(const char *path, long lines, MessagePrinter *printer)
      : path_(path), lines_(lines), printer_(printer) {}
  ~Follower() {
    close();
    CCyclicFile::release_copy(&copy_);
  }
  Follower(const Follower &) = delete;
  Follower &operator=(const Follower &) = delete;

  int run();

 private:
  int open(bool report);
  void close();
  int print_new();
  int output_failed() const;

  const char *path_;
  long lines_;
  MessagePrinter *printer_;
  CCyclicFile *file_ = nullptr;
  FileIdentity identity_{};
  CCyclicFile::MessageCopy copy_{};
  bool first_copy_ = true;
  uint64_t printed_ = 0;  // the number of the last message printed
};

// Opens the file the path names and notes which file that is; a path given
// to another file between the two looks is opened again. Returns -1 on
// success, else the exit status (reported on stderr when `report`).
int Follower::open(bool report) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const FileIdentity before = identity_of(path_);
    int status = CYCLIC_FILE_OK;
    int error = 0;
    CCyclicFile *file = open_for_reading(path_, &status, &error);
    if (file == nullptr) {
      if (report)
        std::fprintf(stderr, "rotolog-cat: %s: %s\n", path_,
                     open_failure(path_, status, error).c_str());
      return kExitUnreadable;
    }
    if (!file->counts_messages()) {
      cyclic_file_destroy_handle(file);
      if (report)
        std::fprintf(stderr,
                     "rotolog-cat: %s: cannot follow: the count of appended messages is in "
                     "its lock file, which is missing, of an older version, or not readable "
                     "by you\n",
                     path_);
      return kExitUnreadable;
    }
    if (same_file(before, identity_of(path_))) {
      file_ = file;
      identity_ = before;
      return -1;
    }
    cyclic_file_destroy_handle(file);
  }
  return kExitUnreadable;
}

void Follower::close() {
  if (file_ != nullptr) cyclic_file_destroy_handle(file_);
  file_ = nullptr;
}

int Follower::output_failed() const {
  if (errno == EPIPE || stop_requested) return kExitOk;
  std::fprintf(stderr, "rotolog-cat: cannot write the output: %s\n", std::strerror(errno));
  return kExitUnreadable;
}

// Copies the messages numbered above the last one printed (on the first
// copy: the newest `lines_`, or all) and prints them. Returns -1 to go on,
// else the exit status.
int Follower::print_new() {
  const int32_t newest = first_copy_ && lines_ >= 0 ? static_cast<int32_t>(lines_) : INT32_MAX;
  const int copied = copy_unstopped(file_, newest, &copy_, first_copy_ ? nullptr : &printed_);
  if (copied != 0) {
    std::fprintf(stderr, "rotolog-cat: %s: %s\n", path_, cyclic_file_get_error_string(copied));
    return kExitUnreadable;
  }
  const uint64_t appended = copy_.appended;
  if (appended < printed_) {
    // The count went back: the lock file was made anew. Go on from there.
    printed_ = appended;
    return -1;
  }
  // The copy holds messages numbered `appended - count + 1` to `appended`:
  // those between the last one printed and the first of these were
  // overwritten before they could be copied.
  const uint64_t count = static_cast<uint64_t>(copy_.count);
  const uint64_t before_first = appended >= count ? appended - count : 0;
  if (!first_copy_ && before_first > printed_ && !printer_->missed(before_first - printed_))
    return output_failed();
  first_copy_ = false;
  printed_ = appended;
  const char *message = copy_.bytes;
  for (int32_t i = 0; i < copy_.count; ++i) {
    const std::size_t length = static_cast<std::size_t>(copy_.lengths[i]);
    if (!printer_->message(message, length, message_number(copy_, i))) return output_failed();
    message += length;
  }
  return -1;
}

int Follower::run() {
  install_stop_handlers();
  int opened = open(true);
  if (opened >= 0) return opened;
  long pause = kFirstPauseNs;
  while (stop_requested == 0) {
    // A path given to another file is followed anew, from its first message,
    // before anything more is copied: a new file may even share the old
    // one's lock file (when only the data file was removed), whose count
    // then no longer numbers the old file's messages.
    const FileIdentity now = identity_of(path_);
    if (now.exists && !same_file(now, identity_)) {
      close();
      if (open(false) < 0) {
        std::fprintf(stderr, "rotolog-cat: %s: the file was replaced; following the new file\n",
                     path_);
        first_copy_ = true;
        lines_ = -1;
        printed_ = 0;
      }
    }
    if (file_ != nullptr && (first_copy_ || file_->appended_messages() != printed_)) {
      const int printed = print_new();
      if (printed >= 0) return printed;
      // Even while writers keep appending, copies are at least one first
      // pause apart: each copy brings what came meanwhile.
      pause = kFirstPauseNs;
    } else {
      pause = pause * 2 < kLongestPauseNs ? pause * 2 : kLongestPauseNs;
    }
    if (pause_for(pause)) return kExitOk;  // nobody reads the output any more
  }
  return kExitOk;
}

}  // namespace
int copy_unstopped(CCyclicFile *file, int32_t newest, CCyclicFile::MessageCopy *copy,
                   const uint64_t *above) {
  sigset_t stops, before;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTSTP);
  sigaddset(&stops, SIGTTIN);
  sigaddset(&stops, SIGTTOU);
  sigprocmask(SIG_BLOCK, &stops, &before);
  const int copied = file->copy_newest(newest, copy, above);
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return copied;
}

uint64_t message_number(const CCyclicFile::MessageCopy &copy, int32_t index) {
  const uint64_t older = static_cast<uint64_t>(copy.count - 1 - index);
  return copy.appended > older ? copy.appended - older : 0;
}

int follow_file(const char *path, long lines, MessagePrinter *printer) {
  Follower follower(path, lines, printer);
  return follower.run();
}
