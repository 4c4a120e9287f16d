// The named lock registry: in-process locks on the vel_ heap, the table from
// lock name to lock, and the one registry of the process with its start-up
// and shut-down.
#include "rotolog/named_lock_table.h"

#include "rotolog/platform/vandrel.h"

#include <atomic>
#include <new>

namespace rotolog::detail {

namespace {

// Each lock spins this many times before a contending thread sleeps.
constexpr unsigned kLockSpinCount = 4000;

// Requested size 10: 11 buckets to start.
constexpr int kInitialTableSize = 10;

}  // namespace

/* ---- CInProcessLock -------------------------------------------------- */

CInProcessLock *CInProcessLock::create() {
  void *memory = vel_malloc(sizeof(CInProcessLock));
  if (memory == nullptr) return nullptr;
  auto *lock = new (memory) CInProcessLock();
  if (os_critical_section_init(&lock->section_, kLockSpinCount) != 0) {
    lock->~CInProcessLock();
    vel_free(memory);
    return nullptr;
  }
  return lock;
}

void CInProcessLock::release(CInProcessLock *lock) {
  if (lock == nullptr) return;
  os_critical_section_delete(&lock->section_);
  lock->~CInProcessLock();
  vel_free(lock);
}

/* ---- CNamedLockTable ------------------------------------------------- */

CNamedLockTable::CNamedLockTable()
    : table_(hash_create(kInitialTableSize)), guard_(CInProcessLock::create()) {}

CNamedLockTable::~CNamedLockTable() {
  if (table_ != nullptr) {
    // Every value is a lock: a name is inserted only with its lock.
    hash_for_each(table_,
                  [](void *lock) { CInProcessLock::release(static_cast<CInProcessLock *>(lock)); });
    hash_destroy(table_);  // frees the copied names, nodes and buckets
  }
  CInProcessLock::release(guard_);
}

os_critical_section_t *CNamedLockTable::GetLock(const char *name) {
  if (name == nullptr || table_ == nullptr || guard_ == nullptr) return nullptr;
  // Lookup and insertion are one step under the guard, so threads racing for
  // a new name all get the lock that the first of them inserted.
  guard_->enter();
  auto *lock = static_cast<CInProcessLock *>(hash_find(table_, name));
  if (lock == nullptr) {
    lock = CInProcessLock::create();
    // A lock whose entry could not be stored is not handed out: nobody else
    // could find it, and a second lock for the name would not exclude.
    if (lock != nullptr && hash_insert(table_, name, lock) != HASH_OK) {
      CInProcessLock::release(lock);
      lock = nullptr;
    }
  }
  guard_->leave();
  return lock != nullptr ? lock->section() : nullptr;
}

/* ---- The process's registry ------------------------------------------ */

namespace {

std::atomic<CNamedLockTable *> live_registry{nullptr};

// Holds the registry for the library's lifetime and marks it live. As a
// function-local static its destructor is registered on the exit list of
// the object that holds it: librotolog.so's when loaded as a shared library
// (run at dlclose or at exit), the program's when linked statically.
struct RegistryHolder {
  CNamedLockTable registry;
  RegistryHolder() { live_registry.store(&registry, std::memory_order_release); }
  ~RegistryHolder() { live_registry.store(nullptr, std::memory_order_release); }
};

}  // namespace

CNamedLockTable *named_lock_registry() {
  // Built on first use; the initialiser below makes the first use the load
  // of the library, before any exported function can run. A static
  // initialiser of a program linked statically may come earlier, which
  // the thread-safe local static covers.
  static RegistryHolder holder;
  return live_registry.load(std::memory_order_acquire);
}

namespace {
[[maybe_unused]] CNamedLockTable *const registry_at_load = named_lock_registry();
}  // namespace

}  // namespace rotolog::detail
