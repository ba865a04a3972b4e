// Connection set-up: TCP (direct or through a proxy), identification lines, the first key
// exchange and the switch to the negotiated keys.
#include <cstring>

#include "sshlib/core/DataLog.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/ProxySettings.h"
#include "sshlib/ssh/SshTransport.h"

bool SshTransport::isWeOnlyDo() const {
  return serverIdent.containsSubstring("WeOnlyDo");
}

bool SshTransport::isBitvise() const {
  StringBuffer product("Win");
  product.append("SSHD");
  return serverIdent.containsSubstring(product.getString());
}

void SshTransport::setClientIp(const char *text) {
  StringBuffer s(text ? text : "");
  s.trim2();
  s.replaceFirstOccurance("http://", "");
  s.removeCharOccurances('/');
  socket.bindIpAddress.setString(s);
}

bool SshTransport::readServerVersion(ProgressMonitor *pm, LogBase &log) {
  // The server may send other lines first; each line and their number are bounded.
  unsigned int savedMax = socket.maxLineLen;
  socket.maxLineLen = kMaxIdentLineLen;
  bool found = false;
  for (int lines = 0; lines <= kMaxPreIdentLines && !found; ++lines) {
    DataBuffer line;
    if (pm) pm->m_suspendConsume = true;
    bool ok = socket.ReadToNextEndOfLine(line, heartbeatMs, log, pm, true);
    if (pm) pm->m_suspendConsume = false;
    if (!ok) {
      log.LogError("Failed to read intial protocol version string");
      XString esc;
      DataLog::toEscapedString(line, esc, 76);
      log.LogData("bytesReceived", esc.getUtf8());
      socket.maxLineLen = savedMax;
      return false;
    }
    StringBuffer text;
    text.appendN((const char *)line.getData2(), (int)line.getSize());
    logPeerText(log, "initialDataFromSshServer", text);
    if (!text.beginsWith("SSH-")) continue;
    serverIdent.setString(text);
    if (serverIdent.containsSubstring("FlowSsh") || serverIdent.containsSubstring("XFB.Gateway")) {
      log.LogInfo(
          "Preference will be given to RSA host key algorithm for FlowSsh or XFB.Gateway...");
      preferRsaHostKey = true;
    }
    serverIdent.trimTrailingCRLFs();
    found = true;
  }
  socket.maxLineLen = savedMax;
  if (!found) log.LogError("Too many lines before the server's identification.");
  return found;
}

void SshTransport::copyReadFlags(SocketReadFailInfo &f) const {
  f.connectionClosed = readConnectionClosed;
  f.timedOut = readTimedOut;
  f.aborted = readAborted;
  f.socketError = readSocketError;
}

bool SshTransport::strictKexAllows(const DataBuffer &msg, LogBase &log) {
  // Under strict key exchange the first exchange carries nothing but its own messages: a
  // message slipped in would shift the sequence numbers the keys start from.
  const unsigned int type = msgType(msg);
  bool kexMessage = type == 20 || type == 21 || (type >= 30 && type <= 49);
  if (!strictKex || initialKexDone || kexMessage) return true;
  log.LogError("Unexpected message during strict key exchange.");
  log.LogDataLong("msgType", (int)type);
  // A server that gives up says why: that is what the person needs to read.
  if (type == 1 && parseDisconnect(msg, disconnectCode, disconnectReason, log)) {
    log.LogDataLong("disconnectCode", (int)disconnectCode);
    logPeerText(log, "disconnectReason", disconnectReason);
  }
  toSessionLog("TRAN* ", "ERROR: Unexpected message during strict key exchange.", "\r\n");
  closeBroken();
  return false;
}

bool SshTransport::readSkippingIgnore(DataBuffer &msg, bool skipDebug, LogBase &log, bool verbose) {
  for (;;) {
    if (!readRawPacket(msg, 0, nullptr, log, verbose)) return false;
    StringBuffer name;
    msgTypeName((int)msgType(msg), name);
    toSessionLog("TRAN< ", name.getString(), "\r\n");
    unsigned int t = msgType(msg);
    if (!strictKexAllows(msg, log)) return false;
    if (t == 2) {
      if (verbose) log.LogInfo("Received SSH2_MSG_IGNORE");
      continue;
    }
    if (t == 4 && skipDebug) {
      if (verbose) log.LogInfo("Received SSH2_MSG_DEBUG");
      continue;
    }
    return true;
  }
}

