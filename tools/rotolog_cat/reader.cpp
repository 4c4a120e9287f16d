// rotolog-cat: reading the files named on the command line, once or
// following them (--follow).
//
// Each file is read with cyclic_file_read_messages: one copy taken without
// any lock, each message with its number among all the file's messages ever
// appended (an entry's own number, a raw message's by its position). A
// message is taken only when its number is above the last one taken from its
// file, so nothing is printed twice or out of order, and a gap in the
// numbers is what writers overwrote before the reader could copy it (or an
// entry left out as damaged).
//
// The follower polls each file's count of messages appended
// (cyclic_file_appended), which every write advances under the lock in the
// file's lock file: reading it is a load from a mapping, so writers pay
// nothing for followers (no signal, no system call). When the count moved
// since the last copy, one copy brings what was appended meanwhile. While
// nothing happens the follower sleeps, longer and longer up to
// kLongestPauseNs. Before each look it checks whether a path now names
// another file (removed and created again): it then follows that one from
// its first message, as tail -F does; what processes still append to the
// replaced file is not shown. With --retry a file that is missing or cannot
// be read is looked for again at each pause.
//
// What one round of copies brings from several files is merged by time:
// entries by theirs, a raw message (which has none) right after the message
// before it in its file. Each file's own order is kept.
//
// The cursor file keeps the number of the last message taken. After each
// batch of messages, the new cursor is written to a temporary beside it and
// flushed to disk before the batch is printed, and renamed over the cursor
// once the output has taken the batch: a follower that dies (even by
// SIGKILL) leaves either the cursor of the batches whose output was
// complete, or, killed between the output's write and the rename, the one
// before, so that its next run prints that batch again. It never skips a
// message.
#include "reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "rotolog/cyclic_file.h"

namespace {

// Idle pauses double from the first to the longest: a message appended to an
// idle file appears within about the longest pause, and an idle follower
// wakes 20 times a second, for one load and one stat per file.
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

// ---------------------------------------------------------------------------
// The cursor file

// Writes the cursor to a temporary beside the cursor file and flushes it;
// commit() renames it over the cursor file, drop() removes it.
class PendingCursor {
 public:
  explicit PendingCursor(const char *path) : path_(path), temporary_(std::string(path) + ".tmp") {}
  ~PendingCursor() { drop(); }
  PendingCursor(const PendingCursor &) = delete;
  PendingCursor &operator=(const PendingCursor &) = delete;

  bool prepare(uint64_t number) {
    drop();
    // Made anew, never opened as it is: a name put there beforehand (a link
    // to another file) is replaced, not written through.
    unlink(temporary_.c_str());
    const int fd =
        open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    const std::string text = std::to_string(number) + "\n";
    const bool written =
        write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    const int error = errno;
    close(fd);
    prepared_ = true;
    errno = error;
    return written;
  }
  bool commit() {
    if (!prepared_) return true;
    prepared_ = false;
    return rename(temporary_.c_str(), path_) == 0;
  }
  void drop() {
    if (prepared_) unlink(temporary_.c_str());
    prepared_ = false;
  }
  const char *path() const { return path_; }

 private:
  const char *path_;
  std::string temporary_;
  bool prepared_ = false;
};

// ---------------------------------------------------------------------------
// The files read

// A message copied out of a file, with what the library read of it.
struct Held {
  std::string bytes;
  MessageFields fields;
  int64_t order;  // the time it is merged by: its own, or that of the message before it
};

struct Source {
  explicit Source(const char *name) : path(name) {}
  ~Source() { close(); }
  Source(const Source &) = delete;
  Source &operator=(const Source &) = delete;
  void close() {
    if (file != nullptr) cyclic_file_destroy_handle(file);
    file = nullptr;
  }

  const char *path;
  std::string label;  // as the output names the file (when there are several)
  void *file = nullptr;
  FileIdentity identity{};
  bool first_copy = true;
  long lines = -1;                 // the first copy takes only the newest this many; -1: all
  bool after_given = false;        // the first copy starts above `taken`
  uint64_t taken = 0;              // the number of the last message taken
  uint64_t polled = 0;             // the count of appended messages before the last copy
  int64_t last_order = INT64_MIN;  // the order of the last message taken
  bool given_up = false;           // could not be read, and is not looked for again
  bool waiting = false;            // missing or unreadable, looked for again (--retry)
  std::deque<Held> batch;          // taken by the last copy, to be printed
  uint64_t missed = 0;             // of the last copy, to be reported
};

class Reader {
 public:
  Reader(const ReadRequest &request, MessagePrinter *printer)
      : request_(request), printer_(printer) {
    for (const char *path : request.paths) sources_.emplace_back(new Source(path));
    if (request.cursor_file != nullptr) cursor_.reset(new PendingCursor(request.cursor_file));
  }

