// Algorithm negotiation, the exchange hash, session keys and their installation.
#include <openssl/bn.h>

#include <cstring>
#include <strings.h>
#include <vector>

#include "sshlib/core/LogBase.h"
#include "sshlib/crypto/EcKex.h"
#include "sshlib/crypto/Hashes.h"
#include "sshlib/crypto/RazudodRand.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/SshTransport.h"

namespace {

struct Algo {
  const char *name;
  int number;
  const char *logLine;
};

using T = SshTransport;

// Key exchanges, strongest and most widely run first. The group exchanges follow the fixed
// groups: a server may list them without answering the one-number request we send (OpenSSH
// ignores it), and then the choice would hang the connection.
const Algo kKex[] = {
    {"curve25519-sha256", T::kKexCurve25519, "Key Exchange: Curve25519 SHA256"},
    {"curve25519-sha256@libssh.org", T::kKexCurve25519, "Key Exchange: Curve25519 SHA256"},
    {"ecdh-sha2-nistp256", T::kKexEcdhP256, "Key Exchange: ECDH P-256 SHA256"},
    {"ecdh-sha2-nistp384", T::kKexEcdhP384, "Key Exchange: ECDH P-384 SHA384"},
    {"ecdh-sha2-nistp521", T::kKexEcdhP521, "Key Exchange: ECDH P-521 SHA512"},
    {"diffie-hellman-group16-sha512", T::kKexGroup16Sha512, "Key Exchange: DH Group 16 SHA512"},
    {"diffie-hellman-group18-sha512", T::kKexGroup18Sha512, "Key Exchange: DH Group 18 SHA512"},
    {"diffie-hellman-group14-sha256", T::kKexGroup14Sha256, "Key Exchange: DH Group 14 SHA256"},
    {"diffie-hellman-group-exchange-sha256", 256, "Key Exchange: DH Group Exchange SHA256"},
    {"diffie-hellman-group-exchange-sha1", 160, "Key Exchange: DH Group Exchange SHA1"},
    {"diffie-hellman-group1-sha1", 1, "Key Exchange: DH Group 1"},
    {"diffie-hellman-group14-sha1", 14, "Key Exchange: DH Group 14"}};
// Announced in the first KEXINIT only: we take EXT_INFO, and we run OpenSSH's strict key
// exchange when the server does too.
const char *const kKexMarkers = "ext-info-c,kex-strict-c-v00@openssh.com";
const char *const kStrictServerMarker = "kex-strict-s-v00@openssh.com";

const Algo kCiphers[] = {
    {"chacha20-poly1305@openssh.com", T::kCipherChaCha20Poly1305, "Encryption: ChaCha20-Poly1305"},
    {"aes128-gcm@openssh.com", T::kCipherAes128Gcm, "Encryption: 128-bit AES-GCM"},
    {"aes256-gcm@openssh.com", T::kCipherAes256Gcm, "Encryption: 256-bit AES-GCM"},
    {"aes128-ctr", T::kCipherAes128Ctr, "Encryption: 128-bit AES-CTR"},
    {"aes192-ctr", T::kCipherAes192Ctr, "Encryption: 192-bit AES-CTR"},
    {"aes256-ctr", T::kCipherAes256Ctr, "Encryption: 256-bit AES-CTR"},
    {"aes256-cbc", 1, "Encryption: 256-bit AES"},
    {"aes128-cbc", 2, "Encryption: 128-bit AES"},
    {"twofish256-cbc", 3, "Encryption: 256-bit Twofish"},
    {"twofish128-cbc", 4, "Encryption: 128-bit Twofish"},
    {"blowfish-cbc", 5, "Encryption: Blowfish"},
    {"3des-cbc", 6, "Encryption: 3DES"},
    {"arcfour128", 7, "Encryption: arcfour128"},
    {"arcfour256", 8, "Encryption: arcfour256"}};
// Encrypt-then-MAC first: the MAC covers what travels, and is checked before anything is
// decrypted.
const Algo kMacs[] = {{"hmac-sha2-256-etm@openssh.com", T::kMacSha256Etm, "MAC: HMAC-SHA256-ETM"},
                      {"hmac-sha2-512-etm@openssh.com", T::kMacSha512Etm, "MAC: HMAC-SHA512-ETM"},
                      {"hmac-sha2-256", T::kMacSha256, "MAC: HMAC-SHA256"},
                      {"hmac-sha2-512", T::kMacSha512, "MAC: HMAC-SHA512"},
                      {"hmac-sha1", 1, "MAC: HMAC-SHA1"},
                      {"hmac-md5", 2, "MAC: HMAC-MD5"},
                      {"none", 0, "MAC: None"}};

const Algo kHostEd25519 = {"ssh-ed25519", T::kHostEd25519, "Host Key Algorithm: Ed25519"};
const Algo kHostEcdsa[] = {
    {"ecdsa-sha2-nistp256", T::kHostEcdsaP256, "Host Key Algorithm: ECDSA P-256"},
    {"ecdsa-sha2-nistp384", T::kHostEcdsaP384, "Host Key Algorithm: ECDSA P-384"},
    {"ecdsa-sha2-nistp521", T::kHostEcdsaP521, "Host Key Algorithm: ECDSA P-521"}};
const Algo kHostRsaSha2[] = {{"rsa-sha2-512", T::kHostRsaSha512, "Host Key Algorithm: RSA SHA512"},
                             {"rsa-sha2-256", T::kHostRsaSha256, "Host Key Algorithm: RSA SHA256"}};
const Algo kHostRsa = {"ssh-rsa", 1, "Host Key Algorithm: RSA"};
const Algo kHostDss = {"ssh-dss", 2, "Host Key Algorithm: DSS"};
const Algo kCompression[] = {{"none", 0, "Compression: none"}};

bool chooseOne(const Algo &a, ExtPtrArray &server, int &out, LogBase &log) {
  if (!SshTransport::isSupportedByServer(a.name, server)) return false;
  out = a.number;
  log.LogInfo(a.logLine);
  return true;
}
template <size_t N>
bool chooseFrom(const Algo (&ours)[N], ExtPtrArray &server, int &out, LogBase &log) {
  for (const Algo &a : ours)
    if (chooseOne(a, server, out, log)) return true;
  return false;
}
bool chooseFrom(const std::vector<const Algo *> &ours, ExtPtrArray &server, int &out,
                LogBase &log) {
  for (const Algo *a : ours)
    if (chooseOne(*a, server, out, log)) return true;
  return false;
}

struct CipherSpec {
  const char *algorithm;
  int keyBits;
  int ivLen;
  int keyLen;
  const char *outLine;
};

CipherSpec cipherSpec(int n) {
  switch (n) {
  case 1:
    return {"aes", 256, 16, 32, "Outgoing encryption is now AES 256"};
  case 2:
    return {"aes", 128, 16, 16, "Outgoing encryption is now AES 128"};
  case 3:
    return {"twofish", 256, 16, 32, "Outgoing encryption is now Twofish 256"};
  case 4:
    return {"twofish", 128, 16, 16, "Outgoing encryption is now Twofish 128"};
  case 5:
    return {"blowfish2", 128, 8, 16, "Outgoing encryption is now Blowfish 128"};
  case 6:
    return {"3des", 192, 8, 24, "Outgoing encryption is now 3DES"};
  case 7:
    return {"rc4", 128, 0, 16, "Outgoing encryption is now arcfour128"};
  case 8:
    return {"rc4", 256, 0, 32, "Outgoing encryption is now arcfour256"};
  case T::kCipherAes128Ctr:
    return {"aes-ctr", 128, 16, 16, "Outgoing encryption is now AES-CTR 128"};
  case T::kCipherAes192Ctr:
    return {"aes-ctr", 192, 16, 24, "Outgoing encryption is now AES-CTR 192"};
  case T::kCipherAes256Ctr:
    return {"aes-ctr", 256, 16, 32, "Outgoing encryption is now AES-CTR 256"};
  case T::kCipherAes128Gcm:
    return {"aes-gcm", 128, 12, 16, "Outgoing encryption is now AES-GCM 128"};
  case T::kCipherAes256Gcm:
    return {"aes-gcm", 256, 12, 32, "Outgoing encryption is now AES-GCM 256"};
  case T::kCipherChaCha20Poly1305:
    return {"chacha20-poly1305", 512, 0, 64, "Outgoing encryption is now ChaCha20-Poly1305"};
  default:
    return {"none", 256, 16, 16, "Outgoing encryption is now NONE"};
  }
}

int macKeyLen(int mac) {
  switch (mac) {
  case 1:
    return 20;
  case T::kMacSha256:
  case T::kMacSha256Etm:
    return 32;
  case T::kMacSha512:
  case T::kMacSha512Etm:
    return 64;
  default:
    return 16;
  }
}

} // namespace

