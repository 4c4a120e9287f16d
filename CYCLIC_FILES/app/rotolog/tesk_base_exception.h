/* CTeskBaseException: the exported base class for the exception classes of
 * programs that use rotolog. rotolog itself never creates, throws or catches
 * it; it reports failures by status codes. C++ only. */
#ifndef ROTOLOG_TESK_BASE_EXCEPTION_H
#define ROTOLOG_TESK_BASE_EXCEPTION_H

#ifndef __cplusplus
#error "tesk_base_exception.h declares a C++ class; include it from C++ only"
#endif

#include "rotolog/export.h"

/* An abstract class with no data: a derived class supplies GetDescription.
 * Its virtual table and type information are exported from librotolog.so, so
 * derived classes in other modules bind to them and an object thrown in one
 * module is caught by a CTeskBaseException reference in another. Objects live
 * on the ordinary free store (new/delete), not the library's allocator.
 * Thread safety: the class holds no state; each object is the caller's. */
class ROTOLOG_API CTeskBaseException {
 public:
  CTeskBaseException();
  /* There is no state to copy; the copy gets this class's virtual table. */
  CTeskBaseException(const CTeskBaseException &other);
  /* Virtual, so deleting through a CTeskBaseException pointer runs the
   * derived destructor first. */
  virtual ~CTeskBaseException();

  /* Copies nothing and leaves this object's dynamic type unchanged; returns
   * this object. */
  CTeskBaseException &operator=(const CTeskBaseException &other);

  /* The derived class's GetDescription(), pointer returned unchanged. The
   * text belongs to the derived class and lives as long as it says. */
  char *operator*();

  /* The text that describes the exception; supplied by the derived class. */
  virtual char *GetDescription() = 0;
};

#endif
