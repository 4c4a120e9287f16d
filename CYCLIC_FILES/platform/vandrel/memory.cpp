// vandrel memory: the allocator behind every block of rotolog, each request
// passed through the allocation seam so that a test can fail the Nth.
#include "rotolog/platform/vandrel.h"

#include <cstdlib>

#include "system_call.h"

using platform_call::allocation_fails;

extern "C" {

void *vel_malloc(size_t size) {
  if (allocation_fails()) return nullptr;
  // malloc(0) may return null; a zero-byte request still gets a block.
  return std::malloc(size ? size : 1);
}

void *vel_calloc(size_t count, size_t size) {
  if (allocation_fails()) return nullptr;
  if (count == 0 || size == 0) return std::calloc(1, 1);
  return std::calloc(count, size);
}

void *vel_realloc(void *block, size_t size) {
  if (allocation_fails()) return nullptr;
  return std::realloc(block, size ? size : 1);
}

void vel_free(void *block) { std::free(block); }

}  // extern "C"
