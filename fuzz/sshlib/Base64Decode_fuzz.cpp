// Base64 decoding of arbitrary text, and arbitrary bytes through the encoders and back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ckMemory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ContentCoding cc;
  const char *text = reinterpret_cast<const char *>(data);
  const int len = static_cast<int>(size);
  DataBuffer db;
  cc.decodeBase64ToDb(text, len, db);
  int n = 0;
  if (unsigned char *p = ContentCoding::decodeBase64(text, len, &n)) ckFreeBytes(p);

  if (size > 0) cc.setLineLength(10 + data[0] % 80);
  StringBuffer lines, line, urlSafe;
  cc.encodeBase64(data, len, lines);
  cc.encodeBase64_noCrLf(data, len, line);
  cc.encodeModBase64_noCrLf(data, len, urlSafe);
  for (StringBuffer *sb : {&lines, &line}) {
    DataBuffer back;
    if (!cc.decodeBase64ToDb(sb->getString(), sb->getSize(), back)) std::abort();
    if (!back.equals2(data, static_cast<unsigned int>(size))) std::abort();
  }
  if (urlSafe.getSize() != line.getSize()) std::abort();
  return 0;
}
