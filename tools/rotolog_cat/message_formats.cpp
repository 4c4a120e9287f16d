// rotolog-cat: the output formats of one message (plain, hex dump, JSON) and
// the UTF-8 check and encoders they rest on.
#include "message_formats.h"

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

const unsigned char *bytes_of(const char *data) {
  return reinterpret_cast<const unsigned char *>(data);
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the UTF-8 sequence at text[0..available), or 0 when it is not
// well formed. *code_point receives the decoded value.
std::size_t utf8_sequence(const unsigned char *text, std::size_t available, uint32_t *code_point) {
  unsigned char lead = text[0];
  std::size_t width = 0;
  uint32_t value = 0;
  uint32_t smallest = 0;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    width = 2, value = lead & 0x1F, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    width = 3, value = lead & 0x0F, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    width = 4, value = lead & 0x07, smallest = 0x10000;
  } else {
    return 0;
  }
  if (width > available) return 0;
  for (std::size_t i = 1; i < width; ++i) {
    if (!is_continuation(text[i])) return 0;
    value = (value << 6) | (text[i] & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return width;
}

bool is_control(uint32_t code_point) {
  return code_point < 0x20 || code_point == 0x7F || (code_point >= 0x80 && code_point < 0xA0);
}

// The invisible characters that reorder the text around them (embeddings,
// overrides, isolates and marks), and the two Unicode line breaks: shown as
// they are they make a line read other than its bytes.
bool is_deceptive(uint32_t code_point) {
  return code_point == 0x061C || code_point == 0x200E || code_point == 0x200F ||
         (code_point >= 0x2028 && code_point <= 0x202E) ||
         (code_point >= 0x2066 && code_point <= 0x2069);
}

// Characters that show as nothing at all (zero-width spaces and joiners,
// the word joiner and invisible operators, the byte order mark, fillers):
// on a terminal they are escaped, so that no invisible character can stand
// in front of the continuation mark and no line reads other than its bytes.
bool is_invisible(uint32_t code_point) {
  return code_point == 0x00AD || code_point == 0x034F || code_point == 0x115F ||
         code_point == 0x1160 || code_point == 0x17B4 || code_point == 0x17B5 ||
         code_point == 0x180E || (code_point >= 0x200B && code_point <= 0x200D) ||
         (code_point >= 0x2060 && code_point <= 0x2064) ||
         (code_point >= 0x206A && code_point <= 0x206F) || code_point == 0x3164 ||
         code_point == 0xFEFF || code_point == 0xFFA0 ||
         (code_point >= 0xFFF9 && code_point <= 0xFFFB);
}

// The vertical bars a reader could take for the continuation mark (U+2502)
// at the start of a line: the box-drawing verticals, and bars of other
// blocks that look the same. A message's first line that starts with one of
// them shows it escaped.
bool looks_like_mark(uint32_t code_point) {
  return code_point == 0x01C0 || code_point == 0x05C0 || code_point == 0x2223 ||
         code_point == 0x23D0 || (code_point >= 0x2502 && code_point <= 0x2503) ||
         (code_point >= 0x2506 && code_point <= 0x250B) || code_point == 0x254E ||
         code_point == 0x254F || code_point == 0x2551 || code_point == 0x2575 ||
         code_point == 0x2577 || code_point == 0x2579 || code_point == 0x257B ||
         code_point == 0x257D || code_point == 0x257F || code_point == 0x2758 ||
         code_point == 0x2759 || code_point == 0x275A || code_point == 0xFF5C ||
         code_point == 0xFFE8;
}

// "\\x" or "\\u" and `digits` lower-case hex digits of value.
void append_escape(std::string *out, char kind, uint32_t value, int digits) {
  static const char kHex[] = "0123456789abcdef";
  *out += '\\';
  *out += kind;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *out += kHex[(value >> shift) & 0xF];
}

}  // namespace

bool is_printable_utf8(const char *data, std::size_t length) {
  const unsigned char *text = bytes_of(data);
  std::size_t at = 0;
  while (at < length) {
    uint32_t code_point = 0;
    std::size_t width = utf8_sequence(text + at, length - at, &code_point);
    if (width == 0) return false;
    if (is_control(code_point) && code_point != '\t' && code_point != '\n') return false;
    at += width;
  }
  return true;
}

std::string json_string(const char *data, std::size_t length) {
  std::string literal = "\"";
  const unsigned char *text = bytes_of(data);
  for (std::size_t i = 0; i < length; ++i) {
    char c = data[i];
    uint32_t code_point = 0;
    std::size_t width = text[i] >= 0x80 ? utf8_sequence(text + i, length - i, &code_point) : 0;
    if (width > 1 && is_deceptive(code_point)) {
      append_escape(&literal, 'u', code_point, 4);
      i += width - 1;
      continue;
    }
    switch (c) {
      case '"':
        literal += "\\\"";
        break;
      case '\\':
        literal += "\\\\";
        break;
      case '\n':
        literal += "\\n";
        break;
      case '\t':
        literal += "\\t";
        break;
      default:
        if (text[i] < 0x20) {
          append_escape(&literal, 'u', text[i], 4);
        } else {
          literal += c;
        }
        break;
    }
  }
  literal += '"';
  return literal;
}

std::string base64(const char *data, std::size_t length) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const unsigned char *in = bytes_of(data);
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t group = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  std::size_t left = length - i;
  if (left > 0) {
    uint32_t group = uint32_t{in[i]} << 16;
    if (left == 2) group |= uint32_t{in[i + 1]} << 8;
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += left == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

void print_plain(std::FILE *out, const char *data, std::size_t length) {
  std::fwrite(data, 1, length, out);
  if (length == 0 || data[length - 1] != '\n') std::fputc('\n', out);
}

std::string terminal_text(const char *data, std::size_t length) {
  const unsigned char *text = bytes_of(data);
  std::string shown;
  shown.reserve(length + 1);
  std::size_t at = 0;
  while (at < length) {
    uint32_t code_point = 0;
    std::size_t width = utf8_sequence(text + at, length - at, &code_point);
    if (width == 0) {
      append_escape(&shown, 'x', text[at], 2);
      at += 1;
      continue;
    }
    if (code_point == '\n') {
      shown += '\n';
      if (at + 1 < length) shown += kContinuationMark;
    } else if (code_point == '\t') {
      shown += '\t';
    } else if (code_point < 0x80 && is_control(code_point)) {
      append_escape(&shown, 'x', code_point, 2);
    } else if (is_control(code_point) || is_deceptive(code_point) || is_invisible(code_point) ||
               (at == 0 && looks_like_mark(code_point))) {
      append_escape(&shown, 'u', code_point, 4);
    } else {
      shown.append(data + at, width);
    }
    at += width;
  }
  if (shown.empty() || shown.back() != '\n') shown += '\n';
  return shown;
}

void print_terminal(std::FILE *out, const char *data, std::size_t length) {
  std::string shown = terminal_text(data, length);
  std::fwrite(shown.data(), 1, shown.size(), out);
}

void print_hex(std::FILE *out, long index, const char *data, std::size_t length) {
  const unsigned char *in = bytes_of(data);
  std::fprintf(out, "message %ld: %zu bytes\n", index, length);
  for (std::size_t line = 0; line < length; line += 16) {
    std::fprintf(out, "  %08zx ", line);
    for (std::size_t i = line; i < line + 16; ++i) {
      if (i % 8 == 0) std::fputc(' ', out);
      if (i < length) {
        std::fprintf(out, "%02x ", in[i]);
      } else {
        std::fputs("   ", out);
      }
    }
    std::fputs(" |", out);
    for (std::size_t i = line; i < line + 16 && i < length; ++i) {
      std::fputc(in[i] >= 0x20 && in[i] < 0x7F ? in[i] : '.', out);
    }
    std::fputs("|\n", out);
  }
}

std::string json_string_of_any(const std::string &bytes) {
  if (is_printable_utf8(bytes.data(), bytes.size())) return json_string(bytes.data(), bytes.size());
  std::string shown = terminal_text(bytes.data(), bytes.size());
  shown.pop_back();  // the newline that ends every terminal text
  return json_string(shown.data(), shown.size());
}

void print_json(std::FILE *out, long index, const char *data, std::size_t length, uint64_t seq,
                const std::string &file) {
  MessageFields fields;
  fields.seq = seq;
  const std::string line = json_object(index, data, length, fields, file) + "\n";
  std::fputs(line.c_str(), out);
}

const char *level_text(int level) {
  static const char *const kNames[] = {"emerg",   "alert",  "crit", "err",
                                       "warning", "notice", "info", "debug"};
  return level >= 0 && level < 8 ? kNames[level] : "?";
}

std::string format_time(int64_t time_ns, TimeStyle style) {
  constexpr int64_t kSecond = 1000000000;
  int64_t seconds = time_ns / kSecond;
  int64_t nanoseconds = time_ns % kSecond;
  if (nanoseconds < 0) nanoseconds += kSecond, seconds -= 1;
  const time_t whole = static_cast<time_t>(seconds);
  struct tm fields {};
  const bool known = style == TimeStyle::kIsoUtc ? gmtime_r(&whole, &fields) != nullptr
                                                 : localtime_r(&whole, &fields) != nullptr;
  if (!known || fields.tm_year > 9999 - 1900 || fields.tm_year < -1900)
    return "@" + std::to_string(time_ns);
  char date[64], zone[16] = "";
  char text[128];
  switch (style) {
    case TimeStyle::kIsoLocal:
      std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &fields);
      std::strftime(zone, sizeof zone, "%z", &fields);
      std::snprintf(text, sizeof text, "%s.%06d%s", date, static_cast<int>(nanoseconds / 1000),
                    zone);
      break;
    case TimeStyle::kPrecise:
      std::strftime(date, sizeof date, "%b %d %H:%M:%S", &fields);
      std::snprintf(text, sizeof text, "%s.%06d", date, static_cast<int>(nanoseconds / 1000));
      break;
    case TimeStyle::kIsoUtc:
      std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &fields);
      std::snprintf(text, sizeof text, "%s.%09dZ", date, static_cast<int>(nanoseconds));
      break;
  }
  return text;
}

