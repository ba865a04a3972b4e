#include "sshlib/crypto/Dsa.h"

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/Ltc.h"
#include "sshlib/crypto/SshKeyBlob.h"

namespace {

ltc_dsa_key view(dsa_key &k, int type) {
  ltc_dsa_key v{};
  v.type = type;
  v.qord = static_cast<int>(mp_ubin_size(&k.q));
  v.p = &k.p;
  v.q = &k.q;
  v.g = &k.g;
  v.y = &k.y;
  v.x = &k.x;
  return v;
}

// Set, and within sizes DSA has (the bound also caps the work a peer's host key can cause).
bool usable(dsa_key &k) {
  return !mp_iszero(&k.p) && !mp_iszero(&k.q) && !mp_iszero(&k.g) && !mp_iszero(&k.y) &&
         mp_count_bits(&k.p) <= 8192 && mp_count_bits(&k.q) <= 512;
}

} // namespace

bool Dsa::verify_hash_raw(mp_int &r, mp_int &s, const unsigned char *hash, unsigned int n,
                          dsa_key &key, bool &valid, LogBase &log) {
  valid = false;
  if (!hash || !usable(key)) {
    log.LogError("DSA signature check cannot run (no key, or one of a size DSA does not have).");
    return false;
  }
  ltc::ready();
  ltc_dsa_key k = view(key, PK_PUBLIC);
  int stat = 0;
  const int err = dsa_verify_hash_raw(&r, &s, hash, n, &stat, &k);
  return ltc::verdict(err, stat, valid, "DSA", log);
}

bool Dsa::sign_hash_for_ssh(const unsigned char *hash, unsigned int n, dsa_key &key,
                            DataBuffer &out, LogBase &log) {
  out.clear();
  if (!hash || n == 0 || key.m_type != 1 || !usable(key) || mp_iszero(&key.x)) {
    log.LogError("DSA signing needs a private key and a hash.");
    return false;
  }
  // The SSH "ssh-dss" signature has room for 160-bit r and s only.
  if (mp_count_bits(&key.q) != 160) {
    log.LogError("DSA key's q is not 160 bits; ssh-dss cannot carry its signature.");
    log.LogDataLong("qBits", mp_count_bits(&key.q));
    return false;
  }
  const ltc::Indexes &idx = ltc::ready();
  ltc_dsa_key k = view(key, PK_PRIVATE);
  MpInt r, s;
  const int err = dsa_sign_hash_raw(hash, n, &r, &s, nullptr, idx.sprng, &k);
  if (err != CRYPT_OK) {
    log.LogError("DSA signing failed.");
    log.LogData("reason", error_to_string(err));
    return false;
  }
  if (!RazudodMp::append_fixed(r.v, 20, out) || !RazudodMp::append_fixed(s.v, 20, out)) {
    out.clear();
    return false;
  }
  return true;
}

bool Dsa::calc_fingerprint(dsa_key &key, StringBuffer &out) {
  DataBuffer blob;
  if (!SshKeyBlob::dsaPublicBlob(key, blob)) return false;
  pkxml::appendFingerprint("ssh-dss", mp_count_bits(&key.p), blob, out);
  return true;
}

bool Dsa::keyToXml(dsa_key &key, bool publicOnly, StringBuffer &out, bool, LogBase &log) {
  bool ok = out.append("<DSAKeyValue>") && pkxml::appendValue("P", key.p, out) &&
            pkxml::appendValue("Q", key.q, out) && pkxml::appendValue("G", key.g, out) &&
            pkxml::appendValue("Y", key.y, out);
  if (ok && !publicOnly) {
    if (key.m_type != 1) {
      log.LogError("The DSA key has no private part.");
      return false;
    }
    ok = pkxml::appendValue("X", key.x, out);
  }
  return ok && out.append("</DSAKeyValue>");
}

bool Dsa::xmlToKey(StringBuffer &xml, dsa_key &key, bool, LogBase &log) {
  key.clear();
  pkxml::Reader r;
  if (!r.load(xml, "DSAKeyValue", log)) return false;
  if (!r.get("P", key.p) || !r.get("Q", key.q) || !r.get("G", key.g) || !r.get("Y", key.y)) {
    log.LogError("DSA key XML lacks a valid P, Q, G or Y.");
    key.clear();
    return false;
  }
  if (r.has("X")) {
    if (!r.get("X", key.x)) {
      key.clear();
      return false;
    }
    key.m_type = 1;
  }
  return true;
}
