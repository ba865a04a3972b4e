// Drives the inflater's input queue with chunks and bit moves decoded from the input, checking
// every read against a plain copy of the bytes.
#include "sshlib/core/CircBuf.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  CircBuf cb;
  std::vector<uint8_t> model; // every byte appended
  uint64_t bitPos = 0;        // bits consumed
  size_t i = 0;
  while (i < size) {
    uint8_t op = data[i++];
    if (op & 1) {
      // Append a chunk of up to 63 bytes taken from the input.
      size_t n = op >> 2;
      if (n > size - i) n = size - i;
      if (!cb.AppendDataToCircBuf(data + i, static_cast<unsigned>(n))) std::abort();
      model.insert(model.end(), data + i, data + i + n);
      i += n;
    } else {
      unsigned bits = (op >> 1) % 33;
      uint64_t end = model.size() * 8;
      bool expectOk = bitPos + bits <= end;
      if (cb.m_readPtr) {
        // The 32 bits at the read pointer, shifted by the bit count, are the stream's next bits.
        uint32_t w;
        std::memcpy(&w, cb.m_readPtr, 4);
        uint64_t want = 0;
        for (int b = 0; b < 16; ++b) {
          uint64_t at = bitPos + b;
          if (at < end && ((model[at / 8] >> (at % 8)) & 1)) want |= 1ull << b;
        }
        if (((w >> cb.m_bitCount) & 0xFFFF) != want) std::abort();
      }
      bool ok = cb.MoveForward(bits);
      if (cb.m_readPtr && ok != expectOk) std::abort();
      bitPos = ok ? bitPos + bits : end;
      if (!cb.m_readPtr) bitPos = 0;
    }
    uint64_t heldBytes = model.size() - bitPos / 16 * 2;
    uint64_t avail = heldBytes;
    if (avail > 0 && cb.m_bitCount > 7) --avail;
    if (cb.m_readPtr && heldBytes > 0 &&
        (!cb.HasAtLeast(static_cast<unsigned>(avail)) ||
         cb.HasAtLeast(static_cast<unsigned>(avail + 1))))
      std::abort();
  }
  return 0;
}
