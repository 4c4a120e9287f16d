// rotolog demo: the in-memory cyclic buffer in eviction mode and in growth
// mode, with plain and array messages; then the main job, several processes
// appending to one cyclic file at once and a fresh handle reading it back.
// Usage: rotolog_demo [FILE]  (default: rotolog-demo.cyclic in $TMPDIR, or else /tmp)
#include <rotolog/cyclic_buffer.h>
#include <rotolog/cyclic_file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

int write_text(void *buffer, const std::string &text) {
  return cyclic_buffer_write_message(buffer, text.data(), static_cast<int>(text.size()));
}

// Reads and prints every stored single message, oldest first.
void drain_messages(void *buffer) {
  char *data = nullptr;
  int length = 0;
  int rc = 0;
  while ((rc = cyclic_buffer_read_message(buffer, &data, &length)) == CYCLIC_BUFFER_OK)
    std::printf("    read \"%.*s\"\n", length, data);
  if (rc != CYCLIC_BUFFER_NO_MORE_MESSAGES)
    std::printf("    read failed: %s\n", cyclic_buffer_get_error_string(rc));
}

bool demo_buffer_eviction() {
  std::printf("Eviction mode: a 64-byte buffer keeps only the newest messages\n");
  void *buffer = cyclic_buffer_create_handle(64);
  if (buffer == nullptr) return false;
  for (int i = 1; i <= 6; ++i) {
    const std::string text = "event " + std::to_string(i) + " happened";
    const int rc = write_text(buffer, text);
    std::printf("  wrote \"%s\" (%s); %d stored\n", text.c_str(),
                rc == 0 ? "ok" : cyclic_buffer_get_error_string(rc),
                cyclic_buffer_get_current_number_of_messages(buffer));
  }
  const std::string too_long(61, 'x');
  std::printf("  a 61-byte message: %s\n",
              cyclic_buffer_get_error_string(write_text(buffer, too_long)));
  drain_messages(buffer);
  cyclic_buffer_destroy_handle(buffer);
  return true;
}

bool demo_buffer_growth() {
  std::printf("Growth mode: a 32-byte buffer limited to 4 messages grows instead of dropping\n");
  void *buffer = cyclic_buffer_create_handle_ex(32, 4);
  if (buffer == nullptr) return false;
  for (int i = 1; i <= 6; ++i) {
    const std::string text = "growth record number " + std::to_string(i);
    if (write_text(buffer, text) != CYCLIC_BUFFER_OK) {
      cyclic_buffer_destroy_handle(buffer);
      return false;
    }
    std::printf("  wrote %zu bytes; %d stored\n", text.size(),
                cyclic_buffer_get_current_number_of_messages(buffer));
  }
  std::printf(
      "  created with 32 bytes, it now holds 4 records of 26 bytes;\n"
      "  the limit dropped the two oldest:\n");
  drain_messages(buffer);
  cyclic_buffer_destroy_handle(buffer);
  return true;
}

bool demo_buffer_arrays() {
  std::printf("Array messages: segments written in one call come back as segments\n");
  void *buffer = cyclic_buffer_create_handle(96);
  if (buffer == nullptr) return false;
  const char *segments[3] = {"2026-12-07T09:30:00", "worker-3", "queue drained"};
  int16_t lengths[3];
  for (int i = 0; i < 3; ++i) lengths[i] = static_cast<int16_t>(std::strlen(segments[i]));
  int rc = cyclic_buffer_write_array(buffer, segments, lengths, 3);
  std::printf("  wrote 3 segments: %s\n", rc == 0 ? "ok" : cyclic_buffer_get_error_string(rc));
  rc = write_text(buffer, "plain message after the array");
  std::printf("  wrote a plain message: %s\n", rc == 0 ? "ok" : cyclic_buffer_get_error_string(rc));

  // A record of total T holds at most T / 3 segments, and T < 96 here.
  char *out[96 / 3];
  int16_t out_lengths[96 / 3];
  int count = 0;
  rc = cyclic_buffer_read_array(buffer, out, out_lengths, &count);
  if (rc == CYCLIC_BUFFER_OK) {
    std::printf("  read an array of %d segments:", count);
    for (int i = 0; i < count; ++i) std::printf(" [%.*s]", out_lengths[i], out[i]);
    std::printf("\n");
  }
  drain_messages(buffer);
  cyclic_buffer_destroy_handle(buffer);
  return rc == CYCLIC_BUFFER_OK;
}

