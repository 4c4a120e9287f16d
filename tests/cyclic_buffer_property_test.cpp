// Randomised test of CCyclicBuffer against a reference queue: thousands of
// single and array writes, reads and cleans over random capacities, with
// fixed seeds so that a failure replays.
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "cyclic_buffer_test_util.h"

namespace {

struct Message {
  bool is_array;
  std::vector<std::string> parts;  // one part for a single message
};

class RingModelRun {
 public:
  RingModelRun(uint32_t seed, int32_t capacity, int32_t limit)
      : random_(seed), ring_(capacity, limit), capacity_(capacity), limit_(limit) {}

  void run(int steps) {
    for (int step = 0; step < steps && !::testing::Test::HasFatalFailure(); ++step) {
      const int choice = pick(0, 99);
      if (choice < 40)
        write_single();
      else if (choice < 65)
        write_array();
      else if (choice < 98)
        read_oldest();
      else
        clean();
      check_state();
    }
    while (!model_.empty() && !::testing::Test::HasFatalFailure()) read_oldest();
    char *data = nullptr;
    int32_t length = 0;
    EXPECT_EQ(ring_.read_message(&data, &length), CYCLIC_BUFFER_NO_MORE_MESSAGES);
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  std::string bytes(int length) {
    std::string text(static_cast<size_t>(length), '\0');
    for (char &c : text) c = static_cast<char>(pick(0, 255));
    return text;
  }

  bool eviction() const { return limit_ <= 0; }

  void write_single() {
    const int length = pick(1, capacity_ + 4);
    Message message{false, {bytes(length)}};
    const int rc = write_text(ring_, message.parts[0]);
    if (eviction() && length + 4 > ring_.buffer_size) {
      ASSERT_EQ(rc, CYCLIC_BUFFER_TOO_SMALL);
      return;
    }
    ASSERT_EQ(rc, 0) << "single of " << length << " in " << ring_.buffer_size;
    stored(std::move(message));
  }

  void write_array() {
    Message message{true, {}};
    const int segments = pick(0, 5);
    int total = 0;
    for (int i = 0; i < segments; ++i) {
      message.parts.push_back(bytes(pick(1, capacity_ / 3 + 1)));
      total += 2 + static_cast<int>(message.parts.back().size());
    }
    const int rc = write_segments(ring_, message.parts);
    if (eviction() && total + 4 >= ring_.buffer_size) {
      ASSERT_EQ(rc, CYCLIC_BUFFER_TOO_SMALL);
      return;
    }
    ASSERT_EQ(rc, 0) << "array of total " << total << " in " << ring_.buffer_size;
    stored(std::move(message));
  }

  // After a write the ring holds the newest messages, oldest dropped first.
  void stored(Message message) {
    model_.push_back(std::move(message));
    ASSERT_GE(ring_.message_count, 1);
    ASSERT_LE(static_cast<size_t>(ring_.message_count), model_.size());
    if (!eviction()) {
      // Growth mode drops only what the limit forces out.
      const size_t expected = std::min(model_.size(), static_cast<size_t>(limit_));
      ASSERT_EQ(static_cast<size_t>(ring_.message_count), expected);
    }
    while (model_.size() > static_cast<size_t>(ring_.message_count)) model_.pop_front();
  }

  void read_oldest() {
    if (model_.empty()) {
      ASSERT_EQ(read_text(ring_), "#-1");
      return;
    }
    const Message &oldest = model_.front();
    if (oldest.is_array) {
      std::vector<std::string> parts;
      ASSERT_EQ(read_segments(ring_, parts), 0);
      ASSERT_EQ(parts, oldest.parts);
    } else {
      ASSERT_EQ(read_text(ring_), oldest.parts[0]);
    }
    model_.pop_front();
  }

  void clean() {
    ring_.clean();
    model_.clear();
  }

  void check_state() {
    ASSERT_EQ(ring_.error_flag, 0);
    ASSERT_EQ(static_cast<size_t>(ring_.message_count), model_.size());
    ASSERT_EQ(ring_.ring_end, ring_.ring_start + ring_.buffer_size);
    ASSERT_TRUE(ring_.read_pos >= ring_.ring_start && ring_.read_pos <= ring_.ring_end);
    ASSERT_TRUE(ring_.write_pos >= ring_.ring_start && ring_.write_pos <= ring_.ring_end);
    ASSERT_TRUE(ring_.wasted_tail >= 0 && ring_.wasted_tail <= 3);
    if (eviction()) {
      ASSERT_EQ(ring_.buffer_size, capacity_);
    }
  }

  std::mt19937 random_;
  CCyclicBuffer ring_;
  int32_t capacity_;
  int32_t limit_;
  std::deque<Message> model_;
};

}  // namespace

TEST(RingModel, EvictionModeReadsAlwaysReturnTheNewestSuffixByteForByte) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    std::mt19937 setup(seed * 7919u);
    const int32_t capacity = std::uniform_int_distribution<int32_t>(8, 200)(setup);
    RingModelRun run(seed, capacity, seed % 3 == 0 ? -2 : 0);
    run.run(3000);
    ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "seed " << seed << " capacity " << capacity;
  }
}

TEST(RingModel, GrowthModeKeepsExactlyTheLastMaxMessages) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    std::mt19937 setup(seed * 104729u);
    const int32_t capacity = std::uniform_int_distribution<int32_t>(1, 120)(setup);
    const int32_t limit = std::uniform_int_distribution<int32_t>(1, 12)(setup);
    RingModelRun run(seed, capacity, limit);
    run.run(3000);
    ASSERT_FALSE(::testing::Test::HasFatalFailure())
        << "seed " << seed << " capacity " << capacity << " limit " << limit;
  }
}
