// spanwick: maps the whole regular file open on a descriptor into memory
// through a handle that remembers the mode and the mapping.
#include "rotolog/platform/spanwick.h"
#include "rotolog/platform/vandrel.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "system_call.h"

using platform_call::seam_fails;

namespace {

struct MappedFile {
  int mode;
  void *base;  // null while unmapped
  size_t length;
};

constexpr int kKnownModeBits = SPANWICK_MODE_READ | SPANWICK_MODE_WRITE | SPANWICK_MODE_SHARED;

// Size of the regular file behind fd, or -1 (errno set) for anything that
// cannot be mapped whole.
int64_t mappable_size(int fd) {
  struct stat info;
  if (seam_fails(TEST_SEAM_MAP_FSTAT) || fstat(fd, &info) != 0) return -1;
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return -1;
  }
  if (!S_ISREG(info.st_mode)) {
    errno = ENODEV;
    return -1;
  }
  if (info.st_size <= 0) {
    errno = EINVAL;
    return -1;
  }
  if (static_cast<uint64_t>(info.st_size) > SIZE_MAX) {
    errno = EFBIG;
    return -1;
  }
  return info.st_size;
}

void *map_whole_file(const MappedFile *file, int fd, size_t length) {
  if (seam_fails(TEST_SEAM_MAP_MMAP)) return nullptr;
  int protection = PROT_READ | ((file->mode & SPANWICK_MODE_WRITE) ? PROT_WRITE : 0);
  int sharing = (file->mode & SPANWICK_MODE_SHARED) ? MAP_SHARED : MAP_PRIVATE;
  void *base = mmap(nullptr, length, protection, sharing, fd, 0);
  return base == MAP_FAILED ? nullptr : base;
}

}  // namespace

extern "C" {

mmap_handle_t mmap_create_handle(void) {
  MappedFile *file = static_cast<MappedFile *>(vel_malloc(sizeof(MappedFile)));
  if (file == nullptr) return nullptr;
  file->mode = SPANWICK_MODE_SHARED_READ_WRITE;
  file->base = nullptr;
  file->length = 0;
  return file;
}

int mmap_set_mode(mmap_handle_t handle, int mode) {
  if (handle == nullptr || (mode & ~kKnownModeBits) != 0 || !(mode & SPANWICK_MODE_READ)) {
    errno = EINVAL;
    return -1;
  }
  static_cast<MappedFile *>(handle)->mode = mode;
  return 0;
}

int mmap_open_descriptor(mmap_handle_t handle, int fd) {
  MappedFile *file = static_cast<MappedFile *>(handle);
  if (file == nullptr || fd < 0) {
    errno = EINVAL;
    return -1;
  }
  if (file->base != nullptr) {
    errno = EBUSY;
    return -1;
  }
  int64_t size = mappable_size(fd);
  void *base = size > 0 ? map_whole_file(file, fd, static_cast<size_t>(size)) : nullptr;
  if (base == nullptr) return -1;
  file->base = base;
  file->length = static_cast<size_t>(size);
  return 0;
}

void *mmap_get_base_address(mmap_handle_t handle) {
  return handle == nullptr ? nullptr : static_cast<MappedFile *>(handle)->base;
}

size_t mmap_get_length(mmap_handle_t handle) {
  return handle == nullptr ? 0 : static_cast<MappedFile *>(handle)->length;
}

void mmap_destroy_handle(mmap_handle_t handle) {
  if (handle == nullptr) return;
  MappedFile *file = static_cast<MappedFile *>(handle);
  if (file->base != nullptr) munmap(file->base, file->length);
  vel_free(file);
}

}  // extern "C"
