#include "sshlib/crypto/ClsSshKey.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <string>
#include <vector>

#include "sshlib/core/ClsStringArray.h"
#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/ClsCrypt.h"
#include "sshlib/crypto/Dsa.h"
#include "sshlib/crypto/Hashes.h"
#include "sshlib/crypto/OpenSshKeyFile.h"
#include "sshlib/crypto/Rsa2.h"
#include "sshlib/crypto/SshKeyBlob.h"

namespace {

// Key files are small; anything larger is not one.
constexpr int kMaxKeyText = 1 << 20;

std::vector<std::string> lines(const StringBuffer &text) {
  std::vector<std::string> out;
  std::string cur;
  for (const char *p = text.getString(); *p; ++p) {
    if (*p == '\n') {
      out.push_back(cur);
      cur.clear();
    } else if (*p != '\r') {
      cur += *p;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

std::string trimmed(const std::string &s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool base64(const std::string &text, DataBuffer &out) {
  ContentCoding cc;
  return cc.decodeBase64ToDb(text.c_str(), static_cast<int>(text.size()), out) && out.getSize();
}

bool bnParam(const EVP_PKEY *pkey, const char *name, mp_int &out) {
  BIGNUM *bn = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &bn) != 1) return false;
  std::vector<unsigned char> b(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, b.data());
  BN_clear_free(bn);
  const bool ok = RazudodMp::read_unsigned_bin(out, b.data(), static_cast<unsigned int>(b.size()));
  OPENSSL_cleanse(b.data(), b.size());
  return ok;
}

struct PassArg {
  const char *pass;
  bool asked = false;
};

int passCallback(char *buf, int size, int, void *u) {
  PassArg *a = static_cast<PassArg *>(u);
  a->asked = true;
  const int n = static_cast<int>(std::strlen(a->pass));
  if (n == 0 || n > size) return 0;
  std::memcpy(buf, a->pass, static_cast<size_t>(n));
  return n;
}

} // namespace

ClsSshKey::ClsSshKey() = default;

ClsSshKey::~ClsSshKey() {
  clearKey();
  m_password.secureClear();
}

void ClsSshKey::clearKey() {
  m_rsa.clear();
  m_dsa.clear();
  EVP_PKEY_free(m_evp);
  m_evp = nullptr;
  m_algorithm.clear();
  m_publicBlob.clear();
  m_kind = kNone;
  m_private = false;
  m_comment.clear();
}

void ClsSshKey::get_Comment(StringBuffer &out) const {
  out.setString(m_comment);
}

void ClsSshKey::put_Password(const char *utf8) {
  m_password.secureClear();
  m_password.append(utf8 ? utf8 : "");
}

bool ClsSshKey::toXml(bool publicOnly, StringBuffer &out, LogBase &log) {
  out.clear();
  if (m_kind == kRsa) return Rsa2::keyToXml(m_rsa, publicOnly || !m_private, out, false, log);
  if (m_kind == kDsa) return Dsa::keyToXml(m_dsa, publicOnly || !m_private, out, false, log);
  if (m_kind != kNone) {
    log.LogError("XML key text holds RSA and DSA keys only.");
    return false;
  }
  log.LogError("No key is loaded.");
  return false;
}

bool ClsSshKey::isUsableForLogin(LogBase &log) const {
  if (m_kind == kNone) {
    log.LogError("The SSH key object did not contain a loaded private key.");
    return false;
  }
  if (!m_private) {
    log.LogError("Requires a private key, not a public key.");
    return false;
  }
  return true;
}

bool ClsSshKey::getPublicKeyBlob(DataBuffer &out, LogBase &log) {
  out.clear();
  if (signsForSsh()) return out.append(m_publicBlob);
  StringBuffer xml;
  if (!toXml(true, xml, log)) {
    log.LogError("Failed to get key as XML.");
    return false;
  }
  return SshKeyBlob::xmlToPublicKeyBlob(xml, out, log);
}

bool ClsSshKey::toRsaKey(rsa_key &out, LogBase &log) {
  if (m_kind != kRsa || !m_private) {
    log.LogError("Requires a private key...");
    return false;
  }
  return out.copyFrom(m_rsa);
}

bool ClsSshKey::toDsaKey(dsa_key &out, LogBase &log) {
  if (m_kind != kDsa || !m_private) {
    log.LogError("Requires a private key...");
    return false;
  }
  return out.copyFrom(m_dsa);
}

bool ClsSshKey::loadKeyFile(const char *pathUtf8, LogBase &log) {
  clearKey();
  DataBuffer db;
  if (!db.loadFileUtf8(pathUtf8, &log)) {
    log.LogError("Failed to read the key file.");
    return false;
  }
  if (db.getSize() > static_cast<unsigned int>(kMaxKeyText)) {
    log.LogError("The key file is too large to be a key.");
    return false;
  }
  StringBuffer text;
  text.append(db);
  db.secureClear();
  const bool ok = loadAnyFormat(text, log);
  text.secureClear();
  return ok;
}

bool ClsSshKey::loadAnyFormat(const StringBuffer &text, LogBase &log) {
  clearKey();
  if (text.getSize() > kMaxKeyText) {
    log.LogError("The key text is too large to be a key.");
    return false;
  }
  if (text.containsSubstring("PuTTY-User-Key-File-")) return FromPuttyPrivateKey(text, log);
  if (text.containsSubstring("---- BEGIN SSH2 PUBLIC KEY")) return FromRfc4716PublicKey(text, log);
  if (OpenSshKeyFile::isOpenSshKey(text)) return FromOpenSshKeyV1(text, log);
  if (text.containsSubstring("-----BEGIN ")) return FromOpenSshPrivateKey(text, log);
  if (text.containsSubstring("KeyValue>")) return FromXml(text, log);
  StringBuffer t(text);
  t.trim2();
  if (t.beginsWith("ssh-rsa ") || t.beginsWith("ssh-dss ") || t.beginsWith("ssh-ed25519 ") ||
      t.beginsWith("ecdsa-sha2-nistp"))
    return FromOpenSshPublicKey(t, log);
  log.LogError("Unrecognized key file format.");
  return false;
}

bool ClsSshKey::FromOpenSshPrivateKey(const StringBuffer &pem, LogBase &log) {
  clearKey();
  if (OpenSshKeyFile::isOpenSshKey(pem)) return FromOpenSshKeyV1(pem, log);
  BIO *bio = BIO_new_mem_buf(pem.getString(), pem.getSize());
  PassArg pass{m_password.getString()};
  ERR_clear_error();
  EVP_PKEY *pkey = bio ? PEM_read_bio_PrivateKey(bio, nullptr, passCallback, &pass) : nullptr;
  BIO_free(bio);
  if (!pkey) {
    const unsigned long err = ERR_peek_last_error();
    ERR_clear_error();
    if (pass.asked && m_password.getSize() == 0)
      log.LogError("The private key is encrypted and no password was given.");
    else if (pass.asked)
      log.LogError("Failed to decrypt the private key (wrong password?).");
    else
      log.LogError("Failed to parse the PEM private key.");
    if (err)
      log.LogData("openssl", ERR_reason_error_string(err) ? ERR_reason_error_string(err) : "");
    return false;
  }
  bool ok = false;
  if (EVP_PKEY_is_a(pkey, "RSA")) {
    MpInt p, q, e, d, iqmp, n;
    ok = bnParam(pkey, OSSL_PKEY_PARAM_RSA_N, n) && bnParam(pkey, OSSL_PKEY_PARAM_RSA_E, e) &&
         bnParam(pkey, OSSL_PKEY_PARAM_RSA_D, d) && bnParam(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1, p) &&
         bnParam(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2, q) &&
         bnParam(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, iqmp) &&
         Rsa2::calc_dq_dq(p, q, e, d, iqmp, m_rsa) && mp_cmp(&n, &m_rsa.N) == MP_EQ;
    m_kind = kRsa;
  } else if (EVP_PKEY_is_a(pkey, "DSA")) {
    ok = bnParam(pkey, OSSL_PKEY_PARAM_FFC_P, m_dsa.p) &&
         bnParam(pkey, OSSL_PKEY_PARAM_FFC_Q, m_dsa.q) &&
         bnParam(pkey, OSSL_PKEY_PARAM_FFC_G, m_dsa.g) &&
         bnParam(pkey, OSSL_PKEY_PARAM_PUB_KEY, m_dsa.y) &&
         bnParam(pkey, OSSL_PKEY_PARAM_PRIV_KEY, m_dsa.x);
    m_dsa.m_type = 1;
    m_kind = kDsa;
  } else if (EVP_PKEY_is_a(pkey, "EC") || EVP_PKEY_is_a(pkey, "ED25519")) {
    // The key object keeps these as OpenSSL keys; it takes this one over.
    ok = adoptEvpKey(pkey, true, log);
    pkey = nullptr;
  } else {
    log.LogError("The private key is not RSA, DSA, Ed25519 or ECDSA.");
  }
  EVP_PKEY_free(pkey);
  if (!ok) {
    if (m_kind != kNone) log.LogError("Failed to read the key's numbers.");
    clearKey();
    return false;
  }
  m_private = true;
  return true;
}

bool ClsSshKey::fromBlobs(DataBuffer &publicBlob, DataBuffer *privateBlob, LogBase &log) {
  clearKey();
  {
    // Ed25519 and ECDSA blobs are read here; the blob-to-XML conversion knows RSA and DSA only.
    unsigned int at = 0;
    DataBuffer type;
    if (SshKeyBlob::readString(publicBlob, at, type) &&
        (type.equals2("ssh-ed25519", 11) ||
         (type.getSize() > 11 && std::memcmp(type.getData2(), "ecdsa-sha2-", 11) == 0))) {
      if (privateBlob && privateBlob->getSize()) {
        log.LogError("Ed25519 and ECDSA keys are read from OpenSSH or PEM key files only.");
        return false;
      }
      return fromModernBlob(publicBlob, log);
    }
  }
  StringBuffer xml;
  int keyType = 0;
  unsigned int exponent = 0;
  if (!SshKeyBlob::publicKeyBlobToXml(publicBlob, xml, keyType, exponent, log)) {
    log.LogError("Failed to parse the public key blob.");
    return false;
  }
  const bool hasPrivate = privateBlob && privateBlob->getSize();
  if (hasPrivate) {
    StringBuffer priv;
    if (!SshKeyBlob::privateKeyBlobToXml(keyType, *privateBlob, exponent, priv, log)) {
      log.LogError("Failed to parse the private key blob.");
      return false;
    }
    if (keyType == 0) {
      // The private text carries the modulus computed from p and q: it must be the public one.
      rsa_key pub;
      if (!Rsa2::xmlToKey(xml, pub, false, log) || !Rsa2::xmlToKey(priv, m_rsa, false, log) ||
          mp_cmp(&pub.N, &m_rsa.N) != MP_EQ || mp_cmp(&pub.e, &m_rsa.e) != MP_EQ) {
        log.LogError("The private key does not match the public key.");
        clearKey();
        return false;
      }
      xml.setString(priv);
    } else {
      // Join the public DSA text and the private fragment into one key.
      StringBuffer x;
      priv.getBetween("<DsaPrivate>", "</DsaPrivate>", x);
      xml.replaceFirstOccurance("</DSAKeyValue>", "");
      xml.append(x);
      xml.append("</DSAKeyValue>");
      x.secureClear();
    }
    priv.secureClear();
  }
  const bool ok = FromXml(xml, log);
  xml.secureClear();
  if (ok && hasPrivate != m_private) {
    clearKey();
    return false;
  }
  return ok;
}

bool ClsSshKey::FromXml(const StringBuffer &xml, LogBase &log) {
  clearKey();
  StringBuffer text(xml);
  bool ok;
  if (text.containsSubstringNoCase("RSAKeyValue")) {
    ok = Rsa2::xmlToKey(text, m_rsa, false, log);
    m_kind = kRsa;
    m_private = m_rsa.m_type == 1;
  } else if (text.containsSubstringNoCase("DSAKeyValue")) {
    ok = Dsa::xmlToKey(text, m_dsa, false, log);
    m_kind = kDsa;
    m_private = m_dsa.m_type == 1;
  } else {
    log.LogError("XML root tag must be RSAKeyValue or DSAKeyValue");
    ok = false;
  }
  text.secureClear();
  if (!ok) clearKey();
  return ok;
}

bool ClsSshKey::FromOpenSshPublicKey(const StringBuffer &text, LogBase &log) {
  clearKey();
  StringBuffer t(text);
  t.trim2();
  std::string s = t.getString();
  const size_t sp = s.find(' ');
  if (sp == std::string::npos) {
    log.LogError("Not an OpenSSH public key line.");
    return false;
  }
  std::string rest = trimmed(s.substr(sp + 1));
  const size_t sp2 = rest.find(' ');
  DataBuffer blob;
  if (!base64(rest.substr(0, sp2), blob)) {
    log.LogError("Failed to decode the public key.");
    return false;
  }
  if (!fromBlobs(blob, nullptr, log)) return false;
  if (sp2 != std::string::npos) m_comment.setString(trimmed(rest.substr(sp2 + 1)).c_str());
  return true;
}

bool ClsSshKey::FromRfc4716PublicKey(const StringBuffer &text, LogBase &log) {
  clearKey();
  std::vector<std::string> ls = lines(text);
  std::string body, comment;
  bool inside = false, continued = false, isComment = false;
  for (const std::string &raw : ls) {
    const std::string l = trimmed(raw);
    if (l.rfind("---- BEGIN SSH2 PUBLIC KEY", 0) == 0) {
      inside = true;
      continue;
    }
    if (l.rfind("---- END SSH2 PUBLIC KEY", 0) == 0) break;
    if (!inside) continue;
    // Header lines ("Tag: value", continued by a trailing backslash) come before the body.
    const bool header = continued || (body.empty() && l.find(':') != std::string::npos);
    if (header) {
      if (!continued) isComment = l.rfind("Comment:", 0) == 0;
      std::string v = continued ? l : trimmed(l.substr(l.find(':') + 1));
      continued = !v.empty() && v.back() == '\\';
      if (continued) v.pop_back();
      if (isComment) comment += v;
      continue;
    }
    body += l;
  }
  DataBuffer blob;
  if (!inside || !base64(body, blob)) {
    log.LogError("Failed to decode the RFC 4716 public key.");
    return false;
  }
  if (!fromBlobs(blob, nullptr, log)) return false;
  if (comment.size() >= 2 && comment.front() == '"' && comment.back() == '"')
    comment = comment.substr(1, comment.size() - 2);
  m_comment.setString(comment.c_str());
  return true;
}

bool ClsSshKey::FromPuttyPrivateKey(const StringBuffer &ppk, LogBase &log) {
  clearKey();
  ClsStringArray ls;
  XString text;
  text.setFromUtf8(ppk.getString());
  ls.LoadFromText(text);
  const size_t count = static_cast<size_t>(ls.get_Count());
  auto line = [&ls](size_t i) { return std::string(ls.GetSb(static_cast<int>(i))->getString()); };
  std::string alg, encryption, comment, mac;
  DataBuffer pub, priv;
  for (size_t i = 0; i < count; ++i) {
    const std::string cur = line(i);
    const size_t colon = cur.find(": ");
    if (colon == std::string::npos) continue;
    const std::string tag = cur.substr(0, colon), value = trimmed(cur.substr(colon + 2));
    if (tag.rfind("PuTTY-User-Key-File-", 0) == 0) {
      if (tag != "PuTTY-User-Key-File-2") {
        log.LogError("Only PuTTY key files of version 2 are supported.");
        log.LogData("version", tag.c_str());
        return false;
      }
      alg = value;
    } else if (tag == "Encryption") {
      encryption = value;
    } else if (tag == "Comment") {
      comment = value;
    } else if (tag == "Private-MAC") {
      mac = value;
    } else if (tag == "Public-Lines" || tag == "Private-Lines") {
      const long n = std::strtol(value.c_str(), nullptr, 10);
      if (n < 1 || static_cast<size_t>(n) > count - i - 1) {
        log.LogError("Invalid line count in the PuTTY key file.");
        return false;
      }
      std::string b64;
      for (long k = 0; k < n; ++k)
        b64 += trimmed(line(++i));
      if (!base64(b64, tag == "Public-Lines" ? pub : priv)) {
        log.LogError("Failed to decode the PuTTY key file's Base64.");
        return false;
      }
    }
  }
  if (alg.empty() || pub.getSize() == 0 || priv.getSize() == 0 || mac.empty()) {
    log.LogError("Incomplete PuTTY key file.");
    return false;
  }
  const std::string pass = m_password.getString();
  if (encryption == "aes256-cbc") {
    if (pass.empty()) {
      log.LogError("The private key is encrypted and no password was given.");
      return false;
    }
    // Key: SHA-1 of a 32-bit counter and the pass phrase, twice; zero IV; no padding.
    DataBuffer key, iv, seed, plain;
    for (unsigned int ctr = 0; ctr < 2; ++ctr) {
      seed.clear();
      SshKeyBlob::appendUint32(ctr, seed);
      seed.append(pass.data(), static_cast<unsigned int>(pass.size()));
      Sha1::sha1_db(seed, key);
    }
    seed.secureClear();
    key.shorten(8);
    iv.appendCharN(0, 16);
    ClsCrypt aes;
    aes.put_CryptAlgorithm("aes");
    aes.put_KeyLength(256);
    aes.put_SecretKey(key);
    aes.put_IV(iv);
    aes.put_LastChunk(false);
    key.secureClear();
    if (!aes.decrypt(priv, plain, log)) {
      log.LogError("Failed to decrypt the PuTTY private key.");
      return false;
    }
    priv.secureClear();
    priv.append(plain);
    plain.secureClear();
  } else if (encryption != "none") {
    log.LogError("Unsupported PuTTY key file encryption.");
    log.LogData("encryption", encryption.c_str());
    return false;
  }
  // The MAC covers the algorithm, encryption, comment and both blobs (private in the clear). Its
  // key takes the pass phrase only when the file is encrypted: one given for a plain file is not
  // part of it.
  DataBuffer macKey, macData, ours;
  StringBuffer macSeed("putty-private-key-file-mac-key");
  if (encryption != "none") macSeed.append(pass.c_str());
  Sha1::sha1_bytes(reinterpret_cast<const unsigned char *>(macSeed.getString()),
                   static_cast<unsigned int>(macSeed.getSize()), macKey);
  macSeed.secureClear();
  SshKeyBlob::appendString(alg.c_str(), macData);
  SshKeyBlob::appendString(encryption.c_str(), macData);
  SshKeyBlob::appendString(comment.c_str(), macData);
  SshKeyBlob::appendString(pub.getData2(), pub.getSize(), macData);
  SshKeyBlob::appendString(priv.getData2(), priv.getSize(), macData);
  ClsCrypt hmac;
  hmac.put_HashAlgorithm("sha1");
  hmac.SetHmacKeyBytes(macKey);
  macKey.secureClear();
  const bool macOk = hmac.HmacBytes(macData, ours);
  macData.secureClear();
  StringBuffer oursHex;
  ours.toHexString(oursHex);
  if (!macOk || !oursHex.equalsIgnoreCase(mac.c_str())) {
    log.LogError(encryption == "none" ? "The PuTTY key file's MAC does not match (file damaged)."
                                      : "Wrong password for the PuTTY key file (MAC mismatch).");
    return false;
  }
  const bool ok = fromBlobs(pub, &priv, log);
  priv.secureClear();
  if (ok) m_comment.setString(comment.c_str());
  return ok;
}
