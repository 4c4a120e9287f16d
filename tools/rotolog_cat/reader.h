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
#include "rotolog/cyclic_file.h"
#include "selection.h"

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
  uint64_t after = 0;                    // only messages numbered above this (--after-seq)
  const char *cursor_file = nullptr;     // where the last number read is kept
  const Selection *selection = nullptr;  // which messages are printed (null: all)
};

// Prints the messages of every file of the request, oldest first, those of
// several files merged by the time of their entries; when following, then
// every message appended to any of them, until SIGINT or SIGTERM or until
// the output is closed. Returns the exit status: 0, or 1 when a file cannot
// be read (the others are still printed) or the output failed.
int read_files(const ReadRequest &request, MessagePrinter *printer);

// The cursor file: the number of the last message printed, in decimal, and a
// newline. Reads it into *number: 1 when read, 0 when there is no such file,
// -1 (with *problem) when it holds anything else or cannot be read.
int read_cursor(const char *path, uint64_t *number, std::string *problem);

#endif
