// rotolog-cat: how one message is printed in each output format (as text,
// as a hex dump, as a JSON line), kept apart from the file walk so that the
// formats are plain functions of the bytes.
#ifndef ROTOLOG_CAT_MESSAGE_FORMATS_H
#define ROTOLOG_CAT_MESSAGE_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The bytes as they stand, then a newline unless the last byte is one.
void print_plain(std::FILE *out, const char *data, std::size_t length);

// The message as a terminal may show it: printable UTF-8 and tabs as they
// are; other C0 controls, DEL and bytes that are not UTF-8 as \xNN; C1
// controls, bidirectional controls, invisible characters and the Unicode
// line breaks as \uNNNN; each further line after the continuation mark
// kContinuationMark; one newline at the end. A first line never starts with
// the mark or a bar that looks like it (that character is shown escaped), so
// no byte of the message can move the cursor, change the terminal's state
// or start a line that looks like another message, or like the continuation
// of one.
constexpr char kContinuationMark[] = "\xe2\x94\x82 ";  // U+2502 and a space

std::string terminal_text(const char *data, std::size_t length);
void print_terminal(std::FILE *out, const char *data, std::size_t length);

// A header line "message <index>: <length> bytes", then 16 bytes per line:
// offset, hex bytes, and the printable ASCII characters ('.' for others).
void print_hex(std::FILE *out, long index, const char *data, std::size_t length);

// One JSON object on one line: index, file (when `file` is not empty: the
// name of the file the message comes from), seq (when not 0: the message's
// number among all the file's messages ever appended), length, and "text"
// when the bytes are valid UTF-8 with no control characters other than tab
// and newline, else "base64".
void print_json(std::FILE *out, long index, const char *data, std::size_t length, uint64_t seq = 0,
                const std::string &file = std::string());

// A JSON string literal for any bytes: json_string of them when they are
// printable UTF-8, else of what a terminal is shown of them (escaped).
std::string json_string_of_any(const std::string &bytes);

// True for well-formed UTF-8 (no overlong forms, surrogates or code points
// above U+10FFFF) without control characters other than tab and newline.
bool is_printable_utf8(const char *data, std::size_t length);

// The JSON string literal of valid UTF-8 text, quotes included. Besides
// what JSON requires, the bidirectional controls and U+2028, U+2029 are
// escaped (\uNNNN), so that a viewer shows the text in its byte order.
std::string json_string(const char *data, std::size_t length);

// Standard base64 with padding.
std::string base64(const char *data, std::size_t length);

// What the tool knows of a message besides its bytes: for an entry, when,
// by whom and how grave (as the library decoded its head); for any message,
// its number among all the file's messages ever appended (0: unknown).
struct MessageFields {
  bool is_entry = false;
  int level = -1;  // syslog's priorities, 0 (emerg) to 7 (debug)
  int64_t time_ns = 0;
  int32_t pid = 0;
  int32_t tid = 0;
  uint64_t seq = 0;
};

// The level names journalctl prints, "emerg" to "debug"; "?" for others.
const char *level_text(int level);

// A time of nanoseconds since the epoch: as journalctl's short-iso prints it
// (local time, microseconds and the offset: 2026-12-08T03:14:15.123456+0000),
// as its short-precise does (Dec 08 03:14:15.123456), and in UTC to the
// nanosecond (2026-12-08T03:14:15.123456789Z), each with the second rounded
// down. A time that cannot be told as a date is given as "@" and the number.
enum class TimeStyle { kIsoLocal, kPrecise, kIsoUtc };
std::string format_time(int64_t time_ns, TimeStyle style);

// How each message is laid out. An entry: short-iso and short-precise put
// its time, "[pid/tid]" and level in front of its text; cat prints its text
// alone; json and hex add its fields. A raw message is its bytes in every
// layout but json and hex.
enum class Layout { kShortIso, kShortPrecise, kCat, kJson, kHex };

// The JSON object of a message, without the line's end: index, file (when
// not empty), seq (when not 0), for an entry time (format_time kIsoUtc), pid,
// tid and level (a number), then length and text or base64 as print_json.
std::string json_object(long index, const char *data, std::size_t length,
                        const MessageFields &fields, const std::string &file);

// Prints messages one after the other in a layout: escaped for a terminal
// or not, each ended by `terminator` ('\n', or '\0' for -z: then no newline
// is added and none taken away), with the number of each in the output (from
// 0).
class MessagePrinter {
 public:
  MessagePrinter(std::FILE *out, Layout layout, bool escape, char terminator)
      : out_(out), layout_(layout), escape_(escape), terminator_(terminator) {}

  // Returns false when the output failed (errno tells why).
  bool message(const char *data, std::size_t length, const MessageFields &fields);
  // Reports that `count` messages were overwritten before they could be
  // read: a line on standard error, and in JSON an object {"missed":N} in
  // the stream.
  bool missed(uint64_t count);
  // The name of the file the next messages come from, when several files
  // are read ("" for one): a text layout prints "==> NAME <==" before a
  // message of another file than the one before, as tail does (after an
  // empty line, but for the first), JSON adds a "file" member.
  void set_file(const std::string &name) { file_ = name; }
  // Flushes the output; false when it failed.
  bool flush() { return std::fflush(out_) == 0 && std::ferror(out_) == 0; }
  long printed() const { return printed_; }

 private:
  void print_file_header();
  void print_text(const std::string &prefix, const char *data, std::size_t length);

  std::FILE *out_;
  Layout layout_;
  bool escape_;
  char terminator_;
  long printed_ = 0;
  std::string file_;
  std::string file_shown_;  // the file named by the last header printed
  bool any_header_ = false;
};

#endif
