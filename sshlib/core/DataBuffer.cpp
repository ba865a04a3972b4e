#include "sshlib/core/DataBuffer.h"

#include "sshlib/core/CaseMapping.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ckMemory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
constexpr unsigned char kMarker = 219;
constexpr uint64_t kMaxSize = 0xFFFFFFFFu;

// Slack added by append, by the size already held: big transfers reallocate rarely, and past
// 12 MB the slack is half the content, so that growth is geometric and appending stays linear.
uint64_t growthStep(uint64_t size) {
  if (size < 50000) return 20000;
  if (size < 100000) return 50000;
  if (size < 1000000) return 100000;
  if (size < 2000000) return 1000000;
  if (size < 3000000) return 2000000;
  if (size < 4000000) return 3000000;
  if (size < 8000000) return 4000000;
  if (size < 12000000) return 8000000;
  return size / 2 > 12000000 ? size / 2 : 12000000;
}

// Slack of the one-character appends: a fixed margin for small buffers, half the content for
// large ones.
uint64_t charMargin(uint64_t size, uint64_t fixed) {
  return size / 2 > fixed ? size / 2 : fixed;
}

int padBlockSize(int blockSize) {
  return blockSize == 8 ? 8 : 16;
}
} // namespace

DataBuffer::DataBuffer() : m_marker(kMarker) {}

DataBuffer::DataBuffer(unsigned int capacity) : m_marker(kMarker) {
  if (capacity == 0) return;
  m_data = ckNewBytes(capacity);
  if (m_data) {
    std::memset(m_data, 0, capacity);
    m_capacity = capacity;
  }
}

DataBuffer::DataBuffer(unsigned char *block, int n) : m_marker(kMarker) {
  m_data = block;
  if (block && n > 0) m_size = m_capacity = static_cast<unsigned int>(n);
}

DataBuffer::~DataBuffer() {
  m_marker = 0;
  freeOwned();
  m_size = m_capacity = 0;
}

void DataBuffer::check() const {
  if (m_marker != kMarker) ckFatalInternalError("DataBuffer used after destruction or overwritten");
}

void DataBuffer::freeOwned() {
  if (m_data && !m_borrowed) ckFreeBytes(m_data);
  m_data = nullptr;
  m_borrowed = false;
}

// Moves the content into an owned block of exactly newCapacity bytes. On failure nothing changes
// and the result is false: the content is never lost to a failed growth.
bool DataBuffer::reallocate(uint64_t newCapacity) {
  if (newCapacity > kMaxSize || newCapacity < m_size) return false;
  if (newCapacity == 0) {
    freeOwned();
    m_capacity = 0;
    return true;
  }
  unsigned char *block = ckNewBytes(static_cast<size_t>(newCapacity));
  if (!block) return false;
  if (m_size) std::memcpy(block, m_data, m_size);
  freeOwned();
  m_data = block;
  m_capacity = static_cast<unsigned int>(newCapacity);
  return true;
}

// Room for `needed` bytes in all; when short, grows to newCapacity (cut down to the 32-bit limit
// when the request itself still fits).
bool DataBuffer::growFor(uint64_t needed, uint64_t newCapacity) {
  if (needed > kMaxSize) return false;
  if (needed <= m_capacity && m_data) return true;
  if (newCapacity > kMaxSize) newCapacity = kMaxSize;
  if (newCapacity < needed) newCapacity = needed;
  return reallocate(newCapacity);
}

// ---------------------------------------------------------------------------------------------
// Access

unsigned char *DataBuffer::getDataAt2(int index) const {
  if (!m_data || index < 0 || static_cast<unsigned int>(index) >= m_size) return nullptr;
  return m_data + index;
}

unsigned char DataBuffer::firstByte() const {
  return (m_data && m_size) ? m_data[0] : 0;
}

unsigned char DataBuffer::lastByte() const {
  return (m_data && m_size) ? m_data[m_size - 1] : 0;
}

unsigned char *DataBuffer::getDataSafe4() {
  check();
  if (!m_data) {
    m_data = ckNewBytes(4);
    if (!m_data) return nullptr;
    std::memset(m_data, 0, 4);
    m_capacity = 4;
    m_size = 0;
    m_borrowed = false;
  }
  return m_data;
}

bool DataBuffer::equals(const DataBuffer &other) const {
  if (m_size != other.m_size) return false;
  if (m_size == 0) return true;
  return std::memcmp(m_data, other.m_data, m_size) == 0;
}

bool DataBuffer::equals2(const void *p, unsigned int n) const {
  if (n != m_size) return false;
  if (n == 0) return true;
  if (!p) return false;
  return std::memcmp(m_data, p, n) == 0;
}

