// libFuzzer target: the cyclic file header decoders on arbitrary bytes. Both
// decoders (the exported one that allocates, and the reload path's one that
// does not) must agree, and whatever decodes must encode back to exactly the
// bytes it came from (the encoding is canonical), of the announced length.
#include "rotolog/cyclic_file_header.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rotolog/cyclic_file_header_codec.h"

using namespace rotolog::detail;

namespace {

bool same_fields(const cyclic_file_header_t &a, const cyclic_file_header_t &b) {
  int first = 0, second = 0;
  bool (cyclic_file_header_t::*getters[])(int *)
      const = {&cyclic_file_header_t::get_buffer_size, &cyclic_file_header_t::get_message_count,
               &cyclic_file_header_t::get_wasted_tail, &cyclic_file_header_t::get_write_offset,
               &cyclic_file_header_t::get_read_offset};
  for (auto getter : getters) {
    bool has_first = (a.*getter)(&first);
    bool has_second = (b.*getter)(&second);
    if (has_first != has_second || (has_first && first != second)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;
  // The decoder takes a writable buffer; a copy of exactly `size` bytes lets
  // ASan catch any read past them.
  std::vector<char> bytes(data, data + size);
  const int length = static_cast<int>(size);

  cyclic_file_header_t *record = nullptr;
  const int consumed = xdr_decode_p_cyclic_file_header_t(bytes.data(), length, &record);
  cyclic_file_header_t in_place;
  const int consumed_in_place = decode_cyclic_file_header_into(bytes.data(), length, &in_place);
  if (consumed != consumed_in_place) std::abort();
  if (consumed > length) std::abort();

  if (consumed >= 0) {
    if (record == nullptr || !same_fields(*record, in_place)) std::abort();
    const int announced = xdr_length_of_encoded_p_cyclic_file_header_t(&record);
    char encoded[256];
    const int written = xdr_encode_p_cyclic_file_header_t(&record, encoded, sizeof encoded);
    if (written != announced || written != consumed ||
        std::memcmp(encoded, bytes.data(), written) != 0) {
      std::abort();
    }
    cyclic_file_header_t *again = nullptr;
    const int consumed_again = xdr_decode_p_cyclic_file_header_t(encoded, written, &again);
    if (consumed_again != written || again == nullptr || !same_fields(*record, *again))
      std::abort();
    xdr_free_p_cyclic_file_header_t(&again);
  }
  xdr_free_p_cyclic_file_header_t(&record);
  return 0;
}
