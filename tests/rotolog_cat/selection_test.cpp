// rotolog-cat's selection: the times --since and --until take (in a fixed
// zone, so that the expected instants are known), the levels and ranges of
// --priority, and which messages a selection keeps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "selection.h"

namespace {

constexpr int64_t kSecond = 1000000000;
constexpr int64_t kDay = 86400 * kSecond;
// 2026-12-08 03:14:15.5 UTC, a Tuesday.
constexpr int64_t kNow = 1796699655LL * kSecond + kSecond / 2;

// Runs the tests of this file in a zone 5 h 30 min east of UTC, so that a
// local time and a UTC time of the same text differ.
class SelectionTime : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *zone = std::getenv("TZ");
    saved_ = zone != nullptr ? zone : "";
    had_zone_ = zone != nullptr;
    setenv("TZ", "XST-05:30", 1);
    tzset();
  }
  void TearDown() override {
    if (had_zone_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  int64_t time_of(const std::string &text) {
    int64_t time = 0;
    std::string problem;
    EXPECT_TRUE(parse_time(text, kNow, &time, &problem)) << text << ": " << problem;
    return time;
  }
  bool refused(const std::string &text) {
    int64_t time = 0;
    std::string problem;
    return !parse_time(text, kNow, &time, &problem) && problem.find(text) != std::string::npos;
  }

 private:
  std::string saved_;
  bool had_zone_ = false;
};

constexpr int64_t kHalfPastFive = (5 * 3600 + 30 * 60) * kSecond;

}  // namespace

TEST_F(SelectionTime, TakesDatesAndTimesInLocalTimeOrInTheZoneGiven) {
  const int64_t midnight_utc = 1796688000LL * kSecond;  // 2026-12-08 00:00:00 UTC
  EXPECT_EQ(time_of("2026-12-08"), midnight_utc - kHalfPastFive);
  EXPECT_EQ(time_of("2026-12-08 03:14"),
            midnight_utc - kHalfPastFive + (3 * 3600 + 14 * 60) * kSecond);
  EXPECT_EQ(time_of("2026-12-08 03:14:15"), kNow - kSecond / 2 - kHalfPastFive);
  EXPECT_EQ(time_of("2026-12-08T03:14:15.5"), kNow - kHalfPastFive);
  // What --json prints reads back as the same instant, to the nanosecond.
  EXPECT_EQ(time_of("2026-12-08T03:14:15.500000001Z"), kNow + 1);
  EXPECT_EQ(time_of("2026-12-08 03:14:15 UTC"), kNow - kSecond / 2);
  EXPECT_EQ(time_of("2026-12-08T08:44:15.5+05:30"), kNow);
  EXPECT_EQ(time_of("2026-12-08T01:14:15.5-0200"), kNow);
  EXPECT_EQ(time_of("@1796699655.5"), kNow);
  // A time alone is today's (local); today, yesterday, tomorrow are local
  // midnights.
  const int64_t local_midnight = midnight_utc - kHalfPastFive;  // 08:44 local now
  EXPECT_EQ(time_of("08:44:15"), kNow - kSecond / 2);
  EXPECT_EQ(time_of("today"), local_midnight);
  EXPECT_EQ(time_of("yesterday"), local_midnight - 86400 * kSecond);
  EXPECT_EQ(time_of("tomorrow"), local_midnight + 86400 * kSecond);
  EXPECT_EQ(time_of("now"), kNow);
}

TEST_F(SelectionTime, TakesTimesRelativeToNowAsJournalctlDoes) {
  EXPECT_EQ(time_of("-10min"), kNow - 600 * kSecond);
  EXPECT_EQ(time_of("+5s"), kNow + 5 * kSecond);
  EXPECT_EQ(time_of("-2h"), kNow - 7200 * kSecond);
  EXPECT_EQ(time_of("-1h 30min"), kNow - 5400 * kSecond);
  EXPECT_EQ(time_of("-1d"), kNow - 86400 * kSecond);
  EXPECT_EQ(time_of("-2weeks"), kNow - 14 * 86400 * kSecond);
  EXPECT_EQ(time_of("-250ms"), kNow - kSecond / 4);
  EXPECT_EQ(time_of("3 days ago"), kNow - 3 * 86400 * kSecond);
  EXPECT_EQ(time_of("-1.5h"), kNow - 5400 * kSecond);
  EXPECT_EQ(time_of("-10"), kNow - 10 * kSecond);  // seconds, without a unit
}

TEST_F(SelectionTime, RefusesWhatIsNotATime) {
  for (const char *text :
       {"", "soon", "-", "-10 parsecs", "+min", "2026-13-01", "2026-12-32", "2026-12-08 25:00",
        "2026-12-08 03:61", "2026-12-08 03:14:15.", "2026-12-08 03:14 +5", "2026-12-08x", "@",
        "@12abc", "12", "3:14", "-99999999999y",
        // Beyond what 64 bits of nanoseconds hold (1677 to 2262).
        "4052-12-08 03:14:15.5Z", "1492-10-12", "+300y", "-300 years", "@9999999999"})
    EXPECT_TRUE(refused(text)) << "'" << text << "'";

  // Days named from a `now` at either end of that reach (a message's own
  // time, which any writer sets): the day past the end is refused, the
  // day within is taken.
  int64_t time = 0;
  std::string problem;
  EXPECT_FALSE(parse_time("yesterday", INT64_MIN + 1, &time, &problem));
  EXPECT_FALSE(parse_time("today", INT64_MIN + 1, &time, &problem));
  EXPECT_FALSE(parse_time("tomorrow", INT64_MAX, &time, &problem));
  ASSERT_TRUE(parse_time("today", INT64_MAX, &time, &problem)) << problem;
  EXPECT_LE(time, INT64_MAX);
  EXPECT_GT(time, INT64_MAX - 2 * kDay);
  ASSERT_TRUE(parse_time("tomorrow", INT64_MIN + 1, &time, &problem)) << problem;
  EXPECT_LT(time, INT64_MIN + 2 * kDay);
}

