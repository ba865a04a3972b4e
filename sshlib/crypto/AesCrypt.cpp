#include "sshlib/crypto/AesCrypt.h"

#include <openssl/evp.h>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/StringBuffer.h"

namespace {

const EVP_CIPHER *cipherFor(int keyLength, int mode) {
  const bool ecb = mode == 1;
  switch (keyLength) {
  case 192:
    return ecb ? EVP_aes_192_ecb() : EVP_aes_192_cbc();
  case 256:
    return ecb ? EVP_aes_256_ecb() : EVP_aes_256_cbc();
  case 128:
    return ecb ? EVP_aes_128_ecb() : EVP_aes_128_cbc();
  default:
    return nullptr;
  }
}

// The padding of the two schemes that record their length in the last byte must name between 1
// and 16 bytes of the data; PKCS #7 padding bytes must all carry that length.
bool paddingWellFormed(const DataBuffer &db, int scheme) {
  if (scheme != 0 && scheme != 1) return true;
  const unsigned int n = db.getSize();
  if (n == 0) return false;
  const unsigned char *p = db.getData2();
  const unsigned int pad = p[n - 1];
  if (pad < 1 || pad > 16 || pad > n) return false;
  if (scheme == 0) {
    for (unsigned int i = n - pad; i < n; ++i)
      if (p[i] != pad) return false;
  }
  return true;
}

} // namespace

AesCrypt::AesCrypt()
    : m_keyLength(128), m_cipherMode(0), m_paddingScheme(0), m_passPhrase(new StringBuffer()),
      m_key(new DataBuffer()), m_iv(new DataBuffer()) {
  m_key->appendCharN(0, 16);
  m_iv->appendCharN(0, 16);
}

AesCrypt::~AesCrypt() {
  m_passPhrase->secureClear();
  m_key->secureClear();
  delete m_passPhrase;
  delete m_key;
  delete m_iv;
}

void AesCrypt::setPassPhrase(const char *passPhrase) {
  m_passPhrase->setString(passPhrase ? passPhrase : "");
  m_passPhraseRefused = m_passPhrase->getSize() > 0;
}

bool AesCrypt::decrypt(DataBuffer &in, DataBuffer &out) {
  LogNull log;
  return decrypt(in, out, log);
}

bool AesCrypt::decrypt(DataBuffer &in, DataBuffer &out, LogBase &log) {
  out.clear();
  if (m_passPhraseRefused) {
    log.LogError("Keys derived from a pass phrase are not supported: the derivation is not "
                 "known, so the data cannot be decrypted.");
    return false;
  }
  const EVP_CIPHER *cipher = cipherFor(m_keyLength, m_cipherMode);
  if (cipher == nullptr) {
    log.LogError("Unsupported AES key length.");
    log.LogDataLong("keyLength", m_keyLength);
    return false;
  }
  const unsigned int n = in.getSize();
  if (n == 0) return true;
  if (n % 16 != 0) {
    log.LogError("Encrypted data is not a whole number of AES blocks.");
    log.LogDataLong("numBytes", static_cast<int>(n));
    return false;
  }
  // The key is the stored key, cut or zero-extended to the key length.
  unsigned char key[32] = {};
  const unsigned int keyBytes = static_cast<unsigned int>(m_keyLength / 8);
  for (unsigned int i = 0; i < keyBytes && i < m_key->getSize(); ++i)
    key[i] = m_key->getData2()[i];
  unsigned char iv[16] = {};
  for (unsigned int i = 0; i < 16 && i < m_iv->getSize(); ++i)
    iv[i] = m_iv->getData2()[i];

  if (!out.ensureBuffer(n + 16)) {
    log.LogError("Out of memory for the decrypted data.");
    return false;
  }
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  bool ok = ctx != nullptr &&
            EVP_DecryptInit_ex(ctx, cipher, nullptr, key, m_cipherMode == 1 ? nullptr : iv) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
  int len1 = 0, len2 = 0;
  if (ok)
    ok = EVP_DecryptUpdate(ctx, out.getData2(), &len1, in.getData2(), static_cast<int>(n)) == 1 &&
         EVP_DecryptFinal_ex(ctx, out.getData2() + len1, &len2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) {
    log.LogError("AES decryption failed.");
    out.clear();
    return false;
  }
  out.setDataSize_CAUTION(static_cast<unsigned int>(len1 + len2));
  if (!paddingWellFormed(out, m_paddingScheme)) {
    log.LogError("The decrypted data does not end with valid padding (wrong key or corrupt "
                 "data).");
    out.secureClear();
    out.clear();
    return false;
  }
  out.unpadAfterDecryption(m_paddingScheme, 16, log);
  return true;
}
