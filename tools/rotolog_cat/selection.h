// rotolog-cat: which messages are printed (--since, --until, --priority,
// --grep), and the texts these options take: times as journalctl takes
// them, levels by name or number, ranges of levels.
#ifndef ROTOLOG_CAT_SELECTION_H
#define ROTOLOG_CAT_SELECTION_H

#include <regex.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The time a --since or --until text names, in nanoseconds since the epoch,
// from `now` (nanoseconds since the epoch): "now", "today", "yesterday",
// "tomorrow" (midnight, local time); "YYYY-MM-DD", "YYYY-MM-DD HH:MM",
// "YYYY-MM-DD HH:MM:SS" with an optional fraction of a second (up to 9
// digits), 'T' instead of the space, and an optional zone ("Z", "UTC",
// "+HH:MM", "+HHMM"; local time without); "HH:MM[:SS]" (today); "@SECONDS"
// since the epoch; or a time relative to now: "-10min", "+5s", "-1h 30min",
// "2 days ago" (units us, ms, s, min, h, d, w, M, y and their long names).
// False, with *problem, for anything else.
bool parse_time(const std::string &text, int64_t now, int64_t *time, std::string *problem);

// A level (a priority of syslog) by name ("emerg", "alert", "crit", "err",
// "warning", "notice", "info", "debug", and the longer names "emergency",
// "critical", "error", "warn") or number (0 to 7); -1 for anything else.
int parse_level(const std::string &text);

// What the messages of one file are checked against. A time or level
// condition keeps only entries (raw messages carry neither); the pattern
// applies to an entry's text and to a raw message's bytes alike.
class Selection {
 public:
  Selection() = default;
  ~Selection();
  Selection(const Selection &) = delete;
  Selection &operator=(const Selection &) = delete;

  // Each returns false, with *problem, for a text it does not take.
  bool set_since(const std::string &text, int64_t now, std::string *problem);
  bool set_until(const std::string &text, int64_t now, std::string *problem);
  // "LEVEL" (that level and the graver ones) or "FROM..TO".
  bool set_priority(const std::string &text, std::string *problem);
  // A POSIX extended regular expression.
  bool set_pattern(const std::string &pattern, bool ignore_case, std::string *problem);

  // Whether any condition is set.
  bool active() const { return has_since_ || has_until_ || has_levels_ || has_pattern_; }
  bool accepts(bool is_entry, int level, int64_t time_ns, const char *data,
               std::size_t length) const;

 private:
  bool has_since_ = false, has_until_ = false, has_levels_ = false, has_pattern_ = false;
  int64_t since_ = 0, until_ = 0;
  int gravest_ = 0, mildest_ = 7;
  regex_t pattern_{};
};

#endif