bool SshTransport::isAeadCipher(int cipher) {
  return cipher == kCipherAes128Gcm || cipher == kCipherAes256Gcm ||
         cipher == kCipherChaCha20Poly1305;
}
bool SshTransport::isEtmMac(int mac) {
  return mac == kMacSha256Etm || mac == kMacSha512Etm;
}
bool SshTransport::isEcKex(int kex) {
  return kex == kKexCurve25519 || kex == kKexEcdhP256 || kex == kKexEcdhP384 || kex == kKexEcdhP521;
}
bool SshTransport::isGexKex(int kex) {
  return kex == 160 || kex == 256;
}
int SshTransport::kexHashBits(int kex) {
  switch (kex) {
  case 256:
  case kKexCurve25519:
  case kKexEcdhP256:
  case kKexGroup14Sha256:
    return 256;
  case kKexEcdhP384:
    return 384;
  case kKexEcdhP521:
  case kKexGroup16Sha512:
  case kKexGroup18Sha512:
    return 512;
  default:
    return 1;
  }
}

// Our host-key algorithms in order. A host whose key the caller remembers is asked for that
// key's type first, so that the key it shows is the one remembered; otherwise the newest types
// come first. The old two keep their order among themselves.
static std::vector<const Algo *> hostKeyOrder(const std::string &want, bool preferRsaHostKey) {
  std::vector<const Algo *> order;
  auto add = [&](const Algo &a) {
    for (const Algo *o : order)
      if (o == &a) return;
    order.push_back(&a);
  };
  auto addRsa = [&] {
    for (const Algo &a : kHostRsaSha2)
      add(a);
    add(kHostRsa);
  };
  if (want == "ssh-rsa" || (want.empty() && preferRsaHostKey)) addRsa();
  if (want == "ssh-dss") add(kHostDss);
  if (want == kHostEd25519.name) add(kHostEd25519);
  for (const Algo &a : kHostEcdsa)
    if (want == a.name) add(a);
  add(kHostEd25519);
  for (const Algo &a : kHostEcdsa)
    add(a);
  for (const Algo &a : kHostRsaSha2)
    add(a);
  if (preferRsaHostKey) {
    add(kHostRsa);
    add(kHostDss);
  } else {
    add(kHostDss);
    add(kHostRsa);
  }
  return order;
}

