/* hash: a chained hash table with replaceable hashing, key comparison, key
 * copying and releasing, value releasing and allocation. Internal to rotolog
 * (nothing here is exported from librotolog.so). The module holds no lock:
 * whoever shares a table or cursor serialises its use. */
#ifndef ROTOLOG_HASH_HASH_H
#define ROTOLOG_HASH_HASH_H

#include <stddef.h>
#include <stdint.h>

/* Keys and values are pointer-sized. A string key points to a NUL-terminated
 * byte string; a value key is the pointer's bits themselves. */
typedef uint32_t (*hash_function_t)(const void *key);
/* (given key, stored key); 0 means equal. */
typedef int (*hash_compare_function_t)(const void *given_key, const void *stored_key);
typedef void (*hash_release_value_function_t)(void *value);
typedef void *(*hash_copy_key_function_t)(const void *key);
typedef void (*hash_release_key_function_t)(void *stored_key);
typedef void *(*hash_context_copy_key_function_t)(void *key_context, const void *key);
typedef void (*hash_context_release_key_function_t)(void *key_context, void *stored_key);
typedef void *(*hash_allocate_function_t)(void *allocator_context, size_t size);
typedef void *(*hash_allocate_zeroed_function_t)(void *allocator_context, size_t count,
                                                 size_t element_size);
typedef void (*hash_release_function_t)(void *allocator_context, void *memory);
typedef void (*hash_visit_function_t)(void *value);

/* Highest size index; reached only by growth. */
#define HASH_LARGEST_SIZE_INDEX 25
extern const uint32_t hash_primes[HASH_LARGEST_SIZE_INDEX + 1];

/* Key kinds of hash_create_ex. */
#define HASH_KEY_KIND_STRING 0        /* hash_string, os_strcmp */
#define HASH_KEY_KIND_STRING_NOCASE 1 /* hash_string_nocase, os_stricmp */
#define HASH_KEY_KIND_VALUE 2         /* byte-reversal hash, equal key values (3 alike) */
#define HASH_KEY_KIND_CUSTOM 4        /* the caller's hash function, else byte reversal */

/* Flags of hash_create_with_flags. */
#define HASH_FREE_VALUE 1u  /* install the given value release function */
#define HASH_KEY_NOCASE 2u  /* case-folding string keys */
#define HASH_KEY_NOCOPY 4u  /* store the caller's key pointers instead of copies */

/* Results of hash_insert and hash_rehash. */
#define HASH_OK 0
#define HASH_AT_LARGEST_SIZE 1 /* hash_rehash: the table cannot grow further */
#define HASH_NO_MEMORY 2       /* hash_rehash: the larger bucket array was not allocated */
#define HASH_INSERT_NO_MEMORY (-2)

typedef struct hash_node {
  uint32_t hash; /* hash of the caller's key at insertion; growth reuses it */
  void *key;     /* the stored key (the copy when keys are copied) */
  void *value;
  struct hash_node *next; /* next node of the chain or of the free list */
} hash_node_t;

typedef struct hash_table {
  int32_t size_index; /* bucket count is hash_primes[size_index] */
  hash_function_t hash_function;          /* null: byte-reversal hash */
  hash_compare_function_t compare_function; /* null: equal key values */
  hash_node_t **buckets;
  int32_t entry_count;
  hash_copy_key_function_t copy_key;       /* used when context_copy_key is null */
  hash_release_key_function_t release_key; /* used when context_release_key is null */
  hash_node_t *free_list;
  int32_t free_list_length;
  double grow_threshold; /* mean entries per bucket at which insertion grows */
  double free_list_ratio; /* spare nodes per bucket below which a node is kept */
  hash_release_value_function_t release_value;
  void *key_context;
  hash_context_copy_key_function_t context_copy_key;
  hash_context_release_key_function_t context_release_key;
  void *allocator_context;
  hash_allocate_function_t allocate;             /* null: vel_malloc */
  hash_allocate_zeroed_function_t allocate_zeroed; /* null: vel_calloc */
  hash_release_function_t release;               /* null: vel_free */
} hash_table_t;

typedef struct hash_iterator {
  hash_node_t *current; /* next node to yield in the chain being walked, or null */
  int32_t bucket_index;
  int32_t remaining; /* entries still to yield */
  hash_table_t *table;
} hash_iterator_t;

/* ---- Hashes ---------------------------------------------------------- */

/* String hashes over the bytes before the NUL (a null key hashes to 0). The
 * nocase form lowers every byte above 0x60 by 0x20 first. */
