// MD5 digests (RFC 1321).
#pragma once

class StringBuffer;

class Md5 {
public:
  Md5();
  virtual ~Md5();
  Md5(const Md5 &) = delete;
  Md5 &operator=(const Md5 &) = delete;

  // The digest of the text's bytes (the terminating NUL excluded) into 16 bytes at out.
  void digestString(const StringBuffer &text, unsigned char *out);
  // The digest of n bytes into 16 bytes at out.
  void digestBytes(const unsigned char *p, unsigned int n, unsigned char *out);
};
