// CCyclicFile's readers: the copy every read takes without a lock (ReadView),
// and the reads made from it: read_all, copy_newest, for_each_message,
// read_messages and verify.
//
// The read protocol
// -----------------
// Every read works on a private copy of the file taken without any lock, so
// that no reader waits for a writer or makes one wait, and the handle's own
// fields stay its writers':
//   1. a settled look at the header and the counts (look_at_published): the
//      same even sequence before and after they were copied;
//   2. the ring copied;
//   3. a second settled look. When the sequence did not move, the copy is
//      the file at one moment. Otherwise writers went on during the copy.
//      Every record they counted came after the copied ones and every record
//      they evicted was among the oldest, and a writer evicts a record
//      before it lays a byte over it; so the copied records that the second
//      look still counts (from its read position on: its count less the
//      messages appended in between) were whole in the file from the first
//      look to the second, and so in the copy. The others are dropped: the
//      oldest, which writers reached. Looks a whole ring apart (kAdvanced)
//      share nothing, and the copy is taken again.
// When the sequence stays odd because the writer changing it died (or has
// been stopped for a long time), the copy is taken as it stands, settled by
// an unchanged sequence, and the dead writer's phase applied to it as the
// next writer will apply it to the file. A settled copy whose records
// disagree with its header is salvaged in the copy (the file is repaired by
// its next writer); an unsettled one is taken again. Without published
// state (the lock file of an older version, or none a reader may open) the
// whole mapping is copied again until its header did not change meanwhile.
#include <sched.h>
#include <time.h>

#include <cstring>

#include "rotolog/cyclic_buffer.h"
#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_handle.h"
#include "rotolog/cyclic_file_header_codec.h"
#include "rotolog/cyclic_file_published.h"

