// Decoder of Unix "compress" (.Z) data: LZW codes of 9 up to 16 bits, packed least significant
// bit first, with the format's block mode (code 256 clears the dictionary).
#pragma once

class DataSource;
class LogBase;
class Output;

class RazudodLzw {
public:
  RazudodLzw();
  virtual ~RazudodLzw();
  RazudodLzw(const RazudodLzw &) = delete;
  RazudodLzw &operator=(const RazudodLzw &) = delete;

  // 0 on success, -1 on failure. withMagic: the data begins with 1F 9D before the flags byte.
  int decompress2(DataSource &src, Output &out, bool withMagic, LogBase &log);
};