static std::string joinNames(const std::vector<const Algo *> &order) {
  std::string s;
  for (const Algo *a : order) {
    if (!s.empty()) s += ",";
    s += a->name;
  }
  return s;
}

template <size_t N> static std::string joinNames(const Algo (&list)[N]) {
  std::string s;
  for (const Algo &a : list) {
    if (!s.empty()) s += ",";
    s += a.name;
  }
  return s;
}

void SshTransport::build_kexInit(DataBuffer &out) {
  out.clear();
  out.appendChar(20);
  kexCookie.clear();
  RazudodRand::randomBytes(16, kexCookie);
  out.append(kexCookie);
  std::string kex = joinNames(kKex);
  if (!initialKexDone) kex += std::string(",") + kKexMarkers;
  pack_string(kex.c_str(), out);
  pack_string(joinNames(hostKeyOrder(preferredHostKeyType, preferRsaHostKey)).c_str(), out);
  std::string ciphers = joinNames(kCiphers), macs = joinNames(kMacs);
  pack_string(ciphers.c_str(), out);
  pack_string(ciphers.c_str(), out);
  pack_string(macs.c_str(), out);
  pack_string(macs.c_str(), out);
  pack_string("none", out);
  pack_string("none", out);
  pack_string("", out);
  pack_string("", out);
  pack_bool(false, out);
  pack_uint32(0, out);
}

bool SshTransport::sendKexInit(ProgressMonitor *pm, LogBase &log, bool verbose) {
  DataBuffer msg;
  build_kexInit(msg);
  clientKexInit.clear();
  clientKexInit.append(msg);
  if (!sendMessage("KEXINIT", msg, pm, log, verbose)) {
    log.LogError("Error sending KEXINIT message to server");
    return false;
  }
  return true;
}

bool SshTransport::isSupportedByServer(const char *name, ExtPtrArray &serverList) {
  for (int i = 0; i < serverList.getSize(); ++i) {
    StringBuffer *sb = serverList.sbAt(i);
    if (sb && sb->equalsIgnoreCase(name)) return true;
  }
  return false;
}

