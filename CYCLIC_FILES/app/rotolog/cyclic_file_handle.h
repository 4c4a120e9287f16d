// CCyclicFile: the ring of CCyclicBuffer laid into a memory-mapped file
// behind an encoded header. The ring's storage is the mapping; the ring's
// fields are only a cache of the header, refreshed under both locks before
// every write and read.
#ifndef ROTOLOG_CYCLIC_FILE_HANDLE_H
#define ROTOLOG_CYCLIC_FILE_HANDLE_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "cyclic_buffer_ring.h"
#include "platform/spanwick.h"
#include "platform/sysbrace.h"
#include "platform/vandrel.h"

struct cyclic_file_header_t;

// Room for the header at the start of a file: every store and reload works
// on at most this many bytes.
constexpr int kCyclicFileHeaderRoom = 60;
constexpr std::size_t kLockNameSize = 512;

class CCyclicFile : public CCyclicBuffer {
 public:
  CCyclicFile(const char *file_name, int32_t mode, int32_t buffer_size);

  static void *operator new(std::size_t, void *place) noexcept { return place; }

  int load();
  void release();

  int write(const char *data, int32_t length);
  // The format comes from the caller, as for vsnprintf.
  int vfwritef(const char *format, va_list args) __attribute__((format(printf, 2, 0)));
  int read_all(char **buffer, int32_t *length);
  int flush_view();

  // Read-only walk for tools that need message boundaries (cyclic_file_walk.cpp).
  // Calls visit(data, length, context) for each message, oldest first, under
  // both locks; data is valid only during the call. A nonzero result from
  // visit stops the walk. Returns the number of messages visited,
  // CYCLIC_FILE_PERMISSION_DENIED (no CYCLIC_FILE_MODE_READ) or
  // CYCLIC_FILE_READ_ALL_FAILED (damaged file, missing lock). Consumes
  // nothing and stores no header; on return the ring fields hold the state
  // the walk read (count and positions as in the header).
  using MessageVisitor = int (*)(const char *data, int32_t length, void *context);
  int for_each_message(MessageVisitor visit, void *context);

  void capture_header(cyclic_file_header_t *record) const;
  void apply_header(const cyclic_file_header_t *record);

  static void sanitize_lock_name(char *text);

  // Fields added to the ring's ten, in this order.
  char *file_name;
  int32_t mode;
  char *map_base;
  mmap_handle_t mapping;
  cyclic_file_header_t *header;
  int32_t header_length;
  char lock_name[kLockNameSize];
  vandrel_lock_t interprocess_lock;
  os_critical_section_t *process_lock;
  // Bytes mapped; a header must describe exactly this many.
  std::size_t mapped_length;
  // The name could not be copied: load reports exhausted memory.
  bool name_copy_failed;

 private:
  int map_file(int fd);
  void unmap();
  int create_file(const char *path);
  void delete_file(const char *path);
  int reload_header();
  int store_header();
  bool header_fits_mapping(const cyclic_file_header_t &record) const;
  void build_lock_name(const char *name);
  int obtain_locks(const char *path, const os_file_facts_t &facts);
  int store_interim_header(const char *data, int32_t length);
  void repair_after_dead_holder();
  bool enter_locks();
  void leave_locks();
};

#endif
