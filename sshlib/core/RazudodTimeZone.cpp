#include "sshlib/core/RazudodTimeZone.h"

#include <ctime>

RazudodTimeZone::RazudodTimeZone() {
  const time_t now = time(nullptr);
  struct tm tmv;
  m_offsetSeconds = localtime_r(&now, &tmv) ? tmv.tm_gmtoff : 28800;
}

int RazudodTimeZone::getBias() const {
  return static_cast<int>(m_offsetSeconds / -60);
}

long RazudodTimeZone::offsetAt(int64_t t, int *isDst) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tmv;
  if (localtime_r(&tt, &tmv) == nullptr) {
    if (isDst) *isDst = 0;
    return 0;
  }
  if (isDst) *isDst = tmv.tm_isdst;
  return tmv.tm_gmtoff;
}
