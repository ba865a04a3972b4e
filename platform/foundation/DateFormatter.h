// Dates as the phone's formatters and Gregorian calendar give them. Fixed patterns are formatted
// the en_US_POSIX way (English month and day names, Gregorian, no locale preferences), so that
// HTTP dates, log lines and file names never depend on the user's language. Local time is the
// zone that TZ names (read again at every call).
#pragma once

#include "platform/foundation/Clock.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

enum class TimeZone { Local, GMT };

struct DateComponents {
  int year = 0;
  int month = 0; // 1-12
  int day = 0;   // 1-31
  int hour = 0;  // 0-23
  int minute = 0;
  int second = 0;
  int weekday = 0; // 1 = Sunday ... 7 = Saturday (ignored when making a date)
  int nanosecond = 0;
};

class GregorianCalendar {
public:
  static DateComponents components(WallTime date, TimeZone zone = TimeZone::Local);
  // Values out of range carry over (month 13 is January of the next year, day 0 the last day of
  // the month before). A local time that falls in a daylight-saving gap moves forward.
  // Nothing when the date cannot be represented.
  static std::optional<WallTime> dateFromComponents(const DateComponents &components,
                                                    TimeZone zone = TimeZone::Local);
  // Seconds east of GMT in force at the date in the zone.
  static long secondsFromGMT(WallTime date, TimeZone zone = TimeZone::Local);
};

class DateFormatter {
public:
  enum class Style { None, Short, Medium, Long, Full };

  // A fixed pattern ("yyyy-MM-dd", "EEE, dd MMM yyyy HH:mm:ss", ...). Letters: G y M L d D E a h
  // H k K m s S z Z; text in single quotes is literal ('' is a quote); other characters stand
  // as they are.
  explicit DateFormatter(std::string pattern, TimeZone zone = TimeZone::Local);
  // The locale's date and time styles (medium date with short time: "Dec 6, 2026, 9:41 PM" in
  // en_US).
  DateFormatter(Style dateStyle, Style timeStyle, TimeZone zone = TimeZone::Local);
  ~DateFormatter();
  DateFormatter(const DateFormatter &) = delete;
  DateFormatter &operator=(const DateFormatter &) = delete;

  void setDateFormat(std::string pattern);
  void setTimeZone(TimeZone zone);
  // Locale of the styles ("en_US"); empty: the process's locale (LC_ALL / LC_TIME / LANG).
  // Fixed patterns do not use it.
  void setLocale(std::string locale);

  // Safe to call from several threads at once.
  std::string stringFromDate(WallTime date) const;

private:
  std::string formatStyled(WallTime date) const;

  mutable std::mutex mutex_;
  std::string pattern_;
  bool styled_ = false;
  Style dateStyle_ = Style::None, timeStyle_ = Style::None;
  TimeZone zone_;
  std::string locale_;
};

} // namespace platform
