// Test-only crash points of the cyclic file's write path. A test installs a
// hook that ends the process at a chosen step, to prove that a writer killed
// there leaves a file that reads back whole. Null in normal use.
#ifndef ROTOLOG_CYCLIC_FILE_CRASH_POINTS_H
#define ROTOLOG_CYCLIC_FILE_CRASH_POINTS_H

#include <atomic>

enum class CrashPoint {
  kHeaderReloaded = 1,   // the header is read; nothing is changed yet
  kInterimStored = 2,    // the records to evict are dropped from the header
  kRecordWritten = 3,    // the new record is in the ring, the header is not
  kHeaderStored = 4,     // the final header is stored
};

using CrashPointHook = void (*)(CrashPoint point);
extern CrashPointHook cyclic_file_crash_hook;

// Marks a step of the write path. The signal fence keeps the compiler from
// moving stores to the mapping across it, so the file sees them in order.
inline void crash_point(CrashPoint point) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (__builtin_expect(cyclic_file_crash_hook != nullptr, 0)) cyclic_file_crash_hook(point);
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

#endif