  int run();

 private:
  void start(Source *source);
  int open(Source *source, bool report);
  void look_again(Source *source);
  int take_new(Source *source);
  int print_batches();
  int output_failed() const;

  const ReadRequest &request_;
  MessagePrinter *printer_;
  std::vector<std::unique_ptr<Source>> sources_;
  std::unique_ptr<PendingCursor> cursor_;
  int status_ = kExitOk;  // 1 once a file could not be read
};

// Opens the file the path names and notes which file that is; a path given
// to another file between the two looks is opened again. Returns -1 on
// success, else the exit status (reported on stderr when `report`).
int Reader::open(Source *source, bool report) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const FileIdentity before = identity_of(source->path);
    int status = CYCLIC_FILE_OK;
    int error = 0;
    void *file = open_for_reading(source->path, &status, &error);
    if (file == nullptr) {
      if (report)
        std::fprintf(stderr, "rotolog-cat: %s: %s\n", source->path,
                     open_failure(source->path, status, error).c_str());
      return kExitUnreadable;
    }
    const bool numbered = request_.follow || request_.after_given || cursor_ != nullptr;
    if (numbered && cyclic_file_appended(file, nullptr) != 1) {
      cyclic_file_destroy_handle(file);
      if (report)
        std::fprintf(stderr,
                     "rotolog-cat: %s: cannot %s: the count of appended messages is in "
                     "its lock file, which is missing, of an older version, or not readable "
                     "by you\n",
                     source->path, request_.follow ? "follow" : "number its messages");
      return kExitUnreadable;
    }
    if (same_file(before, identity_of(source->path))) {
      source->file = file;
      source->identity = before;
      return -1;
    }
    cyclic_file_destroy_handle(file);
  }
  return kExitUnreadable;
}

// The first opening of a source: a file that cannot be read is reported;
// with --retry it is looked for again, else it is given up.
void Reader::start(Source *source) {
  if (request_.paths.size() > 1) source->label = source->path;
  source->lines = request_.lines;
  source->after_given = request_.after_given;
  source->taken = request_.after;
  if (open(source, true) < 0) return;
  status_ = kExitUnreadable;
  if (request_.retry) {
    std::fprintf(stderr, "rotolog-cat: %s: waiting for it to be readable\n", source->path);
    source->waiting = true;
  } else {
    source->given_up = true;
  }
}

int Reader::output_failed() const {
  if (errno == EPIPE || stop_requested) return kExitOk;
  std::fprintf(stderr, "rotolog-cat: cannot write the output: %s\n", std::strerror(errno));
  return kExitUnreadable;
}

struct Visit {
  Source *source;
  const Selection *selection;
  uint64_t expected;  // the number the next message should have (0: unknown)
  uint64_t missed;
  uint64_t newest;  // the number of the last message visited
  long keep;        // only the newest this many selected; -1: all
  // Not null: each message is printed as it is visited rather than held
  // (one file read once, without a cursor: nothing to merge or to wait
  // for), and the gaps are reported where they are.
  MessagePrinter *printer;
  bool output_failed;
};

// Takes one message of a copy: counts the numbers skipped before it, and
// keeps it when it is selected.
int take_message(const cyclic_file_message_t *message, void *context) {
  Visit *visit = static_cast<Visit *>(context);
  Source *source = visit->source;
  if (message->seq != 0) {
    if (visit->expected != 0 && message->seq > visit->expected)
      visit->missed += message->seq - visit->expected;
    visit->expected = message->seq + 1;
    visit->newest = message->seq;
  }
  MessagePrinter *printer = visit->printer;
  if (printer != nullptr && visit->missed > 0) {
    if (!printer->missed(visit->missed)) return visit->output_failed = true, 1;
    visit->missed = 0;
  }
  const std::size_t length = static_cast<std::size_t>(message->length);
  if (visit->selection != nullptr &&
      !visit->selection->accepts(message->is_entry != 0, message->level, message->time_ns,
                                 message->data, length))
    return 0;
  MessageFields fields;
  fields.is_entry = message->is_entry != 0;
  fields.level = message->level;
  fields.time_ns = message->time_ns;
  fields.pid = message->pid;
  fields.tid = message->tid;
  fields.seq = message->seq;
  if (printer != nullptr) {
    if (!printer->message(message->data, length, fields)) return visit->output_failed = true, 1;
    return 0;
  }
  Held held{std::string(message->data, length), fields, 0};
  held.order = held.fields.is_entry ? message->time_ns : source->last_order;
  source->last_order = held.order;
  source->batch.push_back(std::move(held));
  if (visit->keep >= 0 && source->batch.size() > static_cast<std::size_t>(visit->keep))
    source->batch.pop_front();
  return 0;
}

