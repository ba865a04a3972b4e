#pragma once

#include <cstdint>
#include <ctime>

class RazudodFileTime;
class RazudodSysTime;
class StringBuffer;
class DataBuffer;

// Date texts and conversions between Unix seconds and FILETIME values.
class DateParser {
public:
  DateParser() = default;
  virtual ~DateParser() = default;

  static bool IsLeapYear(int year);
  // Replaces out with the record as RFC 822 text ("Sun, 06 Nov 1994 08:49:37 GMT"). A day of
  // week above 6 or a month outside 1..12 is first corrected in the record (to 0 and 1).
  static void generateDateRFC822(RazudodSysTime &st, StringBuffer &out);
  static void generateCurrentDateRFC822(StringBuffer &out);
  // Replaces out with a Unix time as RFC 822 text in local time, with the offset from UTC in
  // force at that time ("Fri, 14 Jul 2017 04:40:00 +0200").
  static void generateLocalDateRFC822(int64_t unixSeconds, StringBuffer &out);

  // Seconds since 1970 of a file time; when nanos is given it receives the sub-second part.
  static int64_t FileTimeToUnixTime(RazudodFileTime &ft, unsigned int *nanos);
  static void UnixTimeToFileTime(int64_t seconds, unsigned int nanos, RazudodFileTime &ft);
  // Replaces buf with the current FILETIME: low word, then high word, each little-endian.
  static void GetCurrentUtcTime(DataBuffer &buf);
  // Appends "MM/DD/YYYY hh:mm:ss" (UTC).
  static void FileTimeToString(RazudodFileTime &ft, StringBuffer &out);

  // strftime in the C locale; a null format means "%c". The number of characters written
  // without the terminator, or 0 when the output filled the whole buffer.
  static size_t strFtime(char *buf, unsigned long size, const char *format, const struct tm *t);
};
