#include "sshlib/crypto/SshKeyBlob.h"

#include <cstring>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/Dsa.h"
#include "sshlib/crypto/Rsa2.h"

void SshKeyBlob::appendUint32(unsigned int v, DataBuffer &out) {
  const unsigned char b[4] = {static_cast<unsigned char>(v >> 24),
                              static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
  out.append(b, 4);
}

void SshKeyBlob::appendString(const unsigned char *p, unsigned int n, DataBuffer &out) {
  appendUint32(n, out);
  if (n) out.append(p, n);
}

void SshKeyBlob::appendString(const char *s, DataBuffer &out) {
  appendString(reinterpret_cast<const unsigned char *>(s),
               static_cast<unsigned int>(std::strlen(s)), out);
}

bool SshKeyBlob::appendMpInt(const mp_int &v, DataBuffer &out) {
  DataBuffer body;
  if (!RazudodMp::ssh2_mpint_fmt(v, body)) return false;
  appendString(body.getData2(), body.getSize(), out);
  body.secureClear();
  return true;
}

bool SshKeyBlob::readUint32(const DataBuffer &in, unsigned int &idx, unsigned int &v) {
  if (idx > in.getSize() || in.getSize() - idx < 4) return false;
  const unsigned char *p = in.getData2() + idx;
  v = (static_cast<unsigned int>(p[0]) << 24) | (static_cast<unsigned int>(p[1]) << 16) |
      (static_cast<unsigned int>(p[2]) << 8) | p[3];
  idx += 4;
  return true;
}

bool SshKeyBlob::readString(const DataBuffer &in, unsigned int &idx, DataBuffer &out) {
  unsigned int n = 0, at = idx;
  if (!readUint32(in, at, n) || in.getSize() - at < n) return false;
  out.append(in.getData2() + at, n);
  idx = at + n;
  return true;
}

bool SshKeyBlob::readMpInt(const DataBuffer &in, unsigned int &idx, mp_int &v) {
  DataBuffer body;
  unsigned int at = idx;
  if (!readString(in, at, body)) return false;
  if (body.getSize() && (body.getData2()[0] & 0x80)) return false;
  const bool ok = RazudodMp::read_unsigned_bin(v, body.getData2(), body.getSize());
  body.secureClear();
  if (ok) idx = at;
  return ok;
}

bool SshKeyBlob::rsaPublicBlob(const rsa_key &key, DataBuffer &blob) {
  appendString("ssh-rsa", blob);
  return appendMpInt(key.e, blob) && appendMpInt(key.N, blob);
}

bool SshKeyBlob::dsaPublicBlob(const dsa_key &key, DataBuffer &blob) {
  appendString("ssh-dss", blob);
  return appendMpInt(key.p, blob) && appendMpInt(key.q, blob) && appendMpInt(key.g, blob) &&
         appendMpInt(key.y, blob);
}

namespace {

// 0 RSA, 1 DSA, -1 neither (logged).
int xmlKeyKind(StringBuffer &xml, LogBase &log) {
  if (xml.containsSubstringNoCase("RSAKeyValue")) return 0;
  if (xml.containsSubstringNoCase("DSAKeyValue")) return 1;
  log.LogError("XML root tag must be RSAKeyValue or DSAKeyValue");
  log.LogData("xml", xml.getString());
  return -1;
}

} // namespace

bool SshKeyBlob::xmlToPublicKeyBlob(StringBuffer &xml, DataBuffer &blob, LogBase &log) {
  // Built aside and appended whole: a failure leaves the caller's buffer as it was.
  DataBuffer out;
  switch (xmlKeyKind(xml, log)) {
  case 0: {
    rsa_key key;
    if (!Rsa2::xmlToKey(xml, key, false, log)) {
      log.LogError("Failed to convert RSA key from XML.");
      return false;
    }
    appendString("ssh-rsa", out);
    if (!appendMpInt(key.e, out)) {
      log.LogError("invalid e");
      return false;
    }
    if (!appendMpInt(key.N, out)) {
      log.LogError("invalid N");
      return false;
    }
    break;
  }
  case 1: {
    dsa_key key;
    if (!Dsa::xmlToKey(xml, key, false, log)) {
      log.LogError("Failed to convert DSA key from XML.");
      return false;
    }
    if (!dsaPublicBlob(key, out)) return false;
    break;
  }
  default:
    return false;
  }
  return blob.append(out);
}

bool SshKeyBlob::xmlToPrivateKeyBlob(StringBuffer &xml, DataBuffer &blob, LogBase &log) {
  DataBuffer out;
  bool ok = false;
  switch (xmlKeyKind(xml, log)) {
  case 0: {
    rsa_key key;
    if (!Rsa2::xmlToKey(xml, key, false, log) || key.m_type != 1) {
      log.LogError("Failed to convert RSA key from XML.");
      return false;
    }
    // Key files store iqmp and their readers trust it: a wrong one would be written into a key
    // that can no longer sign.
    MpInt check;
    if (mp_mulmod(&key.q, &key.qP, &key.p, &check.v) != MP_OKAY || mp_cmp_d(&check.v, 1) != MP_EQ) {
      log.LogError("RSA key XML: InverseQ is not the inverse of Q modulo P.");
      log.LogError("Failed to convert RSA key from XML.");
      return false;
    }
    ok = appendMpInt(key.d, out) && appendMpInt(key.p, out) && appendMpInt(key.q, out) &&
         appendMpInt(key.qP, out);
    break;
  }
  case 1: {
    dsa_key key;
    if (!Dsa::xmlToKey(xml, key, false, log) || key.m_type != 1) {
      log.LogError("Failed to convert DSA key from XML.");
      return false;
    }
    ok = appendMpInt(key.x, out);
    break;
  }
  default:
    return false;
  }
  ok = ok && blob.append(out);
  out.secureClear();
  return ok;
}

bool SshKeyBlob::publicKeyBlobToXml(DataBuffer &blob, StringBuffer &xml, int &keyType,
                                    unsigned int &exponent, LogBase &log) {
  xml.clear();
  keyType = 0;
  exponent = 0;
  unsigned int idx = 0;
  DataBuffer alg;
  if (!readString(blob, idx, alg)) {
    log.LogError("Failed to read the key algorithm name from the public key blob.");
    return false;
  }
  StringBuffer name;
  name.append(alg);
  if (name.containsSubstringNoCase("rsa")) {
    rsa_key key;
    if (!readMpInt(blob, idx, key.e)) return false;
    exponent = RazudodMp::mp_get_int(key.e);
    if (!readMpInt(blob, idx, key.N)) return false;
    return Rsa2::keyToXml(key, true, xml, false, log);
  }
  keyType = 1;
  dsa_key key;
  if (!readMpInt(blob, idx, key.p) || !readMpInt(blob, idx, key.q) ||
      !readMpInt(blob, idx, key.g) || !readMpInt(blob, idx, key.y))
    return false;
  return Dsa::keyToXml(key, true, xml, false, log);
}

bool SshKeyBlob::privateKeyBlobToXml(int keyType, DataBuffer &blob, unsigned int exponent,
                                     StringBuffer &xml, LogBase &log) {
  xml.clear();
  unsigned int idx = 0;
  if (keyType == 0) {
    MpInt d, p, q, iqmp, e;
    if (!readMpInt(blob, idx, d) || !readMpInt(blob, idx, p) || !readMpInt(blob, idx, q) ||
        !readMpInt(blob, idx, iqmp)) {
      log.LogError("Failed to parse the RSA private key blob.");
      return false;
    }
    mp_set_u32(&e, exponent);
    rsa_key key;
    if (!Rsa2::calc_dq_dq(p.v, q.v, e.v, d.v, iqmp.v, key)) return false;
    return Rsa2::keyToXml(key, false, xml, false, log);
  }
  MpInt x;
  if (!readMpInt(blob, idx, x)) {
    log.LogError("Failed to parse the DSA private key blob.");
    return false;
  }
  xml.append("<DsaPrivate>");
  if (pkxml::appendValue("X", x.v, xml) && xml.append("</DsaPrivate>")) return true;
  xml.secureClear();
  return false;
}
