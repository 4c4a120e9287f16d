// rotolog-cat's message formats: which bytes count as printable UTF-8, JSON
// escaping, base64, and the plain and hex layouts.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "message_formats.h"

namespace {

bool printable(const std::string &bytes) { return is_printable_utf8(bytes.data(), bytes.size()); }

std::string captured(void (*print)(std::FILE *, const std::string &), const std::string &bytes) {
  char *text = nullptr;
  std::size_t size = 0;
  std::FILE *out = open_memstream(&text, &size);
  print(out, bytes);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

}  // namespace

TEST(PrintableUtf8, AcceptsTextTabsNewlinesAndEveryWidthOfSequence) {
  EXPECT_TRUE(printable("plain text\twith a tab\n"));
  EXPECT_TRUE(printable("h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x99\x82"));  // 2, 3 and 4 bytes
  EXPECT_TRUE(printable(""));
  EXPECT_TRUE(printable("\xf4\x8f\xbf\xbf"));  // U+10FFFF
}

TEST(PrintableUtf8, RejectsControlCharactersOtherThanTabAndNewline) {
  EXPECT_FALSE(printable(std::string("nul\0inside", 10)));
  EXPECT_FALSE(printable("carriage\r"));
  EXPECT_FALSE(printable("\x1b[0m"));
  EXPECT_FALSE(printable("del\x7f"));
  EXPECT_FALSE(printable("c1 \xc2\x85"));  // U+0085, a C1 control
}

TEST(PrintableUtf8, RejectsMalformedSequences) {
  EXPECT_FALSE(printable("\xc3"));              // cut short
  EXPECT_FALSE(printable("\xc3("));             // bad continuation
  EXPECT_FALSE(printable("\x80"));              // stray continuation
  EXPECT_FALSE(printable("\xc0\xaf"));          // overlong '/'
  EXPECT_FALSE(printable("\xe0\x80\xaf"));      // overlong, 3 bytes
  EXPECT_FALSE(printable("\xed\xa0\x80"));      // surrogate U+D800
  EXPECT_FALSE(printable("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(printable("\xff"));
}

TEST(JsonString, EscapesQuotesBackslashesNewlinesAndTabs) {
  EXPECT_EQ(json_string("a\"b\\c\nd\te", 9), "\"a\\\"b\\\\c\\nd\\te\"");
  EXPECT_EQ(json_string("h\xc3\xa9", 3), "\"h\xc3\xa9\"");
}

TEST(Base64, EncodesEveryRemainderWithPadding) {
  EXPECT_EQ(base64("", 0), "");
  EXPECT_EQ(base64("f", 1), "Zg==");
  EXPECT_EQ(base64("fo", 2), "Zm8=");
  EXPECT_EQ(base64("foo", 3), "Zm9v");
  EXPECT_EQ(base64("foobar", 6), "Zm9vYmFy");
  EXPECT_EQ(base64("\x00\xff\xfe", 3), "AP/+");
}

TEST(PrintJson, ChoosesTextOrBase64) {
  auto json = [](std::FILE *out, const std::string &bytes) {
    print_json(out, 7, bytes.data(), bytes.size());
  };
  EXPECT_EQ(captured(json, "ok\n"), "{\"index\":7,\"length\":3,\"text\":\"ok\\n\"}\n");
  EXPECT_EQ(captured(json, std::string("\0\1", 2)),
            "{\"index\":7,\"length\":2,\"base64\":\"AAE=\"}\n");
}

TEST(PrintPlain, AddsANewlineOnlyWhenTheMessageLacksOne) {
  auto plain = [](std::FILE *out, const std::string &bytes) {
    print_plain(out, bytes.data(), bytes.size());
  };
  EXPECT_EQ(captured(plain, "line"), "line\n");
  EXPECT_EQ(captured(plain, "line\n"), "line\n");
  EXPECT_EQ(captured(plain, "two\n\n"), "two\n\n");
}

TEST(PrintHex, LaysOutSixteenBytesPerLineWithAnAsciiColumn) {
  auto hex = [](std::FILE *out, const std::string &bytes) {
    print_hex(out, 1, bytes.data(), bytes.size());
  };
  EXPECT_EQ(captured(hex, "0123456789abcdef\x01"),
            "message 1: 17 bytes\n"
            "  00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
            "  00000010  01                                                |.|\n");
}

TEST(TerminalText, ShowsControlsEscapedAndIndentsFurtherLines) {
  auto shown = [](const std::string &bytes) { return terminal_text(bytes.data(), bytes.size()); };
  // Printable UTF-8 and tabs as they are, one newline at the end.
  EXPECT_EQ(shown("h\xc3\xa9llo\tworld"), "h\xc3\xa9llo\tworld\n");
  EXPECT_EQ(shown("ends in a newline\n"), "ends in a newline\n");
  EXPECT_EQ(shown(""), "\n");
  // A title, a clipboard write, a clear screen and a hidden-text attribute
  // reach the terminal as visible text.
  EXPECT_EQ(shown("\x1b]0;owned\x07"), "\\x1b]0;owned\\x07\n");
  EXPECT_EQ(shown("\x1b]52;c;ZXZpbA==\x1b\\"), "\\x1b]52;c;ZXZpbA==\\x1b\\\n");
  EXPECT_EQ(shown("\x1b[2J\x1b[8mhidden"), "\\x1b[2J\\x1b[8mhidden\n");
  // A carriage return or an embedded newline cannot forge a line.
  EXPECT_EQ(shown("ok\rFAKE: root login"), "ok\\x0dFAKE: root login\n");
  EXPECT_EQ(shown("first\nFAKE: second\n"), "first\n\xe2\x94\x82 FAKE: second\n");
  // NUL, DEL, a C1 control, bidirectional overrides and bytes that are not
  // UTF-8.
  EXPECT_EQ(shown(std::string("a\0b\x7f", 4)), "a\\x00b\\x7f\n");
  EXPECT_EQ(shown("c1 \xc2\x9b"), "c1 \\u009b\n");
  EXPECT_EQ(shown("\xe2\x80\xae"
                  "evil\xe2\x81\xa6"),
            "\\u202eevil\\u2066\n");
  EXPECT_EQ(shown("\xff\xc3"), "\\xff\\xc3\n");
}

TEST(JsonString, EscapesControlsAndTheBidirectionalControls) {
  EXPECT_EQ(json_string("\x01", 1), "\"\\u0001\"");
  EXPECT_EQ(json_string("a\xe2\x80\xaa"
                        "b\xe2\x80\xae"
                        "c\xe2\x81\xa9",
                        12),
            "\"a\\u202ab\\u202ec\\u2069\"");
  EXPECT_EQ(json_string("\xe2\x80\xa8", 3), "\"\\u2028\"");
  // Neighbours of the escaped ranges stay as they are.
  EXPECT_EQ(json_string("\xe2\x80\xaf\xe2\x81\xaa", 6), "\"\xe2\x80\xaf\xe2\x81\xaa\"");
}

// Further lines of a message carry the continuation mark at their start, and
// no message's first line can: one that starts with spaces stays a message
// of its own, and one that starts with the mark, a bar that looks like it,
// or an invisible character before it, shows that character escaped.
TEST(TerminalText, NoMessageCanPassForTheContinuationOfTheOneBefore) {
  auto shown = [](const std::string &bytes) { return terminal_text(bytes.data(), bytes.size()); };
  const std::string mark = kContinuationMark;
  EXPECT_EQ(mark, "\xe2\x94\x82 ");
  EXPECT_EQ(shown("request failed\n  at parse()\n  at main()"),
            "request failed\n" + mark + "  at parse()\n" + mark + "  at main()\n");
  // A message of its own that starts with spaces starts at the left margin,
  // where every continuation line shows the mark.
  EXPECT_EQ(shown("  at main()"), "  at main()\n");
  // Forgeries of the mark on a first line.
  EXPECT_EQ(shown("\xe2\x94\x82 at main()"), "\\u2502 at main()\n");
  EXPECT_EQ(shown("\xe2\x94\x83 at main()"), "\\u2503 at main()\n");
  EXPECT_EQ(shown("\xef\xbd\x9c at main()"), "\\uff5c at main()\n");
  EXPECT_EQ(shown("\xe2\x80\x8b\xe2\x94\x82 at main()"), "\\u200b\xe2\x94\x82 at main()\n");
  EXPECT_EQ(shown("\xef\xbb\xbf\xe2\x94\x82 x"), "\\ufeff\xe2\x94\x82 x\n");
  // The mark inside a line, or on a further line, is only text.
  EXPECT_EQ(shown("a \xe2\x94\x82 b\n\xe2\x94\x82 c"),
            "a \xe2\x94\x82 b\n" + mark + "\xe2\x94\x82 c\n");
  // Every line of the output of any message starts either a message or
  // with the mark: the forged continuations of a hostile writer all start
  // a line of their own that a reader sees is not marked.
  for (const std::string &forged :
       {std::string("  forged"), std::string("\tforged"),
        std::string("\xe2\x81\xa0\xe2\x94\x82 forged"), std::string("\r\xe2\x94\x82 forged")}) {
    const std::string text = shown(forged);
    EXPECT_NE(text.compare(0, mark.size(), mark), 0) << text;
  }
}

namespace {

// An entry of 2026-12-08 03:14:15.123456789 UTC, by process 4242 thread 4243.
MessageFields an_entry(int level) {
  MessageFields fields;
  fields.is_entry = true;
  fields.level = level;
  fields.time_ns = 1796699655123456789LL;
  fields.pid = 4242;
  fields.tid = 4243;
  fields.seq = 9;
  return fields;
}

// What a printer of `layout` prints of the messages, in the zone UTC.
std::string printed(Layout layout, bool escape, char terminator,
                    const std::vector<std::pair<std::string, MessageFields>> &messages) {
  setenv("TZ", "UTC", 1);
  tzset();
  char *text = nullptr;
  std::size_t size = 0;
  std::FILE *out = open_memstream(&text, &size);
  MessagePrinter printer(out, layout, escape, terminator);
  for (const auto &message : messages)
    printer.message(message.first.data(), message.first.size(), message.second);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

}  // namespace

TEST(FormatTime, PrintsTheInstantInEachStyleAndNeverFailsOnAHostileTime) {
  setenv("TZ", "XST-05:30", 1);
  tzset();
  const int64_t time = 1796699655123456789LL;
  EXPECT_EQ(format_time(time, TimeStyle::kIsoLocal), "2026-12-08T08:44:15.123456+0530");
  EXPECT_EQ(format_time(time, TimeStyle::kPrecise), "Dec 08 08:44:15.123456");
  EXPECT_EQ(format_time(time, TimeStyle::kIsoUtc), "2026-12-08T03:14:15.123456789Z");
  // Before the epoch the second is still rounded down.
  EXPECT_EQ(format_time(-1, TimeStyle::kIsoUtc), "1969-12-31T23:59:59.999999999Z");
  // Any 64-bit time a file may hold prints as something.
  EXPECT_EQ(format_time(INT64_MAX, TimeStyle::kIsoUtc), "2262-04-11T23:47:16.854775807Z");
  EXPECT_EQ(format_time(INT64_MIN, TimeStyle::kIsoUtc), "1677-09-21T00:12:43.145224192Z");
  setenv("TZ", "UTC", 1);
  tzset();
}

TEST(MessagePrinter, ShowsAnEntryAsJournalctlsShortIsoAndARawMessageAsItIs) {
  const MessageFields raw;
  EXPECT_EQ(printed(Layout::kShortIso, false, '\n', {{"disk full", an_entry(3)}, {"plain", raw}}),
            "2026-12-08T03:14:15.123456+0000 [4242/4243] err: disk full\nplain\n");
  EXPECT_EQ(printed(Layout::kShortPrecise, false, '\n', {{"up", an_entry(6)}}),
            "Dec 08 03:14:15.123456 [4242/4243] info: up\n");
  EXPECT_EQ(printed(Layout::kCat, false, '\n', {{"up", an_entry(6)}, {"plain\n", raw}}),
            "up\nplain\n");
  // On a terminal the text after the origin is escaped, and its further
  // lines marked: a text cannot forge a second entry.
  EXPECT_EQ(
      printed(Layout::kShortIso, true, '\n',
              {{"a\n2026-12-08T03:14:15.123456+0000 [1/1] emerg: forged\x1b[2J", an_entry(7)}}),
      "2026-12-08T03:14:15.123456+0000 [4242/4243] debug: a\n"
      "\xe2\x94\x82 2026-12-08T03:14:15.123456+0000 [1/1] emerg: forged\\x1b[2J\n");
}

TEST(MessagePrinter, JsonAddsTheFieldsOfAnEntry) {
  EXPECT_EQ(printed(Layout::kJson, false, '\n', {{"up", an_entry(6)}, {"raw", MessageFields{}}}),
            "{\"index\":0,\"seq\":9,\"time\":\"2026-12-08T03:14:15.123456789Z\",\"pid\":4242,"
            "\"tid\":4243,\"level\":6,\"length\":2,\"text\":\"up\"}\n"
            "{\"index\":1,\"length\":3,\"text\":\"raw\"}\n");
}

TEST(MessagePrinter, ZeroTerminatedEndsEachMessageWithNulAndAddsNoNewline) {
  const MessageFields raw;
  EXPECT_EQ(printed(Layout::kCat, false, '\0', {{"one\n", raw}, {"two", raw}, {"", raw}}),
            std::string("one\n\0two\0\0", 10));
  EXPECT_EQ(
      printed(Layout::kShortIso, true, '\0', {{"a\nb", an_entry(4)}}),
      std::string("2026-12-08T03:14:15.123456+0000 [4242/4243] warning: a\n\xe2\x94\x82 b\0", 61));
  const std::string json = printed(Layout::kJson, false, '\0', {{"x", raw}, {"y", raw}});
  EXPECT_EQ(json, std::string("{\"index\":0,\"length\":1,\"text\":\"x\"}\0"
                              "{\"index\":1,\"length\":1,\"text\":\"y\"}\0",
                              68));
}

namespace {

// The code points of valid UTF-8 text; an empty vector when it is not.
std::vector<uint32_t> code_points(const std::string &text) {
  std::vector<uint32_t> points;
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const int width = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (width == 0 || at + width > text.size()) return {};
    uint32_t point = width == 1 ? lead : lead & (0xFF >> (width + 1));
    for (int i = 1; i < width; ++i) point = (point << 6) | (text[at + i] & 0x3F);
    points.push_back(point);
    at += width;
  }
  return points;
}

}  // namespace

// Hostile messages, built at random from the pieces that make a terminal
// misbehave or a line pass for another: what a terminal is shown of them
// is valid UTF-8 without a control, bidirectional or invisible character,
// ends in one newline, starts every further line with the mark, and never
// starts a message with the mark or a bar like it.
TEST(TerminalText, NoHostileMessageControlsTheTerminalOrForgesALine) {
  const std::vector<std::string> pieces = {"a",
                                           " ",
                                           "\t",
                                           "\n",
                                           "\r",
                                           "\x1b[2J",
                                           "\x7f",
                                           "\x00",
                                           "\xc3",
                                           "\xc3\xa9",
                                           "\xed\xa0\x80",
                                           "\xc2\x85",
                                           "\xc2\x9b",
                                           "\xe2\x80\xae",
                                           "\xe2\x81\xa6",
                                           "\xe2\x80\x8b",
                                           "\xef\xbb\xbf",
                                           "\xe2\x81\xa0",
                                           "\xe2\x94\x82",
                                           "\xe2\x94\x83",
                                           "\xef\xbd\x9c",
                                           "\xe2\x80\xa8",
                                           "\xf0\x9f\x99\x82",
                                           "\xff"};
  const std::string mark = kContinuationMark;
  uint32_t state = 12345;
  for (int round = 0; round < 20000; ++round) {
    std::string message;
    state = state * 1103515245 + 12345;
    const int count = static_cast<int>(state >> 16) % 12;
    for (int i = 0; i < count; ++i) {
      state = state * 1103515245 + 12345;
      const std::string &piece = pieces[(state >> 16) % pieces.size()];
      message += piece.empty() ? std::string(1, '\0') : piece;
    }
    const std::string shown = terminal_text(message.data(), message.size());
    const std::vector<uint32_t> points = code_points(shown);
    ASSERT_FALSE(points.empty()) << "not UTF-8: " << shown;
    ASSERT_EQ(shown.back(), '\n');
    for (uint32_t point : points) {
      ASSERT_TRUE(point == '\n' || point == '\t' || (point >= 0x20 && point != 0x7F)) << shown;
      ASSERT_FALSE(point >= 0x80 && point < 0xA0) << shown;
      ASSERT_FALSE((point >= 0x200B && point <= 0x200F) || (point >= 0x2028 && point <= 0x202E) ||
                   (point >= 0x2060 && point <= 0x2069) || point == 0xFEFF)
          << shown;
    }
    ASSERT_FALSE(points[0] == 0x2502 || points[0] == 0x2503 || points[0] == 0xFF5C) << shown;
    for (std::size_t at = shown.find('\n'); at + 1 < shown.size(); at = shown.find('\n', at + 1))
      ASSERT_EQ(shown.compare(at + 1, mark.size(), mark), 0) << shown;
  }
}
