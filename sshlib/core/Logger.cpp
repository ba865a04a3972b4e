#include "sshlib/core/Logger.h"

#include <cstdio>

#include "sshlib/core/FileSys.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ck64.h"

Logger::Logger() : m_debugDepth(0) {}

Logger::~Logger() = default;

bool Logger::normaliseTag(const char *tag, StringBuffer &out) {
  out.setString(tag ? tag : "");
  out.trim2();
  out.replaceCharAnsi(' ', '_');
  return out.getSize() != 0;
}

void Logger::indent(StringBuffer &sb) const {
  if (m_debugDepth > 0) sb.appendCharN(' ', 4 * m_debugDepth);
}

void Logger::debugLine(const char *line) {
  if (m_debugLogFilePath.getSizeUtf8() == 0) return;
  // The file is opened and closed for every line so that nothing is lost if the process stops.
  FILE *fp = std::fopen(m_debugLogFilePath.getUtf8(), "a");
  if (!fp) return;
  std::fputs(line, fp);
  std::fclose(fp);
}

bool Logger::EnterContext(const char *name, bool) {
  enterCriticalSection();
  m_errorLog.OpenContext(name);
  if (m_debugLogFilePath.getSizeUtf8() != 0) {
    StringBuffer line;
    indent(line);
    line.append(name ? name : "");
    line.append(":\n");
    debugLine(line.getString());
  }
  ++m_debugDepth;
  leaveCriticalSection();
  return true;
}

bool Logger::LeaveContext() {
  enterCriticalSection();
  m_errorLog.CloseContext();
  if (m_debugLogFilePath.getSizeUtf8() != 0) {
    StringBuffer line;
    indent(line);
    line.append("(leaveContext)\n");
    debugLine(line.getString());
  }
  if (m_debugDepth > 0) --m_debugDepth;
  leaveCriticalSection();
  return true;
}

bool Logger::LogData(const char *tag, const char *value) {
  enterCriticalSection();
  StringBuffer t;
  if (!normaliseTag(tag, t)) {
    leaveCriticalSection();
    return false;
  }
  if (!value) value = "(NULL)";
  m_errorLog.LogData(t.getString(), value);
  if (m_debugLogFilePath.getSizeUtf8() != 0) {
    StringBuffer line;
    indent(line);
    line.append(t);
    line.append(": ");
    line.append(value);
    line.append("\n");
    debugLine(line.getString());
  }
  leaveCriticalSection();
  return true;
}

bool Logger::LogDataLong(const char *tag, int value) {
  enterCriticalSection();
  StringBuffer t;
  if (!normaliseTag(tag, t)) {
    leaveCriticalSection();
    return false;
  }
  m_errorLog.LogDataLong(t.getString(), value);
  if (m_debugLogFilePath.getSizeUtf8() != 0) {
    char num[32];
    std::snprintf(num, sizeof num, "%d", value);
    StringBuffer line;
    indent(line);
    line.append(t);
    line.append(": ");
    line.append(num);
    line.append("\n");
    debugLine(line.getString());
  }
  leaveCriticalSection();
  return true;
}

bool Logger::LogDataInt64(const char *tag, long long value) {
  enterCriticalSection();
  StringBuffer t;
  bool ok = normaliseTag(tag, t);
  if (ok) {
    StringBuffer v;
    ck64::Int64ToString(value, v);
    m_errorLog.LogData(t.getString(), v.getString());
  }
  leaveCriticalSection();
  return ok;
}

bool Logger::LogHex(const char *tag, unsigned int value) {
  enterCriticalSection();
  StringBuffer t;
  bool ok = normaliseTag(tag, t);
  if (ok) {
    char v[32];
    std::snprintf(v, sizeof v, "0x%x", value);
    m_errorLog.LogData(t.getString(), v);
  }
  leaveCriticalSection();
  return ok;
}

void Logger::LogTickCount(const char *tag) {
  enterCriticalSection();
  char v[32];
  std::snprintf(v, sizeof v, "%x", Psdk::getTickCount());
  StringBuffer t;
  if (normaliseTag(tag, t)) m_errorLog.LogData(t.getString(), v);
  leaveCriticalSection();
}

// An information or error line also goes to the debug log file, indented to its context.
void Logger::debugText(const char *text) {
  if (m_debugLogFilePath.getSizeUtf8() == 0) return;
  StringBuffer line;
  indent(line);
  line.append(text);
  line.append("\n");
  debugLine(line.getString());
}

bool Logger::LogInfo(const char *text) {
  if (!text) return true;
  enterCriticalSection();
  m_errorLog.LogInfo(text);
  debugText(text);
  leaveCriticalSection();
  return true;
}

bool Logger::LogError(const char *text) {
  if (!text) return true;
  enterCriticalSection();
  m_errorLog.LogError(text);
  debugText(text);
  leaveCriticalSection();
  return true;
}

bool Logger::LogXml(const char *text) {
  if (!text) return true;
  enterCriticalSection();
  m_errorLog.LogXml(text);
  leaveCriticalSection();
  return true;
}

bool Logger::ClearLog() {
  enterCriticalSection();
  m_errorLog.ClearLog();
  m_debugDepth = 0;
  leaveCriticalSection();
  return true;
}

void Logger::getText(StringBuffer &out) {
  enterCriticalSection();
  out.clear();
  m_errorLog.GetText(out);
  out.toLF();
  leaveCriticalSection();
}

void Logger::getHtml(StringBuffer &out) {
  enterCriticalSection();
  out.clear();
  m_errorLog.GetHtml(out);
  out.toLF();
  leaveCriticalSection();
}

void Logger::getXml(StringBuffer &out) {
  enterCriticalSection();
  out.clear();
  m_errorLog.GetXml(out);
  out.toLF();
  leaveCriticalSection();
}

bool Logger::SaveXML(bool, const char *path) {
  StringBuffer xml;
  getXml(xml);
  enterCriticalSection();
  // Paths inside the library are UTF-8; the file is named by those bytes.
  bool ok = FileSys::writeFileUtf8(path, xml.getString(), static_cast<unsigned int>(xml.getSize()),
                                   nullptr);
  leaveCriticalSection();
  return ok;
}
