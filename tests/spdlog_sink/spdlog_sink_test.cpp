// The spdlog sink: each record lands in the cyclic file as one formatted
// message, every failure reaches spdlog's error handler (or the caller, when
// opening) with the library's text, and loggers of several threads and
// processes share one file without tearing a record.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/async.h>
#include <spdlog/details/os.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/spdlog.h>

#include "rotolog/spdlog_sink.h"

#include "rotolog/platform/test_seams.h"
#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"

namespace {

using namespace test_support;
using namespace std::chrono_literals;

constexpr int kRing = 64 * 1024;

// The entries' texts one after the other, read through a handle of its own
// as another process would, with the number of messages (or a status).
VisitedMessages read_entries(const std::string &path) {
  VisitedMessages read;
  void *handle = cyclic_file_create_handle(
      path.c_str(), CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_MUST_EXIST, 0, &read.result);
  if (handle == nullptr) return read;
  read = visit_messages(handle);
  cyclic_file_destroy_handle(handle);
  return read;
}
Contents joined(const VisitedMessages &read) {
  Contents contents{read.result, ""};
  for (const Visited &message : read.messages) {
    EXPECT_TRUE(message.entry) << message.data;
    contents.text += message.data;
  }
  return contents;
}
Contents read_file(const std::string &path) { return joined(read_entries(path)); }

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1)
    lines.push_back(text.substr(from, end - from));
  if (from < text.size()) lines.push_back(text.substr(from) + "(no newline)");
  return lines;
}

// The text of a failure: the library's text, then the system's reason when
// the library left an errno.
std::string failure(const char *what, const std::string &path, int status, int error = 0) {
  std::string text = std::string("rotolog: ") + what + " cyclic file '" + path +
                     "': " + cyclic_file_get_error_string(status);
  if (error != 0) text += std::string(" (") + std::strerror(error) + ")";
  return text;
}

class SpdlogSinkTest : public ::testing::Test {
 protected:
  void TearDown() override { spdlog::drop_all(); }

  // A logger on `sink` that keeps the texts its error handler receives.
  std::shared_ptr<spdlog::logger> logger_on(spdlog::sink_ptr sink, const char *pattern = "%l %v") {
    auto logger = std::make_shared<spdlog::logger>("test", std::move(sink));
    logger->set_pattern(pattern);
    logger->set_error_handler([this](const std::string &text) { errors_.push_back(text); });
    return logger;
  }

  TempDir dir_;
  std::string path_ = dir_.file("log.cyclic");
  std::vector<std::string> errors_;
};

TEST_F(SpdlogSinkTest, WritesEachRecordFormattedAsOneMessage) {
  auto sink = std::make_shared<rotolog::cyclic_file_sink_mt>(path_, kRing);
  auto logger = logger_on(sink);
  logger->info("started {}", 1);
  logger->warn("disk {}% full", 93);
  logger->debug("below the logger's level");
  const std::string long_text(300, 'x');  // longer than the formatter's inline buffer
  logger->error(long_text);
  logger->info("after the long one");

  const std::string expected =
      "info started 1\nwarning disk 93% full\nerror " + long_text + "\ninfo after the long one\n";
  Contents contents = read_file(path_);
  EXPECT_EQ(contents.count, 4);
  EXPECT_EQ(contents.text, expected);
  contents = joined(visit_messages(sink->handle()));
  EXPECT_EQ(contents.count, 4);
  EXPECT_EQ(contents.text, expected);
  EXPECT_EQ(sink->filename(), path_);
  logger->flush();
  EXPECT_TRUE(errors_.empty()) << errors_.front();
}

TEST_F(SpdlogSinkTest, LeavesEmptyRecordsOut) {
  auto sink = std::make_shared<rotolog::cyclic_file_sink_st>(path_, kRing);
  auto logger = logger_on(sink);
  sink->set_formatter(
      std::make_unique<spdlog::pattern_formatter>("%v", spdlog::pattern_time_type::local, ""));
  logger->info("");
  logger->info("x");
  const Contents contents = read_file(path_);
  EXPECT_EQ(contents.count, 1);
  EXPECT_EQ(contents.text, "x");
  EXPECT_TRUE(errors_.empty()) << errors_.front();
}

// The entry carries the record's time, level and thread and this process's
// id; the default pattern adds only the logger's name to the message.
TEST_F(SpdlogSinkTest, RecordsAreEntriesWithTheirTimeLevelAndThread) {
  auto logger = rotolog::cyclic_file_logger_mt("service", path_, kRing);
  logger->set_level(spdlog::level::trace);
  const auto before = std::chrono::system_clock::now();
  const spdlog::level::level_enum levels[] = {spdlog::level::trace, spdlog::level::debug,
                                              spdlog::level::info,  spdlog::level::warn,
                                              spdlog::level::err,   spdlog::level::critical};
  for (const auto level : levels) logger->log(level, "at {}", static_cast<int>(level));
  const auto after = std::chrono::system_clock::now();
  const auto ns = [](std::chrono::system_clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  };
  const VisitedMessages read = read_entries(path_);
  ASSERT_EQ(read.result, 6);
  const int priorities[] = {7, 7, 6, 4, 3, 2};
  for (int i = 0; i < 6; ++i) {
    const Visited &entry = read.messages[static_cast<std::size_t>(i)];
    EXPECT_TRUE(entry.entry);
    EXPECT_EQ(entry.data, "[service] at " + std::to_string(i));
    EXPECT_EQ(entry.level, priorities[i]);
    EXPECT_EQ(entry.pid, getpid());
    EXPECT_EQ(entry.tid, static_cast<int32_t>(spdlog::details::os::thread_id()));
    EXPECT_GE(entry.time_ns, ns(before));
    EXPECT_LE(entry.time_ns, ns(after));
  }
}

