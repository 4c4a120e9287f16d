// The named lock registry: in-process locks on the vel_ heap, the table from
// lock name to lock, and the one registry of the process with its start-up
// and shut-down.
#include "rotolog/named_lock_table.h"

#include "rotolog/platform/vandrel.h"

#include <pthread.h>

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

// The note is written and read only while the caller holds the lock: two
// threads that fork at once each find it as their own entry left it.
void CInProcessLock::enter_for_fork() {
  if (os_critical_section_is_held_by_caller(&section_) != 0) {
    entered_for_fork_ = false;
    return;
  }
  enter();
  entered_for_fork_ = true;
}

void CInProcessLock::leave_after_fork() {
  if (!entered_for_fork_) return;
  entered_for_fork_ = false;
  leave();
}

/* ---- CNamedLockTable ------------------------------------------------- */

CNamedLockTable::CNamedLockTable()
    : table_(hash_create(kInitialTableSize)), guard_(CInProcessLock::create()), newest_(nullptr) {}

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
    } else if (lock != nullptr) {
      lock->older_ = newest_;
      // A fork from a signal handler that interrupted this thread here
      // walks the list: the new lock joins it whole or not at all.
      std::atomic_signal_fence(std::memory_order_release);
      newest_ = lock;
    }
  }
  guard_->leave();
  return lock != nullptr ? lock->section() : nullptr;
}

void CNamedLockTable::EnterAllForFork() {
  if (guard_ == nullptr) return;
  guard_->enter_for_fork();
  for (CInProcessLock *lock = newest_; lock != nullptr; lock = lock->older_) lock->enter_for_fork();
}

void CNamedLockTable::LeaveAllAfterFork() {
  if (guard_ == nullptr) return;
  for (CInProcessLock *lock = newest_; lock != nullptr; lock = lock->older_)
    lock->leave_after_fork();
  guard_->leave_after_fork();
}

/* ---- The process's registry ------------------------------------------ */

namespace {

std::atomic<CNamedLockTable *> live_registry{nullptr};

// The fork handlers: the forking thread takes the registry whole before the
// fork and lets it go after, in the parent and in the child alike.
void enter_registry_before_fork() {
  CNamedLockTable *registry = live_registry.load(std::memory_order_acquire);
  if (registry != nullptr) registry->EnterAllForFork();
}

void leave_registry_after_fork() {
  CNamedLockTable *registry = live_registry.load(std::memory_order_acquire);
  if (registry != nullptr) registry->LeaveAllAfterFork();
}

// Holds the registry for the library's lifetime and marks it live. As a
// function-local static its destructor is registered on the exit list of
// the object that holds it: librotolog.so's when loaded as a shared library
// (run at dlclose or at exit), the program's when linked statically. The
// fork handlers are registered once, with it; glibc drops those of a
// library when it is unloaded.
struct RegistryHolder {
  CNamedLockTable registry;
  RegistryHolder() {
    live_registry.store(&registry, std::memory_order_release);
    // Without the handlers (no memory for them) a fork is as unsafe as it
    // was; nothing else depends on them.
    pthread_atfork(enter_registry_before_fork, leave_registry_after_fork,
                   leave_registry_after_fork);
  }
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
