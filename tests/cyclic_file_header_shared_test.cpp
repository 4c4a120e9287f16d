// The header codec as a caller's program sees it: linked only against
// librotolog.so, through the eight functions it exports under C++ names.
#include <gtest/gtest.h>
#include "rotolog/cyclic_file_header.h"

TEST(SharedHeaderCodec, CallerRecordRoundTripsThroughTheExportedFunctions) {
  // A caller's own record; only decoded records come from the library.
  cyclic_file_header_t own;
  own.init();
  cyclic_file_header_t *record = &own;
  record->set_buffer_size(1 << 20);
  record->set_write_offset(12);
  char buffer[CYCLIC_FILE_HEADER_MAX_LENGTH];
  int written = xdr_encode_p_cyclic_file_header_t(&record, buffer, sizeof buffer);
  EXPECT_EQ(written, xdr_length_of_encoded_p_cyclic_file_header_t(&record));

  cyclic_file_header_t *decoded = nullptr;
  EXPECT_EQ(xdr_decode_p_cyclic_file_header_t(buffer, written, &decoded), written);
  ASSERT_NE(decoded, nullptr);
  int value = 0;
  EXPECT_TRUE(decoded->get_write_offset(&value));
  EXPECT_EQ(value, 12);
  EXPECT_FALSE(decoded->has_read_offset());
  // XDR_FREE through the exported routine, as xdr_free runs it.
  xdr_free(reinterpret_cast<xdrproc_t>(&xdr_p_cyclic_file_header_t), &decoded);
  EXPECT_EQ(decoded, nullptr);
}
