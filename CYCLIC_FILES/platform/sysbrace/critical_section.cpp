// sysbrace in-process critical sections: an adaptive pthread mutex, which
// spins a while before it sleeps, as the counterpart of a spin count.
#include "rotolog/platform/sysbrace.h"

#include <cerrno>

extern "C" {

int os_critical_section_init(os_critical_section_t *section, unsigned spin_count) {
  pthread_mutexattr_t attributes;
  int error = pthread_mutexattr_init(&attributes);
  if (error == 0) {
    // glibc's adaptive mutex has no settable spin count: any request for
    // spinning selects it, none gives a plain mutex.
    pthread_mutexattr_settype(&attributes,
                              spin_count > 0 ? PTHREAD_MUTEX_ADAPTIVE_NP : PTHREAD_MUTEX_NORMAL);
    error = pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  // The pthread calls return their error: it goes to errno, as elsewhere.
  if (error == 0) return 0;
  errno = error;
  return -1;
}

void os_critical_section_delete(os_critical_section_t *section) {
  pthread_mutex_destroy(&section->mutex);
}

void os_critical_section_enter(os_critical_section_t *section) {
  pthread_mutex_lock(&section->mutex);
}

void os_critical_section_leave(os_critical_section_t *section) {
  pthread_mutex_unlock(&section->mutex);
}

}  // extern "C"