// ---- failures -----------------------------------------------------------------

TEST_F(SpdlogSinkTest, WriteFailuresReachTheErrorHandlerWithTheLibrarysTextAndTheReason) {
  {  // The file exists with one record; a sink opened to read only cannot add one.
    // The refusal sets no errno: the one of an earlier call is not its reason.
    logger_on(std::make_shared<rotolog::cyclic_file_sink_mt>(path_, 256))->info("one");
    auto logger =
        logger_on(std::make_shared<rotolog::cyclic_file_sink_mt>(path_, 0, CYCLIC_FILE_MODE_READ));
    errno = EIO;
    logger->info("two");
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0], failure("cannot write to", path_, CYCLIC_FILE_PERMISSION_DENIED));
    EXPECT_EQ(read_file(path_).text, "info one\n");
  }
  {  // A record longer than the ring is refused; the next ones are written.
    auto logger = logger_on(std::make_shared<rotolog::cyclic_file_sink_mt>(path_, 0));
    logger->info(std::string(300, 'y'));
    logger->info("after");
    ASSERT_EQ(errors_.size(), 2u);
    EXPECT_EQ(errors_[1], "rotolog: cannot write to cyclic file '" + path_ +
                              "': a message of 306 bytes does not fit a ring of 256 bytes");
    const Contents contents = read_file(path_);
    EXPECT_EQ(contents.count, 2);
    EXPECT_EQ(contents.text, "info one\ninfo after\n");
  }
  {  // Another program damages the header while the sink has the file open.
    auto logger = logger_on(std::make_shared<rotolog::cyclic_file_sink_mt>(path_, 0));
    ASSERT_TRUE(overwrite(path_, 0, std::string(28, '\xff')));
    logger->info("into a damaged file");
    ASSERT_EQ(errors_.size(), 3u);
    EXPECT_EQ(errors_[2], failure("cannot write to", path_, CYCLIC_FILE_READ_ALL_FAILED));
  }
}

TEST_F(SpdlogSinkTest, FlushFailureReachesTheErrorHandlerWithTheSystemsText) {
  auto logger = logger_on(std::make_shared<rotolog::cyclic_file_sink_mt>(path_, kRing));
  logger->info("to be flushed");
  test_seam_fail(TEST_SEAM_FLUSH_VIEW, 1, EIO);
  logger->flush();
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], "rotolog: cannot flush cyclic file '" + path_ + "': " + std::strerror(EIO));
  logger->flush();  // the next flush reaches the disk
  EXPECT_EQ(errors_.size(), 1u);
}

TEST_F(SpdlogSinkTest, OpenFailuresThrowWithTheLibrarysTextAndTheReason) {
  write_file(dir_.file("damaged.cyclic"), std::string(64, '\xff'));
  const struct {
    std::string path;
    int ring_bytes;
    int mode;
    int status;
    int error;  // the reason in parentheses; 0: none (no system call failed)
  } cases[] = {
      {dir_.file("missing.cyclic"), kRing, CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_MUST_EXIST,
       CYCLIC_FILE_NOT_FOUND, ENOENT},
      {dir_.file("new.cyclic"), 0, CYCLIC_FILE_MODE_WRITE, CYCLIC_FILE_INVALID_BUFFER_SIZE, 0},
      {dir_.file("damaged.cyclic"), kRing, CYCLIC_FILE_MODE_WRITE, CYCLIC_FILE_LOAD_ERROR, 0},
      {dir_.path(), kRing, CYCLIC_FILE_MODE_WRITE, CYCLIC_FILE_MAP_FAILED, EISDIR},
  };
  for (const auto &item : cases) {
    SCOPED_TRACE(item.path);
    errno = EIO;  // left by an earlier call: never taken for the reason
    try {
      rotolog::cyclic_file_sink_st sink(item.path, item.ring_bytes, item.mode);
      ADD_FAILURE() << "opened";
    } catch (const spdlog::spdlog_ex &error) {
      EXPECT_EQ(error.what(), failure("cannot open", item.path, item.status, item.error));
    }
  }
  // A full disk while the file is laid out: the status says the file is not
  // there, the reason why.
  test_seam_fail(TEST_SEAM_FILE_RESERVE, 1, ENOSPC);
  const std::string full = dir_.file("full.cyclic");
  try {
    rotolog::cyclic_file_sink_st sink(full, kRing);
    ADD_FAILURE() << "opened on a full disk";
  } catch (const spdlog::spdlog_ex &error) {
    EXPECT_EQ(error.what(), "rotolog: cannot open cyclic file '" + full +
                                "': File not found (No space left on device)");
  }
  // The factory throws the same, and registers no logger.
  EXPECT_THROW(rotolog::cyclic_file_logger_mt("service", dir_.path(), kRing), spdlog::spdlog_ex);
  EXPECT_EQ(spdlog::get("service"), nullptr);
}

