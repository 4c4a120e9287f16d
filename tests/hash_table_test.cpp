// The hash module: hashes, creation forms and sizes, growth, the free list,
// value and key release, the cursor, custom allocators, and out-of-memory
// paths driven through the vandrel allocation seam.
#include <gtest/gtest.h>
#include "rotolog/hash/hash.h"
#include "rotolog/platform/test_seams.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

void *as_key(uintptr_t bits) { return reinterpret_cast<void *>(bits); }
void *as_value(uintptr_t bits) { return reinterpret_cast<void *>(bits); }
uint32_t buckets_of(const hash_table_t *table) { return hash_primes[table->size_index]; }

hash_table_t *value_table(int requested_size, double threshold = 0, double ratio = 0.1) {
  return hash_create_custom(requested_size, threshold, HASH_KEY_KIND_VALUE, nullptr, nullptr,
                            nullptr, nullptr, nullptr, ratio);
}

std::vector<std::string> names(int count) {
  std::vector<std::string> result;
  for (int i = 0; i < count; ++i) result.push_back("name-" + std::to_string(i));
  return result;
}

// Value release counter shared by the tests that watch it.
int released_values = 0;
void count_release(void *) { ++released_values; }

}  // namespace

/* ---- Hashes ---------------------------------------------------------- */

TEST(HashFunctions, StringHashesGiveTheKnownValues) {
  EXPECT_EQ(hash_string(""), 0u);
  EXPECT_EQ(hash_string("a"), 97u);
  EXPECT_EQ(hash_string("abc"), 26499u);
  EXPECT_EQ(hash_string_nocase("abc"), 17763u);
  EXPECT_EQ(hash_string_nocase("ABC"), 17763u);
  EXPECT_NE(hash_string("ABC"), hash_string("abc"));
  // Long strings fold their top bits and stay below 2^31.
  const std::string long_text(1000, '\xff');
  EXPECT_LT(hash_string(long_text.c_str()), 0x80000000u);
  EXPECT_EQ(hash_string_nocase("\x7b"), hash_string("\x5b"));
}

TEST(HashFunctions, ByteReversalPutsKeyOneInBucketFiveOfEleven) {
  EXPECT_EQ(hash_key_value(as_key(1)), 16777216u);
  EXPECT_EQ(hash_key_value(as_key(1)) % 11, 5u);
  EXPECT_EQ(hash_key_value(as_key(0x11223344)), 0x44332211u);
}

TEST(HashFunctions, WideKeysFoldHighAndLowHalvesButCompareWhole) {
  if (sizeof(uintptr_t) <= 4) GTEST_SKIP() << "keys are 32 bits wide";
  const uint64_t wide = (uint64_t{1} << 32) | 2;  // folds to 3
  EXPECT_EQ(hash_key_value(as_key(static_cast<uintptr_t>(wide))), 0x03000000u);
  const uintptr_t high_one = static_cast<uintptr_t>(uint64_t{1} << 32);
  EXPECT_EQ(hash_key_value(as_key(high_one)), hash_key_value(as_key(1)));

  hash_table_t *table = value_table(10);
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(hash_insert(table, as_key(1), as_value(100)), 0);
  ASSERT_EQ(hash_insert(table, as_key(high_one), as_value(200)), 0);
  EXPECT_EQ(hash_find(table, as_key(1)), as_value(100));
  EXPECT_EQ(hash_find(table, as_key(high_one)), as_value(200));
  hash_destroy(table);
}

/* ---- Creation -------------------------------------------------------- */

TEST(HashCreation, BucketCountIsTheLargestPrimeNotAboveTheRequestButAtLeastEleven) {
  const struct {
    int requested;
    uint32_t buckets;
  } cases[] = {{0, 31}, {-5, 31}, {10, 11}, {30, 11}, {31, 31}, {60, 31}, {61, 61}, {1021, 1021}};
  for (const auto &c : cases) {
    hash_table_t *table = hash_create(c.requested);
    ASSERT_NE(table, nullptr) << c.requested;
    EXPECT_EQ(buckets_of(table), c.buckets) << c.requested;
    EXPECT_EQ(hash_count(table), 0);
    hash_destroy(table);
  }
  EXPECT_EQ(hash_create(536870909), nullptr);
  EXPECT_EQ(value_table(INT32_MAX), nullptr);
}

