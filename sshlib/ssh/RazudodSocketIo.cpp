// The data path: sliced waits, throttled sends, receives, exact-length reads and line readers.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/core/TickSource.h"
#include "sshlib/ssh/RazudodSocket.h"

namespace {
constexpr unsigned int kSixHoursMs = 21600000;

unsigned int normalHeartbeat(unsigned int hb) {
  return (hb >= 1 && hb <= 49) ? 50 : hb;
}
} // namespace

// One poll on the descriptor, retried when a signal interrupts it.
int RazudodSocket::pollOnce(short events, int timeoutMs, short &revents) {
  revents = 0;
  pollfd p{socketFd, events, 0};
  int rc;
  do {
    rc = poll(&p, 1, timeoutMs);
  } while (rc == -1 && errno == EINTR);
  if (rc > 0) revents = p.revents;
  if (rc > 0 && (p.revents & POLLNVAL)) return -1;
  return rc;
}

void RazudodSocket::setDeadline(unsigned int msFromNow) {
  hasDeadline = msFromNow != 0;
  deadlineTick = TickSource::now() + msFromNow;
}

bool RazudodSocket::capToDeadline(unsigned int &timeoutMs, LogBase &log) const {
  if (!hasDeadline) return true;
  // Signed difference: the tick counter may wrap between now and the deadline.
  int left = (int)(deadlineTick - TickSource::now());
  if (left <= 0) {
    log.LogError("The time allowed for connecting has passed.");
    return false;
  }
  if (timeoutMs == 0 || timeoutMs > (unsigned int)left) timeoutMs = (unsigned int)left;
  return true;
}

bool RazudodSocket::waitForDataHB(unsigned int heartbeatMs, unsigned int timeoutMs,
                                  ProgressMonitor *pm, bool &socketError, bool &aborted,
                                  bool &timedOut, LogBase &log) {
  socketError = aborted = timedOut = false;
  if (socketFd == -1) {
    log.LogError("Invalid socket.");
    socketError = true;
    return false;
  }
  heartbeatMs = normalHeartbeat(heartbeatMs);
  if (timeoutMs == 0) timeoutMs = kSixHoursMs;
  const unsigned int uncapped = timeoutMs;
  if (!capToDeadline(timeoutMs, log)) {
    timedOut = true;
    return false;
  }
  const bool capped = timeoutMs < uncapped;
  unsigned int used = 0;
  bool first = true;
  for (;;) {
    unsigned int left = timeoutMs - used;
    unsigned int slice = heartbeatMs ? (left < heartbeatMs ? left : heartbeatMs) : left;
    if (first) {
      slice /= 2;
      if (slice < 50) slice = 50;
      first = false;
    }
    short rev = 0;
    int rc = pollOnce(POLLIN, (int)slice, rev);
    if (rc < 0) {
      socketError = true;
      log.LogError("Error waiting for socket to become ready for reading.");
      closeAfterFailure();
      return false;
    }
    if (rc > 0) return true;
    used += slice;
    if (used >= timeoutMs) {
      log.LogError("Timeout waiting to read socket or accept connection");
      log.LogDataLong("timeoutMs", (int)timeoutMs);
      if (capped) log.LogError("The time allowed for connecting has passed.");
      timedOut = true;
      return false;
    }
    if (pm && heartbeatMs && pm->heartbeatCheck(heartbeatMs, 0)) {
      aborted = true;
      log.LogError("socket operation aborted by application callback");
      return false;
    }
  }
}

bool RazudodSocket::waitForData2(unsigned int timeoutMs, bool exact, ProgressMonitor *pm,
                                 bool &socketError, LogBase &log, int) {
  socketError = false;
  if (pm) {
    pm->abortCheck(0, 0);
    if (pm->get_Aborted()) {
      log.LogError("Wait-for-data aborted by app");
      return false;
    }
  }
  if (socketFd == -1) {
    log.LogError("Wait-for-data passed invalid socket.");
    socketError = true;
    return false;
  }
  int t = timeoutMs == 0 ? (exact ? 0 : 20) : (int)timeoutMs;
  short rev = 0;
  int rc = pollOnce(POLLIN, t, rev);
  if (rc < 0) {
    socketError = true;
    log.LogError("The peer has closed the socket (TCP) connection");
    closeAfterFailure();
    return false;
  }
  return rc > 0;
}

