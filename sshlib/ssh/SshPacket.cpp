// The transport object, its binary packet layer, message names, session log and the channel
// control messages.
#include <cstdio>
#include <cstring>
#include <tuple>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/crypto/RazudodRand.h"
#include "sshlib/crypto/SshCipher.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

SshTransport::SshTransport() {
  clientIdent.setString(kSshDefaultClientIdent);
  queuedMessages.m_bOwnsObjects = true;
  outCrypt.rc4Discard1536 = true;
  inCrypt.rc4Discard1536 = true;
}

SshTransport::~SshTransport() {
  RazudodBignum::freebn(serverDhPublic);
  serverDhPublic = nullptr;
  queuedMessages.removeAllObjects();
  for (DataBuffer *k : {&ivClientToServer, &ivServerToClient, &encKeyClientToServer,
                        &encKeyServerToClient, &macKeyClientToServer, &macKeyServerToClient})
    k->secureClear();
}

// ---------------------------------------------------------------------------------------------
// Names and session log.

void SshTransport::msgTypeName(int n, StringBuffer &out) {
  static const struct {
    int n;
    const char *name;
  } names[] = {{1, "DISCONNECT"},
               {2, "IGNORE"},
               {3, "UNIMPLEMENTED"},
               {4, "DEBUG"},
               {5, "SERVICE_REQUEST"},
               {6, "SERVICE_ACCEPT"},
               {20, "KEXINIT"},
               {21, "NEWKEYS"},
               {30, "KEXDH_INIT"},
               {31, "KEXDH_REPLY"},
               {32, "KEX_DH_GEX_INIT"},
               {33, "KEX_DH_GEX_REPLY"},
               {50, "USERAUTH_REQUEST"},
               {51, "USERAUTH_FAILURE"},
               {52, "USERAUTH_SUCCESS"},
               {53, "USERAUTH_BANNER"},
               {60, "USERAUTH_PK_OK"},
               {61, "USERAUTH_INFO_RESPONSE"},
               {80, "GLOBAL_REQUEST"},
               {81, "REQUEST_SUCCESS"},
               {82, "REQUEST_FAILURE"},
               {90, "CHANNEL_OPEN"},
               {91, "CHANNEL_OPEN_CONFIRMATION"},
               {92, "CHANNEL_OPEN_FAILURE"},
               {93, "CHANNEL_WINDOW_ADJUST"},
               {94, "CHANNEL_DATA"},
               {95, "CHANNEL_EXTENDED_DATA"},
               {96, "CHANNEL_EOF"},
               {97, "CHANNEL_CLOSE"},
               {98, "CHANNEL_REQUEST"},
               {99, "CHANNEL_SUCCESS"},
               {100, "CHANNEL_FAILURE"}};
  out.clear();
  for (const auto &e : names) {
    if (e.n == n) {
      out.append(e.name);
      return;
    }
  }
  char buf[32];
  snprintf(buf, sizeof buf, "Unknown(%d)", n);
  out.append(buf);
}

void SshTransport::toSessionLog(const char *prefix, int value, const char *suffix) {
  StringBuffer v;
  v.append(value);
  toSessionLog(prefix, v.getString(), suffix);
}

void SshTransport::toSessionLog(const char *prefix, const char *text, const char *suffix) {
  if (!prefix || !text || !suffix) return;
  if (!keepSessionLog && !keepSshLog) return;
  // Consecutive data lines fold into one, whichever direction they went.
  bool data = strncasecmp(text, "CHANNEL_DATA", 12) == 0;
  // The text may come from the server (its identification, algorithm lists, a disconnect reason,
  // a request name): escaped, it cannot end the line early or forge lines of its own.
  StringBuffer safe;
  appendPeerText(safe, text, (unsigned int)strlen(text));
  for (auto [on, buf, cut] : {std::tuple{keepSessionLog, &sessionLog, &sessionLogCut},
                              std::tuple{keepSshLog, &sshLog, &sshLogCut}}) {
    if (!on) continue;
    if (data && buf->endsWith("CHANNEL_DATA\r\n")) {
      buf->shorten(2);
      buf->append("...\r\n");
      continue;
    }
    if (data && buf->endsWith("CHANNEL_DATA...\r\n")) continue;
    buf->append3(prefix, safe.getString(), suffix);
    if ((unsigned int)buf->getSize() > kMaxSessionLog) boundSessionLog(*buf, *cut);
  }
}

