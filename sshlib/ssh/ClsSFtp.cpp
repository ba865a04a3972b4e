// The SFTP session: connect, authenticate, open the "sftp" channel and agree a version; the SFTP
// packet layer over the channel; the read-failure rule that drops a dead connection.
#include "sshlib/ssh/ClsSFtp.h"

#include <unistd.h>

#include <algorithm>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/ssh/ClsSFtpOp.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

ClsSFtp::ClsSFtp() {
  uploadPerf.m_direction = 1;
  downloadPerf.m_direction = 2;
}

ClsSFtp::~ClsSFtp() {
  dropTransport();
  clearCache();
}

void ClsSFtp::dropTransport() {
  if (transport) {
    SessionLog.setString(transport->sessionLog);
    // A file open that loses its connection still logs what it saw.
    if (transport->keepSshLog) droppedSshLog.setString(transport->sshLog);
    delete transport;
  }
  delete sftpChannel;
  transport = nullptr;
  sftpChannel = nullptr;
  isAuthenticated = sftpInitialized = false;
  clearReceived();
  handleTable = std::make_unique<HashMap>(400);
  unansweredCloses.clear();
  limitsRequestId = 0;
}

void ClsSFtp::Disconnect() {
  SftpOp op(*this, "Disconnect", nullptr);
  if (transport) transport->socket.CloseSocket(0, m_log);
  dropTransport();
  op.done(true);
}

void ClsSFtp::put_TcpNoDelay(bool v) {
  TcpNoDelay = v;
  if (transport) transport->setNoDelay(v);
}

void ClsSFtp::put_KeepSessionLog(bool v) {
  KeepSessionLog = v;
  if (transport) transport->keepSessionLog = v;
}

void ClsSFtp::put_HeartbeatMs(int v) {
  HeartbeatMs = v < 0 ? 0 : (unsigned int)v;
  if (transport) transport->heartbeatMs = HeartbeatMs;
}

void ClsSFtp::put_ClientIpAddress(XString &v) {
  ClientIpAddress = v.getUtf8();
  if (transport) transport->setClientIp(ClientIpAddress.c_str());
}

void ClsSFtp::get_SessionLog(XString &out) const {
  out.setFromUtf8(transport ? transport->sessionLog.getString() : SessionLog.getString());
}

void ClsSFtp::ClearSessionLog() {
  SessionLog.clear();
  if (transport) transport->sessionLog.clear();
}

void ClsSFtp::enterContext(const char *name) {
  enterContextBase(name);
  if (transport) logPeerText(m_log, "SshVersion", transport->serverIdent);
  m_log.LogDataLong("SftpVersion", ProtocolVersion);
}

void ClsSFtp::logObjectId() {
  m_log.LogDataInt64("RazudodObjectID", (long long)getObjectId64());
}

void ClsSFtp::get_HostKeyFingerprint(StringBuffer &out) const {
  out.clear();
  if (transport) out.setString(transport->hostKeyFingerprint);
}

// A failed guard closes the caller's log context itself: the operation's record ends with what
// was missing, and the caller's frame only returns.
bool ClsSFtp::checkConnected() {
  if (transport) return true;
  refuseInGuard("Must first connect to the SSH server.");
  return false;
}

bool ClsSFtp::checkChannel() {
  if (!checkConnected()) return false;
  if (!sftpChannel) {
    refuseInGuard("Must first have an open SFTP channel (by calling InitializeSftp).");
    return false;
  }
  return true;
}

void ClsSFtp::refuseInGuard(const char *why) {
  m_log.LogError(why);
  m_log.LeaveContext();
  guardLeftContext = true;
}

bool ClsSFtp::checkInitialized() {
  if (sftpInitialized) return true;
  m_log.LogError("The InitializeSftp method must first be called successfully.");
  m_log.LogError("If InitializeSftp was called, make sure it returns a success status.");
  return false;
}

void ClsSFtp::handleReadFailure(SocketReadFailInfo &fi, bool disconnectReceived) {
  if (!transport) {
    m_log.LogError("No SSH connection...");
    return;
  }
  if (disconnectReceived) {
    DisconnectCode = transport->disconnectCode;
    DisconnectReason.setString(transport->disconnectReason);
    dropTransport();
    m_log.LogError("Received SSH disconnect.");
    m_log.LogDataLong("disconnectCode", (int)DisconnectCode);
    logPeerText(m_log, "disconnectReason", DisconnectReason);
    return;
  }
  if (fi.connectionClosed || fi.socketError || !transport->socket.isConnected) {
    m_log.LogError("Socket connection lost, channel closed.");
    dropTransport();
    return;
  }
  m_log.LogError("SSH read failed...");
}