TEST(HashCreation, UnknownKeyKindsFail) {
  EXPECT_EQ(hash_create_custom(10, 0, 5, nullptr, nullptr, nullptr, nullptr, nullptr, 0.1),
            nullptr);
  EXPECT_EQ(hash_create_custom(10, 0, -1, nullptr, nullptr, nullptr, nullptr, nullptr, 0.1),
            nullptr);
}

TEST(HashCreation, DefaultsReplaceNonPositiveThresholdAndNegativeRatio) {
  hash_table_t *zero = value_table(10, 0, -1);
  hash_table_t *negative = value_table(10, -1, 0);
  hash_table_t *given = value_table(10, 2.5, 0.3);
  ASSERT_TRUE(zero && negative && given);
  EXPECT_EQ(zero->grow_threshold, 0.5);
  EXPECT_EQ(zero->free_list_ratio, 0.1);
  EXPECT_EQ(negative->grow_threshold, 0.5);
  EXPECT_EQ(negative->free_list_ratio, 0.0);
  EXPECT_EQ(given->grow_threshold, 2.5);
  EXPECT_EQ(given->free_list_ratio, 0.3);
  // A ratio of 0 keeps no spare node.
  ASSERT_EQ(hash_insert(negative, as_key(1), as_value(1)), 0);
  hash_remove(negative, as_key(1));
  EXPECT_EQ(negative->free_list_length, 0);
  hash_destroy(zero);
  hash_destroy(negative);
  hash_destroy(given);
}

namespace {
uint32_t constant_hash(const void *) { return 7; }
int compare_first_char(const void *given, const void *stored) {
  return *static_cast<const char *>(given) - *static_cast<const char *>(stored);
}
}  // namespace

TEST(HashCreation, KeyKindsChooseHashAndComparison) {
  hash_table_t *by_value = value_table(10);
  ASSERT_NE(by_value, nullptr);
  EXPECT_EQ(by_value->hash_function, nullptr);
  EXPECT_EQ(by_value->compare_function, nullptr);
  char first[] = "same", second[] = "same";
  ASSERT_EQ(hash_insert(by_value, first, as_value(1)), 0);
  EXPECT_EQ(hash_find(by_value, first), as_value(1));
  EXPECT_EQ(hash_find(by_value, second), nullptr);  // equal text, other pointer
  hash_destroy(by_value);

  // Kind 4 uses the caller's hash; kind 0 ignores it but keeps the caller's compare.
  hash_table_t *custom = hash_create_custom(10, 0, HASH_KEY_KIND_CUSTOM, constant_hash, nullptr,
                                            nullptr, nullptr, nullptr, 0.1);
  ASSERT_NE(custom, nullptr);
  ASSERT_EQ(hash_insert(custom, as_key(42), as_value(1)), 0);
  EXPECT_EQ(custom->buckets[7]->key, as_key(42));
  hash_destroy(custom);

  hash_table_t *strings = hash_create_custom(10, 0, HASH_KEY_KIND_STRING, constant_hash,
                                             compare_first_char, nullptr, nullptr, nullptr, 0.1);
  ASSERT_NE(strings, nullptr);
  EXPECT_EQ(strings->hash_function, hash_string);
  ASSERT_EQ(hash_insert(strings, "apple", as_value(1)), 0);
  EXPECT_EQ(hash_find(strings, "apple"), as_value(1));
  EXPECT_EQ(hash_find(strings, "avocado"), nullptr);  // other bucket for hash_string
  hash_destroy(strings);
}

