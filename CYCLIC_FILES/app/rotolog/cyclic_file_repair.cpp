// CCyclicFile's repair: the salvage of a ring whose records disagree with its
// header, the takeover from a writer that died holding the lock, and the
// mend of a file before a writer's first write.
//
// The repair protocol
// -------------------
// After a crash the header and the ring's pages may come from different
// moments, and after a writer died inside a write its header may be torn. The
// records cannot be trusted to agree with the header, so they are walked:
//   1. From the read position. When the header's count of whole records
//      ends exactly at the write position, the header is consistent.
//   2. The earliest other start from which whole records reach the write
//      position exactly: the longest run of the newest messages, which is
//      what a black box is for. It wins over the walk from the read position
//      when that does not reach the write position or holds fewer records
//      (a damaged length that swallows its followers in one record). Chains
//      of records are followed once each: a start whose walk meets a failed
//      offset fails too, so the search is one pass over the span. The whole
//      records from the read position up to the damage are kept as well
//      when they can be laid again to end where the newer run begins: they
//      are older than it, so the ring order holds.
//   3. When no run reaches the write position: the run from the read
//      position up to the first record that is not whole, with the write
//      position moved to its end.
// A record is whole as step_message says: its length fits, and it is not an
// entry whose checksum fails.
// In 2 and 3 the record just before the first one that is not whole is
// dropped as well (see below).
// Every kept record lies inside the header's span, in ring order, once.
//
// Who repairs, and when (always under both locks, but a reader's copy):
// - a write, or a reader's settled copy, that meets a record that is not
//   whole: the salvage above, then the write or the walk once more; a reader
//   salvages its copy only, and the file waits for its next writer;
// - the next holder of the lock after a holder died in a write
//   (repair_after_holder_died): the dead writer's phase first (its write
//   finished or undone, apply_intent), then the salvage. After a crash of the
//   machine the lock file's phase is not trusted, only the salvage;
// - a writer's open (mend): the salvage, then the count of appended
//   messages moved past the entries the file holds (count_at_least).
// A salvage that changed the header moves the published kAdvanced on by a
// whole ring, so that no reader keeps a record copied across it.
#include <cstring>
#include <initializer_list>

#include "rotolog/cyclic_buffer.h"
#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_handle.h"
#include "rotolog/cyclic_file_header_codec.h"
#include "rotolog/cyclic_file_published.h"

namespace rotolog::detail {

namespace {

// One bit per offset of the stored span: the offsets from which a walk of
// whole records is known not to end at the write position.
class FailedStarts {
 public:
  explicit FailedStarts(int64_t span)
      : bits_(static_cast<unsigned char *>(vel_calloc(static_cast<std::size_t>(span / 8 + 1), 1))) {
  }
  ~FailedStarts() {
    if (bits_ != nullptr) vel_free(bits_);
  }
  FailedStarts(const FailedStarts &) = delete;
  FailedStarts &operator=(const FailedStarts &) = delete;

  bool usable() const { return bits_ != nullptr; }
  bool has(int64_t at) const { return (bits_[at >> 3] >> (at & 7)) & 1; }
  void add(int64_t at) {
    bits_[at >> 3] = static_cast<unsigned char>(bits_[at >> 3] | 1 << (at & 7));
  }

