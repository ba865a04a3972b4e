#pragma once

class DataBuffer;

// GB18030 (code page 54936) to and from UTF-16LE: one and two bytes as code page 936 reads them
// (with GB18030's own differences), four bytes for every other character, those beyond U+FFFF
// included. Bytes or units without a mapping are dropped and make the result false.
class Gb18030 {
public:
  static bool toUtf16(const unsigned char *data, unsigned int len, DataBuffer &out);
  static bool fromUtf16(const unsigned char *data, unsigned int len, DataBuffer &out);
};