TEST(HashCreation, FlagsChooseCaseFoldingCopyingAndValueRelease) {
  hash_table_t *nocase = hash_create_with_flags(10, count_release, HASH_KEY_NOCASE);
  ASSERT_NE(nocase, nullptr);
  EXPECT_EQ(nocase->release_value, nullptr);
  ASSERT_EQ(hash_insert(nocase, "Mutex", as_value(1)), 0);
  EXPECT_EQ(hash_find(nocase, "mUTEX"), as_value(1));
  hash_destroy(nocase);

  char key[] = "borrowed";
  hash_table_t *nocopy =
      hash_create_with_flags(10, count_release, HASH_KEY_NOCOPY | HASH_FREE_VALUE);
  ASSERT_NE(nocopy, nullptr);
  ASSERT_EQ(hash_insert(nocopy, key, as_value(1)), 0);
  EXPECT_EQ(nocopy->buckets[hash_string(key) % 11]->key, static_cast<void *>(key));
  EXPECT_EQ(hash_find(nocopy, "borrowed"), as_value(1));
  EXPECT_EQ(hash_find(nocopy, "BORROWED"), nullptr);
  released_values = 0;
  hash_destroy(nocopy);
  EXPECT_EQ(released_values, 1);

  // Copied keys survive changes to the caller's buffer.
  hash_table_t *copying = hash_create(10);
  ASSERT_NE(copying, nullptr);
  char changing[] = "first";
  ASSERT_EQ(hash_insert(copying, changing, as_value(5)), 0);
  changing[0] = 'F';
  EXPECT_EQ(hash_find(copying, "first"), as_value(5));
  EXPECT_EQ(hash_find(copying, changing), nullptr);
  hash_destroy(copying);
}

/* ---- Entries --------------------------------------------------------- */

TEST(HashEntries, TableGrowsAtTheSeventhSeventeenthAndThirtySecondInsertion) {
  hash_table_t *table = hash_create(10);
  ASSERT_NE(table, nullptr);
  const auto keys = names(40);
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(hash_insert(table, keys[i].c_str(), as_value(i + 1)), 0);
    const int inserted = i + 1;
    const uint32_t expected = inserted < 7 ? 11 : inserted < 17 ? 31 : inserted < 32 ? 61 : 127;
    EXPECT_EQ(buckets_of(table), expected) << "after insertion " << inserted;
  }
  EXPECT_EQ(hash_count(table), 40);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(hash_find(table, keys[i].c_str()), as_value(i + 1));
  hash_destroy(table);
}

TEST(HashEntries, RehashStopsAtTheLargestSize) {
  hash_table_t *table = value_table(10);
  ASSERT_NE(table, nullptr);
  const int32_t real_index = table->size_index;
  table->size_index = HASH_LARGEST_SIZE_INDEX;
  EXPECT_EQ(hash_rehash(table), HASH_AT_LARGEST_SIZE);
  table->size_index = real_index;
  EXPECT_EQ(hash_rehash(table), HASH_OK);
  EXPECT_EQ(buckets_of(table), 31u);
  hash_destroy(table);
}

TEST(HashEntries, DuplicateKeysAreBothKeptNewestFirst) {
  hash_table_t *table = hash_create(10);
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(hash_insert(table, "key", as_value('A')), 0);
  ASSERT_EQ(hash_insert(table, "key", as_value('B')), 0);
  EXPECT_EQ(hash_count(table), 2);
  EXPECT_EQ(hash_find(table, "key"), as_value('B'));
  EXPECT_EQ(hash_remove(table, "key"), as_value('B'));
  EXPECT_EQ(hash_find(table, "key"), as_value('A'));
  EXPECT_EQ(hash_remove(table, "key"), as_value('A'));
  EXPECT_EQ(hash_remove(table, "key"), nullptr);
  EXPECT_EQ(hash_count(table), 0);
  hash_destroy(table);
}

TEST(HashEntries, RemovalUnlinksFromTheMiddleOfAChain) {
  hash_table_t *table = value_table(10, 100);  // threshold 100: no growth
  ASSERT_NE(table, nullptr);
  // Keys whose reversed bytes agree modulo 11 share a chain; find three.
  std::vector<uintptr_t> chain;
  for (uintptr_t key = 1; chain.size() < 3; ++key) {
    if (hash_key_value(as_key(key)) % 11 == 5) chain.push_back(key);
  }
  for (uintptr_t key : chain) ASSERT_EQ(hash_insert(table, as_key(key), as_value(key * 10)), 0);
  EXPECT_EQ(hash_remove(table, as_key(chain[1])), as_value(chain[1] * 10));
  EXPECT_EQ(hash_find(table, as_key(chain[0])), as_value(chain[0] * 10));
  EXPECT_EQ(hash_find(table, as_key(chain[2])), as_value(chain[2] * 10));
  EXPECT_EQ(hash_find(table, as_key(chain[1])), nullptr);
  EXPECT_EQ(hash_count(table), 2);
  hash_destroy(table);
}

