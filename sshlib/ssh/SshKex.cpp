// Algorithm negotiation, Diffie-Hellman exchange hash, session keys and their installation.
#include <cstring>
#include <strings.h>

#include "sshlib/core/LogBase.h"
#include "sshlib/crypto/Hashes.h"
#include "sshlib/crypto/RazudodRand.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/SshTransport.h"

namespace {

const char *const kKexList = "diffie-hellman-group-exchange-sha256,diffie-hellman-group-exchange-"
                             "sha1,diffie-hellman-group1-sha1,diffie-hellman-group14-sha1";
const char *const kCipherList =
    "aes256-cbc,aes128-cbc,twofish256-cbc,twofish128-cbc,blowfish-cbc,3des-cbc,arcfour128,"
    "arcfour256";
const char *const kMacList = "hmac-sha1,hmac-md5,none";

struct Algo {
  const char *name;
  int number;
  const char *logLine;
};

const Algo kKex[] = {
    {"diffie-hellman-group-exchange-sha256", 256, "Key Exchange: DH Group Exchange SHA256"},
    {"diffie-hellman-group-exchange-sha1", 160, "Key Exchange: DH Group Exchange SHA1"},
    {"diffie-hellman-group1-sha1", 1, "Key Exchange: DH Group 1"},
    {"diffie-hellman-group14-sha1", 14, "Key Exchange: DH Group 14"}};
const Algo kCiphers[] = {{"aes256-cbc", 1, "Encryption: 256-bit AES"},
                         {"aes128-cbc", 2, "Encryption: 128-bit AES"},
                         {"twofish256-cbc", 3, "Encryption: 256-bit Twofish"},
                         {"twofish128-cbc", 4, "Encryption: 128-bit Twofish"},
                         {"blowfish-cbc", 5, "Encryption: Blowfish"},
                         {"3des-cbc", 6, "Encryption: 3DES"},
                         {"arcfour128", 7, "Encryption: arcfour128"},
                         {"arcfour256", 8, "Encryption: arcfour256"}};
const Algo kMacs[] = {
    {"hmac-sha1", 1, "MAC: HMAC-SHA1"}, {"hmac-md5", 2, "MAC: HMAC-MD5"}, {"none", 0, "MAC: None"}};
const Algo kHostRsaFirst[] = {{"ssh-rsa", 1, "Host Key Algorithm: RSA"},
                              {"ssh-dss", 2, "Host Key Algorithm: DSS"}};
const Algo kHostDssFirst[] = {{"ssh-dss", 2, "Host Key Algorithm: DSS"},
                              {"ssh-rsa", 1, "Host Key Algorithm: RSA"}};
const Algo kCompression[] = {{"none", 0, "Compression: none"}};

template <size_t N>
bool chooseFrom(const Algo (&ours)[N], ExtPtrArray &server, int &out, LogBase &log) {
  for (const Algo &a : ours) {
    if (SshTransport::isSupportedByServer(a.name, server)) {
      out = a.number;
      log.LogInfo(a.logLine);
      return true;
    }
  }
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
  default:
    return {"none", 256, 16, 16, "Outgoing encryption is now NONE"};
  }
}

} // namespace

void SshTransport::build_kexInit(DataBuffer &out) {
  out.clear();
  out.appendChar(20);
  kexCookie.clear();
  RazudodRand::randomBytes(16, kexCookie);
  out.append(kexCookie);
  pack_string(kKexList, out);
  pack_string(preferRsaHostKey ? "ssh-rsa,ssh-dss" : "ssh-dss,ssh-rsa", out);
  pack_string(kCipherList, out);
  pack_string(kCipherList, out);
  pack_string(kMacList, out);
  pack_string(kMacList, out);
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
  return preferRsaHostKey ? chooseFrom(kHostRsaFirst, list, hostKeyAlgorithm, log)
                          : chooseFrom(kHostDssFirst, list, hostKeyAlgorithm, log);
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
    lists[i].logStrings(log, "algorithm");
    log.LeaveContext();
  }
  pendingCipherIn = pendingCipherOut = pendingMacIn = pendingMacOut = 0;
  if (!ok) {
    log.LogError("Error in KEXINIT message from server");
    return false;
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
  need(choose_mac_algorithm(pendingMacIn, lists[5], log),
       "Unable to agree upon server-to-client MAC algorithm.");
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
  macKeyLenOut = pendingMacOut == 1 ? 20 : 16;
  macKeyLenIn = pendingMacIn == 1 ? 20 : 16;
}

void SshTransport::calcKeyExchangeNumBits(unsigned int &numBits, unsigned int &pbits) {
  switch (pendingCipherOut) {
  case 1:
  case 3:
  case 8:
    numBits = 256;
    break;
  case 6:
    numBits = 192;
    break;
  default:
    numBits = 128;
    break;
  }
  unsigned int cap = kexAlgorithm == 256 ? 256 : 160;
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
  if (replyMsgType == 33) {
    pack_uint32(pbits, h);
    pack_bignum(dh.get_p(), h);
    pack_bignum(dh.get_g(), h);
  }
  pack_bignum(dh.get_e(), h);
  pack_bignum(serverDhPublic, h);
  pack_bignum(dh.get_K(), h);
  exchangeHash.clear();
  if (kexAlgorithm == 256) {
    log.LogInfo("Using SHA256 for Exchange Hash");
    Sha2::calcSha256(h, exchangeHash);
  } else {
    log.LogInfo("Using SHA-1 for Exchange Hash");
    Sha1::sha1_db(h, exchangeHash);
  }
  h.secureClear();
  if (verbose) log.LeaveContext();
  return true;
}

