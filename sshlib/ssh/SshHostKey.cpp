// The server's host key: reading its blob and checking its signature over the exchange hash; and
// the conversions between key blobs and XML key text.
#include <cstring>

#include "sshlib/core/LogBase.h"
#include "sshlib/crypto/Dsa.h"
#include "sshlib/crypto/Hashes.h"
#include "sshlib/crypto/PkKeys.h"
#include "sshlib/crypto/Rsa2.h"
#include "sshlib/crypto/SshKeyBlob.h"
#include "sshlib/crypto/SshSigVerify.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/SshTransport.h"

unsigned int *SshTransport::rsa_getmp(const unsigned char **p, unsigned int *left) {
  const unsigned char *s = nullptr;
  unsigned int n = 0;
  getstring(p, left, &s, &n);
  return s ? RazudodBignum::fromBytes(s, n) : nullptr;
}

unsigned int *SshTransport::dss_getmp(const unsigned char **p, unsigned int *left) {
  const unsigned char *s = nullptr;
  unsigned int n = 0;
  getstring(p, left, &s, &n);
  if (!s || (n > 0 && (s[0] & 0x80))) return nullptr;
  return RazudodBignum::fromBytes(s, n);
}

unsigned int *SshTransport::get160(const unsigned char **p, unsigned int *left) {
  if (*left < 20) return nullptr;
  unsigned int *bn = RazudodBignum::fromBytes(*p, 20);
  *p += 20;
  *left -= 20;
  return bn;
}

namespace {

// A number read from a blob, freed with its scope.
struct Bignum {
  explicit Bignum(unsigned int *b) : bn(b) {}
  ~Bignum() { RazudodBignum::freebn(bn); }
  Bignum(const Bignum &) = delete;
  Bignum &operator=(const Bignum &) = delete;
  // Copies the number into the key record's field; false when there is none.
  bool into(mp_int &out) const { return bn && RazudodBignum::bignumToMpInt(bn, &out); }
  unsigned int *bn;
};

int bitCount(const mp_int &v) {
  return mp_count_bits(&v);
}

} // namespace

bool SshTransport::parseRsaKey(DataBuffer &blob, rsa_key &key, LogBase &) {
  if (blob.getSize() == 0) return false;
  const unsigned char *p = blob.getData2();
  unsigned int left = blob.getSize();
  const unsigned char *type = nullptr;
  unsigned int typeLen = 0;
  getstring(&p, &left, &type, &typeLen);
  if (!type) return false;
  Bignum e(rsa_getmp(&p, &left));
  Bignum n(rsa_getmp(&p, &left));
  if (!e.into(key.e) || !n.into(key.N)) return false;
  key.m_type = 0;
  // The modulus is counted in significant bits at every size, so 3072- and 4096-bit keys whose
  // mpint carries a leading zero byte are sized right.
  key.set_ModulusBitLen(bitCount(key.N));
  return true;
}

bool SshTransport::parseDssKey(DataBuffer &blob, dsa_key &key, LogBase &log, bool verbose) {
  key.clear();
  if (blob.getSize() == 0) {
    log.LogError("DSS key is 0-length");
    return false;
  }
  const unsigned char *p = blob.getData2();
  unsigned int left = blob.getSize();
  const unsigned char *type = nullptr;
  unsigned int typeLen = 0;
  getstring(&p, &left, &type, &typeLen);
  if (!type) {
    log.LogError("Failed to decode DSS key from binary string.");
    return false;
  }
  // A missing or negative component ends the reading; those after it count as missing.
  Bignum bp(dss_getmp(&p, &left));
  Bignum bq(bp.bn ? dss_getmp(&p, &left) : nullptr);
  Bignum bg(bq.bn ? dss_getmp(&p, &left) : nullptr);
  Bignum by(bg.bn ? dss_getmp(&p, &left) : nullptr);
  const bool ok = bp.into(key.p) && bq.into(key.q) && bg.into(key.g) && by.into(key.y);
  if (verbose) {
    log.LogDataLong("pNumBits", bitCount(key.p));
    log.LogDataLong("qNumBits", bitCount(key.q));
    log.LogDataLong("gNumBits", bitCount(key.g));
    log.LogDataLong("yNumBits", bitCount(key.y));
  }
  if (!ok) {
    log.LogError("Failed to get DSS key component values.");
    return false;
  }
  key.m_type = 0;
  return true;
}

