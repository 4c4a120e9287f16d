// Logs through the spdlog sink of an installed rotolog: records from a
// logger of the factory are read back from the file, and a write the file
// refuses reaches the logger's error handler. Exits 0 when both answer as
// documented, 1 otherwise (printing what differed).
// Usage: rotolog_spdlog_consumer FILE
#include <rotolog/spdlog_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  unlink(path.c_str());
  int failures = 0;
  {
    auto logger = rotolog::cyclic_file_logger_mt("consumer", path, 4096);
    logger->set_pattern("%l %v");
    logger->info("request {} took {} ms", 7, 12);
    logger->warn("slow");
  }
  spdlog::drop("consumer");

  // Each record is an entry: its text, and its level as syslog's.
  auto reader = std::make_shared<rotolog::cyclic_file_sink_st>(path, 0, CYCLIC_FILE_MODE_READ);
  std::string text;
  const int count = cyclic_file_read_messages(
      reader->handle(), 0, -1,
      [](const cyclic_file_message_t *message, void *context) {
        std::string &kept = *static_cast<std::string *>(context);
        kept += std::to_string(message->is_entry ? message->level : -1) + " ";
        kept.append(message->data, static_cast<std::size_t>(message->length));
        return 0;
      },
      &text);
  if (count != 2 || text != "6 info request 7 took 12 ms\n4 warning slow\n") {
    std::printf("read back %d messages: \"%s\"\n", count, text.c_str());
    ++failures;
  }

  // The reader's sink has no write permission: its records fail.
  spdlog::logger refused("refused", reader);
  std::string handled;
  refused.set_error_handler([&handled](const std::string &message) { handled = message; });
  refused.info("not written");
  const std::string expected =
      "rotolog: cannot write to cyclic file '" + path + "': Permission denied";
  if (handled != expected) {
    std::printf("error handler got \"%s\", expected \"%s\"\n", handled.c_str(), expected.c_str());
    ++failures;
  }
  if (failures == 0) std::printf("rotolog spdlog consumer: ok\n");
  return failures == 0 ? 0 : 1;
}
