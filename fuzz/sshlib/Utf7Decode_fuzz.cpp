// UTF-7 decoding of arbitrary bytes, and UTF-16 text through the encoder and back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/Utf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  DataBuffer in, out;
  in.append(data, static_cast<unsigned int>(size));
  Utf::Utf7ToUnicode(in, out);

  // Any UTF-16 text survives encoding and decoding (a leading byte-order mark is dropped).
  DataBuffer text;
  text.append(data, static_cast<unsigned int>(size & ~size_t{1}));
  DataBuffer utf7, back;
  Utf::UnicodeToUtf7(text, utf7);
  if (!Utf::Utf7ToUnicode(utf7, back)) std::abort();
  const unsigned int skip = text.getSize() >= 2 && data[0] == 0xFF && data[1] == 0xFE ? 2 : 0;
  if (back.getSize() != text.getSize() - skip) std::abort();
  if (back.getSize() && std::memcmp(back.getData2(), text.getData2() + skip, back.getSize()) != 0)
    std::abort();
  return 0;
}
