// The hash module's cursor: walks the entries bucket by bucket from bucket 0,
// each chain from its head.
#include "rotolog/platform/vandrel.h"

#include "rotolog/hash/hash_internal.h"

namespace {

// The next node, or null when the walk is over. A table changed under the
// cursor may hold fewer entries than it counts on: the walk then ends at the
// last bucket rather than read past the array.
hash_node_t *step(hash_iterator_t *cursor) {
  if (cursor->remaining <= 0) return nullptr;
  const hash_table_t *table = cursor->table;
  const int32_t last_bucket = static_cast<int32_t>(rotolog::detail::bucket_count(table)) - 1;
  while (cursor->current == nullptr) {
    if (cursor->bucket_index >= last_bucket) {
      cursor->remaining = 0;
      return nullptr;
    }
    ++cursor->bucket_index;
    cursor->current = table->buckets[cursor->bucket_index];
  }
  hash_node_t *node = cursor->current;
  cursor->current = node->next;
  --cursor->remaining;
  return node;
}

}  // namespace

hash_iterator_t *hash_iterator_create(hash_table_t *table) {
  if (table == nullptr || table->buckets == nullptr) return nullptr;
  // Cursors always come from the outside allocator, whatever the table uses.
  auto *cursor = static_cast<hash_iterator_t *>(vel_malloc(sizeof(hash_iterator_t)));
  if (cursor == nullptr) return nullptr;
  cursor->current = table->buckets[0];
  cursor->bucket_index = 0;
  cursor->remaining = table->entry_count;
  cursor->table = table;
  return cursor;
}

int hash_iterator_has_next(const hash_iterator_t *cursor) {
  return cursor != nullptr && cursor->remaining > 0 ? 1 : 0;
}

int hash_iterator_next(hash_iterator_t *cursor, void **key, void **value) {
  hash_node_t *node = cursor != nullptr ? step(cursor) : nullptr;
  if (key != nullptr) *key = node != nullptr ? node->key : nullptr;
  if (value != nullptr) *value = node != nullptr ? node->value : nullptr;
  return node != nullptr ? 1 : 0;
}

void *hash_iterator_next_value(hash_iterator_t *cursor) {
  hash_node_t *node = cursor != nullptr ? step(cursor) : nullptr;
  return node != nullptr ? node->value : nullptr;
}

void hash_iterator_free(hash_iterator_t *cursor) {
  if (cursor != nullptr) vel_free(cursor);
}
