// The local time zone of the process set for a test's scope (the library and the C library read
// it through localtime_r).
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace testsupport {

class ZoneGuard {
public:
  explicit ZoneGuard(const char *zone) {
    if (const char *old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (old_)
      setenv("TZ", old_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  ZoneGuard(const ZoneGuard &) = delete;
  ZoneGuard &operator=(const ZoneGuard &) = delete;

private:
  std::optional<std::string> old_;
};

} // namespace testsupport
