// The exported cyclic_file_* functions: each tests its handle and forwards to
// one operation of CCyclicFile.
#include <cerrno>
#include <cstdarg>
#include <new>

#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_handle.h"

using rotolog::detail::CCyclicFile;

namespace {
CCyclicFile *as_file(void *handle) { return static_cast<CCyclicFile *>(handle); }

void store_status(int *status, int value) {
  if (status != nullptr) *status = value;
}
}  // namespace

void *cyclic_file_create_handle(const char *file_name, int mode, int buffer_size, int *status) {
  void *memory = vel_malloc(sizeof(CCyclicFile));
  if (memory == nullptr) {
    store_status(status, CYCLIC_FILE_NO_MEMORY);
    return nullptr;
  }
  CCyclicFile *file = new (memory) CCyclicFile(file_name, mode, buffer_size);
  int result = file->load();
  store_status(status, result);
  if (result < 0) {
    const int system_error = file->last_errno;
    file->release();
    file->~CCyclicFile();
    vel_free(memory);
    errno = system_error;
    return nullptr;
  }
  return file;
}

void cyclic_file_destroy_handle(void *handle) {
  if (handle == nullptr) return;
  CCyclicFile *file = as_file(handle);
  file->release();
  file->~CCyclicFile();
  vel_free(handle);
}

int cyclic_file_load_file(void *handle) {
  return handle != nullptr ? as_file(handle)->load() : CYCLIC_FILE_INVALID_HANDLE;
}

int cyclic_file_write(void *handle, const char *data, int length) {
  return handle != nullptr ? as_file(handle)->write(data, length) : CYCLIC_FILE_INVALID_HANDLE;
}

int cyclic_file_vfwritef(void *handle, const char *format, va_list args) {
  return handle != nullptr ? as_file(handle)->vfwritef(format, args) : CYCLIC_FILE_INVALID_HANDLE;
}

int cyclic_file_fwritef(void *handle, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = cyclic_file_vfwritef(handle, format, args);
  va_end(args);
  return result;
}

int cyclic_file_write_entry(void *handle, int level, const char *data, int length) {
  return handle != nullptr ? as_file(handle)->write_entry(level, data, length)
                           : CYCLIC_FILE_INVALID_HANDLE;
}

int cyclic_file_write_entry_ex(void *handle, int level, int64_t time_ns, int32_t tid,
                               const char *data, int length) {
  return handle != nullptr ? as_file(handle)->write_entry(level, data, length, time_ns, tid)
                           : CYCLIC_FILE_INVALID_HANDLE;
}

int cyclic_file_get_buffer_size(void *handle) {
  return handle != nullptr ? as_file(handle)->ring_size : CYCLIC_FILE_INVALID_HANDLE;
}

int cyclic_file_vfwrite_entry(void *handle, int level, const char *format, va_list args) {
  if (handle == nullptr) return CYCLIC_FILE_INVALID_HANDLE;
  if (level < 0) {  // vfwritef's level -1 means a plain write
    errno = EINVAL;
    return CYCLIC_FILE_WRITE_FAILED;
  }
  return as_file(handle)->vfwritef(format, args, level);
}

int cyclic_file_fwrite_entry(void *handle, int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = cyclic_file_vfwrite_entry(handle, level, format, args);
  va_end(args);
  return result;
}

int cyclic_file_read_messages(void *handle, uint64_t after, int newest,
                              cyclic_file_message_visitor visit, void *context) {
  return handle != nullptr ? as_file(handle)->read_messages(after, newest, visit, context)
                           : CYCLIC_FILE_INVALID_HANDLE;
}

int cyclic_file_appended(void *handle, uint64_t *appended) {
  if (handle == nullptr) return CYCLIC_FILE_INVALID_HANDLE;
  const bool counts = as_file(handle)->counts_messages();
  if (appended != nullptr) *appended = counts ? as_file(handle)->appended_messages() : 0;
  return counts ? 1 : 0;
}

int cyclic_file_check(void *handle, cyclic_file_check_t *check) {
  if (handle == nullptr) return CYCLIC_FILE_INVALID_HANDLE;
  if (check == nullptr) return CYCLIC_FILE_READ_ALL_FAILED;
  CCyclicFile::Verdict verdict{};
  const int result = as_file(handle)->verify(&verdict);
  if (result != 0) return result;
  const CCyclicFile::SalvagePlan &plan = verdict.plan;
  *check = cyclic_file_check_t{};
  check->header_length = verdict.header_length;
  check->buffer_size = verdict.buffer_size;
  check->message_count = plan.header_count;
  check->read_offset = static_cast<int>(verdict.read_offset);
  check->write_offset = static_cast<int>(verdict.write_offset);
  check->wasted_tail = verdict.wasted_tail;
  check->used_bytes = plan.header_span;
  check->consistent = plan.consistent ? 1 : 0;
  check->kept_count = plan.kept_count;
  check->kept_bytes = plan.kept_span;
  check->kept_payload = plan.kept_payload;
  check->damaged_entries = verdict.damaged_entries;
  check->misnumbered_entries = verdict.misnumbered_entries;
  return 0;
}

int cyclic_file_read_all(void *handle, char **buffer, int *length) {
  return handle != nullptr ? as_file(handle)->read_all(buffer, length) : CYCLIC_FILE_INVALID_HANDLE;
}

void cyclic_file_free_read_buffer(void *handle, char *buffer) {
  if (handle != nullptr && buffer != nullptr) vel_free(buffer);
}

int cyclic_file_flush(void *handle) {
  return handle != nullptr ? as_file(handle)->flush_view() : CYCLIC_FILE_INVALID_HANDLE;
}

const char *cyclic_file_get_error_string(int code) {
  switch (code) {
#define CYCLIC_FILE_STATUS_CASE(name, value, text) \
  case (value):                                    \
    return (value) == 0 ? "Unknown" : (text);
    CYCLIC_FILE_STATUS_TABLE(CYCLIC_FILE_STATUS_CASE)
#undef CYCLIC_FILE_STATUS_CASE
    default:
      return "Unknown";
  }
}
