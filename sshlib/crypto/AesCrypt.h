// AES decryption (CBC or ECB, 128/192/256-bit keys) through OpenSSL's libcrypto, for the XML
// object's encrypted contents.
//
// Pass phrases: the key derivation from a pass phrase that this cipher once used is not known, and
// any derivation we invented would decrypt no existing data correctly, only produce garbage that
// might even pass the padding check. A non-empty pass phrase is therefore refused: it is stored,
// but the object then has no usable key and every decryption fails (the logging form of decrypt
// says why). An empty pass phrase keeps the stored key (all zeros by default).
#pragma once

class DataBuffer;
class LogBase;
class StringBuffer;

class AesCrypt {
public:
  AesCrypt();
  virtual ~AesCrypt();
  AesCrypt(const AesCrypt &) = delete;
  AesCrypt &operator=(const AesCrypt &) = delete;

  void setPassPhrase(const char *passPhrase);

  // Decrypts the whole input into the output (appended after clearing it) and removes the
  // padding. False, with the output empty, for a refused pass phrase, an input that is not a
  // whole number of blocks, a failure of the cipher or a padding that is not well-formed.
  bool decrypt(DataBuffer &in, DataBuffer &out);
  bool decrypt(DataBuffer &in, DataBuffer &out, LogBase &log);

  // 128, 192 or 256.
  int m_keyLength;
  // 0 CBC, 1 ECB.
  int m_cipherMode;
  // DataBuffer's padding schemes (0 PKCS #7).
  int m_paddingScheme;

private:
  StringBuffer *m_passPhrase;
  DataBuffer *m_key;
  DataBuffer *m_iv;
  bool m_passPhraseRefused = false;
};