void ClsSFtp::dropOutOfStep() {
  if (!transport) return;
  SocketReadFailInfo fi;
  fi.connectionClosed = 1;
  transport->socket.CloseSocket(0, m_log);
  handleReadFailure(fi, false);
}

void ClsSFtp::closeSession(const char *why) {
  if (!transport) return;
  m_log.LogError(why);
  dropOutOfStep();
}

bool ClsSFtp::Connect(XString &host, int port, ProgressEvent *ev) {
  clearReceived();
  for (int attempt = 0;; ++attempt) {
    ProgressMonitorPtr pmp(ev, 0);
    if (connect2(host, port, pmp.getPm())) return true;
    StringBuffer text;
    m_log.getText(text);
    bool retry = (text.containsSubstring("Mocana SSH") &&
                  text.containsSubstring("Invalid PKCS v1.5 PS separator")) ||
                 (text.containsSubstring("mod_sftp") &&
                  text.containsSubstring("Invalid r/s in DSA signature validation"));
    if (!retry || attempt > 2) return false;
    usleep(500 * 1000);
  }
}

bool ClsSFtp::connect2(XString &hostIn, int port, ProgressMonitor *pm) {
  enterCriticalSection();
  enterContextBase("Connect");
  logObjectId();
  std::string host = hostIn.getUtf8();
  if (host.rfind("sftp://", 0) == 0) host = host.substr(7);
  m_log.LogData("hostname", host.c_str());
  m_log.LogDataLong("port", port);
  dropTransport();
  InitializeFailCode = DisconnectCode = 0;
  InitializeFailReason.clear();
  DisconnectReason.clear();
  transport = new SshTransport();
  transport->setClientIp(ClientIpAddress.c_str());
  transport->heartbeatMs = HeartbeatMs;
  transport->keepSessionLog = KeepSessionLog;
  transport->setTimeouts(IdleTimeoutMs, ConnectTimeoutMs);
  transport->hostname.setString(host.c_str());
  transport->port = (unsigned int)port;
  transport->clientIdent.setString(ClientIdentifier.c_str());
  transport->preferredHostKeyType = PreferredHostKeyType;
  // The whole set-up (TCP, identification, key exchange and then authentication) ends within
  // the connect time, however slowly the server trickles its bytes: each byte would restart an
  // idle timer.
  transport->socket.setDeadline(ConnectTimeoutMs);
  SocketReadFailInfo fi;
  bool ok = transport->sshConnect(*this, this, pm, m_log, fi, VerboseLogging);
  if (!ok) {
    dropTransport();
  } else {
    // The socket exists only now.
    if (TcpNoDelay) transport->setNoDelay(true);
    DataBuffer empty;
    ok = transport->sendIgnoreMsg(empty, pm, m_log, VerboseLogging);
  }
  logSuccessFailure(ok);
  m_log.LeaveContext();
  leaveCriticalSection();
  return ok;
}

bool ClsSFtp::authenticate(XString &login, XString *password, bool withKey, ClsSshKey *key,
                           ProgressMonitor *pm) {
  if (!checkConnected()) return false;
  if (isAuthenticated) {
    m_log.LogError("Already authenticated.");
    return false;
  }
  if (withKey && password) PasswordChangeRequested = false;
  m_log.LogData("login", login.getUtf8());
  SocketReadFailInfo fi;
  bool ok;
  if (!withKey) {
    ok = transport->sshAuthenticatePw(login, *password, pm, m_log, fi, VerboseLogging,
                                      PasswordChangeRequested);
  } else {
    if (!key) {
      m_log.LogError("SSH Key is NULL");
      return false;
    }
    if (!key->hasKey()) {
      m_log.LogError("The SSH key object did not contain a loaded private key.");
      return false;
    }
    if (!key->get_IsPrivateKey()) {
      m_log.LogError("Requires a private key, not a public key.");
      return false;
    }
    ok = transport->sshAuthenticatePk(login, password ? password->getUtf8() : nullptr, *key, pm,
                                      m_log, fi, VerboseLogging);
  }
  if (ok) {
    isAuthenticated = true;
    transport->socket.clearDeadline();
  } else if (fi.connectionClosed || fi.socketError || !transport->socket.isConnected) {
    m_log.LogError("Socket connection lost.");
    dropTransport();
  }
  return ok;
}

