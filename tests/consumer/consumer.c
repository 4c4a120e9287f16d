/* Uses an installed rotolog through its public headers only; exits 0 when
 * every call answers as documented, 1 otherwise (printing what differed). */
#include <rotolog/cyclic_buffer.h>
#include <stdio.h>
#include <string.h>

static int expect_text(int code, const char *expected) {
  const char *text = cyclic_buffer_get_error_string(code);
  if (text == NULL || strcmp(text, expected) != 0) {
    printf("cyclic_buffer_get_error_string(%d) = \"%s\", expected \"%s\"\n", code,
           text ? text : "(null)", expected);
    return 1;
  }
  return 0;
}

int main(void) {
  int failures = 0;
  failures += expect_text(CYCLIC_BUFFER_INVALID_HANDLE, "Invalid cyclic buffer handle");
  failures += expect_text(CYCLIC_BUFFER_NO_MORE_MESSAGES, "No more messages in cyclic buffer");
  failures += expect_text(12345, "Unknown");
  if (failures == 0) printf("rotolog consumer: ok\n");
  return failures == 0 ? 0 : 1;
}