 private:
  unsigned char *bits_;
};

}  // namespace

void CCyclicBuffer::plan_salvage(SalvagePlan *plan) const {
  const int64_t span = stored_span();
  const int64_t read_offset = read_pos - ring_start;
  const int64_t size = buffer_size;
  auto offset_at = [&](int64_t distance) {
    const int64_t at = read_offset + distance;
    return at > size ? at - size : at;
  };
  *plan = SalvagePlan{true, message_count, span, 0, 0, 0, read_offset, read_offset, 0, 0, 0, 0};
  if (message_count == 0) return;

  int64_t distance = 0;
  int32_t records = 0;
  int64_t payload = 0;
  RecordStep step;
  RecordStep last{};
  uint64_t newest_entry = 0;
  uint64_t after_entry = 0;
  while (distance < span && step_message(offset_at(distance), span - distance, &step)) {
    distance += step.used;
    payload += step.length;
    ++records;
    last = step;
    // The entries' numbers, for the count they need (the head is read only
    // of a record that begins like an entry).
    EntryFields fields;
    char head[kEntryHeadSize];
    if (step.length >= kEntryHeadSize && may_be_entry_at(step)) {
      copy_payload_head(step, head);
      if (decode_entry(head, kEntryHeadSize, &fields)) {
        newest_entry = fields.number;
        after_entry = 0;
        if (newest_entry > plan->entries_counted) plan->entries_counted = newest_entry;
        continue;
      }
    }
    ++after_entry;
    if (newest_entry != 0 && newest_entry + after_entry > plan->entries_counted)
      plan->entries_counted = newest_entry + after_entry;
  }
  const bool reached = distance == span;
  plan->consistent = reached && records == message_count;
  const int64_t walked_whole = distance;
  if (!reached && records > 0) {
    // The record just before the first one that is not whole ends where
    // bytes of another moment begin: its own tail is likely among them
    // (after a crashed machine it was torn more often than not), so it is
    // not kept.
    --records;
    payload -= last.length;
    distance -= last.used;
  }
  plan->kept_count = records;
  plan->kept_span = distance;
  plan->kept_payload = payload;
  plan->write_offset = offset_at(distance);
  if (plan->consistent) return;

  FailedStarts failed(span);
  if (!failed.usable()) return;  // no memory for the search: the walk stands
  for (int64_t walked = 0; walked < walked_whole;) {
    step_record(offset_at(walked), span - walked, 1, &step);
    failed.add(walked);
    walked += step.used;
  }
  if (!reached) failed.add(walked_whole);
  // Whether the record at span distance `start` is a whole entry.
  bool entries_seen = false;
  auto entry_at = [&](int64_t start) {
    RecordStep first;
    if (!step_record(offset_at(start), span - start, 1, &first) || first.length < kEntryHeadSize)
      return false;
    char head[kEntryHeadSize];
    copy_payload_head(first, head);
    const bool entry =
        begins_like_entry(head, kEntryHeadSize) && payload_kind(first) == PayloadKind::kEntry;
    entries_seen = entries_seen || entry;
    return entry;
  };
  // Runs that begin with an entry first: bytes inside an entry (its binary
  // fields, a binary text) may read as a length field that happens to lead
  // to the write position, a record that never was; a run of entries begins
  // where an entry does. Then, when none reaches the write position and the
  // span holds no whole entry at all, runs that begin anywhere (raw messages
  // carry nothing to tell them by); in a span of entries such a run is far
  // likelier bytes of entries read as records. A chain's fate does not
  // depend on where it was entered, so the failed offsets of the first pass
  // hold for the second.
  for (const bool entries_only : {true, false}) {
    if (!entries_only && entries_seen) break;
    for (int64_t start = 1; start + record_bytes(1) <= span; ++start) {
      if (failed.has(start) || (entries_only && !entry_at(start))) continue;
      int64_t at = start;
      int32_t run = 0;
      int64_t run_payload = 0;
      while (at < span && !failed.has(at) && step_message(offset_at(at), span - at, &step)) {
        failed.add(at);
        at += step.used;
        run_payload += step.length;
        ++run;
      }
      if (at == span) {
        if (!reached || run > records) {
          plan->kept_count = run;
          plan->kept_span = span - start;
          plan->kept_payload = run_payload;
          plan->read_offset = offset_at(start);
          plan->write_offset = offset_at(span);
          if (!reached && records > 0 && start >= distance)
            plan_older_run(plan, records, payload, start);
        }
        return;
      }
      if (at < span) failed.add(at);
    }
  }
}

// The older run (`records` whole records from the read position, `payload`
// bytes) laid again so that it ends where the newer run begins, at span
// distance `newer_start`. Laid record by record as a writer lays them, it
// takes its records' bytes plus a skipped tail of 0 to 3 bytes, depending
// on where it begins: the first start that ends exactly there wins.
void CCyclicBuffer::plan_older_run(SalvagePlan *plan, int32_t records, int64_t payload,
                                   int64_t newer_start) const {
  const int64_t size = buffer_size;
  const int64_t read_offset = read_pos - ring_start;
  auto offset_at = [&](int64_t distance) {
    const int64_t at = read_offset + distance;
    return at > size ? at - size : at;
  };
  const int64_t span = stored_span();
  const int64_t laid_bytes = payload + kLengthWidth * static_cast<int64_t>(records);
  const int64_t newer_at = offset_at(newer_start) % size;
  for (int64_t skipped = 0; skipped < kLengthWidth; ++skipped) {
    const int64_t begin = newer_start - laid_bytes - skipped;
    if (begin < 0) return;
    int64_t laid_at = offset_at(begin);
    int64_t walked = 0;
    RecordStep step{};
    for (int32_t i = 0; i < records; ++i) {
      if (!step_record(offset_at(walked), span - walked, 1, &step)) return;  // walked whole before
      walked += step.used;
      place_span(size, &laid_at, kLengthWidth, step.length);
    }
    if (laid_at % size != newer_at) continue;
    plan->older_count = records;
    plan->older_from = read_offset;
    plan->newer_from = plan->read_offset;
    plan->kept_count += records;
    plan->kept_payload += payload;
    plan->kept_span = span - begin;
    plan->read_offset = offset_at(begin);
    return;
  }
}

void CCyclicBuffer::apply_salvage(const SalvagePlan &plan) {
  message_count = plan.kept_count;
  if (message_count == 0) {
    start_over();
    return;
  }
  read_pos = ring_start + plan.read_offset;
  write_pos = ring_start + plan.write_offset;
  if (plan.older_count > 0 && !move_older_run(plan)) {
    // No memory to move it: the newer run alone.
    message_count -= plan.older_count;
    read_pos = ring_start + plan.newer_from;
  }
}

// Copies the older run aside (its new place may overlap its old one), then
// lays its records from the kept read position, as a writer would. A crash
// in between leaves the header as it was: the next salvage finds the newer
// run untouched, since nothing is laid from where it begins.
bool CCyclicBuffer::move_older_run(const SalvagePlan &plan) {
  const int64_t span = plan.newer_from >= plan.older_from
                           ? plan.newer_from - plan.older_from
                           : buffer_size - plan.older_from + plan.newer_from;
  char *aside = static_cast<char *>(vel_malloc(static_cast<std::size_t>(span) + 1));
  if (aside == nullptr) return false;
  // The records, each as its length and its payload joined.
  const RingLayout ring{ring_start, buffer_size, wasted_tail};
  int64_t at = plan.older_from;
  int64_t left = span;
  int64_t filled = 0;
  for (int32_t i = 0; i < plan.older_count; ++i) {
    RecordStep step{};
    if (!step_over(ring, at, left, 1, &step)) {  // walked whole when planned
      vel_free(aside);
      return false;
    }
    store_field(aside + filled, kLengthWidth, step.length);
    copy_payload(aside + filled + kLengthWidth, ring, step, step.length);
    filled += record_bytes(step.length);
    at = step.next;
    left -= step.used;
  }
  char *const kept_write_pos = write_pos;
  write_pos = read_pos;
  for (int64_t taken = 0; taken < filled;) {
    const int32_t length = load_length(aside + taken);
    place_piece(kLengthWidth, length, aside + taken + kLengthWidth);
    taken += record_bytes(length);
  }
  vel_free(aside);
  write_pos = kept_write_pos;
  return true;
}

bool CCyclicFile::salvage(bool store) {
  SalvagePlan plan;
  plan_salvage(&plan);
  if (plan.consistent) return false;
  apply_salvage(plan);
  if (store) store_header();
  return true;
}

// ---------------------------------------------------------------------------
// After a writer died, and before a writer's first write

// The header a dead writer's phase says, into `ring`'s fields (not a
// file): for kPhaseRecord the header without its record, for kPhaseCounted
// the header with it. Only when the header the ring holds is one that write
// can have left (its write position is the one it started from, or the one
// it was to end at): a lock file kept beside a data file restored from
// elsewhere says nothing of it. And only when the intended header describes
// this ring (the one header check). Returns whether the fields changed.
bool apply_intent(const uint64_t *words, CCyclicBuffer &ring) {
  const uint64_t phase = words[kPhase];
  if (phase != kPhaseRecord && phase != kPhaseCounted) return false;
  const int64_t write_offset = ring.write_pos - ring.ring_start;
  const bool left_by_it =
      write_offset == low_half(words[kIntentWrite]) ||
      (phase == kPhaseCounted && write_offset == low_half(words[kIntentFinalWrite]));
  if (!left_by_it) return false;
  const uint64_t read = words[phase == kPhaseRecord ? kIntentRead : kIntentFinalRead];
  const uint64_t write = words[phase == kPhaseRecord ? kIntentWrite : kIntentFinalWrite];
  cyclic_file_header_t intended;
  intended.init();
  intended.set_buffer_size(ring.buffer_size);
  intended.set_message_count(high_half(read));
  intended.set_wasted_tail(high_half(write));
  intended.set_write_offset(low_half(write));
  intended.set_read_offset(low_half(read));
  if (!cyclic_file_header_describes_ring(&intended, ring.buffer_size)) return false;
  apply_ring_header(ring, &intended);
  return true;
}

// Under both locks, after the holder died: its write is finished or undone
// by its phase, the header salvaged, and the sequence made even. After a
// crash of the machine (earlier_boot) the lock file's pages may be older or
// newer than the data file's: its phase is not trusted, only the salvage.
void CCyclicFile::repair_after_holder_died(bool earlier_boot) {
  PublishedChange change(published);
  if (reload_header() != 0) return;
  bool changed = false;
  if (published != nullptr && !earlier_boot) {
    uint64_t words[kPublishedWords];
    for (int i = 0; i < kPublishedWords; ++i)
      words[i] = load_word(published, static_cast<PublishedWord>(i));
    if (apply_intent(words, *this)) {
      changed = store_header() == 0;
      if (words[kPhase] == kPhaseCounted) {
        store_word(published, kAppended, words[kIntentAppended]);
        store_word(published, kAdvanced, words[kIntentAdvanced]);
      }
    }
  }
  if (salvage(true) || changed || earlier_boot) rebase_published();
  if (published != nullptr) store_word(published, kPhase, kPhaseIdle);
}

// Under both locks: a header that disagrees with its records is salvaged and
// stored. One walk over the records when they agree.
//
// Entries are numbered from the lock file's count. A file copied or restored
// beside a lock file that counts fewer messages than its entries' numbers
// would have its new entries numbered below its old ones, and readers would
// take them for records of another moment: the count moves up to what the
// entries need (SalvagePlan::entries_counted), which the plan's walk of a
// consistent ring finds; a ring just salvaged is planned once more for it.
void CCyclicFile::mend() {
  FileLocks locks(*this);
  if (!locks.held() || reload_header() != 0) return;
  SalvagePlan plan;
  plan_salvage(&plan);
  if (!plan.consistent) {
    {
      PublishedChange change(published);
      apply_salvage(plan);
      store_header();
      rebase_published();
    }
    plan_salvage(&plan);
  }
  count_at_least(plan.entries_counted);
}

// Under both locks: the lock file's count of messages appended reaches `needed`.
void CCyclicFile::count_at_least(uint64_t needed) {
  if (published == nullptr || needed <= load_word(published, kAppended)) return;
  PublishedChange change(published);
  store_word(published, kAppended, needed);
}

}  // namespace rotolog::detail
