// The XML parser's text cursor, and the small receive buffer the socket layer keeps.
#pragma once

#include "sshlib/core/StringBuffer.h"

class DataBuffer;

// A cursor over NUL-terminated text. Every scan stops at the terminator (the first NUL byte) and
// leaves the cursor on it, never past it.
class ParseEngine {
public:
  ParseEngine();
  explicit ParseEngine(const DataBuffer &db);
  // Reads the text in place, up to its first NUL, without a copy: it must outlive the engine.
  explicit ParseEngine(const StringBuffer &text);
  virtual ~ParseEngine();
  ParseEngine(const ParseEngine &) = delete;
  ParseEngine &operator=(const ParseEngine &) = delete;

  void append(const char *text);

  void skipUntilChar(char c);
  bool skipUntilChar2(char c1, char c2);
  bool seekAndSkipExact(const char *s);
  bool seekAndCopy(const char *s, StringBuffer &out);
  void captureToNextChar(char c, StringBuffer &out);
  void captureToNext2(const char *set, StringBuffer &out);
  void captureToNext5(const char *set, StringBuffer &out);
  void captureToNext7(const char *set, StringBuffer &out);
  int captureToNext(const char *set, StringBuffer &out);
  bool seekAndCopyToClosing(char open, char close, int depth, StringBuffer &out);

  // Small helpers of the parser.
  char current() const { return m_text[m_cursor]; }
  bool atEnd() const { return m_text[m_cursor] == '\0'; }
  // Steps one byte forward unless at the end.
  void advance();
  void skipWhiteSpace();
  // Skips white space and returns it in out.
  void skipWhiteSpace(StringBuffer &out);
  bool startsWith(const char *s) const;
  bool startsWithNoCase(const char *s) const;
  // Moves the cursor n bytes forward, stopping at the end.
  void skip(int n);
  // One byte back, unless at the start.
  void back() {
    if (m_cursor > 0) --m_cursor;
  }
  int getCursor() const { return m_cursor; }
  int textLength() const { return m_length; }
  const char *textAtCursor() const { return m_text + m_cursor; }

private:
  int captureSet(const char *set, int setLen, StringBuffer &out);

  StringBuffer m_sb;
  // The text read: m_sb's, or a caller's borrowed one.
  const char *m_text;
  int m_length = 0;
  int m_cursor = 0;
};

// A receive buffer of 32,000 bytes, kept NUL-terminated.
class ParseBuffer {
public:
  ParseBuffer();
  virtual ~ParseBuffer();
  ParseBuffer(const ParseBuffer &) = delete;
  ParseBuffer &operator=(const ParseBuffer &) = delete;

  void discard(int n);
  void discardAll();

  char *m_buffer;
  int m_count = 0;
  int m_capacity;
  int m_limit = 100000;
};
