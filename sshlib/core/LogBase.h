#pragma once

class StringBuffer;
class RazudodSysTime;

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

  // Formatting operations: each builds a value and passes it through LogData (or LogError).
  void LogSystemTime(const char *tag, RazudodSysTime &st); // RFC 822 date
  void LogDataAnsi(const char *tag, const char *value);    // value in the ANSI code page
  void LogBinary(const char *tag, const unsigned char *data, int n);
  void LogDataHex(const char *tag, const unsigned char *data, unsigned int n);
  void LogElapsedMs(const char *tag, unsigned int startTick);
  void LogDataQP(const char *tag, const char *value); // quoted-printable
};
