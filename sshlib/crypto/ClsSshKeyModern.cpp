// The key object's Ed25519 and ECDSA keys, and OpenSSH's own private-key format for every key
// type it holds.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstring>
#include <memory>
#include <vector>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/crypto/OpenSshKeyFile.h"
#include "sshlib/crypto/Rsa2.h"
#include "sshlib/crypto/SshKeyBlob.h"

namespace {

struct Curve {
  const char *ssh;     // the curve's SSH name
  const char *openssl; // OpenSSL's group name
  const char *sha;     // the hash its signatures use
  size_t pointLen;     // uncompressed point: 0x04, x, y
};

const Curve kCurves[] = {
    {"nistp256", "prime256v1", "SHA256", 65},
    {"nistp384", "secp384r1", "SHA384", 97},
    {"nistp521", "secp521r1", "SHA512", 133},
};

const Curve *curveBySsh(const std::string &name) {
  for (const Curve &c : kCurves)
    if (name == c.ssh) return &c;
  return nullptr;
}

const Curve *curveByOpenSsl(const char *name) {
  for (const Curve &c : kCurves)
    if (std::strcmp(name, c.openssl) == 0 ||
        (std::strcmp(c.openssl, "prime256v1") == 0 && std::strcmp(name, "P-256") == 0))
      return &c;
  return nullptr;
}

using PkeyPtr = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY *)>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX *)>;

// An mpint's bytes as an unsigned number: a leading zero byte goes, a negative value is refused.
bool unsignedBytes(const DataBuffer &mp, const unsigned char *&p, size_t &n) {
  p = mp.getData2();
  n = mp.getSize();
  if (n && (p[0] & 0x80)) return false;
  while (n && *p == 0) {
    ++p;
    --n;
  }
  return true;
}

bool toMp(const DataBuffer &mp, mp_int &out) {
  const unsigned char *p;
  size_t n;
  return unsignedBytes(mp, p, n) && RazudodMp::read_unsigned_bin(out, p, static_cast<unsigned>(n));
}

// The SSH mpint body of an unsigned big-endian number.
void appendMpintString(const unsigned char *p, size_t n, DataBuffer &out) {
  while (n && *p == 0) {
    ++p;
    --n;
  }
  DataBuffer body;
  if (n && (p[0] & 0x80)) body.appendChar(0);
  body.append(p, static_cast<unsigned int>(n));
  SshKeyBlob::appendString(body.getData2(), body.getSize(), out);
}

EVP_PKEY *ecKeyFromParts(const Curve &c, const DataBuffer &point, const DataBuffer *scalar) {
  std::unique_ptr<OSSL_PARAM_BLD, void (*)(OSSL_PARAM_BLD *)> bld(OSSL_PARAM_BLD_new(),
                                                                  OSSL_PARAM_BLD_free);
  BIGNUM *d = nullptr;
  if (scalar) {
    const unsigned char *p;
    size_t n;
    if (!unsignedBytes(*scalar, p, n) || n == 0) return nullptr;
    d = BN_secure_new();
    if (!d || !BN_bin2bn(p, static_cast<int>(n), d)) {
      BN_clear_free(d);
      return nullptr;
    }
  }
  EVP_PKEY *pkey = nullptr;
  OSSL_PARAM *params = nullptr;
  if (bld &&
      OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, c.openssl, 0) == 1 &&
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.getData2(),
                                       point.getSize()) == 1 &&
      (!d || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d) == 1))
    params = OSSL_PARAM_BLD_to_param(bld.get());
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
  if (params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1)
    EVP_PKEY_fromdata(ctx.get(), &pkey, d ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params);
  OSSL_PARAM_free(params);
  BN_clear_free(d);
  return pkey;
}

// Whether the private half of the key gives its public half (a damaged file, or one whose halves
// were put together from two keys, fails here).
bool pairMatches(EVP_PKEY *pkey) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr), EVP_PKEY_CTX_free);
  return ctx && EVP_PKEY_pairwise_check(ctx.get()) == 1;
}

} // namespace

