// URL decoding of arbitrary text, and arbitrary bytes through the encoder and back.
#include <cstdint>
#include <cstdlib>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/UrlEncode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  StringBuffer text;
  text.appendN(reinterpret_cast<const char *>(data), static_cast<int>(size));
  DataBuffer out;
  UrlEncode::urlDecode(text, out);
  if (out.getSize() > size) std::abort();

  StringBuffer enc;
  UrlEncode::urlEncode2(data, static_cast<unsigned int>(size), enc);
  DataBuffer back;
  UrlEncode::urlDecode(enc, back);
  if (!back.equals2(data, static_cast<unsigned int>(size))) std::abort();
  return 0;
}
