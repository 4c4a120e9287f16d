// The hash module's creation forms: hash_create_ex and the shorter forms
// that fill in its arguments.
#include "rotolog/hash/hash_internal.h"

using namespace rotolog::detail;

namespace {

// The hash and compare functions a key kind installs; false for an unknown kind.
bool apply_key_kind(hash_table_t *table, unsigned kind, hash_function_t caller_hash,
                    hash_compare_function_t caller_compare) {
  hash_function_t hash = nullptr;
  hash_compare_function_t compare = nullptr;
  switch (kind) {
    case HASH_KEY_KIND_STRING:
      hash = hash_string;
      compare = compare_strings;
      break;
    case HASH_KEY_KIND_STRING_NOCASE:
      hash = hash_string_nocase;
      compare = compare_strings_nocase;
      break;
    case HASH_KEY_KIND_VALUE:
    case HASH_KEY_KIND_VALUE + 1:
      break;
    case HASH_KEY_KIND_CUSTOM:
      hash = caller_hash;
      break;
    default:
      return false;
  }
  table->hash_function = hash;
  table->compare_function = caller_compare != nullptr ? caller_compare : compare;
  return true;
}

}  // namespace

hash_table_t *hash_create_ex(
    int requested_size, double grow_threshold, int key_kind, hash_function_t hash_function,
    hash_compare_function_t compare_function, hash_release_value_function_t release_value,
    hash_copy_key_function_t copy_key, hash_release_key_function_t release_key,
    double free_list_ratio, void *key_context, hash_context_copy_key_function_t context_copy_key,
    hash_context_release_key_function_t context_release_key, void *allocator_context,
    hash_allocate_function_t allocate, hash_allocate_zeroed_function_t allocate_zeroed,
    hash_release_function_t release) {
  // The allocator settings are needed before the record exists.
  hash_table_t settings{};
  settings.allocator_context = allocator_context;
  settings.allocate = allocate;
  settings.allocate_zeroed = allocate_zeroed;
  settings.release = release;

  auto *table = static_cast<hash_table_t *>(
      rotolog::detail::allocate_zeroed(&settings, 1, sizeof(hash_table_t)));
  if (table == nullptr) return nullptr;
  *table = settings;
  table->grow_threshold = grow_threshold > 0 ? grow_threshold : 0.5;
  table->free_list_ratio = free_list_ratio < 0 ? 0.1 : free_list_ratio;
  table->release_value = release_value;
  table->copy_key = copy_key;
  table->release_key = release_key;
  table->key_context = key_context;
  table->context_copy_key = context_copy_key;
  table->context_release_key = context_release_key;

  const int size_index = size_index_for(requested_size);
  if (size_index >= 0 &&
      apply_key_kind(table, static_cast<unsigned>(key_kind), hash_function, compare_function)) {
    table->size_index = size_index;
    table->buckets = static_cast<hash_node_t **>(
        rotolog::detail::allocate_zeroed(table, hash_primes[size_index], sizeof(hash_node_t *)));
    if (table->buckets != nullptr) return table;
  }
  rotolog::detail::release(&settings, table);
  return nullptr;
}

hash_table_t *hash_create_custom(int requested_size, double grow_threshold, int key_kind,
                                 hash_function_t hash_function,
                                 hash_compare_function_t compare_function,
                                 hash_release_value_function_t release_value,
                                 hash_copy_key_function_t copy_key,
                                 hash_release_key_function_t release_key, double free_list_ratio) {
  return hash_create_ex(requested_size, grow_threshold, key_kind, hash_function, compare_function,
                        release_value, copy_key, release_key, free_list_ratio, nullptr, nullptr,
                        nullptr, nullptr, nullptr, nullptr, nullptr);
}

hash_table_t *hash_create_with_flags(int requested_size,
                                     hash_release_value_function_t release_value,
                                     unsigned int flags) {
  const bool copy_keys = (flags & HASH_KEY_NOCOPY) == 0;
  const int key_kind =
      (flags & HASH_KEY_NOCASE) ? HASH_KEY_KIND_STRING_NOCASE : HASH_KEY_KIND_STRING;
  // Threshold 0 selects the default 0.5; the key kind decides hash and compare.
  return hash_create_custom(requested_size, 0, key_kind, nullptr, nullptr,
                            (flags & HASH_FREE_VALUE) ? release_value : nullptr,
                            copy_keys ? copy_string_key : nullptr,
                            copy_keys ? release_string_key : nullptr, 0.1);
}

hash_table_t *hash_create(int requested_size) {
  return hash_create_with_flags(requested_size, nullptr, 0);
}

hash_table_t *hash_create_with_free(int requested_size,
                                    hash_release_value_function_t release_value) {
  return hash_create_with_flags(requested_size, release_value, HASH_FREE_VALUE);
}
