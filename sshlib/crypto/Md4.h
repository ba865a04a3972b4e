// MD4 digests (RFC 1320), needed by NTLM proxy authentication, through LibTomCrypt: OpenSSL 3
// keeps MD4 in its legacy provider, which a library must not load into the shared context.
#pragma once

class Md4 {
public:
  // The digest of n bytes into 16 bytes at out.
  static void digestBytes(const unsigned char *p, unsigned int n, unsigned char *out);
};