bool ClsSFtp::AuthenticatePw(XString &login, XString &password, ProgressEvent *ev) {
  SftpOp op(*this, "AuthenticatePw", ev);
  logObjectId();
  PasswordChangeRequested = false;
  return op.done(authenticate(login, &password, false, nullptr, op.pm()));
}

bool ClsSFtp::AuthenticatePk(XString &login, ClsSshKey *key, ProgressEvent *ev) {
  SftpOp op(*this, "AuthenticatePk", ev);
  return op.done(authenticate(login, nullptr, true, key, op.pm()));
}

bool ClsSFtp::AuthenticatePwPk(XString &login, XString &password, ClsSshKey *key,
                               ProgressEvent *ev) {
  SftpOp op(*this, "AuthenticatePwPk", ev);
  return op.done(authenticate(login, &password, true, key, op.pm()));
}

bool ClsSFtp::InitializeSftp(ProgressEvent *ev) {
  SftpOp op(*this, "InitializeSftp", ev);
  logObjectId();
  if (!checkConnected()) return op.done(false);
  if (!isAuthenticated) {
    m_log.LogError("Not yet authenticated.  Call AuthenticatePw or AuthenticatePk prior to "
                   "calling InitialilzeSftp.  Make sure the authenticate method returns a "
                   "success status.");
    return op.done(false);
  }
  ProgressMonitor *pm = op.pm();
  sftpInitialized = false;
  if (sftpChannel) transport->channelForgotten(sftpChannel->clientChannelNum);
  delete sftpChannel;
  clearReceived();
  unansweredCloses.clear();
  limitsRequestId = serverReadSize = serverWriteSize = 0;
  sftpChannel = new SshChannel();
  sftpChannel->clientChannelNum = nextChannelNum++;
  sftpChannel->channelType.setString("session");
  sftpChannel->initialWindowSize = channelInitialWindow;
  sftpChannel->maxPacketSize = MaxPacketSize;
  int replyType = 0;
  bool disc = false;
  SocketReadFailInfo fi;
  bool ok = transport->openChannel(*sftpChannel, replyType, InitializeFailCode,
                                   InitializeFailReason, pm, m_log, disc, fi, VerboseLogging);
  if (!ok) {
    delete sftpChannel;
    sftpChannel = nullptr;
    handleReadFailure(fi, disc);
  } else {
    m_log.LogInfo("Session channel successfully opened.");
    m_log.LogDataLong("ChannelNum", (int)sftpChannel->clientChannelNum);
    m_log.LogDataLong("ServerChannelNum", (int)sftpChannel->serverChannelNum);
    XString sub;
    sub.setFromUtf8("sftp");
    ok = transport->sendReqSubsystem(*sftpChannel, sub, pm, m_log, disc, fi, VerboseLogging);
    if (!ok) handleReadFailure(fi, disc);
  }
  unsigned int asked = 6;
  bool offersLimits = false;
  if (ok) {
    if (ForceV3) {
      asked = 3;
      m_log.LogInfo("Using SFTP v3 because of ForceV3 property.");
    } else if (transport->serverIdent.beginsWith("SSH-2.0-VShell")) {
      asked = 3;
      m_log.LogInfo("Using SFTP v3 for VShell server...");
    }
    DataBuffer init;
    SshTransport::pack_uint32(asked, init);
    unsigned int id = 0;
    ok = sendPacket(1, init, id, pm);
    if (ok) m_log.LogInfo("Sent FXP_INIT");
  }
  if (ok) {
    DataBuffer pkt;
    unsigned char type = 0;
    unsigned int version = 0;
    if (!readPacket1(pkt, type, version, pm)) {
      m_log.LogError("Failed to receive FXP_VERSION");
      ok = false;
    } else if (type != 2) {
      m_log.LogError("Expected SSH_FXP_VERSION.");
      m_log.LogDataLong("packetType", type);
      ok = false;
    } else {
      if (version < 3) {
        m_log.LogInfo("Server indicated a version less than 3.  Forcing version to 3.");
        version = 3;
      }
      // The version in force is the lower of what we asked and what the server has.
      ProtocolVersion = (int)(version < asked ? version : asked);
      m_log.LogDataLong("ServerVersion", (int)version);
      transport->toSessionLog("SFTP< Received ", "SSH_FXP_VERSION", "\r\n");
      unsigned int idx = 9;
      for (;;) {
        StringBuffer name, data;
        if (!SshTransport::parseString(pkt, idx, name) || name.getSize() == 0 ||
            !SshTransport::parseString(pkt, idx, data))
          break;
        extensionNames.emplace_back(name.getString());
        extensionData.emplace_back(data.getString());
        logPeerText(m_log, "extensionName", name);
        logPeerText(m_log, "extensionData", data);
        if (name.equalsIgnoreCase("filename-charset")) FilenameCharset.setString(data);
        if (name.equals("limits@openssh.com")) offersLimits = true;
      }
    }
  }
  // The server's limits are asked without waiting: the answer is taken when it comes, before
  // the first transfer needs it, and costs no round trip.
  if (ok && offersLimits) {
    DataBuffer req;
    SshTransport::pack_string("limits@openssh.com", req);
    unsigned int id = 0;
    if (sendPacket(200, req, id, pm)) limitsRequestId = id;
  }
  if (FilenameCharset.getSize() == 0 && ProtocolVersion == 3 && transport &&
      transport->serverIdent.beginsWith("SSH-2.0-Sun_SSH"))
    FilenameCharset.setString("ansi");
  sftpInitialized = ok;
  return op.done(ok);
}

