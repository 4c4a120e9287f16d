// rotolog-cat: the conditions of --since, --until, --priority and --grep,
// and the parsing of the times and levels they take.
#include "selection.h"

#include <time.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int64_t kSecond = 1000000000;
constexpr int64_t kDay = 86400 * kSecond;

const char *const kLevelNames[] = {"emerg",   "alert",  "crit", "err",
                                   "warning", "notice", "info", "debug"};

// Reads exactly `digits` decimal digits at text[*at]; false otherwise.
bool read_digits(const std::string &text, std::size_t *at, int digits, int *value) {
  int result = 0;
  for (int i = 0; i < digits; ++i, ++*at) {
    if (*at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[*at]))) return false;
    result = result * 10 + (text[*at] - '0');
  }
  *value = result;
  return true;
}

// Midnight (local time) of the day `days` from the day of `now`, into
// *midnight; false when that day has no time in nanoseconds since the epoch
// that fits (a `now` given far from today).
bool local_midnight(int64_t now, int days, int64_t *midnight) {
  time_t seconds = static_cast<time_t>(now / kSecond);
  struct tm fields {};
  if (localtime_r(&seconds, &fields) == nullptr) return false;
  fields.tm_mday += days;
  fields.tm_hour = fields.tm_min = fields.tm_sec = 0;
  fields.tm_isdst = -1;
  errno = 0;
  const time_t day = mktime(&fields);
  if (day == static_cast<time_t>(-1) && errno != 0) return false;
  return !__builtin_mul_overflow(static_cast<int64_t>(day), kSecond, midnight);
}

// The nanoseconds of a unit of a relative time, or 0 for no such unit.
int64_t unit_length(const std::string &unit) {
  static const struct {
    const char *name;
    int64_t length;
  } kUnits[] = {
      {"us", 1000},
      {"usec", 1000},
      {"ms", 1000000},
      {"msec", 1000000},
      {"s", kSecond},
      {"sec", kSecond},
      {"second", kSecond},
      {"seconds", kSecond},
      {"m", 60 * kSecond},
      {"min", 60 * kSecond},
      {"minute", 60 * kSecond},
      {"minutes", 60 * kSecond},
      {"h", 3600 * kSecond},
      {"hr", 3600 * kSecond},
      {"hour", 3600 * kSecond},
      {"hours", 3600 * kSecond},
      {"d", kDay},
      {"day", kDay},
      {"days", kDay},
      {"w", 7 * kDay},
      {"week", 7 * kDay},
      {"weeks", 7 * kDay},
      {"M", 2629800 * kSecond},
      {"month", 2629800 * kSecond},
      {"months", 2629800 * kSecond},
      {"y", 31557600 * kSecond},
      {"year", 31557600 * kSecond},
      {"years", 31557600 * kSecond},
  };
  for (const auto &known : kUnits)
    if (unit == known.name) return known.length;
  return 0;
}

// "10min", "1h 30min", "1.5h": the sum of its parts in nanoseconds.
bool parse_span(const std::string &text, int64_t *span) {
  std::size_t at = 0;
  long double total = 0;
  bool any = false;
  while (at < text.size()) {
    while (at < text.size() && text[at] == ' ') ++at;
    if (at == text.size()) break;
    const char *start = text.c_str() + at;
    char *end = nullptr;
    if (!std::isdigit(static_cast<unsigned char>(*start))) return false;
    const long double number = std::strtold(start, &end);
    at += static_cast<std::size_t>(end - start);
    while (at < text.size() && text[at] == ' ') ++at;
    std::size_t unit_end = at;
    while (unit_end < text.size() && std::isalpha(static_cast<unsigned char>(text[unit_end])))
      ++unit_end;
    const int64_t length = unit_end == at ? kSecond : unit_length(text.substr(at, unit_end - at));
    if (length == 0) return false;
    total += number * static_cast<long double>(length);
    at = unit_end;
    any = true;
  }
  if (!any || total > 9.0e18L) return false;
  *span = static_cast<int64_t>(total);
  return true;
}

