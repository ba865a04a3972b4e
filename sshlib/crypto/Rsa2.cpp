#include "sshlib/crypto/Rsa2.h"

#include <vector>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/Hashes.h"
#include "sshlib/crypto/Ltc.h"
#include "sshlib/crypto/SshKeyBlob.h"

namespace {

// LibTomCrypt's view of our record: the same numbers, no copies.
ltc_rsa_key view(rsa_key &k, int type) {
  ltc_rsa_key v{};
  v.type = type;
  v.e = &k.e;
  v.d = &k.d;
  v.N = &k.N;
  v.p = &k.p;
  v.q = &k.q;
  v.qP = &k.qP;
  v.dP = &k.dP;
  v.dQ = &k.dQ;
  return v;
}

constexpr int kMaxRsaBits = 16384;

int hashIdForSize(unsigned int n) {
  switch (n) {
  case 16:
    return 5;
  case 20:
    return 1;
  case 32:
    return 7;
  case 48:
    return 2;
  case 64:
    return 3;
  default:
    return 0;
  }
}

} // namespace

bool Rsa2::verifyHashSsh(const unsigned char *sig, unsigned int sigLen, const unsigned char *hash,
                         unsigned int hashLen, bool &valid, rsa_key &key, LogBase &log) {
  valid = false;
  const int hashIdx = ltc::hashIndex(hashIdForSize(hashLen));
  if (!sig || !hash || hashIdx < 0 || mp_iszero(&key.N) || mp_iszero(&key.e)) {
    log.LogError("RSA signature check cannot run (no key or unknown hash size).");
    return false;
  }
  // A host key comes from the peer: its size bounds the work it can make us do.
  if (mp_count_bits(&key.N) > kMaxRsaBits || mp_count_bits(&key.e) > mp_count_bits(&key.N)) {
    log.LogError("RSA key is too large.");
    log.LogDataLong("modulusBits", mp_count_bits(&key.N));
    return false;
  }
  const unsigned int modBytes = static_cast<unsigned int>(mp_ubin_size(&key.N));
  if (sigLen > modBytes) {
    log.LogError("RSA signature is longer than the modulus.");
    log.LogDataLong("sigLen", static_cast<int>(sigLen));
    log.LogDataLong("modulusLen", static_cast<int>(modBytes));
    return true;
  }
  // A signature number with leading zero bytes may come without them.
  std::vector<unsigned char> full(modBytes, 0);
  std::copy(sig, sig + sigLen, full.begin() + (modBytes - sigLen));
  ltc_rsa_key k = view(key, PK_PUBLIC);
  int stat = 0;
  const int err = rsa_verify_hash_ex(full.data(), modBytes, hash, hashLen, LTC_PKCS_1_V1_5, hashIdx,
                                     0, &stat, &k);
  return ltc::verdict(err, stat, valid, "RSA", log);
}

bool Rsa2::padAndSignHash(const unsigned char *hash, unsigned int hashLen, int padding, int hashId,
                          int saltLen, rsa_key &key, int keyType, bool, DataBuffer &out,
                          LogBase &log) {
  if (!hash || hashLen == 0) {
    log.LogError("Null or empty input");
    return false;
  }
  if (padding != 1) {
    log.LogError("Invalid padding selection");
    return false;
  }
  const int hashIdx = ltc::hashIndex(hashId);
  if (hashIdx < 0) {
    log.LogError("No OID available for selected hash algorithm");
    return false;
  }
  if (keyType != 1 || key.m_type != 1 || mp_iszero(&key.d) || mp_iszero(&key.p)) {
    log.LogError("Requires a private key.");
    return false;
  }
  const unsigned int modBytes = static_cast<unsigned int>(mp_ubin_size(&key.N));
  std::vector<unsigned char> sig(modBytes + 16, 0);
  unsigned long sigLen = static_cast<unsigned long>(sig.size());
  ltc_rsa_key k = view(key, PK_PRIVATE);
  const int err =
      rsa_sign_hash_ex(hash, hashLen, sig.data(), &sigLen, LTC_PKCS_1_V1_5, nullptr,
                       ltc::ready().sprng, hashIdx, static_cast<unsigned long>(saltLen), &k);
  if (err != CRYPT_OK || sigLen > modBytes) {
    log.LogError("RSA signing failed.");
    log.LogData("reason", error_to_string(err));
    return false;
  }
  out.appendCharN(0, modBytes - static_cast<unsigned int>(sigLen));
  return out.append(sig.data(), static_cast<unsigned int>(sigLen));
}