TEST(HashEntries, ValueReleaseRunsForDeleteClearAndDestroyButNotRemove) {
  hash_table_t *table = hash_create_with_free(10, count_release);
  ASSERT_NE(table, nullptr);
  const auto keys = names(5);
  for (const auto &key : keys) ASSERT_EQ(hash_insert(table, key.c_str(), as_value(1)), 0);
  released_values = 0;
  EXPECT_NE(hash_delete(table, keys[0].c_str()), nullptr);
  EXPECT_EQ(released_values, 1);
  EXPECT_EQ(hash_remove(table, keys[1].c_str()), as_value(1));
  EXPECT_EQ(released_values, 1);
  EXPECT_EQ(hash_delete(table, "missing"), nullptr);
  EXPECT_EQ(released_values, 1);
  hash_clear(table);
  EXPECT_EQ(released_values, 4);
  EXPECT_EQ(hash_count(table), 0);
  EXPECT_EQ(buckets_of(table), 11u);  // clearing does not shrink
  for (const auto &key : keys) ASSERT_EQ(hash_insert(table, key.c_str(), as_value(1)), 0);
  hash_destroy(table);
  EXPECT_EQ(released_values, 9);
}

TEST(HashEntries, ForEachVisitsEveryValue) {
  hash_table_t *table = value_table(10);
  ASSERT_NE(table, nullptr);
  for (uintptr_t key = 1; key <= 20; ++key)
    ASSERT_EQ(hash_insert(table, as_key(key), as_value(key)), 0);
  static uintptr_t sum;
  sum = 0;
  hash_for_each(table, [](void *value) { sum += reinterpret_cast<uintptr_t>(value); });
  EXPECT_EQ(sum, 210u);
  hash_for_each(table, nullptr);
  hash_for_each(nullptr, [](void *) { FAIL(); });
  hash_destroy(table);
}

TEST(HashEntries, NullTablesAreIgnoredWhereReleasing) {
  EXPECT_EQ(hash_count(nullptr), -1);
  hash_clear(nullptr);
  hash_destroy(nullptr);
  hash_iterator_free(nullptr);
  EXPECT_EQ(hash_iterator_create(nullptr), nullptr);
}

/* ---- Free list ------------------------------------------------------- */

TEST(HashFreeList, KeepsTheSmallestWholeNumberNotBelowATenthOfTheBuckets) {
  const struct {
    int requested;
    int bound;
  } cases[] = {{11, 2}, {31, 4}, {61, 7}, {127, 13}};
  for (const auto &c : cases) {
    hash_table_t *table = value_table(c.requested, 100);
    ASSERT_NE(table, nullptr);
    for (uintptr_t key = 1; key <= 20; ++key)
      ASSERT_EQ(hash_insert(table, as_key(key), nullptr), 0);
    for (uintptr_t key = 1; key <= 20; ++key) hash_remove(table, as_key(key));
    EXPECT_EQ(table->free_list_length, c.bound) << buckets_of(table) << " buckets";
    hash_destroy(table);
  }
}

TEST(HashFreeList, InsertionsReuseSpareNodesBeforeAllocating) {
  hash_table_t *table = value_table(10);
  ASSERT_NE(table, nullptr);
  for (uintptr_t key = 1; key <= 3; ++key) ASSERT_EQ(hash_insert(table, as_key(key), nullptr), 0);
  for (uintptr_t key = 1; key <= 3; ++key) hash_remove(table, as_key(key));
  EXPECT_EQ(table->free_list_length, 2);
  const long before = test_seam_calls(TEST_SEAM_ALLOCATION);
  ASSERT_EQ(hash_insert(table, as_key(4), nullptr), 0);
  ASSERT_EQ(hash_insert(table, as_key(5), nullptr), 0);
  EXPECT_EQ(test_seam_calls(TEST_SEAM_ALLOCATION), before);
  EXPECT_EQ(table->free_list_length, 0);
  ASSERT_EQ(hash_insert(table, as_key(6), nullptr), 0);
  EXPECT_EQ(test_seam_calls(TEST_SEAM_ALLOCATION), before + 1);
  hash_destroy(table);
}

/* ---- Cursor ---------------------------------------------------------- */

