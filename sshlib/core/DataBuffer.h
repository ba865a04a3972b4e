#pragma once

#include "sshlib/core/RazudodObject.h"

class StringBuffer;
class LogBase;

// The library's growable byte buffer. Sizes are unsigned 32-bit and computed in 64 bits: a request
// whose result would not fit fails (false) and leaves the buffer unchanged, and so does a failed
// reallocation (the old block and its content are kept).
class DataBuffer : public RazudodObject {
public:
  DataBuffer();
  explicit DataBuffer(unsigned int capacity);
  // Adopts a block from ckNewBytes as owned content (size = capacity = n).
  DataBuffer(unsigned char *block, int n);
  ~DataBuffer() override;

  DataBuffer(const DataBuffer &) = delete;
  DataBuffer &operator=(const DataBuffer &) = delete;

  // Access.
  unsigned int getSize() const { return m_size; }
  unsigned int getBufSize() const { return m_capacity; }
  unsigned char *getData2() const { return m_data; }
  unsigned char *getDataAt2(int index) const;
  unsigned char firstByte() const;
  unsigned char lastByte() const;
  unsigned char *getDataSafe4();
  bool equals(const DataBuffer &other) const;
  bool equals2(const void *p, unsigned int n) const;
  bool isBorrowed() const { return m_borrowed; }
  bool isValidObject() const { return m_marker == 219; }

  // Size and memory.
  void clear();
  void shorten(unsigned int n);
  void setDataSize_CAUTION(unsigned int n);
  void removeChunk(int start, int count);
  void removeHead(unsigned int n);
  void dropData();
  unsigned char *removeData();
  void clearWithDeallocate();
  void secureClear();
  void minimizeMemoryUsage();
  bool ensureBuffer(unsigned int n);

  // Appending: false only when memory could not be had or the size would not fit.
  bool append(const void *p, unsigned int n);
  bool append(const DataBuffer &db);
  bool append(const StringBuffer &sb);
  bool appendRange(const DataBuffer &src, unsigned int offset, unsigned int count);
  bool appendChar(unsigned char c);
  bool appendCharN(unsigned char c, unsigned int n);
  // The UTF-8 form of one UTF-16 unit on its own; the number of bytes appended, 0 on failure.
  unsigned int appendUcs2AsUtf8(unsigned short u);
  bool appendNullTerminatedUnicode(const unsigned short *s);
  bool prepend(const void *p, unsigned int n);
  bool appendLowOverhead(const void *p, unsigned int n);

  // Taking and lending memory.
  void takeData(DataBuffer &other);
  void takeData(unsigned char *block, unsigned int n);
  void takeData(void *block, unsigned int n);
  void takeDataPtr(DataBuffer *other);
  // Refers to the block without owning it; the first reallocation copies it.
  void borrowData(void *block, unsigned int n);

  // Transforms in place.
  void byteSwap4321();
  void chopAtFirstCharW(unsigned short c);
  void replaceCharW(unsigned short from, unsigned short to);
  bool exclusiveOr(const DataBuffer &a, const DataBuffer &b);
  // The content as 16-bit units, each case-mapped in place.
  void toLowercaseW(int unused = 0);
  void toUppercaseW(int unused = 0);

  // Encoding out.
  void toHexString(StringBuffer &out) const;
  static void toHexString2(const unsigned char *p, unsigned int n, StringBuffer &out);

  // Block-cipher padding: 0 PKCS #7, 1 FIPS 81, 2 random, 3 zeros, 4 spaces; the block size is 16
  // unless it is exactly 8.
  bool padForEncryption(int scheme, int blockSize);
  bool unpadAfterDecryption(int scheme, int blockSize, LogBase &log);
  // Fill pad (room for 16 bytes) with the pad bytes for a content of curSize bytes.
  static void makePad(unsigned char *pad, unsigned int curSize, unsigned int &padLen,
                      int blockSize);
  static void makeRandomPad(unsigned char *pad, unsigned int curSize, unsigned int &padLen,
                            int blockSize);
  static void makePadFips81(unsigned char *pad, unsigned int curSize, unsigned int &padLen,
                            int blockSize);

  // Encodings, files and escaped rendering
  // Decodes the text by encoding name ("base64", "qp", "hex", "url"; any case) and appends it.
  bool appendEncoded(const char *text, const char *encoding);
  void encode(const char *encoding, StringBuffer &out) const;
  static void encode2(const char *encoding, const unsigned char *p, unsigned int n,
                      StringBuffer &out);
  // Whole-file loads replacing the content; four zero bytes follow it in the block.
  bool loadFileAnsi(const char *path, LogBase *log);
  bool loadFileUnicode(const unsigned short *path, LogBase *log);
  bool loadFileUtf8(const char *path, LogBase *log);
  // (end of encodings, files and escaped rendering)

private:
  void check() const;
  bool reallocate(uint64_t newCapacity);
  bool growFor(uint64_t needed, uint64_t newCapacity);
  void freeOwned();

  unsigned char m_marker = 0;
  bool m_borrowed = false;
  unsigned char *m_data = nullptr;
  unsigned int m_size = 0;
  unsigned int m_capacity = 0;
};
