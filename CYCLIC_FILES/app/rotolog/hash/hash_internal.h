// Helpers shared by the hash module's files: the table's allocator with its
// outside-allocator defaults, bucket arithmetic, and the string key adapters
// that fit sysbrace's text functions to the table's function types.
#ifndef ROTOLOG_HASH_HASH_INTERNAL_H
#define ROTOLOG_HASH_HASH_INTERNAL_H

#include "rotolog/hash/hash.h"

namespace rotolog::detail {

void *allocate(const hash_table_t *table, size_t size);
void *allocate_zeroed(const hash_table_t *table, size_t count, size_t element_size);
void release(const hash_table_t *table, void *memory);

inline uint32_t bucket_count(const hash_table_t *table) { return hash_primes[table->size_index]; }

inline uint32_t hash_of(const hash_table_t *table, const void *key) {
  return table->hash_function != nullptr ? table->hash_function(key) : hash_key_value(key);
}

// Size index for a requested size, or -1 when the request is too large.
int size_index_for(int requested_size);

// Adapters over os_strcmp, os_stricmp, os_strdup and os_strdup_free.
int compare_strings(const void *given_key, const void *stored_key);
int compare_strings_nocase(const void *given_key, const void *stored_key);
void *copy_string_key(const void *key);
void release_string_key(void *stored_key);

}  // namespace rotolog::detail

#endif
