// Seams aimed at one file: the calls of a file service are shared by the
// data file, its temporary and its lock file, and a test often means to fail
// only those on one of them.
#ifndef ROTOLOG_TESTS_SUPPORT_SEAMS_H
#define ROTOLOG_TESTS_SUPPORT_SEAMS_H

#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "rotolog/platform/test_seams.h"

namespace test_support {

// The file a call of a file service works on: the path it names, or the
// file its descriptor is open on; empty for calls of other seams.
inline std::string file_of_call(const test_seam_call_t *call) {
  switch (call->seam) {
    case TEST_SEAM_FILE_CREATE:
    case TEST_SEAM_FILE_OPEN:
    case TEST_SEAM_FILE_DELETE:
    case TEST_SEAM_FILE_PUBLISH:
      return call->object != nullptr ? static_cast<const char *>(call->object) : "";
    case TEST_SEAM_FILE_WRITE:
    case TEST_SEAM_FILE_RESERVE:
    case TEST_SEAM_FILE_SYNC:
    case TEST_SEAM_FILE_LOCK: {
      if (call->result < 0) return "";
      char target[PATH_MAX];
      const std::string link = "/proc/self/fd/" + std::to_string(call->result);
      ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
      return length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
    }
    default:
      return "";
  }
}

// While it lives, the nth call of `seam` on a file whose path ends with
// `suffix` (1: the next one) fails with `error`; calls on other files go on.
// Counts the calls on that file. Installs the seam's hook, so one at a time
// per seam.
class FailOnFile {
 public:
  FailOnFile(test_seam seam, std::string suffix, int error, long nth = 1)
      : seam_(seam), suffix_(std::move(suffix)), error_(error), nth_(nth) {
    test_seam_set_hook(seam_, &FailOnFile::hook, this);
  }
  ~FailOnFile() { test_seam_set_hook(seam_, nullptr, nullptr); }
  FailOnFile(const FailOnFile &) = delete;
  FailOnFile &operator=(const FailOnFile &) = delete;

  long calls() const { return calls_.load(); }

 private:
  static int hook(const test_seam_call_t *call, void *context) {
    auto *self = static_cast<FailOnFile *>(context);
    const std::string file = file_of_call(call);
    if (file.size() < self->suffix_.size() ||
        file.compare(file.size() - self->suffix_.size(), std::string::npos, self->suffix_) != 0)
      return TEST_SEAM_PROCEED;
    return self->calls_.fetch_add(1) + 1 == self->nth_ ? self->error_ : TEST_SEAM_PROCEED;
  }

  test_seam seam_;
  std::string suffix_;
  int error_;
  long nth_;
  std::atomic<long> calls_{0};
};

}  // namespace test_support

#endif
