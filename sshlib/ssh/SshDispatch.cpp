// The message dispatcher: reads until the caller's message arrives, serving on the way every
// message that needs no caller.
#include <strings.h>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/TickSource.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

namespace {
bool isKexMessage(unsigned int t) {
  return t == 20 || t == 21 || t == 30 || t == 31 || t == 32 || t == 33;
}
} // namespace

bool SshTransport::rekeyStep(DataBuffer &msg, ProgressMonitor *pm, LogBase &log, bool verbose) {
  unsigned int t = msgType(msg);
  bool gex = kexAlgorithm == 160 || kexAlgorithm == 256;
  if (t == 20) {
    log.LogInfo("Received key exchange init message");
    if (!sendKexInit(pm, log, verbose)) return false;
    rekeyRunning = true;
    if (!parseKexInit(msg, log)) return false;
    calcKeyExchangeNumBits(rekeyNumBits, rekeyPbits);
    log.LogDataLong("numBits", (int)rekeyNumBits);
    log.LogDataLong("pbits", (int)rekeyPbits);
    if (kexAlgorithm == 160 || kexAlgorithm == 256) {
      rekeyReplyNum = 33;
      return sendGexRequest(rekeyPbits, pm, log, verbose);
    }
    rekeyReplyNum = 31;
    dh.UseOakleyGroup(kexAlgorithm == 1 ? 2 : 14);
    return sendDhE(30, rekeyNumBits, pm, log, verbose);
  }
  if (t == 31 && gex) {
    log.LogInfo("Received KEX_DH_GEX_GROUP");
    return takeGexGroup(msg, log) && sendDhE(32, rekeyNumBits, pm, log, verbose);
  }
  if (t == 31 || t == 33) {
    if (!handleDhReply(msg, t, rekeyPbits, true, log, verbose)) return false;
    log.LogInfo("[SSH] Sending newkeys to server...");
    if (!sendNewKeys(pm, log, verbose)) return false;
    log.LogInfo("Expecting newkeys from server...");
    return true;
  }
  // NEWKEYS
  log.LogInfo("[SSH] Received newkeys message");
  toSessionLog("TRAN* ", "SSH Key Exchange Success.", "\r\n");
  log.LogInfo("SSH Key Exchange Success.");
  rekeyRunning = false;
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
  DataBuffer msg;

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

    // The caller reads exactly one message: the first that satisfied the wait.
    auto hold = [&]() {
      if (satisfied) return;
      out.append(msg);
      outType = t;
      satisfied = true;
    };
    // 1: end the call with true; 0: read on; -1: end with false.
    auto doReturn = [&]() -> int {
      hold();
      return rekeyRunning ? 0 : 1;
    };
    auto doContinue = [&]() -> int {
      if (pm && pm->get_Aborted()) return -1;
      if (waitCode == 99 && !isKexMessage(t)) {
        hold();
        if (!rekeyRunning) return 1;
      }
      return 0;
    };

    unsigned int chNum = parseChannelNum(msg);
    bool isChannelMsg = t >= 91 && t <= 100;
    bool forGiven = channel && isChannelMsg && chNum == channel->clientChannelNum;
    int action = 0;

    if (isChannelMsg && !forGiven && !openChannelNums.count(chNum)) {
      // Never opened: queuing it would keep it for ever.
      log.LogError("Received a message for a channel that is not open.");
      log.LogDataLong("channelNum", (int)chNum);
      log.LogData("msgType", name.getString());
      action = doContinue();
    } else {
      switch (t) {
      case 94:
        if (channel && (waitCode == 3 || waitCode == 99)) {
          if (forGiven) {
            if (verbose) {
              log.LogDataLong("payloadMsgType", (int)t);
              log.LogDataLong("payloadLen", (int)msg.getSize());
              if (msg.getSize() <= 1999) log.LogDataHex("payload", msg.getData2(), msg.getSize());
              toSessionLog("TRAN* payload size: ", (int)msg.getSize(), "\r\n");
            }
            action = doReturn();
            break;
          }
          queuePayload(msg, log, verbose, 2);
        } else {
          queuePayload(msg, log, verbose, 1);
        }
        action = doContinue();
        break;
      case 95:
        if (channel && (waitCode == 3 || waitCode == 4 || waitCode == 99)) {
          if (forGiven) {
            if (verbose) log.LogInfo("Returning extended data...(1)");
            action = doReturn();
            break;
          }
          if (verbose) log.LogInfo("Queueing extended data...(2)");
          queuePayload(msg, log, verbose, 4);
        } else {
          if (verbose) log.LogInfo("Queueing extended data...(1)");
          queuePayload(msg, log, verbose, 3);
        }
        action = doContinue();
        break;
      case 6:
        if (waitCode == 1) {
          action = doReturn();
          break;
        }
        log.LogInfo("Received unexpected SERVICE_ACCEPT message.");
        action = doContinue();
        break;
      case 91:
      case 92:
        if (forGiven) {
          action = waitCode == 5 ? doReturn() : doContinue();
          break;
        }
        queuePayload(msg, log, verbose, t == 91 ? 5 : 6);
        action = doContinue();
        break;
      case 60:
        if (waitCode == 7 || waitCode == 8) {
          action = doReturn();
          break;
        }
        log.LogError("Received unexpected SSH2_MSG_USERAUTH_PK_OK message");
        action = doContinue();
        break;
      case 51:
      case 52:
        if (waitCode == 7 || waitCode == 8) {
          action = doReturn();
          break;
        }
        queuePayload(msg, log, verbose, 15);
        action = doContinue();
        break;
      case 2:
        action = doContinue();
        break;
      case 3:
        log.LogInfo("[SSH] Received UNIMPLEMENTED message");
        if (waitCode == 1) {
          hold();
          action = rekeyRunning ? 0 : -1;
          break;
        }
        action = doContinue();
        break;
      case 4:
        log.LogInfo("[SSH] Received DEBUG message");
        action = doContinue();
        break;
      case 97:
        if (channel && verbose) {
          log.LogInfo("Received CHANNEL CLOSE from server.");
          log.LogDataLong("serverChannelNum", (int)channel->serverChannelNum);
          log.LogDataLong("clientChannelNum", (int)channel->clientChannelNum);
          log.LogDataLong("targetChannelNum", (int)chNum);
        }
        if (forGiven) {
          channel->receivedClose = true;
          closeReceived = true;
          if (!channel->sentClose &&
              (!channelSendClose(*channel, pm, log, verbose) || (pm && pm->get_Aborted())))
            return false;
          action = (waitCode == 3 || waitCode == 4 || waitCode == 99) ? doReturn() : doContinue();
          break;
        }
        queuePayload(msg, log, verbose, channel ? 7 : 8);
        action = doContinue();
        break;
      case 96:
        if (forGiven) {
          channel->receivedEof = true;
          eofReceived = true;
          if (waitCode == 3 || waitCode == 4 || waitCode == 99) {
            if (rekeyRunning) log.LogInfo("Waiting for re-key to complete.");
            action = doReturn();
          } else {
            action = doContinue();
          }
          break;
        }
        queuePayload(msg, log, verbose, channel ? 9 : 10);
        action = doContinue();
        break;
      case 98: {
        log.LogInfo("Received CHANNEL REQUEST message");
        unsigned int reqCh = 0;
        StringBuffer reqType;
        if (!parseChannelRequest2(msg, reqCh, reqType)) {
          log.LogError("Failed to parse CHANNEL_REQUEST");
          action = doContinue();
          break;
        }
        unsigned int idx = 1 + 4 + 4 + (unsigned int)reqType.getSize();
        bool wantReply = false;
        parseBool(msg, idx, wantReply);
        logPeerText(log, "requestType", reqType);
        toSessionLog("TRAN* Request Type: ", reqType.getString(), "\r\n");
        toSessionLog("TRAN* Channel: ", (int)reqCh, "\r\n");
        if (reqType.equals("exit-status")) {
          if (forGiven) {
            channel->receivedExitStatus = true;
            unsigned int n = 0;
            StringBuffer ty;
            parseExitStatus2(msg, n, ty, channel->exitStatus);
            log.LogDataLong("exitStatusCode", (int)channel->exitStatus);
          } else {
            queuePayload(msg, log, verbose, 11);
          }
        } else if (wantReply) {
          // Nothing we run asks for channel requests: every one that wants an answer is refused
          // (keep-alive probes included), and none that does not want one is answered.
          SshChannel other;
          SshChannel &target = forGiven ? *channel : other;
          if (!forGiven) other.serverChannelNum = openChannelNums[reqCh];
          if (reqType.containsSubstringNoCase("keepalive@openssh.com")) {
            DataBuffer empty;
            if (!sendIgnoreMsg(empty, pm, log, verbose)) return false;
          }
          if (!sendChannelFailure(target, pm, log, verbose)) return false;
        }
        action = doContinue();
        break;
      }
      case 99:
      case 100:
        if (forGiven) {
          action = waitCode == 6 ? doReturn() : doContinue();
          break;
        }
        if (t == 99) {
          log.LogDataLong("requestedChannelNum", (int)chNum);
          if (channel) log.LogDataLong("clientChannelNum", (int)channel->clientChannelNum);
          log.LogDataLong("payloadLen", (int)msg.getSize());
          log.LogDataHex("payloadBytes", msg.getData2(), msg.getSize() < 256 ? msg.getSize() : 256);
        }
        queuePayload(msg, log, verbose, t == 99 ? 12 : 13);
        action = doContinue();
        break;
      case 93: {
        unsigned int idx = 1, num = 0, add = 0;
        if (parseUint32(msg, idx, num) && parseUint32(msg, idx, add)) {
          // A window beyond 2^32-1 bytes saturates instead of wrapping to a small one.
          if (forGiven)
            channel->m_curServerWinSize = add > 0xFFFFFFFFu - channel->m_curServerWinSize
                                              ? 0xFFFFFFFFu
                                              : channel->m_curServerWinSize + add;
          else
            queuePayload(msg, log, verbose, 14);
        }
        if (waitCode == 9) {
          satisfied = true;
          action = rekeyRunning ? 0 : 1;
        } else {
          action = doContinue();
        }
        break;
      }
      case 1: {
        disconnectReceived = true;
        log.LogInfo("Received DISCONNECT message");
        if (parseDisconnect(msg, disconnectCode, disconnectReason, log)) {
          logPeerText(log, "DisconnectReason", disconnectReason);
          toSessionLog("TRAN* Reason: ", disconnectReason.getString(), "\r\n");
        }
        failInfo.connectionClosed = 1;
        socket.CloseSocket(0, log);
        return false;
      }
      case 53: {
        log.LogInfo("[SSH] Received USERAUTH_BANNER");
        XString language;
        parseBannerMsg(msg, userAuthBanner, language, log);
        action = doContinue();
        break;
      }
      case 80: {
        log.LogInfo("[SSH] Received GLOBAL_REQUEST");
        XString reqName;
        bool wantReply = false;
        if (parseGlobalRequest(msg, reqName, wantReply, log)) {
          logPeerText(log, "GlobalRequestName", reqName.getUtf8());
          log.LogDataLong("WantReply", wantReply ? 1 : 0);
          if (wantReply) {
            DataBuffer reply;
            reply.appendChar(82);
            if (!sendMessage("SSH2_MSG_REQUEST_FAILURE", reply, pm, log, verbose)) {
              log.LogError("Error sending SSH2_MSG_REQUEST_FAILURE message to server");
              return false;
            }
          }
        }
        action = doContinue();
        break;
      }
      case 20:
      case 31:
      case 33:
      case 21:
        if (t == 20 || rekeyRunning) {
          bool wasSatisfied = satisfied;
          if (!rekeyStep(msg, pm, log, verbose)) {
            // A failed key exchange leaves the two sides out of step.
            rekeyRunning = false;
            socket.CloseSocket(0, log);
            failInfo.connectionClosed = 1;
            return false;
          }
          if (t == 21) {
            if (wasSatisfied) {
              log.LogInfo("Return condition previously satisfied, got the REKEY we were waiting "
                          "for...");
              return true;
            }
            log.LogInfo("Return condition still not satisfied...");
            log.LogDataLong("returnCondition", waitCode);
          }
          action = doContinue();
          break;
        }
        [[fallthrough]];
      default:
        log.LogInfo("Received unexpected SSH message");
        log.LogData("msgType", name.getString());
        if (name.beginsWith("Unknown(") && !sendUnimplemented(lastInSeqNum, pm, log, verbose))
          return false;
        // Ending the call in the middle of a key exchange would let the caller send before the
        // exchange is over.
        if (rekeyRunning) break;
        return true;
      }
    }
    if (action == 1) return true;
    if (action == -1) return false;
  }
}
