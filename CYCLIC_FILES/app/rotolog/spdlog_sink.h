/* rotolog's cyclic file as a spdlog sink: header-only, C++ only, and needs
 * spdlog besides librotolog. Written for spdlog 1.10 (Debian 12's); it uses
 * only base_sink, the sink's formatter and spdlog::memory_buf_t, so fmt may
 * be spdlog's bundled copy or an external one. The one line a spdlog program
 * changes:
 *
 *   auto logger = rotolog::cyclic_file_logger_mt("service", "/var/tmp/service.cyclic", 1 << 20);
 *
 * Each log record is appended to the cyclic file as one entry (see
 * cyclic_file.h): the record's time, level (spdlog's levels as syslog's
 * priorities: trace and debug 7, info 6, warn 4, err 3, critical 2) and
 * thread, this process's id, and the text of the sink's formatter, so that
 * every process of the machine may log into the same file at once and
 * rotolog-cat prints each record whole, with its time and origin. As the
 * entry carries those, the sink's pattern is "[%n] %v" with no end of line
 * (the logger's name and the message); the factories give their logger that
 * pattern, and set_pattern changes it as for any sink. Nothing is buffered in the sink: a
 * record is in the mapped file when the logging call returns, and survives a
 * crash of the process; CYCLIC_FILE_MODE_FLUSH also puts it on disk before
 * the call returns, flushing the header and the pages the record went to
 * (spdlog's flush_on calls flush(), which flushes the whole mapping).
 *
 * Failures throw spdlog::spdlog_ex (through spdlog::throw_spdlog_ex) whose
 * text carries the library's error text and, when the library left an errno,
 * the system's reason in parentheses ("rotolog: cannot open cyclic file
 * 'x.cyclic': File not found (No space left on device)"): from the constructor and the
 * factories when the file cannot be opened, and from logging and flushing,
 * where spdlog's logger catches it and hands it to its error handler
 * (logger::set_error_handler). Records of zero bytes are not written.
 *
 * CMake: target_link_libraries(... rotolog::spdlog) after
 * find_package(rotolog CONFIG REQUIRED COMPONENTS spdlog); pkg-config:
 * rotolog-spdlog. */
#ifndef ROTOLOG_SPDLOG_SINK_H
#define ROTOLOG_SPDLOG_SINK_H

#ifndef __cplusplus
#error "spdlog_sink.h declares spdlog sinks; include it from C++ only"
#endif

#include <spdlog/common.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/details/synchronous_factory.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "rotolog/cyclic_file.h"

namespace rotolog {

/* A sink that appends every record to one cyclic file through its own
 * handle. Mutex guards the formatter and the sink's scratch buffer (the file
 * takes its own in-process and interprocess locks): std::mutex for loggers
 * used by several threads, spdlog::details::null_mutex for one thread. */
template <typename Mutex>
class cyclic_file_sink final : public spdlog::sinks::base_sink<Mutex> {
 public:
  /* Opens `path` with `mode` (CYCLIC_FILE_MODE_* flags; without
   * CYCLIC_FILE_MODE_WRITE every record fails), creating it with a ring of
   * `ring_bytes` bytes when it is missing and the mode allows writing; an
   * existing file keeps its own ring size. Throws spdlog::spdlog_ex with the
   * library's text of the status of cyclic_file_create_handle, and the
   * system's reason when errno gives one, when the file cannot be opened. */
  cyclic_file_sink(const std::string &path, int ring_bytes,
                   int mode = CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE)
      : path_(path) {
    int status = CYCLIC_FILE_OK;
    file_ = cyclic_file_create_handle(path_.c_str(), mode, ring_bytes, &status);
    if (file_ == nullptr) fail("cannot open", status);
    this->set_formatter_(entry_formatter());
  }

  /* The sink's default formatter: what an entry does not carry already. */
  static std::unique_ptr<spdlog::formatter> entry_formatter() {
    return std::make_unique<spdlog::pattern_formatter>("[%n] %v", spdlog::pattern_time_type::local,
                                                       "");
  }

  /* syslog's priority of a spdlog level. */
  static int entry_level(spdlog::level::level_enum level) {
    switch (level) {
      case spdlog::level::trace:
      case spdlog::level::debug:
        return CYCLIC_FILE_LEVEL_DEBUG;
      case spdlog::level::info:
        return CYCLIC_FILE_LEVEL_INFO;
      case spdlog::level::warn:
        return CYCLIC_FILE_LEVEL_WARNING;
      case spdlog::level::err:
        return CYCLIC_FILE_LEVEL_ERROR;
      default:
        return CYCLIC_FILE_LEVEL_CRITICAL;
    }
  }