bool RazudodSocket::checkDataAvailable(LogBase &log) {
  if (recvPos < recvLen) return true;
  bool err = false;
  return waitForData2(0, true, nullptr, err, log, 0);
}

bool RazudodSocket::waitWriteableMs2(unsigned int timeoutMs, bool forConnect, LogBase &log,
                                     bool &exceptionRaised, bool &timedOut, bool &socketError) {
  exceptionRaised = timedOut = socketError = false;
  if (socketFd == -1) {
    log.LogError("invalid socket, not ready for writing.");
    socketError = true;
    return false;
  }
  if (timeoutMs == 0) timeoutMs = kSixHoursMs;
  short rev = 0;
  int rc = pollOnce(POLLOUT, (int)timeoutMs, rev);
  if (rc < 0) {
    log.LogError("select returned a socket error");
    socketError = true;
    return false;
  }
  if (rc == 0) {
    log.LogError(forConnect ? "timeout waiting for connect to complete"
                            : "socket is not ready for writing");
    timedOut = true;
    return false;
  }
  if ((rev & POLLOUT) && !(rev & POLLERR)) return true;
  if (rev & (POLLERR | POLLHUP)) {
    exceptionRaised = true;
    return false;
  }
  log.LogInfo("Socket select after connect returned 0");
  return false;
}

bool RazudodSocket::waitWriteableMsHB(unsigned int heartbeatMs, unsigned int initialDelayMs,
                                      unsigned int timeoutMs, bool forConnect, LogBase &log,
                                      ProgressMonitor *pm, bool &exceptionRaised, bool &aborted,
                                      bool &timedOut, bool &socketError) {
  exceptionRaised = aborted = timedOut = socketError = false;
  heartbeatMs = normalHeartbeat(heartbeatMs);
  if (timeoutMs == 0) timeoutMs = kSixHoursMs;
  if (!pm || heartbeatMs == 0)
    return waitWriteableMs2(timeoutMs, forConnect, log, exceptionRaised, timedOut, socketError);
  if (socketFd == -1) {
    log.LogError("invalid socket, not ready for writing.");
    socketError = true;
    return false;
  }
  for (unsigned int slept = 0; slept < initialDelayMs;) {
    unsigned int piece =
        initialDelayMs - slept < heartbeatMs ? initialDelayMs - slept : heartbeatMs;
    Psdk::sleepMs((int)piece);
    slept += piece;
    if (pm->heartbeatCheck(heartbeatMs, 0)) {
      log.LogError("socket operation aborted by application callback..");
      aborted = true;
      return false;
    }
  }
  unsigned int used = 0;
  for (;;) {
    unsigned int left = timeoutMs - used;
    unsigned int slice = left < heartbeatMs ? left : heartbeatMs;
    short rev = 0;
    int rc = pollOnce(POLLOUT, (int)slice, rev);
    if (rc < 0) {
      log.LogError("select returned a socket error");
      socketError = true;
      return false;
    }
    if (rc > 0) {
      if ((rev & POLLOUT) && !(rev & POLLERR)) return true;
      if (rev & (POLLERR | POLLHUP)) {
        exceptionRaised = true;
        return false;
      }
      log.LogInfo("Socket select after connect returned 0.");
      return false;
    }
    used += slice;
    if (used >= timeoutMs) {
      log.LogError(forConnect ? "timeout waiting for connect to complete;"
                              : "socket is not ready for writing;");
      timedOut = true;
      return false;
    }
    if (pm->heartbeatCheck(heartbeatMs, 0)) {
      log.LogError("socket operation aborted by application callback");
      aborted = true;
      return false;
    }
  }
}