// Copies the messages numbered above the last one taken (on the first copy:
// the newest `lines`, or all, above --after-seq when given) into the
// source's batch, those the selection keeps. Returns -1 to go on, else the
// exit status.
int Reader::take_new(Source *source) {
  const bool first = source->first_copy;
  const bool bounded = !first || source->after_given;
  const bool chosen_few = first && source->lines >= 0;
  const Selection *selection =
      request_.selection != nullptr && request_.selection->active() ? request_.selection : nullptr;
  // With a selection, -n counts the newest messages selected.
  const int newest = chosen_few && selection == nullptr ? static_cast<int>(source->lines) : -1;
  const long keep = chosen_few && selection != nullptr ? source->lines : -1;
  const bool direct = !request_.follow && sources_.size() == 1 && cursor_ == nullptr && keep < 0;
  // The numbers -n leaves out before the first message taken are no loss.
  Visit visit{source,  selection,     bounded && !chosen_few ? source->taken + 1 : 0,
              0,       source->taken, keep,
              nullptr, false};
  if (direct) visit.printer = printer_;
  cyclic_file_appended(source->file, &source->polled);
  if (bounded && source->polled < source->taken) {
    if (first) {
      // The cursor is beyond what this file ever held: a file made anew
      // since. All of it is new to the reader.
      std::fprintf(stderr,
                   "rotolog-cat: %s: only %llu messages were ever appended, fewer than %llu: "
                   "printing the file from its first message\n",
                   source->path, static_cast<unsigned long long>(source->polled),
                   static_cast<unsigned long long>(source->taken));
      source->after_given = false;
      source->taken = 0;
      return take_new(source);
    }
    // The count went back: the lock file was made anew. Go on from there.
    source->taken = source->polled;
    return -1;
  }
  const std::size_t batch_before = source->batch.size();
  sigset_t stops, before;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTSTP);
  sigaddset(&stops, SIGTTIN);
  sigaddset(&stops, SIGTTOU);
  // A copy takes no lock, and a Ctrl-Z in the middle of one would only make
  // it start again: the job-control stops wait until it is done.
  sigprocmask(SIG_BLOCK, &stops, &before);
  const int read = cyclic_file_read_messages(source->file, bounded ? source->taken : 0, newest,
                                             take_message, &visit);
  sigprocmask(SIG_SETMASK, &before, nullptr);
  if (visit.output_failed) return output_failed();
  if (read < 0) {
    source->batch.resize(batch_before);
    std::fprintf(stderr, "rotolog-cat: %s: %s\n", source->path, cyclic_file_get_error_string(read));
    return kExitUnreadable;
  }
  source->first_copy = false;
  source->missed += visit.missed;
  if (visit.newest > source->taken) source->taken = visit.newest;
  return -1;
}

// Prints what the last copies took, merged by time, after the report of
// what they missed, then flushes the output and moves the cursor. Returns -1
// to go on, else the exit status.
int Reader::print_batches() {
  bool any = false;
  for (const std::unique_ptr<Source> &source : sources_) {
    if (source->missed > 0) {
      printer_->set_file(source->label);
      if (!printer_->missed(source->missed)) return output_failed();
      source->missed = 0;
    }
    any = any || !source->batch.empty();
  }
  if (any && cursor_ != nullptr && !cursor_->prepare(sources_.front()->taken)) {
    std::fprintf(stderr, "rotolog-cat: %s: cannot write the cursor: %s\n", cursor_->path(),
                 std::strerror(errno));
    return kExitUnreadable;
  }
  std::vector<std::size_t> next(sources_.size(), 0);
  for (;;) {
    // The source whose next message is the oldest; the first on a tie.
    Source *oldest = nullptr;
    std::size_t chosen = 0;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
      Source *source = sources_[i].get();
      if (next[i] >= source->batch.size()) continue;
      if (oldest == nullptr || source->batch[next[i]].order < oldest->batch[next[chosen]].order) {
        oldest = source;
        chosen = i;
      }
    }
    if (oldest == nullptr) break;
    const Held &held = oldest->batch[next[chosen]++];
    printer_->set_file(oldest->label);
    if (!printer_->message(held.bytes.data(), held.bytes.size(), held.fields))
      return output_failed();
  }
  for (const std::unique_ptr<Source> &source : sources_) source->batch.clear();
  if (!printer_->flush()) return output_failed();
  if (any && cursor_ != nullptr && !cursor_->commit()) {
    std::fprintf(stderr, "rotolog-cat: %s: cannot write the cursor: %s\n", cursor_->path(),
                 std::strerror(errno));
    return kExitUnreadable;
  }
  return -1;
}

