#include "sshlib/crypto/ClsCrypt.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/Ltc.h"

namespace {

enum Algorithm { kUnknown = -1, kNone = 0, kAes, kTwofish, kBlowfish, kDes3, kRc4 };

struct Named {
  const char *name;
  Algorithm alg;
};
const Named kAlgorithms[] = {{"none", kNone},          {"aes", kAes},   {"twofish", kTwofish},
                             {"blowfish2", kBlowfish}, {"3des", kDes3}, {"rc4", kRc4}};

void wipe(std::vector<unsigned char> &v) {
  OPENSSL_cleanse(v.data(), v.size());
  v.clear();
}

} // namespace

struct ClsCrypt::State {
  std::vector<unsigned char> key, iv, macKey;
  std::string macHash = "sha1";

  EVP_CIPHER_CTX *evp = nullptr;
  symmetric_CBC cbc{};
  bool cbcLive = false;
  rc4_state rc4{};
  bool rc4Live = false;
  // Whether a chain is running, and in which direction.
  bool live = false;
  bool liveEncrypting = false;

  EVP_MAC *mac = nullptr;
  EVP_MAC_CTX *macCtx = nullptr;
  bool macReady = false;

  ~State() {
    dropCipher();
    EVP_CIPHER_CTX_free(evp);
    EVP_MAC_CTX_free(macCtx);
    EVP_MAC_free(mac);
    wipe(key);
    wipe(iv);
    wipe(macKey);
  }
  void dropCipher() {
    if (cbcLive) cbc_done(&cbc);
    cbcLive = false;
    if (rc4Live) rc4_stream_done(&rc4);
    rc4Live = false;
    if (evp) EVP_CIPHER_CTX_reset(evp);
    live = false;
  }
  void dropMac() {
    EVP_MAC_CTX_free(macCtx);
    macCtx = nullptr;
    macReady = false;
  }
};

ClsCrypt::ClsCrypt() : m_state(std::make_unique<State>()) {}

ClsCrypt::~ClsCrypt() = default;

void ClsCrypt::put_CryptAlgorithm(const char *name) {
  m_algorithm = kUnknown;
  StringBuffer sb(name ? name : "");
  sb.trim2();
  for (const Named &a : kAlgorithms)
    if (sb.equalsIgnoreCase(a.name)) m_algorithm = a.alg;
  resetChain();
}

void ClsCrypt::get_CryptAlgorithm(StringBuffer &out) const {
  out.clear();
  for (const Named &a : kAlgorithms)
    if (a.alg == m_algorithm) out.append(a.name);
}

void ClsCrypt::put_KeyLength(int bits) {
  m_keyLength = bits;
  resetChain();
}

void ClsCrypt::put_SecretKey(const DataBuffer &key) {
  wipe(m_state->key);
  m_state->key.assign(key.getData2(), key.getData2() + key.getSize());
  resetChain();
}

void ClsCrypt::put_IV(const DataBuffer &iv) {
  m_state->iv.assign(iv.getData2(), iv.getData2() + iv.getSize());
  resetChain();
}

void ClsCrypt::put_CipherMode(int mode) {
  m_cipherMode = mode;
  resetChain();
}

void ClsCrypt::put_PaddingScheme(int scheme) {
  m_paddingScheme = scheme;
}

int ClsCrypt::get_BlockSize() const {
  switch (m_algorithm) {
  case kAes:
  case kTwofish:
    return 16;
  case kBlowfish:
  case kDes3:
    return 8;
  case kRc4:
    return 1;
  default:
    return 0;
  }
}

void ClsCrypt::resetChain() {
  m_state->dropCipher();
}

namespace {

// The key as the cipher takes it: the first n bytes of the secret key, zero bytes after it.
std::vector<unsigned char> keyBytes(const std::vector<unsigned char> &key, size_t n) {
  std::vector<unsigned char> k(n, 0);
  if (!key.empty() && n) std::memcpy(k.data(), key.data(), std::min(n, key.size()));
  return k;
}

const EVP_CIPHER *evpCipher(int alg, int keyLength) {
  if (alg == kDes3) return EVP_des_ede3_cbc();
  switch (keyLength) {
  case 128:
    return EVP_aes_128_cbc();
  case 192:
    return EVP_aes_192_cbc();
  case 256:
    return EVP_aes_256_cbc();
  default:
    return nullptr;
  }
}

// Checks and strips the padding of a last decrypted chunk (schemes that record their length).
bool unpad(DataBuffer &out, unsigned int start, int scheme, unsigned int blockSize) {
  if (scheme != 0 && scheme != 1) return true;
  const unsigned int n = out.getSize() - start;
  if (n == 0) return false;
  const unsigned char *p = out.getData2() + start;
  const unsigned int pad = p[n - 1];
  if (pad < 1 || pad > blockSize || pad > n) return false;
  if (scheme == 0)
    for (unsigned int i = n - pad; i < n; ++i)
      if (p[i] != pad) return false;
  out.shorten(pad);
  return true;
}

} // namespace

