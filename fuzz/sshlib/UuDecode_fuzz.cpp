// uudecode of arbitrary text, and arbitrary bytes through uuencode and back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/Uu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Uu uu;
  const std::string text(reinterpret_cast<const char *>(data), size);
  DataBuffer out;
  StringBuffer mode, name;
  uu.uu_decode2aa(text.c_str(), out, mode, name);

  DataBuffer in;
  in.append(data, static_cast<unsigned int>(size));
  StringBuffer enc;
  uu.uu_encode(in, "640", "data.bin", enc);
  DataBuffer back;
  if (size > 0) {
    if (!uu.uu_decode2aa(enc.getString(), back, mode, name)) std::abort();
    if (!back.equals(in) || !mode.equals("640") || !name.equals("data.bin")) std::abort();
  }
  return 0;
}
