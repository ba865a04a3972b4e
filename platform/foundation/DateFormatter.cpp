#include "platform/foundation/DateFormatter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <unicode/udat.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

namespace platform {

namespace {

const char *const kMonths[] = {"January",   "February", "March",    "April",
                               "May",       "June",     "July",     "August",
                               "September", "October",  "November", "December"};
const char *const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                             "Thursday", "Friday", "Saturday"};

// Whole seconds (floor) and the nanoseconds past them.
void split(WallTime t, long long &seconds, int &nanos) {
  long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  seconds = ns / 1000000000;
  long long rest = ns % 1000000000;
  if (rest < 0) {
    rest += 1000000000;
    seconds -= 1;
  }
  nanos = static_cast<int>(rest);
}

struct Broken {
  std::tm tm{};
  int nanos = 0;
};

Broken breakDown(WallTime date, TimeZone zone) {
  Broken b;
  long long seconds;
  split(date, seconds, b.nanos);
  time_t t = static_cast<time_t>(seconds);
  if (zone == TimeZone::GMT) {
    gmtime_r(&t, &b.tm);
  } else {
    ::tzset(); // pick up a TZ that changed since the last call
    localtime_r(&t, &b.tm);
  }
  return b;
}

void pad(std::string &out, long value, size_t width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*ld", static_cast<int>(width), value);
  out += buf;
}

std::string zoneOffset(long seconds, bool colon) {
  char sign = seconds < 0 ? '-' : '+';
  long a = seconds < 0 ? -seconds : seconds;
  char buf[48];
  if (colon)
    std::snprintf(buf, sizeof buf, "%c%02ld:%02ld", sign, a / 3600, (a / 60) % 60);
  else
    std::snprintf(buf, sizeof buf, "%c%02ld%02ld", sign, a / 3600, (a / 60) % 60);
  return buf;
}

void field(std::string &out, char letter, size_t count, const Broken &b, TimeZone zone) {
  const std::tm &tm = b.tm;
  switch (letter) {
  case 'G':
    out += count >= 4 ? (tm.tm_year + 1900 > 0 ? "Anno Domini" : "Before Christ")
                      : (tm.tm_year + 1900 > 0 ? "AD" : "BC");
    break;
  case 'y':
    if (count == 2)
      pad(out, (tm.tm_year + 1900) % 100, 2);
    else
      pad(out, tm.tm_year + 1900, count);
    break;
  case 'M':
  case 'L':
    if (count >= 5)
      out += kMonths[tm.tm_mon][0];
    else if (count == 4)
      out += kMonths[tm.tm_mon];
    else if (count == 3)
      out.append(kMonths[tm.tm_mon], 3);
    else
      pad(out, tm.tm_mon + 1, count);
    break;
  case 'd':
    pad(out, tm.tm_mday, count);
    break;
  case 'D':
    pad(out, tm.tm_yday + 1, count);
    break;
  case 'E':
    if (count >= 5)
      out += kDays[tm.tm_wday][0];
    else if (count == 4)
      out += kDays[tm.tm_wday];
    else
      out.append(kDays[tm.tm_wday], 3);
    break;
  case 'a':
    out += tm.tm_hour < 12 ? "AM" : "PM";
    break;
  case 'h':
    pad(out, tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12, count);
    break;
  case 'H':
    pad(out, tm.tm_hour, count);
    break;
  case 'k':
    pad(out, tm.tm_hour == 0 ? 24 : tm.tm_hour, count);
    break;
  case 'K':
    pad(out, tm.tm_hour % 12, count);
    break;
  case 'm':
    pad(out, tm.tm_min, count);
    break;
  case 's':
    pad(out, tm.tm_sec, count);
    break;
  case 'S': {
    // Fractions are cut, not rounded, to the number of letters.
    char digits[16];
    std::snprintf(digits, sizeof digits, "%09d", b.nanos);
    for (size_t i = 0; i < count; ++i)
      out += i < 9 ? digits[i] : '0';
    break;
  }
  case 'z':
    if (zone == TimeZone::GMT)
      out += "GMT";
    else if (count >= 4 || !tm.tm_zone || !*tm.tm_zone)
      out += "GMT" + (tm.tm_gmtoff == 0 ? std::string() : zoneOffset(tm.tm_gmtoff, true));
    else
      out += tm.tm_zone;
    break;
  case 'Z':
    if (count == 5)
      out += tm.tm_gmtoff == 0 ? "Z" : zoneOffset(tm.tm_gmtoff, true);
    else if (count == 4)
      out += "GMT" + zoneOffset(tm.tm_gmtoff, true);
    else
      out += zoneOffset(tm.tm_gmtoff, false);
    break;
  default:
    out.append(count, letter);
  }
}

std::string formatPattern(const std::string &pattern, WallTime date, TimeZone zone) {
  Broken b = breakDown(date, zone);
  std::string out;
  for (size_t i = 0; i < pattern.size();) {
    char c = pattern[i];
    if (c == '\'') {
      if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
        out += '\'';
        i += 2;
        continue;
      }
      ++i;
      while (i < pattern.size()) {
        if (pattern[i] == '\'') {
          if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
            out += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        out += pattern[i++];
      }
      continue;
    }
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      size_t count = 1;
      while (i + count < pattern.size() && pattern[i + count] == c)
        ++count;
      field(out, c, count, b, zone);
      i += count;
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

UDateFormatStyle icuStyle(DateFormatter::Style s) {
  switch (s) {
  case DateFormatter::Style::None:
    return UDAT_NONE;
  case DateFormatter::Style::Short:
    return UDAT_SHORT;
  case DateFormatter::Style::Medium:
    return UDAT_MEDIUM;
  case DateFormatter::Style::Long:
    return UDAT_LONG;
  case DateFormatter::Style::Full:
    return UDAT_FULL;
  }
  return UDAT_NONE;
}

// ICU's C API wants UTF-16; the texts here are short.
std::string utf16ToUtf8(const UChar *s, int32_t n) {
  std::string out(static_cast<size_t>(n) * 3 + 4, '\0');
  int32_t len = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &len, s, n, &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<size_t>(len));
  return out;
}

} // namespace

DateComponents GregorianCalendar::components(WallTime date, TimeZone zone) {
  Broken b = breakDown(date, zone);
  DateComponents c;
  c.year = b.tm.tm_year + 1900;
  c.month = b.tm.tm_mon + 1;
  c.day = b.tm.tm_mday;
  c.hour = b.tm.tm_hour;
  c.minute = b.tm.tm_min;
  c.second = b.tm.tm_sec;
  c.weekday = b.tm.tm_wday + 1;
  c.nanosecond = b.nanos;
  return c;
}

std::optional<WallTime> GregorianCalendar::dateFromComponents(const DateComponents &c,
                                                              TimeZone zone) {
  std::tm tm{};
  tm.tm_year = c.year - 1900;
  tm.tm_mon = c.month - 1;
  tm.tm_mday = c.day;
  tm.tm_hour = c.hour;
  tm.tm_min = c.minute;
  tm.tm_sec = c.second;
  tm.tm_isdst = -1;
  time_t t;
  errno = 0;
  if (zone == TimeZone::GMT) {
    t = ::timegm(&tm);
  } else {
    // Local time asks the C library to read the zone file again on every call; a folder listing
    // converts the same few dates thousands of times. Results are kept per zone setting.
    struct Key {
      std::tm in;
      std::string zoneSetting;
      bool operator==(const Key &o) const {
        return in.tm_year == o.in.tm_year && in.tm_mon == o.in.tm_mon &&
               in.tm_mday == o.in.tm_mday && in.tm_hour == o.in.tm_hour &&
               in.tm_min == o.in.tm_min && in.tm_sec == o.in.tm_sec && zoneSetting == o.zoneSetting;
      }
    };
    struct Entry {
      Key key;
      time_t t;
      int error;
    };
    thread_local std::vector<Entry> recent;
    const char *zoneSetting = std::getenv("TZ");
    Key key{tm, zoneSetting ? zoneSetting : std::string("\x01(none)")};
    auto hit =
        std::find_if(recent.begin(), recent.end(), [&](const Entry &e) { return e.key == key; });
    if (hit != recent.end()) {
      t = hit->t;
      errno = hit->error;
    } else {
      ::tzset();
      t = ::mktime(&tm);
      const int error = errno;
      if (recent.size() >= 64) recent.erase(recent.begin());
      recent.push_back({std::move(key), t, error});
      errno = error;
    }
  }
  // -1 is also the second before 1970; only an overflow sets errno.
  if (t == static_cast<time_t>(-1) && errno != 0) return std::nullopt;
  // The clock's nanosecond count reaches about 292 years either side of 1970.
  constexpr long long limit =
      std::chrono::duration_cast<std::chrono::seconds>(WallTime::duration::max()).count() - 1;
  if (static_cast<long long>(t) > limit || static_cast<long long>(t) < -limit) return std::nullopt;
  return WallTime(std::chrono::duration_cast<WallTime::duration>(
      std::chrono::seconds(t) + std::chrono::nanoseconds(c.nanosecond)));
}

long GregorianCalendar::secondsFromGMT(WallTime date, TimeZone zone) {
  if (zone == TimeZone::GMT) return 0;
  return breakDown(date, zone).tm.tm_gmtoff;
}

DateFormatter::DateFormatter(std::string pattern, TimeZone zone)
    : pattern_(std::move(pattern)), zone_(zone) {}

DateFormatter::DateFormatter(Style dateStyle, Style timeStyle, TimeZone zone)
    : styled_(true), dateStyle_(dateStyle), timeStyle_(timeStyle), zone_(zone) {}

DateFormatter::~DateFormatter() = default;

void DateFormatter::setDateFormat(std::string pattern) {
  std::lock_guard lock(mutex_);
  pattern_ = std::move(pattern);
  styled_ = false;
}

void DateFormatter::setTimeZone(TimeZone zone) {
  std::lock_guard lock(mutex_);
  zone_ = zone;
}

void DateFormatter::setLocale(std::string locale) {
  std::lock_guard lock(mutex_);
  locale_ = std::move(locale);
}

std::string DateFormatter::stringFromDate(WallTime date) const {
  std::lock_guard lock(mutex_);
  if (styled_) return formatStyled(date);
  return formatPattern(pattern_, date, zone_);
}

std::string DateFormatter::formatStyled(WallTime date) const {
  if (dateStyle_ == Style::None && timeStyle_ == Style::None) return {};
  // ICU keeps its own idea of the local zone; hand it the offset in force at that date instead,
  // so that TZ is honoured exactly as for the fixed patterns.
  long offset = GregorianCalendar::secondsFromGMT(date, zone_);
  std::string zoneId = "GMT" + (offset == 0 ? std::string() : zoneOffset(offset, true));
  std::u16string zone16(zoneId.begin(), zoneId.end());
  const char *locale = locale_.empty() ? uloc_getDefault() : locale_.c_str();
  UErrorCode status = U_ZERO_ERROR;
  UDateFormat *fmt = udat_open(icuStyle(timeStyle_), icuStyle(dateStyle_), locale,
                               reinterpret_cast<const UChar *>(zone16.data()),
                               static_cast<int32_t>(zone16.size()), nullptr, 0, &status);
  if (U_FAILURE(status) || !fmt) return {};
  long long seconds;
  int nanos;
  split(date, seconds, nanos);
  UDate udate = static_cast<double>(seconds) * 1000.0 + nanos / 1000000;
  UChar buf[256];
  status = U_ZERO_ERROR;
  int32_t n = udat_format(fmt, udate, buf, 256, nullptr, &status);
  udat_close(fmt);
  if (U_FAILURE(status)) return {};
  std::string out = utf16ToUtf8(buf, n);
  // Recent locale data puts a narrow no-break space before AM/PM; texts here use plain blanks.
  for (const char *nbsp : {"\xE2\x80\xAF", "\xC2\xA0"}) {
    for (size_t pos; (pos = out.find(nbsp)) != std::string::npos;)
      out.replace(pos, std::char_traits<char>::length(nbsp), " ");
  }
  return out;
}

} // namespace platform
