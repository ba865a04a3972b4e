// An SSH key loaded from a key file: RSA or DSA; a private key, a public key only, or nothing.
//
// Forms read: traditional PEM ("RSA PRIVATE KEY", "DSA PRIVATE KEY"), plain or encrypted with
// Proc-Type/DEK-Info (AES-128/256-CBC, DES-EDE3-CBC); PKCS #8, plain or encrypted (PBES2 with
// PBKDF2 and AES-CBC or DES-EDE3-CBC); PuTTY .ppk version 2, plain or aes256-cbc; RFC 4716 and
// one-line OpenSSH public keys (public only: they cannot log in); the XML key text of the key
// records. The pass phrase for encrypted forms is set with put_Password before loading.
#pragma once

#include "sshlib/core/ClsBase.h"
#include "sshlib/crypto/PkKeys.h"

class DataBuffer;
class LogBase;
class StringBuffer;
class XString;

class ClsSshKey : public ClsBase {
public:
  ClsSshKey();
  ~ClsSshKey() override;
  ClsSshKey(const ClsSshKey &) = delete;
  ClsSshKey &operator=(const ClsSshKey &) = delete;

  // True for a DSA key; every other key (or none) counts as RSA.
  bool get_IsDsaKey() const { return m_kind == kDsa; }
  bool get_IsPrivateKey() const { return m_kind != kNone && m_private; }
  bool hasKey() const { return m_kind != kNone; }
  void get_Comment(StringBuffer &out) const;
  void put_Password(const char *utf8);

  // Whether the key can sign a login; otherwise logs why, in the texts the SFTP client reports:
  // "Requires a private key, not a public key." (RFC 4716 and OpenSSH public keys) or "The SSH
  // key object did not contain a loaded private key." (nothing loaded).
  bool isUsableForLogin(LogBase &log) const;

  // Clears the output and writes the SSH public-key blob.
  bool getPublicKeyBlob(DataBuffer &out, LogBase &log);
  // The loaded private key; false with "Requires a private key..." when there is none.
  bool toRsaKey(rsa_key &out, LogBase &log);
  bool toDsaKey(dsa_key &out, LogBase &log);
  // XML key text (public form, or private when the key has one and publicOnly is false).
  bool toXml(bool publicOnly, StringBuffer &out, LogBase &log);

  // Loaders: each replaces what the object held (nothing is held after a failure).
  bool loadKeyFile(const char *pathUtf8, LogBase &log);
  // Recognises the form from the text itself.
  bool loadAnyFormat(const StringBuffer &text, LogBase &log);
  bool FromOpenSshPrivateKey(const StringBuffer &pem, LogBase &log);
  bool FromPuttyPrivateKey(const StringBuffer &ppk, LogBase &log);
  bool FromRfc4716PublicKey(const StringBuffer &text, LogBase &log);
  bool FromOpenSshPublicKey(const StringBuffer &text, LogBase &log);
  bool FromXml(const StringBuffer &xml, LogBase &log);
  // Public blob plus the private-part blob that follows it in key files (empty: public only).
  bool fromBlobs(DataBuffer &publicBlob, DataBuffer *privateBlob, LogBase &log);

private:
  enum Kind { kNone, kRsa, kDsa };
  void clearKey();
  Kind m_kind = kNone;
  bool m_private = false;
  rsa_key m_rsa;
  dsa_key m_dsa;
  StringBuffer m_comment;
  StringBuffer m_password;
};
