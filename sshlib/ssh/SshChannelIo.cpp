// Channel open, subsystem request, and data flow within both windows.
#include <algorithm>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

namespace {
// Below this much of our window left, the server gets a WINDOW_ADJUST.
constexpr unsigned int kRefillAt = 32768;
} // namespace

bool SshTransport::openChannel(SshChannel &ch, int &replyMsgType, unsigned int &failReasonCode,
                               StringBuffer &failDescription, ProgressMonitor *pm, LogBase &log,
                               bool &disconnected, SocketReadFailInfo &failInfo, bool verbose) {
  failInfo.clear();
  replyMsgType = 0;
  failReasonCode = 0;
  failDescription.clear();
  DataBuffer msg;
  msg.appendChar(90);
  pack_sb(ch.channelType, msg);
  pack_uint32(ch.clientChannelNum, msg);
  pack_uint32(ch.initialWindowSize, msg);
  pack_uint32(ch.maxPacketSize, msg);
  log.LogData("channelType", ch.channelType.getString());
  log.LogDataLong("clientChannelNum", (int)ch.clientChannelNum);
  log.LogDataLong("initialWindowSize", (int)ch.initialWindowSize);
  log.LogDataLong("maxPacketSize", (int)ch.maxPacketSize);
  ch.m_curClientWinSize = ch.initialWindowSize;
  ch.m_unreadBytes = 0;
  if (sendMessage("CHANNEL_OPEN", msg, pm, log, verbose))
    log.LogInfo("Sent open channel request");
  else
    log.LogError("Error sending open channel request");
  bool eof, close, satisfied;
  DataBuffer reply;
  unsigned int type = 0;
  bool ok = generalizedRead(5, 0, 0, &ch, eof, close, reply, type, disconnected, pm, log, failInfo,
                            satisfied, verbose);
  replyMsgType = (int)type;
  if (!ok || !satisfied) return false;
  if (type == 91) {
    if (!parseChannelOpenSuccess(reply, ch, log)) return false;
    channelOpened(ch);
    return true;
  }
  if (type == 92) {
    parseChannelOpenFailure(reply, failReasonCode, failDescription, log);
    return false;
  }
  log.LogError("Unexpected message type received in response to open channel request.");
  log.LogDataLong("messageType", (int)type);
  return false;
}

bool SshTransport::readChannelResponse(SshChannel &ch, DataBuffer &reply, ProgressMonitor *pm,
                                       LogBase &log, bool &disconnected,
                                       SocketReadFailInfo &failInfo, bool verbose) {
  bool eof, close, satisfied;
  unsigned int type = 0;
  return generalizedRead(6, 0, 0, &ch, eof, close, reply, type, disconnected, pm, log, failInfo,
                         satisfied, verbose) &&
         satisfied;
}

bool SshTransport::sendReqSubsystem(SshChannel &ch, XString &subsystemName, ProgressMonitor *pm,
                                    LogBase &log, bool &disconnected, SocketReadFailInfo &failInfo,
                                    bool verbose) {
  failInfo.clear();
  DataBuffer msg;
  msg.appendChar(98);
  pack_uint32(ch.serverChannelNum, msg);
  pack_string("subsystem", msg);
  pack_bool(true, msg);
  pack_string(subsystemName.getAnsi(), msg);
  if (sendMessage("CHANNEL_REQUEST: subsystem", msg, pm, log, verbose))
    log.LogInfo("Sent subsystem request");
  else
    log.LogError("Error sending subsystem request");
  DataBuffer reply;
  disconnected = false;
  if (readChannelResponse(ch, reply, pm, log, disconnected, failInfo, verbose)) {
    unsigned int t = msgType(reply);
    if (t == 99) {
      log.LogInfo("Received SUCCESS response to subsystem request.");
      return true;
    }
    if (t == 100) {
      log.LogError("Received FAILURE response to subsystem request.");
      return false;
    }
    log.LogError("Unexpected message type received in response to subsystem request.");
    log.LogDataLong("messageType", (int)t);
    return false;
  }
  if (disconnected) log.LogError("Disconnected from SSH server.");
  return false;
}

