#include "sshlib/core/HashConvert.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

constexpr int kMaxPart = 4;

// Size of a bucket block without its terminating zero.
unsigned int recordsSize(const unsigned char *block) {
  const unsigned char *p = block;
  while (*p) {
    unsigned int k = p[0];
    unsigned int v = p[1 + k];
    p += 2 + k + v;
  }
  return (unsigned int)(p - block);
}

} // namespace

HashConvert::HashConvert() = default;

HashConvert::~HashConvert() {
  Clear();
}

void HashConvert::Initialize(int bucketCount) {
  Clear();
  if (bucketCount <= 0) return;
  m_buckets = new (std::nothrow) unsigned char *[bucketCount]();
  if (m_buckets) m_bucketCount = bucketCount;
}

void HashConvert::Clear() {
  if (m_buckets) {
    for (int i = 0; i < m_bucketCount; ++i)
      delete[] m_buckets[i];
    delete[] m_buckets;
  }
  m_buckets = nullptr;
  m_bucketCount = 0;
}

unsigned int HashConvert::bucketOf(const unsigned char *key, int keyLen) const {
  uint32_t h = 0;
  for (int i = 0; i < keyLen && i < 4; ++i)
    h |= uint32_t(key[i]) << (8 * i);
  return h % (uint32_t)m_bucketCount;
}

void HashConvert::HashInsert(const unsigned char *key, int keyLen, const unsigned char *value,
                             int valueLen) {
  if (m_bucketCount <= 0 || !key || keyLen < 1 || keyLen > kMaxPart || valueLen < 0 ||
      valueLen > kMaxPart || (valueLen > 0 && !value))
    return;
  unsigned int b = bucketOf(key, keyLen);
  unsigned char *old = m_buckets[b];
  unsigned int used = old ? recordsSize(old) : 0;
  unsigned int rec = 2 + keyLen + valueLen;
  unsigned char *block = new (std::nothrow) unsigned char[used + rec + 1];
  if (!block) return;
  if (used) std::memcpy(block, old, used);
  unsigned char *p = block + used;
  *p++ = (unsigned char)keyLen;
  std::memcpy(p, key, keyLen);
  p += keyLen;
  *p++ = (unsigned char)valueLen;
  if (valueLen) std::memcpy(p, value, valueLen);
  p += valueLen;
  *p = 0;
  delete[] old;
  m_buckets[b] = block;
}

void HashConvert::HashLookup(const unsigned char *key, int keyLen, unsigned char *value,
                             int &valueLen) const {
  valueLen = 0;
  if (m_bucketCount <= 0 || !key || keyLen < 1 || keyLen > kMaxPart) return;
  const unsigned char *p = m_buckets[bucketOf(key, keyLen)];
  if (!p) return;
  while (*p) {
    int k = p[0];
    int v = p[1 + k];
    if (k == keyLen && std::memcmp(p + 1, key, k) == 0) {
      // The caller's buffer holds 4 bytes: a longer value is never copied past it.
      int n = v < kMaxPart ? v : kMaxPart;
      if (value && n) std::memcpy(value, p + 2 + k, n);
      valueLen = n;
      return;
    }
    p += 2 + k + v;
  }
}

void HashConvert::HashRemove(const unsigned char *key, int keyLen) {
  if (m_bucketCount <= 0 || !key || keyLen < 1 || keyLen > kMaxPart) return;
  unsigned int b = bucketOf(key, keyLen);
  unsigned char *old = m_buckets[b];
  if (!old) return;
  unsigned int used = recordsSize(old);
  unsigned char *block = new (std::nothrow) unsigned char[used + 1];
  if (!block) return;
  unsigned int n = 0;
  const unsigned char *p = old;
  while (*p) {
    unsigned int k = p[0];
    unsigned int v = p[1 + k];
    unsigned int rec = 2 + k + v;
    if (!(k == (unsigned int)keyLen && std::memcmp(p + 1, key, k) == 0)) {
      std::memcpy(block + n, p, rec);
      n += rec;
    }
    p += rec;
  }
  delete[] old;
  if (n == 0) {
    delete[] block;
    m_buckets[b] = nullptr;
  } else {
    block[n] = 0;
    m_buckets[b] = block;
  }
}

void HashConvert::BuildReverse(HashConvert &other) const {
  for (int i = 0; i < m_bucketCount; ++i) {
    const unsigned char *p = m_buckets[i];
    if (!p) continue;
    while (*p) {
      int k = p[0];
      int v = p[1 + k];
      other.HashInsert(p + 2 + k, v, p + 1, k);
      p += 2 + k + v;
    }
  }
}

int HashConvert::getSlotSize(int bucket) const {
  if (bucket < 0 || bucket >= m_bucketCount || !m_buckets[bucket]) return 0;
  return (int)recordsSize(m_buckets[bucket]) + 1;
}
