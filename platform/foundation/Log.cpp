#include "platform/foundation/Log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace platform {

namespace {

std::mutex &registryMutex() {
  static std::mutex m;
  return m;
}

std::vector<LogCapture *> &registry() {
  static std::vector<LogCapture *> captures;
  return captures;
}

// Serialises whole lines on fd 2 so messages of different threads never interleave.
std::mutex &outputMutex() {
  static std::mutex m;
  return m;
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

std::string_view withoutLineEnd(std::string_view message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
    message.remove_suffix(1);
  return message;
}

bool debugEnabled() {
  const char *v = std::getenv("FERROWEN_DEBUG");
  return v && *v && std::string_view(v) != "0";
}

std::string timestamp() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

} // namespace

void Log::deliver(Sink sink, std::string_view message) {
  std::lock_guard lock(registryMutex());
  for (LogCapture *c : registry())
    if (c->sink() == sink) c->add(message);
}

void Log::system(std::string_view message) {
  message = withoutLineEnd(message);
  deliver(Sink::System, message);
  std::string line = timestamp() + " ferrowen[" + std::to_string(::getpid()) + "] ";
  line.append(message);
  line.push_back('\n');
  std::lock_guard lock(outputMutex());
  writeAll(2, line);
}

void Log::debug(std::string_view message) {
  message = withoutLineEnd(message);
  deliver(Sink::Debug, message);
  if (!debugEnabled()) return;
  std::string line = "[debug] ";
  line.append(message);
  line.push_back('\n');
  std::lock_guard lock(outputMutex());
  writeAll(2, line);
}

void Log::standardError(std::string_view text) {
  deliver(Sink::StandardError, withoutLineEnd(text));
  std::lock_guard lock(outputMutex());
  writeAll(2, text);
}

std::string Log::vformat(const char *fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), fmt, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string Log::format(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  return s;
}

void Log::systemf(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  system(s);
}

void Log::debugf(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  debug(s);
}

LogCapture::LogCapture(Log::Sink sink) : sink_(sink) {
  std::lock_guard lock(registryMutex());
  registry().push_back(this);
}

LogCapture::~LogCapture() {
  std::lock_guard lock(registryMutex());
  auto &r = registry();
  r.erase(std::remove(r.begin(), r.end(), this), r.end());
}

void LogCapture::add(std::string_view message) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(message);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool LogCapture::contains(std::string_view text) const {
  std::lock_guard lock(mutex_);
  return std::any_of(lines_.begin(), lines_.end(),
                     [&](const std::string &l) { return l.find(text) != std::string::npos; });
}

size_t LogCapture::count() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

void LogCapture::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

} // namespace platform