bool SshTransport::readWindowAdjust(SshChannel &ch, bool &eof, bool &close, ProgressMonitor *pm,
                                    LogBase &log, bool &disconnected, SocketReadFailInfo &failInfo,
                                    bool verbose) {
  DataBuffer out;
  unsigned int type = 0;
  bool satisfied = false;
  return generalizedRead(9, 30000, 0, &ch, eof, close, out, type, disconnected, pm, log, failInfo,
                         satisfied, verbose) &&
         satisfied;
}

bool SshTransport::channelSendData(SshChannel &ch, const unsigned char *data, unsigned int size,
                                   unsigned int maxPacket, ProgressMonitor *pm, LogBase &log,
                                   bool verbose) {
  if (verbose) log.LogDataLong("m_curServerWinSize", (int)ch.m_curServerWinSize);
  if (maxPacket < 1024) maxPacket = 1024;
  unsigned int limit = maxPacket - 64;
  // Never more than the server said it takes in one packet.
  if (ch.serverMaxPacketSize >= 1024 && ch.serverMaxPacketSize - 64 < limit)
    limit = ch.serverMaxPacketSize - 64;
  DataBuffer &msg = channelSendBuf;
  unsigned int offset = 0;
  while (offset < size) {
    unsigned int n = size - offset;
    if (n > limit) n = limit;
    if (n > ch.m_curServerWinSize) n = ch.m_curServerWinSize;
    if (n == 0) {
      log.EnterContext("readWindowAdjust", true);
      if (verbose) log.LogInfo("Desparately need WINDOW_ADJUST message...");
      bool eof = false, close = false, disc = false;
      SocketReadFailInfo fi;
      bool ok = readWindowAdjust(ch, eof, close, pm, log, disc, fi, verbose);
      log.LeaveContext();
      if (!ok || eof || close) {
        log.LogError("Failed to read WINDOW_ADJUST...");
        log.LogDataLong("disconnected", disc ? 1 : 0);
        return false;
      }
      continue;
    }
    msg.clear();
    msg.appendChar(94);
    pack_uint32(ch.serverChannelNum, msg);
    pack_binString(data + offset, n, msg);
    if (!sendMessage("CHANNEL_DATA", msg, pm, log, verbose)) {
      log.LogError("Error sending data");
      return false;
    }
    if (keepSessionLog) toSessionLog("TRAN* NumBytes: ", (int)n, "\r\n");
    ch.m_curServerWinSize -= n;
    offset += n;
  }
  return true;
}

namespace {
// Counts consumed bytes against our window (the dispatcher has checked them against it as they
// arrived); at the refill mark the whole window is granted again.
bool consumeWindow(SshTransport &t, SshChannel &ch, unsigned int n, ProgressMonitor *pm,
                   LogBase &log, bool verbose) {
  ch.m_unreadBytes -= n < ch.m_unreadBytes ? n : ch.m_unreadBytes;
  if (n > ch.m_curClientWinSize) {
    log.LogError("Server sent more data than the channel window allows.");
    log.LogDataLong("numBytes", (int)n);
    log.LogDataLong("windowSize", (int)ch.m_curClientWinSize);
    return false;
  }
  ch.m_curClientWinSize -= n;
  // Refilled at half the window, so that the server never waits for the adjust with a large
  // window (a small one refills at the fixed mark).
  if (ch.m_curClientWinSize <= std::max(kRefillAt, ch.initialWindowSize / 2))
    return t.sendReqWindowAdjust(ch, pm, log, verbose);
  return true;
}
} // namespace

