// Formatting operations of the log interface that rest on times, conversions and codings; each
// builds a value and passes it through the object's own LogData (or LogError).
#include "sshlib/core/LogBase.h"

#include <cstdio>
#include <cstring>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DateParser.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"

void LogBase::LogSystemTime(const char *tag, RazudodSysTime &st) {
  StringBuffer sb;
  DateParser::generateDateRFC822(st, sb);
  LogData(tag, sb.getString());
}

void LogBase::LogDataAnsi(const char *tag, const char *value) {
  XString x;
  x.setFromAnsi(value);
  LogData(tag, x.getUtf8());
}

void LogBase::LogBinary(const char *tag, const unsigned char *data, int n) {
  if (!data || n == 0) {
    LogError("No binary data to log");
    return;
  }
  StringBuffer sb;
  sb.appendHexData(data, n);
  LogData(tag, sb.getString());
}

void LogBase::LogDataHex(const char *tag, const unsigned char *data, unsigned int n) {
  StringBuffer sb;
  if (n > 0x7FFFFFFFu) n = 0x7FFFFFFFu;
  sb.appendHexData(data, static_cast<int>(n));
  LogData(tag, sb.getString());
}

void LogBase::LogElapsedMs(const char *tag, unsigned int startTick) {
  unsigned int now = Psdk::getTickCount();
  if (now < startTick || now - startTick > 899999999u) return;
  char buf[64];
  std::snprintf(buf, sizeof buf, "Elapsed time: %d millisec", static_cast<int>(now - startTick));
  LogData(tag, buf);
}

void LogBase::LogDataQP(const char *tag, const char *value) {
  StringBuffer sb;
  ContentCoding coder;
  const char *v = value ? value : "";
  coder.encodeQuotedPrintable(v, static_cast<int>(std::strlen(v)), sb);
  LogData(tag, sb.getString());
}
