// sysbrace file identity: the canonical absolute path under which a file is
// locked, the same for every name that reaches the file.
#include <rotolog/platform/sysbrace.h>

#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>

namespace {

int copy_out(const char *text, size_t length, char *out, size_t out_size) {
  if (length + 1 > out_size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(out, text, length);
  out[length] = '\0';
  return 0;
}

// Identity of a file that does not exist (yet): the canonical path of its
// directory joined with the last component as given, which is the path
// realpath yields once the file is made. Fixed buffers only: no allocation.
int missing_file_identity(const char *path, char *out, size_t out_size) {
  size_t length = std::strlen(path);
  while (length > 1 && path[length - 1] == '/') --length;
  size_t last_start = length;
  while (last_start > 0 && path[last_start - 1] != '/') --last_start;
  const char *last = path + last_start;
  size_t last_length = length - last_start;
  if (last_length == 0 || (last_length == 1 && last[0] == '.') ||
      (last_length == 2 && last[0] == '.' && last[1] == '.')) {
    errno = ENOENT;
    return -1;
  }

  char directory[PATH_MAX];
  if (last_start == 0) {
    std::strcpy(directory, ".");
  } else {
    size_t directory_length = last_start == 1 ? 1 : last_start - 1;  // keep a lone "/"
    if (directory_length >= sizeof directory) {
      errno = ENAMETOOLONG;
      return -1;
    }
    std::memcpy(directory, path, directory_length);
    directory[directory_length] = '\0';
  }
  char resolved[PATH_MAX];
  if (realpath(directory, resolved) == nullptr) return -1;

  size_t resolved_length = std::strlen(resolved);
  bool needs_slash = resolved[resolved_length - 1] != '/';
  size_t total = resolved_length + (needs_slash ? 1 : 0) + last_length;
  if (total + 1 > out_size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(out, resolved, resolved_length);
  if (needs_slash) out[resolved_length] = '/';
  std::memcpy(out + resolved_length + (needs_slash ? 1 : 0), last, last_length);
  out[total] = '\0';
  return 0;
}

}  // namespace

extern "C" {

int os_file_lock_identity(const char *path, char *out, size_t out_size) {
  if (path == nullptr || out == nullptr) {
    errno = EINVAL;
    return -1;
  }
  char resolved[PATH_MAX];
  if (realpath(path, resolved) != nullptr) return copy_out(resolved, std::strlen(resolved), out, out_size);
  if (errno != ENOENT) return -1;
  return missing_file_identity(path, out, out_size);
}

}  // extern "C"
