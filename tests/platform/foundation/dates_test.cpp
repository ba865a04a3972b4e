#include "platform/foundation/DateFormatter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

using namespace platform;

namespace {

WallTime at(long long seconds, long long millis = 0) {
  return WallTime(std::chrono::duration_cast<WallTime::duration>(
      std::chrono::seconds(seconds) + std::chrono::milliseconds(millis)));
}

// 2026-12-06 21:33:52 GMT, a Sunday; 2026-12-07 02:00 GMT is still the 6th in New York.
const long long kSunday = 1796592832;
const long long kAfterMidnightGMT = 1796608800;
const long long kJuly = 1783166400; // 2026-07-04 12:00 GMT, daylight-saving time in New York

// Pins TZ to a POSIX rule (no time zone database needed) and restores it afterwards.
class DatesTest : public ::testing::Test {
protected:
  void SetUp() override {
    const char *tz = std::getenv("TZ");
    if (tz) oldTZ_ = tz;
    hadTZ_ = tz != nullptr;
    setTZ("EST5EDT,M3.2.0,M11.1.0");
  }
  void TearDown() override {
    if (hadTZ_)
      ::setenv("TZ", oldTZ_.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }
  static void setTZ(const char *tz) {
    ::setenv("TZ", tz, 1);
    ::tzset();
  }

private:
  std::string oldTZ_;
  bool hadTZ_ = false;
};

TEST_F(DatesTest, SharedFixedFormatsInLocalTimeAndGMT) {
  DateFormatter dateOnly("yyyy-MM-dd");
  DateFormatter nicely("MMM. dd, yyyy");
  DateFormatter http("EEE, dd MMM yyyy HH:mm:ss", TimeZone::GMT);
  DateFormatter httpLog("dd/MMM/yyyy:HH:mm:ss", TimeZone::GMT);

  EXPECT_EQ(dateOnly.stringFromDate(at(kSunday)), "2026-12-06");
  EXPECT_EQ(nicely.stringFromDate(at(kSunday)), "Dec. 06, 2026");
  EXPECT_EQ(http.stringFromDate(at(kSunday)), "Sun, 06 Dec 2026 21:33:52");
  EXPECT_EQ(httpLog.stringFromDate(at(kSunday)), "06/Dec/2026:21:33:52");

  // Two hours after midnight GMT it is still the evening before in New York.
  EXPECT_EQ(dateOnly.stringFromDate(at(kAfterMidnightGMT)), "2026-12-06");
  EXPECT_EQ(http.stringFromDate(at(kAfterMidnightGMT)), "Mon, 07 Dec 2026 02:00:00");
  dateOnly.setTimeZone(TimeZone::GMT);
  EXPECT_EQ(dateOnly.stringFromDate(at(kAfterMidnightGMT)), "2026-12-07");

  // The pattern is English whatever the locale says.
  http.setLocale("de_DE");
  EXPECT_EQ(http.stringFromDate(at(kSunday)), "Sun, 06 Dec 2026 21:33:52");
}

TEST_F(DatesTest, MediumDateShortTimeFollowsTheLocale) {
  DateFormatter output(DateFormatter::Style::Medium, DateFormatter::Style::Short);
  output.setLocale("en_US");
  EXPECT_EQ(output.stringFromDate(at(kSunday)), "Dec 6, 2026, 4:33 PM");
  EXPECT_EQ(output.stringFromDate(at(kJuly)), "Jul 4, 2026, 8:00 AM") << "daylight-saving time";
  output.setTimeZone(TimeZone::GMT);
  EXPECT_EQ(output.stringFromDate(at(kSunday)), "Dec 6, 2026, 9:33 PM");
  output.setLocale("de_DE");
  EXPECT_EQ(output.stringFromDate(at(kSunday)), "06.12.2026, 21:33");

  DateFormatter dateOnly(DateFormatter::Style::Medium, DateFormatter::Style::None);
  dateOnly.setLocale("en_US");
  EXPECT_EQ(dateOnly.stringFromDate(at(kSunday)), "Dec 6, 2026");
}

TEST_F(DatesTest, PatternLettersAndLiterals) {
  auto fmt = [](const char *pattern, WallTime t, TimeZone z = TimeZone::Local) {
    return DateFormatter(pattern, z).stringFromDate(t);
  };
  EXPECT_EQ(fmt("yy y yyyyy", at(kSunday)), "26 2026 02026");
  EXPECT_EQ(fmt("M MM MMM MMMM MMMMM", at(kSunday)), "12 12 Dec December D");
  EXPECT_EQ(fmt("E EEEE EEEEE D", at(kSunday)), "Sun Sunday S 340");
  EXPECT_EQ(fmt("h:mm a H k K", at(kSunday)), "4:33 PM 16 16 4");
  const long long midnightGMT = kSunday - (21 * 3600 + 33 * 60 + 52);
  EXPECT_EQ(fmt("hh a kk KK", at(midnightGMT), TimeZone::GMT), "12 AM 24 00");
  EXPECT_EQ(fmt("h a H", at(midnightGMT + 12 * 3600), TimeZone::GMT), "12 PM 12");
  EXPECT_EQ(fmt("ss.SSS S", at(kSunday, 999)), "52.999 9") << "fractions are cut, not rounded";
  EXPECT_EQ(fmt("Z ZZZZZ z", at(kSunday)), "-0500 -05:00 EST");
  EXPECT_EQ(fmt("Z z", at(kJuly)), "-0400 EDT");
  EXPECT_EQ(fmt("Z ZZZZZ z", at(kSunday), TimeZone::GMT), "+0000 Z GMT");
  EXPECT_EQ(fmt("yyyy-MM-dd'T'HH:mm:ss", at(kSunday), TimeZone::GMT), "2026-12-06T21:33:52");
  EXPECT_EQ(fmt("h 'o''clock' '' 'it''s'", at(kSunday)), "4 o'clock ' it's");
  EXPECT_EQ(fmt("'unterminated", at(kSunday)), "unterminated");
  EXPECT_EQ(fmt("", at(kSunday)), "");
  EXPECT_EQ(fmt("GGGG G", at(kSunday)), "Anno Domini AD");
}

TEST_F(DatesTest, TimeZoneChangesAreSeenAtOnce) {
  DateFormatter f("HH:mm");
  EXPECT_EQ(f.stringFromDate(at(kSunday)), "16:33");
  setTZ("JST-9");
  EXPECT_EQ(f.stringFromDate(at(kSunday)), "06:33");
  EXPECT_EQ(GregorianCalendar::components(at(kSunday)).day, 7);
  EXPECT_EQ(GregorianCalendar::secondsFromGMT(at(kSunday)), 9 * 3600);
}

TEST_F(DatesTest, CalendarComponents) {
  DateComponents c = GregorianCalendar::components(at(kSunday, 250), TimeZone::GMT);
  EXPECT_EQ(c.year, 2026);
  EXPECT_EQ(c.month, 12);
  EXPECT_EQ(c.day, 6);
  EXPECT_EQ(c.hour, 21);
  EXPECT_EQ(c.minute, 33);
  EXPECT_EQ(c.second, 52);
  EXPECT_EQ(c.weekday, 1) << "Sunday is 1";
  EXPECT_EQ(c.nanosecond, 250000000);

  c = GregorianCalendar::components(at(kSunday));
  EXPECT_EQ(c.hour, 16);
  EXPECT_EQ(GregorianCalendar::components(at(kAfterMidnightGMT)).weekday, 1);
  EXPECT_EQ(GregorianCalendar::components(at(kAfterMidnightGMT), TimeZone::GMT).weekday, 2);

  // Before 1970, with a fraction: the second below is still 23:59:59.
  c = GregorianCalendar::components(at(-1, 500), TimeZone::GMT);
  EXPECT_EQ(c.year, 1969);
  EXPECT_EQ(c.second, 59);
  EXPECT_EQ(c.nanosecond, 500000000);
  EXPECT_EQ(c.weekday, 4);
}

TEST_F(DatesTest, DatesFromComponents) {
  DateComponents c;
  c.year = 2026;
  c.month = 12;
  c.day = 6;
  c.hour = 21;
  c.minute = 33;
  c.second = 52;
  EXPECT_EQ(GregorianCalendar::dateFromComponents(c, TimeZone::GMT), at(kSunday));
  c.hour = 16;
  EXPECT_EQ(GregorianCalendar::dateFromComponents(c), at(kSunday)) << "local time";

  // Out-of-range values carry over.
  DateComponents carry{2024, 13, 1, 0, 0, 0, 0, 0};
  auto d = GregorianCalendar::dateFromComponents(carry, TimeZone::GMT);
  ASSERT_TRUE(d);
  DateComponents back = GregorianCalendar::components(*d, TimeZone::GMT);
  EXPECT_EQ(back.year, 2025);
  EXPECT_EQ(back.month, 1);
  DateComponents dayZero{2024, 3, 0, 12, 0, 0, 0, 0};
  back = GregorianCalendar::components(*GregorianCalendar::dateFromComponents(dayZero));
  EXPECT_EQ(back.month, 2);
  EXPECT_EQ(back.day, 29) << "leap year";

  // 02:30 does not exist on the day clocks go forward; it lands an hour later.
  DateComponents gap{2026, 3, 8, 2, 30, 0, 0, 0};
  back = GregorianCalendar::components(*GregorianCalendar::dateFromComponents(gap));
  EXPECT_EQ(back.hour, 3);
  EXPECT_EQ(back.minute, 30);

  DateComponents beforeEpoch{1969, 12, 31, 23, 59, 59, 0, 0};
  EXPECT_EQ(GregorianCalendar::dateFromComponents(beforeEpoch, TimeZone::GMT), at(-1));
  DateComponents huge{2000000000, 1, 1, 0, 0, 0, 0, 0};
  EXPECT_FALSE(GregorianCalendar::dateFromComponents(huge, TimeZone::GMT));
}

TEST_F(DatesTest, OneFormatterServesSeveralThreads) {
  DateFormatter log("dd/MMM/yyyy:HH:mm:ss", TimeZone::GMT);
  DateFormatter output(DateFormatter::Style::Medium, DateFormatter::Style::Short);
  output.setLocale("en_US");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(log.stringFromDate(at(kSunday)), "06/Dec/2026:21:33:52");
        EXPECT_EQ(output.stringFromDate(at(kSunday)), "Dec 6, 2026, 4:33 PM");
      }
    });
  }
  for (auto &th : threads)
    th.join();
}

} // namespace
