// The library's random source: the operating system's generator, through OpenSSL's libcrypto.
#pragma once

class DataBuffer;

class RazudodRand {
public:
  // Appends n random bytes; false when the generator failed (nothing is appended then).
  static bool randomBytes(unsigned int n, DataBuffer &out);
  static bool randomBytes2(unsigned int n, unsigned char *out);
};
