// CCyclicFile: a read-only walk over the messages of a file, one call per
// message with its boundaries intact (read_all joins them). Internal: used by
// the rotolog-cat tool, never exported.
#include "cyclic_buffer.h"
#include "cyclic_file.h"
#include "cyclic_file_handle.h"

// Same locking, reload and ring reads as read_all, so a walk sees exactly
// what a reader sees and applies the same checks to every stored length.
int CCyclicFile::for_each_message(MessageVisitor visit, void *context) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (visit == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  if (!enter_locks()) return CYCLIC_FILE_READ_ALL_FAILED;
  if (reload_header() != 0) {
    leave_locks();
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  char *noted_read_pos = read_pos;
  int32_t noted_count = message_count;
  int32_t visited = 0;
  int last = CYCLIC_BUFFER_OK;
  for (;;) {
    char *message = nullptr;
    int32_t message_length = 0;
    last = read_message(&message, &message_length);
    if (last != CYCLIC_BUFFER_OK) break;
    ++visited;
    if (visit(message, message_length, context) != 0) {
      last = CYCLIC_BUFFER_NO_MORE_MESSAGES;
      break;
    }
  }
  // The walk consumed nothing: the positions go back before anyone else
  // can see the ring.
  read_pos = noted_read_pos;
  message_count = noted_count;
  leave_locks();
  return last == CYCLIC_BUFFER_NO_MORE_MESSAGES ? visited : CYCLIC_FILE_READ_ALL_FAILED;
}
