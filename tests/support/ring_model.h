// The reference model of a cyclic buffer, shared by the property test and
// the fuzz target: the messages the ring must hold, oldest first. In
// eviction mode a full ring drops only its oldest messages, never the one
// just written, and what it keeps fits its bytes; in growth mode it drops
// only what its message-count limit demands.
#ifndef ROTOLOG_TESTS_SUPPORT_RING_MODEL_H
#define ROTOLOG_TESTS_SUPPORT_RING_MODEL_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

struct ModelMessage {
  bool is_array = false;
  std::vector<std::string> parts;  // one part for a single message

  // The bytes of its record: the length field, the payload and, for an
  // array, each segment's 2-byte length.
  int64_t record_bytes() const {
    int64_t bytes = 4;
    for (const std::string &part : parts)
      bytes += static_cast<int64_t>(part.size()) + (is_array ? 2 : 0);
    return bytes;
  }
};

class RingModel {
 public:
  // A ring of `capacity` bytes; limit > 0 is growth mode with at most that
  // many messages, anything else eviction mode.
  RingModel(int32_t capacity, int32_t limit) : capacity_(capacity), limit_(limit) {}

  bool eviction() const { return limit_ <= 0; }

  // Whether the ring must refuse the message as too long: in eviction mode,
  // a single message whose record is larger than the ring, or an array
  // message whose record fills it.
  bool must_refuse(const ModelMessage &message) const {
    if (!eviction()) return false;
    return message.is_array ? message.record_bytes() >= capacity_
                            : message.record_bytes() > capacity_;
  }

  // Takes a write the ring accepted, after which the ring counts `count`
  // messages, and drops what the ring dropped. False when no ring may count
  // that: none, more than were written, in growth mode anything but the
  // newest `limit`, in eviction mode more record bytes than the ring has.
  bool accept(ModelMessage message, int count) {
    messages_.push_back(std::move(message));
    if (count < 1 || static_cast<size_t>(count) > messages_.size()) return false;
    if (!eviction() &&
        static_cast<size_t>(count) != std::min(messages_.size(), static_cast<size_t>(limit_)))
      return false;
    while (messages_.size() > static_cast<size_t>(count)) messages_.pop_front();
    int64_t total = 0;
    for (const ModelMessage &kept : messages_) total += kept.record_bytes();
    return !eviction() || total <= capacity_;
  }

  bool empty() const { return messages_.empty(); }
  size_t size() const { return messages_.size(); }
  // The message the next read must return; only while not empty.
  const ModelMessage &oldest() const { return messages_.front(); }
  void drop_oldest() { messages_.pop_front(); }
  void clear() { messages_.clear(); }

 private:
  int32_t capacity_;
  int32_t limit_;
  std::deque<ModelMessage> messages_;
};

}  // namespace test_support

#endif
