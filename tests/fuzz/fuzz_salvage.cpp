// libFuzzer target: the salvage of a cyclic file made of the fuzzer's bytes.
// Whatever the records hold, the plan keeps records inside the header's span
// only, and the ring it leaves is consistent: planning again changes nothing,
// and every kept record reads back.
#include "rotolog/cyclic_file.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_file.h"
#include "rotolog/cyclic_file_handle.h"

using namespace rotolog::detail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 16) return 0;
  const std::string &path = write_fuzz_file(data, size);

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