bool ClsCrypt::run(DataBuffer &in, DataBuffer &out, bool encrypting, LogBase &log) {
  State &st = *m_state;
  if (m_algorithm == kUnknown) {
    log.LogError("Unsupported encryption algorithm");
    return false;
  }
  if (m_algorithm == kNone) return out.append(in);
  if (m_cipherMode != 0) {
    log.LogError("Unsupported cipher mode");
    log.LogDataLong("cipherMode", m_cipherMode);
    return false;
  }
  const unsigned int bs = static_cast<unsigned int>(get_BlockSize());
  const unsigned char *src = in.getData2();
  unsigned int n = in.getSize();
  DataBuffer padded;
  if (encrypting && m_lastChunk && bs > 1) {
    if (!padded.append(in) || !padded.padForEncryption(m_paddingScheme, static_cast<int>(bs)))
      return false;
    src = padded.getData2();
    n = padded.getSize();
  }
  if (bs > 1 && n % bs != 0) {
    log.LogError("Input is not a multiple of the cipher block size.");
    log.LogDataLong("inputSize", static_cast<int>(n));
    return false;
  }

  if (m_firstChunk || !st.live || st.liveEncrypting != encrypting) {
    st.dropCipher();
    const ltc::Indexes &idx = ltc::ready();
    bool ok = false;
    if (m_algorithm == kAes || m_algorithm == kDes3) {
      const EVP_CIPHER *c = evpCipher(m_algorithm, m_keyLength);
      if (!c) {
        log.LogError("Invalid AES key length");
        log.LogDataLong("keyLength", m_keyLength);
        return false;
      }
      if (!st.evp) st.evp = EVP_CIPHER_CTX_new();
      std::vector<unsigned char> k = keyBytes(st.key, EVP_CIPHER_get_key_length(c));
      std::vector<unsigned char> iv = keyBytes(st.iv, EVP_CIPHER_get_iv_length(c));
      ok = st.evp && EVP_CipherInit_ex(st.evp, c, nullptr, k.data(), iv.data(), encrypting) == 1 &&
           EVP_CIPHER_CTX_set_padding(st.evp, 0) == 1;
      wipe(k);
    } else if (m_algorithm == kRc4) {
      std::vector<unsigned char> k = keyBytes(st.key, static_cast<size_t>(m_keyLength / 8));
      ok = rc4_stream_setup(&st.rc4, k.data(), static_cast<unsigned long>(k.size())) == CRYPT_OK;
      wipe(k);
      st.rc4Live = ok;
      if (ok && rc4Discard1536) {
        // RazudodArc4::stir1536: the start of the key stream is biased; drop it.
        unsigned char drop[1536] = {0};
        ok = rc4_stream_crypt(&st.rc4, drop, sizeof drop, drop) == CRYPT_OK;
      }
    } else {
      const int cipher = m_algorithm == kTwofish ? idx.twofish : idx.blowfish;
      std::vector<unsigned char> k = keyBytes(st.key, static_cast<size_t>(m_keyLength / 8));
      std::vector<unsigned char> iv = keyBytes(st.iv, bs);
      ok = cbc_start(cipher, iv.data(), k.data(), static_cast<int>(k.size()), 0, &st.cbc) ==
           CRYPT_OK;
      wipe(k);
      st.cbcLive = ok;
    }
    if (!ok) {
      log.LogError("Failed to initialize the cipher (key length?)");
      log.LogDataLong("keyLength", m_keyLength);
      st.dropCipher();
      return false;
    }
    st.live = true;
    st.liveEncrypting = encrypting;
  }

  const unsigned int start = out.getSize();
  if (n == 0) return true;
  if (!out.appendCharN(0, n)) return false;
  unsigned char *dst = out.getData2() + start;
  bool ok = true;
  if (m_algorithm == kAes || m_algorithm == kDes3) {
    for (unsigned int done = 0; ok && done < n;) {
      const int step = static_cast<int>(std::min<unsigned int>(n - done, 1u << 30));
      int got = 0;
      ok = EVP_CipherUpdate(st.evp, dst + done, &got, src + done, step) == 1 && got == step;
      done += static_cast<unsigned int>(step);
    }
  } else if (m_algorithm == kRc4) {
    ok = rc4_stream_crypt(&st.rc4, src, n, dst) == CRYPT_OK;
  } else {
    ok = (encrypting ? cbc_encrypt(src, dst, n, &st.cbc) : cbc_decrypt(src, dst, n, &st.cbc)) ==
         CRYPT_OK;
  }
  if (!ok) {
    log.LogError(encrypting ? "Encryption failed." : "Decryption failed.");
    out.shorten(n);
    st.dropCipher();
    return false;
  }
  if (!encrypting && m_lastChunk && bs > 1 && !unpad(out, start, m_paddingScheme, bs)) {
    log.LogError("Invalid padding after decryption.");
    out.shorten(out.getSize() - start);
    return false;
  }
  return true;
}

