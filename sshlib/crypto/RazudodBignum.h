// Big numbers between the transport and the cryptography.
//
// RazudodBignum: an owned word array, word 0 the number of 32-bit words that follow (at least 1),
// then the words least significant first; created with new[] by the functions here and released
// with freebn. RazudodMp: helpers over LibTomMath's mp_int, which the key records and
// Diffie-Hellman compute with.
#pragma once

#include <cstdlib>

#include <tommath.h>

class DataBuffer;
class LogBase;
class StringBuffer;

class RazudodBignum {
public:
  // A new number from unsigned big-endian bytes (no bytes: zero); null on failure.
  static unsigned int *fromBytes(const unsigned char *p, unsigned int n);
  static unsigned int *copybn(const unsigned int *bn);
  static void freebn(unsigned int *bn);
  // The SSH mpint body: big-endian, fewest bytes, a zero byte in front when the top bit is set;
  // nothing for zero or a null number.
  static void ssh2_mpint_fmt(const unsigned int *bn, DataBuffer &out);
  // Unsigned big-endian magnitude, fewest bytes (nothing for zero).
  static void toBytes(const unsigned int *bn, DataBuffer &out);
  static bool bignumToMpInt(const unsigned int *bn, mp_int *mp);
  static unsigned int *mpIntToBignum(const mp_int *mp);
  // Significant bits (0 for zero or a null number).
  static int bitcount(const unsigned int *bn);
  // -1, 0 or 1.
  static int compare(const unsigned int *a, const unsigned int *b);
};

class RazudodMp {
public:
  static bool read_unsigned_bin(mp_int &a, const unsigned char *p, unsigned int n);
  // Appends the unsigned big-endian magnitude (nothing for zero).
  static bool append_to_db(const mp_int &a, DataBuffer &out);
  // The magnitude left-padded with zero bytes to n bytes; false when it needs more.
  static bool append_fixed(const mp_int &a, unsigned int n, DataBuffer &out);
  // Base64 (no line breaks) of the big-endian magnitude, appended.
  static bool to_base64(const mp_int &a, LogBase &log, StringBuffer &out);
  static bool from_base64(const char *text, mp_int &a);
  // Low 32 bits of the magnitude.
  static unsigned int mp_get_int(const mp_int &a);
  // The SSH mpint body of a non-negative number, as ssh2_mpint_fmt.
  static bool ssh2_mpint_fmt(const mp_int &a, DataBuffer &out);
};

// An mp_int that is initialised and (securely) cleared with its scope.
class MpInt {
public:
  MpInt() {
    if (mp_init(&v) != MP_OKAY) std::abort();
  }
  ~MpInt() { mp_clear(&v); }
  MpInt(const MpInt &) = delete;
  MpInt &operator=(const MpInt &) = delete;
  mp_int *operator&() { return &v; }
  operator mp_int &() { return v; }
  mp_int v;
};
