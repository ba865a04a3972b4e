// Host-key signatures on OpenSSL's EVP_DigestVerify.
#include "sshlib/crypto/SshSigVerify.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// A cursor over SSH strings; a string cut short ends the reading.
struct Reader {
  const unsigned char *p;
  size_t left;
  bool next(const unsigned char *&s, size_t &n) {
    if (left < 4) return false;
    size_t len = ((size_t)p[0] << 24) | ((size_t)p[1] << 16) | ((size_t)p[2] << 8) | p[3];
    if (len > left - 4) return false;
    s = p + 4;
    n = len;
    p += 4 + len;
    left -= 4 + len;
    return true;
  }
  bool nextIs(const char *text) {
    const unsigned char *s;
    size_t n;
    return next(s, n) && n == strlen(text) && memcmp(s, text, n) == 0;
  }
};

struct Curve {
  const char *keyType;
  const char *sshName;
  const char *groupName;
  const char *digest;
  int bits;
};
const Curve kCurves[] = {
    {"ecdsa-sha2-nistp256", "nistp256", "prime256v1", "SHA256", 256},
    {"ecdsa-sha2-nistp384", "nistp384", "secp384r1", "SHA384", 384},
    {"ecdsa-sha2-nistp521", "nistp521", "secp521r1", "SHA512", 521},
};

EVP_PKEY *fromData(const char *type, OSSL_PARAM *params) {
  EVP_PKEY_CTX *pc = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
  EVP_PKEY *key = nullptr;
  if (!pc || EVP_PKEY_fromdata_init(pc) != 1 ||
      EVP_PKEY_fromdata(pc, &key, EVP_PKEY_PUBLIC_KEY, params) != 1)
    key = nullptr;
  EVP_PKEY_CTX_free(pc);
  return key;
}

// mpint bytes (big-endian, maybe with a leading zero) in the little-endian order OSSL_PARAM
// takes for a number.
std::vector<unsigned char> littleEndian(const unsigned char *s, size_t n) {
  while (n > 0 && *s == 0) {
    ++s;
    --n;
  }
  std::vector<unsigned char> v(s, s + n);
  std::reverse(v.begin(), v.end());
  if (v.empty()) v.push_back(0);
  return v;
}

bool verify(EVP_PKEY *key, const char *digest, const unsigned char *sig, size_t sigLen,
            const unsigned char *data, size_t dataLen) {
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  bool ok = ctx &&
            EVP_DigestVerifyInit_ex(ctx, nullptr, digest, nullptr, nullptr, key, nullptr) == 1 &&
            EVP_DigestVerify(ctx, sig, sigLen, data, dataLen) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

} // namespace

std::string sshKeyBlobType(const unsigned char *blob, size_t n) {
  Reader r{blob, n};
  const unsigned char *s;
  size_t len;
  if (!r.next(s, len) || len > 64) return "";
  return std::string((const char *)s, len);
}

int sshEcKeyBits(const unsigned char *blob, size_t n) {
  std::string type = sshKeyBlobType(blob, n);
  if (type == "ssh-ed25519") return 256;
  for (const Curve &c : kCurves)
    if (type == c.keyType) return c.bits;
  return 0;
}

bool sshVerifySignature(const char *sigAlg, const unsigned char *keyBlob, size_t keyLen,
                        const unsigned char *sig, size_t sigLen, const unsigned char *data,
                        size_t dataLen, std::string &why) {
  Reader sr{sig, sigLen};
  const unsigned char *raw;
  size_t rawLen;
  if (!sr.nextIs(sigAlg) || !sr.next(raw, rawLen)) {
    why = "The signature is not of the negotiated algorithm.";
    return false;
  }
  std::string alg = sigAlg;
  Reader kr{keyBlob, keyLen};
  EVP_PKEY *key = nullptr;
  const char *digest = nullptr;
  std::vector<unsigned char> der;
  const unsigned char *sigBytes = raw;
  size_t sigBytesLen = rawLen;

  if (alg == "rsa-sha2-256" || alg == "rsa-sha2-512") {
    const unsigned char *e, *n;
    size_t eLen, nLen;
    if (!kr.nextIs("ssh-rsa") || !kr.next(e, eLen) || !kr.next(n, nLen)) {
      why = "Failed to parse the RSA host key.";
      return false;
    }
    std::vector<unsigned char> le = littleEndian(e, eLen), ln = littleEndian(n, nLen);
    // Keys below 1024 bits are refused, as current servers refuse them.
    if (ln.size() < 128) {
      why = "The RSA host key is too small.";
      return false;
    }
    OSSL_PARAM params[] = {OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_RSA_N, ln.data(), ln.size()),
                           OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_RSA_E, le.data(), le.size()),
                           OSSL_PARAM_construct_end()};
    key = fromData("RSA", params);
    digest = alg == "rsa-sha2-256" ? "SHA256" : "SHA512";
  } else if (alg == "ssh-ed25519") {
    const unsigned char *pk;
    size_t pkLen;
    if (!kr.nextIs("ssh-ed25519") || !kr.next(pk, pkLen) || pkLen != 32) {
      why = "Failed to parse the Ed25519 host key.";
      return false;
    }
    if (rawLen != 64) {
      why = "The Ed25519 signature has the wrong size.";
      return false;
    }
    key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pk, 32);
  } else {
    const Curve *curve = nullptr;
    for (const Curve &c : kCurves)
      if (alg == c.keyType) curve = &c;
    const unsigned char *q;
    size_t qLen;
    if (!curve || !kr.nextIs(curve->keyType) || !kr.nextIs(curve->sshName) || !kr.next(q, qLen) ||
        qLen == 0 || q[0] != 4) {
      why = "Failed to parse the ECDSA host key.";
      return false;
    }
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(
                               OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char *>(curve->groupName), 0),
                           OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                                             const_cast<unsigned char *>(q), qLen),
                           OSSL_PARAM_construct_end()};
    key = fromData("EC", params);
    digest = curve->digest;
    // The SSH form (mpint r, mpint s) becomes the DER form OpenSSL checks.
    Reader rs{raw, rawLen};
    const unsigned char *r, *s;
    size_t rLen, sLen;
    if (!rs.next(r, rLen) || !rs.next(s, sLen) || rLen > 67 || sLen > 67) {
      EVP_PKEY_free(key);
      why = "Failed to parse the ECDSA signature.";
      return false;
    }
    BIGNUM *br = BN_bin2bn(r, (int)rLen, nullptr), *bs = BN_bin2bn(s, (int)sLen, nullptr);
    ECDSA_SIG *es = ECDSA_SIG_new();
    if (es && br && bs && ECDSA_SIG_set0(es, br, bs) == 1) {
      br = bs = nullptr;
      unsigned char *out = nullptr;
      int len = i2d_ECDSA_SIG(es, &out);
      if (len > 0) der.assign(out, out + len);
      OPENSSL_free(out);
    }
    BN_free(br);
    BN_free(bs);
    ECDSA_SIG_free(es);
    sigBytes = der.data();
    sigBytesLen = der.size();
  }
  if (!key) {
    why = "The host key is not acceptable.";
    return false;
  }
  bool ok = sigBytesLen > 0 && verify(key, digest, sigBytes, sigBytesLen, data, dataLen);
  EVP_PKEY_free(key);
  if (!ok) why = "The host key's signature is not valid.";
  return ok;
}
