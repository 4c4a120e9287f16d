// sysbrace file identity: the canonical absolute path under which a file is
// opened and locked, the same for every name that reaches the file. The path
// is walked one component at a time, as the kernel walks it, so that each
// symlink met on the way can be judged before it is followed.
#include "rotolog/platform/sysbrace.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// At most this many symlinks on one walk, as the kernel allows.
constexpr int kMostLinks = 40;

// A symlink in a sticky directory that its group or others may write is
// followed only when it belongs to the caller or to the directory's owner:
// anyone else may have planted it there to send the caller's writes
// elsewhere. This is the rule of fs.protected_symlinks=1, applied whatever
// the machine's setting, and to directories shared by a group too (the
// kernel's rule covers only those that others may write).
bool may_follow(const struct stat &link, const char *directory) {
  if (link.st_uid == geteuid()) return true;
  struct stat parent;
  if (stat(directory, &parent) != 0) return false;
  bool shared = (parent.st_mode & S_ISVTX) && (parent.st_mode & (S_IWGRP | S_IWOTH));
  return !shared || link.st_uid == parent.st_uid;
}

// Drops the last component of a canonical path ("/" stays "/").
void drop_last(char *path, size_t *length) {
  while (*length > 1 && path[*length - 1] != '/') --*length;
  if (*length > 1) --*length;
  path[*length] = '\0';
}

// The walk. `resolved` (PATH_MAX bytes) holds the canonical prefix walked so
// far; `pending` (PATH_MAX bytes) what is left, in which a symlink's target
// replaces the link. Fixed buffers only: no allocation.
int walk(const char *path, char *resolved) {
  char pending[PATH_MAX];
  size_t pending_length = std::strlen(path);
  if (pending_length == 0) {
    errno = ENOENT;
    return -1;
  }
  if (pending_length >= sizeof pending) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(pending, path, pending_length + 1);
  size_t length;
  if (path[0] == '/') {
    std::strcpy(resolved, "/");
    length = 1;
  } else {
    if (getcwd(resolved, PATH_MAX) == nullptr) return -1;
    length = std::strlen(resolved);
  }

  int links = 0;
  size_t at = 0;
  for (;;) {
    while (pending[at] == '/') ++at;
    if (pending[at] == '\0') return 0;
    size_t end = at;
    while (pending[end] != '/' && pending[end] != '\0') ++end;
    size_t name_length = end - at;
    size_t after = end;
    while (pending[after] == '/') ++after;
    bool last = pending[after] == '\0';
    const char *name = pending + at;
    at = end;
    if (name_length == 1 && name[0] == '.') continue;
    if (name_length == 2 && name[0] == '.' && name[1] == '.') {
      drop_last(resolved, &length);
      continue;
    }

    size_t parent_length = length;
    size_t slash = resolved[length - 1] == '/' ? 0 : 1;
    if (length + slash + name_length >= PATH_MAX) {
      errno = ENAMETOOLONG;
      return -1;
    }
    if (slash != 0) resolved[length] = '/';
    std::memcpy(resolved + length + slash, name, name_length);
    length += slash + name_length;
    resolved[length] = '\0';

    struct stat info;
    if (lstat(resolved, &info) != 0) {
      // A missing last component is the file that is to be made.
      return errno == ENOENT && last ? 0 : -1;
    }
    if (S_ISLNK(info.st_mode)) {
      if (++links > kMostLinks) {
        errno = ELOOP;
        return -1;
      }
      char target[PATH_MAX];
      ssize_t target_length = readlink(resolved, target, sizeof target);
      if (target_length < 0) return -1;
      if (static_cast<size_t>(target_length) >= sizeof target || target_length == 0) {
        errno = target_length == 0 ? ENOENT : ENAMETOOLONG;
        return -1;
      }
      resolved[parent_length] = '\0';  // the directory that holds the link
      if (!may_follow(info, resolved)) {
        errno = EACCES;
        return -1;
      }
      // What is left becomes the target followed by the rest of the path.
      size_t rest_length = std::strlen(pending + at);
      if (static_cast<size_t>(target_length) + rest_length >= sizeof pending) {
        errno = ENAMETOOLONG;
        return -1;
      }
      std::memmove(pending + target_length, pending + at, rest_length + 1);
      std::memcpy(pending, target, static_cast<size_t>(target_length));
      at = 0;
      length = parent_length;
      if (target[0] == '/') {
        std::strcpy(resolved, "/");
        length = 1;
      }
      continue;
    }
    if (!last && !S_ISDIR(info.st_mode)) {
      errno = ENOTDIR;
      return -1;
    }
  }
}

}  // namespace

extern "C" {

int os_file_lock_identity(const char *path, char *out, size_t out_size) {
  if (path == nullptr || out == nullptr) {
    errno = EINVAL;
    return -1;
  }
  char resolved[PATH_MAX];
  if (walk(path, resolved) != 0) return -1;
  size_t length = std::strlen(resolved);
  if (length + 1 > out_size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(out, resolved, length + 1);
  return 0;
}

}  // extern "C"