bool SshTransport::checkQueuedChannelData(SshChannel &ch, DataBuffer &data, bool &eof, bool &close,
                                          ProgressMonitor *pm, LogBase &log, bool &disconnected,
                                          bool verbose) {
  eof = close = disconnected = false;
  int n = queuedMessages.getSize();
  if (n == 0) return false;
  if (verbose) {
    log.LogInfo("Checking for queued channel data...");
    log.LogDataLong("numQueuedMsgs", n);
  }
  int counted = 0;
  for (int i = 0; i < queuedMessages.getSize();) {
    DataBuffer *m = (DataBuffer *)queuedMessages.elementAt(i);
    unsigned int t = msgType(*m);
    if (t < 91 || t > 100 || parseChannelNum(*m) != ch.clientChannelNum) {
      ++i;
      continue;
    }
    bool last = i == queuedMessages.getSize() - 1;
    if (t == 95) {
      // Extended data is not read here (the program has no use for it): it is dropped, and its
      // bytes are given back to the window, as when it arrives during a read.
      unsigned int num = 0, code = 0;
      DataBuffer ext;
      parseExtendedData(*m, num, code, ext, log);
      dropQueued(i);
      log.LogInfo("Skipping extended data...");
      if (!consumeWindow(*this, ch, ext.getSize(), pm, log, verbose)) return false;
      continue;
    }
    if (t == 97) {
      ch.receivedClose = close = true;
      dropQueued(i);
      if (!ch.sentClose) {
        if (!channelSendClose(ch, pm, log, verbose)) {
          log.LogError("Failed to send CHANNEL_CLOSE in response.");
          return false;
        }
        if (pm && pm->get_Aborted()) {
          log.LogError("App aborted when sending CHANNEL_CLOSE in response.");
          return false;
        }
      }
      ++counted;
      if (last) return true;
      continue;
    }
    if (t == 96) {
      ch.receivedEof = eof = true;
      dropQueued(i);
      ++counted;
      if (last) return true;
      continue;
    }
    if (t == 94) {
      unsigned int num = 0;
      unsigned int before = data.getSize();
      bool ok = parseData(*m, num, data, log);
      dropQueued(i);
      if (!ok) {
        log.LogError("Failed to parse data payload");
        continue;
      }
      if (!consumeWindow(*this, ch, data.getSize() - before, pm, log, verbose)) return false;
      return true;
    }
    ++i;
  }
  return counted > 0;
}

bool SshTransport::readChannelData(SshChannel &ch, DataBuffer &data, bool &eof, bool &close,
                                   ProgressMonitor *pm, LogBase &log, bool &disconnected,
                                   SocketReadFailInfo &failInfo, bool verbose) {
  // The read's settings, named as the verbose log names them: no total time-out, the queue
  // checked first, ordinary data read and extended data skipped, the socket's own idle time-out,
  // and the SFTP packet reader as the caller.
  struct VerboseContext {
    LogBase &log;
    bool on;
    ~VerboseContext() {
      if (on) log.LeaveContext();
    }
  } context{log, verbose};
  if (verbose) {
    log.EnterContext("readChannelData", true);
    log.LogDataLong("clientChannelNum", (int)ch.clientChannelNum);
    log.LogDataLong("totalTimeoutMs", 0);
    log.LogDataLong("bCheckQueue", 1);
    log.LogDataLong("bOnlyExtendedData", 0);
    log.LogDataLong("bSkipExtendedData", 1);
    log.LogDataLong("idleTimeoutMs_1", 0);
    log.LogDataLong("calledFrom", 103);
    log.LogDataLong("bReadOneRaw", 0);
  }
  unsigned int before = data.getSize();
  if (checkQueuedChannelData(ch, data, eof, close, pm, log, disconnected, verbose)) {
    if (verbose) log.LogInfo("Returning previously queued message...");
    return true;
  }
  if (data.getSize() != before) return false;
  DataBuffer &msg = channelReadBuf;
  for (;;) {
    unsigned int type = 0;
    bool satisfied = false;
    msg.clear();
    if (!generalizedRead(3, 0, 0, &ch, eof, close, msg, type, disconnected, pm, log, failInfo,
                         satisfied, verbose) ||
        !satisfied)
      return false;
    if (type == 95) {
      log.LogInfo("Skipping extended data...");
      unsigned int num = 0, code = 0;
      DataBuffer ext;
      parseExtendedData(msg, num, code, ext, log);
      if (!consumeWindow(*this, ch, ext.getSize(), pm, log, verbose)) return false;
      continue;
    }
    if (type == 94) {
      unsigned int num = 0;
      bool ok = parseData(msg, num, data, log);
      if (!consumeWindow(*this, ch, data.getSize() - before, pm, log, verbose)) return false;
      if (!ok) log.LogError("Failed to parse data payload");
      return ok;
    }
    return true;
  }
}
