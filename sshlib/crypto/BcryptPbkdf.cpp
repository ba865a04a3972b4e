#include "sshlib/crypto/BcryptPbkdf.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

#include "sshlib/crypto/BlowfishPi.inc"

// The next big-endian word of data, taken cyclically.
uint32_t streamWord(const uint8_t *data, size_t len, size_t &at) {
  uint32_t w = 0;
  for (int i = 0; i < 4; ++i) {
    if (at >= len) at = 0;
    w = (w << 8) | data[at++];
  }
  return w;
}

constexpr size_t kHashLen = 32;
constexpr char kMagic[] = "OxychromaticBlowfishSwatDynamite";

// One block of bcrypt: the salted schedule, 64 rounds of alternate re-keying with salt and pass
// phrase, then the magic text encrypted 64 times. The output words are little-endian.
void bcryptHash(const uint8_t sha2pass[SHA512_DIGEST_LENGTH],
                const uint8_t sha2salt[SHA512_DIGEST_LENGTH], uint8_t out[kHashLen]) {
  Blowfish bf;
  bf.expand(sha2salt, SHA512_DIGEST_LENGTH, sha2pass, SHA512_DIGEST_LENGTH);
  for (int i = 0; i < 64; ++i) {
    bf.expand0(sha2salt, SHA512_DIGEST_LENGTH);
    bf.expand0(sha2pass, SHA512_DIGEST_LENGTH);
  }
  uint32_t cdata[kHashLen / 4];
  size_t at = 0;
  for (uint32_t &w : cdata)
    w = streamWord(reinterpret_cast<const uint8_t *>(kMagic), kHashLen, at);
  for (int i = 0; i < 64; ++i)
    for (size_t b = 0; b < kHashLen / 4; b += 2)
      bf.encipher(cdata[b], cdata[b + 1]);
  for (size_t i = 0; i < kHashLen / 4; ++i) {
    out[4 * i + 3] = static_cast<uint8_t>(cdata[i] >> 24);
    out[4 * i + 2] = static_cast<uint8_t>(cdata[i] >> 16);
    out[4 * i + 1] = static_cast<uint8_t>(cdata[i] >> 8);
    out[4 * i + 0] = static_cast<uint8_t>(cdata[i]);
  }
  OPENSSL_cleanse(cdata, sizeof cdata);
}

} // namespace

Blowfish::~Blowfish() {
  OPENSSL_cleanse(m_p, sizeof m_p);
  OPENSSL_cleanse(m_s, sizeof m_s);
}

void Blowfish::initState() {
  std::memcpy(m_p, kBlowfishInitP, sizeof m_p);
  std::memcpy(m_s, kBlowfishInitS, sizeof m_s);
}

uint32_t Blowfish::f(uint32_t x) const {
  return ((m_s[0][x >> 24] + m_s[1][(x >> 16) & 0xff]) ^ m_s[2][(x >> 8) & 0xff]) +
         m_s[3][x & 0xff];
}

void Blowfish::encipher(uint32_t &l, uint32_t &r) const {
  uint32_t xl = l, xr = r;
  for (int i = 0; i < 16; ++i) {
    xl ^= m_p[i];
    xr ^= f(xl);
    std::swap(xl, xr);
  }
  std::swap(xl, xr);
  xr ^= m_p[16];
  xl ^= m_p[17];
  l = xl;
  r = xr;
}

void Blowfish::expand0(const uint8_t *key, size_t keyLen) {
  expand(nullptr, 0, key, keyLen);
}

void Blowfish::expand(const uint8_t *salt, size_t saltLen, const uint8_t *key, size_t keyLen) {
  size_t at = 0;
  for (uint32_t &p : m_p)
    p ^= streamWord(key, keyLen, at);
  at = 0;
  uint32_t l = 0, r = 0;
  auto next = [&](uint32_t &a, uint32_t &b) {
    if (saltLen) {
      l ^= streamWord(salt, saltLen, at);
      r ^= streamWord(salt, saltLen, at);
    }
    encipher(l, r);
    a = l;
    b = r;
  };
  for (size_t i = 0; i < 18; i += 2)
    next(m_p[i], m_p[i + 1]);
  for (auto &box : m_s)
    for (size_t k = 0; k < 256; k += 2)
      next(box[k], box[k + 1]);
}

bool BcryptPbkdf::derive(const uint8_t *pass, size_t passLen, const uint8_t *salt, size_t saltLen,
                         unsigned int rounds, uint8_t *key, size_t keyLen) {
  if (rounds < 1 || keyLen == 0 || keyLen > 1024 || saltLen == 0 || saltLen > 1024 ||
      (passLen && !pass) || !salt || !key)
    return false;
  const size_t stride = (keyLen + kHashLen - 1) / kHashLen;
  size_t amt = (keyLen + stride - 1) / stride;
  uint8_t sha2pass[SHA512_DIGEST_LENGTH], sha2salt[SHA512_DIGEST_LENGTH];
  uint8_t out[kHashLen], tmp[kHashLen];
  SHA512(passLen ? pass : reinterpret_cast<const uint8_t *>(""), passLen, sha2pass);
  std::vector<uint8_t> countSalt(salt, salt + saltLen);
  countSalt.resize(saltLen + 4);
  size_t left = keyLen;
  for (uint32_t count = 1; left > 0; ++count) {
    countSalt[saltLen + 0] = static_cast<uint8_t>(count >> 24);
    countSalt[saltLen + 1] = static_cast<uint8_t>(count >> 16);
    countSalt[saltLen + 2] = static_cast<uint8_t>(count >> 8);
    countSalt[saltLen + 3] = static_cast<uint8_t>(count);
    SHA512(countSalt.data(), countSalt.size(), sha2salt);
    bcryptHash(sha2pass, sha2salt, tmp);
    std::memcpy(out, tmp, sizeof out);
    for (unsigned int i = 1; i < rounds; ++i) {
      SHA512(tmp, sizeof tmp, sha2salt);
      bcryptHash(sha2pass, sha2salt, tmp);
      for (size_t j = 0; j < sizeof out; ++j)
        out[j] ^= tmp[j];
    }
    // Byte i of this block goes to position i * stride + (count - 1) of the key.
    amt = std::min(amt, left);
    size_t i = 0;
    for (; i < amt; ++i) {
      const size_t dest = i * stride + (count - 1);
      if (dest >= keyLen) break;
      key[dest] = out[i];
    }
    left -= i;
  }
  OPENSSL_cleanse(out, sizeof out);
  OPENSSL_cleanse(tmp, sizeof tmp);
  OPENSSL_cleanse(sha2pass, sizeof sha2pass);
  OPENSSL_cleanse(sha2salt, sizeof sha2salt);
  return true;
}
