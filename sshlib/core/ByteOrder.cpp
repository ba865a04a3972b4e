#include "sshlib/core/ByteOrder.h"

#include <cstdint>
#include <cstring>

namespace {
unsigned char firstByteOfOne() {
  uint32_t one = 1;
  unsigned char b;
  std::memcpy(&b, &one, 1);
  return b;
}
} // namespace

bool ckIsBigEndian() {
  return firstByteOfOne() == 0;
}

bool ckIsLittleEndian() {
  return firstByteOfOne() == 1;
}
