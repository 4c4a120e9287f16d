// The messages of the follow tests: writer W's message I is the codec's
// message I of writer W, and a check of lines holding them, one per line in
// a JSON "text" member, tells what arrived.
#ifndef ROTOLOG_TESTS_FOLLOW_MESSAGES_H
#define ROTOLOG_TESTS_FOLLOW_MESSAGES_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/message_codec.h"

namespace follow_test {

constexpr uint32_t kSpread = 80;
constexpr int kMostWriters = 10;

inline std::string writer_message(int writer, long index) {
  return test_support::varied_message(static_cast<uint32_t>(writer), static_cast<uint64_t>(index),
                                      kSpread);
}

// The value of a JSON member that is a number or a string without escapes,
// or "" when the line has none.
inline std::string json_member(const std::string &line, const std::string &name) {
  const std::string key = "\"" + name + "\":";
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return "";
  std::size_t from = at + key.size();
  if (from < line.size() && line[from] == '"') {
    const std::size_t end = line.find('"', from + 1);
    return end == std::string::npos ? "" : line.substr(from + 1, end - from - 1);
  }
  std::size_t end = from;
  while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
  return line.substr(from, end - from);
}

struct Delivery {
  std::vector<long> next = std::vector<long>(kMostWriters, 0);  // each writer's next index
  long messages = 0;
  long skipped = 0;          // indexes a writer's messages jumped over
  long missed_reported = 0;  // the sum of the {"missed":N} objects
  long bad_seq = 0;          // seq absent, or not above the one before
  uint64_t last_seq = 0;
  std::string problems;  // torn, foreign, repeated or out-of-order messages
};

// Checks every line; gaps in a writer's messages are counted in `skipped`
// (a follower that fell behind), anything else that is wrong in `problems`.
inline Delivery check_delivery(const std::vector<std::string> &lines, int writers) {
  Delivery delivery;
  for (const std::string &line : lines) {
    const std::string missed = json_member(line, "missed");
    if (!missed.empty()) {
      delivery.missed_reported += std::atol(missed.c_str());
      continue;
    }
    const std::string text = json_member(line, "text");
    const test_support::Decoded decoded = test_support::decode_messages(text);
    if (text.empty() || decoded.torn || decoded.messages.size() != 1 ||
        decoded.messages[0].writer >= static_cast<uint32_t>(writers)) {
      delivery.problems += "not a message: " + line.substr(0, 120) + "\n";
      continue;
    }
    const std::size_t writer = decoded.messages[0].writer;
    const long index = static_cast<long>(decoded.messages[0].sequence);
    if (index < delivery.next[writer]) {
      delivery.problems += "repeated or out of order: " + text.substr(0, 18) + "\n";
      continue;
    }
    delivery.skipped += index - delivery.next[writer];
    delivery.next[writer] = index + 1;
    ++delivery.messages;
    const std::string seq = json_member(line, "seq");
    const uint64_t number_seen = seq.empty() ? 0 : std::strtoull(seq.c_str(), nullptr, 10);
    if (number_seen <= delivery.last_seq) ++delivery.bad_seq;
    if (number_seen > delivery.last_seq) delivery.last_seq = number_seen;
  }
  return delivery;
}

}  // namespace follow_test

#endif
