// The process-wide registry of named in-process locks: every cyclic file
// handle of the process that uses one lock name gets the same lock. Internal
// to rotolog; nothing here is exported.
//
// Lock order
// ----------
// A lock is shared by every handle of the process, so a child forked while
// another thread held one would inherit it held by a thread it does not
// have, and hang on its first write. The process's registry therefore holds
// every lock across fork (pthread_atfork, registered once when it is built):
//
//   registry guard  ->  every lock of the table, newest first
//                   ->  (fork)  ->  all released, in the parent and the child
//
// The order is deadlock-free because no other path holds a lock and then
// waits for the guard or another lock of the table:
//   - GetLock holds the guard alone (its allocations take no lock of ours);
//     a handle gets its lock when it is loaded, never while holding one;
//   - a write, and the repair a writing handle makes as it loads (mend),
//     holds its file's lock, then the file's interprocess lock (vandrel),
//     and nothing else of ours, for the few stores of one write; a fork
//     waits for it as any other thread would. The interprocess lock's
//     holder never waits for ours. Readers take neither.
// A thread never holds two locks of the table, and the walk's order never
// changes (a list in order of creation), so the fork handler is the only
// holder of several and always takes them one way.
//
// The thread that forks may itself hold a lock: not through the library's
// functions, which call nothing of the caller's while a lock is held, but a
// signal handler that forks (a crash reporter meeting a SIGBUS of a
// truncated mapping mid-write) or a test seam's hook. The handler skips the
// locks, and the guard, that the caller holds, and leaves them held: in the
// child the same thread carries on and releases them as it would have.
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

  // For a fork: enters unless the calling thread holds the lock already, and
  // notes which; leave_after_fork leaves only what this entered.
  void enter_for_fork();
  void leave_after_fork();

  CInProcessLock(const CInProcessLock &) = delete;
  CInProcessLock &operator=(const CInProcessLock &) = delete;

 private:
  friend class CNamedLockTable;

  CInProcessLock() = default;
  ~CInProcessLock() = default;

  os_critical_section_t section_;
  // The lock made before this one in the same table (the walk of a fork).
  CInProcessLock *older_ = nullptr;
  // Entered by enter_for_fork, not held before; only a holder touches it.
  bool entered_for_fork_ = false;
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

  // The fork handlers' two halves (see Lock order above): the guard, then
  // every lock handed out, newest first, except those the calling thread
  // holds already; then the release of what that took. Called by the
  // forking thread only, the second after the first. Public for the tests.
  void EnterAllForFork();
  void LeaveAllAfterFork();

 private:
  hash_table_t *table_;    // lock name (own copy) -> CInProcessLock *
  CInProcessLock *guard_;  // serialises every use of table_ and newest_
  // Every lock of table_, newest first through older_: the fork handler's
  // walk, in an order that growth of the table does not change.
  CInProcessLock *newest_;
};

// The process's one registry, built when the library is loaded and destroyed
// when it is unloaded or the process exits; null only if start-up could not
// construct it or shut-down has already destroyed it. Its building registers
// the fork handlers (once per load of the library).
CNamedLockTable *named_lock_registry();

}  // namespace rotolog::detail

#endif
