// Output gathered in blocks of `Size` bytes before it reaches a buffer, so that converters that
// write a byte at a time do not grow the buffer a byte at a time. What is gathered reaches the
// buffer on flush() and at the end of the writer's life.
#pragma once

#include <cstring>

#include "sshlib/core/DataBuffer.h"

template <unsigned int Size> class BlockWriter {
public:
  explicit BlockWriter(DataBuffer &out) : m_out(out) {}
  ~BlockWriter() { flush(); }
  BlockWriter(const BlockWriter &) = delete;
  BlockWriter &operator=(const BlockWriter &) = delete;

  void put(unsigned char c) {
    if (m_n == Size) flush();
    m_block[m_n++] = c;
  }
  void put2(unsigned char a, unsigned char b) {
    put(a);
    put(b);
  }
  void put3(unsigned char a, unsigned char b, unsigned char c) {
    put(a);
    put(b);
    put(c);
  }
  // A 16-bit unit, little-endian.
  void putUnit(unsigned int u) { put2((unsigned char)(u & 0xFF), (unsigned char)(u >> 8)); }
  void putN(const unsigned char *p, unsigned int n) {
    if (n == 0 || !p) return;
    if (n > Size - m_n) {
      flush();
      m_out.append(p, n);
      return;
    }
    std::memcpy(m_block + m_n, p, n);
    m_n += n;
  }
  // Room for `room` more bytes (at most Size) for the caller to fill in; advance() counts them.
  unsigned char *at(unsigned int room) {
    if (m_n > Size - room) flush();
    return m_block + m_n;
  }
  void advance(unsigned int n) { m_n += n; }
  void flush() {
    if (m_n) m_out.append(m_block, m_n);
    m_n = 0;
  }
  // Bytes written so far to the buffer through this writer, counted from the buffer's start.
  unsigned int total() const { return m_out.getSize() + m_n; }

private:
  DataBuffer &m_out;
  unsigned char m_block[Size];
  unsigned int m_n = 0;
};