// A path given to another file is followed anew, from its first message,
// before anything more is copied: a new file may even share the old one's
// lock file (when only the data file was removed), whose count then no
// longer numbers the old file's messages. A file waited for is tried again.
void Reader::look_again(Source *source) {
  if (source->given_up) return;
  const FileIdentity now = identity_of(source->path);
  if (source->waiting) {
    if (!now.exists) return;
    if (open(source, false) >= 0) return;
    std::fprintf(stderr, "rotolog-cat: %s: has appeared; following it\n", source->path);
    source->waiting = false;
    return;
  }
  if (now.exists && !same_file(now, source->identity)) {
    source->close();
    // Whatever comes next is another file: all of it is new.
    source->first_copy = true;
    source->lines = -1;
    source->after_given = false;
    source->taken = 0;
    source->last_order = INT64_MIN;
    if (open(source, false) < 0) {
      std::fprintf(stderr, "rotolog-cat: %s: the file was replaced; following the new file\n",
                   source->path);
    } else if (request_.retry) {
      std::fprintf(stderr, "rotolog-cat: %s: replaced by what cannot be read; waiting\n",
                   source->path);
      source->waiting = true;
    } else {
      // It keeps following nothing there, and looks again at the next pause.
      source->identity = FileIdentity{false, 0, 0};
    }
  }
}

int Reader::run() {
  if (request_.follow) install_stop_handlers();
  for (const std::unique_ptr<Source> &source : sources_) start(source.get());
  if (!request_.follow) {
    for (const std::unique_ptr<Source> &source : sources_) {
      if (source->file == nullptr) continue;
      const int taken = take_new(source.get());
      source->close();
      if (taken > status_) status_ = taken;
    }
    const int printed = print_batches();
    if (printed >= 0 && printed != kExitOk) return printed;
    return status_;
  }
  long pause = kFirstPauseNs;
  while (stop_requested == 0) {
    bool copied = false;
    bool any = false;
    for (const std::unique_ptr<Source> &source : sources_) {
      look_again(source.get());
      any = any || !source->given_up;
      if (source->file == nullptr) continue;
      uint64_t appended = 0;
      cyclic_file_appended(source->file, &appended);
      if (!source->first_copy && appended == source->polled) continue;
      const int taken = take_new(source.get());
      if (taken >= 0) return taken;
      copied = true;
    }
    if (copied) {
      const int printed = print_batches();
      if (printed >= 0) return printed;
    }
    if (!any) return status_;
    // Even while writers keep appending, copies are at least one first
    // pause apart: each copy brings what came meanwhile.
    pause = copied ? kFirstPauseNs : (pause * 2 < kLongestPauseNs ? pause * 2 : kLongestPauseNs);
    if (pause_for(pause)) return kExitOk;  // nobody reads the output any more
  }
  return kExitOk;
}

}  // namespace

int read_cursor(const char *path, uint64_t *number, std::string *problem) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return 0;
    *problem = std::strerror(errno);
    return -1;
  }
  char text[32];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got < 0) {
    *problem = std::strerror(errno);
    return -1;
  }
  text[got] = '\0';
  char *end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (got == 0 || text[0] < '0' || text[0] > '9' || errno != 0 || std::strcmp(end, "\n") != 0) {
    *problem = "not a cursor (the number of a message and a newline)";
    return -1;
  }
  *number = value;
  return 1;
}

int read_files(const ReadRequest &request, MessagePrinter *printer) {
  Reader reader(request, printer);
  return reader.run();
}
