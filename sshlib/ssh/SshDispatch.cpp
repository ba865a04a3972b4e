// The message dispatcher: reads until the caller's message arrives, serving on the way every
// message that needs no caller. The read loop takes one packet at a time and hands it to the
// handler of its class; the handler says whether the call ends.
#include <strings.h>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/TickSource.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

namespace {
// KEXINIT, NEWKEYS and the messages of the key exchange methods.
bool isKexMessage(unsigned int t) {
  return t == 20 || t == 21 || (t >= 30 && t <= 49);
}

// What a handler tells the read loop.
enum class Next { ReadOn, EndTrue, EndFalse };

// One call of the dispatcher: what the caller waits for, what it gets back, and the message in
// hand.
class Dispatch {
public:
  Dispatch(SshTransport &tr, int waitCode, SshChannel *channel, bool &eofReceived,
           bool &closeReceived, DataBuffer &out, unsigned int &outType, bool &disconnectReceived,
           ProgressMonitor *pm, LogBase &log, SocketReadFailInfo &failInfo, bool &satisfied,
           bool verbose)
      : tr(tr), waitCode(waitCode), channel(channel), eofReceived(eofReceived),
        closeReceived(closeReceived), out(out), outType(outType),
        disconnectReceived(disconnectReceived), pm(pm), log(log), failInfo(failInfo),
        satisfied(satisfied), verbose(verbose) {}

  Next handle(DataBuffer &message, unsigned int type, const StringBuffer &typeName) {
    msg = &message;
    t = type;
    name = &typeName;
    chNum = SshTransport::parseChannelNum(message);
    isChannelMsg = t >= 91 && t <= 100;
    forGiven = channel && isChannelMsg && chNum == channel->clientChannelNum;
    target = forGiven ? channel : nullptr;
    if (isChannelMsg && !forGiven) {
      auto open = tr.openChannels.find(chNum);
      if (open == tr.openChannels.end()) return channelNotOpen();
      target = open->second;
    }
    return (this->*handlerFor(t))();
  }

private:
  using Handler = Next (Dispatch::*)();

  static Handler handlerFor(unsigned int type) {
    if (isKexMessage(type)) return &Dispatch::keyExchange;
    switch (type) {
    case 1:
      return &Dispatch::disconnect;
    case 2:
      return &Dispatch::readOn;
    case 3:
      return &Dispatch::unimplemented;
    case 4:
      return &Dispatch::debug;
    case 6:
      return &Dispatch::serviceAccept;
    case 7:
      return &Dispatch::extInfo;
    case 51:
    case 52:
      return &Dispatch::authReply;
    case 53:
      return &Dispatch::banner;
    case 60:
      return &Dispatch::pkOk;
    case 80:
      return &Dispatch::globalRequest;
    case 91:
    case 92:
      return &Dispatch::openReply;
    case 93:
      return &Dispatch::windowAdjust;
    case 94:
      return &Dispatch::channelData;
    case 95:
      return &Dispatch::extendedData;
    case 96:
      return &Dispatch::channelEof;
    case 97:
      return &Dispatch::channelClose;
    case 98:
      return &Dispatch::channelRequest;
    case 99:
    case 100:
      return &Dispatch::requestReply;
    default:
      return &Dispatch::unexpected;
    }
  }

