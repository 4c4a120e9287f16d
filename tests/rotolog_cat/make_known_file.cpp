// Writes the cyclic file that check_rotolog_cat.sh expects: a 64-byte ring in
// which the first message has been evicted and the last one's payload crosses
// the ring's end, holding text, text that needs JSON escapes, binary bytes
// and UTF-8. With a second argument "empty" the file holds no message; with
// "messages", each further argument is appended to FILE (made with a ring of
// 64 KiB when missing) as one message; with "entries", each further argument
// LEVEL:TEXT as an entry of that level (0 to 7), and an argument "raw:TEXT"
// as a raw message.
#include "rotolog/cyclic_file.h"

#include <cstdio>
#include <cstring>

namespace {

int append_messages(const char *path, int count, char **messages, bool entries) {
  int status = 0;
  void *file = cyclic_file_create_handle(path, CYCLIC_FILE_MODE_WRITE, 1 << 16, &status);
  if (file == nullptr) {
    std::fprintf(stderr, "make_known_file: %s\n", cyclic_file_get_error_string(status));
    return 1;
  }
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    const char *text = messages[i];
    const char *colon = std::strchr(text, ':');
    if (!entries) {
      failures += cyclic_file_write(file, text, static_cast<int>(std::strlen(text))) != 0;
    } else if (colon != nullptr && std::strncmp(text, "raw:", 4) == 0) {
      failures += cyclic_file_write(file, colon + 1, static_cast<int>(std::strlen(colon + 1))) != 0;
    } else if (colon != nullptr && colon == text + 1 && text[0] >= '0' && text[0] <= '7') {
      failures += cyclic_file_write_entry(file, text[0] - '0', colon + 1,
                                          static_cast<int>(std::strlen(colon + 1))) != 0;
    } else {
      std::fprintf(stderr, "make_known_file: not LEVEL:TEXT or raw:TEXT: %s\n", text);
      ++failures;
    }
  }
  cyclic_file_destroy_handle(file);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 3 && std::strcmp(argv[2], "messages") == 0)
    return append_messages(argv[1], argc - 3, argv + 3, false);
  if (argc >= 3 && std::strcmp(argv[2], "entries") == 0)
    return append_messages(argv[1], argc - 3, argv + 3, true);
  bool empty = argc == 3 && std::strcmp(argv[2], "empty") == 0;
  if (argc != 2 && !empty) {
    std::fprintf(stderr, "usage: make_known_file FILE [empty]\n");
    return 2;
  }
  int status = 0;
  void *file = cyclic_file_create_handle(argv[1], CYCLIC_FILE_MODE_WRITE, 64, &status);
  if (file == nullptr) {
    std::fprintf(stderr, "make_known_file: %s\n", cyclic_file_get_error_string(status));
    return 1;
  }
  static const char binary[] = {'\x00', '\x01', '\xfe', '\xff'};
  struct Message {
    const char *data;
    int length;
  } messages[] = {
      {"evicted early", 13},                // record at 0..16
      {"first line\n", 11},                 // 17..31
      {"say \"hi\"\t\\", 10},               // 32..45
      {binary, 4},                          // 46..53
      {"h\xc3\xa9llo wrapped around", 21},  // 54..63 then 0..14, evicting the first
  };
  int failures = 0;
  for (const Message &message : messages) {
    if (empty) break;
    int rc = cyclic_file_write(file, message.data, message.length);
    if (rc != CYCLIC_FILE_OK) {
      std::fprintf(stderr, "make_known_file: write: %s\n", cyclic_file_get_error_string(rc));
      ++failures;
    }
  }
  cyclic_file_destroy_handle(file);
  return failures == 0 ? 0 : 1;
}