// ---- The packet layer.

bool ClsSFtp::sendPacket(unsigned char type, const DataBuffer &payload, unsigned int &requestId,
                         ProgressMonitor *pm) {
  if (!transport || !sftpChannel) return false;
  DataBuffer pkt;
  bool init = type == 1;
  unsigned int len = 1 + (init ? 0 : 4) + payload.getSize();
  SshTransport::pack_uint32(len, pkt);
  pkt.appendChar(type);
  if (!init) {
    requestId = nextRequestId++;
    SshTransport::pack_uint32(requestId, pkt);
  }
  lastRequestId = init ? 0 : requestId;
  pkt.append(payload);
  if (transport->channelSendData(*sftpChannel, pkt.getData2(), pkt.getSize(), MaxPacketSize, pm,
                                 m_log, VerboseLogging))
    return true;
  // Part of the packet may have gone out: nothing that follows could be framed right.
  closeSession("Failed to send an SFTP packet; the session is closed.");
  return false;
}

bool ClsSFtp::fillInBuf(ProgressMonitor *pm) {
  if (inPos > 0 && inPos * 2 >= inBuf.getSize()) {
    inBuf.removeHead(inPos);
    inPos = 0;
  }
  bool eof = false, close = false, disc = false;
  SocketReadFailInfo fi;
  unsigned int before = inBuf.getSize();
  bool ok = transport->readChannelData(*sftpChannel, inBuf, eof, close, pm, m_log, disc, fi,
                                       VerboseLogging);
  if (ok && inBuf.getSize() > before) return true;
  if (ok && close) {
    m_log.LogError("Received Close");
    m_log.LogError("Server closed the channel.");
  } else if (ok && eof) {
    m_log.LogError("Received EOF");
  } else if (!ok) {
    handleReadFailure(fi, disc);
  }
  // A read that ended without its reply (time-out, abort, end of the channel) leaves a request
  // unanswered: its late reply would be taken for the answer to the next request. The session
  // ends here, at once, rather than after another request and another full time-out.
  closeSession("The SFTP session is closed: a request was left unanswered.");
  return false;
}

void ClsSFtp::clearReceived() {
  inBuf.clear();
  inPos = 0;
  pendingPackets.clear();
}

bool ClsSFtp::splitPendingPackets() {
  for (;;) {
    unsigned int avail = inBuf.getSize() - inPos;
    const unsigned char *p = inBuf.getData2() + inPos;
    if (avail < 4) break;
    unsigned int len = (unsigned)p[0] << 24 | (unsigned)p[1] << 16 | (unsigned)p[2] << 8 | p[3];
    if (len == 0 || len > kMaxSftpPacket) {
      m_log.LogError("SFTP packet length out of bounds.");
      m_log.LogDataLong("packetLength", (int)len);
      dropOutOfStep();
      return false;
    }
    if (avail - 4 < len) break;
    pendingPackets.emplace_back();
    pendingPackets.back().append(p, len + 4);
    inPos += len + 4;
  }
  if (inPos == inBuf.getSize()) {
    inBuf.clear();
    inPos = 0;
  }
  return true;
}

