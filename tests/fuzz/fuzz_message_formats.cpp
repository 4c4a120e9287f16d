// libFuzzer target: rotolog-cat's printing of a message and its fields,
// both of which a file's writer chooses. The first 24 bytes are the fields
// (time, process and thread ids, level, whether it is an entry) and the
// layout; the rest is the message. Whatever they are, a terminal is shown
// valid UTF-8 without a control character, the further lines of a message
// start with the continuation mark, and a JSON line holds no raw control
// character. The same bytes, as text, go through the parser of --since.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "message_formats.h"
#include "selection.h"

namespace {

// True for valid UTF-8 without C0 controls (but tab, newline and the
// terminator), DEL or C1 controls.
bool shows_no_control(const std::string &text, char terminator) {
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
      if ((lead < 0x20 && lead != '\n' && lead != '\t' &&
           lead != static_cast<unsigned char>(terminator)) ||
          lead == 0x7F)
        return false;
      ++at;
      continue;
    }
    const std::size_t width = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (width == 0 || at + width > text.size()) return false;
    if (width == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) return false;
    at += width;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 24 || size > 8192) return 0;
  MessageFields fields;
  std::memcpy(&fields.time_ns, data, 8);
  std::memcpy(&fields.pid, data + 8, 4);
  std::memcpy(&fields.tid, data + 12, 4);
  fields.level = data[16] & 7;
  fields.is_entry = (data[17] & 1) != 0;
  std::memcpy(&fields.seq, data + 18, 4);
  static const Layout kLayouts[] = {Layout::kShortIso, Layout::kShortPrecise, Layout::kCat,
                                    Layout::kJson, Layout::kHex};
  const Layout layout = kLayouts[data[22] % 5];
  const bool escape = (data[23] & 1) != 0;
  const char terminator = (data[23] & 2) != 0 ? '\0' : '\n';
  const std::string message(reinterpret_cast<const char *>(data) + 24, size - 24);

  char *printed = nullptr;
  std::size_t printed_size = 0;
  std::FILE *out = open_memstream(&printed, &printed_size);
  if (out == nullptr) return 0;
  {
    MessagePrinter printer(out, layout, escape, terminator);
    printer.set_file(message.substr(0, 8));
    printer.message(message.data(), message.size(), fields);
    printer.missed(static_cast<uint64_t>(fields.pid));
  }
  std::fclose(out);
  const std::string output(printed, printed_size);
  std::free(printed);
  if (layout == Layout::kJson) {
    for (char byte : output)
      if (static_cast<unsigned char>(byte) < 0x20 && byte != '\n' && byte != terminator)
        std::abort();
  } else if (escape && layout != Layout::kHex && !shows_no_control(output, terminator)) {
    std::abort();
  }

  const std::string shown = terminal_text(message.data(), message.size());
  if (!shows_no_control(shown, '\n') || shown.back() != '\n') std::abort();
  const std::string mark = kContinuationMark;
  if (shown.compare(0, mark.size(), mark) == 0) std::abort();
  for (std::size_t at = shown.find('\n'); at + 1 < shown.size(); at = shown.find('\n', at + 1))
    if (shown.compare(at + 1, mark.size(), mark) != 0) std::abort();

  int64_t time = 0;
  std::string problem;
  parse_time(message, fields.time_ns, &time, &problem);
  return 0;
}
