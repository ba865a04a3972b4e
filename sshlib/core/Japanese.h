#pragma once

class DataBuffer;

// Direct transforms between Shift-JIS and ISO-2022-JP.
class Japanese {
public:
  Japanese() = default;
  virtual ~Japanese() = default;

  void ShiftJisToIso2022(const unsigned char *in, int len, DataBuffer &out);
  void Iso2022ToShiftJis(const unsigned char *in, int len, DataBuffer &out);
  // One half-width katakana (*c1, in and out) with the bytes after it: the full-width Shift-JIS
  // pair in *c1 and *c2. Form 5 is Shift-JIS, form 4 EUC (the mark follows as 8E xx). Returns the
  // number of following bytes consumed by a combined voicing mark.
  int HanToZen(const unsigned char *next, int nextLen, int *c1, int *c2, int form);
  // The Shift-JIS pairs of the JIS rows 0x79-0x7C (376 pairs), decoded once.
  static const unsigned char *GetSjisFrom2022_LastBlock();
};

// Direct transforms between KS C 5601 (8-bit form) and ISO-2022-KR.
class Korean {
public:
  Korean() = default;
  virtual ~Korean() = default;

  void KscToIso2022(const unsigned char *in, int len, DataBuffer &out);
  void Iso2022ToKsc(const unsigned char *in, int len, DataBuffer &out);
};