namespace rotolog::detail {

namespace {

// Attempts at a copy before a read gives up: writers that lap the whole ring
// during each of them, or a header that keeps changing.
constexpr int kCopyAttempts = 100;
// A sequence that stays odd this long, its holder alive, is taken as
// abandoned: a writer stopped (a debugger) holds no reader up.
constexpr double kStoppedWriterMs = 20;

// Copies bytes that writers may be changing meanwhile: the sequence checks
// above decide what of them is kept. ThreadSanitizer would report each such
// copy as the race it is meant to be, so its build copies word by word with
// relaxed atomic loads, unseen by it.
#if defined(__SANITIZE_THREAD__)
__attribute__((no_sanitize("thread"))) void copy_shared(char *to, const char *from,
                                                        std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) to[i] = __atomic_load_n(from + i, __ATOMIC_RELAXED);
}
#else
void copy_shared(char *to, const char *from, std::size_t length) { std::memcpy(to, from, length); }
#endif

double now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

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

bool CCyclicFile::look_at_published(char *header_bytes, PublishedLook *look) const {
  const std::size_t room = header_room();
  uint64_t odd_seen = 0;
  double odd_since = 0;
  const double give_up = now_ms() + 1000;
  for (long round = 0;; ++round) {
    const uint64_t before = load_word(published, kSequence);
    bool abandoned = false;
    if (before & 1) {
      if (before != odd_seen) {
        odd_seen = before;
        odd_since = now_ms();
        round = 0;
      }
      if (round < 64) continue;  // a write takes well under a microsecond
      abandoned = now_ms() - odd_since > kStoppedWriterMs ||
                  !interprocess_critical_section_holder_alive(interprocess_lock);
      if (!abandoned) {
        if (now_ms() > give_up) return false;
        sched_yield();
        continue;
      }
    }
    copy_shared(header_bytes, map_base, room);
    for (int i = 0; i < kPublishedWords; ++i)
      look->words[i] = load_word(published, static_cast<PublishedWord>(i));
    order_loads();
    if (load_word(published, kSequence) == before) {
      look->sequence = before;
      look->abandoned = abandoned;
      return true;
    }
    if (now_ms() > give_up) return false;
  }
}

bool CCyclicFile::sequence_unchanged(const PublishedLook &look) const {
  order_loads();
  return load_word(published, kSequence) == look.sequence;
}

// The block a read copies into: the handle keeps the last one, so that a
// reader that reads again reuses its pages (a fresh block of a large ring
// costs more in page faults than the copy itself). Readers of one handle
// at the same time each get their own.
char *CCyclicFile::take_copy_block() const {
  char *block = __atomic_exchange_n(&spare_copy_block, nullptr, __ATOMIC_ACQ_REL);
  return block != nullptr ? block : static_cast<char *>(vel_malloc(mapped_length));
}

void CCyclicFile::give_back_copy_block(char *block) const {
  char *displaced = __atomic_exchange_n(&spare_copy_block, block, __ATOMIC_ACQ_REL);
  if (displaced != nullptr) vel_free(displaced);
}

CCyclicFile::ReadView::ReadView(const CCyclicFile &file, bool repair)
    : file_(file),
      repair_(repair),
      settled_(false),
      in_place_(false),
      first_look_(),
      copy_(nullptr),
      appended_(0),
      status_(CYCLIC_FILE_NO_MEMORY) {
  if (look_in_place()) {
    status_ = 0;
    return;
  }
  copy_ = file.take_copy_block();
  if (copy_ != nullptr) status_ = take();
}

CCyclicFile::ReadView::~ReadView() {
  if (copy_ != nullptr) file_.give_back_copy_block(copy_);
}

// The common read needs no copy of the ring: when no writer changes the
// header between a look before the walk and one after it, every record the
// first look counted stayed as it was meanwhile (a writer in between lays
// bytes only where it evicted records, and its evictions change the header),
// so a walk over the mapping itself read them whole. The walk then copies
// each payload once. A handle whose last read in place met writers copies
// first for the next read; ThreadSanitizer builds always copy first (the
// walk over bytes that a writer thread may be laying at that moment is the
// race this protocol tolerates, and it would report it).
bool CCyclicFile::ReadView::look_in_place() {
#if defined(__SANITIZE_THREAD__)
  return false;
#else
  const CCyclicFile &file = file_;
  if (file.published == nullptr || __atomic_load_n(&file.copy_first, __ATOMIC_RELAXED))
    return false;
  char looked[CYCLIC_FILE_HEADER_MAX_LENGTH];
  if (!file.look_at_published(looked, &first_look_) || first_look_.abandoned) return false;
  const int room = static_cast<int>(file.header_room());
  cyclic_file_header_t record;
  record.init();
  const int length_seen = decode_cyclic_file_header_into(looked, room, &record);
  if (length_seen < 0 || !cyclic_file_header_describes_ring(
                             &record, static_cast<int64_t>(file.mapped_length) - length_seen))
    return false;
  ring_.ring_start = file.map_base + length_seen;
  ring_.ring_end = ring_.ring_start + record.buffer_size;
  apply_ring_header(ring_, &record);
  ring_.error_flag = 0;
  appended_ = first_look_.words[kAppended];
  in_place_ = true;
  return true;
#endif
}

// After a walk in place: whether the header stayed as the first look saw it.
bool CCyclicFile::ReadView::still_as_looked() {
  PublishedLook second;
  char looked[CYCLIC_FILE_HEADER_MAX_LENGTH];
  const bool same =
      file_.look_at_published(looked, &second) && second.sequence == first_look_.sequence;
  __atomic_store_n(&file_.copy_first, !same, __ATOMIC_RELAXED);
  return same;
}

// Copies until a copy holds records that can be trusted to be whole: 0, or
// a status.
int CCyclicFile::ReadView::take() {
  // A copy that writers lapped starts the next from its second look.
  Carried carried;
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    const int status = file_.published != nullptr
                           ? copy_once(attempt + 1 == kCopyAttempts, &carried)
                           : copy_settled_mapping();
    if (status != kTryAgain) return status;
  }
  return CYCLIC_FILE_READ_ALL_FAILED;
}