bool RazudodSocket::SendBytes2(const unsigned char *data, unsigned int n, unsigned int maxChunk,
                               unsigned int heartbeatMs, LogBase &log, ProgressMonitor *pm) {
  if (maxChunk == 0)
    maxChunk = 32767;
  else if (maxChunk < 1000)
    maxChunk = 1000;
  else if (maxChunk > 2000000)
    maxChunk = 2000000;
  lastSendErrno = 0;
  unsigned int writeLimit = idleTimeoutMs == 0 ? kSixHoursMs : idleTimeoutMs;
  if (socketFd == -1) {
    log.LogError("No socket exists for sending (2b)");
    return false;
  }
  setNonBlocking();
  while (n > 0) {
    if (pm && pm->heartbeatCheck(heartbeatMs, 0)) {
      log.LogError("Socket SendBytes2 aborted by application. (1a)");
      return false;
    }
    bool ab = false;
    sendThrottle.waitForGo(heartbeatMs, pm, ab);
    if (ab) {
      log.LogError("Aborted by application while upload throttling (1b)");
      return false;
    }
    unsigned int len = n < maxChunk ? n : maxChunk;
    lastSendErrno = 0;
    // MSG_NOSIGNAL: a peer that has gone makes send fail with EPIPE instead of killing the process.
    ssize_t r = ::send(socketFd, data, len, MSG_NOSIGNAL);
    if (r < 0) {
      int err = errno;
      lastSendErrno = err;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS) {
        bool exc = false, aborted = false, timedOut = false, sockErr = false;
        unsigned int limit = writeLimit;
        if (!capToDeadline(limit, log)) {
          timedOut = true;
        } else if (waitWriteableMsHB(heartbeatMs, 0, limit, false, log, pm, exc, aborted, timedOut,
                                     sockErr)) {
          continue;
        }
        setBlocking();
        if (aborted) {
          log.LogError("Socket send aborted by application");
        } else if (timedOut) {
          log.LogDataLong("idleTimeoutMs", (int)idleTimeoutMs);
          log.LogError("Socket send idle timeout");
        } else {
          log.LogError("Socket send failed");
        }
        return false;
      }
      reportSocketError2(err, log);
      log.LogError("Error sending on socket");
      log.LogDataLong("send_size", (int)len);
      closeAfterFailure();
      return false;
    }
    if (r == 0) {
      Psdk::sleepMs(1);
      continue;
    }
    sendThrottle.addBytes32((unsigned int)r);
    if (perfMonEnabled) sendPerfMon.updatePerformance32((unsigned int)r, pm);
    if (pm) {
      bool abort = false;
      pm->consume2_32((unsigned int)r, abort);
      if (abort) {
        setBlocking();
        log.LogError("Socket send aborted by application");
        return false;
      }
    }
    n -= (unsigned int)r;
    data += r;
  }
  setBlocking();
  return true;
}

bool RazudodSocket::SendBytes(const DataBuffer &db, unsigned int maxChunk, unsigned int heartbeatMs,
                              LogBase &log, ProgressMonitor *pm) {
  if (db.getSize() == 0) return false;
  return SendBytes2(db.getData2(), db.getSize(), maxChunk, heartbeatMs, log, pm);
}

bool RazudodSocket::SendString(const StringBuffer &sb, unsigned int maxChunk,
                               unsigned int heartbeatMs, LogBase &log, ProgressMonitor *pm) {
  if (sb.getSize() == 0) return true;
  return SendBytes2((const unsigned char *)sb.getString(), (unsigned int)sb.getSize(), maxChunk,
                    heartbeatMs, log, pm);
}