// Keeps the log's first half up to a line end and its last quarter from a line start, with one
// line between them that counts the lines left out (all of them since the first cut).
void SshTransport::boundSessionLog(StringBuffer &buf, SessionLogCut &cut) {
  static const char kMark[] = "TRAN* [";
  const char *d = buf.getString();
  const unsigned int size = (unsigned int)buf.getSize();
  // The log was emptied since the last cut (a new connection, or the caller cleared it).
  if (cut.markEnd == 0 || cut.markEnd > size ||
      std::strncmp(d + cut.headEnd, kMark, sizeof kMark - 1) != 0) {
    unsigned int head = kMaxSessionLog / 2;
    while (head > 0 && d[head - 1] != '\n')
      --head;
    cut = {head, head, 0};
  }
  unsigned int tail = size - kMaxSessionLog / 4;
  while (tail < size && d[tail - 1] != '\n')
    ++tail;
  for (unsigned int i = cut.markEnd; i < tail; ++i)
    cut.leftOut += d[i] == '\n';
  char mark[64];
  std::snprintf(mark, sizeof mark, "%s%llu lines left out]\r\n", kMark, cut.leftOut);
  StringBuffer kept;
  kept.appendN(d, (int)cut.headEnd);
  kept.append(mark);
  kept.appendN(d + tail, (int)(size - tail));
  cut.markEnd = cut.headEnd + (unsigned int)std::strlen(mark);
  buf.setString(kept);
}

bool SshTransport::checkDataAvailable(LogBase &log) {
  return socket.checkDataAvailable(log);
}
void SshTransport::setNoDelay(bool on) {
  socket.setNoDelay(on);
}
void SshTransport::forcefulClose(LogBase &log) {
  socket.CloseSocket(0, log);
}
void SshTransport::setTimeouts(unsigned int idleTimeoutMs, unsigned int connectTimeoutMs) {
  socket.SetIdleMsTimeout(idleTimeoutMs);
  socket.SetConnectMsTimeout(connectTimeoutMs);
}

// ---------------------------------------------------------------------------------------------
// Packets.

static void putBe32(unsigned int v, unsigned char *p) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

static unsigned int getBe32(const unsigned char *p) {
  return ((unsigned int)p[0] << 24) | ((unsigned int)p[1] << 16) | ((unsigned int)p[2] << 8) | p[3];
}

bool SshTransport::sendMessage(const char *msgName, DataBuffer &payload, ProgressMonitor *pm,
                               LogBase &log, bool verbose) {
  toSessionLog("TRAN> ", msgName, "\r\n");
  if (verbose) {
    log.EnterContext("sendMessage", true);
    log.LogData("msgName", msgName);
  }
  const bool chacha = activeCipherOut == kCipherChaCha20Poly1305;
  const bool aead = isAeadCipher(activeCipherOut);
  const bool etm = !aead && isEtmMac(activeMacOut);
  unsigned int block = 8;
  if ((activeCipherOut >= 1 && activeCipherOut <= 4) ||
      (activeCipherOut >= kCipherAes128Ctr && !chacha))
    block = 16;
  // Where the length travels in clear (or under a cipher of its own), the padding aligns the
  // rest of the packet.
  const unsigned int aad = (aead || etm) ? 4 : 0;
  unsigned int unpadded = payload.getSize() + 5 - aad;
  unsigned int remainder = unpadded % block;
  unsigned int pad = block - remainder;
  if (pad < 4) pad += block;
  unsigned int total = unpadded + aad + pad;
  if (verbose) {
    log.LogDataLong("unpaddedLength", (int)unpadded);
    log.LogDataLong("remainder", (int)remainder);
    log.LogDataLong("paddingLen", (int)pad);
    log.LogDataLong("totalSize", (int)total);
  }
  const unsigned int macLen = aead ? 16 : (activeMacOut != 0 ? (unsigned int)outMac.size() : 0);
  DataBuffer &pkt = outPacket;
  pkt.clear();
  if (!pkt.ensureBuffer(total + macLen)) {
    if (verbose) log.LeaveContext();
    return false;
  }
  unsigned char len[4];
  putBe32(total - 4, len);
  pkt.append(len, 4);
  pkt.appendChar((unsigned char)pad);
  pkt.append(payload);
  RazudodRand::randomBytes(pad, pkt);
  unsigned char *d = pkt.getData2();
  bool ok = pkt.getSize() == total;
  if (ok && chacha) {
    ok = outCipher.chachaSeal(outSeqNum, d, total, d + total);
  } else if (ok && aead) {
    ok = outCipher.gcmSeal(d, total, d + total);
  } else if (ok) {
    if (activeMacOut != 0 && !etm) ok = outMac.compute(outSeqNum, d, total, d + total);
    const unsigned int from = etm ? 4 : 0;
    if (ok && activeCipherOut >= kCipherAes128Ctr) {
      ok = outCipher.ctr(d + from, total - from);
    } else if (ok && activeCipherOut != 0) {
      DataBuffer plain, wire;
      plain.append(d + from, total - from);
      outCrypt.put_FirstChunk(outCipherRestart);
      outCrypt.put_LastChunk(false);
      outCipherRestart = false;
      outCrypt.encrypt(plain, wire, pm, log);
      plain.secureClear();
      if (wire.getSize() != total - from) {
        log.LogError("Size of encrypted data changed!");
        log.LogDataLong("unencryptedPacketSize", (int)(total - from));
        log.LogDataLong("encryptedPacketSize", (int)wire.getSize());
        toSessionLog("TRAN* ", "Failed to encrypt.", "\r\n");
        if (verbose) log.LeaveContext();
        return false;
      }
      memcpy(d + from, wire.getData2(), total - from);
    }
    if (ok && etm) ok = outMac.compute(outSeqNum, d, total, d + total);
  }
  if (!ok) {
    log.LogError("Failed to encrypt.");
    toSessionLog("TRAN* ", "Failed to encrypt.", "\r\n");
    if (verbose) log.LeaveContext();
    return false;
  }
  pkt.setDataSize_CAUTION(total + macLen);
  // The whole packet in one call: pieces of 4096 bytes cost a call (and an abort check) each.
  ok = socket.SendBytes(pkt, 2000000, heartbeatMs, log, pm);
  ++outSeqNum;
  if (!ok) toSessionLog("TRAN* ", "Failed to send.", "\r\n");
  if (verbose) log.LeaveContext();
  return ok;
}

