// rotolog-cat: opening a cyclic file for reading, and the reason given when
// it would not open. The library refuses with a status and an errno; the
// tool names the cause from facts it checks itself, in the order the
// library's checks come: the path, the file's type and names, the shared
// directory rule, the permission to read, and the header against the size.
#include "opening.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_header.h"

namespace {

std::string user_name(uid_t uid) {
  const passwd *entry = getpwuid(uid);
  return entry != nullptr ? entry->pw_name : "uid " + std::to_string(uid);
}

std::string group_name(gid_t gid) {
  const group *entry = getgrgid(gid);
  return entry != nullptr ? entry->gr_name : "gid " + std::to_string(gid);
}

// The library's rule for a sticky directory that its group or others may
// write: a file there is opened only by its owner or the directory's owner.
// The path is made canonical first, as the library makes it.
bool refused_in_shared_directory(const char *path, const struct stat &file) {
  if (file.st_uid == geteuid()) return false;
  char *canonical = realpath(path, nullptr);
  if (canonical == nullptr) return false;
  std::string directory = canonical;
  std::free(canonical);
  const std::size_t slash = directory.rfind('/');
  directory.erase(slash == 0 ? 1 : slash);
  struct stat parent {};
  if (stat(directory.c_str(), &parent) != 0) return false;
  const bool shared = (parent.st_mode & S_ISVTX) && (parent.st_mode & (S_IWOTH | S_IWGRP));
  return shared && file.st_uid != parent.st_uid;
}

// The length of a header with all five fields, whatever their values.
int full_header_length() {
  cyclic_file_header_t record;
  record.init();
  record.set_buffer_size(0);
  record.set_message_count(0);
  record.set_wasted_tail(0);
  record.set_write_offset(0);
  record.set_read_offset(0);
  return xdr_length_of_encoded_cyclic_file_header_t(&record);
}

// What the start of a readable regular file of `size` bytes says about it,
// or "" when it cannot be read.
std::string header_problem(const char *path, long long size) {
  if (size == 0)
    return "the file is empty (a cyclic file starts with a header of " +
           std::to_string(full_header_length()) + " bytes)";
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return "";
  char start[CYCLIC_FILE_HEADER_MAX_LENGTH];
  const ssize_t got = pread(fd, start, sizeof start, 0);
  close(fd);
  if (got < 0) return "";
  cyclic_file_header_t *record = nullptr;
  const int length = xdr_decode_p_cyclic_file_header_t(start, static_cast<int>(got), &record);
  int ring_bytes = 0;
  const bool sized = length >= 0 && record != nullptr && record->get_buffer_size(&ring_bytes);
  xdr_free_p_cyclic_file_header_t(&record);
  if (!sized || ring_bytes < 0) {
    const int header = full_header_length();
    if (size < header && got == size)
      return "the file has " + std::to_string(size) + " bytes, fewer than a header's " +
             std::to_string(header) + ": not a rotolog cyclic file, or one cut short";
    return "not a rotolog cyclic file";
  }
  const long long described = static_cast<long long>(length) + ring_bytes;
  if (described != size)
    return "the header describes " + std::to_string(described) + " bytes, the file has " +
           std::to_string(size);
  // Its size is right, and the library refused the header: the rest of it
  // does not fit.
  return "not a rotolog cyclic file: its header's count or offsets do not fit its ring";
}

std::string octal_mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string cause_of(const char *path, int status, int error) {
  struct stat info {};
  if (stat(path, &info) != 0) {
    if (errno == EACCES) return "a directory on its path may not be searched by you";
    return std::strerror(errno);
  }
  if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  if (info.st_nlink > 1)
    return "the file has " + std::to_string(info.st_nlink) +
           " names (hard links), and a cyclic file may have only one";
  if (refused_in_shared_directory(path, info))
    return "owned by another user in a world- or group-writable sticky directory; copy it, or "
           "read it as its owner";
  if (access(path, R_OK) != 0)
    return "not readable by you (mode " + octal_mode(info.st_mode) + ", owner " +
           user_name(info.st_uid) + ", group " + group_name(info.st_gid) + ")";
  if (status == CYCLIC_FILE_LOAD_ERROR || status == CYCLIC_FILE_MAP_FAILED) {
    std::string problem = header_problem(path, static_cast<long long>(info.st_size));
    if (!problem.empty()) return problem;
  }
  return error != 0 ? std::strerror(error) : "";
}

}  // namespace

void *open_for_reading(const char *path, int *status, int *error) {
  errno = 0;
  void *handle = cyclic_file_create_handle(
      path, CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_MUST_EXIST, 0, status);
  *error = handle == nullptr ? errno : 0;
  return handle;
}

std::string open_failure(const char *path, int status, int error) {
  const std::string text = cyclic_file_get_error_string(status);
  const std::string cause = cause_of(path, status, error);
  if (cause.empty() || cause == text) return text;
  return text + ": " + cause;
}
