// sysbrace in-process critical sections: an adaptive pthread mutex, which
// spins a while before it sleeps, as the counterpart of a spin count.
#include "rotolog/platform/sysbrace.h"

#include <sys/syscall.h>
#include <unistd.h>

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

// glibc stores the holder's thread id in the mutex once it has the lock and
// clears it before it lets go, for every type the sections use (adaptive and
// plain; a plain mutex that the elision tunable turns into a transaction
// records none, and then the answer is 0). A thread's id gets there only
// from that thread, and leaves before its unlock, so the unguarded read
// cannot mistake another thread's holding, or a past one, for the caller's.
int os_critical_section_is_held_by_caller(os_critical_section_t *section) {
#if defined(__GLIBC__)
  const int owner = __atomic_load_n(&section->mutex.__data.__owner, __ATOMIC_RELAXED);
  return owner != 0 && owner == static_cast<int>(syscall(SYS_gettid)) ? 1 : 0;
#else
  (void)section;
  return 0;
#endif
}

}  // extern "C"