  /* Releases the handle; the file and its messages stay on disk. */
  ~cyclic_file_sink() override { cyclic_file_destroy_handle(file_); }

  const std::string &filename() const { return path_; }

  /* The sink's cyclic file handle, for cyclic_file_read_all. It belongs to
   * the sink and lives as long as the sink does; do not destroy it. */
  void *handle() const { return file_; }

 protected:
  /* Formats the record and appends it as one entry with the record's time,
   * level and thread. A text longer than the ring less 36 bytes is refused by
   * the file: "a message of N bytes does not fit a ring of M bytes". */
  void sink_it_(const spdlog::details::log_msg &msg) override {
    formatted_.clear();
    this->formatter_->format(msg, formatted_);
    if (formatted_.size() == 0) return;
    // Some refusals leave errno as it was: a reason from an earlier call must
    // not pass for theirs.
    errno = 0;
    const auto time_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(msg.time.time_since_epoch()).count();
    const int status = formatted_.size() > static_cast<std::size_t>(INT_MAX)
                           ? CYCLIC_FILE_WRITE_FAILED
                           : cyclic_file_write_entry_ex(
                                 file_, entry_level(msg.level), static_cast<int64_t>(time_ns),
                                 static_cast<int32_t>(msg.thread_id), formatted_.data(),
                                 static_cast<int>(formatted_.size()));
    if (status == CYCLIC_FILE_WRITE_FAILED && errno == EMSGSIZE) {
      spdlog::throw_spdlog_ex("rotolog: cannot write to cyclic file '" + path_ +
                              "': a message of " + std::to_string(formatted_.size()) +
                              " bytes does not fit a ring of " +
                              std::to_string(cyclic_file_get_buffer_size(file_)) + " bytes");
    }
    if (status != CYCLIC_FILE_OK) fail("cannot write to", status);
  }

  /* Writes the whole mapped file to disk and waits for it. The library has
   * no status text for a failed flush, so the text is the system's. */
  void flush_() override {
    if (cyclic_file_flush(file_) == 0)
      spdlog::throw_spdlog_ex("rotolog: cannot flush cyclic file '" + path_ + "'", errno);
  }

 private:
  // The library's text of `status`, then the reason errno gives, if any.
  [[noreturn]] void fail(const char *what, int status) const {
    const int error = errno;
    std::string text = std::string("rotolog: ") + what + " cyclic file '" + path_ +
                       "': " + cyclic_file_get_error_string(status);
    if (error != 0) text += " (" + std::generic_category().message(error) + ")";
    spdlog::throw_spdlog_ex(text);
  }

  std::string path_;
  void *file_ = nullptr;
  spdlog::memory_buf_t formatted_;  // reused under the mutex: no allocation per record
};

using cyclic_file_sink_mt = cyclic_file_sink<std::mutex>;
using cyclic_file_sink_st = cyclic_file_sink<spdlog::details::null_mutex>;

/* Factories in spdlog's style: a logger named `logger_name` with one
 * cyclic_file_sink, registered with spdlog (spdlog::get finds it; a name
 * already registered throws spdlog::spdlog_ex). Arguments and failures as the
 * sink's constructor. Factory may be spdlog::async_factory. */
template <typename Factory = spdlog::synchronous_factory>
inline std::shared_ptr<spdlog::logger> cyclic_file_logger_mt(const std::string &logger_name,
                                                             const std::string &path,
                                                             int ring_bytes,
                                                             int mode = CYCLIC_FILE_MODE_READ |
                                                                        CYCLIC_FILE_MODE_WRITE) {
  auto logger = Factory::template create<cyclic_file_sink_mt>(logger_name, path, ring_bytes, mode);
  // The registry gives a new logger its global pattern; the entry carries
  // what that pattern would repeat.
  logger->set_formatter(cyclic_file_sink_mt::entry_formatter());
  return logger;
}

template <typename Factory = spdlog::synchronous_factory>
inline std::shared_ptr<spdlog::logger> cyclic_file_logger_st(const std::string &logger_name,
                                                             const std::string &path,
                                                             int ring_bytes,
                                                             int mode = CYCLIC_FILE_MODE_READ |
                                                                        CYCLIC_FILE_MODE_WRITE) {
  auto logger = Factory::template create<cyclic_file_sink_st>(logger_name, path, ring_bytes, mode);
  logger->set_formatter(cyclic_file_sink_st::entry_formatter());
  return logger;
}

}  // namespace rotolog

#endif