uint32_t hash_string(const void *key);
uint32_t hash_string_nocase(const void *key);
/* The byte-reversal hash used when a table has no hash function. A key wider
 * than 32 bits is first folded to 32 by XOR of its high and low halves. */
uint32_t hash_key_value(const void *key);

/* ---- Creation -------------------------------------------------------- */

/* Makes a table, or returns null when the record or bucket array cannot be
 * allocated, key_kind is above 4, or requested_size is 536870909 or more.
 * Defaults: requested_size < 1 -> 31; grow_threshold <= 0 -> 0.5;
 * free_list_ratio < 0 -> 0.1 (0 keeps no spare nodes). The bucket count is
 * the largest prime of hash_primes not above requested_size, at least 11. */
hash_table_t *hash_create_ex(int requested_size, double grow_threshold, int key_kind,
                             hash_function_t hash_function,
                             hash_compare_function_t compare_function,
                             hash_release_value_function_t release_value,
                             hash_copy_key_function_t copy_key,
                             hash_release_key_function_t release_key, double free_list_ratio,
                             void *key_context,
                             hash_context_copy_key_function_t context_copy_key,
                             hash_context_release_key_function_t context_release_key,
                             void *allocator_context, hash_allocate_function_t allocate,
                             hash_allocate_zeroed_function_t allocate_zeroed,
                             hash_release_function_t release);
/* hash_create_ex without contexts or allocator functions. */
hash_table_t *hash_create_custom(int requested_size, double grow_threshold, int key_kind,
                                 hash_function_t hash_function,
                                 hash_compare_function_t compare_function,
                                 hash_release_value_function_t release_value,
                                 hash_copy_key_function_t copy_key,
                                 hash_release_key_function_t release_key,
                                 double free_list_ratio);
/* A string table shaped by HASH_FREE_VALUE, HASH_KEY_NOCASE, HASH_KEY_NOCOPY. */
hash_table_t *hash_create_with_flags(int requested_size,
                                     hash_release_value_function_t release_value,
                                     unsigned int flags);
/* Case-sensitive string table whose keys are copied with os_strdup. */
hash_table_t *hash_create(int requested_size);
hash_table_t *hash_create_with_free(int requested_size,
                                    hash_release_value_function_t release_value);

/* ---- Entries --------------------------------------------------------- */

/* Adds an entry (an equal key already present is not replaced; lookups meet
 * the newer entry first). Returns HASH_OK, or HASH_INSERT_NO_MEMORY when no
 * node or key copy could be had; the entries are then unchanged, though the
 * table may have grown. table must not be null. */
int hash_insert(hash_table_t *table, const void *key, void *value);
/* Grows the bucket array one step: HASH_OK, HASH_AT_LARGEST_SIZE or
 * HASH_NO_MEMORY (table unchanged). */
int hash_rehash(hash_table_t *table);
/* The value of the newest matching entry, or null (also for a stored null). */
void *hash_find(hash_table_t *table, const void *key);
/* Removes the newest matching entry and returns its value (null when none
 * matched). With release_value nonzero the value goes to the value release
 * function, and the result then only tells that an entry was found. */
void *hash_remove_entry(hash_table_t *table, const void *key, int release_value);
void *hash_delete(hash_table_t *table, const void *key); /* releases the value */
void *hash_remove(hash_table_t *table, const void *key); /* keeps the value */
/* Entry count; -1 for a null table. */
int hash_count(const hash_table_t *table);
/* Removes every entry, releasing each value; buckets do not shrink. Null is ignored. */
void hash_clear(hash_table_t *table);
/* Clears and frees the table. Null is ignored; cursors are not freed. */
void hash_destroy(hash_table_t *table);
/* Calls visit with every value, bucket by bucket. Null table or visit is ignored. */
void hash_for_each(hash_table_t *table, hash_visit_function_t visit);

/* ---- Cursor ---------------------------------------------------------- */

/* A cursor over the table's entries (bucket by bucket, chains from the head),
 * allocated with vel_malloc; null for a null table, a table without bucket
 * array, or when allocation fails. The table must not change while the
 * cursor is used; if it does, the walk still ends at the last bucket. */
hash_iterator_t *hash_iterator_create(hash_table_t *table);
/* 1 while entries remain, else 0. */
int hash_iterator_has_next(const hash_iterator_t *cursor);
/* 1 with the next stored key and value written out (either out may be
 * null); 0 with both set to null when none is left. */
int hash_iterator_next(hash_iterator_t *cursor, void **key, void **value);
/* The next entry's value; null when none is left. */
void *hash_iterator_next_value(hash_iterator_t *cursor);
/* Frees a cursor; null is ignored. */
void hash_iterator_free(hash_iterator_t *cursor);

#endif
