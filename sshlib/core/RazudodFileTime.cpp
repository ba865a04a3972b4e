#include "sshlib/core/RazudodFileTime.h"

#include <ctime>
#include <initializer_list>

#include "sshlib/core/DateParser.h"
#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/core/RazudodTimeZone.h"

uint64_t RazudodFileTime::getFileTime64() const {
  return static_cast<uint64_t>(m_seconds) * 10000000u + static_cast<uint64_t>(kUnixEpochFileTime);
}

unsigned int RazudodFileTime::getLowDateTime() const {
  return static_cast<unsigned int>(getFileTime64() & 0xFFFFFFFFu);
}

unsigned int RazudodFileTime::getHighDateTime() const {
  return static_cast<unsigned int>(getFileTime64() >> 32);
}

void RazudodFileTime::setFileTime(unsigned int low, unsigned int high) {
  const int64_t ft = static_cast<int64_t>(static_cast<uint64_t>(high) << 32 | low);
  // Both operands fit in 64 bits; the division truncates toward zero.
  m_seconds = (ft - kUnixEpochFileTime) / 10000000;
}

void RazudodFileTime::fromUnixTime(long seconds, long) {
  m_seconds = seconds;
}

int64_t RazudodFileTime::toUnixTime() {
  return DateParser::FileTimeToUnixTime(*this, nullptr);
}

void RazudodFileTime::getCurrentGmt() {
  m_seconds = static_cast<int64_t>(time(nullptr));
}

void RazudodFileTime::toLocalFileTime(RazudodFileTime &out) {
  out.m_seconds = m_seconds + RazudodTimeZone::offsetAt(m_seconds, nullptr);
}

void RazudodFileTime::toGmtFileTime(RazudodFileTime &out) {
  // Find t with t + offset(t) = local. The offset already includes summer time. Every offset
  // that can apply lies among those in force a day either side; try each and keep the earliest
  // instant that maps back exactly.
  const int64_t local = m_seconds;
  long tried[6];
  int n = 0;
  for (int64_t probe : {local - 86400, local, local + 86400}) {
    const long o = RazudodTimeZone::offsetAt(probe, nullptr);
    tried[n++] = o;
    tried[n++] = RazudodTimeZone::offsetAt(local - o, nullptr);
  }
  bool found = false;
  int64_t best = 0;
  int64_t earliest = local - tried[0];
  for (int i = 0; i < n; ++i) {
    const int64_t t = local - tried[i];
    if (t < earliest) earliest = t;
    if (t + RazudodTimeZone::offsetAt(t, nullptr) == local && (!found || t < best)) {
      best = t;
      found = true;
    }
  }
  if (!found) {
    // A local time skipped by the clock change: read it with the offset in force before it.
    best = local - RazudodTimeZone::offsetAt(earliest, nullptr);
  }
  out.m_seconds = best;
}

void RazudodFileTime::toSystemTime(RazudodSysTime &out) {
  const time_t t = static_cast<time_t>(m_seconds);
  struct tm tmv;
  if (gmtime_r(&t, &tmv) == nullptr) return;
  out.m_year = static_cast<uint16_t>(tmv.tm_year + 1900);
  out.m_month = static_cast<uint16_t>(tmv.tm_mon + 1);
  out.m_dayOfWeek = static_cast<uint16_t>(tmv.tm_wday);
  out.m_day = static_cast<uint16_t>(tmv.tm_mday);
  out.m_hour = static_cast<uint16_t>(tmv.tm_hour);
  out.m_minute = static_cast<uint16_t>(tmv.tm_min);
  out.m_second = static_cast<uint16_t>(tmv.tm_sec);
  out.m_milliseconds = 0;
  out.m_daylight = tmv.tm_isdst;
}