bool ClsCrypt::encrypt(DataBuffer &in, DataBuffer &out, ProgressMonitor *, LogBase &log, bool) {
  return locked(in, out, true, log);
}

bool ClsCrypt::decrypt(DataBuffer &in, DataBuffer &out, LogBase &log) {
  return locked(in, out, false, log);
}

bool ClsCrypt::Decrypt(DataBuffer &in, DataBuffer &out) {
  return locked(in, out, false, m_log);
}

bool ClsCrypt::locked(DataBuffer &in, DataBuffer &out, bool encrypting, LogBase &log) {
  enterCriticalSection();
  bool ok = run(in, out, encrypting, log);
  leaveCriticalSection();
  return ok;
}

void ClsCrypt::put_HashAlgorithm(const char *name) {
  StringBuffer sb(name ? name : "");
  sb.trim2();
  sb.toLowerCase();
  sb.removeCharOccurances('-');
  m_state->macHash = sb.getString();
  m_state->dropMac();
}

bool ClsCrypt::SetHmacKeyBytes(const DataBuffer &key) {
  wipe(m_state->macKey);
  m_state->macKey.assign(key.getData2(), key.getData2() + key.getSize());
  m_state->dropMac();
  return true;
}

bool ClsCrypt::HmacBytes(const DataBuffer &in, DataBuffer &out) {
  enterCriticalSection();
  out.clear();
  bool ok = hmacBytes2(in.getData2(), in.getSize(), out);
  leaveCriticalSection();
  return ok;
}

bool ClsCrypt::hmacBytes2(const unsigned char *p, unsigned int n, DataBuffer &out) {
  State &st = *m_state;
  const char *digest = st.macHash == "sha1"     ? "SHA1"
                       : st.macHash == "md5"    ? "MD5"
                       : st.macHash == "sha256" ? "SHA256"
                                                : nullptr;
  if (!digest) return false;
  if (!st.mac) st.mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  if (!st.mac) return false;
  // The key is set up once; every later message only re-initialises the context with it.
  bool ok;
  if (!st.macReady) {
    EVP_MAC_CTX_free(st.macCtx);
    st.macCtx = EVP_MAC_CTX_new(st.mac);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char *>(digest), 0),
        OSSL_PARAM_construct_end()};
    static const unsigned char zero = 0;
    ok = st.macCtx && EVP_MAC_init(st.macCtx, st.macKey.empty() ? &zero : st.macKey.data(),
                                   st.macKey.size(), params) == 1;
    st.macReady = ok;
  } else {
    ok = EVP_MAC_init(st.macCtx, nullptr, 0, nullptr) == 1;
  }
  unsigned char mac[EVP_MAX_MD_SIZE];
  size_t len = 0;
  ok = ok && EVP_MAC_update(st.macCtx, p, n) == 1 &&
       EVP_MAC_final(st.macCtx, mac, &len, sizeof mac) == 1;
  if (!ok) {
    st.dropMac();
    return false;
  }
  return out.append(mac, static_cast<unsigned int>(len));
}