// ---------------------------------------------------------------------------------------------
// Size and memory

void DataBuffer::clear() {
  m_size = 0;
}

void DataBuffer::shorten(unsigned int n) {
  m_size = n >= m_size ? 0 : m_size - n;
}

void DataBuffer::setDataSize_CAUTION(unsigned int n) {
  m_size = n > m_capacity ? m_capacity : n;
}

void DataBuffer::removeChunk(int start, int count) {
  if (start < 0 || count < 1 || static_cast<unsigned int>(start) >= m_size) return;
  uint64_t end = static_cast<uint64_t>(start) + static_cast<uint64_t>(count);
  if (end > m_size) {
    m_size = static_cast<unsigned int>(start);
    return;
  }
  std::memmove(m_data + start, m_data + end, static_cast<size_t>(m_size - end));
  m_size -= static_cast<unsigned int>(count);
}

void DataBuffer::removeHead(unsigned int n) {
  check();
  if (n >= m_size) {
    m_size = 0;
    return;
  }
  std::memmove(m_data, m_data + n, m_size - n);
  m_size -= n;
}

void DataBuffer::dropData() {
  m_data = nullptr;
  m_size = m_capacity = 0;
  m_borrowed = false;
}

unsigned char *DataBuffer::removeData() {
  check();
  if (m_borrowed && m_data) {
    // The caller will free what it gets: give it a copy it may own.
    if (!reallocate(m_size ? m_size : 1)) return nullptr;
  }
  unsigned char *p = m_data;
  dropData();
  return p;
}

void DataBuffer::clearWithDeallocate() {
  check();
  freeOwned();
  m_size = m_capacity = 0;
}

void DataBuffer::secureClear() {
  if (m_data && m_size) std::memset(m_data, 0, m_size);
  m_size = 0;
}

void DataBuffer::minimizeMemoryUsage() {
  if (m_data && m_capacity > static_cast<uint64_t>(m_size) + 4)
    reallocate(static_cast<uint64_t>(m_size) + 4);
}

bool DataBuffer::ensureBuffer(unsigned int n) {
  check();
  if (m_capacity < n) reallocate(n);
  // A failed growth keeps the old, smaller block: that is still a failure.
  return m_data != nullptr && m_capacity >= n;
}

// ---------------------------------------------------------------------------------------------
// Appending

bool DataBuffer::append(const void *p, unsigned int n) {
  check();
  if (!p || n == 0) return true;
  const unsigned char *src = static_cast<const unsigned char *>(p);
  // The bytes may lie in this very block; find them again after a reallocation.
  bool inside = m_data && src >= m_data && src < m_data + m_capacity;
  size_t off = inside ? static_cast<size_t>(src - m_data) : 0;
  uint64_t needed = static_cast<uint64_t>(m_size) + n;
  uint64_t step = growthStep(m_size);
  if (!growFor(needed, m_size + (n > step ? n : step))) return false;
  if (inside) src = m_data + off;
  std::memmove(m_data + m_size, src, n);
  m_size += n;
  return true;
}

bool DataBuffer::append(const DataBuffer &db) {
  if (db.m_size == 0) return true;
  return append(db.m_data, db.m_size);
}

bool DataBuffer::append(const StringBuffer &sb) {
  if (sb.getSize() <= 0) return true;
  return append(sb.getString(), static_cast<unsigned int>(sb.getSize()));
}

bool DataBuffer::appendRange(const DataBuffer &src, unsigned int offset, unsigned int count) {
  if (offset >= src.m_size) return true;
  unsigned int avail = src.m_size - offset;
  return append(src.m_data + offset, count < avail ? count : avail);
}

bool DataBuffer::appendChar(unsigned char c) {
  check();
  uint64_t needed = static_cast<uint64_t>(m_size) + 1;
  if (!growFor(needed, static_cast<uint64_t>(m_size) + charMargin(m_size, 10000))) return false;
  m_data[m_size++] = c;
  return true;
}

bool DataBuffer::appendCharN(unsigned char c, unsigned int n) {
  check();
  if (n == 0) return true;
  uint64_t needed = static_cast<uint64_t>(m_size) + n;
  if (!growFor(needed, needed + charMargin(m_size, 10000))) return false;
  std::memset(m_data + m_size, c, n);
  m_size += n;
  return true;
}

