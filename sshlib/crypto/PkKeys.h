// The RSA and DSA key records and the XML reading they share.
#pragma once

#include "sshlib/crypto/RazudodBignum.h"

class ClsXml;
class LogBase;
class StringBuffer;

// RSA key: e, d, N, p, q and the CRT values (qP = q^-1 mod p, dP, dQ). m_type 0 public, 1 private.
class rsa_key {
public:
  rsa_key();
  ~rsa_key();
  rsa_key(const rsa_key &) = delete;
  rsa_key &operator=(const rsa_key &) = delete;

  void clear();
  bool copyFrom(const rsa_key &other);
  void set_ModulusBitLen(int bits) { m_modulusBitLen = bits; }
  // The significant bits of N (the stored value while N is not set).
  int get_ModulusBitLen() const;

  int m_type = 0;
  int m_modulusBitLen = 0;
  mp_int e, d, N, p, q, qP, dP, dQ;
};

// DSA key: p, q, g, y and x. m_type 0 public, 1 private.
class dsa_key {
public:
  dsa_key();
  ~dsa_key();
  dsa_key(const dsa_key &) = delete;
  dsa_key &operator=(const dsa_key &) = delete;

  void clear();
  bool copyFrom(const dsa_key &other);

  int m_type = 0;
  mp_int p, q, g, y, x;
};

namespace pkxml {

// "<type> <bits> <md5 of the public blob as colon-separated lower-case hex>", appended.
void appendFingerprint(const char *type, int bits, const class DataBuffer &blob, StringBuffer &out);

// Appends <tag>Base64 of the magnitude</tag>.
bool appendValue(const char *tag, const mp_int &v, StringBuffer &out);
// Reads the child <tag> of the XML's root (Base64) into v; false when absent or malformed.
class Reader {
public:
  // False (with an error logged) when the text is not XML or its root is not `root`.
  bool load(const StringBuffer &xml, const char *root, LogBase &log);
  bool has(const char *tag);
  bool get(const char *tag, mp_int &v);
  ~Reader();

private:
  ClsXml *m_xml = nullptr;
};

} // namespace pkxml
