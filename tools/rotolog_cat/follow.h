// rotolog-cat: opening a cyclic file for reading, and following it as
// processes append to it (--follow).
#ifndef ROTOLOG_CAT_FOLLOW_H
#define ROTOLOG_CAT_FOLLOW_H

#include <string>

#include "message_formats.h"
#include "opening.h"
#include "rotolog/cyclic_file_handle.h"

using rotolog::detail::CCyclicFile;

// The tool's exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitUnreadable = 1;  // the file cannot be read, or the output failed
constexpr int kExitUsage = 2;
constexpr int kExitDamaged = 3;  // --verify: the header disagrees with the records

// Copies as CCyclicFile::copy_newest does, with the job-control stops
// (SIGTSTP, SIGTTIN, SIGTTOU) held back meanwhile: a copy takes no lock,
// and a Ctrl-Z in the middle of one would only make it start again.
int copy_unstopped(CCyclicFile *file, int32_t newest, CCyclicFile::MessageCopy *copy,
                   const uint64_t *above = nullptr);

// The number of message `index` of a copy among all the file's messages ever
// appended: the newest is number copy.appended. 0 when the file keeps no
// count, or for a message older than the count (written before the lock
// file counted).
uint64_t message_number(const CCyclicFile::MessageCopy &copy, int32_t index);

// Prints the newest `lines` messages of the file (all when negative), then
// every message appended to it, until SIGINT or SIGTERM. Returns the exit
// status: 0 when interrupted or when the output was closed, 1 when the file
// cannot be read or the output failed otherwise.
int follow_file(const char *path, long lines, MessagePrinter *printer);

#endif