bool SshTransport::choose_kex_algorithm(ExtPtrArray &list, LogBase &log) {
  return chooseFrom(kKex, list, kexAlgorithm, log);
}
bool SshTransport::choose_hostkey_algorithm(ExtPtrArray &list, LogBase &log) {
  return chooseFrom(hostKeyOrder(preferredHostKeyType, preferRsaHostKey), list, hostKeyAlgorithm,
                    log);
}
bool SshTransport::choose_crypt_algorithm(int &out, ExtPtrArray &list, LogBase &log) {
  return chooseFrom(kCiphers, list, out, log);
}
bool SshTransport::choose_mac_algorithm(int &out, ExtPtrArray &list, LogBase &log) {
  return chooseFrom(kMacs, list, out, log);
}
bool SshTransport::choose_compression(int &out, ExtPtrArray &list, LogBase &log) {
  return chooseFrom(kCompression, list, out, log);
}

bool SshTransport::parseKexInit(DataBuffer &payload, LogBase &log) {
  serverKexInit.clear();
  serverKexInit.append(payload);
  unsigned int idx = 0;
  unsigned char type = 0;
  if (!parseByte(payload, idx, type) || type != 20) {
    log.LogError("Unexpected message received.  Expected KEXINIT.");
    log.LogDataLong("msgType", type);
    log.LogDataHex("payload", payload.getData2(), payload.getSize());
    return false;
  }
  static const char *const sessionTags[8] = {
      "TRAN* Key Algorithms: ", "TRAN* Host Key Algorithms: ",
      "TRAN* Out Encryption: ", "TRAN* In Encryption: ",
      "TRAN* Out MAC: ",        "TRAN* In MAC: ",
      "TRAN* Out Compress: ",   "TRAN* In Compress: "};
  static const char *const contexts[10] = {"KeyExchangeAlgs", "HostKeyAlgs", "EncCS",  "EncSC",
                                           "MacCS",           "MacSC",       "CompCS", "CompSC",
                                           "LangCS",          "LangSC"};
  ExtPtrArray lists[10];
  for (auto &l : lists)
    l.m_bOwnsObjects = true;
  DataBuffer cookie;
  bool ok = parseBytes(payload, idx, 16, cookie);
  for (int i = 0; i < 10 && ok; ++i) {
    StringBuffer raw;
    ok = parseNameList3(payload, idx, lists[i], raw);
    if (ok && i < 8) toSessionLog(sessionTags[i], raw.getString(), "\r\n");
  }
  bool follows = false;
  if (ok) ok = parseBool(payload, idx, follows);
  for (int i = 0; i < 10; ++i) {
    log.EnterContext(contexts[i], true);
    for (int k = 0; k < lists[i].getSize(); ++k)
      if (const StringBuffer *name = lists[i].sbAt(k)) logPeerText(log, "algorithm", *name);
    log.LeaveContext();
  }
  pendingCipherIn = pendingCipherOut = pendingMacIn = pendingMacOut = 0;
  if (!ok) {
    log.LogError("Error in KEXINIT message from server");
    return false;
  }
  if (!initialKexDone) {
    strictKex = isSupportedByServer(kStrictServerMarker, lists[0]);
    if (strictKex) {
      log.LogInfo("Strict key exchange in force.");
      toSessionLog("TRAN* ", "Strict key exchange in force.", "\r\n");
      // Under strict key exchange the server's KEXINIT is its first packet.
      if (lastInSeqNum != 0) {
        log.LogError("The server sent other messages before its KEXINIT (strict key exchange).");
        return false;
      }
    }
  }
  int compIn = 0, compOut = 0;
  bool all = true;
  auto need = [&](bool chosen, const char *text) {
    if (!chosen) {
      log.LogError(text);
      all = false;
    }
  };
  need(choose_crypt_algorithm(pendingCipherIn, lists[3], log),
       "Unable to agree upon server-to-client encryption algorithm.");
  need(choose_crypt_algorithm(pendingCipherOut, lists[2], log),
       "Unable to agree upon client-to-server encryption algorithm.");
  // An authenticated cipher carries its own integrity check: no MAC is chosen for it.
  if (isAeadCipher(pendingCipherIn))
    log.LogInfo("MAC: implicit (server-to-client)");
  else
    need(choose_mac_algorithm(pendingMacIn, lists[5], log),
         "Unable to agree upon server-to-client MAC algorithm.");
  if (isAeadCipher(pendingCipherOut))
    log.LogInfo("MAC: implicit (client-to-server)");
  else
    need(choose_mac_algorithm(pendingMacOut, lists[4], log),
         "Unable to agree upon client-to-server MAC algorithm.");
  need(choose_compression(compIn, lists[7], log),
       "Unable to agree upon server-to-client compression algorithm.");
  need(choose_compression(compOut, lists[6], log),
       "Unable to agree upon client-to-server compression algorithm.");
  need(choose_kex_algorithm(lists[0], log), "Unable to agree upon key exchange algorithm.");
  need(choose_hostkey_algorithm(lists[1], log), "Unable to agree upon host key algorithm.");
  return all;
}