void SshTransport::closeBroken() {
  LogNull nolog;
  socket.CloseSocket(0, nolog);
  readConnectionClosed = true;
}

bool SshTransport::readRawPacket(DataBuffer &payload, unsigned int idleTimeoutMs,
                                 ProgressMonitor *pm, LogBase &log, bool verbose) {
  readTimedOut = readAborted = readSocketError = readConnectionClosed = false;
  payload.clear();
  if (activeCipherIn >= kCipherAes128Ctr || isEtmMac(activeMacIn)) {
    unsigned int savedIdle = socket.get_IdleMsTimeout();
    if (idleTimeoutMs) socket.SetIdleMsTimeout(idleTimeoutMs);
    bool ok = readModernPacket(payload, pm, log);
    socket.SetIdleMsTimeout(savedIdle);
    return ok;
  }
  unsigned int savedIdle = socket.get_IdleMsTimeout();
  if (idleTimeoutMs) socket.SetIdleMsTimeout(idleTimeoutMs);
  unsigned int first = inBlockSize < 4 ? 4 : inBlockSize;
  DataBuffer raw;
  unsigned int got = 0;
  raw.ensureBuffer(first);
  bool ok = socket.ReceiveNBytes(raw.getData2(), first, heartbeatMs, log, pm, got, readTimedOut,
                                 readAborted, readSocketError, readConnectionClosed);
  socket.SetIdleMsTimeout(savedIdle);
  if (!ok) {
    // Part of a packet consumed: the stream is out of step.
    if (got > 0) closeBroken();
    if (!readTimedOut) log.LogError("Failed to read data on SSH connection.");
    if (readAborted) log.LogError("Aborted by application AbortCheck callback.");
    return false;
  }
  raw.setDataSize_CAUTION(first);
  DataBuffer plain;
  if (activeCipherIn != 0) {
    if (verbose) log.LogInfo("Decrypting first block of message..");
    inCrypt.put_FirstChunk(inCipherRestart);
    if (inCipherRestart && verbose) log.LogInfo("This is the 1st block after the key exchange.");
    inCipherRestart = false;
    inCrypt.put_LastChunk(false);
    inCrypt.decrypt(raw, plain, log);
    if (verbose) {
      StringBuffer hex;
      hex.appendSmallDataAsSpacedHexString(plain.getData2(), (int)plain.getSize());
      toSessionLog("TRAN* Packet start: ", hex.getString(), "\r\n");
    }
    if (plain.getSize() != first) {
      log.LogError("Size of decrypted packet length changed!");
      closeBroken();
      return false;
    }
  } else {
    plain.append(raw);
  }
  if (plain.getSize() == 0) {
    log.LogError("First block is empty.");
    return false;
  }
  unsigned int idx = 0, packetLen = 0;
  parseUint32(plain, idx, packetLen);
  if (verbose) {
    log.LogDataLong("packetLen", (int)packetLen);
    toSessionLog("TRAN* packetLen: ", (int)packetLen, "\r\n");
  }
  // A length the peer controls is bounded before anything is read for it: too short a packet
  // would pull in the next one, too long a one would make us buffer without limit.
  unsigned int align = inBlockSize < 8 ? 8 : inBlockSize;
  if (packetLen > kMaxPacketLength || packetLen < 12 || (packetLen + 4) % align != 0) {
    log.LogError("Invalid packet length.");
    log.LogDataLong("packetLen", (int)packetLen);
    toSessionLog("TRAN* ", "ERROR: Invalid packet length.", "\r\n");
    closeBroken();
    return false;
  }
  if (packetLen > first - 4) {
    DataBuffer rest;
    if (!socket.ReadN(packetLen + 4 - first, rest, heartbeatMs, log, pm, readTimedOut, readAborted,
                      readSocketError, readConnectionClosed)) {
      closeBroken();
      if (readAborted) log.LogError("Aborted by application AbortCheck callback.");
      log.LogError("Failed to read more data on SSH connection.");
      return false;
    }
    if (activeCipherIn != 0) {
      DataBuffer dec;
      inCrypt.put_FirstChunk(false);
      inCrypt.put_LastChunk(false);
      inCrypt.decrypt(rest, dec, log);
      if (dec.getSize() != rest.getSize()) {
        log.LogError("Size of decrypted packet changed!");
        closeBroken();
        return false;
      }
      plain.append(dec);
    } else {
      plain.append(rest);
    }
  }
  lastInSeqNum = inSeqNum++;
  if (activeMacIn != 0) {
    unsigned int macLen = (unsigned int)inMac.size();
    DataBuffer mac;
    if (!socket.ReadN(macLen, mac, heartbeatMs, log, pm, readTimedOut, readAborted, readSocketError,
                      readConnectionClosed)) {
      toSessionLog("TRAN* ",
                   activeMacIn == 1 ? "Failed to read SHA1 MAC" : "Failed to read MD5 MAC", "\r\n");
      closeBroken();
      log.LogError(activeMacIn == 1 ? "Failed to read HMAC_SHA1" : "Failed to read HMAC_MD5");
      if (readAborted) log.LogError("Aborted by application AbortCheck callback.");
      return false;
    }
    unsigned char expected[64];
    // Compared in constant time, so the comparison tells an attacker nothing.
    if (mac.getSize() != macLen ||
        !inMac.compute(lastInSeqNum, plain.getData2(), plain.getSize(), expected) ||
        !sshConstantTimeEquals(mac.getData2(), expected, macLen)) {
      log.LogError("MAC verification failed.");
      log.LogDataLong("seqNum", (int)lastInSeqNum);
      toSessionLog("TRAN* ", "ERROR: MAC verification failed.", "\r\n");
      closeBroken();
      return false;
    }
  }
  unsigned int bodyLen = plain.getSize() - 4;
  if (bodyLen < 12) {
    log.LogError("Packet smaller than minimum size.");
    log.LogDataLong("packetLen", (int)bodyLen);
    toSessionLog("TRAN* ", "ERROR: Packet smaller than minimum size.", "\r\n");
    return false;
  }
  const unsigned char *body = plain.getData2() + 4;
  unsigned int pad = body[0];
  if (pad < 4) {
    log.LogError("Packet padding too short.");
    closeBroken();
    return false;
  }
  if (pad + 1 >= bodyLen) {
    log.LogError("Payload is empty");
    return false;
  }
  payload.append(body + 1, bodyLen - pad - 1);
  return true;
}

