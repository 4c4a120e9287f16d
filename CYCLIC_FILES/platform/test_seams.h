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

#ifdef __cplusplus
}
#endif

#endif
