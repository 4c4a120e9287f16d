// CCyclicFile's opening: construction, load (the checks, the data file,
// creating it, mapping it, its header, the two locks, the mend), and release.
//
// The open protocol
// -----------------
// load() takes these steps in this order, and a handle is handed out only
// when all of them succeeded (a failure undoes what the steps before it made,
// and keeps the errno of the platform call that failed: platform_failure):
//   1. The checks: the name was copied, the handle is not loaded yet. A
//      writer, or a reader with CYCLIC_FILE_MODE_MUST_EXIST, needs the file
//      to exist or to be made; a plain reader of a missing file gets
//      CYCLIC_FILE_MAP_FAILED rather than CYCLIC_FILE_NOT_FOUND.
//   2. The identity: the name resolved once to its canonical path
//      (os_file_lock_identity); every later step works on that path, so a
//      name swapped for a symlink meanwhile is never followed, and handles
//      that name one file differently share its locks.
//   3. The data file, made when a writer finds none (and the mode does not
//      say it must exist): a ring of at least one record of one byte; the
//      header of the empty ring written to a temporary beside it, the ring's
//      blocks reserved and synced, the locks taken (step 6), then the
//      temporary published under the name only if no file has it yet; a
//      creator that loses that race opens the winner's file. A temporary
//      that a killed creator left is removed first.
//   4. The open: a regular nonempty file with one name, opened without
//      following a symlink anywhere on the path, read-write; a reader that
//      may not write it opens it read-only and maps it so. A writer reserves
//      the file's blocks, so that a full disk fails here with ENOSPC rather
//      than with SIGBUS at its first store. The whole file is mapped and the
//      descriptor closed (the mapping keeps the file).
//   5. The header: decoded from the mapping and checked by the one header
//      check (it describes exactly the mapping's ring); what is not a cyclic
//      file fails with CYCLIC_FILE_LOAD_ERROR and gets no lock file.
//   6. The locks: the lock file "<path>-lock" beside the data file, so under
//      its directory's protection, opened (or made by the data file's owner)
//      as vandrel_guarded_file says, and the in-process lock "mutex_<path>"
//      of the named lock registry. A reader opens the lock file read-only
//      when it may, for the counts writers publish; without one its reads are
//      not numbered.
//   7. The mend: a writer brings a header that disagrees with its records
//      (a crashed machine, a copy, a restore) back to them, and the count of
//      appended messages past the file's entries, before its first write
//      (cyclic_file_repair.cpp). Readers mend nothing in the file.
//
// Shared directories. In a sticky directory that others may write, the data
// file, the lock file and a symlink on the way to them are used only when
// they belong to the caller or to the directory's owner (fs.protected_regular
// and fs.protected_symlinks, whatever the machine's settings); a file with a
// second name is refused (EMLINK), as it would get a second lock. Refusals
// report CYCLIC_FILE_PERMISSION_DENIED.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_handle.h"
#include "rotolog/cyclic_file_header_codec.h"
#include "rotolog/named_lock_table.h"

namespace rotolog::detail {

namespace {

constexpr int kMapModeSharedRead = SPANWICK_MODE_READ | SPANWICK_MODE_SHARED;
constexpr char kLockNamePrefix[] = "mutex_";
// The interprocess lock of a cyclic file is the file of this name beside it.
constexpr char kLockFileSuffix[] = "-lock";
constexpr std::size_t kPathRoom = PATH_MAX;

// 64-bit FNV-1a: tells apart two long names that share the part of them that
// fits in a lock name.
uint64_t name_hash(const char *text) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
    hash = (hash ^ *p) * 1099511628211ull;
  }
  return hash;
}

// Writes prefix + name into out (out_size bytes). A name too long to fit is
// kept whole up to the room left and ends in a hash of the whole name.
void format_lock_name(char *out, std::size_t out_size, const char *name) {
  int needed = std::snprintf(out, out_size, "%s%s", kLockNamePrefix, name);
  if (needed >= 0 && static_cast<std::size_t>(needed) < out_size) return;
  char suffix[20];
  std::snprintf(suffix, sizeof suffix, "#%016llx",
                static_cast<unsigned long long>(name_hash(name)));
  std::size_t keep = out_size - 1 - std::strlen(suffix);
  std::memcpy(out + keep, suffix, std::strlen(suffix) + 1);
}