// Runs `copy` (a walk of the ring's records that fails with
// CYCLIC_BUFFER_WRITE_FAILED on a record that is not whole) on the view: a
// settled copy whose records disagree with its header is salvaged in the
// copy when the view repairs, and walked again; an unsettled one (writers
// went on while it was taken) is taken again. One walk when all is well.
template <typename Copy>
int CCyclicFile::ReadView::walk_whole(Copy copy) {
  if (in_place_) {
    const int result = copy(ring_);
    if (still_as_looked() && result == CYCLIC_BUFFER_OK) return result;
    // Writers went on, or the records disagree with the header: copy, and
    // settle that (a copy also salvages what is damaged).
    in_place_ = false;
    copy_ = file_.take_copy_block();
    status_ = copy_ != nullptr ? take() : CYCLIC_FILE_NO_MEMORY;
    if (status_ != 0) return CYCLIC_BUFFER_WRITE_FAILED;
  }
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    const int result = copy(ring_);
    if (result != CYCLIC_BUFFER_WRITE_FAILED) return result;
    if (settled_) {
      SalvagePlan plan;
      ring_.plan_salvage(&plan);
      if (plan.consistent || !repair_) return result;
      ring_.apply_salvage(plan);
      return copy(ring_);
    }
    status_ = take();
    if (status_ != 0) return result;
  }
  return CYCLIC_BUFFER_WRITE_FAILED;
}

// Points the copy's ring at the copy, from the header decoded there. False
// when it does not describe the file.
static bool ring_from_copy(CCyclicBuffer &ring, char *copy, int room, int64_t mapped_length) {
  cyclic_file_header_t record;
  record.init();
  const int header_length = decode_cyclic_file_header_into(copy, room, &record);
  if (header_length < 0 ||
      !cyclic_file_header_describes_ring(&record, mapped_length - header_length))
    return false;
  ring.ring_start = copy + header_length;
  ring.ring_end = ring.ring_start + record.buffer_size;
  apply_ring_header(ring, &record);
  ring.error_flag = 0;
  return true;
}