void SshTransport::getKeySizes(int &ivLenOut, int &ivLenIn, int &encKeyLenOut, int &encKeyLenIn,
                               int &macKeyLenOut, int &macKeyLenIn) {
  CipherSpec o = cipherSpec(pendingCipherOut), i = cipherSpec(pendingCipherIn);
  ivLenOut = o.ivLen;
  ivLenIn = i.ivLen;
  encKeyLenOut = o.keyLen;
  encKeyLenIn = i.keyLen;
  macKeyLenOut = macKeyLen(pendingMacOut);
  macKeyLenIn = macKeyLen(pendingMacIn);
}

void SshTransport::calcKeyExchangeNumBits(unsigned int &numBits, unsigned int &pbits) {
  switch (pendingCipherOut) {
  case 1:
  case 3:
  case 8:
  case kCipherAes256Ctr:
  case kCipherAes256Gcm:
  case kCipherChaCha20Poly1305:
    numBits = 256;
    break;
  case 6:
  case kCipherAes192Ctr:
    numBits = 192;
    break;
  default:
    numBits = 128;
    break;
  }
  unsigned int cap = kexHashBits(kexAlgorithm) == 1 ? 160 : 256;
  if (numBits > cap) numBits = cap;
  pbits = 512u << ((numBits - 1) / 64);
}

bool SshTransport::computeExchangeHash(unsigned int replyMsgType, unsigned int pbits, LogBase &log,
                                       bool verbose) {
  if (verbose) {
    log.EnterContext("computeExchangeHash", true);
    log.LogDataLong("dhReplyMsgType", (int)replyMsgType);
    StringBuffer v("[");
    v.append(serverIdent);
    v.append("]");
    logPeerText(log, "serverVersion", v.getString());
  }
  DataBuffer h;
  pack_sb(clientIdent, h);
  pack_sb(serverIdent, h);
  pack_db(clientKexInit, h);
  pack_db(serverKexInit, h);
  pack_db(serverHostKeyBlob, h);
  if (isEcKex(kexAlgorithm)) {
    pack_db(ecKex.publicKey(), h);
    pack_db(serverEcPublic, h);
    h.append(kexSharedK);
  } else {
    if (replyMsgType == 33 && gexRangeRequest) {
      pack_uint32(gexMin, h);
      pack_uint32(gexN, h);
      pack_uint32(gexMax, h);
      pack_bignum(dh.get_p(), h);
      pack_bignum(dh.get_g(), h);
    } else if (replyMsgType == 33) {
      pack_uint32(pbits, h);
      pack_bignum(dh.get_p(), h);
      pack_bignum(dh.get_g(), h);
    }
    pack_bignum(dh.get_e(), h);
    pack_bignum(serverDhPublic, h);
    pack_bignum(dh.get_K(), h);
  }
  exchangeHash.clear();
  int bits = kexHashBits(kexAlgorithm);
  log.LogInfo(bits == 1     ? "Using SHA-1 for Exchange Hash"
              : bits == 384 ? "Using SHA384 for Exchange Hash"
              : bits == 512 ? "Using SHA512 for Exchange Hash"
                            : "Using SHA256 for Exchange Hash");
  bool ok = sshDigest(bits, h.getData2(), h.getSize(), exchangeHash);
  h.secureClear();
  if (verbose) log.LeaveContext();
  return ok;
}

bool SshTransport::calculateKey2(bool useSha1, int length, DataBuffer &mpintK, DataBuffer &H,
                                 unsigned char letter, DataBuffer &sid, DataBuffer &out,
                                 LogBase &log) {
  return deriveKey(useSha1 ? 1 : 256, length, mpintK, H, letter, sid, out, log);
}

