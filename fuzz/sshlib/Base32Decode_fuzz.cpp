// Base32 decoding of arbitrary text (any length), and arbitrary bytes through the encoder and back.
#include <cstdint>
#include <cstdlib>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ContentCoding cc;
  DataBuffer db;
  cc.decodeBase32(data, static_cast<unsigned int>(size), db);
  if (db.getSize() > (size + 7) / 8 * 5) std::abort();

  StringBuffer enc;
  cc.encodeBase32_noCrLf(data, static_cast<unsigned int>(size), enc);
  DataBuffer back;
  cc.decodeBase32(reinterpret_cast<const unsigned char *>(enc.getString()),
                  static_cast<unsigned int>(enc.getSize()), back);
  if (!back.equals2(data, static_cast<unsigned int>(size))) std::abort();
  return 0;
}