// A packet under one of the newer ciphers, or under an encrypt-then-MAC: the length is read
// (in clear, or under its own key for ChaCha20), bounded, then the rest and the tag or MAC, which
// is checked before anything is decrypted (counter mode with a plain MAC decrypts first, as it
// must). Everything happens in one buffer kept from packet to packet.
bool SshTransport::readModernPacket(DataBuffer &payload, ProgressMonitor *pm, LogBase &log) {
  const bool chacha = activeCipherIn == kCipherChaCha20Poly1305;
  const bool aead = isAeadCipher(activeCipherIn);
  const bool gcm = aead && !chacha;
  const bool etm = !aead && isEtmMac(activeMacIn);
  const bool ownLength = chacha || gcm || etm; // the length is not part of the encrypted body
  const unsigned int block = inBlockSize < 8 ? 8 : inBlockSize;
  const unsigned int tagLen = aead ? 16 : (activeMacIn != 0 ? (unsigned int)inMac.size() : 0);
  const unsigned int first = ownLength ? 4 : block;
  DataBuffer &buf = inPacket;
  buf.clear();
  if (!buf.ensureBuffer(first)) return false;
  unsigned int got = 0;
  if (!socket.ReceiveNBytes(buf.getData2(), first, heartbeatMs, log, pm, got, readTimedOut,
                            readAborted, readSocketError, readConnectionClosed)) {
    if (got > 0) closeBroken();
    if (!readTimedOut) log.LogError("Failed to read data on SSH connection.");
    if (readAborted) log.LogError("Aborted by application AbortCheck callback.");
    return false;
  }
  // Counted as content, so that growing the buffer for the rest keeps these bytes.
  buf.setDataSize_CAUTION(first);
  unsigned char lenBytes[4];
  bool ok = true;
  if (chacha)
    ok = inCipher.chachaLength(inSeqNum, buf.getData2(), lenBytes);
  else if (ownLength)
    memcpy(lenBytes, buf.getData2(), 4);
  else if (activeCipherIn >= kCipherAes128Ctr)
    ok = inCipher.ctr(buf.getData2(), first) && (memcpy(lenBytes, buf.getData2(), 4), true);
  else {
    // A legacy cipher under encrypt-then-MAC never comes here without ownLength.
    ok = false;
  }
  unsigned int packetLen = ok ? getBe32(lenBytes) : 0;
  // A length the peer controls is bounded before anything is read for it.
  unsigned int aligned = ownLength ? packetLen : packetLen + 4;
  if (!ok || packetLen > kMaxPacketLength || packetLen < (ownLength ? 8u : 12u) ||
      aligned % block != 0) {
    log.LogError("Invalid packet length.");
    log.LogDataLong("packetLen", (int)packetLen);
    toSessionLog("TRAN* ", "ERROR: Invalid packet length.", "\r\n");
    closeBroken();
    return false;
  }
  const unsigned int total = 4 + packetLen + tagLen;
  if (!buf.ensureBuffer(total)) {
    closeBroken();
    return false;
  }
  unsigned char *d = buf.getData2();
  if (!socket.ReceiveNBytes(d + first, total - first, heartbeatMs, log, pm, got, readTimedOut,
                            readAborted, readSocketError, readConnectionClosed)) {
    closeBroken();
    if (readAborted) log.LogError("Aborted by application AbortCheck callback.");
    log.LogError("Failed to read more data on SSH connection.");
    return false;
  }
  const unsigned int seq = inSeqNum;
  lastInSeqNum = inSeqNum++;
  unsigned char *tag = d + 4 + packetLen;
  unsigned char expected[64];
  if (chacha) {
    ok = inCipher.chachaOpen(seq, d, 4 + packetLen, tag);
  } else if (gcm) {
    ok = inCipher.gcmOpen(d, 4 + packetLen, tag);
  } else if (etm) {
    ok = tagLen == 0 || (inMac.compute(seq, d, 4 + packetLen, expected) &&
                         sshConstantTimeEquals(expected, tag, tagLen));
    if (ok && activeCipherIn >= kCipherAes128Ctr) {
      ok = inCipher.ctr(d + 4, packetLen);
    } else if (ok) {
      DataBuffer enc, dec;
      enc.append(d + 4, packetLen);
      inCrypt.put_FirstChunk(inCipherRestart);
      inCipherRestart = false;
      inCrypt.put_LastChunk(false);
      inCrypt.decrypt(enc, dec, log);
      ok = dec.getSize() == packetLen;
      if (ok) memcpy(d + 4, dec.getData2(), packetLen);
      dec.secureClear();
    }
  } else {
    ok = inCipher.ctr(d + first, 4 + packetLen - first) &&
         (tagLen == 0 || (inMac.compute(seq, d, 4 + packetLen, expected) &&
                          sshConstantTimeEquals(expected, tag, tagLen)));
  }
  if (!ok) {
    log.LogError("MAC verification failed.");
    log.LogDataLong("seqNum", (int)seq);
    toSessionLog("TRAN* ", "ERROR: MAC verification failed.", "\r\n");
    closeBroken();
    return false;
  }
  unsigned int pad = d[4];
  if (pad < 4) {
    log.LogError("Packet padding too short.");
    closeBroken();
    return false;
  }
  if (pad + 1 >= packetLen) {
    log.LogError("Payload is empty");
    return false;
  }
  payload.append(d + 5, packetLen - pad - 1);
  return true;
}

