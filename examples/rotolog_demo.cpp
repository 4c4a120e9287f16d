// rotolog demo: the in-memory cyclic buffer in eviction mode and in growth
// mode, with plain and array messages. Each part is one function, so later
// parts (cyclic files) slot in beside them.
#include <rotolog/cyclic_buffer.h>

#include <cstdio>
#include <cstring>
#include <string>

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
  std::printf("  a 61-byte message: %s\n", cyclic_buffer_get_error_string(write_text(buffer, too_long)));
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
  std::printf("  created with 32 bytes, it now holds 4 records of 26 bytes;\n"
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

}  // namespace

int main() {
  const bool ok = demo_buffer_eviction() && demo_buffer_growth() && demo_buffer_arrays();
  std::printf(ok ? "Demo finished.\n" : "Demo failed.\n");
  return ok ? 0 : 1;
}
