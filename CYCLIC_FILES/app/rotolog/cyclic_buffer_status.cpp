// The texts of the cyclic buffer family's status codes.
#include "rotolog/cyclic_buffer.h"

const char *cyclic_buffer_get_error_string(int code) {
  switch (code) {
#define CYCLIC_BUFFER_STATUS_CASE(name, value, text) \
  case (value):                                      \
    return (value) == 0 ? "Unknown" : (text);
    CYCLIC_BUFFER_STATUS_TABLE(CYCLIC_BUFFER_STATUS_CASE)
#undef CYCLIC_BUFFER_STATUS_CASE
    default:
      return "Unknown";
  }
}
