// Test seam shared by the platform libraries: a countdown that makes the Nth
// call of one service fail with a chosen errno. Disarmed it costs one relaxed
// atomic load per call.
#ifndef ROTOLOG_PLATFORM_FAULT_SEAM_H
#define ROTOLOG_PLATFORM_FAULT_SEAM_H

#include <atomic>

namespace platform_seam {

class FaultPoint {
 public:
  // The nth call from now (1: the next one) fails with error; 0 disarms.
  void arm(long nth, int error) {
    error_.store(error, std::memory_order_relaxed);
    countdown_.store(nth, std::memory_order_release);
  }

  // Counts one call; returns the errno it must fail with, or 0.
  int check() {
    calls_.fetch_add(1, std::memory_order_relaxed);
    if (countdown_.load(std::memory_order_acquire) <= 0) return 0;
    if (countdown_.fetch_sub(1, std::memory_order_acq_rel) != 1) return 0;
    return error_.load(std::memory_order_relaxed);
  }

  long calls() const { return calls_.load(std::memory_order_relaxed); }

 private:
  std::atomic<long> countdown_{0};
  std::atomic<int> error_{0};
  std::atomic<long> calls_{0};
};

}  // namespace platform_seam

#endif