// The status of a file name that could not be resolved to a canonical path.
int resolve_failure_status(int error, bool must_exist) {
  if (error == EACCES) return CYCLIC_FILE_PERMISSION_DENIED;  // a symlink refused
  if (error == ENOMEM) return CYCLIC_FILE_NO_MEMORY;
  return must_exist ? CYCLIC_FILE_NOT_FOUND : CYCLIC_FILE_MAP_FAILED;
}

// The status of a data file that could not be opened.
int open_failure_status(int error, bool must_exist) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
      return must_exist ? CYCLIC_FILE_NOT_FOUND : CYCLIC_FILE_MAP_FAILED;
    case EACCES:  // no permission, or another user's file in a shared directory
    case EPERM:
    case EMLINK:  // more than one hard link
    case ELOOP:   // a symlink put on the path since it was resolved
      return CYCLIC_FILE_PERMISSION_DENIED;
    case ENOMEM:
      return CYCLIC_FILE_NO_MEMORY;
    default:  // not a regular file, empty, or an I/O error
      return CYCLIC_FILE_MAP_FAILED;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

CCyclicFile::CCyclicFile(const char *name, int32_t mode_flags, int32_t size) {
  clear();
  file_name = name != nullptr ? os_strdup(name) : nullptr;
  name_copy_failed = name != nullptr && file_name == nullptr;
  buffer_size = size;
  mode = mode_flags;
  map_base = nullptr;
  mapping = nullptr;
  header = allocate_cyclic_file_header();
  header_length = 0;
  interprocess_lock = nullptr;
  published = nullptr;
  process_lock = nullptr;
  spare_copy_block = nullptr;
  spare_message_copy = nullptr;
  copy_first = false;
  mapped_length = 0;
  ring_size = 0;
  read_only_mapping = false;
  last_errno = 0;
}

// ---------------------------------------------------------------------------
// Load: the steps of the open protocol

// The steps are numbered as the protocol at the top of this file states them.
int CCyclicFile::load() {
  // 1. The checks.
  if (name_copy_failed) return CYCLIC_FILE_NO_MEMORY;
  if (file_name == nullptr || map_base != nullptr) return CYCLIC_FILE_LOAD_ERROR;
  if (header == nullptr) return CYCLIC_FILE_NO_MEMORY;
  const bool must_exist = (mode & (CYCLIC_FILE_MODE_WRITE | CYCLIC_FILE_MODE_MUST_EXIST)) != 0;

  last_errno = 0;
  // 2. The identity.
  char path[kPathRoom];
  if (os_file_lock_identity(file_name, path, sizeof path) != 0)
    return platform_failure(resolve_failure_status(errno, must_exist));
  // 3. The data file, made when a writer finds none.
  if ((mode & CYCLIC_FILE_MODE_WRITE) && os_is_file_exist(path) != 1) {
    // A file that must exist is never made, whatever else the mode asks.
    if (mode & CYCLIC_FILE_MODE_MUST_EXIST) {
      errno = ENOENT;
      return platform_failure(CYCLIC_FILE_NOT_FOUND);
    }
    // The smallest ring that holds a message: its length field and a byte.
    if (buffer_size < record_bytes(1)) return CYCLIC_FILE_INVALID_BUFFER_SIZE;
    int created = create_file(path);
    if (created != CYCLIC_FILE_OK) return created;
  }
  // 4. The open and the mapping.
  os_file_facts_t facts;
  int fd = os_file_open_existing(path, 1, &facts);
  if (fd < 0 && (errno == EACCES || errno == EROFS) && !(mode & CYCLIC_FILE_MODE_WRITE)) {
    // A reader that may read the file but not write it: a read-only mapping,
    // read without the lock (it may not be able to take it either).
    fd = os_file_open_existing(path, 0, &facts);
    read_only_mapping = fd >= 0;
  }
  if (fd < 0) return platform_failure(open_failure_status(errno, must_exist));
  // A writer stores through the mapping: the file's blocks are reserved
  // first, so that a file with holes on a full disk is refused with ENOSPC
  // here rather than killing the writer with SIGBUS at its first store.
  if ((mode & CYCLIC_FILE_MODE_WRITE) && !read_only_mapping &&
      os_file_reserve_in_place(fd, facts.size) != 0) {
    const int status = platform_failure(CYCLIC_FILE_MAP_FAILED);
    os_file_close(fd);
    return status;
  }
  int result = map_file(fd);
  os_file_close(fd);  // the mapping keeps the file
  // 5. The header. A file this load created is read back like any other: its header is
  // checked against the mapping the same way. What is not a cyclic file
  // gets no lock file.
  if (result == CYCLIC_FILE_OK) result = reload_header();
  if (result == CYCLIC_FILE_OK) ring_size = buffer_size;
  // 6. The locks (a file this load created has them already).
  if (result == CYCLIC_FILE_OK && interprocess_lock == nullptr) result = obtain_locks(path, facts);
  // 7. The mend. Readers mend nothing in the file: a writer mends what it finds damaged
  // (a crash of the machine, a copy, a restore) before its first write.
  if (result == CYCLIC_FILE_OK && (mode & CYCLIC_FILE_MODE_WRITE)) mend();
  if (result != CYCLIC_FILE_OK) unmap();
  return result;
}

