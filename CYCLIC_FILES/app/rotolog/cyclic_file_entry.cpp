// Entries: the checksum, telling entries from raw messages, and the making
// of an entry's head (the format is stated in cyclic_file_entry.h).
#include "rotolog/cyclic_file_entry.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include "rotolog/platform/vandrel.h"

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace rotolog::detail {

// ---------------------------------------------------------------------------
// CRC32C

namespace {

constexpr uint32_t kCastagnoli = 0x82F63B78u;  // the polynomial, bits reversed

struct CrcTable {
  uint32_t entry[256];
  constexpr CrcTable() : entry() {
    for (uint32_t byte = 0; byte < 256; ++byte) {
      uint32_t crc = byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) != 0 ? kCastagnoli : 0);
      entry[byte] = crc;
    }
  }
};
constexpr CrcTable kCrcTable;

uint32_t crc32c_bytes(uint32_t crc, const unsigned char *bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    crc = kCrcTable.entry[(crc ^ bytes[i]) & 0xff] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t crc, const unsigned char *bytes,
                                                        std::size_t length) {
  uint64_t wide = crc;
  for (; length >= 8; length -= 8, bytes += 8) {
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    wide = _mm_crc32_u64(wide, word);
  }
  crc = static_cast<uint32_t>(wide);
  for (; length > 0; --length) crc = _mm_crc32_u8(crc, *bytes++);
  return crc;
}

const bool kHasSse42 = __builtin_cpu_supports("sse4.2");
#endif

}  // namespace

uint32_t crc32c(uint32_t crc, const void *data, std::size_t length) {
  const auto *bytes = static_cast<const unsigned char *>(data);
  crc = ~crc;
#if defined(__x86_64__)
  if (kHasSse42) return ~crc32c_sse42(crc, bytes, length);
#endif
  return ~crc32c_bytes(crc, bytes, length);
}

// ---------------------------------------------------------------------------
// The head

namespace {

constexpr unsigned char kMarker[3] = {0x1E, 'r', 'l'};
constexpr unsigned kVersion = 1;
constexpr unsigned char kBare = 0x08;
constexpr int kCrcAt = 4;

void store_u32(char *at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(value >> (8 * i));
}
void store_u64(char *at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<char>(value >> (8 * i));
}
uint32_t load_u32(const char *at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(at[i]);
  return value;
}
uint64_t load_u64(const char *at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(at[i]);
  return value;
}

// The checksum of a head whose text's checksum is text_crc: the head's bytes
// but the checksum's own.
uint32_t head_crc(uint32_t text_crc, const char *head) {
  const uint32_t crc = crc32c(text_crc, head, kCrcAt);
  return crc32c(crc, head + kCrcAt + 4, kEntryHeadSize - kCrcAt - 4);
}

// The process's and the thread's ids, kept per thread and taken again after
// a fork (the child's thread has ids of its own).
std::atomic<unsigned> fork_generation{1};

struct Origin {
  unsigned generation = 0;
  int32_t pid = 0;
  int32_t tid = 0;
};

void count_fork() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

const Origin &this_origin() {
  static const bool registered = pthread_atfork(nullptr, nullptr, count_fork) == 0;
  (void)registered;
  thread_local Origin origin;
  const unsigned generation = fork_generation.load(std::memory_order_relaxed);
  if (origin.generation != generation) {
    origin.pid = static_cast<int32_t>(getpid());
    origin.tid = static_cast<int32_t>(gettid());
    origin.generation = generation;
  }
  return origin;
}

// The latest time given to an entry by this process.
std::atomic<int64_t> latest_time{INT64_MIN};

int64_t entry_time() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  int64_t time = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  int64_t latest = latest_time.load(std::memory_order_relaxed);
  while (time > latest &&
         !latest_time.compare_exchange_weak(latest, time, std::memory_order_relaxed)) {
  }
  return time > latest ? time : latest;
}

}  // namespace

