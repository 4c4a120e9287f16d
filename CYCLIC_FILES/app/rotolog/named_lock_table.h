// The process-wide registry of named in-process locks: every cyclic file
// handle of the process that uses one lock name gets the same lock. Internal
// to rotolog; nothing here is exported.
#ifndef ROTOLOG_NAMED_LOCK_TABLE_H
#define ROTOLOG_NAMED_LOCK_TABLE_H

#include "rotolog/platform/sysbrace.h"

#include "rotolog/hash/hash.h"

namespace rotolog::detail {

// One in-process lock: a critical section that spins a while before it
// sleeps. Lives on the vel_ heap, made by create and freed by release.
class CInProcessLock {
 public:
  // A new lock, or null when memory or the critical section could not be had.
  static CInProcessLock *create();
  // Deletes the critical section and frees the lock; null is ignored.
  static void release(CInProcessLock *lock);

  void enter() { os_critical_section_enter(&section_); }
  void leave() { os_critical_section_leave(&section_); }
  os_critical_section_t *section() { return &section_; }

  CInProcessLock(const CInProcessLock &) = delete;
  CInProcessLock &operator=(const CInProcessLock &) = delete;

 private:
  CInProcessLock() = default;
  ~CInProcessLock() = default;

  os_critical_section_t section_;
};

class CNamedLockTable {
 public:
  // Builds the table, then the guard; either may be missing when memory ran
  // out, and the registry then hands out no locks.
  CNamedLockTable();
  // Deletes and frees every lock handed out, then the table and the guard.
  // No lock is taken: no other thread may use the registry by then.
  ~CNamedLockTable();

  CNamedLockTable(const CNamedLockTable &) = delete;
  CNamedLockTable &operator=(const CNamedLockTable &) = delete;

  // The critical section of the name's lock (created on first request), or
  // null when the name is null, the registry is incomplete, or a new lock or
  // its entry could not be allocated (a later request tries again). The
  // pointer stays valid until the registry is destroyed. Thread-safe.
  os_critical_section_t *GetLock(const char *name);

 private:
  hash_table_t *table_;    // lock name (own copy) -> CInProcessLock *
  CInProcessLock *guard_;  // serialises every use of table_
};

// The process's one registry, built when the library is loaded and destroyed
// when it is unloaded or the process exits; null only if start-up could not
// construct it or shut-down has already destroyed it.
CNamedLockTable *named_lock_registry();

}  // namespace rotolog::detail

#endif