bool ClsSFtp::readPacket1(DataBuffer &packet, unsigned char &type, unsigned int &version,
                          ProgressMonitor *pm) {
  return readPacket2(packet, type, version, pm);
}

bool ClsSFtp::readPacket2(DataBuffer &packet, unsigned char &type, unsigned int &requestId,
                          ProgressMonitor *pm) {
  packet.clear();
  type = 0;
  requestId = 0;
  for (;;) {
    if (!transport || !sftpChannel) {
      m_log.LogError("Disconnected.");
      return false;
    }
    if (pendingPackets.empty() && !splitPendingPackets()) return false;
    if (pendingPackets.empty()) {
      if (!fillInBuf(pm)) return false;
      continue;
    }
    packet.takeData(pendingPackets.front());
    pendingPackets.pop_front();
    type = packet.getData2()[4];
    unsigned int idx = 5;
    SshTransport::parseUint32(packet, idx, requestId);
    if (type != 2 && limitsRequestId && requestId == limitsRequestId) {
      takeLimits(type, packet);
      packet.clear();
      type = 0;
      requestId = 0;
      continue;
    }
    auto late = std::find(unansweredCloses.begin(), unansweredCloses.end(), requestId);
    if (type == 2 || late == unansweredCloses.end()) return true; // 2: VERSION
    // The answer to a CLOSE sent without waiting: taken off here, the caller reads on.
    unansweredCloses.erase(late);
    unsigned int code = 0;
    idx = 9;
    if (type != 101) {
      m_log.LogError("Unexpected response to FXP_CLOSE");
      dropOutOfStep();
      return false;
    }
    if (!SshTransport::parseUint32(packet, idx, code) || code != 0)
      logStatusResponse("FXP_CLOSE", packet);
    packet.clear();
    type = 0;
    requestId = 0;
  }
}

bool ClsSFtp::readReply(unsigned int id, DataBuffer &reply, unsigned char &type,
                        ProgressMonitor *pm) {
  unsigned int rid = 0;
  if (!readPacket2(reply, type, rid, pm)) return false;
  if (rid == id) return true;
  m_log.LogError("Received a reply to another request.");
  m_log.LogDataLong("requestId", (int)rid);
  m_log.LogDataLong("expectedRequestId", (int)id);
  closeSession("The SFTP session is closed: the server's replies are out of step.");
  reply.clear();
  type = 0;
  return false;
}

unsigned char ClsSFtp::exchange(unsigned char type, const DataBuffer &payload, DataBuffer &reply,
                                const char *noReplyText, ProgressMonitor *pm) {
  unsigned int id = 0;
  unsigned char replyType = 0;
  if (!sendPacket(type, payload, id, pm)) return 0;
  if (!readReply(id, reply, replyType, pm)) {
    m_log.LogError(noReplyText);
    return 0;
  }
  return replyType;
}

bool ClsSFtp::parseHandle(const DataBuffer &reply, DataBuffer &raw, LogBase &log) {
  unsigned int idx = 9;
  if (!SshTransport::parseBinaryString(reply, idx, raw, log)) {
    log.LogError("Failed to parse HANDLE message.");
    return false;
  }
  // The protocol allows no handle longer than 256 bytes; one that is longer is refused before it
  // is stored or sent back.
  if (raw.getSize() > kMaxHandleBytes) {
    log.LogError("The server sent a handle longer than 256 bytes.");
    log.LogDataLong("handleLength", (int)raw.getSize());
    return false;
  }
  return true;
}

bool ClsSFtp::takeHandle(const DataBuffer &reply, XString &handle, const std::string &dirPath) {
  DataBuffer raw;
  if (!parseHandle(reply, raw, m_log)) return false;
  StringBuffer hex;
  raw.toHexString(hex);
  m_log.LogData("handle", hex.getString());
  addHandle(hex.getString(), dirPath);
  handle.setFromUtf8(hex.getString());
  return true;
}

void ClsSFtp::addHandle(const std::string &handleText, const std::string &dirPath) {
  auto *rec = new SftpLastRead;
  rec->dirPath = dirPath;
  handleTable->hashInsert(StringBuffer(handleText.c_str()), rec);
}

namespace {
// Bytes of a STATUS message kept for the log.
constexpr unsigned int kMaxStatusMessage = 4096;
} // namespace

