/* rotolog example: four processes append to one cyclic file at the same time
 * with cyclic_file_fwritef, then the parent reads every message back.
 * Usage: cyclic_file_processes [FILE]
 * (default: cyclic_file_processes.cyclic in $TMPDIR, or else /tmp) */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <rotolog/cyclic_file.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kWriters = 4, kMessagesEach = 5, kRingSize = 16 * 1024 };

/* Says what failed: the library's text of the status and, when errno holds
 * one, the system's reason ("File not found (No space left on device)"). */
static void report(const char *what, int status) {
  int error = errno; /* before another call can change it */
  fprintf(stderr, "%s: %s", what, cyclic_file_get_error_string(status));
  if (error != 0) fprintf(stderr, " (%s)", strerror(error));
  fputc('\n', stderr);
}

/* Each child opens its own handle: handles are never shared across fork. */
static int run_writer(const char *path, int writer) {
  int status = 0;
  void *file = cyclic_file_create_handle(path, CYCLIC_FILE_MODE_WRITE, kRingSize, &status);
  char label[32];
  snprintf(label, sizeof label, "writer %d", writer);
  if (file == NULL) {
    report(label, status); /* the library leaves errno 0 when no system call failed */
    return 1;
  }
  int failures = 0;
  for (int i = 0; i < kMessagesEach; ++i) {
    errno = 0; /* some refusals leave errno as it was */
    int rc =
        cyclic_file_fwritef(file, "writer %d (pid %ld) message %d\n", writer, (long)getpid(), i);
    if (rc != CYCLIC_FILE_OK) {
      if (failures == 0) report(label, rc); /* the first failure says why */
      ++failures;
    }
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
    report(path, status);
    return 1;
  }
  char *block = NULL;
  int length = 0;
  errno = 0;
  int count = cyclic_file_read_all(file, &block, &length);
  if (count < 0) {
    report("read", count);
    cyclic_file_destroy_handle(file);
    return 1;
  }
  printf("%d messages (%d bytes) in %s:\n%.*s", count, length, path, length, block);
  cyclic_file_free_read_buffer(file, block);
  cyclic_file_destroy_handle(file);
  return count == kWriters * kMessagesEach ? 0 : 1;
}