void SshTransport::queuePayload(DataBuffer &payload, LogBase &log, bool verbose, int calledFrom) {
  if (verbose) {
    StringBuffer name;
    msgTypeName((int)msgType(payload), name);
    log.LogInfo("Queuing payload...");
    log.LogData("queuedMsgType", name.getString());
    log.LogDataLong("calledFrom", calledFrom);
    toSessionLog("TRAN* ", "queuing payload...", "\r\n");
  }
  DataBuffer *copy = new DataBuffer();
  copy->append(payload);
  queuedMessages.append(copy);
  unsigned int t = msgType(payload);
  if (t != 94 && t != 95) queuedControlBytes += payload.getSize();
}

void SshTransport::dropQueued(int index) {
  DataBuffer *m = (DataBuffer *)queuedMessages.removeAt(index);
  if (!m) return;
  unsigned int t = msgType(*m);
  if (t != 94 && t != 95)
    queuedControlBytes -= m->getSize() < queuedControlBytes ? m->getSize() : queuedControlBytes;
  delete m;
}

void SshTransport::dropAllQueued() {
  queuedMessages.removeAllObjects();
  queuedControlBytes = 0;
}

void SshTransport::channelOpened(SshChannel &ch) {
  openChannels[ch.clientChannelNum] = &ch;
}

