#include "sshlib/core/LogBase.h"

#include "sshlib/core/StringBuffer.h"

#include <cerrno>
#include <cstring>

namespace {
// strerror is not thread-safe; glibc's strerror_r comes in two flavours, picked by overload.
[[maybe_unused]] const char *errText(int rc, const char *buf) {
  return rc == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char *errText(const char *msg, const char *) {
  return msg;
}
} // namespace

void LogBase::LogLastErrorOS() {
  int err = errno;
  LogDataLong("errno", err);
  char buf[256];
  buf[0] = '\0';
  LogData("osErrorMessage", errText(strerror_r(err, buf, sizeof buf), buf));
}

void LogBase::LogBracketed(const char *tag, const char *value) {
  StringBuffer sb;
  sb.appendChar('[');
  sb.append(value);
  sb.appendChar(']');
  LogData(tag, sb.getString());
}
