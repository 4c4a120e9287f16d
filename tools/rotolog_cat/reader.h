// rotolog-cat: reading the files named on the command line, once or
// following them as processes append to them, and the cursor that lets a
// restarted follower go on where it stopped.
#ifndef ROTOLOG_CAT_READER_H
#define ROTOLOG_CAT_READER_H

#include <cstdint>
#include <string>
#include <vector>

#include "message_formats.h"
#include "opening.h"
#include "rotolog/cyclic_file_handle.h"

// The tool's exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitUnreadable = 1;  // a file cannot be read, or the output failed
constexpr int kExitUsage = 2;
constexpr int kExitDamaged = 3;  // --verify: the header disagrees with the records

struct ReadRequest {
  std::vector<const char *> paths;
  bool follow = false;
  bool retry = false;  // wait for a file that is missing or cannot be read yet
  long lines = -1;     // only the newest this many of those in a file; -1: all
  bool after_given = false;
  uint64_t after = 0;                 // only messages numbered above this (--after-seq)
  const char *cursor_file = nullptr;  // where the last number printed is kept
};

// Prints the messages of every file of the request, each file's oldest
// first; when following, then every message appended to any of them, until
// SIGINT or SIGTERM or until the output is closed. Returns the exit status:
// 0, or 1 when a file cannot be read (the others are still printed) or the
// output failed.
int read_files(const ReadRequest &request, MessagePrinter *printer);

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

// The cursor file: the number of the last message printed, in decimal, and a
// newline. Reads it into *number: 1 when read, 0 when there is no such file,
// -1 (with *problem) when it holds anything else or cannot be read.
int read_cursor(const char *path, uint64_t *number, std::string *problem);

#endif
