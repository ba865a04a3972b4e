// The three places a message can go: the system log (what the phone calls NSLog), the debug output
// (developer notes that users never see unless they ask for them) and the standard error stream.
// Tests hold a LogCapture to read what was written while it is alive.
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Log {
public:
  enum class Sink { System, Debug, StandardError };

  // One line to the system log; a trailing line end is not needed (and is dropped).
  static void system(std::string_view message);
  // One line to the debug output. It reaches standard error only when FERROWEN_DEBUG is set to
  // something other than "" or "0"; captures see it always.
  static void debug(std::string_view message);
  // Raw text to standard error, exactly as given.
  static void standardError(std::string_view text);

  // printf-style forms of the first two.
  static void systemf(const char *format, ...) __attribute__((format(printf, 1, 2)));
  static void debugf(const char *format, ...) __attribute__((format(printf, 1, 2)));

  // Formats like vsnprintf into a std::string.
  static std::string vformat(const char *format, va_list args);
  static std::string format(const char *format, ...) __attribute__((format(printf, 1, 2)));

private:
  static void deliver(Sink sink, std::string_view message);
};

// Collects every message sent to one sink while it is alive (messages still reach their normal
// destination). Safe to use while other threads log.
class LogCapture {
public:
  explicit LogCapture(Log::Sink sink);
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  std::vector<std::string> lines() const;
  // True when some captured message contains the text.
  bool contains(std::string_view text) const;
  size_t count() const;
  void clear();

  Log::Sink sink() const { return sink_; }

private:
  friend class Log;
  void add(std::string_view message);

  Log::Sink sink_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

} // namespace platform
