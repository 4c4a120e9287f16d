// vandrel memory: the allocator behind every block of rotolog, with the test
// seam that makes a chosen allocation fail.
#include <rotolog/platform/vandrel.h>

#include <cstdlib>

#include "../test_seams.h"
#include "fault_seam.h"

namespace {
platform_seam::FaultPoint allocation_fault;

bool allocation_must_fail() { return allocation_fault.check() != 0; }
}  // namespace

extern "C" {

void *vel_malloc(size_t size) {
  if (allocation_must_fail()) return nullptr;
  // malloc(0) may return null; a zero-byte request still gets a block.
  return std::malloc(size ? size : 1);
}

void *vel_calloc(size_t count, size_t size) {
  if (allocation_must_fail()) return nullptr;
  if (count == 0 || size == 0) return std::calloc(1, 1);
  return std::calloc(count, size);
}

void *vel_realloc(void *block, size_t size) {
  if (allocation_must_fail()) return nullptr;
  return std::realloc(block, size ? size : 1);
}

void vel_free(void *block) { std::free(block); }

void vandrel_test_fail_allocation(long nth) { allocation_fault.arm(nth, 1); }

long vandrel_test_allocation_count(void) { return allocation_fault.calls(); }

}  // extern "C"