bool SshTransport::calculateKey2(bool useSha1, int length, DataBuffer &mpintK, DataBuffer &H,
                                 unsigned char letter, DataBuffer &sid, DataBuffer &out,
                                 LogBase &) {
  out.clear();
  auto hash = [&](const DataBuffer &in, DataBuffer &digest) {
    if (useSha1)
      Sha1::sha1_db(in, digest);
    else
      Sha2::calcSha256(in, digest);
  };
  DataBuffer in, k;
  in.append(mpintK);
  in.append(H);
  in.appendChar(letter);
  in.append(sid);
  hash(in, k);
  // At most three digests: the largest key asked for is 32 bytes.
  for (int round = 0; round < 2 && (int)k.getSize() < length; ++round) {
    in.clear();
    in.append(mpintK);
    in.append(H);
    in.append(k);
    hash(in, k);
  }
  in.secureClear();
  out.append(k.getData2(), (unsigned int)length < k.getSize() ? (unsigned int)length : k.getSize());
  k.secureClear();
  return true;
}

bool SshTransport::calculateKey(int length, unsigned char letter, DataBuffer &out, LogBase &log) {
  DataBuffer mpintK;
  pack_bignum(dh.get_K(), mpintK);
  bool ok =
      calculateKey2(kexAlgorithm != 256, length, mpintK, exchangeHash, letter, sessionId, out, log);
  mpintK.secureClear();
  return ok;
}

bool SshTransport::calculateKeys(LogBase &log) {
  int ivOut, ivIn, keyOut, keyIn, macOut, macIn;
  getKeySizes(ivOut, ivIn, keyOut, keyIn, macOut, macIn);
  calculateKey(ivOut, 'A', ivClientToServer, log);
  calculateKey(ivIn, 'B', ivServerToClient, log);
  calculateKey(keyOut, 'C', encKeyClientToServer, log);
  calculateKey(keyIn, 'D', encKeyServerToClient, log);
  calculateKey(macOut, 'E', macKeyClientToServer, log);
  calculateKey(macIn, 'F', macKeyServerToClient, log);
  return true;
}

// Sets a cipher engine to a negotiated cipher and MAC with the direction's keys.
static bool installDirection(ClsCrypt &crypt, int cipher, int macAlg, DataBuffer &key,
                             DataBuffer &iv, DataBuffer &macKey, bool hmacBug, bool outgoing,
                             LogBase &log) {
  CipherSpec c = cipherSpec(cipher);
  crypt.put_KeyLength(c.keyBits);
  crypt.put_CryptAlgorithm(c.algorithm);
  if (outgoing) log.LogInfo(c.outLine);
  crypt.put_SecretKey(key);
  crypt.put_CipherMode(0);
  crypt.put_IV(iv);
  crypt.put_PaddingScheme(3);
  crypt.put_FirstChunk(true);
  if (macAlg == 0) return true;
  if (macAlg == 1 && hmacBug && macKey.getSize() > 16) {
    macKey.shorten(macKey.getSize() - 16);
    log.LogInfo("Shortened HMAC key by 4 bytes for buggy server.");
    log.LogDataLong("HMAC_keylen", (int)macKey.getSize());
  }
  crypt.put_HashAlgorithm(macAlg == 1 ? "sha1" : "md5");
  return crypt.SetHmacKeyBytes(macKey);
}

bool SshTransport::installOutgoingKeys(LogBase &log) {
  activeCipherOut = pendingCipherOut;
  activeMacOut = pendingMacOut;
  bool ok = installDirection(outCrypt, activeCipherOut, activeMacOut, encKeyClientToServer,
                             ivClientToServer, macKeyClientToServer, serverHasHmacBug, true, log);
  outCipherRestart = true;
  return ok;
}

bool SshTransport::installIncomingKeys(LogBase &log) {
  activeCipherIn = pendingCipherIn;
  activeMacIn = pendingMacIn;
  bool ok = installDirection(inCrypt, activeCipherIn, activeMacIn, encKeyServerToClient,
                             ivServerToClient, macKeyServerToClient, serverHasHmacBug, false, log);
  int bs = inCrypt.get_BlockSize();
  if (bs == 0 && activeCipherIn != 0) {
    log.LogError("Encryption algorithm block size was 0?");
    bs = 4;
  }
  inBlockSize = activeCipherIn == 0 ? 8 : (unsigned int)bs;
  inCipherRestart = true;
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
  log.LogDataLong("kex_pbits", (int)pbits);
  DataBuffer req;
  req.appendChar(30);
  pack_uint32(pbits, req);
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