bool SshTransport::sshConnect(ClsSocksClient &socks, ClsHttpProxyClient *httpProxy,
                              ProgressMonitor *pm, LogBase &log, SocketReadFailInfo &failInfo,
                              bool verbose) {
  failInfo.clear();
  socket.CloseSocket(0, log);
  dropAllQueued();
  openChannels.clear();
  rekeyRunning = false;
  rekeyAwaiting = 0;
  heldReplies.clear();
  rekeyNewKeysSent = false;
  strictKex = false;
  initialKexDone = false;
  serverSigAlgs_.clear();

  bool nameFailed = false;
  int failReason = 0;
  bool connected;
  if (socks.get_SocksVersion() == 4) {
    connected = SocksClient::socks4Connect(socket, hostname.getString(), (int)port, nullptr,
                                           heartbeatMs, socket.get_ConnectTimeoutMs(), log,
                                           nameFailed, pm, failReason, socks);
  } else if (socks.get_SocksVersion() == 5) {
    connected = SocksClient::socks5Connect(socket, hostname.getString(), (int)port, nullptr,
                                           heartbeatMs, socket.get_ConnectTimeoutMs(), log,
                                           nameFailed, pm, failReason, socks);
  } else if (httpProxy && httpProxy->hasHttpProxy()) {
    connected = HttpProxyClient::httpProxyConnect(socket, hostname.getString(), (int)port, nullptr,
                                                  heartbeatMs, socket.get_ConnectTimeoutMs(), log,
                                                  nameFailed, pm, failReason, *httpProxy);
  } else {
    connected = socket.ConnectSocketWithHB2(hostname.getString(), (int)port, 0, heartbeatMs, log,
                                            nameFailed, pm);
  }
  if (!connected) {
    log.LogError("Failed to establish initial TCP/IP connection");
    return false;
  }
  log.LogInfo("Established TCP/IP connection with SSH server");
  sessionLog.clear();
  toSessionLog("TRAN* ", "Established TCP/IP connection with SSH server", "\r\n");

  StringBuffer ident(clientIdent);
  ident.append("\r\n");
  log.LogData("clientIdentifier", clientIdent.getString());
  if (pm) pm->m_suspendConsume = true;
  bool sent = socket.SendBytes2((const unsigned char *)ident.getString(),
                                (unsigned int)ident.getSize(), 400, heartbeatMs, log, pm);
  if (pm) pm->m_suspendConsume = false;
  if (!sent) {
    log.LogError("Failed to send intial protocol version string");
    return false;
  }
  toSessionLog("TRAN> ", clientIdent.getString(), "\r\n");

  if (!readServerVersion(pm, log)) return false;
  if (serverIdent.beginsWith("SSH-1") && !serverIdent.beginsWith("SSH-1.99")) {
    log.LogError("The older SSH v1.* protocol is not supported.");
    log.LogError("Razudod only implements the SSH v2.0 (or greater) protocol.");
    return false;
  }
  if (serverIdent.containsSubstring("F-SECURE")) {
    for (const char *v : {"2.1.0", "2.2.0", "2.3.0", "2.0.", "2.1 "}) {
      if (serverIdent.containsSubstring(v)) {
        log.LogInfo("Server has SSH-2 HMAC bug.");
        serverHasHmacBug = true;
        break;
      }
    }
  }
  toSessionLog("TRAN< ", serverIdent.getString(), "\r\n");
  logPeerText(log, "serverVersion", serverIdent);

  if (!sendKexInit(pm, log, verbose)) return false;
  DataBuffer msg;
  // A read failure tells the caller why through failInfo.
  auto readOrFail = [&](bool skipDebug, const char *failText) {
    if (readSkippingIgnore(msg, skipDebug, log, verbose)) return true;
    copyReadFlags(failInfo);
    log.LogError(failText);
    return false;
  };
  if (!readOrFail(true, "Failed to read 1st key exchange packet")) return false;
  if (!parseKexInit(msg, log)) return false;

  unsigned int numBits = 0, pbits = 0;
  calcKeyExchangeNumBits(numBits, pbits);
  log.LogDataLong("numBits", (int)numBits);
  log.LogDataLong("pbits", (int)pbits);
  unsigned char replyNum = 31;
  if (isGexKex(kexAlgorithm)) {
    log.LogInfo("Using GEX Group.");
    if (!sendGexRequest(pbits, pm, log, verbose)) return false;
    if (!readOrFail(false, "Failed to read KEX_DH_GEX_REQUEST response")) return false;
    if (msgType(msg) != 31) {
      log.LogError("Unexpected message received.  Expected KEX_DH_GEX_GROUP.");
      log.LogDataLong("msgType", (int)msgType(msg));
      return false;
    }
    if (!takeGexGroup(msg, log)) return false;
    log.LogInfo("Received GEX Group.");
    replyNum = 33;
    if (!sendDhE(32, numBits, pm, log, verbose)) return false;
  } else {
    if (kexAlgorithm == 1 || kexAlgorithm == 14)
      log.LogInfo(kexAlgorithm == 1 ? "Using Oakley Group 2." : "Using Oakley Group 14.");
    if (!sendFixedKexInit(numBits, pm, log, verbose)) return false;
  }
  log.LogInfo("Sent e to server.");
  for (;;) {
    if (!readRawPacket(msg, 0, nullptr, log, verbose)) {
      copyReadFlags(failInfo);
      log.LogError("Failed to read e response");
      return false;
    }
    StringBuffer name;
    msgTypeName((int)msgType(msg), name);
    toSessionLog("TRAN< ", name.getString(), "\r\n");
    if (!strictKexAllows(msg, log)) return false;
    if (msgType(msg) != 2) break;
    log.LogInfo("Received IGNORE while waiting for e.");
  }
  if (msgType(msg) != replyNum) {
    log.LogError("Unexpected message received.");
    log.LogDataLong("expected", replyNum);
    log.LogDataLong("msgType", (int)msgType(msg));
    return false;
  }
  if (!handleDhReply(msg, replyNum, pbits, false, log, verbose)) return false;

  log.LogInfo("Sending newkeys to server...");
  if (!sendNewKeys(pm, log, verbose)) return false;
  log.LogInfo("Expecting newkeys from server...");
  if (!readOrFail(false, "Failed to read newkeys response")) return false;
  if (msgType(msg) != 21) {
    log.LogError("Expected newkeys message");
    log.LogDataLong("received", (int)msgType(msg));
    return false;
  }
  toSessionLog("TRAN* ", "SSH Key Exchange Success.", "\r\n");
  log.LogInfo("SSH Key Exchange Success.");
  bool ok = installIncomingKeys(log);
  initialKexDone = true;
  return ok;
}

