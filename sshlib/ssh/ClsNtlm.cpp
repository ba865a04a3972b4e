#include "sshlib/ssh/ClsNtlm.h"

#include <cstring>
#include <ctime>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/Md5.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/ClsCrypt.h"
#include "sshlib/crypto/DesEcb.h"
#include "sshlib/crypto/Md4.h"
#include "sshlib/crypto/RazudodRand.h"

namespace {

const unsigned char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
const uint32_t kUnicode = 0x1, kOem = 0x2, kRequestTarget = 0x4, kNtlm = 0x200,
               kAlwaysSign = 0x8000, kExtendedSecurity = 0x80000, kTargetInfo = 0x800000,
               k128 = 0x20000000, k56 = 0x80000000;
const uint32_t kType1Flags =
    kUnicode | kOem | kRequestTarget | kNtlm | kAlwaysSign | kExtendedSecurity | k128 | k56;

void putLe(DataBuffer &out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.appendChar(i < 8 ? (unsigned char)(v >> (8 * i)) : 0);
}

uint32_t getLe32(const unsigned char *p) {
  return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void utf16le(XString &s, DataBuffer &out) {
  for (const unsigned short *u = s.getUnicode(); u && *u; ++u)
    putLe(out, *u, 2);
}

// A text field of the AUTHENTICATE message: UTF-16LE when Unicode was agreed, else the ANSI bytes.
void textField(XString &s, bool unicode, DataBuffer &out) {
  if (unicode)
    utf16le(s, out);
  else
    out.append((const unsigned char *)s.getAnsi(), s.getSizeAnsi());
}

bool hmacMd5(const unsigned char *key, unsigned int keyLen, const DataBuffer &data,
             DataBuffer &out) {
  ClsCrypt c;
  c.put_HashAlgorithm("md5");
  DataBuffer k;
  k.append(key, keyLen);
  bool ok = c.SetHmacKeyBytes(k) && c.HmacBytes(data, out) && out.getSize() == 16;
  k.secureClear();
  return ok;
}

// DES of the challenge under each 7-byte third of the 21-byte zero-padded hash.
bool desl(const unsigned char hash[16], const unsigned char challenge[8], DataBuffer &out) {
  unsigned char k21[21] = {0};
  std::memcpy(k21, hash, 16);
  bool ok = true;
  for (int part = 0; part < 3 && ok; ++part) {
    const unsigned char *s = k21 + 7 * part;
    unsigned char key[8] = {s[0],
                            (unsigned char)(s[0] << 7 | s[1] >> 1),
                            (unsigned char)(s[1] << 6 | s[2] >> 2),
                            (unsigned char)(s[2] << 5 | s[3] >> 3),
                            (unsigned char)(s[3] << 4 | s[4] >> 4),
                            (unsigned char)(s[4] << 3 | s[5] >> 5),
                            (unsigned char)(s[5] << 2 | s[6] >> 6),
                            (unsigned char)(s[6] << 1)};
    unsigned char block[8];
    ok = DesEcb::encryptBlock(key, challenge, block);
    out.append(block, 8);
    std::memset(key, 0, sizeof key);
  }
  std::memset(k21, 0, sizeof k21);
  return ok;
}

// One security buffer (length, allocated length, offset) pointing at data appended to payload.
void securityBuffer(DataBuffer &header, DataBuffer &payload, const DataBuffer &data,
                    unsigned int payloadStart) {
  putLe(header, data.getSize(), 2);
  putLe(header, data.getSize(), 2);
  putLe(header, payloadStart + payload.getSize(), 4);
  payload.append(data);
}

} // namespace

ClsNtlm::ClsNtlm() = default;

ClsNtlm::~ClsNtlm() {
  m_password.secureClear();
}

void ClsNtlm::setClientChallenge(const unsigned char c[8]) {
  m_clientChallenge.clear();
  m_clientChallenge.append(c, 8);
}

void ClsNtlm::ntowfV1(XString &password, unsigned char out[16]) {
  DataBuffer u;
  utf16le(password, u);
  Md4::digestBytes(u.getData2(), u.getSize(), out);
  u.secureClear();
}

bool ClsNtlm::ntlmV1Response(const unsigned char ntHash[16], const unsigned char challenge[8],
                             DataBuffer &out) {
  return desl(ntHash, challenge, out);
}

bool ClsNtlm::ntlmV1ClientChallengeResponse(const unsigned char ntHash[16],
                                            const unsigned char serverChallenge[8],
                                            const unsigned char clientChallenge[8],
                                            DataBuffer &ntOut, DataBuffer &lmOut) {
  unsigned char both[16], digest[16];
  std::memcpy(both, serverChallenge, 8);
  std::memcpy(both + 8, clientChallenge, 8);
  Md5 md5;
  md5.digestBytes(both, 16, digest);
  lmOut.append(clientChallenge, 8);
  for (int i = 0; i < 16; ++i)
    lmOut.appendChar(0);
  return desl(ntHash, digest, ntOut);
}

bool ClsNtlm::ntlmV2Response(const unsigned char ntHash[16], XString &user, XString &domain,
                             const unsigned char serverChallenge[8],
                             const unsigned char clientChallenge[8], uint64_t timestamp,
                             const DataBuffer &targetInfo, DataBuffer &ntOut, DataBuffer &lmOut) {
  XString upper;
  upper.copyFromX(user);
  upper.toUpperCase();
  DataBuffer identity, v2Hash;
  utf16le(upper, identity);
  utf16le(domain, identity);
  if (!hmacMd5(ntHash, 16, identity, v2Hash)) return false;

  DataBuffer blob;
  putLe(blob, 0x0101, 2);
  putLe(blob, 0, 6);
  putLe(blob, timestamp, 8);
  blob.append(clientChallenge, 8);
  putLe(blob, 0, 4);
  blob.append(targetInfo);
  putLe(blob, 0, 4);

  DataBuffer signedData, proof;
  signedData.append(serverChallenge, 8);
  signedData.append(blob);
  if (!hmacMd5(v2Hash.getData2(), 16, signedData, proof)) return false;
  ntOut.append(proof);
  ntOut.append(blob);

  DataBuffer lmData, lmProof;
  lmData.append(serverChallenge, 8);
  lmData.append(clientChallenge, 8);
  if (!hmacMd5(v2Hash.getData2(), 16, lmData, lmProof)) return false;
  lmOut.append(lmProof);
  lmOut.append(clientChallenge, 8);
  v2Hash.secureClear();
  return true;
}

bool ClsNtlm::genType1(StringBuffer &out, LogBase &log) {
  enterCriticalSection();
  bool ok = type1(out, log);
  leaveCriticalSection();
  return ok;
}

bool ClsNtlm::genType3(const StringBuffer &type2, StringBuffer &out, LogBase &log) {
  enterCriticalSection();
  bool ok = type3(type2, out, log);
  leaveCriticalSection();
  return ok;
}

bool ClsNtlm::type1(StringBuffer &out, LogBase &log) {
  DataBuffer msg;
  msg.append(kSignature, 8);
  putLe(msg, 1, 4);
  putLe(msg, kType1Flags, 4);
  putLe(msg, 0, 16); // no domain or workstation supplied here
  XString text;
  encodeBinary(msg, text, false);
  out.setString(text.getUtf8());
  if (out.getSize() == 0) {
    log.LogError("Failed to encode the NTLM TYPE1 message.");
    return false;
  }
  return true;
}

bool ClsNtlm::type3(const StringBuffer &type2, StringBuffer &out, LogBase &log) {
  DataBuffer in;
  XString text;
  text.setFromUtf8(type2.getString());
  decodeBinary(text, in, false);
  if (in.getSize() < 32 || std::memcmp(in.getData2(), kSignature, 8) != 0 ||
      getLe32(in.getData2() + 8) != 2) {
    log.LogError("Failed to decode TYPE2 input message.");
    return false;
  }
  const unsigned char *p = in.getData2();
  uint32_t flags = getLe32(p + 20);
  const unsigned char *serverChallenge = p + 24;
  DataBuffer targetInfo;
  if ((flags & kTargetInfo) && in.getSize() >= 48) {
    unsigned int len = p[40] | (unsigned int)p[41] << 8;
    uint32_t off = getLe32(p + 44);
    if (off > in.getSize() || len > in.getSize() - off) {
      log.LogError("Failed to decode TYPE2 input message.");
      log.LogError("Target information lies outside the message.");
      return false;
    }
    targetInfo.append(p + off, len);
  }

  unsigned char clientChallenge[8];
  if (m_clientChallenge.getSize() == 8)
    std::memcpy(clientChallenge, m_clientChallenge.getData2(), 8);
  else if (!RazudodRand::randomBytes2(8, clientChallenge)) {
    log.LogError("Failed to generate the NTLM client challenge.");
    return false;
  }
  unsigned char ntHash[16];
  ntowfV1(m_password, ntHash);
  DataBuffer nt, lm;
  bool ok;
  if (targetInfo.getSize() > 0) {
    uint64_t now = m_timeFixed ? m_fixedTime
                               : (uint64_t)std::time(nullptr) * 10000000ull + 116444736000000000ull;
    ok = ntlmV2Response(ntHash, m_user, m_domain, serverChallenge, clientChallenge, now, targetInfo,
                        nt, lm);
  } else if (flags & kExtendedSecurity) {
    ok = ntlmV1ClientChallengeResponse(ntHash, serverChallenge, clientChallenge, nt, lm);
  } else {
    // The NT response stands in both places: no LM hash of the password is ever sent.
    ok = ntlmV1Response(ntHash, serverChallenge, nt);
    lm.append(nt);
  }
  std::memset(ntHash, 0, sizeof ntHash);
  if (!ok) {
    log.LogError("Failed to compute the NTLM response.");
    return false;
  }

  bool unicode = (flags & kUnicode) != 0;
  DataBuffer domain, user, workstation, empty;
  textField(m_domain, unicode, domain);
  textField(m_user, unicode, user);
  textField(m_workstation, unicode, workstation);

  const unsigned int headerLen = 64;
  DataBuffer header, payload;
  header.append(kSignature, 8);
  putLe(header, 3, 4);
  securityBuffer(header, payload, lm, headerLen);
  securityBuffer(header, payload, nt, headerLen);
  securityBuffer(header, payload, domain, headerLen);
  securityBuffer(header, payload, user, headerLen);
  securityBuffer(header, payload, workstation, headerLen);
  securityBuffer(header, payload, empty, headerLen);
  putLe(header, (flags & kType1Flags) | (unicode ? 0 : kOem), 4);
  header.append(payload);
  XString encoded;
  encodeBinary(header, encoded, false);
  out.setString(encoded.getUtf8());
  if (out.getSize() == 0) {
    log.LogError("Failed to encode the NTLM TYPE3 message.");
    return false;
  }
  return true;
}
