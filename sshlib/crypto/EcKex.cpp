// X25519 and NIST-curve ECDH for the SSH key exchange, on OpenSSL's EVP_PKEY interface.
#include "sshlib/crypto/EcKex.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>
#include <vector>

namespace {

const char *groupName(EcKex::Curve c) {
  switch (c) {
  case EcKex::Curve::P256:
    return "prime256v1";
  case EcKex::Curve::P384:
    return "secp384r1";
  case EcKex::Curve::P521:
    return "secp521r1";
  case EcKex::Curve::X25519:
    break;
  }
  return nullptr;
}

// Bytes of one coordinate.
size_t fieldBytes(EcKex::Curve c) {
  switch (c) {
  case EcKex::Curve::P256:
    return 32;
  case EcKex::Curve::P384:
    return 48;
  case EcKex::Curve::P521:
    return 66;
  case EcKex::Curve::X25519:
    break;
  }
  return 32;
}

} // namespace

EcKex::~EcKex() {
  clear();
}

void EcKex::clear() {
  EVP_PKEY_free(key_);
  key_ = nullptr;
  public_.clear();
}

bool EcKex::generate(Curve curve) {
  clear();
  curve_ = curve;
  if (curve == Curve::X25519) {
    key_ = EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519");
    if (!key_) return false;
    unsigned char pub[32];
    size_t len = sizeof pub;
    if (EVP_PKEY_get_raw_public_key(key_, pub, &len) != 1 || len != 32) {
      clear();
      return false;
    }
    public_.append(pub, 32);
    return true;
  }
  key_ = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", groupName(curve));
  if (!key_) return false;
  unsigned char pub[1 + 2 * 66];
  size_t len = 0;
  if (EVP_PKEY_get_octet_string_param(key_, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, pub, sizeof pub,
                                      &len) != 1 ||
      len != 1 + 2 * fieldBytes(curve)) {
    clear();
    return false;
  }
  public_.append(pub, (unsigned int)len);
  return true;
}

bool EcKex::derive(const unsigned char *peer, size_t n, DataBuffer &sharedMpint) {
  sharedMpint.clear();
  if (!key_) return false;
  EVP_PKEY *peerKey = nullptr;
  if (curve_ == Curve::X25519) {
    if (n != 32) return false;
    peerKey = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer, n);
  } else {
    // Only an uncompressed point of the curve's size; decoding it checks that it is on the curve.
    if (n != 1 + 2 * fieldBytes(curve_) || peer[0] != 4) return false;
    EVP_PKEY_CTX *pc = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME,
                                                            const_cast<char *>(groupName(curve_)),
                                                            0),
                           OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                                             const_cast<unsigned char *>(peer), n),
                           OSSL_PARAM_construct_end()};
    if (!pc || EVP_PKEY_fromdata_init(pc) != 1 ||
        EVP_PKEY_fromdata(pc, &peerKey, EVP_PKEY_PUBLIC_KEY, params) != 1)
      peerKey = nullptr;
    EVP_PKEY_CTX_free(pc);
  }
  if (!peerKey) return false;
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key_, nullptr);
  unsigned char secret[66];
  size_t len = sizeof secret;
  bool ok = ctx && EVP_PKEY_derive_init(ctx) == 1 && EVP_PKEY_derive_set_peer(ctx, peerKey) == 1 &&
            EVP_PKEY_derive(ctx, secret, &len) == 1 && len == fieldBytes(curve_);
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(peerKey);
  if (ok) {
    unsigned char any = 0;
    for (size_t i = 0; i < len; ++i)
      any |= secret[i];
    ok = any != 0;
  }
  if (ok) sshPackMpintBytes(secret, len, sharedMpint);
  std::memset(secret, 0, sizeof secret);
  // Our secret is used once.
  EVP_PKEY_free(key_);
  key_ = nullptr;
  return ok;
}

bool sshDigest(int bits, const unsigned char *data, size_t n, DataBuffer &out) {
  const EVP_MD *md = bits == 1     ? EVP_sha1()
                     : bits == 256 ? EVP_sha256()
                     : bits == 384 ? EVP_sha384()
                     : bits == 512 ? EVP_sha512()
                                   : nullptr;
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!md || EVP_Digest(data, n, d, &len, md, nullptr) != 1) return false;
  return out.append(d, len);
}

void sshPackMpintBytes(const unsigned char *p, size_t n, DataBuffer &out) {
  while (n > 0 && *p == 0) {
    ++p;
    --n;
  }
  bool lead = n > 0 && (p[0] & 0x80);
  unsigned int len = (unsigned int)n + (lead ? 1 : 0);
  unsigned char l[4] = {(unsigned char)(len >> 24), (unsigned char)(len >> 16),
                        (unsigned char)(len >> 8), (unsigned char)len};
  out.append(l, 4);
  if (lead) out.appendChar(0);
  if (n) out.append(p, (unsigned int)n);
}