TEST(SelectionLevels, TakesNamesNumbersAndRangesInEitherOrder) {
  EXPECT_EQ(parse_level("emerg"), 0);
  EXPECT_EQ(parse_level("emergency"), 0);
  EXPECT_EQ(parse_level("crit"), 2);
  EXPECT_EQ(parse_level("err"), 3);
  EXPECT_EQ(parse_level("error"), 3);
  EXPECT_EQ(parse_level("warn"), 4);
  EXPECT_EQ(parse_level("debug"), 7);
  EXPECT_EQ(parse_level("5"), 5);
  for (const char *text : {"8", "-1", "", "ERR", "infos", "07"}) EXPECT_EQ(parse_level(text), -1);

  // Which of the eight levels a --priority keeps.
  const auto kept = [](const std::string &priority) {
    Selection selection;
    std::string problem;
    EXPECT_TRUE(selection.set_priority(priority, &problem)) << priority;
    std::string levels;
    for (int level = 0; level < 8; ++level)
      if (selection.accepts(true, level, 0, "", 0)) levels += static_cast<char>('0' + level);
    return levels;
  };
  EXPECT_EQ(kept("err"), "0123");
  EXPECT_EQ(kept("0"), "0");
  EXPECT_EQ(kept("debug"), "01234567");
  EXPECT_EQ(kept("err..warning"), "34");
  EXPECT_EQ(kept("warning..err"), "34");
  EXPECT_EQ(kept("notice..notice"), "5");
  Selection selection;
  std::string problem;
  for (const char *text : {"", "loud", "err..", "..err", "err...warning", "3..9"})
    EXPECT_FALSE(selection.set_priority(text, &problem)) << text;
}

TEST(SelectionOfMessages, TimeAndLevelKeepOnlyEntriesAndThePatternAppliesToAll) {
  Selection none;
  EXPECT_FALSE(none.active());
  EXPECT_TRUE(none.accepts(false, -1, 0, "raw", 3));

  Selection by_time;
  std::string problem;
  ASSERT_TRUE(by_time.set_since("@100", kNow, &problem));
  ASSERT_TRUE(by_time.set_until("@200", kNow, &problem));
  EXPECT_TRUE(by_time.accepts(true, 6, 100 * kSecond, "", 0));  // both ends belong
  EXPECT_TRUE(by_time.accepts(true, 6, 200 * kSecond, "", 0));
  EXPECT_FALSE(by_time.accepts(true, 6, 100 * kSecond - 1, "", 0));
  EXPECT_FALSE(by_time.accepts(true, 6, 200 * kSecond + 1, "", 0));
  EXPECT_FALSE(by_time.accepts(false, -1, 150 * kSecond, "raw", 3));  // no time: left out

  Selection by_pattern;
  ASSERT_TRUE(by_pattern.set_pattern("^disk (full|gone)$", false, &problem));
  EXPECT_TRUE(by_pattern.accepts(false, -1, 0, "disk full", 9));
  EXPECT_TRUE(by_pattern.accepts(true, 3, 0, "disk gone", 9));
  EXPECT_FALSE(by_pattern.accepts(true, 3, 0, "Disk full", 9));
  // Only the message's own bytes are matched: not what lies after them, and
  // a NUL byte ends nothing.
  EXPECT_FALSE(by_pattern.accepts(true, 3, 0, "disk fullness", 9 + 1));
  EXPECT_TRUE(by_pattern.accepts(true, 3, 0, "disk fullness", 9));
  Selection across_nul;
  ASSERT_TRUE(across_nul.set_pattern("xb$", false, &problem));
  EXPECT_FALSE(across_nul.accepts(false, -1, 0, std::string("a\0c", 3).data(), 3));
  EXPECT_TRUE(across_nul.accepts(false, -1, 0, std::string("a\0xb", 4).data(), 4));
  Selection ignoring_case;
  ASSERT_TRUE(ignoring_case.set_pattern("^disk FULL", true, &problem));
  EXPECT_TRUE(ignoring_case.accepts(false, -1, 0, "Disk full", 9));
  EXPECT_FALSE(ignoring_case.set_pattern("(unclosed", false, &problem));
  EXPECT_NE(problem.find("(unclosed"), std::string::npos) << problem;

  // Conditions together: each must hold.
  Selection all;
  ASSERT_TRUE(all.set_priority("err", &problem));
  ASSERT_TRUE(all.set_pattern("disk", false, &problem));
  EXPECT_TRUE(all.accepts(true, 2, 0, "disk", 4));
  EXPECT_FALSE(all.accepts(true, 4, 0, "disk", 4));
  EXPECT_FALSE(all.accepts(true, 2, 0, "net", 3));
  EXPECT_FALSE(all.accepts(false, -1, 0, "disk", 4));
}
