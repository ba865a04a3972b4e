#pragma once

class StringBuffer;

// The log every library operation reports into: nested contexts, tag/value pairs, information
// and error lines. Texts are NUL-terminated UTF-8. Every EnterContext is balanced by one
// LeaveContext. The defaults record nothing and succeed.
class LogBase {
public:
  LogBase() = default;
  virtual ~LogBase() = default;

  virtual void getXml(StringBuffer &) {}
  virtual void getHtml(StringBuffer &) {}
  virtual void getText(StringBuffer &) {}
  virtual bool LogError(const char *) { return true; }
  virtual bool LogInfo(const char *) { return true; }
  virtual bool LogXml(const char *) { return true; }
  virtual bool ClearLog() { return true; }
  virtual bool EnterContext(const char *, bool) { return true; }
  virtual bool LeaveContext() { return true; }
  virtual bool LogData(const char *, const char *) { return true; }
  virtual bool LogDataLong(const char *, int) { return true; }
  virtual bool LogDataInt64(const char *, long long) { return true; }
  virtual bool LogHex(const char *, unsigned int) { return true; }
  virtual void LogTickCount(const char *) {}
  virtual bool SaveXML(bool, const char *) { return true; }

  // "errno" with the current errno, then "osErrorMessage" with the system's text for it.
  void LogLastErrorOS();
  // tag with "[" + value + "]".
  void LogBracketed(const char *tag, const char *value);
};
