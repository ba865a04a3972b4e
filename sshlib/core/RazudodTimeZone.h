#pragma once

#include <cstdint>

// The local offset from UTC, taken when the object is built.
class RazudodTimeZone {
public:
  RazudodTimeZone();
  virtual ~RazudodTimeZone() = default;

  // Minutes west of UTC (UTC+2 gives -120, UTC-5 gives 300).
  int getBias() const;

  // The zone's offset east of UTC in seconds at instant t (localtime_r's tm_gmtoff) and, through
  // isDst when given, whether summer time is in force then; 0 when localtime_r fails.
  static long offsetAt(int64_t t, int *isDst);

  // Seconds east of UTC.
  long m_offsetSeconds;
};