// ---- factories ------------------------------------------------------------------

TEST_F(SpdlogSinkTest, FactoriesRegisterLoggersUnderTheirNames) {
  auto logger = rotolog::cyclic_file_logger_mt("service", path_, kRing);
  EXPECT_EQ(spdlog::get("service"), logger);
  EXPECT_THROW(rotolog::cyclic_file_logger_st("service", path_, kRing), spdlog::spdlog_ex);
  auto single = rotolog::cyclic_file_logger_st("single", path_, kRing);
  logger->set_pattern("%n %v");
  single->set_pattern("%n %v");
  logger->info("a");
  single->info("b");
  EXPECT_EQ(read_file(path_).text, "service a\nsingle b\n");
}

TEST_F(SpdlogSinkTest, AsyncFactoryDeliversEveryRecordInOrder) {
  auto logger = rotolog::cyclic_file_logger_mt<spdlog::async_factory>("async", path_, kRing);
  logger->set_pattern("%v");
  std::string expected;
  for (int i = 0; i < 100; ++i) {
    logger->info("record {}", i);
    expected += "record " + std::to_string(i) + "\n";
  }
  logger.reset();
  spdlog::shutdown();  // drains the queue and joins the worker
  const VisitedMessages read = read_entries(path_);
  const Contents contents = joined(read);
  EXPECT_EQ(contents.count, 100);
  EXPECT_EQ(contents.text, expected);
  // The thread is the one that logged, not the worker that wrote.
  for (const Visited &entry : read.messages)
    EXPECT_EQ(entry.tid, static_cast<int32_t>(spdlog::details::os::thread_id()));
}

// ---- sharing ----------------------------------------------------------------------

// Writer `process` logs kRecords records from each of kThreads threads through
// one logger; the records differ in length so that a torn one shows.
constexpr int kThreads = 4;
constexpr int kRecords = 1000;

std::string record_text(int process, int thread, int record) {
  return "p" + std::to_string(process) + " t" + std::to_string(thread) + " r" +
         std::to_string(record) + " " +
         std::string(static_cast<std::size_t>(record % 61), 'a' + process) + "|";
}

void log_from_threads(spdlog::logger &logger, int process) {
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread)
    threads.emplace_back([&logger, process, thread] {
      for (int record = 0; record < kRecords; ++record)
        logger.info(record_text(process, thread, record));
    });
  for (auto &thread : threads) thread.join();
}

TEST_F(SpdlogSinkTest, ThreadsAndProcessesShareOneFileWithEveryRecordWhole) {
  constexpr int kChildren = 2;
  constexpr int kSharedRing = 1024 * 1024;  // holds every record: none is evicted
  {  // Created before the fork, so that every writer opens the same file.
    rotolog::cyclic_file_sink_st create(path_, kSharedRing);
  }
  std::vector<pid_t> children;
  for (int child = 1; child <= kChildren; ++child)
    children.push_back(start_child([this, child] {
      auto logger = rotolog::cyclic_file_logger_mt("child", path_, kSharedRing);
      logger->set_pattern("%v");
      int failed = 0;
      logger->set_error_handler([&failed](const std::string &) { ++failed; });
      log_from_threads(*logger, child);
      return failed == 0 ? 0 : 1;
    }));
  auto logger = logger_on(std::make_shared<rotolog::cyclic_file_sink_mt>(path_, kSharedRing), "%v");
  log_from_threads(*logger, 0);
  for (const pid_t child : children) EXPECT_EQ(wait_child(child, 60s), 0);
  EXPECT_TRUE(errors_.empty()) << errors_.front();

  const Contents contents = read_file(path_);
  EXPECT_EQ(contents.count, (kChildren + 1) * kThreads * kRecords);
  std::vector<std::string> lines = lines_of(contents.text);
  // One thread's records keep their order.
  std::vector<int> next(static_cast<std::size_t>((kChildren + 1) * kThreads), 0);
  for (const std::string &line : lines) {
    int process = -1, thread = -1, record = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "p%d t%d r%d", &process, &thread, &record), 3) << line;
    ASSERT_TRUE(process >= 0 && process <= kChildren && thread >= 0 && thread < kThreads) << line;
    const std::size_t writer = static_cast<std::size_t>(process * kThreads + thread);
    ASSERT_EQ(record, next[writer]) << line;
    ASSERT_EQ(line, record_text(process, thread, record));
    ++next[writer];
  }
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(contents.count));
}

}  // namespace