unsigned int DataBuffer::appendUcs2AsUtf8(unsigned short u) {
  check();
  unsigned char b[3];
  unsigned int n;
  if (u < 0x80) {
    b[0] = static_cast<unsigned char>(u);
    n = 1;
  } else if (u < 0x800) {
    b[0] = static_cast<unsigned char>(0xC0 | (u >> 6));
    b[1] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    n = 2;
  } else {
    b[0] = static_cast<unsigned char>(0xE0 | (u >> 12));
    b[1] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
    b[2] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    n = 3;
  }
  uint64_t needed = static_cast<uint64_t>(m_size) + n;
  if (!growFor(needed, static_cast<uint64_t>(m_size) + charMargin(m_size, 20000))) return 0;
  std::memcpy(m_data + m_size, b, n);
  m_size += n;
  return n;
}

bool DataBuffer::appendNullTerminatedUnicode(const unsigned short *s) {
  check();
  if (!s) {
    static const unsigned char zero[2] = {0, 0};
    return append(zero, 2);
  }
  uint64_t units = 0;
  while (s[units])
    ++units;
  uint64_t bytes = (units + 1) * 2;
  if (bytes > kMaxSize) return false;
  return append(s, static_cast<unsigned int>(bytes));
}

bool DataBuffer::prepend(const void *p, unsigned int n) {
  check();
  if (!p || n == 0) return true;
  uint64_t needed = static_cast<uint64_t>(m_size) + n;
  if (needed > kMaxSize) return false;
  const unsigned char *src = static_cast<const unsigned char *>(p);
  unsigned char *copy = nullptr;
  if (m_data && src >= m_data && src < m_data + m_capacity) {
    copy = ckNewBytes(n);
    if (!copy) return false;
    std::memcpy(copy, src, n);
    src = copy;
  }
  bool ok = ensureBuffer(static_cast<unsigned int>(needed)) && m_capacity >= needed;
  if (ok) {
    std::memmove(m_data + n, m_data, m_size);
    std::memcpy(m_data, src, n);
    m_size += n;
  }
  ckFreeBytes(copy);
  return ok;
}

