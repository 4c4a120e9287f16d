// libFuzzer target: a cyclic file made of the fuzzer's bytes, opened, written
// and read through the exported functions. Every call must return a
// documented code; a write that succeeds must be the newest message a
// following read returns, and a read must describe a block within the ring.
#include "rotolog/cyclic_file.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_file.h"
#include "support/cyclic_file_fixture.h"

namespace {

bool is_load_code(int status) {
  return status == CYCLIC_FILE_LOAD_ERROR || status == CYCLIC_FILE_MAP_FAILED ||
         status == CYCLIC_FILE_NOT_FOUND;
}

// Reads everything; returns the count, and checks the block against the ring.
int read_checked(void *handle, std::string *contents) {
  char *block = nullptr;
  int length = -1;
  const int count = cyclic_file_read_all(handle, &block, &length);
  if (count < 0) {
    if (count != CYCLIC_FILE_READ_ALL_FAILED || block != nullptr || length != 0) std::abort();
    return count;
  }
  if (count == 0 && (block != nullptr || length != 0)) std::abort();
  if (count > 0 && (block == nullptr || length < count)) std::abort();
  contents->assign(block != nullptr ? block : "", static_cast<size_t>(length));
  cyclic_file_free_read_buffer(handle, block);
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 16) return 0;
  const std::string &path = write_fuzz_file(data, size);

  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), test_support::kReadWrite, 64, &status);
  if (handle == nullptr) {
    if (!is_load_code(status)) std::abort();
    return 0;
  }
  if (status != CYCLIC_FILE_OK) std::abort();

  std::string before;
  // A file that reads back whole must still read back whole after a write
  // that succeeds, ending with that write's message.
  bool readable = read_checked(handle, &before) >= 0;
  // Messages of a few lengths taken from the input, so some evict and wrap.
  for (int round = 0; round < 3; ++round) {
    const int length =
        1 + static_cast<int>((size > static_cast<size_t>(round) ? data[round] : round) % 48);
    const std::string message(static_cast<size_t>(length), static_cast<char>('a' + round));
    const int written = cyclic_file_write(handle, message.data(), length);
    if (written != CYCLIC_FILE_OK && written != CYCLIC_FILE_WRITE_FAILED &&
        written != CYCLIC_FILE_READ_ALL_FAILED) {
      std::abort();
    }
    std::string after;
    const int count_after = read_checked(handle, &after);
    if (written == CYCLIC_FILE_OK && readable) {
      if (count_after < 1 || after.size() < message.size() ||
          after.compare(after.size() - message.size(), message.size(), message) != 0) {
        std::abort();
      }
    }
    // A header that reloaded for the last read reloads for this write too.
    // (A write into a file already damaged may leave a header that no longer
    // loads: the damage is reported, never repaired.)
    if (written == CYCLIC_FILE_READ_ALL_FAILED && readable) std::abort();
    readable = count_after >= 0;
  }
  // A flush waits for the disk: only a few inputs ask for one.
  if (size > 3 && data[3] == 0x7f && cyclic_file_flush(handle) < 0) std::abort();
  cyclic_file_destroy_handle(handle);
  return 0;
}
