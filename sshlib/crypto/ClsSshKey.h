// An SSH key loaded from a key file: RSA, DSA, Ed25519 or ECDSA (NIST P-256, P-384, P-521); a
// private key, a public key only, or nothing.
//
// Forms read: OpenSSH's own private-key format ("OPENSSH PRIVATE KEY", what ssh-keygen writes by
// default), plain or encrypted (bcrypt_pbkdf with AES-CTR or AES-CBC); traditional PEM ("RSA
// PRIVATE KEY", "DSA PRIVATE KEY", "EC PRIVATE KEY"), plain or encrypted with Proc-Type/DEK-Info
// (AES-128/256-CBC, DES-EDE3-CBC); PKCS #8, plain or encrypted (PBES2 with PBKDF2 and AES-CBC or
// DES-EDE3-CBC); PuTTY .ppk version 2 (RSA and DSA), plain or aes256-cbc; RFC 4716 and one-line
// OpenSSH public keys (public only: they cannot log in); the XML key text of the RSA and DSA key
// records. The pass phrase for encrypted forms is set with put_Password before loading.
//
// RSA and DSA keys live in the library's key records; Ed25519 and ECDSA keys in an OpenSSL key,
// which also makes their signatures.
#pragma once

#include <string>

#include "sshlib/core/ClsBase.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/crypto/PkKeys.h"

class DataBuffer;
class LogBase;
class StringBuffer;
class XString;
struct evp_pkey_st;

class ClsSshKey : public ClsBase {
public:
  ClsSshKey();
  ~ClsSshKey() override;
  ClsSshKey(const ClsSshKey &) = delete;
  ClsSshKey &operator=(const ClsSshKey &) = delete;

  // True for a DSA key; every other key (or none) counts as RSA.
  bool get_IsDsaKey() const { return m_kind == kDsa; }
  bool get_IsEd25519Key() const { return m_kind == kEd25519; }
  bool get_IsEcdsaKey() const { return m_kind == kEcdsa; }
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
  // Ed25519 and ECDSA keys sign SSH requests themselves: the algorithm name they sign with
  // ("ssh-ed25519", "ecdsa-sha2-nistp256", ...; empty for other keys), and the SSH signature
  // blob over the data (string algorithm name, string signature: Ed25519's 64 bytes, or ECDSA's
  // mpint r and mpint s, the data hashed with the curve's SHA-2).
  bool signsForSsh() const { return m_kind == kEd25519 || m_kind == kEcdsa; }
  const char *sshAlgorithm() const { return m_algorithm.c_str(); }
  bool signForSsh(const DataBuffer &data, DataBuffer &sigBlob, LogBase &log);
  // XML key text (public form, or private when the key has one and publicOnly is false).
  bool toXml(bool publicOnly, StringBuffer &out, LogBase &log);

  // Loaders: each replaces what the object held (nothing is held after a failure).
  bool loadKeyFile(const char *pathUtf8, LogBase &log);
  // Recognises the form from the text itself.
  bool loadAnyFormat(const StringBuffer &text, LogBase &log);
  // PEM and PKCS #8 forms, and OpenSSH's own format (which it hands to FromOpenSshKeyV1).
  bool FromOpenSshPrivateKey(const StringBuffer &pem, LogBase &log);
  bool FromOpenSshKeyV1(const StringBuffer &text, LogBase &log);
  bool FromPuttyPrivateKey(const StringBuffer &ppk, LogBase &log);
  bool FromRfc4716PublicKey(const StringBuffer &text, LogBase &log);
  bool FromOpenSshPublicKey(const StringBuffer &text, LogBase &log);
  bool FromXml(const StringBuffer &xml, LogBase &log);
  // Public blob plus the private-part blob that follows it in key files (empty: public only).
  bool fromBlobs(DataBuffer &publicBlob, DataBuffer *privateBlob, LogBase &log);

private:
  enum Kind { kNone, kRsa, kDsa, kEd25519, kEcdsa };
  void clearKey();
  // Ed25519 and ECDSA: adopt the OpenSSL key and make its public blob.
  bool adoptEvpKey(evp_pkey_st *pkey, bool isPrivate, LogBase &log);
  bool fromModernBlob(const DataBuffer &publicBlob, LogBase &log);
  Kind m_kind = kNone;
  bool m_private = false;
  rsa_key m_rsa;
  dsa_key m_dsa;
  evp_pkey_st *m_evp = nullptr;
  std::string m_algorithm;
  DataBuffer m_publicBlob;
  StringBuffer m_comment;
  StringBuffer m_password;
};
