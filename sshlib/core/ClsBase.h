// Base of every implementation object whose operations a user of the library calls: the object's
// own log (the record of its latest public operation) and the frame every public operation
// opens and closes.
#pragma once

#include "sshlib/core/Logger.h"
#include "sshlib/core/RazudodObject.h"
#include "sshlib/core/StringBuffer.h"

class LogBase;
class XString;

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
  Logger m_log;
  // Exception-information text, emptied at the start of every public operation.
  StringBuffer m_exceptionInfo;
  unsigned int m_objMagic;
};
