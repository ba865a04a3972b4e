// The transport object, its binary packet layer, message names, session log and the channel
// control messages.
#include <cstdio>
#include <cstring>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/crypto/RazudodRand.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

SshTransport::SshTransport() {
  clientIdent.setString("SSH-2.0-RazudodSSH_2.0.0");
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
  // Consecutive data lines fold into one, whichever direction they went.
  bool data = strncasecmp(text, "CHANNEL_DATA", 12) == 0;
  for (auto [on, buf] : {std::pair{keepSessionLog, &sessionLog}, std::pair{keepSshLog, &sshLog}}) {
    if (!on) continue;
    if (data && buf->endsWith("CHANNEL_DATA\r\n")) {
      buf->shorten(2);
      buf->append("...\r\n");
      continue;
    }
    if (data && buf->endsWith("CHANNEL_DATA...\r\n")) continue;
    buf->append3(prefix, text, suffix);
  }
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

bool SshTransport::sendMessage(const char *msgName, DataBuffer &payload, ProgressMonitor *pm,
                               LogBase &log, bool verbose) {
  toSessionLog("TRAN> ", msgName, "\r\n");
  if (verbose) {
    log.EnterContext("sendMessage", true);
    log.LogData("msgName", msgName);
  }
  unsigned int block = (activeCipherOut >= 1 && activeCipherOut <= 4) ? 16 : 8;
  unsigned int unpadded = payload.getSize() + 5;
  unsigned int remainder = unpadded % block;
  unsigned int pad = block - remainder;
  if (pad < 4) pad += block;
  unsigned int total = unpadded + pad;
  if (verbose) {
    log.LogDataLong("unpaddedLength", (int)unpadded);
    log.LogDataLong("remainder", (int)remainder);
    log.LogDataLong("paddingLen", (int)pad);
    log.LogDataLong("totalSize", (int)total);
  }
  DataBuffer plain;
  pack_uint32(total - 4, plain);
  plain.appendChar((unsigned char)pad);
  plain.append(payload);
  RazudodRand::randomBytes(pad, plain);

  DataBuffer wire;
  if (activeCipherOut != 0) {
    outCrypt.put_FirstChunk(outCipherRestart);
    outCrypt.put_LastChunk(false);
    outCipherRestart = false;
    outCrypt.encrypt(plain, wire, pm, log);
    if (wire.getSize() != plain.getSize()) {
      log.LogError("Size of encrypted data changed!");
      log.LogDataLong("unencryptedPacketSize", (int)plain.getSize());
      log.LogDataLong("encryptedPacketSize", (int)wire.getSize());
      toSessionLog("TRAN* ", "Failed to encrypt.", "\r\n");
      if (verbose) log.LeaveContext();
      return false;
    }
  } else {
    wire.append(plain);
  }
  if (activeMacOut != 0) {
    DataBuffer macInput, mac;
    pack_uint32(outSeqNum, macInput);
    macInput.append(plain);
    outCrypt.HmacBytes(macInput, mac);
    wire.append(mac);
  }
  plain.secureClear();
  // The whole packet in one call: pieces of 4096 bytes cost a call (and an abort check) each.
  bool ok = socket.SendBytes(wire, 2000000, heartbeatMs, log, pm);
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
    unsigned int macLen = activeMacIn == 1 ? 20 : 16;
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
    DataBuffer macInput, expected;
    pack_uint32(lastInSeqNum, macInput);
    macInput.append(plain);
    inCrypt.HmacBytes(macInput, expected);
    // Compared in constant time, so the comparison tells an attacker nothing.
    unsigned char diff = expected.getSize() == macLen ? 0 : 1;
    for (unsigned int i = 0; i < macLen && i < expected.getSize(); ++i)
      diff |= (unsigned char)(mac.getData2()[i] ^ expected.getData2()[i]);
    if (diff != 0) {
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
