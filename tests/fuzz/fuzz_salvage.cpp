// libFuzzer target: the salvage of a cyclic file made of the fuzzer's bytes.
// Whatever the records hold, the plan keeps records inside the header's span
// only, and the ring it leaves is consistent: planning again changes nothing,
// and every kept record reads back.
#include <rotolog/cyclic_file.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rotolog/cyclic_file_handle.h"

namespace {

const std::string &file_path() {
  static const std::string path = [] {
    const char *tmp = std::getenv("TMPDIR");
    static std::string directory =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/rotolog-fuzz-salvage-XXXXXX";
    if (mkdtemp(&directory[0]) == nullptr) std::abort();
    std::atexit([] {
      unlink((directory + "/fuzz.cyclic").c_str());
      unlink((directory + "/fuzz.cyclic-lock").c_str());
      rmdir(directory.c_str());
    });
    return directory + "/fuzz.cyclic";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 16) return 0;
  const std::string &path = file_path();
  FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), CYCLIC_FILE_MODE_READ, 0, &status);
  if (handle == nullptr) return 0;
  CCyclicFile *cyclic = static_cast<CCyclicFile *>(handle);
  CCyclicFile::SalvagePlan plan;
  if (cyclic->verify(&plan) != 0) std::abort();  // nobody else writes this file
  if (plan.kept_span > plan.header_span || plan.kept_count < 0 ||
      static_cast<int64_t>(plan.kept_count) * 5 > plan.kept_span ||
      plan.kept_payload > plan.kept_span)
    std::abort();
  if (plan.consistent && plan.kept_count != plan.header_count) std::abort();
  cyclic->apply_salvage(plan);
  CCyclicFile::SalvagePlan again;
  cyclic->plan_salvage(&again);
  if (!again.consistent || again.kept_count != plan.kept_count ||
      again.kept_payload != plan.kept_payload)
    std::abort();
  std::vector<char> block(static_cast<size_t>(cyclic->buffer_size) + 1);
  int64_t copied = 0;
  if (cyclic->copy_messages(block.data(), cyclic->buffer_size, &copied) != 0 ||
      copied != plan.kept_payload)
    std::abort();
  cyclic_file_destroy_handle(handle);
  return 0;
}
