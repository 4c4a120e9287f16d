// rotolog-cat: how one message is printed in each output format (as text,
// as a hex dump, as a JSON line), kept apart from the file walk so that the
// formats are plain functions of the bytes.
#ifndef ROTOLOG_CAT_MESSAGE_FORMATS_H
#define ROTOLOG_CAT_MESSAGE_FORMATS_H

#include <cstddef>
#include <cstdio>
#include <string>

// The bytes as they stand, then a newline unless the last byte is one.
void print_plain(std::FILE *out, const char *data, std::size_t length);

// A header line "message <index>: <length> bytes", then 16 bytes per line:
// offset, hex bytes, and the printable ASCII characters ('.' for others).
void print_hex(std::FILE *out, long index, const char *data, std::size_t length);

// One JSON object on one line: index, length, and "text" when the bytes are
// valid UTF-8 with no control characters other than tab and newline, else
// "base64".
void print_json(std::FILE *out, long index, const char *data, std::size_t length);

// True for well-formed UTF-8 (no overlong forms, surrogates or code points
// above U+10FFFF) without control characters other than tab and newline.
bool is_printable_utf8(const char *data, std::size_t length);

// The JSON string literal of valid UTF-8 text, quotes included.
std::string json_string(const char *data, std::size_t length);

// Standard base64 with padding.
std::string base64(const char *data, std::size_t length);

#endif
