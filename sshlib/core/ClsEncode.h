// Binary data as text and back in one of nine encodings chosen by a mode number: base64 (1),
// quoted-printable (2), hex (3), URL (4), html (5: nothing), ansi (6), base32 (7), uu (8) and
// URL-safe base64 (10). Mixed into objects that exchange binary data as text.
#pragma once

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"

class ClsEncode {
public:
  ClsEncode();
  virtual ~ClsEncode();

  int get_EncodingModeInt() const { return m_encodingMode; }
  void put_EncodingModeInt(int mode) { m_encodingMode = mode; }
  void get_EncodingMode(XString &out) const;

  // The result replaces out's contents unless append is set.
  void encodeBinary(DataBuffer &in, XString &out, bool append);
  // May trim (and in mode 10 rewrite) the input string itself.
  void decodeBinary(XString &in, DataBuffer &out, bool append);

  int m_encodingMode = 1;
  StringBuffer m_uuMode;
  XString m_uuFilename;
};
