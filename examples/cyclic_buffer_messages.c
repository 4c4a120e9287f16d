/* rotolog example: an in-memory cyclic buffer of 128 bytes that keeps only the
 * newest messages, with plain messages and an array message (one message
 * made of separate pieces, read back piece by piece). */
#include <errno.h>
#include <rotolog/cyclic_buffer.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  void *buffer = cyclic_buffer_create_handle(128);
  if (buffer == NULL) return 1;

  /* Plain messages: 8 records of 4 + 16 bytes do not fit, the oldest go. */
  char text[32];
  for (int i = 1; i <= 8; ++i) {
    int length = snprintf(text, sizeof text, "temperature %4d", 20 + i);
    errno = 0; /* set only by what fails in the system (memory, for a buffer) */
    int rc = cyclic_buffer_write_message(buffer, text, length);
    if (rc != CYCLIC_BUFFER_OK) {
      int error = errno;
      fprintf(stderr, "write: %s", cyclic_buffer_get_error_string(rc));
      if (error != 0) fprintf(stderr, " (%s)", strerror(error));
      fputc('\n', stderr);
      return 1;
    }
  }
  printf("%d messages kept of 8\n", cyclic_buffer_get_current_number_of_messages(buffer));
  char *data = NULL;
  int length = 0;
  int rc;
  while ((rc = cyclic_buffer_read_message(buffer, &data, &length)) == CYCLIC_BUFFER_OK)
    printf("  %.*s\n", length, data); /* data belongs to the buffer: no free */
  if (rc != CYCLIC_BUFFER_NO_MORE_MESSAGES) return 1;

  /* An array message: three pieces stored as one record. */
  const char *pieces[] = {"user=alice", "action=login", "result=ok"};
  int16_t lengths[3];
  for (int i = 0; i < 3; ++i) lengths[i] = (int16_t)strlen(pieces[i]);
  rc = cyclic_buffer_write_array(buffer, pieces, lengths, 3);
  if (rc != CYCLIC_BUFFER_OK) return 1;

  /* A message of T bytes holds at most T / 3 segments: size / 3 entries suffice. */
  char *segments[128 / 3];
  int16_t segment_lengths[128 / 3];
  int count = 0;
  rc = cyclic_buffer_read_array(buffer, segments, segment_lengths, &count);
  if (rc != CYCLIC_BUFFER_OK || count != 3) return 1;
  printf("array message of %d segments:\n", count);
  for (int i = 0; i < count; ++i) printf("  [%d] %.*s\n", i, segment_lengths[i], segments[i]);

  cyclic_buffer_destroy_handle(buffer);
  return 0;
}