bool SshTransport::deriveKey(int hashBits, int length, DataBuffer &mpintK, DataBuffer &H,
                             unsigned char letter, DataBuffer &sid, DataBuffer &out, LogBase &) {
  out.clear();
  DataBuffer in, k;
  in.append(mpintK);
  in.append(H);
  in.appendChar(letter);
  in.append(sid);
  bool ok = sshDigest(hashBits, in.getData2(), in.getSize(), k);
  // Each further digest covers K, H and all the key so far. The longest key is 64 bytes: four
  // SHA-1 digests.
  for (int round = 0; ok && round < 8 && (int)k.getSize() < length; ++round) {
    in.clear();
    in.append(mpintK);
    in.append(H);
    in.append(k);
    ok = sshDigest(hashBits, in.getData2(), in.getSize(), k);
  }
  in.secureClear();
  out.append(k.getData2(), (unsigned int)length < k.getSize() ? (unsigned int)length : k.getSize());
  k.secureClear();
  return ok;
}

bool SshTransport::calculateKey(int length, unsigned char letter, DataBuffer &out, LogBase &log) {
  DataBuffer mpintK;
  if (isEcKex(kexAlgorithm))
    mpintK.append(kexSharedK);
  else
    pack_bignum(dh.get_K(), mpintK);
  bool ok = deriveKey(kexHashBits(kexAlgorithm), length, mpintK, exchangeHash, letter, sessionId,
                      out, log);
  mpintK.secureClear();
  return ok;
}

bool SshTransport::calculateKeys(LogBase &log) {
  int ivOut, ivIn, keyOut, keyIn, macOut, macIn;
  getKeySizes(ivOut, ivIn, keyOut, keyIn, macOut, macIn);
  return calculateKey(ivOut, 'A', ivClientToServer, log) &&
         calculateKey(ivIn, 'B', ivServerToClient, log) &&
         calculateKey(keyOut, 'C', encKeyClientToServer, log) &&
         calculateKey(keyIn, 'D', encKeyServerToClient, log) &&
         calculateKey(macOut, 'E', macKeyClientToServer, log) &&
         calculateKey(macIn, 'F', macKeyServerToClient, log);
}

// Sets one direction to a negotiated cipher and MAC with the direction's keys: the old ciphers
// through the library's engine, the newer ones through OpenSSL.
static bool installDirection(ClsCrypt &crypt, SshPacketCipher &cipher, SshMac &mac, int cipherNum,
                             int macAlg, DataBuffer &key, DataBuffer &iv, DataBuffer &macKey,
                             bool hmacBug, bool outgoing, LogBase &log) {
  CipherSpec c = cipherSpec(cipherNum);
  if (outgoing) log.LogInfo(c.outLine);
  cipher.reset();
  mac.reset();
  bool ok = true;
  if (cipherNum >= T::kCipherAes128Ctr) {
    SshPacketCipher::Kind kind =
        cipherNum == T::kCipherChaCha20Poly1305 ? SshPacketCipher::Kind::ChaCha
        : SshTransport::isAeadCipher(cipherNum) ? SshPacketCipher::Kind::Gcm
                                                : SshPacketCipher::Kind::Ctr;
    ok = cipher.init(kind, key.getData2(), key.getSize(), iv.getData2(), iv.getSize(), outgoing);
    if (!ok) log.LogError("Failed to set up the cipher.");
  } else {
    crypt.put_KeyLength(c.keyBits);
    crypt.put_CryptAlgorithm(c.algorithm);
    crypt.put_SecretKey(key);
    crypt.put_CipherMode(0);
    crypt.put_IV(iv);
    crypt.put_PaddingScheme(3);
    crypt.put_FirstChunk(true);
  }
  if (macAlg == 0 || SshTransport::isAeadCipher(cipherNum)) return ok;
  if (macAlg == 1 && hmacBug && macKey.getSize() > 16) {
    macKey.shorten(macKey.getSize() - 16);
    log.LogInfo("Shortened HMAC key by 4 bytes for buggy server.");
    log.LogDataLong("HMAC_keylen", (int)macKey.getSize());
  }
  SshMac::Hash hash = macAlg == 1   ? SshMac::Hash::Sha1
                      : macAlg == 2 ? SshMac::Hash::Md5
                      : macAlg == T::kMacSha256 || macAlg == T::kMacSha256Etm
                          ? SshMac::Hash::Sha256
                          : SshMac::Hash::Sha512;
  if (!mac.init(hash, macKey.getData2(), macKey.getSize())) {
    log.LogError("Failed to set up the MAC.");
    return false;
  }
  return ok;
}

