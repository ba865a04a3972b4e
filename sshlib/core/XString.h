#pragma once

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/RazudodObject.h"
#include "sshlib/core/StringBuffer.h"

class _ckCharset;

// The library's text value. It keeps the same text in up to three forms (UTF-16LE with a two-byte
// terminator, the ANSI code page, UTF-8), marks which are current and converts on demand; a form
// once computed stays until the text changes. An edit works in one form and makes it the only
// current one. Not for use by two threads at once (even reading converts).
class XString : public RazudodObject {
public:
  XString();
  ~XString() override;

  XString(const XString &) = delete;
  XString &operator=(const XString &) = delete;

  // Whole value.
  void clear();
  void secureClear();
  void copyFromX(const XString &other);
  void minimizeMemory();

  // Setting.
  void setFromUtf8(const char *s);
  void setFromAnsi(const char *s);
  void setFromAnsiN(const char *s, int n);
  void setFromDual(const char *s, bool utf8);
  void setFromUnicode(const unsigned short *s);
  void setFromUnicode2(const unsigned short *s, int n);

  // Reading: pointers into the object, valid until the text changes.
  const char *getUtf8();
  const char *getAnsi();
  const unsigned short *getUnicode();
  const unsigned short *getWideStr() { return getUnicode(); }
  StringBuffer &getUtf8Sb();
  // The forms as they stand, without conversion: the caller must know the form is current.
  const StringBuffer &getUtf8Buffer() const { return m_sbUtf8; }
  const DataBuffer &getUnicodeBuffer() const { return m_dbUnicode; }
  unsigned int getSizeUtf8();
  unsigned int getSizeAnsi();
  unsigned int getSizeUnicode();
  unsigned int getNumChars();
  // Whether the text converts to the ANSI code page without loss.
  bool validAnsi();
  bool getConverted(_ckCharset &charset, DataBuffer &out);

  // Editing in UTF-8.
  void appendUtf8(const char *s);
  void appendUtf8N(const char *s, int n);
  void prependUtf8(const char *s);
  void appendInt(int v);
  void appendInt64(long long v);
  bool replaceFirstOccuranceUtf8(const char *find, const char *with);
  int replaceAllOccurancesUtf8(const char *find, const char *with);
  void trim2();

  // Editing with ANSI text. Characters the ANSI code page cannot hold are never lost: when the
  // text is not exactly ANSI, the bytes are appended to its UTF-8 form instead.
  void appendAnsi(const char *s);
  void appendAnsiN(const char *s, int n);

  // Editing in UTF-16.
  void appendUnicode(const unsigned short *s);
  void appendUnicodeN(const unsigned short *s, int n);
  void toUpperCase();
  void toLowerCase();
  void shortenNumChars(int n);
  void chopAtFirstChar(char c);
  void replaceChar(char from, char to);

  void appendX(const XString &other);
  void appendFromEncoding(const char *text, const char *charset);
  void canonicalizeHexString();

  // Comparisons and searches.
  bool equalsUtf8(const char *s);
  bool equalsAnsi(const char *s);
  bool equalsIgnoreCaseUtf8(const char *s);
  bool beginsWithUtf8(const char *s);
  bool endsWithUtf8(const char *s);
  bool tailEqualsUtf8(const char *s);
  bool containsSubstringUtf8(const char *s);
  bool matchesUtf8(const char *pattern, bool caseSensitive);
  bool containsSubstringAnsi(const char *s);
  bool containsSubstringNoCaseAnsi(const char *s);
  bool containsSubstringNoCaseUtf8(const char *s);

  // 0 not known, 1 exact, 2 lossy.
  unsigned int getAnsiStatus() const { return m_ansiStatus; }
  bool isUnicodeValid() const { return m_unicodeValid; }
  bool isAnsiValid() const { return m_ansiValid; }
  bool isUtf8Valid() const { return m_utf8Valid; }

private:
  void ensureUtf8();
  void ensureAnsi();
  void ensureUnicode();
  void onlyUtf8();
  void onlyAnsi();
  void onlyUnicode();
  void discardLossyAnsi();
  unsigned int unicodeUnits() const;

  unsigned int m_ansiStatus = 0;
  bool m_unicodeValid = true;
  bool m_ansiValid = true;
  bool m_utf8Valid = true;
  DataBuffer m_dbUnicode;
  StringBuffer m_sbAnsi;
  StringBuffer m_sbUtf8;
};