std::string json_object(long index, const char *data, std::size_t length,
                        const MessageFields &fields, const std::string &file) {
  std::string line = "{\"index\":" + std::to_string(index);
  if (!file.empty()) line += ",\"file\":" + json_string_of_any(file);
  if (fields.seq != 0) line += ",\"seq\":" + std::to_string(fields.seq);
  if (fields.is_entry) {
    line += ",\"time\":\"" + format_time(fields.time_ns, TimeStyle::kIsoUtc) + "\"";
    line += ",\"pid\":" + std::to_string(fields.pid) + ",\"tid\":" + std::to_string(fields.tid);
    line += ",\"level\":" + std::to_string(fields.level);
  }
  line += ",\"length\":" + std::to_string(length);
  if (is_printable_utf8(data, length)) {
    line += ",\"text\":" + json_string(data, length);
  } else {
    line += ",\"base64\":\"" + base64(data, length) + "\"";
  }
  return line + "}";
}

void MessagePrinter::print_file_header() {
  if (file_.empty() || layout_ == Layout::kJson) return;
  if (any_header_ && file_ == file_shown_) return;
  std::string name = file_;
  if (escape_) {
    name = terminal_text(file_.data(), file_.size());
    name.pop_back();
  }
  std::fprintf(out_, "%s==> %s <==\n", printed_ > 0 ? "\n" : "", name.c_str());
  file_shown_ = file_;
  any_header_ = true;
}