bool DataBuffer::appendLowOverhead(const void *p, unsigned int n) {
  check();
  if (!p || n == 0) return true;
  uint64_t needed = static_cast<uint64_t>(m_size) + n;
  const unsigned char *src = static_cast<const unsigned char *>(p);
  bool inside = m_data && src >= m_data && src < m_data + m_capacity;
  size_t off = inside ? static_cast<size_t>(src - m_data) : 0;
  if (!growFor(needed, needed)) return false;
  if (inside) src = m_data + off;
  std::memmove(m_data + m_size, src, n);
  m_size += n;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Taking and lending memory

void DataBuffer::takeData(DataBuffer &other) {
  check();
  if (&other == this) return;
  freeOwned();
  m_data = other.m_data;
  m_size = other.m_size;
  m_capacity = other.m_capacity;
  m_borrowed = other.m_borrowed;
  other.dropData();
}

void DataBuffer::takeData(unsigned char *block, unsigned int n) {
  check();
  if (block == m_data && !m_borrowed) {
    m_size = m_capacity = block ? n : 0;
    return;
  }
  freeOwned();
  m_data = block;
  m_size = m_capacity = block ? n : 0;
}

void DataBuffer::takeData(void *block, unsigned int n) {
  takeData(static_cast<unsigned char *>(block), n);
}

void DataBuffer::takeDataPtr(DataBuffer *other) {
  if (!other) {
    m_size = 0;
    return;
  }
  takeData(*other);
}

void DataBuffer::borrowData(void *block, unsigned int n) {
  check();
  freeOwned();
  m_data = static_cast<unsigned char *>(block);
  m_size = m_capacity = block ? n : 0;
  m_borrowed = block != nullptr;
}

// ---------------------------------------------------------------------------------------------
// Transforms in place

void DataBuffer::byteSwap4321() {
  if (!m_data) return;
  unsigned int i = 0;
  for (; i + 4 <= m_size; i += 4) {
    unsigned char *q = m_data + i;
    unsigned char t0 = q[0], t1 = q[1];
    q[0] = q[3];
    q[1] = q[2];
    q[2] = t1;
    q[3] = t0;
  }
  unsigned int rest = m_size - i;
  unsigned char *q = m_data + i;
  if (rest == 2) {
    unsigned char t = q[0];
    q[0] = q[1];
    q[1] = t;
  } else if (rest == 3) {
    unsigned char t = q[0];
    q[0] = q[2];
    q[2] = t;
  }
}

void DataBuffer::chopAtFirstCharW(unsigned short c) {
  if (c == 0 || !m_data || m_size < 2) return;
  unsigned int units = m_size / 2;
  for (unsigned int i = 0; i < units; ++i) {
    unsigned short u;
    std::memcpy(&u, m_data + 2 * i, 2);
    if (u == c) {
      std::memset(m_data + 2 * i, 0, 2);
      m_size = 2 * (i + 1);
      return;
    }
  }
  m_size = units * 2;
}

void DataBuffer::replaceCharW(unsigned short from, unsigned short to) {
  if (from == 0 || to == 0 || !m_data) return;
  for (unsigned int i = 0; i + 2 <= m_size; i += 2) {
    unsigned short u;
    std::memcpy(&u, m_data + i, 2);
    if (u == from) std::memcpy(m_data + i, &to, 2);
  }
}

bool DataBuffer::exclusiveOr(const DataBuffer &a, const DataBuffer &b) {
  if (a.m_size != b.m_size) return false;
  unsigned int n = a.m_size;
  if (n == 0) {
    m_size = 0;
    return true;
  }
  if (!ensureBuffer(n) || m_capacity < n) return false;
  for (unsigned int i = 0; i < n; ++i)
    m_data[i] = static_cast<unsigned char>(a.m_data[i] ^ b.m_data[i]);
  m_size = n;
  return true;
}

void DataBuffer::toLowercaseW(int) {
  if (!m_data) return;
  for (unsigned int i = 0; i + 2 <= m_size; i += 2) {
    unsigned short u;
    std::memcpy(&u, m_data + i, 2);
    u = CaseMapping::upperToLower(u);
    std::memcpy(m_data + i, &u, 2);
  }
}

void DataBuffer::toUppercaseW(int) {
  if (!m_data) return;
  for (unsigned int i = 0; i + 2 <= m_size; i += 2) {
    unsigned short u;
    std::memcpy(&u, m_data + i, 2);
    u = CaseMapping::lowerToUpper(u);
    std::memcpy(m_data + i, &u, 2);
  }
}

// ---------------------------------------------------------------------------------------------
// Encoding out

void DataBuffer::toHexString(StringBuffer &out) const {
  check();
  toHexString2(m_data, m_size, out);
}

void DataBuffer::toHexString2(const unsigned char *p, unsigned int n, StringBuffer &out) {
  if (!p || n == 0) return;
  static const char hex[] = "0123456789ABCDEF";
  char piece[500];
  int used = 0;
  for (unsigned int i = 0; i < n; ++i) {
    piece[used++] = hex[p[i] >> 4];
    piece[used++] = hex[p[i] & 0x0F];
    if (used == static_cast<int>(sizeof piece)) {
      out.appendN(piece, used);
      used = 0;
    }
  }
  if (used) out.appendN(piece, used);
}

// ---------------------------------------------------------------------------------------------
// Padding

void DataBuffer::makePad(unsigned char *pad, unsigned int curSize, unsigned int &padLen,
                         int blockSize) {
  unsigned int bs = static_cast<unsigned int>(padBlockSize(blockSize));
  unsigned int n = bs - curSize % bs;
  std::memset(pad, static_cast<int>(n), n);
  padLen = n;
}

void DataBuffer::makeRandomPad(unsigned char *pad, unsigned int curSize, unsigned int &padLen,
                               int blockSize) {
  unsigned int bs = static_cast<unsigned int>(padBlockSize(blockSize));
  unsigned int r = curSize % bs;
  padLen = r == 0 ? 0 : bs - r;
  for (unsigned int i = 0; i < padLen; ++i)
    pad[i] = static_cast<unsigned char>(std::rand() & 0xFF);
}

void DataBuffer::makePadFips81(unsigned char *pad, unsigned int curSize, unsigned int &padLen,
                               int blockSize) {
  unsigned int bs = static_cast<unsigned int>(padBlockSize(blockSize));
  unsigned int n = bs - curSize % bs;
  for (unsigned int i = 0; i + 1 < n; ++i)
    pad[i] = static_cast<unsigned char>(std::rand() & 0xFF);
  pad[n - 1] = static_cast<unsigned char>(n);
  padLen = n;
}

bool DataBuffer::padForEncryption(int scheme, int blockSize) {
  check();
  unsigned char pad[16];
  unsigned int n = 0;
  unsigned int bs = static_cast<unsigned int>(padBlockSize(blockSize));
  unsigned int r = m_size % bs;
  switch (scheme) {
  case 0:
    makePad(pad, m_size, n, blockSize);
    break;
  case 1:
    makePadFips81(pad, m_size, n, blockSize);
    break;
  case 2:
    makeRandomPad(pad, m_size, n, blockSize);
    break;
  case 3:
  case 4:
    n = r == 0 ? 0 : bs - r;
    std::memset(pad, scheme == 3 ? 0x00 : 0x20, n);
    break;
  default:
    return true;
  }
  return appendLowOverhead(pad, n);
}

bool DataBuffer::unpadAfterDecryption(int scheme, int, LogBase &) {
  check();
  if (m_size == 0) return true;
  if (scheme == 0 || scheme == 1) shorten(lastByte());
  return true;
}
