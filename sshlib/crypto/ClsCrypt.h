// The symmetric cipher engine with its HMAC, as the SSH transport uses it (one per direction).
//
// Ciphers: "aes" (128/192/256) and "3des" through OpenSSL's libcrypto; "twofish" (128/256),
// "blowfish2" (Blowfish with the key length set, 128 bits for SSH) and "rc4" through LibTomCrypt;
// "none" copies. CBC only for the block ciphers.
//
// Chunked operation: with FirstChunk set, a call starts a new chain from the IV (or the start of
// the RC4 key stream); without it the call continues from where the previous one stopped. With
// LastChunk clear nothing is padded or unpadded, so whole blocks in give as many bytes out; a
// chunk that is not a whole number of blocks is refused. With both set (the defaults) a call is a
// complete one-shot operation under the padding scheme (0 PKCS #7, 3 zero bytes, ... as DataBuffer
// pads).
#pragma once

#include <memory>

#include "sshlib/core/ClsBase.h"
#include "sshlib/core/ClsEncode.h"
#include "sshlib/core/RazudodCritSec.h"

class DataBuffer;
class LogBase;
class ProgressMonitor;

// It is also an encoder (ClsEncode): the text form its callers exchange binary data in. Its
// transforms and HMAC run inside its critical section, which takes no lock (one thread at a time).
class ClsCrypt : public ClsBase, public ClsEncode, public RazudodCritSec {
public:
  ClsCrypt();
  ~ClsCrypt() override;
  ClsCrypt(const ClsCrypt &) = delete;
  ClsCrypt &operator=(const ClsCrypt &) = delete;

  void put_CryptAlgorithm(const char *name);
  void get_CryptAlgorithm(StringBuffer &out) const;
  void put_KeyLength(int bits);
  int get_KeyLength() const { return m_keyLength; }
  // The key is used as its first KeyLength/8 bytes (zero bytes added when it is shorter).
  void put_SecretKey(const DataBuffer &key);
  void put_IV(const DataBuffer &iv);
  // 0 CBC; nothing else is offered.
  void put_CipherMode(int mode);
  void put_PaddingScheme(int scheme);
  // 16 for AES and Twofish, 8 for Blowfish and 3DES, 1 for RC4, else 0.
  int get_BlockSize() const;
  void put_FirstChunk(bool b) { m_firstChunk = b; }
  void put_LastChunk(bool b) { m_lastChunk = b; }

  // Drop the first 1536 bytes of every RC4 key stream (arcfour128/arcfour256).
  bool rc4Discard1536 = false;

  // Transform in, appending the result to out. False (out unchanged) on a missing algorithm,
  // a partial block in a chunk that is not the last, or a cipher failure.
  bool encrypt(DataBuffer &in, DataBuffer &out, ProgressMonitor *pm, LogBase &log,
               bool unused = false);
  bool decrypt(DataBuffer &in, DataBuffer &out, LogBase &log);
  // decrypt, logging into the object's own log.
  bool Decrypt(DataBuffer &in, DataBuffer &out);

  // HMAC: "sha1", "sha256" or "md5".
  void put_HashAlgorithm(const char *name);
  bool SetHmacKeyBytes(const DataBuffer &key);
  // out is cleared and receives the HMAC of in; false when no usable hash or key is set.
  bool HmacBytes(const DataBuffer &in, DataBuffer &out);
  bool hmacBytes2(const unsigned char *p, unsigned int n, DataBuffer &out);

private:
  struct State;
  bool run(DataBuffer &in, DataBuffer &out, bool encrypting, LogBase &log);
  // run inside the object's critical section.
  bool locked(DataBuffer &in, DataBuffer &out, bool encrypting, LogBase &log);
  void resetChain();

  int m_algorithm = 0;
  int m_keyLength = 128;
  int m_cipherMode = 0;
  int m_paddingScheme = 0;
  bool m_firstChunk = true;
  bool m_lastChunk = true;
  std::unique_ptr<State> m_state;
};
