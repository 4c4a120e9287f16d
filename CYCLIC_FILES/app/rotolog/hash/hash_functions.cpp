// The hash module's prime bucket counts, its three hashes, its allocator
// defaults and the adapters that let sysbrace's text functions serve as
// string key functions.
#include "rotolog/platform/sysbrace.h"
#include "rotolog/platform/vandrel.h"

#include "rotolog/hash/hash_internal.h"

const uint32_t hash_primes[HASH_LARGEST_SIZE_INDEX + 1] = {
    11,      31,      61,       127,      251,      509,       1021,      2039,     4027,
    8191,    16381,   32749,    65521,    131071,   262139,    524287,    1048573,  2097143,
    4194301, 8388593, 16777213, 33554393, 67108859, 134217689, 268435399, 536870909};

/* ---- Hashes ---------------------------------------------------------- */

namespace {

template <bool kFoldCase>
uint32_t hash_bytes(const void *key) {
  if (key == nullptr) return 0;
  uint32_t hash = 0;
  for (const unsigned char *byte = static_cast<const unsigned char *>(key); *byte != 0; ++byte) {
    uint32_t value = *byte;
    if (kFoldCase && value > 0x60) value -= 0x20;
    hash = hash * 16 + value;
    if (hash >= 0x10000000u) hash = (hash ^ (hash >> 12)) & 0x0FFFFFFFu;
  }
  return hash & 0x7FFFFFFFu;
}

}  // namespace

uint32_t hash_string(const void *key) { return hash_bytes<false>(key); }

uint32_t hash_string_nocase(const void *key) { return hash_bytes<true>(key); }

uint32_t hash_key_value(const void *key) {
  uintptr_t bits = reinterpret_cast<uintptr_t>(key);
  uint32_t folded = static_cast<uint32_t>(bits);
  if constexpr (sizeof(uintptr_t) > sizeof(uint32_t)) {
    folded ^= static_cast<uint32_t>(static_cast<uint64_t>(bits) >> 32);
  }
  return __builtin_bswap32(folded);
}

namespace rotolog::detail {

/* ---- Allocation ------------------------------------------------------ */

void *allocate(const hash_table_t *table, size_t size) {
  return table->allocate != nullptr ? table->allocate(table->allocator_context, size)
                                    : vel_malloc(size);
}

void *allocate_zeroed(const hash_table_t *table, size_t count, size_t element_size) {
  return table->allocate_zeroed != nullptr
             ? table->allocate_zeroed(table->allocator_context, count, element_size)
             : vel_calloc(count, element_size);
}

void release(const hash_table_t *table, void *memory) {
  if (memory == nullptr) return;
  if (table->release != nullptr) {
    table->release(table->allocator_context, memory);
  } else {
    vel_free(memory);
  }
}

int size_index_for(int requested_size) {
  if (requested_size < 1) requested_size = 31;
  const uint32_t request = static_cast<uint32_t>(requested_size);
  int index = 0;
  while (index < HASH_LARGEST_SIZE_INDEX && request >= hash_primes[index + 1]) ++index;
  // The largest count is left for growth.
  return index == HASH_LARGEST_SIZE_INDEX ? -1 : index;
}

/* ---- String key adapters --------------------------------------------- */

// A null key equals only a null key, so lookups of null never reach the text
// functions with it.
int compare_strings(const void *given_key, const void *stored_key) {
  if (given_key == nullptr || stored_key == nullptr) return given_key == stored_key ? 0 : 1;
  return os_strcmp(static_cast<const char *>(given_key), static_cast<const char *>(stored_key));
}

int compare_strings_nocase(const void *given_key, const void *stored_key) {
  if (given_key == nullptr || stored_key == nullptr) return given_key == stored_key ? 0 : 1;
  return os_stricmp(static_cast<const char *>(given_key), static_cast<const char *>(stored_key));
}

void *copy_string_key(const void *key) { return os_strdup(static_cast<const char *>(key)); }

void release_string_key(void *stored_key) { os_strdup_free(static_cast<char *>(stored_key)); }

}  // namespace rotolog::detail
