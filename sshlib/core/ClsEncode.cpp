#include "sshlib/core/ClsEncode.h"

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/UrlEncode.h"
#include "sshlib/core/Uu.h"

ClsEncode::ClsEncode() {
  m_uuMode.setString("644");
  m_uuFilename.setFromUtf8("file.dat");
}

ClsEncode::~ClsEncode() = default;

void ClsEncode::get_EncodingMode(XString &out) const {
  static const char *const names[] = {"base64", "base64", "qp", "hex",    "url",      "html",
                                      "ansi",   "base32", "uu", "base64", "modBase64"};
  const int m = m_encodingMode;
  out.setFromUtf8(m >= 0 && m <= 10 ? names[m] : "base64");
}

void ClsEncode::encodeBinary(DataBuffer &in, XString &out, bool append) {
  ContentCoding cc;
  StringBuffer sb;
  const unsigned char *p = in.getData2();
  const unsigned int n = in.getSize();
  switch (m_encodingMode) {
  case 1:
    cc.encodeBase64_noCrLf(p, n, sb);
    break;
  case 2:
    cc.encodeQuotedPrintable(p, n, sb);
    break;
  case 3:
    DataBuffer::toHexString2(p, n, sb);
    break;
  case 4:
    UrlEncode::urlEncode(in, sb);
    break;
  case 6:
    sb.appendN(reinterpret_cast<const char *>(p), n);
    break;
  case 7:
    cc.encodeBase32_noCrLf(p, n, sb);
    break;
  case 8: {
    Uu uu;
    const char *mode = m_uuMode.getSize() ? m_uuMode.getString() : "644";
    const char *name = m_uuFilename.getSizeUtf8() ? m_uuFilename.getUtf8() : "file.dat";
    uu.uu_encode(in, mode, name, sb);
    break;
  }
  case 10:
    cc.encodeModBase64_noCrLf(p, n, sb);
    break;
  default:
    return;
  }
  if (!append) out.clear();
  out.appendUtf8(sb.getString());
}

void ClsEncode::decodeBinary(XString &in, DataBuffer &out, bool append) {
  ContentCoding cc;
  const int m = m_encodingMode;
  if (m == 5 || m < 1 || m > 10 || m == 9) return;
  if (m == 1 || m == 2 || m == 3 || m == 7 || m == 10) in.trim2();
  if (m == 10) {
    in.replaceChar('-', '+');
    in.replaceChar('_', '/');
  }
  if (m == 1 || m == 2 || m == 10) {
    DataBuffer tmp;
    const char *t = in.getUtf8();
    bool ok = m == 2 ? cc.decodeQuotedPrintableToDb(t, in.getSizeUtf8(), tmp)
                     : cc.decodeBase64ToDb(t, in.getSizeUtf8(), tmp);
    if (!ok) return;
    if (!append) out.clear();
    out.append(tmp);
    return;
  }
  if (!append) out.clear();
  switch (m) {
  case 3:
    in.getUtf8Sb().hexStringToBinary(out);
    break;
  case 4:
    UrlEncode::urlDecode(in.getUtf8Sb(), out);
    break;
  case 6: {
    const char *a = in.getAnsi();
    out.append(a, in.getSizeAnsi());
    break;
  }
  case 7: {
    const char *t = in.getUtf8();
    cc.decodeBase32(reinterpret_cast<const unsigned char *>(t), in.getSizeUtf8(), out);
    break;
  }
  case 8: {
    Uu uu;
    StringBuffer mode, name;
    uu.uu_decode2aa(in.getUtf8(), out, mode, name);
    m_uuMode.setString(mode);
    m_uuFilename.setFromUtf8(name.getString());
    break;
  }
  default:
    break;
  }
}
