// libFuzzer target: random sequences of cyclic buffer operations, through
// the exported functions, checked against the ring model the property test
// uses. In eviction mode the buffer may drop only its oldest messages and
// never the one just written; in growth mode it drops only what the
// message-count limit demands. Every read returns exactly the model's oldest
// message.
#include <fuzzer/FuzzedDataProvider.h>
#include "rotolog/cyclic_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/ring_model.h"

namespace {

using test_support::ModelMessage;

void check(bool condition) {
  if (!condition) std::abort();
}

std::string bytes_of(FuzzedDataProvider &input, int length) {
  std::string text = input.ConsumeBytesAsString(static_cast<size_t>(length));
  text.resize(static_cast<size_t>(length), 'z');
  return text;
}

class ModelRun {
 public:
  ModelRun(int size, int limit) : model_(size, limit) {
    handle_ =
        limit > 0 ? cyclic_buffer_create_handle_ex(size, limit) : cyclic_buffer_create_handle(size);
    check(handle_ != nullptr);
  }
  ~ModelRun() { cyclic_buffer_destroy_handle(handle_); }

  void write_single(const std::string &message) {
    const int result =
        cyclic_buffer_write_message(handle_, message.data(), static_cast<int>(message.size()));
    after_write(result, ModelMessage{false, {message}});
  }

  void write_array(const std::vector<std::string> &parts) {
    std::vector<const char *> segments;
    std::vector<int16_t> lengths;
    for (const std::string &part : parts) {
      segments.push_back(part.data());
      lengths.push_back(static_cast<int16_t>(part.size()));
    }
    const int result = cyclic_buffer_write_array(handle_, segments.data(), lengths.data(),
                                                 static_cast<int>(parts.size()));
    after_write(result, ModelMessage{true, parts});
  }

  void read_oldest() {
    if (model_.empty()) {
      char *data = nullptr;
      int length = 0;
      check(cyclic_buffer_read_message(handle_, &data, &length) == CYCLIC_BUFFER_NO_MORE_MESSAGES);
      return;
    }
    const ModelMessage &oldest = model_.oldest();
    if (oldest.is_array) {
      // As many entries as the read is documented to need: a third of the
      // message's total, so a read that overran them would be caught.
      std::vector<char *> segments(static_cast<size_t>((oldest.record_bytes() - 4) / 3 + 1));
      std::vector<int16_t> lengths(segments.size());
      int count = 0;
      check(cyclic_buffer_read_array(handle_, segments.data(), lengths.data(), &count) ==
            CYCLIC_BUFFER_OK);
      check(count == static_cast<int>(oldest.parts.size()));
      for (int i = 0; i < count; ++i) {
        check(std::string(segments[static_cast<size_t>(i)],
                          static_cast<size_t>(lengths[static_cast<size_t>(i)])) ==
              oldest.parts[static_cast<size_t>(i)]);
      }
    } else {
      char *data = nullptr;
      int length = 0;
      check(cyclic_buffer_read_message(handle_, &data, &length) == CYCLIC_BUFFER_OK);
      check(std::string(data, static_cast<size_t>(length)) == oldest.parts[0]);
    }
    model_.drop_oldest();
    check_count();
  }

  void clean() {
    check(cyclic_buffer_clean_buffer(handle_) == CYCLIC_BUFFER_OK);
    model_.clear();
    check_count();
  }

 private:
  void after_write(int result, ModelMessage message) {
    if (model_.must_refuse(message)) {
      check(result == CYCLIC_BUFFER_TOO_SMALL);
    } else {
      check(result == CYCLIC_BUFFER_OK);
      check(
          model_.accept(std::move(message), cyclic_buffer_get_current_number_of_messages(handle_)));
    }
    check_count();
  }

  void check_count() const {
    check(cyclic_buffer_get_current_number_of_messages(handle_) == static_cast<int>(model_.size()));
  }

  void *handle_;
  test_support::RingModel model_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool growth = input.ConsumeBool();
  const int ring_size = input.ConsumeIntegralInRange<int>(8, 600);
  const int limit = growth ? input.ConsumeIntegralInRange<int>(1, 40) : 0;
  ModelRun run(ring_size, limit);
  for (int step = 0; step < 400 && input.remaining_bytes() > 0; ++step) {
    switch (input.ConsumeIntegralInRange<int>(0, 9)) {
      case 0:
      case 1:
      case 2:
      case 3: {
        const int length = input.ConsumeIntegralInRange<int>(1, growth ? 300 : ring_size);
        run.write_single(bytes_of(input, length));
        break;
      }
      case 4:
      case 5: {
        std::vector<std::string> parts(
            static_cast<size_t>(input.ConsumeIntegralInRange<int>(0, 5)));
        for (std::string &part : parts)
          part = bytes_of(input, input.ConsumeIntegralInRange<int>(1, 80));
        run.write_array(parts);
        break;
      }
      case 6:
      case 7:
      case 8:
        run.read_oldest();
        break;
      default:
        run.clean();
        break;
    }
  }
  return 0;
}
