// Writes the seed corpora of the fuzz targets into a directory: real cyclic
// files in several states (empty, partly filled, wrapped, full) made with the
// library, their headers, and a few operation sequences for the buffer model.
#include <sys/stat.h>
#include <unistd.h>
#include "rotolog/cyclic_file.h"

#include <cstdio>
#include <random>
#include <string>

#include "support/cyclic_file_fixture.h"

namespace {

using test_support::write_file;

// A real cyclic file of `ring` bytes after `messages` writes of varied lengths.
std::string make_cyclic_file(const std::string &scratch, int ring, int messages) {
  unlink(scratch.c_str());
  int status = 0;
  void *handle =
      cyclic_file_create_handle(scratch.c_str(), test_support::kReadWrite, ring, &status);
  if (handle == nullptr) return std::string();
  for (int i = 0; i < messages; ++i)
    cyclic_file_fwritef(handle, "m%d%.*s", i, (i * 7) % 19, "###################");
  cyclic_file_destroy_handle(handle);
  std::string bytes = test_support::read_file(scratch);
  unlink(scratch.c_str());
  unlink((scratch + "-lock").c_str());
  return bytes;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_seeds DIRECTORY\n");
    return 2;
  }
  const std::string root = argv[1];
  for (const char *target :
       {"", "/header_decoder", "/cyclic_file", "/buffer_model", "/salvage", "/message_formats"})
    mkdir((root + target).c_str(), 0755);

  int written = 0;
  const std::string scratch = root + "/scratch.cyclic";
  for (int ring : {64, 100, 256}) {
    for (int messages : {0, 1, 3, 8, 20, 45}) {
      std::string file = make_cyclic_file(scratch, ring, messages);
      if (file.empty()) return 1;
      std::string name = "/ring" + std::to_string(ring) + "-messages" + std::to_string(messages);
      written += write_file(root + "/cyclic_file" + name, file);
      written += write_file(root + "/salvage" + name, file);
      written += write_file(root + "/header_decoder" + name,
                            file.substr(0, file.size() < 60 ? file.size() : 60));
    }
  }
  std::mt19937 random(20261207);
  for (int seed = 0; seed < 16; ++seed) {
    std::string operations(static_cast<size_t>(64 + seed * 32), '\0');
    for (char &byte : operations) byte = static_cast<char>(random());
    written += write_file(root + "/buffer_model/sequence" + std::to_string(seed), operations);
  }
  // rotolog-cat's printing: 24 bytes of fields and layout, then a message.
  const char *const messages[] = {
      "plain",     "two\nlines\n", "\x1b[2J\xe2\x80\xae\xe2\x94\x82 x", "2026-12-08 03:14:15.5Z",
      "-1h 30min", "\xff\xc3\t\r"};
  for (int seed = 0; seed < 12; ++seed) {
    std::string input(24, '\0');
    for (char &byte : input) byte = static_cast<char>(random());
    input[22] = static_cast<char>(seed % 5);
    input[23] = static_cast<char>(seed % 4);
    input += messages[seed % 6];
    written += write_file(root + "/message_formats/seed" + std::to_string(seed), input);
  }
  std::printf("fuzz_make_seeds: %d seed files in %s\n", written, root.c_str());
  return 0;
}