  // The caller reads exactly one message: the first that satisfied the wait.
  void hold() {
    if (satisfied) return;
    out.append(*msg);
    outType = t;
    satisfied = true;
  }
  // The caller's message: the call ends, unless a key exchange is still running. Channel data
  // that comes after the held message while the exchange runs waits in the queue for the
  // caller's next read: a server may go on sending while we re-key.
  Next finish() {
    if (satisfied && t == 94 && !setAside(16)) return tooManySetAside();
    hold();
    return tr.rekeyRunning ? Next::ReadOn : Next::EndTrue;
  }
  // Served here; a caller that takes any message (99) gets it too.
  Next readOn() {
    if (pm && pm->get_Aborted()) return Next::EndFalse;
    if (waitCode == 99 && !isKexMessage(t)) {
      hold();
      if (!tr.rekeyRunning) return Next::EndTrue;
    }
    return Next::ReadOn;
  }
  // Between our KEXINIT and our NEWKEYS only transport and key-exchange messages may go out.
  bool mayAnswer() const { return !tr.rekeyRunning || tr.rekeyNewKeysSent; }
  // Sends an answer of the connection layer now, or holds it until our NEWKEYS is out. A server
  // that asks for more answers than an exchange holds does not wait for them: the session ends.
  Next answer(const char *what, DataBuffer &payload, const char *sendError) {
    if (mayAnswer()) {
      if (tr.sendMessage(what, payload, pm, log, verbose)) return Next::ReadOn;
      if (sendError) log.LogError(sendError);
      return Next::EndFalse;
    }
    if (tr.heldReplies.size() >= SshTransport::kMaxHeldReplies)
      return endSession("The server made too many requests during a key exchange.");
    tr.heldReplies.emplace_back(
        what, std::string((const char *)payload.getData2(), (size_t)payload.getSize()));
    return Next::ReadOn;
  }
  bool sendHeldReplies() {
    std::vector<std::pair<std::string, std::string>> held;
    held.swap(tr.heldReplies);
    for (auto &[what, bytes] : held) {
      DataBuffer payload;
      payload.append(bytes.data(), (unsigned int)bytes.size());
      if (!tr.sendMessage(what.c_str(), payload, pm, log, verbose)) return false;
    }
    return true;
  }
  static void channelMessage(unsigned char type, unsigned int serverChannel, DataBuffer &out) {
    out.appendChar(type);
    SshTransport::pack_uint32(serverChannel, out);
  }

  // A message the server may not send, or one too many: the session ends here (the two sides
  // are out of step), with the error that says what was refused.
  Next endSession(const char *why) {
    if (why) {
      log.LogError(why);
      log.LogData("msgType", name->getString());
      tr.toSessionLog("TRAN* ERROR: ", why, "\r\n");
    }
    tr.rekeyRunning = false;
    tr.rekeyAwaiting = 0;
    tr.socket.CloseSocket(0, log);
    failInfo.connectionClosed = 1;
    return Next::EndFalse;
  }

  bool waitsForChannelData() const { return waitCode == 3 || waitCode == 4 || waitCode == 99; }
  // Keeps the message for a later read (channel data within its window, anything else within
  // the queue's bounds); false when it would pass them.
  bool setAside(int calledFrom) {
    bool data = t == 94 || t == 95;
    if (tr.queuedMessages.getSize() >= SshTransport::kMaxQueuedMessages ||
        (!data && tr.queuedControlBytes + msg->getSize() > SshTransport::kMaxQueuedControlBytes))
      return false;
    tr.queuePayload(*msg, log, verbose, calledFrom);
    return true;
  }
  Next tooManySetAside() {
    log.LogDataLong("numQueuedMsgs", tr.queuedMessages.getSize());
    return endSession("Too many messages are waiting for a later read.");
  }
  Next queue(int calledFrom) { return setAside(calledFrom) ? readOn() : tooManySetAside(); }

  // Channel data counts against the window we granted as it arrives, whether it is returned,
  // held or queued: the server may not send more than that before we grant more. False (and
  // the session ended) when it does not fit.
  bool dataArrived(unsigned int header) {
    unsigned int n = msg->getSize() > header ? msg->getSize() - header : 0;
    SshChannel &c = *target;
    unsigned int room =
        c.m_curClientWinSize > c.m_unreadBytes ? c.m_curClientWinSize - c.m_unreadBytes : 0;
    if (n <= room) {
      c.m_unreadBytes += n;
      return true;
    }
    log.LogDataLong("numBytes", (int)n);
    log.LogDataLong("windowSize", (int)room);
    endSession("Server sent more data than the channel window allows.");
    return false;
  }

  Next channelNotOpen() {
    // Never opened: queuing it would keep it for ever.
    log.LogError("Received a message for a channel that is not open.");
    log.LogDataLong("channelNum", (int)chNum);
    log.LogData("msgType", name->getString());
    return readOn();
  }