// "YYYY-MM-DD[( |T)HH:MM[:SS[.fraction]]][zone]" or "HH:MM[:SS[.fraction]]".
bool parse_calendar(const std::string &text, int64_t now, int64_t *time) {
  struct tm fields {};
  std::size_t at = 0;
  int value = 0;
  bool has_date = text.size() >= 10 && text[4] == '-';
  if (has_date) {
    if (!read_digits(text, &at, 4, &value)) return false;
    fields.tm_year = value - 1900;
    if (text[at++] != '-' || !read_digits(text, &at, 2, &value)) return false;
    fields.tm_mon = value - 1;
    if (at >= text.size() || text[at++] != '-' || !read_digits(text, &at, 2, &value)) return false;
    fields.tm_mday = value;
    if (fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_mday < 1 || fields.tm_mday > 31)
      return false;
    if (at < text.size() && (text[at] == ' ' || text[at] == 'T')) ++at;
  } else {
    time_t seconds = static_cast<time_t>(now / kSecond);
    localtime_r(&seconds, &fields);
  }
  fields.tm_hour = fields.tm_min = fields.tm_sec = 0;
  int64_t fraction = 0;
  if (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
    if (!read_digits(text, &at, 2, &fields.tm_hour) || at >= text.size() || text[at++] != ':' ||
        !read_digits(text, &at, 2, &fields.tm_min))
      return false;
    if (at < text.size() && text[at] == ':') {
      ++at;
      if (!read_digits(text, &at, 2, &fields.tm_sec)) return false;
      if (at < text.size() && text[at] == '.') {
        ++at;
        int64_t scale = kSecond;
        const std::size_t first = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) &&
               at - first < 9) {
          scale /= 10;
          fraction += (text[at++] - '0') * scale;
        }
        if (at == first) return false;
      }
    }
    if (fields.tm_hour > 23 || fields.tm_min > 59 || fields.tm_sec > 60) return false;
  } else if (!has_date) {
    return false;
  }
  const std::string zone = text.substr(at);
  time_t seconds = 0;
  if (zone.empty()) {
    fields.tm_isdst = -1;
    seconds = mktime(&fields);
  } else {
    long offset = 0;
    if (zone != "Z" && zone != "UTC" && zone != " UTC") {
      std::size_t zone_at = zone[0] == ' ' ? 1 : 0;
      if (zone_at >= zone.size() || (zone[zone_at] != '+' && zone[zone_at] != '-')) return false;
      const long sign = zone[zone_at++] == '-' ? -1 : 1;
      int hours = 0, minutes = 0;
      if (!read_digits(zone, &zone_at, 2, &hours)) return false;
      if (zone_at < zone.size() && zone[zone_at] == ':') ++zone_at;
      if (!read_digits(zone, &zone_at, 2, &minutes) || zone_at != zone.size()) return false;
      offset = sign * (hours * 3600L + minutes * 60L);
    }
    seconds = timegm(&fields) - offset;
  }
  // Nanoseconds since the epoch reach from 1677 to 2262.
  return !__builtin_mul_overflow(static_cast<int64_t>(seconds), kSecond, time) &&
         !__builtin_add_overflow(*time, fraction, time);
}

}  // namespace

bool parse_time(const std::string &text, int64_t now, int64_t *time, std::string *problem) {
  *problem = "not a time: " + text;
  if (text == "now") return *time = now, true;
  if (text == "today") return local_midnight(now, 0, time);
  if (text == "yesterday") return local_midnight(now, -1, time);
  if (text == "tomorrow") return local_midnight(now, 1, time);
  int64_t span = 0;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    if (!parse_span(text.substr(1), &span)) return false;
    return text[0] == '-' ? !__builtin_sub_overflow(now, span, time)
                          : !__builtin_add_overflow(now, span, time);
  }
  const std::string ago = " ago";
  if (text.size() > ago.size() && text.compare(text.size() - ago.size(), ago.size(), ago) == 0) {
    if (!parse_span(text.substr(0, text.size() - ago.size()), &span)) return false;
    return !__builtin_sub_overflow(now, span, time);
  }
  if (!text.empty() && text[0] == '@') {
    char *end = nullptr;
    const long double seconds = std::strtold(text.c_str() + 1, &end);
    if (end == text.c_str() + 1 || *end != '\0' || seconds > 9.0e9L || seconds < -9.0e9L)
      return false;
    *time = static_cast<int64_t>(seconds * kSecond);
    return true;
  }
  return parse_calendar(text, now, time);
}

int parse_level(const std::string &text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '7') return text[0] - '0';
  for (int level = 0; level < 8; ++level)
    if (text == kLevelNames[level]) return level;
  if (text == "emergency") return 0;
  if (text == "critical") return 2;
  if (text == "error") return 3;
  if (text == "warn") return 4;
  return -1;
}

Selection::~Selection() {
  if (has_pattern_) regfree(&pattern_);
}

bool Selection::set_since(const std::string &text, int64_t now, std::string *problem) {
  has_since_ = parse_time(text, now, &since_, problem);
  return has_since_;
}

bool Selection::set_until(const std::string &text, int64_t now, std::string *problem) {
  has_until_ = parse_time(text, now, &until_, problem);
  return has_until_;
}

bool Selection::set_priority(const std::string &text, std::string *problem) {
  const std::size_t dots = text.find("..");
  int from = 0, to = 0;
  if (dots == std::string::npos) {
    to = parse_level(text);
  } else {
    from = parse_level(text.substr(0, dots));
    to = parse_level(text.substr(dots + 2));
  }
  if (from < 0 || to < 0) {
    *problem = "not a level or a range of levels: " + text;
    return false;
  }
  gravest_ = from < to ? from : to;
  mildest_ = from < to ? to : from;
  has_levels_ = true;
  return true;
}

bool Selection::set_pattern(const std::string &pattern, bool ignore_case, std::string *problem) {
  if (has_pattern_) regfree(&pattern_);
  has_pattern_ = false;
  const int compiled =
      regcomp(&pattern_, pattern.c_str(), REG_EXTENDED | REG_NOSUB | (ignore_case ? REG_ICASE : 0));
  if (compiled != 0) {
    char text[256];
    regerror(compiled, &pattern_, text, sizeof text);
    *problem = "not a regular expression: " + pattern + ": " + text;
    return false;
  }
  has_pattern_ = true;
  return true;
}

bool Selection::accepts(bool is_entry, int level, int64_t time_ns, const char *data,
                        std::size_t length) const {
  if ((has_since_ || has_until_ || has_levels_) && !is_entry) return false;
  if (has_since_ && time_ns < since_) return false;
  if (has_until_ && time_ns > until_) return false;
  if (has_levels_ && (level < gravest_ || level > mildest_)) return false;
  if (has_pattern_) {
    // The text's bounds are given, so a NUL byte in it ends nothing.
    regmatch_t bounds{0, static_cast<regoff_t>(length)};
    if (regexec(&pattern_, data, 1, &bounds, REG_STARTEND) != 0) return false;
  }
  return true;
}
