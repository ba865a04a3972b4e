#pragma once

// The to-Unicode table of one single-byte code page: the UTF-16 unit (host order) of each byte,
// 0 when the byte has no character.
class UnicodeLookup {
public:
  UnicodeLookup();
  virtual ~UnicodeLookup();

  unsigned short m_table[256];
};
