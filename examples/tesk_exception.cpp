// rotolog example: an exception class of the program's own, derived from the
// exported CTeskBaseException, thrown and caught through the base class.
#include <rotolog/tesk_base_exception.h>

#include <cstdio>
#include <string>

class CFileRotationException : public CTeskBaseException {
 public:
  explicit CFileRotationException(const std::string &path)
      : description_("cannot rotate " + path) {}
  // The text stays owned by the exception and lives as long as it does.
  char *GetDescription() override { return &description_[0]; }

 private:
  std::string description_;
};

static void rotate(const std::string &path) { throw CFileRotationException(path); }

int main() {
  try {
    rotate("/var/log/service.cyclic");
  } catch (CTeskBaseException &error) {
    // operator* reaches the derived GetDescription through the virtual table.
    std::printf("caught: %s\n", *error);
  }
  // The destructor is virtual: deleting through the base runs the derived one.
  CTeskBaseException *owned = new CFileRotationException("archive.cyclic");
  std::printf("owned: %s\n", **owned);
  delete owned;
  return 0;
}
