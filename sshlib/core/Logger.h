// The library's real log: keeps the log tree, renders it on request and can mirror every context
// and line into a plain-text debug log file as it happens.
#pragma once

#include "sshlib/core/ErrorLog.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/RazudodCritSec.h"
#include "sshlib/core/XString.h"

class StringBuffer;

class Logger : public LogBase, public RazudodCritSec {
public:
  Logger();
  ~Logger() override;
  Logger(const Logger &) = delete;
  Logger &operator=(const Logger &) = delete;

  void getXml(StringBuffer &out) override;
  void getHtml(StringBuffer &out) override;
  void getText(StringBuffer &out) override;
  bool LogError(const char *text) override;
  bool LogInfo(const char *text) override;
  bool LogXml(const char *text) override;
  bool ClearLog() override;
  bool EnterContext(const char *name, bool flag) override;
  bool LeaveContext() override;
  bool LogData(const char *tag, const char *value) override;
  bool LogDataLong(const char *tag, int value) override;
  bool LogDataInt64(const char *tag, long long value) override;
  bool LogHex(const char *tag, unsigned int value) override;
  void LogTickCount(const char *tag) override;
  // Writes the XML rendering (LF line ends, no declaration) to the file named by the UTF-8 path.
  bool SaveXML(bool flag, const char *path) override;

  ErrorLog m_errorLog;
  int m_debugDepth;
  // Path of the debug log file; empty means no debug log.
  XString m_debugLogFilePath;

private:
  // Appends one line to the debug log file, when a path is set; a failure loses that line only.
  void debugLine(const char *line);
  void debugText(const char *text);
  void indent(StringBuffer &sb) const;
  static bool normaliseTag(const char *tag, StringBuffer &out);
};