bool RazudodSocket::SendOnSocket(const unsigned char *p, int n, unsigned int maxChunk,
                                 unsigned int heartbeatMs, LogBase &log, ProgressMonitor *pm) {
  if (n <= 0) return true;
  return SendBytes2(p, (unsigned int)n, maxChunk, heartbeatMs, log, pm);
}

bool RazudodSocket::ReceiveBytes2(unsigned char *buf, unsigned int &count, unsigned int heartbeatMs,
                                  LogBase &log, ProgressMonitor *pm, bool &timedOut, bool &aborted,
                                  bool &socketError, bool &connectionClosed) {
  timedOut = aborted = socketError = connectionClosed = false;
  unsigned int want = count;
  count = 0;
  if (socketFd == -1) {
    log.LogError("This socket is not connected");
    socketError = true;
    isConnected = false;
    return false;
  }
  // Bytes read ahead by an earlier receive are handed out first, without another wait.
  if (recvPos < recvLen) {
    count = (unsigned int)std::min<size_t>(want, recvLen - recvPos);
    memcpy(buf, recvBuf.data() + recvPos, count);
    recvPos += count;
    return deliverReceived(count, pm, aborted);
  }
  if (!waitForDataHB(heartbeatMs, idleTimeoutMs == 0 ? kSixHoursMs : idleTimeoutMs, pm, socketError,
                     aborted, timedOut, log))
    return false;
  bool ab = false;
  recvThrottle.waitForGo(heartbeatMs, pm, ab);
  if (ab) {
    log.LogError("Aborted by application while download throttling (2)");
    aborted = true;
    return false;
  }
  // A small read (a packet's first block, a line's next byte) takes what is there, up to a
  // whole buffer, so that the rest of the packet needs no wait and no call of its own.
  ssize_t r;
  const bool ahead = want < kRecvAhead;
  if (ahead && recvBuf.size() < kRecvAhead) recvBuf.resize(kRecvAhead);
  recvPos = recvLen = 0;
  do {
    r = ::recv(socketFd, ahead ? recvBuf.data() : buf, ahead ? kRecvAhead : want, 0);
  } while (r < 0 && errno == EINTR);
  if (r == 0) {
    log.LogDataLong("numBytesRequested", (int)want);
    log.LogInfo("Connection closed by server.");
    closeAfterFailure();
    connectionClosed = true;
    return false;
  }
  if (r < 0) {
    reportSocketError(log);
    log.LogDataLong("numBytesRequested", (int)want);
    log.LogError("Failed to receive data on the TCP socket");
    socketError = true;
    isConnected = false;
    return false;
  }
  if (ahead) {
    recvLen = (size_t)r;
    count = (unsigned int)std::min<size_t>(want, recvLen);
    memcpy(buf, recvBuf.data(), count);
    recvPos = count;
  } else {
    count = (unsigned int)r;
  }
  return deliverReceived(count, pm, aborted);
}

bool RazudodSocket::deliverReceived(unsigned int count, ProgressMonitor *pm, bool &aborted) {
  recvThrottle.addBytes32(count);
  if (perfMonEnabled) recvPerfMon.updatePerformance32(count, pm);
  if (pm) {
    bool abort = false;
    pm->consume2_32(count, abort);
    if (abort) aborted = true;
  }
  return true;
}

bool RazudodSocket::ReceiveNBytes(unsigned char *buf, unsigned int n, unsigned int heartbeatMs,
                                  LogBase &log, ProgressMonitor *pm, unsigned int &total,
                                  bool &timedOut, bool &aborted, bool &socketError,
                                  bool &connectionClosed) {
  total = 0;
  timedOut = aborted = socketError = connectionClosed = false;
  while (n > 0) {
    if (pm) {
      pm->abortCheck(heartbeatMs, 0);
      if (pm->get_Aborted()) {
        aborted = true;
        return false;
      }
    }
    unsigned int got = n;
    if (!ReceiveBytes2(buf + total, got, heartbeatMs, log, pm, timedOut, aborted, socketError,
                       connectionClosed))
      return false;
    n -= got;
    total += got;
  }
  return true;
}

