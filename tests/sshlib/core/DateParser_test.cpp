// strftime-style formatting against the C library's strftime (C locale), and the small date and
// system helpers.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <unistd.h>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/DateParser.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/core/StringBuffer.h"

namespace {

std::string ours(const char *format, const struct tm &t) {
  char buf[512];
  const size_t n = DateParser::strFtime(buf, sizeof(buf), format, &t);
  return std::string(buf, n);
}

std::string libc(const char *format, const struct tm &t) {
  char buf[512];
  const size_t n = strftime(buf, sizeof(buf), format, &t);
  return std::string(buf, n);
}

} // namespace

TEST(DateParser, StrFtimeMatchesTheCLibrary) {
  ASSERT_STREQ(setlocale(LC_TIME, nullptr), "C");
  const char *conversions = "aAbBCcDdeFGgHhIjklMmnpRrSsTtUuVWwXxYyZz%";
  std::mt19937_64 rng(822);
  for (int round = 0; round < 3000; ++round) {
    // 1900 to 2200, weighted towards year ends (ISO weeks) and both halves of the day.
    time_t t = static_cast<time_t>(static_cast<int64_t>(rng() % 9467280000ULL) - 2208988800LL);
    if (round % 3 == 0) t = t - t % 86400 + (rng() % 2 ? 0 : 43200);
    struct tm tmv;
    if (round % 2)
      gmtime_r(&t, &tmv);
    else
      localtime_r(&t, &tmv);
    for (const char *c = conversions; *c; ++c) {
      const std::string f = std::string("[%") + *c + "]";
      EXPECT_EQ(ours(f.c_str(), tmv), libc(f.c_str(), tmv)) << f << " at " << t;
    }
  }
  struct tm tmv;
  const time_t t = 784111777;
  gmtime_r(&t, &tmv);
  EXPECT_EQ(ours("%a, %d %b %Y %H:%M:%S ", tmv), "Sun, 06 Nov 1994 08:49:37 ");
  EXPECT_EQ(ours(nullptr, tmv), libc("%c", tmv));
  EXPECT_EQ(ours("%+", tmv), "Sun Nov  6 08:49:37 GMT 1994");
  EXPECT_EQ(ours("%v", tmv), " 6-Nov-1994");
  EXPECT_EQ(ours("%Q%", tmv), "Q%") << "unknown conversions are copied";
  tmv.tm_wday = 9;
  tmv.tm_mon = -1;
  EXPECT_EQ(ours("%a %A %b %B", tmv), "? ? ? ?");
}

TEST(DateParser, StrFtimeReportsAFullBuffer) {
  struct tm tmv;
  const time_t t = 0;
  gmtime_r(&t, &tmv);
  char buf[8] = "xxxxxxx";
  EXPECT_EQ(DateParser::strFtime(buf, sizeof(buf), "%Y-%m-%d", &tmv), 0u);
  EXPECT_EQ(DateParser::strFtime(buf, sizeof(buf), "%Y-%m", &tmv), 7u);
  EXPECT_STREQ(buf, "1970-01");
  EXPECT_EQ(DateParser::strFtime(buf, 0, "%Y", &tmv), 0u);
}

TEST(DateParser, LeapYearsAndCurrentTime) {
  EXPECT_TRUE(DateParser::IsLeapYear(2000));
  EXPECT_TRUE(DateParser::IsLeapYear(2024));
  EXPECT_FALSE(DateParser::IsLeapYear(1900));
  EXPECT_FALSE(DateParser::IsLeapYear(2023));

  DataBuffer db;
  db.append("junk", 4);
  DateParser::GetCurrentUtcTime(db);
  ASSERT_EQ(db.getSize(), 8u);
  const unsigned char *p = db.getData2();
  const unsigned int low = p[0] | p[1] << 8 | p[2] << 16 | static_cast<unsigned int>(p[3]) << 24;
  const unsigned int high = p[4] | p[5] << 8 | p[6] << 16 | static_cast<unsigned int>(p[7]) << 24;
  RazudodFileTime ft;
  ft.setFileTime(low, high);
  // The same clock as time(): a generous window, no timing assumption.
  EXPECT_LT(std::llabs(static_cast<long long>(ft.m_seconds - time(nullptr))), 86400LL);

  RazudodSysTime st;
  st.getCurrentGmt();
  EXPECT_FALSE(st.m_local);
  EXPECT_GE(st.m_year, 2024);
}

TEST(Psdk, SystemQueries) {
  EXPECT_EQ(Psdk::getAnsiCodePage(), 28591);
  EXPECT_EQ(Psdk::getOemCodePage(), 28591);
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
  StringBuffer sb;
  sb.append("stale");
  Psdk::getComputerName(sb);
  EXPECT_STREQ(sb.getString(), host);
  Psdk::getUsername(sb);
  EXPECT_EQ(std::string(sb.getString()).find("stale"), std::string::npos);
  Psdk::sleepMs(0);
  Psdk::sleepMs(-5);
  Psdk::sleepMs(1);
}
