/* rotolog example: four processes append to one cyclic file at the same time
 * with cyclic_file_fwritef, then the parent reads every message back.
 * Usage: cyclic_file_processes [FILE]
 * (default: cyclic_file_processes.cyclic in $TMPDIR, or else /tmp) */
#define _POSIX_C_SOURCE 200809L
#include <rotolog/cyclic_file.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kWriters = 4, kMessagesEach = 5, kRingSize = 16 * 1024 };

/* Each child opens its own handle: handles are never shared across fork. */
static int run_writer(const char *path, int writer) {
  int status = 0;
  void *file = cyclic_file_create_handle(path, CYCLIC_FILE_MODE_WRITE, kRingSize, &status);
  if (file == NULL) {
    fprintf(stderr, "writer %d: %s\n", writer, cyclic_file_get_error_string(status));
    return 1;
  }
  int failures = 0;
  for (int i = 0; i < kMessagesEach; ++i) {
    int rc =
        cyclic_file_fwritef(file, "writer %d (pid %ld) message %d\n", writer, (long)getpid(), i);
    if (rc != CYCLIC_FILE_OK) ++failures;
  }
  cyclic_file_destroy_handle(file);
  return failures == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
  char default_path[4096];
  const char *tmp = getenv("TMPDIR");
  snprintf(default_path, sizeof default_path, "%s/cyclic_file_processes.cyclic",
           tmp != NULL && tmp[0] != '\0' ? tmp : "/tmp");
  const char *path = argc > 1 ? argv[1] : default_path;
  unlink(path); /* start from an empty file */

  pid_t children[kWriters];
  for (int writer = 0; writer < kWriters; ++writer) {
    children[writer] = fork();
    if (children[writer] < 0) return 1;
    if (children[writer] == 0) _exit(run_writer(path, writer));
  }
  int failed = 0;
  for (int writer = 0; writer < kWriters; ++writer) {
    int status = 0;
    if (waitpid(children[writer], &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      failed = 1;
  }
  if (failed) return 1;

  /* read_all joins the messages; each one ends in a newline, so they read as lines. */
  int status = 0;
  void *file = cyclic_file_create_handle(path, CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_MUST_EXIST,
                                         0, &status);
  if (file == NULL) {
    fprintf(stderr, "%s: %s\n", path, cyclic_file_get_error_string(status));
    return 1;
  }
  char *block = NULL;
  int length = 0;
  int count = cyclic_file_read_all(file, &block, &length);
  if (count < 0) {
    fprintf(stderr, "read: %s\n", cyclic_file_get_error_string(count));
    cyclic_file_destroy_handle(file);
    return 1;
  }
  printf("%d messages (%d bytes) in %s:\n%.*s", count, length, path, length, block);
  cyclic_file_free_read_buffer(file, block);
  cyclic_file_destroy_handle(file);
  return count == kWriters * kMessagesEach ? 0 : 1;
}