int CCyclicFile::ReadView::copy_once(bool last_attempt, Carried *carried) {
  const CCyclicFile &file = file_;
  const int room = static_cast<int>(file.header_room());
  const int64_t mapped = static_cast<int64_t>(file.mapped_length);
  PublishedLook first;
  if (carried->held) {
    first = carried->look;
    std::memcpy(copy_, carried->header, static_cast<std::size_t>(room));
    carried->held = false;
  } else if (!file.look_at_published(copy_, &first)) {
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  copy_shared(copy_ + room, file.map_base + room,
              file.mapped_length - static_cast<std::size_t>(room));
  if (!ring_from_copy(ring_, copy_, room, mapped)) {
    // A header that does not describe the file, or one torn by a writer
    // stopped for long: look again, and fail only when it stays so.
    return file.sequence_unchanged(first) && !first.abandoned ? CYCLIC_FILE_READ_ALL_FAILED
                                                              : kTryAgain;
  }
  appended_ = first.words[kAppended];
  if (first.abandoned) {
    // Nobody changed the file during the copy: it is the dead writer's
    // file, as the next writer will find it.
    if (!file.sequence_unchanged(first)) return kTryAgain;
    if (apply_intent(first.words, ring_) && first.words[kPhase] == kPhaseCounted)
      appended_ = first.words[kIntentAppended];
    settled_ = true;
    return 0;
  }
  PublishedLook second;
  char header_again[CYCLIC_FILE_HEADER_MAX_LENGTH];
  if (!file.look_at_published(header_again, &second)) return CYCLIC_FILE_READ_ALL_FAILED;
  settled_ = second.sequence == first.sequence;
  if (settled_) return 0;

  // Writers went on: keep the copied records that the second look counts.
  cyclic_file_header_t record;
  record.init();
  const int length_again = decode_cyclic_file_header_into(header_again, room, &record);
  if (length_again < 0 || !cyclic_file_header_describes_ring(&record, ring_.buffer_size))
    return kTryAgain;
  const uint64_t appended_since = second.words[kAppended] - first.words[kAppended];
  const uint64_t advanced_since = second.words[kAdvanced] - first.words[kAdvanced];
  const int64_t kept =
      static_cast<int64_t>(record.message_count) - static_cast<int64_t>(appended_since);
  if (advanced_since >= static_cast<uint64_t>(ring_.buffer_size) || kept <= 0 ||
      appended_since > static_cast<uint64_t>(INT32_MAX)) {
    // Writers lapped the ring during the copy: nothing copied is sure. The
    // next attempt starts from the second look. On the last attempt the
    // read is empty rather than failed.
    if (!last_attempt) {
      carried->look = second;
      std::memcpy(carried->header, header_again, static_cast<std::size_t>(room));
      carried->held = !second.abandoned;
      return kTryAgain;
    }
    ring_.message_count = 0;
    ring_.read_pos = ring_.write_pos;
    return 0;
  }
  if (kept < ring_.message_count) {
    ring_.read_pos = ring_.ring_start + record.read_offset;
    ring_.message_count = static_cast<int32_t>(kept);
  }
  return 0;
}

// Without published state: the whole mapping, copied again until its header
// did not change meanwhile (a writer changes the header before it touches
// any record the header counts, and again after).
int CCyclicFile::ReadView::copy_settled_mapping() {
  const CCyclicFile &file = file_;
  const std::size_t room = file.header_room();
  copy_shared(copy_, file.map_base, file.mapped_length);
  order_loads();
  char header_again[CYCLIC_FILE_HEADER_MAX_LENGTH];
  copy_shared(header_again, file.map_base, room);
  if (std::memcmp(copy_, header_again, room) != 0) return kTryAgain;
  if (!ring_from_copy(ring_, copy_, static_cast<int>(room),
                      static_cast<int64_t>(file.mapped_length)))
    return CYCLIC_FILE_READ_ALL_FAILED;
  settled_ = true;
  return 0;
}

int CCyclicFile::read_all(char **buffer, int32_t *length) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (buffer == nullptr || length == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  *buffer = nullptr;
  *length = 0;
  ReadView view(*this);
  if (view.status() != 0) return view.status();
  // The ring fits in the mapping: its size as loaded, not the fields writers reload.
  char *block = static_cast<char *>(vel_malloc(mapped_length + 1));
  if (block == nullptr) return CYCLIC_FILE_NO_MEMORY;
  // One walk over the records copies every payload.
  int64_t copied = 0;
  int32_t messages = 0;
  const int walked = view.walk_whole([&](const CCyclicBuffer &ring) -> int {
    messages = ring.message_count;
    return ring.copy_messages(block, ring.buffer_size, &copied);
  });
  if (walked != CYCLIC_BUFFER_OK || messages == 0) {
    vel_free(block);
    return walked == CYCLIC_BUFFER_OK ? 0 : CYCLIC_FILE_READ_ALL_FAILED;
  }
  *buffer = block;
  *length = static_cast<int32_t>(copied);
  return messages;
}

// From the same copy as read_all, so a copy holds exactly what a reader
// sees; the one walk of copy_messages checks every record.
int CCyclicFile::copy_newest(int32_t newest, MessageCopy *copy, const uint64_t *above) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (copy == nullptr || newest < 0) return CYCLIC_FILE_READ_ALL_FAILED;
  copy->count = 0;
  copy->ring_count = 0;
  copy->appended = 0;
  ReadView view(*this);
  if (view.status() != 0) return view.status();
  if (!reserve(&copy->bytes, &copy->bytes_room, mapped_length + 1)) return CYCLIC_FILE_NO_MEMORY;
  bool no_memory = false;
  const int walked = view.walk_whole([&](const CCyclicBuffer &ring) -> int {
    // Numbered by the look that the records came from.
    const uint64_t appended = view.appended();
    int32_t wanted = newest;
    if (above != nullptr && counts_messages()) {
      const uint64_t numbered_above = appended > *above ? appended - *above : 0;
      if (numbered_above < static_cast<uint64_t>(wanted))
        wanted = static_cast<int32_t>(numbered_above);
    }
    if (ring.message_count < wanted) wanted = ring.message_count;
    if (!reserve(&copy->lengths, &copy->lengths_room, static_cast<std::size_t>(wanted) + 1)) {
      no_memory = true;
      return CYCLIC_BUFFER_OK;
    }
    int64_t copied = 0;
    const int result = ring.copy_messages(copy->bytes, ring.buffer_size, &copied,
                                          ring.message_count - wanted, copy->lengths);
    copy->count = wanted;
    copy->ring_count = ring.message_count;
    copy->appended = appended;
    return result;
  });
  if (no_memory) return CYCLIC_FILE_NO_MEMORY;
  if (walked != CYCLIC_BUFFER_OK) {
    copy->count = 0;
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  return CYCLIC_FILE_OK;
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

int CCyclicFile::read_messages(uint64_t after, int32_t newest, cyclic_file_message_visitor visit,
                               void *context) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (visit == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  // The handle keeps the copy's blocks for its next read, as it keeps the
  // copy block; readers of one handle at the same time each get their own.
  MessageCopy *copy = __atomic_exchange_n(&spare_message_copy, nullptr, __ATOMIC_ACQ_REL);
  if (copy == nullptr) {
    copy = static_cast<MessageCopy *>(vel_malloc(sizeof(MessageCopy)));
    if (copy == nullptr) return CYCLIC_FILE_NO_MEMORY;
    *copy = MessageCopy{};
  }
  const int copied =
      copy_newest(newest < 0 ? INT32_MAX : newest, copy, after > 0 ? &after : nullptr);
  int visited = 0;
  uint64_t latest_entry = 0;
  const char *payload = copy->bytes;
  for (int32_t index = 0; copied == 0 && index < copy->count; ++index) {
    const int32_t length = copy->lengths[index];
    const uint64_t older = static_cast<uint64_t>(copy->count - 1 - index);
    cyclic_file_message_t message{
        payload, length, 0, -1, 0, 0, 0, copy->appended > older ? copy->appended - older : 0};
    EntryFields fields;
    if (decode_entry(payload, length, &fields)) {
      // Numbered in the order of the lock: one that is not above the entry
      // before it, or not above `after`, is a record of another moment.
      payload += length;
      if (fields.number <= latest_entry || fields.number <= after) continue;
      latest_entry = fields.number;
      message.data += kEntryHeadSize;
      message.length -= kEntryHeadSize;
      message.seq = fields.number;
      if (!fields.bare) {
        message.is_entry = 1;
        message.level = fields.level;
        message.time_ns = fields.time_ns;
        message.pid = fields.pid;
        message.tid = fields.tid;
      }
    } else {
      payload += length;
    }
    ++visited;
    if (visit(&message, context) != 0) break;
  }
  MessageCopy *displaced = __atomic_exchange_n(&spare_message_copy, copy, __ATOMIC_ACQ_REL);
  if (displaced != nullptr) {
    release_copy(displaced);
    vel_free(displaced);
  }
  return copied == 0 ? visited : copied;
}

int CCyclicFile::verify(Verdict *verdict) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  ReadView view(*this, false);
  if (view.status() != 0) return view.status();
  // A copy that writers changed while it was taken is taken again rather
  // than reported damaged.
  const int walked = view.walk_whole([&](const CCyclicBuffer &ring) -> int {
    ring.plan_salvage(&verdict->plan);
    verdict->damaged_entries = 0;
    verdict->misnumbered_entries = 0;
    verdict->header_length = static_cast<int32_t>(mapped_length) - ring.buffer_size;
    verdict->buffer_size = ring.buffer_size;
    verdict->read_offset = ring.read_pos - ring.ring_start;
    verdict->write_offset = ring.write_pos - ring.ring_start;
    verdict->wasted_tail = ring.wasted_tail;
    const int64_t span = ring.stored_span();
    uint64_t latest_entry = 0;
    RecordStep step;
    for (int64_t at = ring.read_pos - ring.ring_start, walked_span = 0;
         walked_span < span && ring.step_record(at, span - walked_span, 1, &step);
         walked_span += step.used, at = step.next) {
      const PayloadKind kind = ring.payload_kind(step);
      if (kind == PayloadKind::kDamagedEntry) ++verdict->damaged_entries;
      if (kind != PayloadKind::kEntry) continue;
      char head[kEntryHeadSize];
      ring.copy_payload_head(step, head);
      EntryFields fields;
      decode_entry(head, kEntryHeadSize, &fields);
      if (fields.number <= latest_entry) ++verdict->misnumbered_entries;
      if (fields.number > latest_entry) latest_entry = fields.number;
    }
    return verdict->plan.consistent ? CYCLIC_BUFFER_OK : CYCLIC_BUFFER_WRITE_FAILED;
  });
  (void)walked;  // a damaged settled copy is what the verdict reports
  return view.status();
}

}  // namespace rotolog::detail
