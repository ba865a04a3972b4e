#include "sshlib/core/DateParser.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/core/RazudodTimeZone.h"
#include "sshlib/core/StringBuffer.h"

namespace {

const char *const daysCap[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const monthsCap[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char *const _days[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                              "Thursday", "Friday", "Saturday"};
const char *const _months[12] = {"January",   "February", "March",    "April",
                                 "May",       "June",     "July",     "August",
                                 "September", "October",  "November", "December"};

// "+0200", "-0500", "+0530" from a bias in minutes west of UTC.
std::string zoneText(int bias) {
  char buf[32];
  // The sign is that of the offset itself: hours alone would lose it for zones west of UTC by
  // less than an hour (-0030 written as +0030).
  std::snprintf(buf, sizeof(buf), "%c%.2d%.2d", bias > 0 ? '-' : '+', std::abs(bias) / 60,
                std::abs(bias) % 60);
  return buf;
}

// The ISO 8601 week-based year and week of a broken-down time.
void isoWeek(const struct tm *t, int &isoYear, int &week) {
  const int year = t->tm_year + 1900;
  const int wday = (t->tm_wday + 6) % 7; // Monday = 0
  // Day of the year of this week's Thursday.
  int thursday = t->tm_yday - wday + 3;
  auto daysIn = [](int y) { return DateParser::IsLeapYear(y) ? 366 : 365; };
  isoYear = year;
  if (thursday < 0) {
    isoYear = year - 1;
    thursday += daysIn(isoYear);
  } else if (thursday >= daysIn(year)) {
    thursday -= daysIn(year);
    isoYear = year + 1;
  }
  week = thursday / 7 + 1;
}

class Formatter {
public:
  explicit Formatter(const struct tm *t) : m_t(t) {}

  void run(const char *f) {
    for (; *f; ++f) {
      if (*f != '%') {
        m_out += *f;
        continue;
      }
      if (f[1] == 0) {
        m_out += '%';
        break;
      }
      conversion(*++f);
    }
  }

  std::string m_out;

private:
  void num(long v, int width, char pad = '0') {
    char buf[32];
    if (pad == '0')
      std::snprintf(buf, sizeof(buf), "%0*ld", width, v);
    else
      std::snprintf(buf, sizeof(buf), "%*ld", width, v);
    m_out += buf;
  }
  static const char *name(const char *const *table, int n, int i) {
    return (i >= 0 && i < n) ? table[i] : "?";
  }
  int hour12() const {
    const int h = m_t->tm_hour % 12;
    return h == 0 ? 12 : h;
  }

  void conversion(char c) {
    const struct tm *t = m_t;
    switch (c) {
    case 'a':
      m_out += name(daysCap, 7, t->tm_wday);
      break;
    case 'A':
      m_out += name(_days, 7, t->tm_wday);
      break;
    case 'b':
    case 'h':
      m_out += name(monthsCap, 12, t->tm_mon);
      break;
    case 'B':
      m_out += name(_months, 12, t->tm_mon);
      break;
    case 'C':
      num((t->tm_year + 1900L) / 100, 2);
      break;
    case 'c':
      run("%a %b %e %H:%M:%S %Y");
      break;
    case 'D':
      run("%m/%d/%y");
      break;
    case 'd':
      num(t->tm_mday, 2);
      break;
    case 'e':
      num(t->tm_mday, 2, ' ');
      break;
    case 'F':
      run("%Y-%m-%d");
      break;
    case 'H':
      num(t->tm_hour, 2);
      break;
    case 'I':
      num(hour12(), 2);
      break;
    case 'j':
      num(t->tm_yday + 1, 3);
      break;
    case 'k':
      num(t->tm_hour, 2, ' ');
      break;
    case 'l':
      num(hour12(), 2, ' ');
      break;
    case 'M':
      num(t->tm_min, 2);
      break;
    case 'm':
      num(t->tm_mon + 1, 2);
      break;
    case 'n':
      m_out += '\n';
      break;
    case 'p':
      m_out += t->tm_hour < 12 ? "AM" : "PM";
      break;
    case 'R':
      run("%H:%M");
      break;
    case 'r':
      run("%I:%M:%S %p");
      break;
    case 'S':
      num(t->tm_sec, 2);
      break;
    case 's': {
      struct tm copy = *t;
      m_out += std::to_string(static_cast<long long>(mktime(&copy)));
      break;
    }
    case 'T':
      run("%H:%M:%S");
      break;
    case 't':
      m_out += '\t';
      break;
    case 'U':
      num((t->tm_yday + 7 - t->tm_wday) / 7, 2);
      break;
    case 'u':
      num(t->tm_wday == 0 ? 7 : t->tm_wday, 1);
      break;
    case 'G':
    case 'g':
    case 'V': {
      int y, w;
      isoWeek(t, y, w);
      if (c == 'G')
        num(y, 1);
      else if (c == 'g')
        num(((y % 100) + 100) % 100, 2);
      else
        num(w, 2);
      break;
    }
    case 'v':
      run("%e-%b-%Y");
      break;
    case 'W':
      num((t->tm_yday + 7 - (t->tm_wday + 6) % 7) / 7, 2);
      break;
    case 'w':
      num(t->tm_wday, 1);
      break;
    case 'X':
      run("%H:%M:%S");
      break;
    case 'x':
      run("%m/%d/%y");
      break;
    case 'Y':
      num(t->tm_year + 1900L, 1);
      break;
    case 'y':
      num(((t->tm_year + 1900L) % 100 + 100) % 100, 2);
      break;
    case 'Z':
      if (t->tm_zone) m_out += t->tm_zone;
      break;
    case 'z': {
      const long off = t->tm_gmtoff;
      const long a = off < 0 ? -off : off;
      m_out += off < 0 ? '-' : '+';
      num(a / 3600, 2);
      num(a / 60 % 60, 2);
      break;
    }
    case '+':
      run("%a %b %e %H:%M:%S %Z %Y");
      break;
    default:
      m_out += c;
      break;
    }
  }

  const struct tm *m_t;
};

} // namespace

bool DateParser::IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

namespace {

void rfc822(RazudodSysTime &st, const std::string &zone, StringBuffer &out) {
  if (st.m_dayOfWeek > 6) st.m_dayOfWeek = 0;
  if (st.m_month < 1 || st.m_month > 12) st.m_month = 1;
  char buf[128];
  std::snprintf(buf, sizeof(buf), "%s, %02d %s %d %02d:%02d:%02d ", daysCap[st.m_dayOfWeek],
                st.m_day, monthsCap[st.m_month - 1], st.m_year, st.m_hour, st.m_minute,
                st.m_second);
  out.clear();
  out.append(buf);
  out.append(zone.c_str());
}

} // namespace

void DateParser::generateDateRFC822(RazudodSysTime &st, StringBuffer &out) {
  std::string zone = "GMT";
  if (st.m_local) {
    RazudodTimeZone tz;
    zone = zoneText(tz.getBias());
  }
  rfc822(st, zone, out);
}

void DateParser::generateLocalDateRFC822(int64_t unixSeconds, StringBuffer &out) {
  // The offset of that moment, not of today: a summer date read in winter keeps its summer time.
  const long offset = RazudodTimeZone::offsetAt(unixSeconds, nullptr);
  RazudodFileTime utc, local;
  UnixTimeToFileTime(unixSeconds, 0, utc);
  utc.toLocalFileTime(local);
  RazudodSysTime st;
  local.toSystemTime(st);
  rfc822(st, zoneText(static_cast<int>(-offset / 60)), out);
}

void DateParser::generateCurrentDateRFC822(StringBuffer &out) {
  RazudodTimeZone tz;
  const std::string zone = zoneText(tz.getBias());
  const time_t now = time(nullptr);
  struct tm tmv;
  out.clear();
  if (localtime_r(&now, &tmv) == nullptr) return;
  char buf[200];
  strFtime(buf, sizeof(buf), "%a, %d %b %Y %H:%M:%S ", &tmv);
  out.append(buf);
  out.append(zone.c_str());
}

int64_t DateParser::FileTimeToUnixTime(RazudodFileTime &ft, unsigned int *nanos) {
  const int64_t v = static_cast<int64_t>(ft.getFileTime64()) - RazudodFileTime::kUnixEpochFileTime;
  if (nanos) *nanos = static_cast<unsigned int>((v % 10000000) * 100);
  return v / 10000000;
}

void DateParser::UnixTimeToFileTime(int64_t seconds, unsigned int nanos, RazudodFileTime &ft) {
  const uint64_t v = static_cast<uint64_t>(seconds) * 10000000u + nanos / 100u +
                     static_cast<uint64_t>(RazudodFileTime::kUnixEpochFileTime);
  ft.setFileTime(static_cast<unsigned int>(v & 0xFFFFFFFFu), static_cast<unsigned int>(v >> 32));
}

void DateParser::GetCurrentUtcTime(DataBuffer &buf) {
  RazudodFileTime ft;
  ft.getCurrentGmt();
  buf.clear();
  const unsigned int words[2] = {ft.getLowDateTime(), ft.getHighDateTime()};
  for (unsigned int w : words) {
    const unsigned char b[4] = {static_cast<unsigned char>(w), static_cast<unsigned char>(w >> 8),
                                static_cast<unsigned char>(w >> 16),
                                static_cast<unsigned char>(w >> 24)};
    buf.append(b, 4);
  }
}

void DateParser::FileTimeToString(RazudodFileTime &ft, StringBuffer &out) {
  RazudodSysTime st;
  ft.toSystemTime(st);
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%02d/%02d/%04d %02d:%02d:%02d", st.m_month, st.m_day, st.m_year,
                st.m_hour, st.m_minute, st.m_second);
  out.append(buf);
}

size_t DateParser::strFtime(char *buf, unsigned long size, const char *format, const struct tm *t) {
  if (buf == nullptr || size == 0 || t == nullptr) return 0;
  Formatter f(t);
  f.run(format ? format : "%c");
  if (f.m_out.size() >= size) {
    // As strftime: the output did not fit.
    buf[0] = 0;
    return 0;
  }
  std::memcpy(buf, f.m_out.data(), f.m_out.size());
  buf[f.m_out.size()] = 0;
  return f.m_out.size();
}
