#pragma once

#include "sshlib/core/RazudodObject.h"

class DataBuffer;

// The library's bzip2 worker over libbz2. For now it decodes the built-in compressed tables:
// 4 magic bytes E1 A7 94 B3, the decompressed size (32-bit little-endian), one bzip2 stream.
class RazudodBzip2 : public RazudodObject {
public:
  RazudodBzip2();
  ~RazudodBzip2() override;

  RazudodBzip2(const RazudodBzip2 &) = delete;
  RazudodBzip2 &operator=(const RazudodBzip2 &) = delete;

  // An empty input empties out and succeeds. A wrong start fails and leaves out as it was.
  // Otherwise out receives what the stream gives (at most the stated size plus 20 bytes); true
  // when the stream reached its end.
  bool unBzipWithHeader(DataBuffer &in, DataBuffer &out);
};
