// The log tree: nested contexts holding tag/value pairs, information, error and raw XML lines,
// and its plain-text, HTML and XML renderings.
#pragma once

#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/RazudodObject.h"

class StringBuffer;

// One node of the log tree. A context ('C') owns its children; the other kinds are leaves.
class LogEntry2 : public RazudodObject {
public:
  LogEntry2();
  ~LogEntry2() override;
  LogEntry2(const LogEntry2 &) = delete;
  LogEntry2 &operator=(const LogEntry2 &) = delete;

  void SetInfo(const char *text);
  void SetError(const char *text);
  void SetXml(const char *text);
  void SetMessage(const char *tag, const char *value);
  void OpenContext(const char *name);

  // Appends a child to a context, which takes ownership. Returns false (the child not taken)
  // when this entry is not a context.
  bool AppendEntry(LogEntry2 *child);
  int get_NumChildren() const;
  void CheckDeleteEmptyContext();

  static bool needsCData(const char *value);

  void GetText(StringBuffer &out, int depth) const;
  void GetHtml(StringBuffer &out) const;
  void GetXml(StringBuffer &out) const;

  ExtPtrArray *m_children;
  signed char m_kind;
  StringBuffer *m_tag;
  StringBuffer *m_value;

private:
  void setLeaf(signed char kind, const char *text);
  void deleteChildren();
};

// The tree holder: the root context "RazudodLog" and the stack of open contexts.
class ErrorLog {
public:
  ErrorLog();
  virtual ~ErrorLog();
  ErrorLog(const ErrorLog &) = delete;
  ErrorLog &operator=(const ErrorLog &) = delete;

  void OpenContext(const char *name);
  void CloseContext();
  void LogData(const char *tag, const char *value);
  void LogDataLong(const char *tag, int value);
  void LogInfo(const char *text);
  void LogError(const char *text);
  void LogXml(const char *text);
  void ClearLog();

  void GetText(StringBuffer &out);
  void GetHtml(StringBuffer &out);
  void GetXml(StringBuffer &out);

private:
  LogEntry2 *root() const;
  LogEntry2 *current() const;
  void appendToCurrent(LogEntry2 *entry);
  void createRoot();

  ExtPtrArray m_contextStack;
};