bool ClsSshKey::adoptEvpKey(evp_pkey_st *pkey, bool isPrivate, LogBase &log) {
  PkeyPtr owned(pkey, EVP_PKEY_free);
  if (!pkey) {
    log.LogError("Failed to build the key.");
    return false;
  }
  DataBuffer blob;
  if (EVP_PKEY_is_a(pkey, "ED25519")) {
    unsigned char pub[32];
    size_t n = sizeof pub;
    if (EVP_PKEY_get_raw_public_key(pkey, pub, &n) != 1 || n != sizeof pub) {
      log.LogError("Failed to read the Ed25519 public key.");
      return false;
    }
    m_algorithm = "ssh-ed25519";
    SshKeyBlob::appendString(m_algorithm.c_str(), blob);
    SshKeyBlob::appendString(pub, sizeof pub, blob);
    m_kind = kEd25519;
  } else if (EVP_PKEY_is_a(pkey, "EC")) {
    char group[64] = {0};
    size_t glen = 0;
    const Curve *c = nullptr;
    if (EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                       &glen) == 1)
      c = curveByOpenSsl(group);
    if (!c) {
      log.LogError(
          "Unsupported elliptic curve (only NIST P-256, P-384 and P-521 are used by SSH).");
      log.LogData("curve", group);
      return false;
    }
    EVP_PKEY_set_utf8_string_param(pkey, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                   OSSL_PKEY_EC_POINT_CONVERSION_FORMAT_UNCOMPRESSED);
    unsigned char point[133];
    size_t plen = 0;
    if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                        &plen) != 1 ||
        plen != c->pointLen || point[0] != 4) {
      log.LogError("Failed to read the ECDSA public key.");
      return false;
    }
    m_algorithm = std::string("ecdsa-sha2-") + c->ssh;
    SshKeyBlob::appendString(m_algorithm.c_str(), blob);
    SshKeyBlob::appendString(c->ssh, blob);
    SshKeyBlob::appendString(point, static_cast<unsigned int>(plen), blob);
    m_kind = kEcdsa;
  } else {
    log.LogError("The private key is not RSA, DSA, Ed25519 or ECDSA.");
    return false;
  }
  if (isPrivate && m_kind == kEcdsa && !pairMatches(pkey)) {
    log.LogError("The private key does not match the public key.");
    m_kind = kNone;
    m_algorithm.clear();
    return false;
  }
  m_publicBlob.clear();
  m_publicBlob.append(blob);
  m_evp = owned.release();
  m_private = isPrivate;
  return true;
}

// "ssh-ed25519" string key; "ecdsa-sha2-nistpN" string curve, string point. Public only.
bool ClsSshKey::fromModernBlob(const DataBuffer &publicBlob, LogBase &log) {
  unsigned int at = 0;
  DataBuffer type, a, b;
  if (!SshKeyBlob::readString(publicBlob, at, type) || !SshKeyBlob::readString(publicBlob, at, a)) {
    log.LogError("Failed to parse the public key blob.");
    return false;
  }
  const std::string name(reinterpret_cast<const char *>(type.getData2()), type.getSize());
  EVP_PKEY *pkey = nullptr;
  if (name == "ssh-ed25519") {
    if (a.getSize() == 32 && at == publicBlob.getSize())
      pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, a.getData2(), 32);
  } else {
    const Curve *c = curveBySsh(name.size() > 11 ? name.substr(11) : "");
    const std::string curve(reinterpret_cast<const char *>(a.getData2()), a.getSize());
    if (c && curve == c->ssh && SshKeyBlob::readString(publicBlob, at, b) &&
        at == publicBlob.getSize() && b.getSize() == c->pointLen)
      pkey = ecKeyFromParts(*c, b, nullptr);
  }
  if (!pkey) {
    log.LogError("Failed to parse the public key blob.");
    return false;
  }
  return adoptEvpKey(pkey, false, log);
}

