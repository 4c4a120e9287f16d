// The exported exception base class. Its members are defined here, out of
// line, so that the destructor anchors the virtual table and the type
// information in librotolog.so, where every derived class finds them.
#include "rotolog/tesk_base_exception.h"

CTeskBaseException::CTeskBaseException() = default;

CTeskBaseException::CTeskBaseException(const CTeskBaseException &) {}

CTeskBaseException::~CTeskBaseException() = default;

CTeskBaseException &CTeskBaseException::operator=(const CTeskBaseException &) { return *this; }

char *CTeskBaseException::operator*() { return GetDescription(); }
