// SHA-1, SHA-256 and the library's numbering of hash names, through OpenSSL's libcrypto.
#pragma once

class DataBuffer;

class Sha1 {
public:
  // Append the 20-byte digest.
  static void sha1_db(const DataBuffer &in, DataBuffer &out);
  static void sha1_bytes(const unsigned char *p, unsigned int n, DataBuffer &out);
};

class Sha2 {
public:
  // Appends the 32-byte digest.
  static void calcSha256(const DataBuffer &in, DataBuffer &out);
  static void calcSha256_bytes(const unsigned char *p, unsigned int n, DataBuffer &out);
};

class _ckHash {
public:
  // The library's number of a hash name (any case, "-" optional): sha1 1, sha384 2, sha512 3,
  // md5 5, sha256 7; 0 for a name it does not know.
  static int hashId(const char *name);
  // Digest size in bytes of a hash number; 0 when unknown.
  static unsigned int hashLen(int id);
  // Appends the digest of n bytes under the numbered hash; false for an unknown number.
  static bool doHash(const unsigned char *p, unsigned int n, int id, DataBuffer &out);
};
