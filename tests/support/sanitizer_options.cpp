// ThreadSanitizer's settings, built into every test program.
//
// The lock registry holds every lock it ever handed out across a fork, and a
// test that opens many files before it forks makes one thread hold more
// locks at once than ThreadSanitizer's lock-order checker can track (64); it
// then stops the program. The library takes the registry's locks one way
// only (see named_lock_table.h), so the checker is switched off; the race
// checks stay on.
#if defined(__SANITIZE_THREAD__)
extern "C" const char *__tsan_default_options();
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_options() {
  return "detect_deadlocks=0";
}
#endif