bool Rsa2::calc_fingerprint(rsa_key &key, StringBuffer &out) {
  DataBuffer blob;
  if (!SshKeyBlob::rsaPublicBlob(key, blob)) return false;
  pkxml::appendFingerprint("ssh-rsa", key.get_ModulusBitLen(), blob, out);
  return true;
}

bool Rsa2::keyToXml(rsa_key &key, bool publicOnly, StringBuffer &out, bool, LogBase &log) {
  bool ok = out.append("<RSAKeyValue>") && pkxml::appendValue("Modulus", key.N, out) &&
            pkxml::appendValue("Exponent", key.e, out);
  if (ok && !publicOnly) {
    if (key.m_type != 1) {
      log.LogError("The RSA key has no private part.");
      return false;
    }
    ok = pkxml::appendValue("P", key.p, out) && pkxml::appendValue("Q", key.q, out) &&
         pkxml::appendValue("DP", key.dP, out) && pkxml::appendValue("DQ", key.dQ, out) &&
         pkxml::appendValue("InverseQ", key.qP, out) && pkxml::appendValue("D", key.d, out);
  }
  return ok && out.append("</RSAKeyValue>");
}

bool Rsa2::xmlToKey(StringBuffer &xml, rsa_key &key, bool, LogBase &log) {
  key.clear();
  pkxml::Reader r;
  if (!r.load(xml, "RSAKeyValue", log)) return false;
  if (!r.get("Modulus", key.N) || !r.get("Exponent", key.e)) {
    log.LogError("RSA key XML lacks a valid Modulus or Exponent.");
    return false;
  }
  if (!r.has("D")) {
    key.m_type = 0;
    return true;
  }
  MpInt p, q, e, d, iqmp;
  if (!r.get("D", d) || !r.get("P", p) || !r.get("Q", q)) {
    log.LogError("RSA private key XML lacks D, P or Q.");
    return false;
  }
  if (!r.get("InverseQ", iqmp) && mp_invmod(&q, &p, &iqmp) != MP_OKAY) return false;
  MpInt n;
  if (mp_copy(&key.e, &e) != MP_OKAY || mp_copy(&key.N, &n) != MP_OKAY ||
      !calc_dq_dq(p.v, q.v, e.v, d.v, iqmp.v, key))
    return false;
  if (mp_cmp(&n, &key.N) != MP_EQ) {
    log.LogError("RSA key XML: P times Q is not the Modulus.");
    key.clear();
    return false;
  }
  return true;
}

bool Rsa2::calc_dq_dq(mp_int &p, mp_int &q, mp_int &e, mp_int &d, mp_int &iqmp, rsa_key &key) {
  if (mp_iszero(&p) || mp_iszero(&q)) return false;
  MpInt pm1, qm1;
  const bool ok = mp_copy(&p, &key.p) == MP_OKAY && mp_copy(&q, &key.q) == MP_OKAY &&
                  mp_copy(&e, &key.e) == MP_OKAY && mp_copy(&d, &key.d) == MP_OKAY &&
                  mp_copy(&iqmp, &key.qP) == MP_OKAY && mp_mul(&p, &q, &key.N) == MP_OKAY &&
                  mp_sub_d(&p, 1, &pm1) == MP_OKAY && mp_sub_d(&q, 1, &qm1) == MP_OKAY &&
                  mp_mod(&d, &pm1, &key.dP) == MP_OKAY && mp_mod(&d, &qm1, &key.dQ) == MP_OKAY;
  if (!ok) return false;
  key.m_type = 1;
  key.m_modulusBitLen = mp_count_bits(&key.N);
  return true;
}
