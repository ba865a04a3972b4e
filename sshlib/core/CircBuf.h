#pragma once

#include <cstddef>

// Input queue of the inflater's bit reader. Appended chunks are kept as one growable byte queue
// (no fixed number of chunks, so a writer feeding tiny chunks can never overrun the reader).
// The read pointer always has at least four readable bytes behind it: the bytes not yet consumed,
// followed by zeros, so the bit reader can load 32 bits little-endian at it and shift right by the
// bit count. The read pointer is null until the first data arrives.
class CircBuf {
public:
  CircBuf();
  virtual ~CircBuf();

  CircBuf(const CircBuf &) = delete;
  CircBuf &operator=(const CircBuf &) = delete;

  void clear();
  // Null data or a count of 0 does nothing and succeeds; false when memory cannot be had (the
  // queue is then unchanged).
  bool AppendDataToCircBuf(const unsigned char *data, unsigned int n);
  // Whether at least n bytes are held from the read position on (the byte being read counts only
  // while fewer than 8 of its bits are consumed).
  bool HasAtLeast(unsigned int n);
  // As HasAtLeast; when false, avail receives the number of bytes held.
  bool HasAtLeast2(unsigned int n, unsigned int &avail);
  // Consumes bits; false when that runs past the bytes held (the position then rests at the end).
  bool MoveForward(unsigned int bits);
  // Sets the read position up when the read pointer is still null. The argument names a chunk in
  // the chunk-ring model and has no meaning in the byte queue.
  void checkInitializePublicPtr(unsigned int slot);

  // Read directly by the bit reader: 32 bits little-endian at m_readPtr, shifted by m_bitCount.
  unsigned char *m_readPtr = nullptr;
  unsigned char *m_readPtr2 = nullptr; // always equal to m_readPtr
  unsigned int m_bitCount = 0;         // bits consumed of the current 16-bit unit, 0 to 15

  size_t bytesHeld() const { return m_tail - m_head; }

private:
  void syncReadPtr();

  unsigned char *m_buf = nullptr; // capacity bytes; [head, tail) unread, then >= 4 zero bytes
  size_t m_capacity = 0;
  size_t m_head = 0;
  size_t m_tail = 0;
};