bool SshTransport::handleDhReply(DataBuffer &msg, unsigned int replyMsgType, unsigned int pbits,
                                 bool rekey, LogBase &log, bool verbose) {
  unsigned int idx = 1;
  serverHostKeyBlob.clear();
  serverSignature.clear();
  RazudodBignum::freebn(serverDhPublic);
  serverDhPublic = nullptr;
  if (isEcKex(kexAlgorithm)) {
    serverEcPublic.clear();
    if (!parseBinaryString(msg, idx, serverHostKeyBlob, log) ||
        !parseBinaryString(msg, idx, serverEcPublic, log) ||
        !parseBinaryString(msg, idx, serverSignature, log)) {
      log.LogError("Failed to parse server host key.");
      return false;
    }
    // A point off the curve, a value of the wrong size or a zero result is refused.
    if (!ecKex.derive(serverEcPublic.getData2(), serverEcPublic.getSize(), kexSharedK)) {
      log.LogError("The server's key exchange value is not acceptable.");
      return false;
    }
  } else {
    if (!parseBinaryString(msg, idx, serverHostKeyBlob, log) ||
        !(serverDhPublic = parseBignum(msg, idx, log)) ||
        !parseBinaryString(msg, idx, serverSignature, log)) {
      log.LogError("Failed to parse server host key.");
      return false;
    }
    // f must lie strictly between 1 and p-1, and K must not be 0 or 1.
    if (!dh.find_K(serverDhPublic)) {
      log.LogError("The server's Diffie-Hellman value is not acceptable.");
      return false;
    }
  }
  if (!computeExchangeHash(replyMsgType, pbits, log, verbose)) {
    log.LogError("Failed to compute the exchange hash.");
    return false;
  }
  if (!rekey) {
    sessionId.clear();
    sessionId.append(exchangeHash);
  }
  if (!verifyHostKey(rekey, log, verbose)) return false;
  if (!rekey) {
    firstHostKeyBlob.clear();
    firstHostKeyBlob.append(serverHostKeyBlob);
  } else if (!serverHostKeyBlob.equals(firstHostKeyBlob)) {
    log.LogError("The server presented a different host key in a re-key.");
    return false;
  }
  return calculateKeys(log);
}
