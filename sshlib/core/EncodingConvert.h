#pragma once

#include <string>
#include <utility>
#include <vector>

class DataBuffer;
class HashConvert;
class UnicodeLookup;

// One UTF-8 sequence to one UTF-16 unit.
class EncodingUtf8 {
public:
  // Decodes the sequence at p (avail bytes remain) into unit: the number of bytes used (1 to 3),
  // -2 when the lead byte wants more bytes than remain, -1 for an invalid sequence.
  static int fromMB(const unsigned char *p, int avail, unsigned short &unit);
  static bool isUtf8() { return true; }
};

// Converts text between Windows-style code pages. Every conversion goes through UTF-16LE (or
// UTF-8) with a few direct routes; the code-page tables are built once per process on first use.
// Results: true for a complete conversion; out receives whatever could be converted either way.
class EncodingConvert {
public:
  EncodingConvert();
  virtual ~EncodingConvert();

  EncodingConvert(const EncodingConvert &) = delete;
  EncodingConvert &operator=(const EncodingConvert &) = delete;

  bool EncConvert(int srcCodePage, int dstCodePage, const unsigned char *data, unsigned int len,
                  DataBuffer &out);
  bool AnsiToMultiByte(int dstCodePage, const char *text, int len, DataBuffer &out);
  bool ChConvert2(const char *srcCharset, int dstCodePage, const unsigned char *data,
                  unsigned int len, DataBuffer &out);

  // What happens at a unit that cannot be converted: 0 drop it; 1 write the substitution bytes;
  // 2 write "&#x" hex ";"; 6 convert the unit alone into the alternate code page; 7 copy the
  // unit's bytes; 8 (to Unicode, single bytes) write the byte as U+00xx.
  void setErrorAction(int action) { m_errorAction = action; }
  int getErrorAction() const { return m_errorAction; }
  void setAltCodePage(int codePage) { m_altCodePage = codePage; }
  // At most 100 bytes are kept.
  void setSubstitutionBytes(const unsigned char *p, int n);

  // The code-page tables (built once, thread-safely; never freed).
  static void ensureHashToUnicode(int codePage);
  static void ensureHashFromUnicode(int codePage);
  static void buildHash(const char *storedText, HashConvert &table, bool fromUnicode);
  static void buildFromComplete(const unsigned char *body, unsigned int len, HashConvert &table,
                                bool fromUnicode);
  static void buildFromDiffs(const unsigned char *body, unsigned int len, HashConvert &table);
  static void buildSingleByteLookup(HashConvert &table, UnicodeLookup &lookup);
  // The built tables (null until built, or for code pages without tables).
  static const UnicodeLookup *singleByteToUnicode(int codePage);
  static const HashConvert *hashToUnicode(int codePage);
  static const HashConvert *hashFromUnicode(int codePage);
  static bool isSingleByteCodePage(int codePage);
  static bool isMultiByteCodePage(int codePage);
  // True when text in the code page can be converted at all (by a table or a transform of its
  // own): a charset that names anything else is refused rather than converted to nothing.
  static bool canConvert(int codePage);

  static void appendHexData(const unsigned char *p, int n, DataBuffer &out);

  // UTF-8 text in the code page only when every character arrives: the bytes are appended to
  // `out` when they read back as the very text, else nothing is and the result is false (a
  // character the code page lacks, or a leading byte-order mark, would be left out or replaced).
  static bool fromUtf8Whole(int dstCodePage, const unsigned char *utf8, unsigned int len,
                            DataBuffer &out);

private:
  class Writer;
  bool convertGeneral(int src, int dst, const unsigned char *data, unsigned int len,
                      DataBuffer &out);
  bool convert_a(int src, int dst, const unsigned char *data, unsigned int len, DataBuffer &out);
  bool convertToUnicode(const unsigned char *data, unsigned int len, DataBuffer &out);
  bool convertFromUnicode(const unsigned char *data, unsigned int len, DataBuffer &out);
  bool convertToUnicodeHC(int src, const unsigned char *data, unsigned int len, DataBuffer &out);
  bool convertFromUnicodeHC(int dst, const unsigned char *data, unsigned int len, DataBuffer &out);
  bool convertToUnicodeByLookup(int src, const UnicodeLookup &lookup, const unsigned char *data,
                                unsigned int len, DataBuffer &out);
  bool convertToUnicodeHCVar(int src, const HashConvert *table, const unsigned char *data,
                             unsigned int len, DataBuffer &out);
  bool convertFromUnicodeHC2(int dst, const HashConvert *table, const unsigned char *data,
                             unsigned int len, DataBuffer &out);
  // One pass instead of two legs through UTF-16, for text that needs no error action; false (with
  // the output to be cut back) at the first place that does.
  static bool utf8ToTableDirect(const HashConvert &table, const unsigned char *data,
                                unsigned int len, DataBuffer &out);
  static bool singleByteToUtf8Direct(const UnicodeLookup &lookup, const unsigned char *data,
                                     unsigned int len, DataBuffer &out);

  void handleErrorFromUtf8(const unsigned char *p, int n, Writer &w);
  void handleErrorFromSingleByte(int cp, const unsigned char *p, Writer &w);
  void handleErrorFromUnknown(int cp, const unsigned char *p, int n, Writer &w);
  void handleErrorFromUnicode(const unsigned char *unit, Writer &w);
  void errorToUnicode(int cp, const unsigned char *p, int n, Writer &w);
  // Bytes that go to the final output unchanged, whatever leg produced them.
  void emitRaw(const unsigned char *p, unsigned int n, Writer &w);
  void flushInsertsUpTo(unsigned int offset, Writer &w);

  int m_errorAction = 0;
  int m_altCodePage = 0;
  int m_substLen = 0;
  unsigned char m_subst[100] = {};
  int m_srcCodePage = 0;
  int m_dstCodePage = 0;
  bool m_firstLeg = false;
  bool m_secondLeg = false;
  // Output of error handlers during a first leg: (offset in the intermediate UTF-16, bytes),
  // written by the second leg when it reaches that offset.
  std::vector<std::pair<unsigned int, std::string>> m_inserts;
  size_t m_nextInsert = 0;
};