  Next channelData() {
    if (!dataArrived(9)) return Next::EndFalse;
    if (channel && (waitCode == 3 || waitCode == 99)) {
      if (forGiven) {
        if (verbose) {
          log.LogDataLong("payloadMsgType", (int)t);
          log.LogDataLong("payloadLen", (int)msg->getSize());
          if (msg->getSize() <= 1999) log.LogDataHex("payload", msg->getData2(), msg->getSize());
          tr.toSessionLog("TRAN* payload size: ", (int)msg->getSize(), "\r\n");
        }
        return finish();
      }
      return queue(2);
    }
    return queue(1);
  }

  Next extendedData() {
    if (!dataArrived(13)) return Next::EndFalse;
    if (channel && waitsForChannelData()) {
      if (forGiven) {
        if (verbose) log.LogInfo("Returning extended data...(1)");
        return finish();
      }
      if (verbose) log.LogInfo("Queueing extended data...(2)");
      return queue(4);
    }
    if (verbose) log.LogInfo("Queueing extended data...(1)");
    return queue(3);
  }

  Next serviceAccept() {
    if (waitCode == 1) return finish();
    log.LogInfo("Received unexpected SERVICE_ACCEPT message.");
    return readOn();
  }

  Next openReply() {
    if (forGiven) return waitCode == 5 ? finish() : readOn();
    return queue(t == 91 ? 5 : 6);
  }

  Next pkOk() {
    if (waitCode == 7 || waitCode == 8) return finish();
    log.LogError("Received unexpected SSH2_MSG_USERAUTH_PK_OK message");
    return readOn();
  }

  Next authReply() {
    if (waitCode == 7 || waitCode == 8) return finish();
    // Every request of ours is answered before the next is made: a reply outside one answers
    // nothing, and nothing would ever take it.
    return endSession("Received a user-authentication reply outside an authentication request.");
  }

  Next unimplemented() {
    log.LogInfo("[SSH] Received UNIMPLEMENTED message");
    if (waitCode == 1) {
      hold();
      return tr.rekeyRunning ? Next::ReadOn : Next::EndFalse;
    }
    return readOn();
  }

  Next debug() {
    log.LogInfo("[SSH] Received DEBUG message");
    return readOn();
  }

  Next channelClose() {
    if (channel && verbose) {
      log.LogInfo("Received CHANNEL CLOSE from server.");
      log.LogDataLong("serverChannelNum", (int)channel->serverChannelNum);
      log.LogDataLong("clientChannelNum", (int)channel->clientChannelNum);
      log.LogDataLong("targetChannelNum", (int)chNum);
    }
    if (forGiven) {
      channel->receivedClose = true;
      closeReceived = true;
      if (!channel->sentClose) {
        if (!mayAnswer()) {
          DataBuffer close;
          channelMessage(97, channel->serverChannelNum, close);
          channel->sentClose = true;
          if (Next n = answer("CHANNEL_CLOSE", close, nullptr); n != Next::ReadOn) return n;
        } else if (!tr.channelSendClose(*channel, pm, log, verbose)) {
          return Next::EndFalse;
        }
        if (pm && pm->get_Aborted()) return Next::EndFalse;
      }
      return waitsForChannelData() ? finish() : readOn();
    }
    return queue(channel ? 7 : 8);
  }

  Next channelEof() {
    if (forGiven) {
      channel->receivedEof = true;
      eofReceived = true;
      if (!waitsForChannelData()) return readOn();
      if (tr.rekeyRunning) log.LogInfo("Waiting for re-key to complete.");
      return finish();
    }
    return queue(channel ? 9 : 10);
  }