bool SshTransport::installOutgoingKeys(LogBase &log) {
  activeCipherOut = pendingCipherOut;
  activeMacOut = isAeadCipher(activeCipherOut) ? 0 : pendingMacOut;
  bool ok = installDirection(outCrypt, outCipher, outMac, activeCipherOut, activeMacOut,
                             encKeyClientToServer, ivClientToServer, macKeyClientToServer,
                             serverHasHmacBug, true, log);
  outCipherRestart = true;
  // Strict key exchange numbers the packets of each new set of keys from zero.
  if (strictKex) outSeqNum = 0;
  return ok;
}

bool SshTransport::installIncomingKeys(LogBase &log) {
  activeCipherIn = pendingCipherIn;
  activeMacIn = isAeadCipher(activeCipherIn) ? 0 : pendingMacIn;
  bool ok =
      installDirection(inCrypt, inCipher, inMac, activeCipherIn, activeMacIn, encKeyServerToClient,
                       ivServerToClient, macKeyServerToClient, serverHasHmacBug, false, log);
  if (activeCipherIn == 0) {
    inBlockSize = 8;
  } else if (activeCipherIn >= kCipherAes128Ctr) {
    inBlockSize = activeCipherIn == kCipherChaCha20Poly1305 ? 8 : 16;
  } else {
    int bs = inCrypt.get_BlockSize();
    if (bs == 0) {
      log.LogError("Encryption algorithm block size was 0?");
      bs = 4;
    }
    inBlockSize = (unsigned int)bs;
  }
  inCipherRestart = true;
  if (strictKex) inSeqNum = 0;
  return ok;
}

bool SshTransport::installNewKeys(LogBase &log) {
  bool out = installOutgoingKeys(log);
  return installIncomingKeys(log) && out;
}

bool SshTransport::sendNewKeys(ProgressMonitor *pm, LogBase &log, bool verbose) {
  DataBuffer msg;
  msg.appendChar(21);
  if (!sendMessage("NEWKEYS", msg, pm, log, verbose)) {
    log.LogError("Error sending newkeys to server");
    return false;
  }
  // Everything we send after our NEWKEYS goes under the new keys.
  return installOutgoingKeys(log);
}

bool SshTransport::sendGexRequest(unsigned int pbits, ProgressMonitor *pm, LogBase &log,
                                  bool verbose) {
  log.LogInfo("Sending KEX_DH_GEX_REQUEST...");
  // The first exchange and a server-started re-key share this step; their logs name the size
  // differently, and a reader of the log tells them apart by it.
  log.LogDataLong(rekeyRunning ? "kex_pbits" : "pbits", (int)pbits);
  DataBuffer req;
  // OpenSSH has long refused the one-number request (it disconnects); it takes groups of 2048 to
  // 8192 bits and asks for the range form.
  gexRangeRequest = serverIdent.beginsWith("SSH-2.0-OpenSSH_");
  gexN = pbits;
  if (gexRangeRequest) {
    gexMin = 2048;
    gexMax = 8192;
    if (gexN < gexMin) gexN = gexMin;
    if (gexN > gexMax) gexN = gexMax;
    req.appendChar(34);
    pack_uint32(gexMin, req);
    pack_uint32(gexN, req);
    pack_uint32(gexMax, req);
  } else {
    req.appendChar(30);
    pack_uint32(pbits, req);
  }
  if (!sendMessage("KEX_DH_GEX_REQUEST", req, pm, log, verbose)) {
    log.LogError("Error sending KEX_DH_GEX_REQUEST message to server");
    return false;
  }
  return true;
}

bool SshTransport::takeGexGroup(DataBuffer &msg, LogBase &log) {
  unsigned int idx = 1;
  unsigned int *p = parseBignum(msg, idx, log);
  unsigned int *g = p ? parseBignum(msg, idx, log) : nullptr;
  if (!p || !g) {
    RazudodBignum::freebn(p);
    log.LogError("Failed to parse KEX_DH_GEX_GROUP.");
    return false;
  }
  dh.replace_p(p);
  dh.replace_g(g);
  // A group from the server is checked before any exponent is drawn in it.
  if (!dh.groupIsValid()) {
    log.LogError("The server's Diffie-Hellman group is not acceptable.");
    return false;
  }
  return true;
}

