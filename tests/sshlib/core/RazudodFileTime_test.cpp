// File times, calendar records and the local/UTC conversions, including a summer-time change in
// New York and times after 2038.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>

#include "sshlib/core/DateParser.h"
#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/core/RazudodTimeZone.h"
#include "sshlib/core/StringBuffer.h"

namespace {

// Sets TZ for the life of the object (the library reads the zone through localtime_r).
class ZoneGuard {
public:
  explicit ZoneGuard(const char *zone) {
    if (const char *old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (old_)
      setenv("TZ", old_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

private:
  std::optional<std::string> old_;
};

int64_t toLocal(int64_t t) {
  RazudodFileTime a, b;
  a.m_seconds = t;
  a.toLocalFileTime(b);
  return b.m_seconds;
}

int64_t toGmt(int64_t local) {
  RazudodFileTime a, b;
  a.m_seconds = local;
  a.toGmtFileTime(b);
  return b.m_seconds;
}

int64_t utc(int y, int mo, int d, int h, int mi) {
  struct tm t = {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  return static_cast<int64_t>(timegm(&t));
}

} // namespace

TEST(RazudodFileTime, FileTimeWords) {
  RazudodFileTime ft;
  EXPECT_EQ(ft.getLowDateTime(), 0xD53E8000u);
  EXPECT_EQ(ft.getHighDateTime(), 0x019DB1DEu);
  ft.m_seconds = 12345;
  ft.setFileTime(0xD53E8000u, 0x019DB1DEu);
  EXPECT_EQ(ft.m_seconds, 0);
  // 1.5 seconds before 1970 truncates toward zero.
  const uint64_t before = 116444736000000000ULL - 15000000ULL;
  ft.setFileTime(static_cast<unsigned int>(before), static_cast<unsigned int>(before >> 32));
  EXPECT_EQ(ft.m_seconds, -1);
  // Far beyond 2038: held in full.
  const int64_t y2100 = utc(2100, 1, 1, 0, 0);
  ft.fromUnixTime(static_cast<long>(y2100));
  RazudodFileTime back;
  back.setFileTime(ft.getLowDateTime(), ft.getHighDateTime());
  EXPECT_EQ(back.m_seconds, y2100);
  EXPECT_EQ(back.toUnixTime(), y2100);
  unsigned int nanos = 7;
  EXPECT_EQ(DateParser::FileTimeToUnixTime(back, &nanos), y2100);
  EXPECT_EQ(nanos, 0u);
  DateParser::UnixTimeToFileTime(y2100 + 5, 999, back);
  EXPECT_EQ(back.m_seconds, y2100 + 5);
  ft.clear();
  EXPECT_EQ(ft.m_seconds, 0);
}

TEST(RazudodFileTime, CalendarRecordsAndRfc822) {
  RazudodFileTime ft;
  ft.m_seconds = 784111777;
  RazudodSysTime st;
  st.m_local = true;
  ft.toSystemTime(st);
  EXPECT_EQ(st.m_year, 1994);
  EXPECT_EQ(st.m_month, 11);
  EXPECT_EQ(st.m_day, 6);
  EXPECT_EQ(st.m_hour, 8);
  EXPECT_EQ(st.m_minute, 49);
  EXPECT_EQ(st.m_second, 37);
  EXPECT_EQ(st.m_dayOfWeek, 0);
  EXPECT_EQ(st.m_daylight, 0);
  EXPECT_TRUE(st.m_local) << "the local flag is left as it was";
  st.m_local = false;
  StringBuffer sb;
  sb.append("old");
  DateParser::generateDateRFC822(st, sb);
  EXPECT_STREQ(sb.getString(), "Sun, 06 Nov 1994 08:49:37 GMT");
  // Out-of-range fields are corrected in the record itself.
  st.m_month = 13;
  st.m_dayOfWeek = 9;
  DateParser::generateDateRFC822(st, sb);
  EXPECT_STREQ(sb.getString(), "Sun, 06 Jan 1994 08:49:37 GMT");
  EXPECT_EQ(st.m_month, 1);
  EXPECT_EQ(st.m_dayOfWeek, 0);

  _SYSTEMTIME sys;
  st.toSYSTEMTIME(sys);
  RazudodSysTime copy;
  copy.m_local = true;
  copy.fromSYSTEMTIME(sys);
  EXPECT_FALSE(copy.m_local);
  EXPECT_EQ(copy.m_year, 1994);
  EXPECT_EQ(copy.m_second, 37);

  RazudodFileTime zero;
  StringBuffer text;
  DateParser::FileTimeToString(zero, text);
  EXPECT_STREQ(text.getString(), "01/01/1970 00:00:00");
}

TEST(RazudodFileTime, RecordRoundTripInAnyZone) {
  for (const char *zone : {"UTC", "America/New_York", "Asia/Kolkata", "Australia/Lord_Howe"}) {
    ZoneGuard guard(zone);
    for (int64_t t :
         {int64_t{0}, int64_t{784111777}, utc(2026, 3, 8, 7, 30), utc(2026, 7, 1, 12, 0),
          utc(2026, 11, 1, 6, 30), utc(2038, 1, 19, 3, 14) + 8, utc(2100, 6, 30, 23, 59)}) {
      RazudodFileTime ft, back;
      ft.m_seconds = t;
      RazudodSysTime st;
      ft.toSystemTime(st);
      st.toFileTime(back);
      EXPECT_EQ(back.m_seconds, t) << zone << " " << t;
    }
  }
}

TEST(RazudodFileTime, LocalAndGmtAreExactInversesAcrossSummerTime) {
  ZoneGuard guard("America/New_York");
  // Summer: noon UTC is 08:00 local, and back exactly (no extra hour).
  const int64_t july = utc(2026, 7, 1, 12, 0);
  EXPECT_EQ(toLocal(july), utc(2026, 7, 1, 8, 0));
  EXPECT_EQ(toGmt(utc(2026, 7, 1, 8, 0)), july);
  EXPECT_EQ(toLocal(utc(2026, 1, 15, 12, 0)), utc(2026, 1, 15, 7, 0));
  EXPECT_EQ(toGmt(utc(2026, 1, 15, 7, 0)), utc(2026, 1, 15, 12, 0));

  // Every quarter hour for a day either side of both changes of 2026 (and one after 2038).
  for (int64_t change : {utc(2026, 3, 8, 7, 0), utc(2026, 11, 1, 6, 0), utc(2040, 3, 11, 7, 0)}) {
    for (int64_t t = change - 86400; t <= change + 86400; t += 900) {
      const int64_t local = toLocal(t);
      const int64_t gmt = toGmt(local);
      EXPECT_EQ(toLocal(gmt), local) << t;
      const bool repeated = toLocal(t - 3600) == local || toLocal(t + 3600) == local;
      if (repeated) {
        // The hour shown twice in autumn: the earlier instant is chosen.
        EXPECT_EQ(gmt, toLocal(t - 3600) == local ? t - 3600 : t) << t;
      } else {
        EXPECT_EQ(gmt, t) << t;
      }
    }
  }
  // 02:30 on the spring morning never shows on a clock: it is read as standard time.
  EXPECT_EQ(toGmt(utc(2026, 3, 8, 2, 30)), utc(2026, 3, 8, 7, 30));
}

std::string libcTime(const char *format, time_t t, bool local) {
  struct tm tmv;
  if (local)
    localtime_r(&t, &tmv);
  else
    gmtime_r(&t, &tmv);
  char buf[128];
  return std::string(buf, strftime(buf, sizeof(buf), format, &tmv));
}

// RFC 822 dates of calendar records and of the current time, as the C library writes them; the
// zone text is the numeric offset also for zones west of UTC by less than an hour.
TEST(DateParser, Rfc822DatesAgreeWithStrftime) {
  std::mt19937_64 rng(1994);
  StringBuffer sb;
  for (int round = 0; round < 2000; ++round) {
    // 1900 to 2200.
    const time_t t =
        static_cast<time_t>(static_cast<int64_t>(rng() % 9467280000ULL) - 2208988800LL);
    RazudodFileTime ft;
    ft.m_seconds = t;
    RazudodSysTime st;
    ft.toSystemTime(st);
    st.m_local = false;
    DateParser::generateDateRFC822(st, sb);
    ASSERT_EQ(std::string(sb.getString()), libcTime("%a, %d %b %Y %H:%M:%S GMT", t, false)) << t;
  }
  for (const char *zone : {"UTC", "Asia/Kathmandu", "Pacific/Marquesas", "America/Phoenix",
                           "XXX0:30", "XXX-0:30", "XXX11:45"}) {
    ZoneGuard guard(zone);
    RazudodSysTime st;
    st.m_local = true;
    DateParser::generateDateRFC822(st, sb);
    const std::string offset = libcTime("%z", time(nullptr), true);
    EXPECT_TRUE(sb.endsWith((" " + offset).c_str())) << zone << ": " << sb.getString();

    const time_t before = time(nullptr);
    DateParser::generateCurrentDateRFC822(sb);
    const time_t after = time(nullptr);
    bool matched = false;
    for (time_t t = before; t <= after && !matched; ++t)
      matched = libcTime("%a, %d %b %Y %H:%M:%S %z", t, true) == sb.getString();
    EXPECT_TRUE(matched) << zone << ": " << sb.getString();
  }
}

TEST(RazudodTimeZone, BiasAndZoneText) {
  {
    ZoneGuard guard("Asia/Kolkata");
    EXPECT_EQ(RazudodTimeZone().getBias(), -330);
    RazudodSysTime st;
    st.m_year = 2020;
    st.m_month = 2;
    st.m_day = 3;
    st.m_dayOfWeek = 1;
    st.m_local = true;
    StringBuffer sb;
    DateParser::generateDateRFC822(st, sb);
    EXPECT_STREQ(sb.getString(), "Mon, 03 Feb 2020 00:00:00 +0530");
  }
  {
    ZoneGuard guard("EST5");
    EXPECT_EQ(RazudodTimeZone().getBias(), 300);
    RazudodSysTime st;
    st.m_local = true;
    StringBuffer sb;
    DateParser::generateDateRFC822(st, sb);
    EXPECT_TRUE(sb.endsWith(" -0500")) << sb.getString();
  }
  {
    ZoneGuard guard("XXX-2");
    EXPECT_EQ(RazudodTimeZone().getBias(), -120);
    StringBuffer sb;
    DateParser::generateCurrentDateRFC822(sb);
    EXPECT_TRUE(sb.endsWith(" +0200")) << sb.getString();
    EXPECT_EQ(sb.getSize(),
              static_cast<int>(std::string("Sun, 06 Nov 1994 08:49:37 +0200").size()));
  }
}
