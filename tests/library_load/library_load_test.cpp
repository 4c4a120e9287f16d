// Loading and unloading librotolog.so: the named lock registry is built at
// load, before any exported function runs, and freed at unload.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include "rotolog/platform/test_seams.h"

// Present only in sanitizer builds: checks for leaks now, without exiting.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace {

using error_string_function = const char *(*)(int);

void load_call_and_unload() {
  const long allocations_before = test_seam_calls(TEST_SEAM_ALLOCATION);
  void *library = dlopen(ROTOLOG_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  // The registry's table record, bucket array and guard come from vandrel
  // while the library loads.
  EXPECT_GE(test_seam_calls(TEST_SEAM_ALLOCATION) - allocations_before, 3);

  auto error_string =
      reinterpret_cast<error_string_function>(dlsym(library, "cyclic_buffer_get_error_string"));
  ASSERT_NE(error_string, nullptr) << dlerror();
  EXPECT_STREQ(error_string(12345), "Unknown");

  ASSERT_EQ(dlclose(library), 0) << dlerror();
  // Really unloaded, so its exit list has run.
  void *still_loaded = dlopen(ROTOLOG_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(still_loaded, nullptr);
  if (still_loaded != nullptr) dlclose(still_loaded);
}

}  // namespace

TEST(LibraryLoad, LoadBuildsTheRegistryAndUnloadFreesEverything) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    load_call_and_unload();
    if (HasFatalFailure()) return;
  }
  if (__lsan_do_recoverable_leak_check != nullptr) {
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "blocks of the unloaded library leaked";
  }
}
