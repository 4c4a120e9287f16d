// CCyclicFile: walks over the records of a file as a whole. The consistency
// check and the salvage that brings a header back to the records after a
// crash, and copies of the messages with their boundaries for rotolog-cat.
// Every step over a record goes through CCyclicBuffer::step_record.
#include <cstring>

#include "cyclic_buffer.h"
#include "cyclic_file.h"
#include "cyclic_file_handle.h"

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

// ---------------------------------------------------------------------------
// Consistency and salvage
//
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
// In 2 and 3 the record just before the first one that is not whole is
// dropped as well (see below).
// Every kept record lies inside the header's span, in ring order, once.
void CCyclicFile::plan_salvage(SalvagePlan *plan) const {
  const int64_t span = stored_span();
  const int64_t read_offset = read_pos - ring_start;
  const int64_t size = buffer_size;
  auto offset_at = [&](int64_t distance) {
    const int64_t at = read_offset + distance;
    return at > size ? at - size : at;
  };
  *plan = SalvagePlan{true, message_count, span, 0, 0, 0, read_offset, read_offset, 0, 0, 0};
  if (message_count == 0) return;

  int64_t distance = 0;
  int32_t records = 0;
  int64_t payload = 0;
  RecordStep step;
  RecordStep last{};
  while (distance < span && step_record(offset_at(distance), span - distance, 1, &step)) {
    distance += step.used;
    payload += step.length;
    ++records;
    last = step;
  }
  const bool reached = distance == span;
  plan->consistent = reached && records == message_count;
  if (plan->consistent) {
    plan->kept_count = records;
    plan->kept_span = distance;
    plan->kept_payload = payload;
    plan->write_offset = offset_at(distance);
    return;
  }
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

  FailedStarts failed(span);
  if (!failed.usable()) return;  // no memory for the search: the walk stands
  for (int64_t walked = 0; walked < walked_whole;) {
    step_record(offset_at(walked), span - walked, 1, &step);
    failed.add(walked);
    walked += step.used;
  }
  if (!reached) failed.add(walked_whole);
  for (int64_t start = 1; start + 5 <= span; ++start) {
    if (failed.has(start)) continue;
    int64_t at = start;
    int32_t run = 0;
    int64_t run_payload = 0;
    while (at < span && !failed.has(at) && step_record(offset_at(at), span - at, 1, &step)) {
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

// The older run (`records` whole records from the read position, `payload`
// bytes) laid again so that it ends where the newer run begins, at span
// distance `newer_start`. Laid record by record as a writer lays them, it
// takes its records' bytes plus a skipped tail of 0 to 3 bytes, depending
// on where it begins: the first start that ends exactly there wins.
void CCyclicFile::plan_older_run(SalvagePlan *plan, int32_t records, int64_t payload,
                                 int64_t newer_start) const {
  const int64_t size = buffer_size;
  const int64_t read_offset = read_pos - ring_start;
  auto offset_at = [&](int64_t distance) {
    const int64_t at = read_offset + distance;
    return at > size ? at - size : at;
  };
  const int64_t span = stored_span();
  const int64_t record_bytes = payload + 4 * static_cast<int64_t>(records);
  const int64_t newer_at = offset_at(newer_start) % size;
  for (int64_t skipped = 0; skipped < 4; ++skipped) {
    const int64_t begin = newer_start - record_bytes - skipped;
    if (begin < 0) return;
    int64_t laid_at = offset_at(begin);
    int64_t walked = 0;
    RecordStep step{};
    for (int32_t i = 0; i < records; ++i) {
      if (!step_record(offset_at(walked), span - walked, 1, &step)) return;  // walked whole before
      walked += step.used;
      place_span(size, &laid_at, 4, step.length);
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

void CCyclicFile::apply_salvage(const SalvagePlan &plan) {
  message_count = plan.kept_count;
  if (message_count == 0) {
    read_pos = ring_start;
    write_pos = ring_start;
    wasted_tail = 0;
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
bool CCyclicFile::move_older_run(const SalvagePlan &plan) {
  const int64_t size = buffer_size;
  const int64_t span = plan.newer_from >= plan.older_from
                           ? plan.newer_from - plan.older_from
                           : size - plan.older_from + plan.newer_from;
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
    std::memcpy(aside + filled, &step.length, 4);
    const int64_t before_end = size - step.payload;
    if (before_end >= step.length) {
      std::memcpy(aside + filled + 4, ring_start + step.payload,
                  static_cast<std::size_t>(step.length));
    } else {
      std::memcpy(aside + filled + 4, ring_start + step.payload,
                  static_cast<std::size_t>(before_end));
      std::memcpy(aside + filled + 4 + before_end, ring_start,
                  static_cast<std::size_t>(step.length - before_end));
    }
    filled += 4 + step.length;
    at = step.next;
    left -= step.used;
  }
  char *const kept_write_pos = write_pos;
  write_pos = read_pos;
  for (int64_t taken = 0; taken < filled;) {
    int32_t length = 0;
    std::memcpy(&length, aside + taken, 4);
    place_piece(4, length, aside + taken + 4);
    taken += 4 + length;
  }
  vel_free(aside);
  write_pos = kept_write_pos;
  return true;
}

bool CCyclicFile::salvage() {
  SalvagePlan plan;
  plan_salvage(&plan);
  if (plan.consistent) return false;
  apply_salvage(plan);
  if (!read_only_mapping) store_header();
  return true;
}

int CCyclicFile::verify(SalvagePlan *plan) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  char *snapshot = nullptr;
  int loaded = load_snapshot(&snapshot);
  if (loaded != 0) return loaded;
  plan_salvage(plan);
  end_read(snapshot);
  return 0;
}

// ---------------------------------------------------------------------------
// Copies with boundaries, for tools

namespace {

// Grows *block to `needed` elements; false when memory is short (the block
// is then kept as it was).
template <typename Element>
bool reserve(Element **block, std::size_t *room, std::size_t needed) {
  if (needed <= *room) return true;
  void *grown = vel_realloc(*block, needed * sizeof(Element));
  if (grown == nullptr) return false;
  *block = static_cast<Element *>(grown);
  *room = needed;
  return true;
}

}  // namespace

// Same locking, reload and salvage as read_all, so a copy holds exactly what
// a reader sees; the one walk of copy_messages checks every record.
int CCyclicFile::copy_newest(int32_t newest, MessageCopy *copy, const uint64_t *above) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (copy == nullptr || newest < 0) return CYCLIC_FILE_READ_ALL_FAILED;
  copy->count = 0;
  copy->ring_count = 0;
  copy->appended = 0;
  char *snapshot = nullptr;
  int began = begin_read(&snapshot);
  if (began != 0) return began;
  // Read under the lock, in the same step as the records it numbers. (A
  // read-only mapping, copied without the lock, has no lock file and so no
  // count: its copies are not numbered.)
  const uint64_t appended = appended_messages();
  if (above != nullptr && counts_messages()) {
    const uint64_t numbered_above = appended > *above ? appended - *above : 0;
    if (numbered_above < static_cast<uint64_t>(newest))
      newest = static_cast<int32_t>(numbered_above);
  }
  int result = CYCLIC_FILE_READ_ALL_FAILED;
  for (bool salvaged = false;;) {
    const int32_t wanted = message_count < newest ? message_count : newest;
    if (!reserve(&copy->bytes, &copy->bytes_room, static_cast<std::size_t>(buffer_size) + 1) ||
        !reserve(&copy->lengths, &copy->lengths_room, static_cast<std::size_t>(wanted) + 1)) {
      result = CYCLIC_FILE_NO_MEMORY;
      break;
    }
    int64_t copied = 0;
    const int copy_result =
        copy_messages(copy->bytes, buffer_size, &copied, message_count - wanted, copy->lengths);
    if (copy_result == CYCLIC_BUFFER_OK) {
      copy->count = wanted;
      copy->ring_count = message_count;
      copy->appended = appended;
      result = CYCLIC_FILE_OK;
      break;
    }
    // The records and the header disagree: mend the header once, then copy
    // what it keeps.
    if (salvaged || copy_result != CYCLIC_BUFFER_WRITE_FAILED || !salvage()) break;
    salvaged = true;
  }
  end_read(snapshot);
  return result;
}

void CCyclicFile::release_copy(MessageCopy *copy) {
  if (copy == nullptr) return;
  if (copy->bytes != nullptr) vel_free(copy->bytes);
  if (copy->lengths != nullptr) vel_free(copy->lengths);
  *copy = MessageCopy{};
}

int CCyclicFile::for_each_message(MessageVisitor visit, void *context) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (visit == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  MessageCopy copy{};
  int copied = copy_newest(INT32_MAX, &copy);
  if (copied != 0) {
    release_copy(&copy);
    return copied;
  }
  const char *message = copy.bytes;
  int32_t visited = 0;
  while (visited < copy.count) {
    const int32_t length = copy.lengths[visited++];
    if (visit(message, length, context) != 0) break;
    message += length;
  }
  release_copy(&copy);
  return visited;
}