PayloadKind classify_payload(const char *first, int64_t first_length, const char *second,
                             int32_t length) {
  if (length < kEntryHeadSize) return PayloadKind::kRaw;
  // The head, which may itself cross the ring's end.
  char head[kEntryHeadSize];
  if (first_length >= kEntryHeadSize) {
    std::memcpy(head, first, kEntryHeadSize);
  } else {
    std::memcpy(head, first, static_cast<std::size_t>(first_length));
    std::memcpy(head + first_length, second,
                static_cast<std::size_t>(kEntryHeadSize - first_length));
  }
  const auto *prefix = reinterpret_cast<const unsigned char *>(head);
  const int differing = (prefix[0] != kMarker[0]) + (prefix[1] != kMarker[1]) +
                        (prefix[2] != kMarker[2]) + ((prefix[3] >> 4) != kVersion);
  if (differing > 1) return PayloadKind::kRaw;
  // The text's checksum, in the pieces it lies in.
  uint32_t crc = 0;
  if (first_length >= length) {
    crc = crc32c(0, first + kEntryHeadSize, static_cast<std::size_t>(length - kEntryHeadSize));
  } else if (first_length >= kEntryHeadSize) {
    crc =
        crc32c(0, first + kEntryHeadSize, static_cast<std::size_t>(first_length - kEntryHeadSize));
    crc = crc32c(crc, second, static_cast<std::size_t>(length - first_length));
  } else {
    crc = crc32c(0, second + (kEntryHeadSize - first_length),
                 static_cast<std::size_t>(length - kEntryHeadSize));
  }
  const uint32_t stored = load_u32(head + kCrcAt);
  if (differing == 0)
    return head_crc(crc, head) == stored ? PayloadKind::kEntry : PayloadKind::kDamagedEntry;
  // One byte of the prefix differs: an entry with that byte damaged when
  // the checksum holds with it put right.
  std::memcpy(head, kMarker, 3);
  head[3] = static_cast<char>((prefix[3] & 0x0f) | kVersion << 4);
  return head_crc(crc, head) == stored ? PayloadKind::kDamagedEntry : PayloadKind::kRaw;
}

bool decode_entry(const char *payload, int32_t length, EntryFields *fields) {
  if (!begins_like_entry(payload, length)) return false;
  const auto format = static_cast<unsigned char>(payload[3]);
  fields->level = format & 0x07;
  fields->bare = (format & kBare) != 0;
  fields->time_ns = static_cast<int64_t>(load_u64(payload + 8));
  fields->number = ~load_u64(payload + 16);
  fields->pid = static_cast<int32_t>(~load_u32(payload + 24));
  fields->tid = static_cast<int32_t>(~load_u32(payload + 28));
  return true;
}

// ---------------------------------------------------------------------------
// Writing one

EntryDraft::EntryDraft(int level, bool bare, const char *text, int32_t length, int64_t time_ns,
                       int32_t tid)
    : bytes_(inline_),
      length_(kEntryHeadSize + length),
      given_time_(time_ns),
      text_crc_(crc32c(0, text, static_cast<std::size_t>(length))) {
  if (length > kInlineText) {
    bytes_ = static_cast<char *>(vel_malloc(static_cast<std::size_t>(length_)));
    if (bytes_ == nullptr) return;
  }
  const Origin &origin = this_origin();
  std::memcpy(bytes_, kMarker, 3);
  bytes_[3] = static_cast<char>(kVersion << 4 | (bare ? kBare : 0) | (level & 0x07));
  store_u32(bytes_ + 24, ~static_cast<uint32_t>(origin.pid));
  store_u32(bytes_ + 28, ~static_cast<uint32_t>(tid != 0 ? tid : origin.tid));
  if (length > 0) std::memcpy(bytes_ + kEntryHeadSize, text, static_cast<std::size_t>(length));
}

EntryDraft::~EntryDraft() {
  if (bytes_ != inline_ && bytes_ != nullptr) vel_free(bytes_);
}

void EntryDraft::seal(uint64_t number) {
  store_u64(bytes_ + 8, static_cast<uint64_t>(given_time_ != 0 ? given_time_ : entry_time()));
  store_u64(bytes_ + 16, ~number);
  store_u32(bytes_ + kCrcAt, head_crc(text_crc_, bytes_));
}

}  // namespace rotolog::detail
