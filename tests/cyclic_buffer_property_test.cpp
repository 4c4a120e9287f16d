// Randomised test of CCyclicBuffer against a reference queue: thousands of
// single and array writes, reads and cleans over random capacities, with
// fixed seeds so that a failure replays.
#include <gtest/gtest.h>

#include <random>

#include "support/ring.h"
#include "support/ring_model.h"

using namespace rotolog::detail;

using namespace test_support;

namespace {

class RingModelRun {
 public:
  RingModelRun(uint32_t seed, int32_t capacity, int32_t limit)
      : random_(seed), ring_(capacity, limit), model_(capacity, limit), capacity_(capacity) {}

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

  void write_single() {
    ModelMessage message{false, {bytes(pick(1, capacity_ + 4))}};
    const int rc = write_text(ring_, message.parts[0]);
    written(std::move(message), rc);
  }

  void write_array() {
    ModelMessage message{true, {}};
    const int segments = pick(0, 5);
    for (int i = 0; i < segments; ++i) message.parts.push_back(bytes(pick(1, capacity_ / 3 + 1)));
    const int rc = write_segments(ring_, message.parts);
    written(std::move(message), rc);
  }

  // A write too long for an evicting ring is refused; any other is stored,
  // and the ring then holds the newest messages, oldest dropped first.
  void written(ModelMessage message, int rc) {
    const int64_t record = message.record_bytes();
    if (model_.must_refuse(message)) {
      ASSERT_EQ(rc, CYCLIC_BUFFER_TOO_SMALL) << "record of " << record;
      return;
    }
    ASSERT_EQ(rc, 0) << "record of " << record << " in " << ring_.buffer_size;
    ASSERT_TRUE(model_.accept(std::move(message), ring_.message_count))
        << ring_.message_count << " messages after a record of " << record;
  }

  void read_oldest() {
    if (model_.empty()) {
      ASSERT_EQ(read_text(ring_), "#-1");
      return;
    }
    const ModelMessage &oldest = model_.oldest();
    if (oldest.is_array) {
      std::vector<std::string> parts;
      ASSERT_EQ(read_segments(ring_, parts), 0);
      ASSERT_EQ(parts, oldest.parts);
    } else {
      ASSERT_EQ(read_text(ring_), oldest.parts[0]);
    }
    model_.drop_oldest();
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
    if (model_.eviction()) {
      ASSERT_EQ(ring_.buffer_size, capacity_);
    }
  }

  std::mt19937 random_;
  CCyclicBuffer ring_;
  RingModel model_;
  int32_t capacity_;
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
