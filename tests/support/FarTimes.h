// Times beyond the reach of the wall clock's nanosecond count (about the years 1678 to 2262), as
// a file touched to the year 2300 or a server's 64-bit time carries them, and what to read such a
// time back as.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace testsupport {

// 2300-01-01 00:00:00 UTC.
inline constexpr int64_t kYear2300 = 10413792000;
// The last and first years the wall clock reaches: far times are held there.
inline constexpr int kLastClockYear = 2262, kFirstClockYear = 1677;

// Sets a file's modification time (seconds since 1970); false when the file system refuses.
inline bool setModificationTime(const std::string &path, int64_t seconds) {
  const timespec times[2] = {{0, UTIME_OMIT}, {time_t(seconds), 0}};
  struct stat st {};
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 &&
         ::lstat(path.c_str(), &st) == 0 && st.st_mtim.tv_sec == time_t(seconds);
}

// The UTC year of a wall time.
inline int yearOf(std::chrono::system_clock::time_point when) {
  const time_t t = std::chrono::system_clock::to_time_t(when);
  struct tm tm {};
  return ::gmtime_r(&t, &tm) ? tm.tm_year + 1900 : 0;
}
// ... of a date that may be missing (0 then).
inline int yearOf(const std::optional<std::chrono::system_clock::time_point> &when) {
  return when ? yearOf(*when) : 0;
}

} // namespace testsupport
