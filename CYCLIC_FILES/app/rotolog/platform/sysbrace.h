/* sysbrace: the operating-system helpers rotolog calls: text copies and
 * comparisons, file tests and file services, and in-process critical
 * sections. Every function is safe to call from several threads at once. */
#ifndef ROTOLOG_PLATFORM_SYSBRACE_H
#define ROTOLOG_PLATFORM_SYSBRACE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SYSBRACE_API __attribute__((visibility("default")))

/* Texts. A copy from os_strdup lives until os_strdup_free (which accepts
 * null); os_strdup returns null when memory is exhausted or text is null.
 * The comparisons return 0 for equal texts, non-zero otherwise. */
SYSBRACE_API char *os_strdup(const char *text);
SYSBRACE_API void os_strdup_free(char *copy);
SYSBRACE_API int os_strcmp(const char *searched, const char *stored);
SYSBRACE_API int os_stricmp(const char *searched, const char *stored);

/* 1 when something exists at path (following symlinks), 0 otherwise. */
SYSBRACE_API int os_is_file_exist(const char *path);

/* In-process critical sections: a mutex that spins up to spin_count times
 * before it sleeps (0 for none). init returns 0 or an errno value. */
typedef struct os_critical_section {
  pthread_mutex_t mutex;
} os_critical_section_t;

SYSBRACE_API int os_critical_section_init(os_critical_section_t *section, unsigned spin_count);
SYSBRACE_API void os_critical_section_delete(os_critical_section_t *section);
SYSBRACE_API void os_critical_section_enter(os_critical_section_t *section);
SYSBRACE_API void os_critical_section_leave(os_critical_section_t *section);

#ifdef __cplusplus
}
#endif

#endif
