// The hash module's entry operations: insertion with growth, lookup,
// removal, clearing, destruction and visiting, with the bounded free list of
// spare nodes behind them.
#include <limits.h>

#include "rotolog/hash/hash_internal.h"

using namespace rotolog::detail;

namespace {

/* ---- Nodes ----------------------------------------------------------- */

hash_node_t *obtain_node(hash_table_t *table) {
  hash_node_t *node = table->free_list;
  if (node != nullptr) {
    table->free_list = node->next;
    --table->free_list_length;
    return node;
  }
  return static_cast<hash_node_t *>(allocate(table, sizeof(hash_node_t)));
}

// Keeps the node for reuse while the free list is below its share of the
// bucket count, otherwise frees it.
void recycle_node(hash_table_t *table, hash_node_t *node) {
  if (static_cast<double>(table->free_list_length) / bucket_count(table) < table->free_list_ratio) {
    node->next = table->free_list;
    table->free_list = node;
    ++table->free_list_length;
  } else {
    release(table, node);
  }
}

void *store_key(const hash_table_t *table, const void *key) {
  if (table->context_copy_key != nullptr) return table->context_copy_key(table->key_context, key);
  if (table->copy_key != nullptr) return table->copy_key(key);
  return const_cast<void *>(key);
}

bool copies_keys(const hash_table_t *table) {
  return table->context_copy_key != nullptr || table->copy_key != nullptr;
}

void release_entry(hash_table_t *table, hash_node_t *node, bool release_value) {
  if (release_value && table->release_value != nullptr) table->release_value(node->value);
  if (table->context_release_key != nullptr) {
    table->context_release_key(table->key_context, node->key);
  } else if (table->release_key != nullptr) {
    table->release_key(node->key);
  }
  --table->entry_count;
  recycle_node(table, node);
}

bool keys_match(const hash_table_t *table, const void *given_key, const void *stored_key) {
  if (table->compare_function != nullptr) {
    return table->compare_function(given_key, stored_key) == 0;
  }
  return given_key == stored_key;
}

}  // namespace

/* ---- Insertion and growth -------------------------------------------- */

int hash_insert(hash_table_t *table, const void *key, void *value) {
  if (table->entry_count == INT32_MAX) return HASH_INSERT_NO_MEMORY;
  // A growth that cannot happen leaves the entry to the present buckets.
  if (static_cast<double>(table->entry_count) / bucket_count(table) >= table->grow_threshold) {
    hash_rehash(table);
  }
  hash_node_t *node = obtain_node(table);
  if (node == nullptr) return HASH_INSERT_NO_MEMORY;

  void *stored_key = store_key(table, key);
  // A copy that came back null for a real key failed; storing null would
  // leave an entry that no lookup can match and comparisons would fault on.
  if (stored_key == nullptr && key != nullptr && copies_keys(table)) {
    recycle_node(table, node);
    return HASH_INSERT_NO_MEMORY;
  }
  node->hash = hash_of(table, key);
  node->key = stored_key;
  node->value = value;
  hash_node_t **bucket = &table->buckets[node->hash % bucket_count(table)];
  node->next = *bucket;
  *bucket = node;
  ++table->entry_count;
  return HASH_OK;
}

int hash_rehash(hash_table_t *table) {
  if (table->size_index >= HASH_LARGEST_SIZE_INDEX) return HASH_AT_LARGEST_SIZE;
  const uint32_t old_count = bucket_count(table);
  const uint32_t new_count = hash_primes[table->size_index + 1];
  auto **new_buckets =
      static_cast<hash_node_t **>(allocate_zeroed(table, new_count, sizeof(hash_node_t *)));
  if (new_buckets == nullptr) return HASH_NO_MEMORY;

  // Stored hashes are reused: growth never calls the hash function.
  for (uint32_t bucket = 0; bucket < old_count; ++bucket) {
    hash_node_t *node = table->buckets[bucket];
    while (node != nullptr) {
      hash_node_t *next = node->next;
      hash_node_t **target = &new_buckets[node->hash % new_count];
      node->next = *target;
      *target = node;
      node = next;
    }
  }
  release(table, table->buckets);
  table->buckets = new_buckets;
  ++table->size_index;
  return HASH_OK;
}

/* ---- Lookup and removal ---------------------------------------------- */

void *hash_find(hash_table_t *table, const void *key) {
  hash_node_t *node = table->buckets[hash_of(table, key) % bucket_count(table)];
  for (; node != nullptr; node = node->next) {
    if (keys_match(table, key, node->key)) return node->value;
  }
  return nullptr;
}

void *hash_remove_entry(hash_table_t *table, const void *key, int release_value) {
  hash_node_t **link = &table->buckets[hash_of(table, key) % bucket_count(table)];
  for (; *link != nullptr; link = &(*link)->next) {
    hash_node_t *node = *link;
    if (!keys_match(table, key, node->key)) continue;
    *link = node->next;
    void *value = node->value;
    release_entry(table, node, release_value != 0);
    return value;
  }
  return nullptr;
}

void *hash_delete(hash_table_t *table, const void *key) { return hash_remove_entry(table, key, 1); }

void *hash_remove(hash_table_t *table, const void *key) { return hash_remove_entry(table, key, 0); }

/* ---- Whole table ----------------------------------------------------- */

int hash_count(const hash_table_t *table) { return table != nullptr ? table->entry_count : -1; }

void hash_clear(hash_table_t *table) {
  if (table == nullptr || table->buckets == nullptr) return;
  const uint32_t count = bucket_count(table);
  for (uint32_t bucket = 0; bucket < count; ++bucket) {
    hash_node_t *node = table->buckets[bucket];
    table->buckets[bucket] = nullptr;
    while (node != nullptr) {
      hash_node_t *next = node->next;
      release_entry(table, node, true);
      node = next;
    }
  }
}

void hash_destroy(hash_table_t *table) {
  if (table == nullptr) return;
  if (table->buckets != nullptr) {
    hash_clear(table);
    release(table, table->buckets);
  }
  while (table->free_list != nullptr) {
    hash_node_t *next = table->free_list->next;
    release(table, table->free_list);
    table->free_list = next;
  }
  // The record's own release needs the allocator settings it holds.
  const hash_table_t settings = *table;
  release(&settings, table);
}

void hash_for_each(hash_table_t *table, hash_visit_function_t visit) {
  if (table == nullptr || visit == nullptr || table->buckets == nullptr) return;
  const uint32_t count = bucket_count(table);
  for (uint32_t bucket = 0; bucket < count; ++bucket) {
    // The successor is read first so that visit may release the value's node.
    for (hash_node_t *node = table->buckets[bucket]; node != nullptr;) {
      hash_node_t *next = node->next;
      visit(node->value);
      node = next;
    }
  }
}