bool ClsSshKey::signForSsh(const DataBuffer &data, DataBuffer &sigBlob, LogBase &log) {
  sigBlob.clear();
  if (!signsForSsh() || !m_private || !m_evp) {
    log.LogError("Requires a private key...");
    return false;
  }
  const Curve *c = m_kind == kEcdsa ? curveBySsh(m_algorithm.substr(11)) : nullptr;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  size_t len = 0;
  std::vector<unsigned char> sig;
  const bool ok = md &&
                  EVP_DigestSignInit_ex(md.get(), nullptr, c ? c->sha : nullptr, nullptr, nullptr,
                                        m_evp, nullptr) == 1 &&
                  EVP_DigestSign(md.get(), nullptr, &len, data.getData2(), data.getSize()) == 1 &&
                  (sig.resize(len), EVP_DigestSign(md.get(), sig.data(), &len, data.getData2(),
                                                   data.getSize()) == 1);
  if (!ok) {
    log.LogError("Failed to create the signature.");
    return false;
  }
  sig.resize(len);
  SshKeyBlob::appendString(m_algorithm.c_str(), sigBlob);
  if (m_kind == kEd25519) {
    SshKeyBlob::appendString(sig.data(), static_cast<unsigned int>(sig.size()), sigBlob);
    return true;
  }
  // OpenSSL gives ECDSA-Sig-Value in DER; SSH wants mpint r, mpint s.
  const unsigned char *p = sig.data();
  std::unique_ptr<ECDSA_SIG, void (*)(ECDSA_SIG *)> es(
      d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size())), ECDSA_SIG_free);
  if (!es) {
    sigBlob.clear();
    log.LogError("Failed to create the signature.");
    return false;
  }
  DataBuffer inner;
  for (const BIGNUM *bn : {ECDSA_SIG_get0_r(es.get()), ECDSA_SIG_get0_s(es.get())}) {
    std::vector<unsigned char> b(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, b.data());
    appendMpintString(b.data(), b.size(), inner);
  }
  SshKeyBlob::appendString(inner.getData2(), inner.getSize(), sigBlob);
  return true;
}

bool ClsSshKey::FromOpenSshKeyV1(const StringBuffer &text, LogBase &log) {
  clearKey();
  OpenSshKeyFile f;
  if (!f.parse(text, m_password.getString(), log)) return false;
  const auto &v = f.fields;
  bool ok = false;
  if (f.keyType == "ssh-rsa") {
    MpInt n, e, d, iqmp, p, q;
    ok = toMp(*v[0], n) && toMp(*v[1], e) && toMp(*v[2], d) && toMp(*v[3], iqmp) &&
         toMp(*v[4], p) && toMp(*v[5], q) && !mp_iszero(&p) && !mp_iszero(&q) &&
         Rsa2::calc_dq_dq(p, q, e, d, iqmp, m_rsa) && mp_cmp(&n, &m_rsa.N) == MP_EQ;
    m_kind = kRsa;
    m_private = ok;
  } else if (f.keyType == "ssh-dss") {
    ok = toMp(*v[0], m_dsa.p) && toMp(*v[1], m_dsa.q) && toMp(*v[2], m_dsa.g) &&
         toMp(*v[3], m_dsa.y) && toMp(*v[4], m_dsa.x);
    // y must be g^x mod p.
    MpInt y;
    ok = ok && !mp_iszero(&m_dsa.p) && mp_exptmod(&m_dsa.g, &m_dsa.x, &m_dsa.p, &y.v) == MP_OKAY &&
         mp_cmp(&y.v, &m_dsa.y) == MP_EQ;
    m_dsa.m_type = 1;
    m_kind = kDsa;
    m_private = ok;
  } else if (f.keyType == "ssh-ed25519") {
    // The secret is the 32-byte seed followed by the public key again.
    ok = v[0]->getSize() == 32 && v[1]->getSize() == 64 &&
         std::memcmp(v[1]->getData2() + 32, v[0]->getData2(), 32) == 0 &&
         adoptEvpKey(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, v[1]->getData2(), 32),
                     true, log);
  } else {
    const Curve *c = curveBySsh(f.keyType.substr(11));
    const std::string curve(reinterpret_cast<const char *>(v[0]->getData2()), v[0]->getSize());
    ok = c && curve == c->ssh && v[1]->getSize() == c->pointLen &&
         adoptEvpKey(ecKeyFromParts(*c, *v[1], v[2].get()), true, log);
  }
  // The public key in the clear is the one the private key gives.
  DataBuffer ours;
  LogBase quiet;
  if (ok && (!getPublicKeyBlob(ours, quiet) || !ours.equals(f.publicBlob))) ok = false;
  if (!ok) {
    log.LogError("The OpenSSH private key is damaged (its public and private parts differ).");
    clearKey();
    return false;
  }
  m_private = true;
  m_comment.setString(f.comment.c_str());
  return true;
}
