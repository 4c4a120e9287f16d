/* vandrel: the allocator every block of rotolog comes from, and named
 * interprocess critical sections shared by all processes of the machine.
 * All functions are safe to call from several threads at once. */
#ifndef ROTOLOG_PLATFORM_VANDREL_H
#define ROTOLOG_PLATFORM_VANDREL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VANDREL_API __attribute__((visibility("default")))

/* Memory. Blocks are aligned for any object; null means memory is exhausted.
 * vel_realloc(NULL, n) behaves as vel_malloc(n); vel_free(NULL) does nothing. */
VANDREL_API void *vel_malloc(size_t size);
VANDREL_API void *vel_calloc(size_t count, size_t size);
VANDREL_API void *vel_realloc(void *block, size_t size);
VANDREL_API void vel_free(void *block);

/* Interprocess critical sections. The same name in any process of the machine
 * gives a lock on one shared object. init returns an opaque handle, or null
 * on failure; enter, leave and destroy accept null and then do nothing
 * (enter returns VANDREL_LOCK_FAILED for it). */
typedef void *vandrel_lock_t;

/* Results of enter_interprocess_critical_section. */
#define VANDREL_LOCK_TAKEN 0       /* the caller holds the lock */
#define VANDREL_LOCK_OWNER_DIED 1  /* the caller holds the lock; the previous holder died holding it */
#define VANDREL_LOCK_FAILED (-1)   /* the lock is not held (null handle or unusable lock) */

VANDREL_API vandrel_lock_t init_interprocess_critical_section(const char *name);

/* Returns once the caller holds the lock. After VANDREL_LOCK_OWNER_DIED the
 * state the lock protects may be half-updated: the caller checks it, then
 * calls mark_interprocess_critical_section_consistent. A leave without that
 * call marks it consistent itself, so the lock is never left unusable. */
VANDREL_API int enter_interprocess_critical_section(vandrel_lock_t lock);
VANDREL_API void mark_interprocess_critical_section_consistent(vandrel_lock_t lock);
VANDREL_API void leave_interprocess_critical_section(vandrel_lock_t lock);

/* Releases this handle; other handles of the same name keep working. */
VANDREL_API void destroy_interprocess_critical_section(vandrel_lock_t lock);

#ifdef __cplusplus
}
#endif

#endif
