// Packet ciphers and MACs of the SSH transport on OpenSSL's EVP interfaces.
#include "sshlib/crypto/SshCipher.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>

namespace {

const EVP_CIPHER *ctrCipher(size_t keyLen) {
  switch (keyLen) {
  case 16:
    return EVP_aes_128_ctr();
  case 24:
    return EVP_aes_192_ctr();
  case 32:
    return EVP_aes_256_ctr();
  default:
    return nullptr;
  }
}

const EVP_CIPHER *gcmCipher(size_t keyLen) {
  switch (keyLen) {
  case 16:
    return EVP_aes_128_gcm();
  case 32:
    return EVP_aes_256_gcm();
  default:
    return nullptr;
  }
}

void putBe32(uint32_t v, unsigned char *p) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

} // namespace

bool sshConstantTimeEquals(const unsigned char *a, const unsigned char *b, size_t n) {
  unsigned char diff = 0;
  for (size_t i = 0; i < n; ++i)
    diff |= (unsigned char)(a[i] ^ b[i]);
  return diff == 0;
}

// ---------------------------------------------------------------------------------------------
// Ciphers.

SshPacketCipher::~SshPacketCipher() {
  reset();
}

void SshPacketCipher::reset() {
  EVP_CIPHER_CTX_free(main_);
  EVP_CIPHER_CTX_free(header_);
  EVP_MAC_CTX_free(poly_);
  main_ = header_ = nullptr;
  poly_ = nullptr;
  std::memset(gcmIv_, 0, sizeof gcmIv_);
  kind_ = Kind::None;
}