bool SshTransport::rsaVerifySig(rsa_key &key, const unsigned char *sig, unsigned int sigLen,
                                const unsigned char *data, unsigned int dataLen, LogBase &log) {
  const unsigned char *p = sig;
  unsigned int left = sigLen;
  const unsigned char *name = nullptr;
  unsigned int nameLen = 0;
  getstring(&p, &left, &name, &nameLen);
  if (!name) {
    log.LogDataLong("HostKeyFailCode", 10);
    log.LogDataLong("siglen", (int)sigLen);
    log.LogDataLong("datalen", (int)dataLen);
    log.LogDataHex("sigData", sig, sigLen);
    return false;
  }
  if (nameLen != 7) {
    log.LogDataLong("HostKeyFailCode", 11);
    log.LogDataLong("slen", (int)nameLen);
    logPeerText(log, "sigName", (const char *)name, nameLen);
    return false;
  }
  if (memcmp(name, "ssh-rsa", 7) != 0) {
    log.LogDataLong("HostKeyFailCode", 12);
    return false;
  }
  log.LogDataLong("HostKeyNumBits", key.get_ModulusBitLen());
  // The signature is taken with the length it declares; the check pads a shorter one.
  const unsigned char *s = nullptr;
  unsigned int sLen = 0;
  getstring(&p, &left, &s, &sLen);
  if (!s || sLen == 0) {
    log.LogDataLong("HostKeyFailCode", 2);
    return false;
  }
  DataBuffer hash;
  Sha1::sha1_bytes(data, dataLen, hash);
  bool valid = false;
  if (!Rsa2::verifyHashSsh(s, sLen, hash.getData2(), hash.getSize(), valid, key, log)) {
    log.LogDataLong("HostKeyFailCode", 3);
    return false;
  }
  if (!valid) log.LogDataLong("HostKeyFailCode", 4);
  return valid;
}

bool SshTransport::dssVerifySig(dsa_key &key, const unsigned char *sig, unsigned int sigLen,
                                const unsigned char *data, unsigned int dataLen, LogBase &log,
                                bool verbose) {
  if (verbose) {
    log.EnterContext("dssVerifySig", true);
    log.LogDataLong("siglen", (int)sigLen);
    log.LogDataLong("datalen", (int)dataLen);
  }
  auto done = [&](bool r) {
    if (verbose) log.LeaveContext();
    return r;
  };
  const unsigned char *p = sig;
  unsigned int left = sigLen;
  if (sigLen != 40) {
    const unsigned char *name = nullptr;
    unsigned int nameLen = 0;
    getstring(&p, &left, &name, &nameLen);
    if (!name || nameLen != 7 || memcmp(name, "ssh-dss", 7) != 0) {
      log.LogError("Expected ssh-dss");
      return done(false);
    }
    // The blob's own length field.
    const unsigned int skip = left < 4 ? left : 4;
    p += skip;
    left -= skip;
  }
  Bignum rb(get160(&p, &left));
  Bignum sb(get160(&p, &left));
  MpInt r, s;
  if (!rb.into(r.v)) {
    log.LogError("Failed to get r");
    return done(false);
  }
  if (!sb.into(s.v)) {
    log.LogError("Failed to get s");
    return done(false);
  }
  DataBuffer hash;
  Sha1::sha1_bytes(data, dataLen, hash);
  bool valid = false;
  if (!Dsa::verify_hash_raw(r.v, s.v, hash.getData2(), hash.getSize(), key, valid, log))
    return done(false);
  log.LogDataLong("dsaSigValid", valid ? 1 : 0);
  return done(valid);
}

bool SshTransport::verifyHostKey(bool rekey, LogBase &log, bool verbose) {
  auto dumpBlobs = [&](const char *keyTag) {
    log.LogBinary(keyTag, serverHostKeyBlob.getData2(), (int)serverHostKeyBlob.getSize());
    log.LogBinary("sigH", serverSignature.getData2(), (int)serverSignature.getSize());
    log.LogBinary("exchangeHash", exchangeHash.getData2(), (int)exchangeHash.getSize());
  };
  if (hostKeyAlgorithm >= kHostRsaSha256 && hostKeyAlgorithm <= kHostEcdsaP521)
    return verifyNewHostKey(log, verbose);
  if (hostKeyAlgorithm == 2) {
    dsa_key key;
    if (!parseDssKey(serverHostKeyBlob, key, log, verbose)) {
      log.LogError("Failed to parse DSS host key");
      return false;
    }
    log.LogInfo("DSS host key parsed successfully.");
    hostKeyFingerprint.clear();
    Dsa::calc_fingerprint(key, hostKeyFingerprint);
    if (!dssVerifySig(key, serverSignature.getData2(), serverSignature.getSize(),
                      exchangeHash.getData2(), exchangeHash.getSize(), log, verbose)) {
      dumpBlobs("dss_key");
      log.LogError(rekey ? "DSS signature verification failure. (2)"
                         : "DSS signature verification failure. (1)");
      return false;
    }
    if (verbose) {
      log.LogInfo(rekey ? "DSS signature is valid." : "DSS signature verification success");
      dumpBlobs("dss_key");
    }
    toSessionLog("TRAN* ", "DSS signature verified", "\r\n");
    return true;
  }
  rsa_key key;
  if (!parseRsaKey(serverHostKeyBlob, key, log)) {
    log.LogError("Failed to parse RSA host key");
    return false;
  }
  log.LogInfo("RSA host key parsed successfully.");
  hostKeyFingerprint.clear();
  Rsa2::calc_fingerprint(key, hostKeyFingerprint);
  if (!rekey) {
    StringBuffer xml;
    Rsa2::keyToXml(key, true, xml, false, log);
    log.LogData("keyXml", xml.getString());
  }
  if (!rsaVerifySig(key, serverSignature.getData2(), serverSignature.getSize(),
                    exchangeHash.getData2(), exchangeHash.getSize(), log)) {
    log.LogError("RSA signature verification failure.");
    return false;
  }
  if (rekey) {
    if (verbose) {
      log.LogInfo("RSA signature is valid.");
      dumpBlobs("rsa_key");
    }
  } else {
    log.LogInfo("RSA signature verification success.");
  }
  toSessionLog("TRAN* ", "RSA signature verified", "\r\n");
  return true;
}