// ---------------------------------------------------------------------------------------------
// Channel control messages.

static bool sendChannelMsg(SshTransport &t, unsigned char type, SshChannel &ch, const char *name,
                           const unsigned int *extra, ProgressMonitor *pm, LogBase &log,
                           bool verbose) {
  DataBuffer msg;
  msg.appendChar(type);
  SshTransport::pack_uint32(ch.serverChannelNum, msg);
  if (extra) SshTransport::pack_uint32(*extra, msg);
  return t.sendMessage(name, msg, pm, log, verbose);
}

bool SshTransport::sendReqWindowAdjust(SshChannel &ch, ProgressMonitor *pm, LogBase &log,
                                       bool verbose) {
  unsigned int add = ch.initialWindowSize - ch.m_curClientWinSize;
  ch.m_curClientWinSize = ch.initialWindowSize;
  if (!sendChannelMsg(*this, 93, ch, "WINDOW_ADJUST", &add, pm, log, verbose)) {
    log.LogError("Error sending window-adjust request");
    return false;
  }
  return true;
}

bool SshTransport::sendChannelFailure(SshChannel &ch, ProgressMonitor *pm, LogBase &log,
                                      bool verbose) {
  if (!sendChannelMsg(*this, 100, ch, "CHANNEL_FAILURE", nullptr, pm, log, verbose)) {
    log.LogError("Error sending CHANNEL_FAILURE message");
    return false;
  }
  return true;
}

bool SshTransport::channelSendClose(SshChannel &ch, ProgressMonitor *pm, LogBase &log,
                                    bool verbose) {
  if (ch.sentClose) {
    log.LogError("Sending CHANNEL_CLOSE again?");
    log.LogDataLong("channelNum", (int)ch.clientChannelNum);
  }
  if (!sendChannelMsg(*this, 97, ch, "CHANNEL_CLOSE", nullptr, pm, log, verbose)) {
    log.LogError("Error sending CLOSE");
    return false;
  }
  ch.sentClose = true;
  log.LogInfo("Sent SSH Channel CLOSE");
  toSessionLog("TRAN* svrChannel=", (int)ch.serverChannelNum, "\r\n");
  return true;
}

bool SshTransport::sendIgnoreMsg(DataBuffer &data, ProgressMonitor *pm, LogBase &log,
                                 bool verbose) {
  if (verbose) log.LogInfo("Sending IGNORE message.");
  DataBuffer msg;
  msg.appendChar(2);
  pack_db(data, msg);
  if (!sendMessage("IGNORE", msg, pm, log, verbose)) {
    log.LogError("Error sending IGNORE message");
    return false;
  }
  return true;
}

bool SshTransport::sendUnimplemented(unsigned int seq, ProgressMonitor *pm, LogBase &log,
                                     bool verbose) {
  DataBuffer msg;
  msg.appendChar(3);
  pack_uint32(seq, msg);
  return sendMessage("UNIMPLEMENTED", msg, pm, log, verbose);
}