bool RazudodSocket::ReadN(unsigned int n, DataBuffer &out, SocketReadParams &params, LogBase &log) {
  if (n == 0) return true;
  const unsigned int kChunk = 2200000;
  unsigned int bufSize = (n < kChunk ? n : kChunk) + 16;
  DataBuffer scratch;
  if (!scratch.ensureBuffer(bufSize)) {
    log.LogError("Failed to allocate buffer in Socket.ReadN");
    return false;
  }
  while (n > 0) {
    ProgressMonitor *pm = params.progressMonitor;
    if (pm) {
      pm->abortCheck(params.heartbeatMs, 0);
      if (pm->get_Aborted()) {
        params.aborted = true;
        return false;
      }
    }
    unsigned int want = n < kChunk ? n : kChunk;
    unsigned int total = 0;
    if (!ReceiveNBytes(scratch.getData2(), want, params.heartbeatMs, log, pm, total,
                       params.timedOut, params.aborted, params.socketError,
                       params.connectionClosed))
      return false;
    out.append(scratch.getData2(), want);
    n -= want;
  }
  return true;
}

bool RazudodSocket::ReadN(unsigned int n, DataBuffer &out, unsigned int heartbeatMs, LogBase &log,
                          ProgressMonitor *pm, bool &timedOut, bool &aborted, bool &socketError,
                          bool &connectionClosed) {
  SocketReadParams p;
  p.heartbeatMs = heartbeatMs;
  p.progressMonitor = pm;
  bool ok = ReadN(n, out, p, log);
  timedOut = p.timedOut;
  aborted = p.aborted;
  socketError = p.socketError;
  connectionClosed = p.connectionClosed;
  return ok;
}

// mode 0: to the next LF; 1: to the next CR LF (or LF LF); 2: to the next empty line.
bool RazudodSocket::readLine(DataBuffer &out, unsigned int heartbeatMs, LogBase &log,
                             ProgressMonitor *pm, int mode, bool addCr) {
  unsigned int count = 0; // bytes other than CR and LF since the last CR or LF
  unsigned int lineLen = 0;
  for (;;) {
    if (pm) {
      pm->abortCheck(heartbeatMs, 0);
      if (pm->get_Aborted()) return false;
    }
    unsigned char c = 0;
    unsigned int got = 1;
    bool to = false, ab = false, se = false, cc = false;
    if (!ReceiveBytes2(&c, got, heartbeatMs, log, pm, to, ab, se, cc) || got != 1) return false;
    if (++lineLen > maxLineLen) {
      log.LogError("Line too long.");
      log.LogDataLong("maxLineLen", (int)maxLineLen);
      return false;
    }
    if (mode == 0) {
      if (c == '\n') {
        if (addCr && out.lastByte() != '\r') out.appendChar('\r');
        out.appendChar(c);
        return true;
      }
      out.appendChar(c);
      continue;
    }
    out.appendChar(c);
    if (c == '\r') {
      if (mode == 1) count = 0;
    } else if (c == '\n') {
      if (count == 0) return true;
      count = 0;
      lineLen = 0;
    } else {
      ++count;
    }
  }
}

bool RazudodSocket::ReadToNextEndOfLine(DataBuffer &out, unsigned int heartbeatMs, LogBase &log,
                                        ProgressMonitor *pm, bool addCr) {
  return readLine(out, heartbeatMs, log, pm, 0, addCr);
}

bool RazudodSocket::ReadToNextCRLF(DataBuffer &out, unsigned int heartbeatMs, LogBase &log,
                                   ProgressMonitor *pm) {
  return readLine(out, heartbeatMs, log, pm, 1, false);
}

bool RazudodSocket::ReadToDoubleCRLF(DataBuffer &out, unsigned int heartbeatMs, LogBase &log,
                                     ProgressMonitor *pm) {
  return readLine(out, heartbeatMs, log, pm, 2, false);
}
