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
      : bits_(static_cast<unsigned char *>(vel_calloc(static_cast<std::size_t>(span / 8 + 1), 1))) {}
  ~FailedStarts() {
    if (bits_ != nullptr) vel_free(bits_);
  }
  FailedStarts(const FailedStarts &) = delete;
  FailedStarts &operator=(const FailedStarts &) = delete;

  bool usable() const { return bits_ != nullptr; }
  bool has(int64_t at) const { return (bits_[at >> 3] >> (at & 7)) & 1; }
  void add(int64_t at) { bits_[at >> 3] = static_cast<unsigned char>(bits_[at >> 3] | 1 << (at & 7)); }

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
//      offset fails too, so the search is one pass over the span.
//   3. When no run reaches the write position: the run from the read
//      position up to the first record that is not whole, with the write
//      position moved to its end.
// Every kept record lies inside the header's span, in ring order, once.
void CCyclicFile::plan_salvage(SalvagePlan *plan) const {
  const int64_t span = stored_span();
  const int64_t read_offset = read_pos - ring_start;
  const int64_t size = buffer_size;
  auto offset_at = [&](int64_t distance) {
    const int64_t at = read_offset + distance;
    return at > size ? at - size : at;
  };
  *plan = SalvagePlan{true, message_count, span, 0, 0, 0, read_offset, read_offset};
  if (message_count == 0) return;

  int64_t distance = 0;
  int32_t records = 0;
  int64_t payload = 0;
  RecordStep step;
  while (distance < span && step_record(offset_at(distance), span - distance, 1, &step)) {
    distance += step.used;
    payload += step.length;
    ++records;
  }
  const bool reached = distance == span;
  plan->consistent = reached && records == message_count;
  plan->kept_count = records;
  plan->kept_span = distance;
  plan->kept_payload = payload;
  plan->write_offset = offset_at(distance);
  if (plan->consistent) return;

  FailedStarts failed(span);
  if (!failed.usable()) return;  // no memory for the search: the walk stands
  for (int64_t walked = 0; walked < distance;) {
    step_record(offset_at(walked), span - walked, 1, &step);
    failed.add(walked);
    walked += step.used;
  }
  if (!reached) failed.add(distance);
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
      }
      return;
    }
    if (at < span) failed.add(at);
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
  char *snapshot = snapshot_mapping();
  if (snapshot == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  int result = CYCLIC_FILE_READ_ALL_FAILED;
  if (reload_header_from(snapshot) == 0) {
    plan_salvage(plan);
    rebase_ring(snapshot);
    result = 0;
  }
  vel_free(snapshot);
  return result;
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
int CCyclicFile::copy_newest(int32_t newest, MessageCopy *copy) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (copy == nullptr || newest < 0) return CYCLIC_FILE_READ_ALL_FAILED;
  copy->count = 0;
  copy->ring_count = 0;
  char *snapshot = nullptr;
  int began = begin_read(&snapshot);
  if (began != 0) return began;
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