bool SshTransport::sendDhE(unsigned char number, unsigned int numBits, ProgressMonitor *pm,
                           LogBase &log, bool verbose) {
  if (numBits == 0 || numBits > 10000) {
    log.LogError("Invalid number of bits for e.");
    log.LogDataLong("numBits", (int)numBits);
    return false;
  }
  if (!dh.create_E((int)numBits * 2)) {
    log.LogError("Failed to create the Diffie-Hellman value e.");
    return false;
  }
  DataBuffer init;
  init.appendChar(number);
  pack_bignum(dh.get_e(), init);
  if (!sendMessage("KEXDH_INIT", init, pm, log, verbose)) {
    log.LogError("Error sending e to server");
    return false;
  }
  return true;
}

// The fixed MODP groups of RFC 3526 (generator 2), taken from OpenSSL.
static bool useModpGroup(RazudodDh &dh, int bits) {
  BIGNUM *p =
      bits == 4096 ? BN_get_rfc3526_prime_4096(nullptr) : BN_get_rfc3526_prime_8192(nullptr);
  if (!p) return false;
  std::vector<unsigned char> bytes((size_t)BN_num_bytes(p));
  BN_bn2bin(p, bytes.data());
  BN_free(p);
  const unsigned char two = 2;
  dh.replace_p(RazudodBignum::fromBytes(bytes.data(), (unsigned int)bytes.size()));
  dh.replace_g(RazudodBignum::fromBytes(&two, 1));
  return dh.groupIsValid();
}

bool SshTransport::sendFixedKexInit(unsigned int numBits, ProgressMonitor *pm, LogBase &log,
                                    bool verbose) {
  if (isEcKex(kexAlgorithm)) {
    EcKex::Curve curve = kexAlgorithm == kKexCurve25519 ? EcKex::Curve::X25519
                         : kexAlgorithm == kKexEcdhP256 ? EcKex::Curve::P256
                         : kexAlgorithm == kKexEcdhP384 ? EcKex::Curve::P384
                                                        : EcKex::Curve::P521;
    if (!ecKex.generate(curve)) {
      log.LogError("Failed to create the key exchange value.");
      return false;
    }
    DataBuffer init;
    init.appendChar(30);
    pack_db(ecKex.publicKey(), init);
    if (!sendMessage("KEX_ECDH_INIT", init, pm, log, verbose)) {
      log.LogError("Error sending the key exchange value to server");
      return false;
    }
    return true;
  }
  if (kexAlgorithm == kKexGroup16Sha512 || kexAlgorithm == kKexGroup18Sha512) {
    if (!useModpGroup(dh, kexAlgorithm == kKexGroup16Sha512 ? 4096 : 8192)) {
      log.LogError("Failed to set up the Diffie-Hellman group.");
      return false;
    }
    // An exponent of twice the strength asked for, at least 512 bits, as the groups are meant.
    if (numBits < 256) numBits = 256;
  } else {
    dh.UseOakleyGroup(kexAlgorithm == 1 ? 2 : 14);
  }
  return sendDhE(30, numBits, pm, log, verbose);
}

bool SshTransport::parseExtInfo(const DataBuffer &msg, LogBase &log) {
  unsigned int idx = 1, count = 0;
  if (!parseUint32(msg, idx, count)) return false;
  // A bound on what the server may announce.
  if (count > 64) count = 64;
  for (unsigned int i = 0; i < count; ++i) {
    StringBuffer name;
    DataBuffer value;
    if (!parseString(msg, idx, name) || !parseBinaryString(msg, idx, value, log)) return false;
    if (!name.equals("server-sig-algs")) continue;
    serverSigAlgs_.clear();
    std::string list((const char *)value.getData2(), value.getSize());
    size_t start = 0;
    while (start <= list.size() && serverSigAlgs_.size() < 64) {
      size_t comma = list.find(',', start);
      std::string one =
          list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      if (!one.empty() && one.size() < 64) serverSigAlgs_.push_back(one);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    logPeerText(log, "serverSigAlgs", list.substr(0, 1000).c_str());
  }
  return true;
}

bool SshTransport::serverAcceptsSigAlg(const char *name) const {
  for (const std::string &s : serverSigAlgs_)
    if (s == name) return true;
  return false;
}
