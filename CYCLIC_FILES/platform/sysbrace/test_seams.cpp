// sysbrace test seams: the one table of test_seams.h, shared by every platform
// library and by librotolog's crash points. One entry per seam: its count of
// calls, the countdown to the failing call and its errno, and the hook.
#include "rotolog/platform/test_seams.h"

#include <atomic>

namespace {

struct Description {
  const char *name;
  int kind;
};

#define TEST_SEAM_DESCRIPTION(id, name, kind, what) {name, TEST_SEAM_KIND_##kind},
constexpr Description kDescriptions[TEST_SEAM_COUNT] = {TEST_SEAM_TABLE(TEST_SEAM_DESCRIPTION)};
#undef TEST_SEAM_DESCRIPTION

struct Entry {
  std::atomic<long> calls{0};
  std::atomic<long> countdown{0};  // the call that fails is the one that takes it to 0
  std::atomic<int> error{0};
  std::atomic<test_seam_hook_t> hook{nullptr};
  std::atomic<void *> context{nullptr};
};

Entry table[TEST_SEAM_COUNT];

bool known(test_seam seam) { return seam >= 0 && seam < TEST_SEAM_COUNT; }

// From the first use by a test on, every seam takes the slow path.
void activate() { __atomic_store_n(&test_seams_active, 1, __ATOMIC_RELAXED); }

}  // namespace

extern "C" {

int test_seams_active = 0;

int test_seam_visit(enum test_seam seam, void *object, size_t length, long result) {
  if (!known(seam)) return TEST_SEAM_PROCEED;
  Entry &entry = table[seam];
  entry.calls.fetch_add(1, std::memory_order_relaxed);
  if (entry.countdown.load(std::memory_order_acquire) > 0 &&
      entry.countdown.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    return entry.error.load(std::memory_order_relaxed);
  }
  test_seam_hook_t hook = entry.hook.load(std::memory_order_acquire);
  if (hook == nullptr) return TEST_SEAM_PROCEED;
  test_seam_call_t call = {seam, object, length, result};
  return hook(&call, entry.context.load(std::memory_order_relaxed));
}

void test_seam_fail(enum test_seam seam, long nth, int error) {
  activate();
  if (!known(seam)) return;
  if (nth <= 0 || error <= 0) nth = 0;
  table[seam].error.store(error, std::memory_order_relaxed);
  table[seam].countdown.store(nth, std::memory_order_release);
}

long test_seam_calls(enum test_seam seam) {
  activate();
  return known(seam) ? table[seam].calls.load(std::memory_order_relaxed) : 0;
}

void test_seam_set_hook(enum test_seam seam, test_seam_hook_t hook, void *context) {
  activate();
  if (!known(seam)) return;
  table[seam].context.store(context, std::memory_order_relaxed);
  table[seam].hook.store(hook, std::memory_order_release);
}

void test_seam_reset(void) {
  activate();
  for (Entry &entry : table) {
    entry.countdown.store(0, std::memory_order_relaxed);
    entry.hook.store(nullptr, std::memory_order_relaxed);
  }
}

const char *test_seam_name(enum test_seam seam) {
  return known(seam) ? kDescriptions[seam].name : nullptr;
}

int test_seam_kind(enum test_seam seam) { return known(seam) ? kDescriptions[seam].kind : -1; }

}  // extern "C"