  Next channelRequest() {
    log.LogInfo("Received CHANNEL REQUEST message");
    unsigned int reqCh = 0;
    StringBuffer reqType;
    if (!SshTransport::parseChannelRequest2(*msg, reqCh, reqType)) {
      log.LogError("Failed to parse CHANNEL_REQUEST");
      return readOn();
    }
    unsigned int idx = 1 + 4 + 4 + (unsigned int)reqType.getSize();
    bool wantReply = false;
    SshTransport::parseBool(*msg, idx, wantReply);
    logPeerText(log, "requestType", reqType);
    tr.toSessionLog("TRAN* Request Type: ", reqType.getString(), "\r\n");
    tr.toSessionLog("TRAN* Channel: ", (int)reqCh, "\r\n");
    if (reqType.equals("exit-status")) {
      if (forGiven) {
        channel->receivedExitStatus = true;
        unsigned int n = 0;
        StringBuffer ty;
        SshTransport::parseExitStatus2(*msg, n, ty, channel->exitStatus);
        log.LogDataLong("exitStatusCode", (int)channel->exitStatus);
      } else if (!setAside(11)) {
        return tooManySetAside();
      }
    } else if (wantReply) {
      // Nothing we run asks for channel requests: every one that wants an answer is refused
      // (keep-alive probes included), and none that does not want one is answered.
      unsigned int serverChannel = target->serverChannelNum;
      if (reqType.containsSubstringNoCase("keepalive@openssh.com")) {
        DataBuffer empty;
        if (!tr.sendIgnoreMsg(empty, pm, log, verbose)) return Next::EndFalse;
      }
      DataBuffer failure;
      channelMessage(100, serverChannel, failure);
      if (Next n = answer("CHANNEL_FAILURE", failure, "Error sending CHANNEL_FAILURE message");
          n != Next::ReadOn)
        return n;
    }
    return readOn();
  }

  Next requestReply() {
    if (forGiven) return waitCode == 6 ? finish() : readOn();
    if (t == 99) {
      log.LogDataLong("requestedChannelNum", (int)chNum);
      if (channel) log.LogDataLong("clientChannelNum", (int)channel->clientChannelNum);
      log.LogDataLong("payloadLen", (int)msg->getSize());
      log.LogDataHex("payloadBytes", msg->getData2(), msg->getSize() < 256 ? msg->getSize() : 256);
    }
    return queue(t == 99 ? 12 : 13);
  }

  Next windowAdjust() {
    unsigned int idx = 1, num = 0, add = 0;
    if (SshTransport::parseUint32(*msg, idx, num) && SshTransport::parseUint32(*msg, idx, add)) {
      // Applied to its channel whichever the caller reads: one set aside would never be read.
      // A window beyond 2^32-1 bytes saturates instead of wrapping to a small one.
      target->m_curServerWinSize = add > 0xFFFFFFFFu - target->m_curServerWinSize
                                       ? 0xFFFFFFFFu
                                       : target->m_curServerWinSize + add;
    }
    if (waitCode != 9) return readOn();
    satisfied = true;
    return tr.rekeyRunning ? Next::ReadOn : Next::EndTrue;
  }

  Next disconnect() {
    disconnectReceived = true;
    log.LogInfo("Received DISCONNECT message");
    if (SshTransport::parseDisconnect(*msg, tr.disconnectCode, tr.disconnectReason, log)) {
      logPeerText(log, "DisconnectReason", tr.disconnectReason);
      tr.toSessionLog("TRAN* Reason: ", tr.disconnectReason.getString(), "\r\n");
    }
    failInfo.connectionClosed = 1;
    tr.socket.CloseSocket(0, log);
    return Next::EndFalse;
  }

  // The server's extensions (RFC 8308): the signature algorithms it takes for a login.
  Next extInfo() {
    log.LogInfo("[SSH] Received EXT_INFO");
    if (!tr.parseExtInfo(*msg, log)) log.LogInfo("EXT_INFO could not be read in full.");
    return readOn();
  }

  Next banner() {
    log.LogInfo("[SSH] Received USERAUTH_BANNER");
    XString language;
    SshTransport::parseBannerMsg(*msg, tr.userAuthBanner, language, log);
    return readOn();
  }

