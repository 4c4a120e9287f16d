// rotolog-cat: opening a cyclic file for reading, and saying why a file
// would not open in words an operator can act on.
#ifndef ROTOLOG_CAT_OPENING_H
#define ROTOLOG_CAT_OPENING_H

#include <string>

// Opens path for reading only; the file must exist (the tool never creates
// one). Null when it cannot be opened, with *status set and *error the errno
// the library left.
void *open_for_reading(const char *path, int *status, int *error);

// What follows "rotolog-cat: PATH: " when path would not open: the library's
// text for status, then the cause, found from what the tool can check itself
// (the path, the file's type, names, owner and mode, its directory, its
// header decoded by the library's codec against its size), else the
// system's words for error. The cause is left out where it would only say
// the status's text again.
std::string open_failure(const char *path, int status, int error);

#endif
