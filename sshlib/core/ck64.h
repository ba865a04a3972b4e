#pragma once

#include <cstdint>

class StringBuffer;

// Functions on signed 64-bit values.
class ck64 {
public:
  static int64_t DwordsToInt64(uint32_t low, uint32_t high);
  static void Int64ToDwords(int64_t v, uint32_t &low, uint32_t &high);
  static uint32_t LowWord(int64_t v);
  // True when the high 32 bits are not zero (so every negative value is too big).
  static bool TooBigForUnsigned32(int64_t v);
  // The low 32 bits, or 4294967295 when too big.
  static uint32_t toUnsignedLong(int64_t v);
  // Text of v in the base (2 to 36) into buf, which must hold 66 bytes. Base 10 writes a sign;
  // other bases write the two's-complement bits. False and "" for another base.
  static bool itoa(int64_t v, char *buf, int base);
  // Text of v in the base (2 to 36); when negative is set, "-" then the magnitude of v. Digits
  // above 9 are lower-case letters. False and "" for another base.
  static bool xtoa(int64_t v, char *buf, int base, bool negative);
  // Appends the decimal text of v.
  static bool Int64ToString(int64_t v, StringBuffer &sb);
  // Base-10 parse as strtoll: leading blanks and a sign, stops at the first non-digit; 0 for none.
  static int64_t StringToInt64(const char *s);
};