  Next globalRequest() {
    log.LogInfo("[SSH] Received GLOBAL_REQUEST");
    XString reqName;
    bool wantReply = false;
    if (SshTransport::parseGlobalRequest(*msg, reqName, wantReply, log)) {
      logPeerText(log, "GlobalRequestName", reqName.getUtf8());
      log.LogDataLong("WantReply", wantReply ? 1 : 0);
      if (wantReply) {
        DataBuffer reply;
        reply.appendChar(82);
        if (Next n = answer("SSH2_MSG_REQUEST_FAILURE", reply,
                            "Error sending SSH2_MSG_REQUEST_FAILURE message to server");
            n != Next::ReadOn)
          return n;
      }
    }
    return readOn();
  }

  // Every key exchange message goes through the exchange's steps, which refuse one that comes
  // out of its place: a failed or broken exchange leaves the two sides out of step, and keys
  // put back in force would be used with nonces used before.
  Next keyExchange() {
    bool wasSatisfied = satisfied;
    if (!tr.rekeyStep(*msg, pm, log, verbose)) return endSession(nullptr);
    if (mayAnswer() && !sendHeldReplies()) return Next::EndFalse;
    if (t == 21) {
      if (wasSatisfied) {
        log.LogInfo("Return condition previously satisfied, got the REKEY we were waiting "
                    "for...");
        return Next::EndTrue;
      }
      log.LogInfo("Return condition still not satisfied...");
      log.LogDataLong("returnCondition", waitCode);
    }
    return readOn();
  }

  Next unexpected() {
    log.LogInfo("Received unexpected SSH message");
    log.LogData("msgType", name->getString());
    if (name->beginsWith("Unknown(") && !tr.sendUnimplemented(tr.lastInSeqNum, pm, log, verbose))
      return Next::EndFalse;
    // Ending the call in the middle of a key exchange would let the caller send before the
    // exchange is over.
    return tr.rekeyRunning ? Next::ReadOn : Next::EndTrue;
  }

  SshTransport &tr;
  const int waitCode;
  SshChannel *const channel;
  bool &eofReceived;
  bool &closeReceived;
  DataBuffer &out;
  unsigned int &outType;
  bool &disconnectReceived;
  ProgressMonitor *const pm;
  LogBase &log;
  SocketReadFailInfo &failInfo;
  bool &satisfied;
  const bool verbose;

  // The message in hand.
  DataBuffer *msg = nullptr;
  unsigned int t = 0;
  const StringBuffer *name = nullptr;
  unsigned int chNum = 0;
  bool isChannelMsg = false;
  bool forGiven = false;        // a channel message for the caller's channel
  SshChannel *target = nullptr; // the open channel a channel message is for
};
} // namespace

