// CRC-32 as in zip, gzip and PNG (reflected polynomial 0x04C11DB7, initial value and final
// exclusive-or 0xFFFFFFFF), streamed or in one call.
#pragma once

class ZipCRC {
public:
  ZipCRC();
  virtual ~ZipCRC();

  void beginStream() { m_crc = 0xFFFFFFFFu; }
  void moreData(const unsigned char *p, unsigned int n);
  // The CRC of everything fed since beginStream; the accumulation goes on.
  unsigned int endStream() const { return m_crc ^ 0xFFFFFFFFu; }

  // CRC-32 of the bytes; 0 for length 0. The flag pointer is not used.
  static unsigned int getCRC(const unsigned char *p, unsigned int n, unsigned short *unused);
  // The lowest bits of value in reverse order, the higher bits cleared.
  static unsigned int reflect(unsigned int value, int bits);
  // Builds the shared table once; safe to call from several threads.
  static void initCrcTable();

private:
  static unsigned int update(unsigned int crc, const unsigned char *p, unsigned int n);

  // Starts ready for streaming, so that a missed beginStream cannot leave it undefined.
  unsigned int m_crc;
};
