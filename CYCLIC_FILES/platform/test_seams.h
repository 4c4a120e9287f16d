/* Test-only seams of the platform libraries: make the Nth call of a service
 * fail, so that every failure path of rotolog can be driven from a test.
 * They are exported by the platform libraries, never by librotolog.so. */
#ifndef ROTOLOG_PLATFORM_TEST_SEAMS_H
#define ROTOLOG_PLATFORM_TEST_SEAMS_H

#ifdef __cplusplus
extern "C" {
#endif

#define PLATFORM_SEAM_API __attribute__((visibility("default")))

/* vandrel: the nth allocation from now (1: the next; vel_malloc, vel_calloc
 * and vel_realloc alike) returns null; 0 disarms. */
PLATFORM_SEAM_API void vandrel_test_fail_allocation(long nth);
/* Allocations counted since the library was loaded. */
PLATFORM_SEAM_API long vandrel_test_allocation_count(void);

/* Every seam below makes the nth call from now (1: the next one) of one
 * service fail with error as its errno, without calling the operating
 * system; nth 0 disarms. The *_call_count functions tell how many calls of a
 * service were made since the library was loaded, so that a test can fail
 * each call of an operation in turn. */

/* sysbrace file services; a call is one call of the os_file_ function. */
enum sysbrace_service {
  SYSBRACE_SERVICE_CREATE,  /* os_file_create_new */
  SYSBRACE_SERVICE_WRITE,   /* os_file_write_at */
  SYSBRACE_SERVICE_RESERVE, /* os_file_reserve (posix_fallocate / ftruncate) */
  SYSBRACE_SERVICE_FSYNC,   /* os_file_sync */
  SYSBRACE_SERVICE_MSYNC,   /* os_flush_view (which then returns 0) */
  SYSBRACE_SERVICE_UNLINK,  /* os_file_delete */
  SYSBRACE_SERVICE_PUBLISH, /* os_file_publish */
  SYSBRACE_SERVICE_OPEN,    /* os_file_open_existing */
  SYSBRACE_SERVICE_COUNT
};
PLATFORM_SEAM_API void sysbrace_test_fail_call(enum sysbrace_service service, long nth, int error);
PLATFORM_SEAM_API long sysbrace_test_call_count(enum sysbrace_service service);

/* spanwick: the steps of mmap_open_ex. */
enum spanwick_service {
  SPANWICK_SERVICE_OPEN,  /* open of the file */
  SPANWICK_SERVICE_FSTAT, /* fstat of the opened file */
  SPANWICK_SERVICE_MMAP,  /* mmap of the whole file */
  SPANWICK_SERVICE_COUNT
};
PLATFORM_SEAM_API void spanwick_test_fail_call(enum spanwick_service service, long nth, int error);
PLATFORM_SEAM_API long spanwick_test_call_count(enum spanwick_service service);

/* vandrel: the steps of init_interprocess_critical_section on the lock
 * file. */
enum vandrel_lock_service {
  VANDREL_LOCK_SERVICE_OPEN,    /* open of an existing lock file */
  VANDREL_LOCK_SERVICE_CREATE,  /* creation of a missing one */
  VANDREL_LOCK_SERVICE_RESERVE, /* reservation of its blocks when it is laid out */
  VANDREL_LOCK_SERVICE_OFD,     /* each OFD lock request (exclusive, shared) */
  VANDREL_LOCK_SERVICE_MMAP,    /* mmap of the lock file */
  VANDREL_LOCK_SERVICE_COUNT
};
PLATFORM_SEAM_API void vandrel_test_fail_lock_call(enum vandrel_lock_service service, long nth,
                                                   int error);
PLATFORM_SEAM_API long vandrel_test_lock_call_count(enum vandrel_lock_service service);

/* The nth successful enter_interprocess_critical_section from now reports
 * VANDREL_LOCK_OWNER_DIED as if the previous holder had died; 0 disarms. */
PLATFORM_SEAM_API void vandrel_test_report_owner_died(long nth);

#ifdef __cplusplus
}
#endif

#endif