bool SshTransport::rekeyStep(DataBuffer &msg, ProgressMonitor *pm, LogBase &log, bool verbose) {
  unsigned int t = msgType(msg);
  // The exchange's algorithm is the one this KEXINIT chooses, once it is parsed.
  auto gexNow = [this] { return isGexKex(kexAlgorithm); };
  bool gex = gexNow();
  if (t == 20 && (!rekeyRunning || rekeyAwaiting != 21)) {
    log.LogInfo("Received key exchange init message");
    if (rekeyRunning) {
      // Ours is out already and one KEXINIT a side is all an exchange has: a server that
      // repeats its own before it has read ours gets no second one. The server signs the
      // exchange with the last KEXINIT it sent, so that one takes the place of the first.
      log.LogInfo("Key exchange already under way: the repeated KEXINIT is not answered.");
      serverKexInit.clear();
      serverKexInit.append(msg);
      return true;
    }
    if (!sendKexInit(pm, log, verbose)) return false;
    rekeyRunning = true;
    rekeyNewKeysSent = false;
    if (!parseKexInit(msg, log)) return false;
    calcKeyExchangeNumBits(rekeyNumBits, rekeyPbits);
    log.LogDataLong("numBits", (int)rekeyNumBits);
    log.LogDataLong("pbits", (int)rekeyPbits);
    // The group of a group exchange comes first, then the reply.
    rekeyAwaiting = 31;
    if (gexNow()) {
      rekeyReplyNum = 33;
      return sendGexRequest(rekeyPbits, pm, log, verbose);
    }
    rekeyReplyNum = 31;
    return sendFixedKexInit(rekeyNumBits, pm, log, verbose);
  }
  // Every other message of an exchange has one place in it: the one the exchange waits for.
  if (!rekeyRunning || t != rekeyAwaiting) {
    StringBuffer name;
    msgTypeName((int)t, name);
    const char *what;
    if (t == 21)
      what = rekeyRunning ? "Received NEWKEYS before the key exchange was complete."
                          : "Received NEWKEYS outside a key exchange.";
    else
      what = rekeyRunning ? "Received a key exchange message out of its place in the exchange."
                          : "Received a key exchange message outside a key exchange.";
    log.LogError(what);
    log.LogData("msgType", name.getString());
    toSessionLog("TRAN* ERROR: ", what, "\r\n");
    return false;
  }
  if (t == 31 && gex && rekeyReplyNum == 33) {
    log.LogInfo("Received KEX_DH_GEX_GROUP");
    rekeyAwaiting = 33;
    return takeGexGroup(msg, log) && sendDhE(32, rekeyNumBits, pm, log, verbose);
  }
  if (t == 31 || t == 33) {
    if (!handleDhReply(msg, t, rekeyPbits, true, log, verbose)) return false;
    log.LogInfo("[SSH] Sending newkeys to server...");
    if (!sendNewKeys(pm, log, verbose)) return false;
    rekeyNewKeysSent = true;
    rekeyAwaiting = 21;
    log.LogInfo("Expecting newkeys from server...");
    return true;
  }
  // NEWKEYS, after the reply was verified and our own NEWKEYS sent.
  log.LogInfo("[SSH] Received newkeys message");
  toSessionLog("TRAN* ", "SSH Key Exchange Success.", "\r\n");
  log.LogInfo("SSH Key Exchange Success.");
  rekeyRunning = false;
  rekeyAwaiting = 0;
  return installIncomingKeys(log);
}

bool SshTransport::generalizedRead(int waitCode, unsigned int idleTimeoutMs,
                                   unsigned int readTimeoutMs, SshChannel *channel,
                                   bool &eofReceived, bool &closeReceived, DataBuffer &out,
                                   unsigned int &outType, bool &disconnectReceived,
                                   ProgressMonitor *pm, LogBase &log, SocketReadFailInfo &failInfo,
                                   bool &satisfied, bool verbose) {
  outType = 0;
  failInfo.clear();
  out.clear();
  eofReceived = closeReceived = disconnectReceived = satisfied = false;
  unsigned int start = TickSource::now();
  Dispatch dispatch(*this, waitCode, channel, eofReceived, closeReceived, out, outType,
                    disconnectReceived, pm, log, failInfo, satisfied, verbose);
  // Kept from call to call: a transfer reads one packet a call. Nothing the handlers do reads
  // through here again.
  DataBuffer &msg = dispatchBuf;

  for (;;) {
    msg.clear();
    if (readTimeoutMs) {
      unsigned int now = TickSource::now();
      if (now > start && now - start > readTimeoutMs) {
        log.LogError("ReadTimeoutMs exceeded.");
        log.LogDataLong("ReadTimeoutMs", (int)readTimeoutMs);
        failInfo.clear();
        failInfo.timedOut = 1;
        return false;
      }
    }
    if (!readRawPacket(msg, idleTimeoutMs, pm, log, verbose)) {
      copyReadFlags(failInfo);
      if (!readTimedOut && !readAborted) log.LogError("Failed to read packet from SSH server.");
      return false;
    }
    if (pm && pm->get_Aborted()) return false;
    if (msg.getSize() == 0) {
      log.LogError("Payload is empty!");
      return false;
    }
    unsigned int t = msgType(msg);
    StringBuffer name;
    msgTypeName((int)t, name);
    toSessionLog("TRAN< ", name.getString(), "\r\n");
    if (verbose) log.LogData("mType", name.getString());

    switch (dispatch.handle(msg, t, name)) {
    case Next::ReadOn:
      break;
    case Next::EndTrue:
      return true;
    case Next::EndFalse:
      return false;
    }
  }
}
