#pragma once

class DataBuffer;

// Converters between Unicode encoding forms (UTF-7, UTF-8, UTF-32) and the UTF-8 sequence rules.
// UTF-16 and UTF-32 units are in host order (little-endian) unless a name says otherwise.
class Utf {
public:
  // Appends the UTF-7 form of the UTF-16 units of in (an odd last byte is ignored). Always true.
  static bool UnicodeToUtf7(DataBuffer &in, DataBuffer &out);
  // Appends the UTF-16 units decoded from UTF-7; false when the input was malformed (the output
  // holds everything that could be decoded all the same).
  static bool Utf7ToUnicode(DataBuffer &in, DataBuffer &out);

  // Whether the bytes form one well-formed UTF-8 sequence of that length (1 to 4).
  static bool isLegalUtf8(const unsigned char *p, int len);
  // Length of the UTF-8 sequence starting at p: 0 for nothing, 1 for an illegal sequence, the
  // number available when the sequence is cut short.
  static int NumUtf8Bytes(const unsigned char *p, int avail);

  // UTF-32 (little-endian) to UTF-8; false only for an input of 1 to 3 bytes.
  static bool Utf32ToUtf8(const DataBuffer &in, DataBuffer &out);
  // UTF-8 to UTF-32 little- or big-endian; false at the first illegal or truncated sequence.
  static bool Utf8toUtf32(const DataBuffer &in, DataBuffer &out);
  static bool Utf8toUtf32BE(const DataBuffer &in, DataBuffer &out);
};