// The text of a message after `prefix`, escaped or not, then the terminator.
void MessagePrinter::print_text(const std::string &prefix, const char *data, std::size_t length) {
  std::fwrite(prefix.data(), 1, prefix.size(), out_);
  if (escape_) {
    std::string shown = terminal_text(data, length);
    shown.back() = terminator_;
    std::fwrite(shown.data(), 1, shown.size(), out_);
  } else {
    std::fwrite(data, 1, length, out_);
    if (terminator_ != '\n' || length == 0 || data[length - 1] != '\n')
      std::fputc(terminator_, out_);
  }
}

bool MessagePrinter::message(const char *data, std::size_t length, const MessageFields &fields) {
  print_file_header();
  std::string prefix;
  switch (layout_) {
    case Layout::kJson: {
      std::string line = json_object(printed_, data, length, fields, file_);
      line += terminator_;
      std::fwrite(line.data(), 1, line.size(), out_);
      break;
    }
    case Layout::kHex:
      if (fields.is_entry)
        std::fprintf(out_, "entry: %s [%d/%d] %s\n",
                     format_time(fields.time_ns, TimeStyle::kIsoLocal).c_str(), fields.pid,
                     fields.tid, level_text(fields.level));
      print_hex(out_, printed_, data, length);
      break;
    case Layout::kShortIso:
    case Layout::kShortPrecise:
      if (fields.is_entry) {
        const TimeStyle style =
            layout_ == Layout::kShortIso ? TimeStyle::kIsoLocal : TimeStyle::kPrecise;
        prefix = format_time(fields.time_ns, style) + " [" + std::to_string(fields.pid) + "/" +
                 std::to_string(fields.tid) + "] " + level_text(fields.level) + ": ";
      }
      print_text(prefix, data, length);
      break;
    case Layout::kCat:
      print_text(prefix, data, length);
      break;
  }
  ++printed_;
  return std::ferror(out_) == 0;
}

bool MessagePrinter::missed(uint64_t count) {
  const std::string where = file_.empty() ? "" : file_ + ": ";
  std::fprintf(stderr, "rotolog-cat: %s%llu messages were overwritten before they could be read\n",
               where.c_str(), static_cast<unsigned long long>(count));
  if (layout_ == Layout::kJson) {
    std::string line = "{";
    if (!file_.empty()) line += "\"file\":" + json_string_of_any(file_) + ",";
    line += "\"missed\":" + std::to_string(count) + "}";
    line += terminator_;
    std::fputs(line.c_str(), out_);
  }
  return std::ferror(out_) == 0;
}
