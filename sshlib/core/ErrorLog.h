// The log tree: nested contexts holding tag/value pairs, information, error and raw XML lines,
// and its plain-text, HTML and XML renderings.
#pragma once

#include <cstddef>
#include <deque>

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
  // The log's bound (see ErrorLog): the context holding this entry, whether the entry belongs to
  // the head of the log (kept whatever comes later), and for a context the number of its first
  // children that do.
  LogEntry2 *m_parent = nullptr;
  bool m_pinned = false;
  int m_pinnedChildren = 0;

private:
  void setLeaf(signed char kind, const char *text);
  void deleteChildren();
};

// The tree holder: the root context "RazudodLog" and the stack of open contexts.
//
// The log is bounded, whatever an operation logs (a server can make the SSH client log a line for
// each of a million messages): once it holds kMaxLeaves lines or kMaxBytes (counted with what
// each entry costs besides its text), the oldest lines after the first half are left out, one
// line in the place of the first says how many were, and the contexts they empty go with them.
// The log keeps its beginning, its end and the contexts still open.
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

  static constexpr size_t kMaxLeaves = 4000;
  static constexpr size_t kMaxBytes = 1024 * 1024;
  // Lines left out so far (0 while the log is within its bound).
  unsigned long long get_NumLeftOut() const { return m_leftOut; }

private:
  LogEntry2 *root() const;
  LogEntry2 *current() const;
  void appendToCurrent(LogEntry2 *entry);
  void createRoot();
  void resetBound();
  static size_t costOf(const LogEntry2 *e);
  static int indexIn(const LogEntry2 *parent, const LogEntry2 *child);
  bool isOpen(const LogEntry2 *context) const;
  void leaveOut(LogEntry2 *leaf);
  void updateGapMarker();

  ExtPtrArray m_contextStack;
  // Lines after the head, oldest first: the ones left out first when the log is full.
  std::deque<LogEntry2 *> m_prunable;
  size_t m_leaves = 0;
  size_t m_bytes = 0;
  bool m_headFull = false;
  unsigned long long m_leftOut = 0;
  LogEntry2 *m_gapMarker = nullptr;
};
