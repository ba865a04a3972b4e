#pragma once

#include <cstdint>

class RazudodSysTime;

// A file time: whole seconds since 1970-01-01 00:00:00 (UTC or local, as the operation that made
// it says), held in 64 bits so that times after 2038 survive. It can also be read and written as
// the two 32-bit words of a Windows FILETIME (100-nanosecond intervals since 1601-01-01).
class RazudodFileTime {
public:
  RazudodFileTime() = default;

  // FILETIME of second 0 of 1970.
  static constexpr int64_t kUnixEpochFileTime = 116444736000000000LL;

  unsigned int getLowDateTime() const;
  unsigned int getHighDateTime() const;
  void setFileTime(unsigned int low, unsigned int high);
  uint64_t getFileTime64() const;

  void fromUnixTime(long seconds, long unused = 0);
  int64_t toUnixTime();
  void getCurrentGmt();

  // Local time of this UTC time (the zone's offset at that instant added).
  void toLocalFileTime(RazudodFileTime &out);
  // UTC time of this local time: the exact inverse of toLocalFileTime. A local time that occurs
  // twice (the hour repeated when summer time ends) gives the earlier instant; one that does not
  // occur (the hour skipped when it begins) is read with the offset in force before the change.
  void toGmtFileTime(RazudodFileTime &out);
  void toSystemTime(RazudodSysTime &out);
  void clear() { m_seconds = 0; }

  int64_t m_seconds = 0;
};
