#pragma once

#include "sshlib/core/LogBase.h"

// A log that discards everything; passed where nobody will read the log.
class LogNull : public LogBase {
public:
  LogNull() = default;
  ~LogNull() override = default;

  void getXml(StringBuffer &) override {}
  void getHtml(StringBuffer &) override {}
  void getText(StringBuffer &) override {}
  bool LogError(const char *) override { return true; }
  bool LogInfo(const char *) override { return true; }
  bool LogXml(const char *) override { return true; }
  bool ClearLog() override { return true; }
  bool EnterContext(const char *, bool) override { return true; }
  bool LeaveContext() override { return true; }
  bool LogData(const char *, const char *) override { return true; }
  bool LogDataLong(const char *, int) override { return true; }
  void LogTickCount(const char *) override {}
  bool SaveXML(bool, const char *) override { return true; }
};
