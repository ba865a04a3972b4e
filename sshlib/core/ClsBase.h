// Base of every implementation object whose operations a user of the library calls: the object's
// own log (the record of its latest public operation) and the frame every public operation
// opens and closes.
#pragma once

#include "sshlib/core/Logger.h"
#include "sshlib/core/RazudodObject.h"
#include "sshlib/core/StringBuffer.h"

#include <memory>

class LogBase;
class XString;

// The object's call log: a Logger made when it is first written or read, so that an object
// that never logs (one entry of a long listing) carries a pointer instead of a log tree.
class CallLog : public LogBase {
public:
  CallLog() = default;
  ~CallLog() override;
  CallLog(const CallLog &) = delete;
  CallLog &operator=(const CallLog &) = delete;

  void getXml(StringBuffer &out) override { logger().getXml(out); }
  void getHtml(StringBuffer &out) override { logger().getHtml(out); }
  void getText(StringBuffer &out) override { logger().getText(out); }
  bool LogError(const char *text) override { return logger().LogError(text); }
  bool LogInfo(const char *text) override { return logger().LogInfo(text); }
  bool LogXml(const char *text) override { return logger().LogXml(text); }
  // A log never made has nothing to clear.
  bool ClearLog() override { return !m_logger || m_logger->ClearLog(); }
  bool EnterContext(const char *name, bool flag) override {
    return logger().EnterContext(name, flag);
  }
  bool LeaveContext() override { return logger().LeaveContext(); }
  bool LogData(const char *tag, const char *value) override { return logger().LogData(tag, value); }
  bool LogDataLong(const char *tag, int value) override { return logger().LogDataLong(tag, value); }
  bool LogDataInt64(const char *tag, long long value) override {
    return logger().LogDataInt64(tag, value);
  }
  bool LogHex(const char *tag, unsigned int value) override { return logger().LogHex(tag, value); }
  void LogTickCount(const char *tag) override { logger().LogTickCount(tag); }
  bool SaveXML(bool flag, const char *path) override { return logger().SaveXML(flag, path); }

  // The Logger, made now if it was not yet.
  Logger &logger();
  bool isMade() const { return m_logger != nullptr; }

private:
  std::unique_ptr<Logger> m_logger;
};

class ClsBase : public RazudodObject {
public:
  ClsBase();
  ~ClsBase() override;
  ClsBase(const ClsBase &) = delete;
  ClsBase &operator=(const ClsBase &) = delete;

  // Opens a public operation: clears the log, opens a context named after the operation and
  // logs the build and environment lines.
  void enterContextBase(const char *name);
  // "Success." as an information line, or "Failed." as an error line.
  void logSuccessFailure(bool success);

  // Renderings of the log (LF line ends, CR LF when crlf is set) into the output, read as UTF-8.
  void GetTextLogX(XString &out, bool crlf);
  void GetHtmlLogX(XString &out, bool crlf);
  void GetXmlLogX(XString &out, bool crlf);
  void GetTextLog(StringBuffer &out);
  // Writes the XML rendering to the file; false for a missing or blank path or a failed write.
  bool SaveXmlLog(const char *path);

  void put_DebugLogFilePath(XString &path);
  void get_DebugLogFilePath(XString &out);

  void ClearExceptionInfo();
  void logProgrammingLanguage();
  static void logProgrammingLanguage2(LogBase &log);
  static void LogMacProgLang(LogBase &log);
  static bool isWin32() { return false; }

  bool isValidClsBase() const { return m_objMagic == 0x991144AA; }

  // The object's log; every internal operation of the object receives it.
  CallLog m_log;
  // Exception-information text, emptied at the start of every public operation; made when it is
  // first asked for.
  StringBuffer &exceptionInfo();
  unsigned int m_objMagic;
  // A 32-bit integer of the base beside the marker, 0 from construction; it fits in the room the
  // marker leaves, so an entry of a long listing grows by nothing.
  int m_objInt;

private:
  std::unique_ptr<StringBuffer> m_exceptionInfo;
};
