#pragma once

class StringBuffer;
class DataBuffer;

// Base64 (standard alphabet with line breaks; standard and URL-safe alphabets on one line),
// quoted-printable and Base32. Encoders append to a StringBuffer; decoders fill a DataBuffer or
// return a new block from ckNewBytes that the caller releases with ckFreeBytes.
class ContentCoding {
public:
  ContentCoding();
  virtual ~ContentCoding();

  // Encoders break lines after this many characters; never less than 10.
  void setLineLength(int n);
  int getLineLength() const { return m_lineLength; }

  // Base64 with CR LF line breaks; the output always ends with CR LF.
  bool encodeBase64(const void *data, int len, StringBuffer &out) const;
  bool encodeBase64_noCrLf(const void *data, int len, StringBuffer &out) const;
  bool encodeModBase64_noCrLf(const void *data, int len, StringBuffer &out) const;
  static bool encodeBase64_noCrLf_inner(const void *data, int len, const char *alphabet,
                                        StringBuffer &out);

  // Replaces db's content with the decoded bytes; false only when memory cannot be had.
  bool decodeBase64ToDb(const char *text, int len, DataBuffer &db) const;
  // Null for a null text, a length below 1 or a null length pointer.
  static unsigned char *decodeBase64(const char *text, int len, int *outLen);
  unsigned char *decodeBase64_2(const char *text, int len, int *outLen, bool &success) const;

  bool encodeQuotedPrintable(const void *data, int len, StringBuffer &out) const;
  unsigned char *decodeQuotedPrintable(const char *text, int len, int *outLen) const;
  bool decodeQuotedPrintableToDb(const char *text, int len, DataBuffer &db) const;

  bool encodeBase32_noCrLf(const unsigned char *data, unsigned int len, StringBuffer &out) const;
  bool decodeBase32(const unsigned char *text, unsigned int len, DataBuffer &db) const;

  // Upper estimate of the Base64 size, used to reserve output space.
  static int computeBase64Size(int count, int lineLength);

private:
  int m_lineLength;
};
