// The state writers publish beside the lock, as the cyclic file's writers,
// its repair and its readers share it: the protocol of the published words,
// their loads and stores, the fences, and the guard of one change.
#ifndef ROTOLOG_CYCLIC_FILE_PUBLISHED_H
#define ROTOLOG_CYCLIC_FILE_PUBLISHED_H

#include <atomic>
#include <cstdint>

#include "rotolog/cyclic_file_handle.h"

namespace rotolog::detail {

//
// Readers take no lock: they copy the header, the counts and the ring while
// writers go on (see cyclic_file_read.cpp). What writers publish for them, in the lock
// file's shared words (PublishedWord):
// - kSequence is odd from before a writer's first store to the header or to
//   these words until after its last: a reader that sees the same even value
//   before and after it copied the header and the counts has them as of one
//   moment;
// - kAppended numbers the messages: the newest counted is number kAppended;
// - kAdvanced counts the bytes the write position ever moved forward,
//   skipped tails included (a ring emptied and begun again at its start
//   moves it forward past the end). Two looks whose kAdvanced differ by a
//   whole ring or more share no byte;
// - kPhase and the intent words let whoever takes over from a writer that
//   died, and a reader that finds one, finish or undo its write.
// A repair that changes the header otherwise (a salvage) moves kAdvanced on
// by a whole ring, so that no copy taken across it keeps a record.
//
// All of it may be scribbled by anyone who may write the file: what is read
// from it is checked (the header it names through the one header check) or
// only compared, never used as an address, a length or an index.

inline uint64_t load_word(const uint64_t *words, PublishedWord word) {
  return __atomic_load_n(&words[word], __ATOMIC_ACQUIRE);
}

inline void store_word(uint64_t *words, PublishedWord word, uint64_t value) {
  __atomic_store_n(&words[word], value, __ATOMIC_RELEASE);
}

// A fence for memory that other processes share. ThreadSanitizer, which
// cannot see them and does not take fences, gets the compiler's ordering
// only.
inline void fence(std::memory_order order) {
#if defined(__SANITIZE_THREAD__)
  (void)order;
  std::atomic_signal_fence(std::memory_order_seq_cst);
#else
  std::atomic_thread_fence(order);
#endif
}

// Keeps the stores that follow after those before, for other processes too
// (a plain compiler barrier on x86, whose stores are seen in order).
inline void order_stores() { fence(std::memory_order_release); }
// The copy's loads come before the loads that follow.
inline void order_loads() { fence(std::memory_order_acquire); }

inline uint64_t pack(int32_t low, int32_t high) {
  return static_cast<uint32_t>(low) | static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32;
}
inline int32_t low_half(uint64_t word) { return static_cast<int32_t>(word & 0xffffffffu); }
inline int32_t high_half(uint64_t word) { return static_cast<int32_t>(word >> 32); }

// A change of the header and of the published words by the holder of the
// lock: the sequence is odd from construction to destruction. Without
// published words (no lock file of this version) it does nothing.
class CCyclicFile::PublishedChange {
 public:
  explicit PublishedChange(uint64_t *words) : words_(words) {
    if (words_ == nullptr) return;
    // Odd, and not the odd value a reader may have seen before a writer
    // died: a reader that copied across this change sees it.
    sequence_ = (load_word(words_, kSequence) | 1) + 2;
    store_word(words_, kSequence, sequence_);
    order_stores();
  }
  ~PublishedChange() {
    if (words_ == nullptr) return;
    order_stores();
    store_word(words_, kSequence, sequence_ + 1);
  }
  PublishedChange(const PublishedChange &) = delete;
  PublishedChange &operator=(const PublishedChange &) = delete;
  uint64_t *words() const { return words_; }

 private:
  uint64_t *words_;
  uint64_t sequence_ = 0;
};

// The header a dead writer's phase says, into `ring`'s fields (not a
// file): for kPhaseRecord the header without its record, for kPhaseCounted
// the header with it. Only when the header the ring holds is one that write
// can have left (its write position is the one it started from, or the one
// it was to end at): a lock file kept beside a data file restored from
// elsewhere says nothing of it. And only when the intended header describes
// this ring (the one header check). Returns whether the fields changed.
// (cyclic_file_repair.cpp)
bool apply_intent(const uint64_t *words, CCyclicBuffer &ring);

}  // namespace rotolog::detail

#endif