bool SshPacketCipher::init(Kind kind, const unsigned char *key, size_t keyLen,
                           const unsigned char *iv, size_t ivLen, bool encrypt) {
  reset();
  encrypt_ = encrypt;
  if (kind == Kind::None) return true;
  main_ = EVP_CIPHER_CTX_new();
  if (!main_) return false;
  bool ok = false;
  switch (kind) {
  case Kind::Ctr: {
    const EVP_CIPHER *c = ctrCipher(keyLen);
    // Counter mode is its own inverse: both directions encrypt.
    ok = c && ivLen == 16 && EVP_EncryptInit_ex(main_, c, nullptr, key, iv) == 1;
    break;
  }
  case Kind::Gcm: {
    const EVP_CIPHER *c = gcmCipher(keyLen);
    ok = c && ivLen == 12 &&
         EVP_CipherInit_ex(main_, c, nullptr, nullptr, nullptr, encrypt ? 1 : 0) == 1 &&
         EVP_CIPHER_CTX_ctrl(main_, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1 &&
         EVP_CipherInit_ex(main_, nullptr, nullptr, key, nullptr, -1) == 1;
    if (ok) std::memcpy(gcmIv_, iv, 12);
    break;
  }
  case Kind::ChaCha: {
    // 64 bytes of key: the first half encrypts the packet and keys Poly1305, the second half
    // encrypts the length field alone.
    unsigned char zero[16] = {};
    header_ = EVP_CIPHER_CTX_new();
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
    poly_ = mac ? EVP_MAC_CTX_new(mac) : nullptr;
    EVP_MAC_free(mac);
    ok = keyLen == 64 && header_ && poly_ &&
         EVP_EncryptInit_ex(main_, EVP_chacha20(), nullptr, key, zero) == 1 &&
         EVP_EncryptInit_ex(header_, EVP_chacha20(), nullptr, key + 32, zero) == 1;
    break;
  }
  case Kind::None:
    break;
  }
  if (!ok) {
    reset();
    return false;
  }
  kind_ = kind;
  return true;
}

bool SshPacketCipher::ctr(unsigned char *data, size_t n) {
  int outl = 0;
  return kind_ == Kind::Ctr && EVP_EncryptUpdate(main_, data, &outl, data, (int)n) == 1 &&
         (size_t)outl == n;
}

bool SshPacketCipher::gcmSeal(unsigned char *packet, size_t n, unsigned char tag[16]) {
  if (kind_ != Kind::Gcm || n < 4) return false;
  int outl = 0;
  bool ok = EVP_CipherInit_ex(main_, nullptr, nullptr, nullptr, gcmIv_, -1) == 1 &&
            EVP_CipherUpdate(main_, nullptr, &outl, packet, 4) == 1 &&
            EVP_CipherUpdate(main_, packet + 4, &outl, packet + 4, (int)(n - 4)) == 1 &&
            EVP_CipherFinal_ex(main_, packet + n, &outl) == 1 &&
            EVP_CIPHER_CTX_ctrl(main_, EVP_CTRL_GCM_GET_TAG, 16, tag) == 1;
  // The invocation counter: the last eight bytes of the nonce, one more for every packet.
  for (int i = 11; i >= 4 && ++gcmIv_[i] == 0; --i) {
  }
  return ok;
}

bool SshPacketCipher::gcmOpen(unsigned char *packet, size_t n, const unsigned char tag[16]) {
  if (kind_ != Kind::Gcm || n < 4) return false;
  int outl = 0;
  unsigned char t[16], rest[16];
  std::memcpy(t, tag, 16);
  // A packet whose tag fails is not used: the caller drops the connection.
  bool ok = EVP_CipherInit_ex(main_, nullptr, nullptr, nullptr, gcmIv_, -1) == 1 &&
            EVP_CIPHER_CTX_ctrl(main_, EVP_CTRL_GCM_SET_TAG, 16, t) == 1 &&
            EVP_CipherUpdate(main_, nullptr, &outl, packet, 4) == 1 &&
            EVP_CipherUpdate(main_, packet + 4, &outl, packet + 4, (int)(n - 4)) == 1 &&
            EVP_CipherFinal_ex(main_, rest, &outl) == 1;
  for (int i = 11; i >= 4 && ++gcmIv_[i] == 0; --i) {
  }
  return ok;
}

// OpenSSL's ChaCha20 takes a 32-bit block counter and a 96-bit nonce; OpenSSH's construction
// uses a 64-bit counter and the 64-bit sequence number as nonce. The counter never passes 2^32
// within a packet, so the high counter word is the first nonce word, always zero.
void SshPacketCipher::chachaIv(uint32_t counter, uint32_t seq, unsigned char iv[16]) {
  iv[0] = (unsigned char)counter;
  iv[1] = (unsigned char)(counter >> 8);
  iv[2] = (unsigned char)(counter >> 16);
  iv[3] = (unsigned char)(counter >> 24);
  std::memset(iv + 4, 0, 8);
  putBe32(seq, iv + 12);
}

bool SshPacketCipher::chachaLength(uint32_t seq, const unsigned char in[4], unsigned char out[4]) {
  if (kind_ != Kind::ChaCha) return false;
  unsigned char iv[16];
  chachaIv(0, seq, iv);
  int outl = 0;
  return EVP_EncryptInit_ex(header_, nullptr, nullptr, nullptr, iv) == 1 &&
         EVP_EncryptUpdate(header_, out, &outl, in, 4) == 1;
}

bool SshPacketCipher::chachaPolyKey(uint32_t seq, unsigned char polyKey[32]) {
  unsigned char iv[16], zero[32] = {};
  chachaIv(0, seq, iv);
  int outl = 0;
  return EVP_EncryptInit_ex(main_, nullptr, nullptr, nullptr, iv) == 1 &&
         EVP_EncryptUpdate(main_, polyKey, &outl, zero, 32) == 1;
}

bool SshPacketCipher::poly1305(const unsigned char key[32], const unsigned char *data, size_t n,
                               unsigned char tag[16]) {
  size_t outl = 0;
  return EVP_MAC_init(poly_, key, 32, nullptr) == 1 && EVP_MAC_update(poly_, data, n) == 1 &&
         EVP_MAC_final(poly_, tag, &outl, 16) == 1 && outl == 16;
}

bool SshPacketCipher::chachaSeal(uint32_t seq, unsigned char *packet, size_t n,
                                 unsigned char tag[16]) {
  if (kind_ != Kind::ChaCha || n < 4) return false;
  unsigned char polyKey[32], iv[16];
  int outl = 0;
  chachaIv(1, seq, iv);
  bool ok = chachaLength(seq, packet, packet) && chachaPolyKey(seq, polyKey) &&
            EVP_EncryptInit_ex(main_, nullptr, nullptr, nullptr, iv) == 1 &&
            EVP_EncryptUpdate(main_, packet + 4, &outl, packet + 4, (int)(n - 4)) == 1 &&
            poly1305(polyKey, packet, n, tag);
  std::memset(polyKey, 0, sizeof polyKey);
  return ok;
}

bool SshPacketCipher::chachaOpen(uint32_t seq, unsigned char *packet, size_t n,
                                 const unsigned char tag[16]) {
  if (kind_ != Kind::ChaCha || n < 4) return false;
  unsigned char polyKey[32], expected[16], iv[16];
  int outl = 0;
  bool ok = chachaPolyKey(seq, polyKey) && poly1305(polyKey, packet, n, expected) &&
            sshConstantTimeEquals(expected, tag, 16);
  std::memset(polyKey, 0, sizeof polyKey);
  if (!ok) return false;
  chachaIv(1, seq, iv);
  return EVP_EncryptInit_ex(main_, nullptr, nullptr, nullptr, iv) == 1 &&
         EVP_EncryptUpdate(main_, packet + 4, &outl, packet + 4, (int)(n - 4)) == 1;
}

// ---------------------------------------------------------------------------------------------
// MACs.

SshMac::~SshMac() {
  reset();
}

void SshMac::reset() {
  EVP_MAC_CTX_free(ctx_);
  ctx_ = nullptr;
  size_ = 0;
}

bool SshMac::init(Hash hash, const unsigned char *key, size_t keyLen) {
  reset();
  const char *digest = "SHA1";
  switch (hash) {
  case Hash::Sha1:
    size_ = 20;
    break;
  case Hash::Md5:
    digest = "MD5";
    size_ = 16;
    break;
  case Hash::Sha256:
    digest = "SHA2-256";
    size_ = 32;
    break;
  case Hash::Sha512:
    digest = "SHA2-512";
    size_ = 64;
    break;
  }
  EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  ctx_ = mac ? EVP_MAC_CTX_new(mac) : nullptr;
  EVP_MAC_free(mac);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char *>(digest), 0),
      OSSL_PARAM_construct_end()};
  if (!ctx_ || EVP_MAC_init(ctx_, key, keyLen, params) != 1) {
    reset();
    return false;
  }
  return true;
}

bool SshMac::compute(uint32_t seq, const unsigned char *data, size_t n, unsigned char *out) {
  if (!ctx_) return false;
  unsigned char s[4];
  putBe32(seq, s);
  size_t outl = 0;
  // A null key starts a new MAC under the key already set.
  return EVP_MAC_init(ctx_, nullptr, 0, nullptr) == 1 && EVP_MAC_update(ctx_, s, 4) == 1 &&
         EVP_MAC_update(ctx_, data, n) == 1 && EVP_MAC_final(ctx_, out, &outl, size_) == 1 &&
         outl == size_;
}
