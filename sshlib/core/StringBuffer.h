#pragma once

#include "sshlib/core/RazudodObject.h"

class DataBuffer;

// The library's growable 8-bit string: bytes with no encoding of their own plus a tag saying
// whether they are ANSI or UTF-8. The text is always NUL-terminated; it may hold NUL bytes of its
// own (appendN copies them), but searching, comparing, trimming and case changes stop at the first
// NUL, as a C string would.
//
// Sizes are computed in 64 bits: an operation whose result would not fit in the 32-bit length
// fails (false) and leaves the text unchanged; negative counts are refused.
class StringBuffer : public RazudodObject {
public:
  StringBuffer();
  explicit StringBuffer(int reserve);
  StringBuffer(const char *bytes, int n, int reserve);
  StringBuffer(const char *s);
  StringBuffer(const StringBuffer &other);
  StringBuffer &operator=(const StringBuffer &other);
  ~StringBuffer() override;

  // Plain accessors (no validity check).
  const char *getString() const { return m_str; }
  int getSize() const { return m_length; }
  // Pointer to the byte at index 0..length (length gives the terminating NUL); null otherwise.
  char *pCharAt(int index);
  const char *pCharAt(int index) const;
  // The byte at an index, 0 when the index is outside the text.
  char charAt(int index) const;
  bool isValidObject() const { return m_marker == 0xAA; }
  int getCP() const { return m_cp; }
  // 0 not stated, 1 ANSI, 2 UTF-8; any other value stores 0.
  void putCP(int cp);
  int countCharOccurances(char c) const;
  bool endsWith(const char *s) const;
  bool endsWithIgnoreCase(const char *s) const;
  bool getBetween(const char *begin, const char *end, StringBuffer &out) const;
  void releaseBuffer();

  int getCapacity() const { return m_capacity; }
  int getReserve() const { return m_reserve; }

  // Storage.
  void clear();
  void secureClear();
  void shorten(int n);
  bool expectNumBytes(int n, int unused = 0);
  void minimizeMemoryUsage();
  char *extractString(int *len);
  // Adopts the buffer's block when it holds more than one byte; the last byte must be the NUL
  // (one is added when missing). False when memory cannot be had (the text is then empty).
  bool takeFromDb(DataBuffer &db);

  // Appending: false when the block had to grow and could not (text unchanged).
  bool appendN(const char *p, int n);
  // Lengthens the text by n bytes (NUL-terminated after them) for the caller to fill in, and
  // returns where they start; null when the block cannot grow (text unchanged).
  char *appendSpace(int n);
  bool append(const char *s);
  bool append(const StringBuffer &sb);
  bool append(const DataBuffer &db);
  bool append3(const char *a, const char *b, const char *c);
  void appendChar(char c);
  bool appendCharN(char c, int n);
  bool setString(const char *s);
  bool setString(const StringBuffer &sb);
  bool prepend(const char *s);
  bool copyUntil(const char *marker, int start, unsigned int &count, StringBuffer &out) const;

  // Removing and trimming.
  void trim2();
  void trimTrailingCRLFs();
  void trimInsideSpaces();
  void removeChunk(int start, int count);
  void removeCharOccurances(char c);
  void eliminateChar(char c, int start);
  void chopAtFirstChar(char c);
  void chopAtSubstr(const char *s, bool keepSubstr);
  void removeInvalidXmlTagChars();
  void stripDirectory();

  // Replacing.
  int replaceAllOccurances(const char *find, const char *with);
  int replaceAllOccurancesNoCase(const char *find, const char *with);
  bool replaceFirstOccurance(const char *find, const char *with);
  void replaceCharAnsi(char from, char to);
  void replaceCharUtf8(char from, char to);
  void replaceHTMLSpecial();
  void toLF();
  void toCRLF();

  // Case.
  void toLowerCase();
  void toUpperCase();

  // Searching and comparing.
  bool containsChar(char c) const;
  bool containsSubstring(const char *s) const;
  bool containsSubstringNoCase(const char *s) const;
  bool beginsWith(const char *s) const;
  bool beginsWithIgnoreCase(const char *s) const;
  bool equals(const char *s) const;
  bool equals(const StringBuffer &sb) const;
  bool equalsIgnoreCase(const char *s) const;
  bool equalsIgnoreCase(const StringBuffer &sb) const;
  bool matches(const char *pattern, bool caseSensitive) const;
  char lastChar() const;
  bool is7bit(int n) const;

  static const char *findWordOnlyLatin1(const char *text, const char *word, bool caseSensitive,
                                        bool cidChars);
  static bool isLatin1AlphaNumeric(unsigned char c);
  static bool isCidChar(unsigned char c);

  // Formatting, splitting, conversion and files
  bool append(int v);
  bool append(unsigned int v);
  bool appendInt64(int64_t v);
  int intValue() const;
  static const char *numString(int v);
  static void reverse_string(char *buf, int n);
  void appendHexData(const unsigned char *p, int n);
  void appendHexDataNoWS(const unsigned char *p, int n);
  void appendSmallDataAsSpacedHexString(const unsigned char *p, int n);
  void canonicalizeHexString();
  void hexStringToBinary(DataBuffer &out) const;
  static void hexStringToBinary2(const char *text, unsigned int n, DataBuffer &out);
  void split(class ExtPtrArray &out, char delim, bool quotes, bool escapes) const;
  void splitUsingBoundary(const StringBuffer &boundary, class ExtPtrArray &out, int maxParts) const;
  void convertEncoding(int fromCodePage, int toCodePage);
  void cvAnsiToUtf8();
  bool loadFromFile(class XString &path, class LogBase *log);
  static StringBuffer *createFromFile(class XString &path, class LogBase *log);
  bool saveToFileUtf8(const char *path, class LogBase *log) const;
  // (end of formatting, splitting, conversion and files)

private:
  void check() const;
  bool grow(int64_t added, bool adjustReserve);
  void freeBlock();
  void initCopy(const char *p, int n, int reserve);
  int replaceAll(const char *find, const char *with, bool noCase);

  unsigned char m_marker = 0;
  unsigned char m_cp = 0;
  char *m_str = nullptr;
  int m_capacity = 0;
  int m_length = 0;
  int m_reserve = 0;
};
