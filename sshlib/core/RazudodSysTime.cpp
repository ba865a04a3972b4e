#include "sshlib/core/RazudodSysTime.h"

#include <ctime>

#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/RazudodTimeZone.h"

void RazudodSysTime::getCurrentGmt() {
  RazudodFileTime ft;
  ft.getCurrentGmt();
  ft.toSystemTime(*this);
  m_local = false;
}

void RazudodSysTime::toFileTime(RazudodFileTime &out) {
  struct tm tmv = {};
  tmv.tm_year = m_year - 1900;
  tmv.tm_mon = m_month - 1;
  tmv.tm_mday = m_day;
  tmv.tm_hour = m_hour;
  tmv.tm_min = m_minute;
  tmv.tm_sec = m_second;
  if (m_daylight == 0) {
    // The fields read as UTC.
    out.m_seconds = static_cast<int64_t>(timegm(&tmv));
    return;
  }
  tmv.tm_isdst = m_daylight;
  const int64_t t = static_cast<int64_t>(mktime(&tmv));
  int isDst = 0;
  const long off = RazudodTimeZone::offsetAt(t, &isDst);
  out.m_seconds = t + off - (isDst > 0 ? 3600 : 0);
}

void RazudodSysTime::toSYSTEMTIME(_SYSTEMTIME &out) const {
  out.wYear = m_year;
  out.wMonth = m_month;
  out.wDayOfWeek = m_dayOfWeek;
  out.wDay = m_day;
  out.wHour = m_hour;
  out.wMinute = m_minute;
  out.wSecond = m_second;
  out.wMilliseconds = m_milliseconds;
  out.daylight = m_daylight;
}

void RazudodSysTime::fromSYSTEMTIME(const _SYSTEMTIME &in) {
  m_year = in.wYear;
  m_month = in.wMonth;
  m_dayOfWeek = in.wDayOfWeek;
  m_day = in.wDay;
  m_hour = in.wHour;
  m_minute = in.wMinute;
  m_second = in.wSecond;
  m_milliseconds = in.wMilliseconds;
  m_daylight = in.daylight;
  m_local = false;
}
