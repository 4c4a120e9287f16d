// CCyclicFile: writing, formatted writing, reading every message and flushing,
// each write and read under the in-process lock and then the interprocess lock.
#include <cstdio>
#include <cstring>

#include "cyclic_buffer.h"
#include "cyclic_file.h"
#include "cyclic_file_handle.h"

namespace {
constexpr int32_t kFirstFormatSize = 512;
}

// ---------------------------------------------------------------------------
// Locks

// Takes the in-process lock, then the interprocess lock. A shared file is
// never touched without both: a handle that could not obtain one of them
// refuses to write or read.
bool CCyclicFile::enter_locks() {
  if (process_lock == nullptr || interprocess_lock == nullptr) return false;
  os_critical_section_enter(process_lock);
  int state = enter_interprocess_critical_section(interprocess_lock);
  if (state == VANDREL_LOCK_FAILED) {
    os_critical_section_leave(process_lock);
    return false;
  }
  if (state == VANDREL_LOCK_OWNER_DIED) {
    mark_interprocess_critical_section_consistent(interprocess_lock);
  }
  return true;
}

void CCyclicFile::leave_locks() {
  leave_interprocess_critical_section(interprocess_lock);
  os_critical_section_leave(process_lock);
}

// ---------------------------------------------------------------------------
// Writing

int CCyclicFile::write(const char *data, int32_t length) {
  if (!(mode & CYCLIC_FILE_MODE_WRITE)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (!enter_locks()) return CYCLIC_FILE_WRITE_FAILED;
  int result = CYCLIC_FILE_OK;
  if (reload_header() != 0) {
    result = CYCLIC_FILE_READ_ALL_FAILED;
  } else if (write_message(data, length) != CYCLIC_BUFFER_OK) {
    // The header is not stored: the file still describes the ring as it was.
    result = CYCLIC_FILE_WRITE_FAILED;
  } else if (store_header() != 0) {
    result = CYCLIC_FILE_WRITE_FAILED;
  } else if (mode & CYCLIC_FILE_MODE_FLUSH) {
    flush_view();
  }
  leave_locks();
  return result;
}

// Formats into a buffer one byte larger than the text it may hold, since
// vsnprintf always ends with a NUL that is not part of the message. Each pass
// formats from a fresh copy of the arguments; the second pass is sized from
// the length the first one reported.
int CCyclicFile::vfwritef(const char *format, va_list args) {
  if (format == nullptr) return CYCLIC_FILE_WRITE_FAILED;
  int32_t size = kFirstFormatSize;
  for (;;) {
    char *text = static_cast<char *>(vel_malloc(static_cast<std::size_t>(size) + 1));
    if (text == nullptr) return CYCLIC_FILE_NO_MEMORY;
    va_list pass;
    va_copy(pass, args);
    int formatted = std::vsnprintf(text, static_cast<std::size_t>(size) + 1, format, pass);
    va_end(pass);
    if (formatted < 0) {
      vel_free(text);
      return CYCLIC_FILE_WRITE_FAILED;
    }
    if (formatted <= size) {
      int result = write(text, formatted);
      vel_free(text);
      return result;
    }
    vel_free(text);
    if (size > INT32_MAX / 2) return CYCLIC_FILE_NO_MEMORY;
    size = formatted > size * 2 ? formatted : size * 2;
  }
}

// ---------------------------------------------------------------------------
// Reading

int CCyclicFile::read_all(char **buffer, int32_t *length) {
  if (!(mode & CYCLIC_FILE_MODE_READ)) return CYCLIC_FILE_PERMISSION_DENIED;
  if (buffer == nullptr || length == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  if (!enter_locks()) {
    *buffer = nullptr;
    *length = 0;
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  if (reload_header() != 0) {
    leave_locks();
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  if (message_count == 0) {
    leave_locks();
    *buffer = nullptr;
    *length = 0;
    return 0;
  }
  char *block = static_cast<char *>(vel_malloc(static_cast<std::size_t>(buffer_size) + 1));
  if (block == nullptr) {
    leave_locks();
    *buffer = nullptr;
    *length = 0;
    return CYCLIC_FILE_NO_MEMORY;
  }
  char *noted_read_pos = read_pos;
  int32_t noted_count = message_count;
  int32_t copied = 0;
  int last = CYCLIC_BUFFER_OK;
  for (;;) {
    char *message = nullptr;
    int32_t message_length = 0;
    last = read_message(&message, &message_length);
    if (last != CYCLIC_BUFFER_OK) break;
    // The ring checks every length against itself; this guards the block.
    if (message_length > buffer_size - copied) {
      last = CYCLIC_BUFFER_WRITE_FAILED;
      break;
    }
    std::memcpy(block + copied, message, static_cast<std::size_t>(message_length));
    copied += message_length;
  }
  read_pos = noted_read_pos;
  message_count = noted_count;
  leave_locks();
  if (last != CYCLIC_BUFFER_NO_MORE_MESSAGES) {
    vel_free(block);
    *buffer = nullptr;
    *length = 0;
    return CYCLIC_FILE_READ_ALL_FAILED;
  }
  *buffer = block;
  *length = copied;
  return noted_count;
}

// ---------------------------------------------------------------------------
// Flushing

int CCyclicFile::flush_view() {
  return os_flush_view(map_base, static_cast<std::size_t>(header_length) + static_cast<std::size_t>(buffer_size));
}