void CCyclicFile::delete_file(const char *path) { os_file_delete(path); }

// Keeps the errno of the platform call that just failed, so that the cleanup
// that follows (closing, unmapping, freeing) cannot lose it.
int CCyclicFile::platform_failure(int status) {
  last_errno = errno;
  return status;
}

// ---------------------------------------------------------------------------
// Step 3: the data file made

// Lays out a new file: the header of an empty ring, then the ring's bytes,
// reserved on disk so that a full disk fails here rather than later. The file
// is built under a temporary name and published whole, so that no process
// ever maps a file whose header is not written yet, and a process that loses
// the race to create it simply opens the winner's. The locks are taken
// before it is published: a file whose lock cannot be had is not created.
int CCyclicFile::create_file(const char *path) {
  cyclic_file_header_t record;
  record.init();
  capture_header(&record);
  char encoded[CYCLIC_FILE_HEADER_MAX_LENGTH];
  int encoded_length = xdr_encode_cyclic_file_header_t(&record, encoded, sizeof encoded);
  if (encoded_length < 0) return CYCLIC_FILE_NOT_FOUND;
  const uint64_t file_size =
      static_cast<uint64_t>(encoded_length) + static_cast<uint64_t>(buffer_size);
  // Past the process's file size limit a write raises SIGXFSZ: refused
  // before anything is made.
  if (os_file_size_allowed(file_size) != 0) return platform_failure(CYCLIC_FILE_NOT_FOUND);

  // A creator killed half-way left its temporary behind, a file as large as
  // the ring: it goes now.
  os_file_remove_stale_temporaries(path);
  std::size_t temporary_size = std::strlen(path) + 48;
  char *temporary = static_cast<char *>(vel_malloc(temporary_size));
  if (temporary == nullptr) return CYCLIC_FILE_NO_MEMORY;
  int fd = os_file_create_temporary(path, temporary, temporary_size);
  if (fd < 0) {
    const int status = platform_failure(CYCLIC_FILE_NOT_FOUND);
    vel_free(temporary);
    return status;
  }

  os_file_facts_t facts;
  bool written = os_file_write_at(fd, encoded, static_cast<std::size_t>(encoded_length), 0) == 0 &&
                 os_file_reserve(fd, file_size) == 0 && os_file_sync(fd) == 0 &&
                 os_file_describe(fd, &facts) == 0;
  int result = written ? obtain_locks(path, facts) : platform_failure(CYCLIC_FILE_NOT_FOUND);
  bool made_public = false;
  if (result == CYCLIC_FILE_OK) {
    made_public = os_file_publish(temporary, path) == 0;
    // EEXIST: another process created the file first; load opens theirs.
    if (!made_public && errno != EEXIST) result = platform_failure(CYCLIC_FILE_NOT_FOUND);
  }
  os_file_close(fd);
  if (!made_public) delete_file(temporary);
  vel_free(temporary);
  return result;
}

