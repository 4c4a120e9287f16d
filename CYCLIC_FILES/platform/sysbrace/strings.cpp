// sysbrace texts: copies and comparisons of NUL-terminated byte strings, and
// the file existence test.
#include "rotolog/platform/sysbrace.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "system_call.h"

extern "C" {

char *os_strdup(const char *text) {
  if (text == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  size_t length = std::strlen(text);
  // The allocation seam reaches copies too.
  if (platform_call::allocation_fails()) return nullptr;
  char *copy = static_cast<char *>(std::malloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

void os_strdup_free(char *copy) { std::free(copy); }

int os_strcmp(const char *searched, const char *stored) { return std::strcmp(searched, stored); }

// Folds ASCII letters only, whatever the locale: lock names and keys are
// byte strings, not text in a language.
int os_stricmp(const char *searched, const char *stored) {
  const unsigned char *a = reinterpret_cast<const unsigned char *>(searched);
  const unsigned char *b = reinterpret_cast<const unsigned char *>(stored);
  for (;; ++a, ++b) {
    int ca = (*a >= 'A' && *a <= 'Z') ? *a + ('a' - 'A') : *a;
    int cb = (*b >= 'A' && *b <= 'Z') ? *b + ('a' - 'A') : *b;
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
}

int os_is_file_exist(const char *path) {
  struct stat info;
  return (path != nullptr && stat(path, &info) == 0) ? 1 : 0;
}

}  // extern "C"