// The host-key algorithms checked through OpenSSL: the key must be of the negotiated type, its
// fingerprint is made as for every key (type, bits, MD5 of the blob), and the signature must
// verify over the exchange hash.
bool SshTransport::verifyNewHostKey(LogBase &log, bool verbose) {
  static const struct {
    int number;
    const char *alg;
    const char *keyType;
  } kinds[] = {{kHostRsaSha256, "rsa-sha2-256", "ssh-rsa"},
               {kHostRsaSha512, "rsa-sha2-512", "ssh-rsa"},
               {kHostEd25519, "ssh-ed25519", "ssh-ed25519"},
               {kHostEcdsaP256, "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp256"},
               {kHostEcdsaP384, "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp384"},
               {kHostEcdsaP521, "ecdsa-sha2-nistp521", "ecdsa-sha2-nistp521"}};
  const char *alg = nullptr, *keyType = nullptr;
  for (const auto &k : kinds)
    if (k.number == hostKeyAlgorithm) {
      alg = k.alg;
      keyType = k.keyType;
    }
  const unsigned char *blob = serverHostKeyBlob.getData2();
  const unsigned int blobLen = serverHostKeyBlob.getSize();
  if (!alg || sshKeyBlobType(blob, blobLen) != keyType) {
    log.LogError("The host key is not of the negotiated type.");
    return false;
  }
  hostKeyFingerprint.clear();
  if (hostKeyAlgorithm == kHostRsaSha256 || hostKeyAlgorithm == kHostRsaSha512) {
    rsa_key key;
    if (!parseRsaKey(serverHostKeyBlob, key, log)) {
      log.LogError("Failed to parse RSA host key");
      return false;
    }
    log.LogDataLong("HostKeyNumBits", key.get_ModulusBitLen());
    Rsa2::calc_fingerprint(key, hostKeyFingerprint);
  } else {
    pkxml::appendFingerprint(keyType, sshEcKeyBits(blob, blobLen), serverHostKeyBlob,
                             hostKeyFingerprint);
  }
  std::string why;
  if (!sshVerifySignature(alg, blob, blobLen, serverSignature.getData2(), serverSignature.getSize(),
                          exchangeHash.getData2(), exchangeHash.getSize(), why)) {
    log.LogError(why.c_str());
    log.LogError("Host key signature verification failure.");
    return false;
  }
  if (verbose) log.LogData("hostKeyAlgorithm", alg);
  log.LogInfo("Host key signature verification success.");
  toSessionLog("TRAN* Signature verified: ", alg, "\r\n");
  return true;
}

// ---------------------------------------------------------------------------------------------
// Key blobs. The key object (in the cryptography layer) uses the same code directly.

bool SshTransport::xmlToPublicKeyBlob(StringBuffer &xml, DataBuffer &blob, LogBase &log) {
  return SshKeyBlob::xmlToPublicKeyBlob(xml, blob, log);
}

bool SshTransport::xmlToPrivateKeyBlob(StringBuffer &xml, DataBuffer &blob, LogBase &log) {
  return SshKeyBlob::xmlToPrivateKeyBlob(xml, blob, log);
}

bool SshTransport::publicKeyBlobToXml(DataBuffer &blob, StringBuffer &xml, int &keyType,
                                      unsigned int &exponent, LogBase &log) {
  return SshKeyBlob::publicKeyBlobToXml(blob, xml, keyType, exponent, log);
}

bool SshTransport::privateKeyBlobToXml(int keyType, DataBuffer &blob, unsigned int exponent,
                                       StringBuffer &xml, LogBase &log) {
  return SshKeyBlob::privateKeyBlobToXml(keyType, blob, exponent, xml, log);
}