TEST(HashCursor, EmptyTableYieldsNothing) {
  hash_table_t *table = hash_create(10);
  ASSERT_NE(table, nullptr);
  hash_iterator_t *cursor = hash_iterator_create(table);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(hash_iterator_has_next(cursor), 0);
  void *key = as_key(1), *value = as_value(1);
  EXPECT_EQ(hash_iterator_next(cursor, &key, &value), 0);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(hash_iterator_next_value(cursor), nullptr);
  hash_iterator_free(cursor);
  hash_destroy(table);
}

TEST(HashCursor, YieldsEveryEntryExactlyOnceThenEnds) {
  hash_table_t *table = hash_create(10);
  ASSERT_NE(table, nullptr);
  const auto keys = names(25);
  for (int i = 0; i < 25; ++i) ASSERT_EQ(hash_insert(table, keys[i].c_str(), as_value(i + 1)), 0);
  hash_iterator_t *cursor = hash_iterator_create(table);
  ASSERT_NE(cursor, nullptr);
  std::set<std::string> seen;
  void *key = nullptr, *value = nullptr;
  while (hash_iterator_has_next(cursor)) {
    ASSERT_EQ(hash_iterator_next(cursor, &key, &value), 1);
    const std::string text = static_cast<const char *>(key);
    EXPECT_EQ(hash_find(table, text.c_str()), value);
    EXPECT_TRUE(seen.insert(text).second) << text << " twice";
  }
  EXPECT_EQ(seen.size(), 25u);
  EXPECT_EQ(hash_iterator_next(cursor, &key, &value), 0);
  hash_iterator_free(cursor);

  cursor = hash_iterator_create(table);
  ASSERT_NE(cursor, nullptr);
  int values = 0;
  while (hash_iterator_next_value(cursor) != nullptr) ++values;
  EXPECT_EQ(values, 25);
  hash_iterator_free(cursor);
  hash_destroy(table);
}

TEST(HashCursor, TableEmptiedUnderTheCursorEndsAtTheLastBucket) {
  hash_table_t *table = value_table(10);
  ASSERT_NE(table, nullptr);
  // Key 1 lands in bucket 5; the others are removed after the cursor counted them.
  for (uintptr_t key = 1; key <= 4; ++key)
    ASSERT_EQ(hash_insert(table, as_key(key), as_value(key)), 0);
  hash_iterator_t *cursor = hash_iterator_create(table);
  ASSERT_NE(cursor, nullptr);
  for (uintptr_t key = 2; key <= 4; ++key) hash_remove(table, as_key(key));
  EXPECT_EQ(hash_iterator_next_value(cursor), as_value(1));
  EXPECT_EQ(hash_iterator_next_value(cursor), nullptr);
  EXPECT_EQ(hash_iterator_has_next(cursor), 0);
  EXPECT_LE(cursor->bucket_index, 10);
  hash_iterator_free(cursor);
  hash_destroy(table);
}

/* ---- Custom allocator and key functions ------------------------------ */

namespace {

struct CountingAllocator {
  int allocations = 0;
  int zeroed_allocations = 0;
  int releases = 0;
};

void *counting_allocate(void *context, size_t size) {
  ++static_cast<CountingAllocator *>(context)->allocations;
  return ::operator new(size);
}
void *counting_allocate_zeroed(void *context, size_t count, size_t size) {
  ++static_cast<CountingAllocator *>(context)->zeroed_allocations;
  void *memory = ::operator new(count *size);
  std::memset(memory, 0, count * size);
  return memory;
}
void counting_release(void *context, void *memory) {
  ++static_cast<CountingAllocator *>(context)->releases;
  ::operator delete(memory);
}

struct KeyLedger {
  int copies = 0;
  int releases = 0;
};
void *ledger_copy(void *context, const void *key) {
  ++static_cast<KeyLedger *>(context)->copies;
  return new std::string(static_cast<const char *>(key));
}
void ledger_release(void *context, void *key) {
  ++static_cast<KeyLedger *>(context)->releases;
  delete static_cast<std::string *>(key);
}
int compare_with_ledger_key(const void *given, const void *stored) {
  return static_cast<const std::string *>(stored)->compare(static_cast<const char *>(given));
}
void *plain_copy_never_used(const void *) {
  ADD_FAILURE() << "context copy must be preferred";
  return nullptr;
}

}  // namespace