void ClsSFtp::parseStatusMessage(const DataBuffer &packet, StringBuffer &message) {
  message.clear();
  unsigned int idx = 13, len = 0;
  if (!SshTransport::parseUint32(packet, idx, len)) return;
  unsigned int avail = packet.getSize() - idx;
  unsigned int n = std::min({len, avail, kMaxStatusMessage});
  message.appendN((const char *)packet.getData2() + idx, (int)n);
  if (n < len) message.append("...");
}

void ClsSFtp::logStatusResponse(const char *requestName, const DataBuffer &packet) {
  unsigned int idx = 9, code = 0;
  SshTransport::parseUint32(packet, idx, code);
  StringBuffer msg;
  parseStatusMessage(packet, msg);
  logStatusResponse(requestName, code, msg);
}

void ClsSFtp::logStatusResponse(const char *requestName, unsigned int code,
                                const StringBuffer &message) {
  m_log.EnterContext("StatusResponse", true);
  m_log.LogData("Request", requestName);
  m_log.LogDataLong("StatusCode", (int)code);
  logPeerText(m_log, "StatusMessage", message);
  m_log.LeaveContext();
}

void ClsSFtp::takeLimits(unsigned char type, const DataBuffer &packet) {
  limitsRequestId = 0;
  // EXTENDED_REPLY: uint64 packet, read, write and open-handle limits; 0 means no limit. Only a
  // limit below what the transfers ask changes anything.
  long long limit[3] = {0, 0, 0};
  unsigned int idx = 9;
  if (type != 201 || !SshTransport::parseInt64(packet, idx, limit[0]) ||
      !SshTransport::parseInt64(packet, idx, limit[1]) ||
      !SshTransport::parseInt64(packet, idx, limit[2]))
    return;
  auto take = [](long long v) { return v > 0 && v < 65536 ? (unsigned int)v : 0u; };
  serverReadSize = take(limit[1]);
  serverWriteSize = take(limit[2]);
}

bool ClsSFtp::readStatusResponse(const char *requestName, ProgressMonitor *pm) {
  DataBuffer pkt;
  unsigned char type = 0;
  if (!readReply(lastRequestId, pkt, type, pm)) {
    m_log.LogError("Failed to read expected status response.");
    return false;
  }
  if (type != 101) {
    m_log.LogError("Expected status response.");
    m_log.LogDataLong("packetType", type);
    return false;
  }
  unsigned int idx = 9, code = 1;
  if (SshTransport::parseUint32(pkt, idx, code) && code == 0) return true;
  logStatusResponse(requestName, pkt);
  return false;
}

bool ClsSFtp::packHandleOrFilename(XString &nameOrHandle, bool isHandle, DataBuffer &out) {
  if (isHandle) {
    DataBuffer raw;
    raw.appendEncoded(nameOrHandle.getUtf8(), "hex");
    SshTransport::pack_db(raw, out);
    return true;
  }
  // The same charset as every other request: a name sent as UTF-8 to a server that names
  // files in another charset would change another file or none.
  return packFilename(nameOrHandle, out);
}

bool ClsSFtp::packFilename(XString &name, DataBuffer &out) {
  if (SshTransport::pack_filename(name, FilenameCharset, out)) return true;
  // Nothing is sent: without the character the request would name another file.
  m_log.LogError("The name holds a character that the filename charset cannot carry.");
  logPeerText(m_log, "FilenameCharset", FilenameCharset);
  return false;
}

SftpLastRead *ClsSFtp::findHandle(XString &handle) {
  return static_cast<SftpLastRead *>(handleTable->hashLookup2(handle.getUtf8()));
}

const SftpLastRead *ClsSFtp::findHandle(XString &handle) const {
  return static_cast<const SftpLastRead *>(handleTable->hashLookup2(handle.getUtf8()));
}

bool ClsSFtp::Eof(XString &handle) const {
  const SftpLastRead *r = findHandle(handle);
  return r ? r->eof : true;
}

unsigned int ClsSFtp::LastReadNumBytes(XString &handle) const {
  const SftpLastRead *r = findHandle(handle);
  return r ? r->lastReadNumBytes : 0;
}

bool ClsSFtp::LastReadFailed(XString &handle) const {
  const SftpLastRead *r = findHandle(handle);
  return r ? r->lastReadFailed : true;
}