// ---------------------------------------------------------------------------
// Step 4: the mapping

// Shared and writable, as every writer and reader needs; read-only for a
// reader that may read the file but not write it (fd was opened so).
int CCyclicFile::map_file(int fd) {
  mapping = mmap_create_handle();
  if (mapping == nullptr) return platform_failure(CYCLIC_FILE_MAP_FAILED);
  mmap_set_mode(mapping, read_only_mapping ? kMapModeSharedRead : SPANWICK_MODE_SHARED_READ_WRITE);
  if (mmap_open_descriptor(mapping, fd) != 0) {
    const int status = platform_failure(CYCLIC_FILE_MAP_FAILED);
    mmap_destroy_handle(mapping);
    mapping = nullptr;
    return status;
  }
  map_base = static_cast<char *>(mmap_get_base_address(mapping));
  mapped_length = mmap_get_length(mapping);
  return CYCLIC_FILE_OK;
}

// ---------------------------------------------------------------------------
// Step 6: the locks

// Both locks are keyed on the file's canonical path, so that handles naming
// one file differently (relative, through symlinks) still exclude each
// other: the interprocess lock is the lock file "<path>-lock" beside the
// file, in its directory and so under its directory's protection, and the
// in-process lock is found under "mutex_<path>". facts describe the data
// file: who may write it may use the lock.
//
// A handle that may only read the file opens the lock file read-only, when
// there is one it may read, for the state its writers publish; without it
// (a lock file of an older version, or none) its reads are not numbered.
int CCyclicFile::obtain_locks(const char *path, const os_file_facts_t &facts) {
  char lock_file[kPathRoom + sizeof kLockFileSuffix];
  std::snprintf(lock_file, sizeof lock_file, "%s%s", path, kLockFileSuffix);
  vandrel_guarded_file guarded;
  guarded.mode = facts.mode;
  guarded.owner = facts.owner;
  guarded.group = facts.group;
  if (read_only_mapping) {
    interprocess_lock = init_interprocess_critical_section_reader(lock_file, &guarded);
    published = interprocess_critical_section_shared_words(interprocess_lock);
    return CYCLIC_FILE_OK;
  }
  interprocess_lock = init_interprocess_critical_section(lock_file, &guarded);
  if (interprocess_lock == nullptr)
    return platform_failure(errno == ENOMEM ? CYCLIC_FILE_NO_MEMORY
                                            : CYCLIC_FILE_PERMISSION_DENIED);
  published = interprocess_critical_section_shared_words(interprocess_lock);
  char key[kPathRoom + sizeof kLockNamePrefix + 20];
  format_lock_name(key, sizeof key, path);
  CNamedLockTable *registry = named_lock_registry();
  process_lock = registry != nullptr ? registry->GetLock(key) : nullptr;
  return process_lock != nullptr ? CYCLIC_FILE_OK : CYCLIC_FILE_NO_MEMORY;
}

// ---------------------------------------------------------------------------
// Release

void CCyclicFile::release() {
  unmap();
  // vel_free and os_strdup_free take null.
  vel_free(spare_copy_block);
  spare_copy_block = nullptr;
  if (spare_message_copy != nullptr) {
    release_copy(spare_message_copy);
    vel_free(spare_message_copy);
    spare_message_copy = nullptr;
  }
  vel_free(header);
  header = nullptr;
  os_strdup_free(file_name);
  file_name = nullptr;
  if (interprocess_lock != nullptr) {
    destroy_interprocess_critical_section(interprocess_lock);
    interprocess_lock = nullptr;
    published = nullptr;
  }
  free_scratch();
}

void CCyclicFile::unmap() {
  if (mapping != nullptr) mmap_destroy_handle(mapping);
  mapping = nullptr;
  map_base = nullptr;
  ring_start = nullptr;
  write_pos = nullptr;
  read_pos = nullptr;
  message_count = 0;
  header_length = 0;
  mapped_length = 0;
}

}  // namespace rotolog::detail
