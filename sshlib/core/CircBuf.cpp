#include "sshlib/core/CircBuf.h"

#include "sshlib/core/ckMemory.h"

#include <cstdint>
#include <cstring>

namespace {
// Zero bytes kept behind the unread data so the bit reader can always load 32 bits.
constexpr size_t kPad = 4;
} // namespace

CircBuf::CircBuf() = default;

CircBuf::~CircBuf() {
  ckFreeBytes(m_buf);
}

void CircBuf::clear() {
  ckFreeBytes(m_buf);
  m_buf = nullptr;
  m_capacity = m_head = m_tail = 0;
  m_readPtr = m_readPtr2 = nullptr;
  m_bitCount = 0;
}

void CircBuf::syncReadPtr() {
  if (m_readPtr) {
    m_readPtr = m_buf + m_head;
    m_readPtr2 = m_readPtr;
  }
}

bool CircBuf::AppendDataToCircBuf(const unsigned char *data, unsigned int n) {
  if (!data || n == 0) return true;
  size_t live = m_tail - m_head;
  if (m_tail + n + kPad > m_capacity) {
    if (live + n + kPad <= m_capacity && m_head > 0) {
      // Enough room once the consumed bytes are dropped.
      std::memmove(m_buf, m_buf + m_head, live);
    } else {
      uint64_t want = static_cast<uint64_t>(live) + n + kPad;
      uint64_t cap = static_cast<uint64_t>(m_capacity) * 2;
      if (cap < want) cap = want;
      if (cap > SIZE_MAX / 2) return false;
      unsigned char *nb = ckNewBytes(static_cast<size_t>(cap));
      if (!nb) return false;
      if (live) std::memcpy(nb, m_buf + m_head, live);
      ckFreeBytes(m_buf);
      m_buf = nb;
      m_capacity = static_cast<size_t>(cap);
    }
    m_head = 0;
    m_tail = live;
  }
  std::memcpy(m_buf + m_tail, data, n);
  m_tail += n;
  std::memset(m_buf + m_tail, 0, kPad);
  syncReadPtr();
  checkInitializePublicPtr(0);
  return true;
}

void CircBuf::checkInitializePublicPtr(unsigned int) {
  if (m_readPtr || !m_buf) return;
  m_bitCount = 0;
  m_readPtr = m_buf + m_head;
  m_readPtr2 = m_readPtr;
}

bool CircBuf::HasAtLeast2(unsigned int n, unsigned int &avail) {
  uint64_t held = m_tail - m_head;
  if (held == 0) {
    // Nothing buffered is never "enough", whatever was asked.
    avail = 0;
    return false;
  }
  if (m_bitCount > 7) --held;
  if (held >= n) return true;
  avail = static_cast<unsigned int>(held);
  return false;
}

bool CircBuf::HasAtLeast(unsigned int n) {
  unsigned int avail = 0;
  return HasAtLeast2(n, avail);
}

bool CircBuf::MoveForward(unsigned int bits) {
  if (!m_buf) {
    return false;
  }
  // Position in bits from the read offset; the read offset moves in 16-bit units.
  uint64_t pos = static_cast<uint64_t>(m_head) * 8 + m_bitCount + bits;
  uint64_t end = static_cast<uint64_t>(m_tail) * 8;
  bool ok = pos <= end;
  if (!ok) pos = end;
  uint64_t units = (pos - static_cast<uint64_t>(m_head) * 8) / 16;
  m_head += static_cast<size_t>(units * 2);
  m_bitCount = static_cast<unsigned int>(pos - static_cast<uint64_t>(m_head) * 8);
  m_readPtr = m_buf + m_head;
  m_readPtr2 = m_readPtr;
  return ok;
}
