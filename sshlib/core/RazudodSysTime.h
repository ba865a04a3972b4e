#pragma once

#include <cstdint>

class RazudodFileTime;

// The calendar record of the public date interface (a Windows SYSTEMTIME plus the daylight flag).
struct _SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
  int32_t daylight;
};

// A calendar record used by file metadata and SFTP attributes.
class RazudodSysTime {
public:
  RazudodSysTime() = default;

  // The current UTC time, local flag false.
  void getCurrentGmt();
  // The fields as seconds; with a daylight field of 0 the fields are read as UTC.
  void toFileTime(RazudodFileTime &out);
  void toSYSTEMTIME(_SYSTEMTIME &out) const;
  void fromSYSTEMTIME(const _SYSTEMTIME &in);

  uint16_t m_year = 0;
  uint16_t m_month = 0;
  uint16_t m_dayOfWeek = 0;
  uint16_t m_day = 0;
  uint16_t m_hour = 0;
  uint16_t m_minute = 0;
  uint16_t m_second = 0;
  uint16_t m_milliseconds = 0;
  int32_t m_daylight = 0;
  bool m_local = false;
};