TEST(HashCustomFunctions, AllocatorAndKeyContextsAreUsedAndBalanced) {
  CountingAllocator allocator;
  KeyLedger ledger;
  hash_table_t *table =
      hash_create_ex(10, 0, HASH_KEY_KIND_STRING, nullptr, compare_with_ledger_key, nullptr,
                     plain_copy_never_used, nullptr, 0.1, &ledger, ledger_copy, ledger_release,
                     &allocator, counting_allocate, counting_allocate_zeroed, counting_release);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(allocator.zeroed_allocations, 2);  // record and buckets
  const long vandrel_before = test_seam_calls(TEST_SEAM_ALLOCATION);
  const auto keys = names(10);  // grows once, at the 7th
  for (const auto &key : keys) ASSERT_EQ(hash_insert(table, key.c_str(), nullptr), 0);
  EXPECT_EQ(test_seam_calls(TEST_SEAM_ALLOCATION), vandrel_before);
  EXPECT_EQ(allocator.allocations, 10);
  EXPECT_EQ(allocator.zeroed_allocations, 3);
  EXPECT_EQ(ledger.copies, 10);
  hash_remove(table, keys[0].c_str());
  EXPECT_EQ(ledger.releases, 1);
  hash_destroy(table);
  EXPECT_EQ(ledger.releases, 10);
  EXPECT_EQ(allocator.releases, allocator.allocations + allocator.zeroed_allocations);
}

/* ---- Out of memory --------------------------------------------------- */

TEST(HashOutOfMemory, CreationFailsCleanlyAtEitherAllocation) {
  for (long nth = 1; nth <= 2; ++nth) {
    test_seam_fail(TEST_SEAM_ALLOCATION, nth, ENOMEM);
    EXPECT_EQ(hash_create(10), nullptr) << "allocation " << nth;
  }
  test_seam_fail(TEST_SEAM_ALLOCATION, 0, 0);
}

TEST(HashOutOfMemory, FailedNodeOrKeyCopyLeavesTheTableUnchanged) {
  hash_table_t *table = hash_create(10);
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(hash_insert(table, "kept", as_value(1)), 0);
  test_seam_fail(TEST_SEAM_ALLOCATION, 1, ENOMEM);  // the node
  EXPECT_EQ(hash_insert(table, "node", as_value(2)), HASH_INSERT_NO_MEMORY);
  test_seam_fail(TEST_SEAM_ALLOCATION, 2, ENOMEM);  // the key copy
  EXPECT_EQ(hash_insert(table, "copy", as_value(3)), HASH_INSERT_NO_MEMORY);
  EXPECT_EQ(hash_count(table), 1);
  EXPECT_EQ(hash_find(table, "node"), nullptr);
  EXPECT_EQ(hash_find(table, "copy"), nullptr);
  EXPECT_EQ(hash_find(table, "kept"), as_value(1));
  ASSERT_EQ(hash_insert(table, "copy", as_value(3)), 0);
  EXPECT_EQ(hash_find(table, "copy"), as_value(3));
  hash_destroy(table);
}

TEST(HashOutOfMemory, FailedGrowthStillInsertsIntoThePresentBuckets) {
  hash_table_t *table = hash_create(10);
  ASSERT_NE(table, nullptr);
  const auto keys = names(8);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(hash_insert(table, keys[i].c_str(), as_value(i + 1)), 0);
  test_seam_fail(TEST_SEAM_ALLOCATION, 1, ENOMEM);  // the larger bucket array
  ASSERT_EQ(hash_insert(table, keys[6].c_str(), as_value(7)), 0);
  EXPECT_EQ(buckets_of(table), 11u);
  ASSERT_EQ(hash_insert(table, keys[7].c_str(), as_value(8)), 0);  // grows now
  EXPECT_EQ(buckets_of(table), 31u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(hash_find(table, keys[i].c_str()), as_value(i + 1));
  hash_destroy(table);
}

TEST(HashOutOfMemory, CursorAllocationFailureGivesNull) {
  hash_table_t *table = hash_create(10);
  ASSERT_NE(table, nullptr);
  test_seam_fail(TEST_SEAM_ALLOCATION, 1, ENOMEM);
  EXPECT_EQ(hash_iterator_create(table), nullptr);
  hash_destroy(table);
}
