// UTF-8 and UTF-32 conversions and the UTF-8 sequence rules on arbitrary bytes.
#include <cstdint>
#include <cstdlib>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/Utf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  DataBuffer in;
  in.append(data, static_cast<unsigned int>(size));
  DataBuffer le, be, u8;
  const bool ok = Utf::Utf8toUtf32(in, le);
  if (Utf::Utf8toUtf32BE(in, be) != ok || le.getSize() != be.getSize()) std::abort();
  // Whatever UTF-8 was accepted comes back unchanged, apart from encoded surrogates.
  Utf::Utf32ToUtf8(le, u8);
  DataBuffer again;
  if (!Utf::Utf8toUtf32(u8, again) || !again.equals(le)) std::abort();
  // Arbitrary UTF-32 always gives well-formed UTF-8.
  DataBuffer out;
  Utf::Utf32ToUtf8(in, out);
  DataBuffer check;
  if (!Utf::Utf8toUtf32(out, check)) std::abort();
  for (size_t i = 0; i < size; ++i) {
    const int n = Utf::NumUtf8Bytes(data + i, static_cast<int>(size - i));
    if (n < 1 || static_cast<size_t>(n) > size - i) std::abort();
  }
  return 0;
}