constexpr int kWriters = 4;
constexpr int kMessagesPerWriter = 5000;
constexpr int kFileRing = 256 * 1024;

// One writer process: formatted messages that say who wrote them and carry a
// check digit, so the reader can tell a whole message from a torn one.
int run_writer(const char *path, int writer) {
  int status = 0;
  void *file = cyclic_file_create_handle(path, CYCLIC_FILE_MODE_WRITE, kFileRing, &status);
  if (file == nullptr) return 1;
  for (int sequence = 0; sequence < kMessagesPerWriter; ++sequence) {
    int rc = cyclic_file_fwritef(file, "writer %d message %05d check %d\n", writer, sequence,
                                 (writer * 7 + sequence) % 10);
    if (rc != CYCLIC_FILE_OK) return 2;
  }
  cyclic_file_destroy_handle(file);
  return 0;
}

bool demo_cyclic_file(const char *path) {
  std::printf("Cyclic file: %d processes append to %s (ring of %d bytes)\n", kWriters, path,
              kFileRing);
  unlink(path);  // a fresh file for every run of the demo
  std::vector<pid_t> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    pid_t child = fork();
    if (child == 0) _exit(run_writer(path, writer));
    writers.push_back(child);
  }
  bool all_wrote = true;
  for (pid_t child : writers) {
    int status = 0;
    waitpid(child, &status, 0);
    all_wrote = all_wrote && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  std::printf("  each writer wrote %d messages: %s\n", kMessagesPerWriter,
              all_wrote ? "ok" : "FAILED");

  int status = 0;
  void *reader = cyclic_file_create_handle(path, CYCLIC_FILE_MODE_READ, 0, &status);
  if (reader == nullptr) {
    std::printf("  could not open the file: %s\n", cyclic_file_get_error_string(status));
    return false;
  }
  char *block = nullptr;
  int length = 0;
  int count = cyclic_file_read_all(reader, &block, &length);
  if (count < 0) {
    std::printf("  read_all: %s\n", cyclic_file_get_error_string(count));
    cyclic_file_destroy_handle(reader);
    return false;
  }
  // Every message ends in a newline; each must parse and pass its check.
  std::map<int, int> survived;
  std::vector<std::string> lines;
  int torn = 0;
  for (int start = 0, at = 0; at < length; ++at) {
    if (block[at] != '\n') continue;
    std::string line(block + start, static_cast<size_t>(at - start));
    int writer = -1, sequence = -1, check = -1;
    if (std::sscanf(line.c_str(), "writer %d message %d check %d", &writer, &sequence, &check) ==
            3 &&
        check == (writer * 7 + sequence) % 10) {
      ++survived[writer];
    } else {
      ++torn;
    }
    lines.push_back(line);
    start = at + 1;
  }
  cyclic_file_free_read_buffer(reader, block);
  cyclic_file_destroy_handle(reader);

  struct stat info {};
  stat(path, &info);
  std::printf("  file size %lld bytes; %d messages survived (%d bytes), %d torn\n",
              static_cast<long long>(info.st_size), count, length, torn);
  std::printf("  the ring keeps the newest messages; older ones were evicted:\n");
  for (int writer = 0; writer < kWriters; ++writer) {
    std::printf("    writer %d: %d of %d messages survive\n", writer, survived[writer],
                kMessagesPerWriter);
  }
  std::printf("  the last few messages:\n");
  for (size_t i = lines.size() > 4 ? lines.size() - 4 : 0; i < lines.size(); ++i)
    std::printf("    %s\n", lines[i].c_str());
  return all_wrote && torn == 0 && count == static_cast<int>(lines.size());
}

}  // namespace

int main(int argc, char **argv) {
  const char *tmp = std::getenv("TMPDIR");
  const std::string default_path =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/rotolog-demo.cyclic";
  const char *file_path = argc > 1 ? argv[1] : default_path.c_str();
  const bool ok = demo_buffer_eviction() && demo_buffer_growth() && demo_buffer_arrays() &&
                  demo_cyclic_file(file_path);
  std::printf(ok ? "Demo finished.\n" : "Demo failed.\n");
  // Where to look next: the file stays, with the demo's messages.
  std::printf("Its messages: rotolog-cat %s  (make build makes build/release/bin/rotolog-cat)\n",
              file_path);
  return ok ? 0 : 1;
}
