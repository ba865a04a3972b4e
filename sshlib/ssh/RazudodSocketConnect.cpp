// Opening a TCP connection: resolution, socket creation and binding, and the connect loop with
// its time budget and heartbeat slices.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/core/TickSource.h"
#include "sshlib/ssh/RazudodSocket.h"

namespace {

// Trims the host and applies the common rules; false (reason 1) for a missing or empty host.
bool prepareHost(const char *host, bool stripUrl, StringBuffer &out, StringBuffer &remoteIp,
                 LogBase &log, int &reason) {
  remoteIp.clear();
  reason = 0;
  if (!host) {
    reason = 1;
    log.LogError("Cannot connect, hostname is NULL");
    return false;
  }
  out.setString(host);
  out.trim2();
  if (stripUrl) {
    out.replaceFirstOccurance("http://", "");
    out.replaceFirstOccurance("https://", "");
    out.removeCharOccurances('/');
  }
  if (out.getSize() == 0) {
    reason = 1;
    log.LogError("Cannot connect, hostname is zero length");
    return false;
  }
  if (out.equalsIgnoreCase("localhost")) {
    out.setString("127.0.0.1");
    remoteIp.setString("127.0.0.1");
  }
  return true;
}

void logAddrInfoList(const addrinfo *list, LogBase &log) {
  log.EnterContext("AddrInfoList", true);
  for (const addrinfo *p = list; p; p = p->ai_next) {
    log.EnterContext("AddrInfo", true);
    log.LogDataLong("ai_flags", p->ai_flags);
    log.LogDataLong("ai_family", p->ai_family);
    log.LogDataLong("ai_socktype", p->ai_socktype);
    log.LogDataLong("ai_protocol", p->ai_protocol);
    log.LogDataLong("ai_addrlen", (int)p->ai_addrlen);
    log.LogData("ai_canonname", p->ai_canonname ? p->ai_canonname : "(NULL)");
    log.LeaveContext();
  }
  log.LeaveContext();
}

const addrinfo *findStreamAddr(const addrinfo *list, int family) {
  for (const addrinfo *p = list; p; p = p->ai_next)
    if (p->ai_socktype == SOCK_STREAM && p->ai_family == family) return p;
  return nullptr;
}

} // namespace

const addrinfo *RazudodSocket::findIpv4AddrInfo(const addrinfo *list) {
  return findStreamAddr(list, AF_INET);
}

const addrinfo *RazudodSocket::findIpv6AddrInfo(const addrinfo *list) {
  return findStreamAddr(list, AF_INET6);
}

bool RazudodSocket::getAddressInfo(const char *host, int port, const addrinfo *hints,
                                   addrinfo **list, LogBase &log) {
  *list = nullptr;
  StringBuffer service;
  service.append(port);
  const int rc = getaddrinfo(host, service.getString(), hints, list);
  if (rc == 0) return true;
  *list = nullptr;
  log.LogError("Failed to get host address info. (4)");
  log.LogData("getaddrinfoError", gai_strerror(rc));
  log.LogData("hostOrIpAddr", host);
  log.LogDataLong("port", port);
  return false;
}

bool RazudodSocket::ConnectSocketWithHB2(const char *host, int port, unsigned int initialDelayMs,
                                         unsigned int heartbeatMs, LogBase &log,
                                         bool &nameResolutionFailed, ProgressMonitor *pm) {
  log.LogDataLong("ConnectTimeoutMs", (int)connectTimeoutMs);
  connectFailReason = 0;
  StringBuffer hostPort(host ? host : "");
  hostPort.appendChar(':');
  hostPort.append(port);
  bool ok;
  if (pm) pm->progressInfo("SocketConnect", hostPort.getString());
  if (pm && heartbeatMs != 0) {
    ok = connectSocketHB_ipv6(host, port, heartbeatMs, initialDelayMs, log, nameResolutionFailed,
                              pm);
  } else {
    log.LogInfo("calling ConnectSocket2");
    bool retryIpv4 = false;
    ok = connectSocket2_ipv6(host, port, log, pm, nameResolutionFailed, retryIpv4);
    if (!ok && retryIpv4) {
      log.EnterContext("IPV4_retry", true);
      ok = connectSocket2_ipv4(host, port, log, pm, nameResolutionFailed);
      log.LeaveContext();
    }
  }
  if (pm && ok) pm->progressInfo("SocketConnected", hostPort.getString());
  return ok;
}

// Shared by the two getaddrinfo connects; pathNo 2 is the plain one, 3 the heartbeat one.
static bool resolveAndConnect(RazudodSocket &s, const char *host, int port, bool heartbeatPath,
                              unsigned int heartbeatMs, unsigned int initialDelayMs, LogBase &log,
                              bool &nameResolutionFailed, ProgressMonitor *pm, bool &retryIpv4);

bool RazudodSocket::connectSocketHB_ipv6(const char *host, int port, unsigned int heartbeatMs,
                                         unsigned int initialDelayMs, LogBase &log,
                                         bool &nameResolutionFailed, ProgressMonitor *pm) {
  bool retry = false;
  return resolveAndConnect(*this, host, port, true, heartbeatMs, initialDelayMs, log,
                           nameResolutionFailed, pm, retry);
}

bool RazudodSocket::connectSocket2_ipv6(const char *host, int port, LogBase &log,
                                        ProgressMonitor *pm, bool &nameResolutionFailed,
                                        bool &retryIpv4) {
  return resolveAndConnect(*this, host, port, false, 0, 0, log, nameResolutionFailed, pm,
                           retryIpv4);
}

static bool resolveAndConnect(RazudodSocket &s, const char *host, int port, bool hb,
                              unsigned int heartbeatMs, unsigned int initialDelayMs, LogBase &log,
                              bool &nameResolutionFailed, ProgressMonitor *pm, bool &retryIpv4) {
  nameResolutionFailed = false;
  retryIpv4 = false;
  StringBuffer h;
  // The heartbeat path hands the trimmed text to the resolver unchanged.
  if (!prepareHost(host, !hb, h, s.remoteIpAddress, log, s.connectFailReason)) return false;

  addrinfo hints{};
  hints.ai_flags = AI_NUMERICSERV;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  unsigned char tmp[16];
  if (RazudodSocket::ck_inet_pton(AF_INET, h.getString(), tmp)) {
    hints.ai_family = AF_INET;
    hints.ai_flags |= AI_NUMERICHOST;
    log.LogInfo(hb ? "This is an IPV4 numeric address." : "This is an IPV4 numeric address...");
    if (hb) log.LogInfo("Hostname to IP address resolution not needed.");
  } else if (RazudodSocket::ck_inet_pton(AF_INET6, h.getString(), tmp)) {
    hints.ai_family = AF_INET6;
    hints.ai_flags |= AI_NUMERICHOST;
    log.LogInfo(hb ? "This is an IPV6 numeric address." : "This is an IPV6 numeric address...");
    if (hb) log.LogInfo("Hostname to IP address resolution not needed.");
  } else if (hb) {
    log.LogInfo("Single-threaded hostname to IP address resolution");
  }
  addrinfo *list = nullptr;
  bool resolved;
  if (hb) {
    resolved = RazudodSocket::getAddressInfo(h.getString(), port, &hints, &list, log);
  } else {
    StringBuffer service;
    service.append(port);
    const int rc = getaddrinfo(h.getString(), service.getString(), &hints, &list);
    resolved = rc == 0;
    if (!resolved) {
      list = nullptr;
      log.LogError("Failed to get host address info. (2)");
      log.LogData("getaddrinfoError", gai_strerror(rc));
      log.LogData("hostOrIpAddr", h.getString());
      log.LogDataLong("port", port);
      nameResolutionFailed = true;
    }
  }
  if (!resolved) {
    s.connectFailReason = 2;
    return false;
  }
  if (!list) {
    if (hb) {
      s.connectFailReason = 2;
    } else {
      log.LogError("Failed to get host address info. (5)");
      retryIpv4 = true;
    }
    return false;
  }
  logAddrInfoList(list, log);
  const addrinfo *ai = RazudodSocket::findIpv4AddrInfo(list);
  bool v4 = ai != nullptr;
  if (!ai) ai = RazudodSocket::findIpv6AddrInfo(list);
  if (!ai) ai = list;
  if (hb)
    log.LogInfo(v4 ? "Connecting to IPV4 address." : "Connecting to IPV6 address.");
  else
    log.LogInfo(v4 ? "Connect using IPV4." : "Connect using IPV6.");
  StringBuffer ipText;
  const unsigned char *addrBytes =
      ai->ai_family == AF_INET6
          ? (const unsigned char *)&((const sockaddr_in6 *)ai->ai_addr)->sin6_addr
          : (const unsigned char *)&((const sockaddr_in *)ai->ai_addr)->sin_addr;
  RazudodSocket::ck_inet_ntop(ai->ai_family, addrBytes, ipText);
  s.remoteIpAddress.setString(ipText);
  log.LogData(hb ? "ipAddress2" : "ipAddress1", ipText.getString());

  if (!s.createSocket_ipv6_or_ipv4(ai, log, true) || s.socketFd == -1) {
    s.connectFailReason = 5;
    log.LogError(hb ? "Cannot connect, invalid socket (4)" : "Cannot connect, invalid socket (2)");
    RazudodSocket::ck_freeaddrinfo(list, log);
    return false;
  }
  sockaddr_storage target{};
  memcpy(&target, ai->ai_addr, ai->ai_addrlen);
  unsigned int len = ai->ai_addrlen;
  RazudodSocket::ck_freeaddrinfo(list, log);
  (void)pm;
  return s.connectLoop(&target, len, hb, heartbeatMs, initialDelayMs, hb ? 3 : 2, log, pm);
}

bool RazudodSocket::connectSocket2_ipv4(const char *host, int port, LogBase &log,
                                        ProgressMonitor *pm, bool &nameResolutionFailed) {
  nameResolutionFailed = false;
  StringBuffer h;
  if (!prepareHost(host, false, h, remoteIpAddress, log, connectFailReason)) return false;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons((unsigned short)port);
  in_addr_t a = inet_addr(h.getString());
  if (a == INADDR_NONE) {
    unsigned int start = TickSource::now();
    StringBuffer dotted;
    unsigned int addr = 0;
    bool ab = false, to = false;
    if (!CkGetHostByNameHB_ipv4(h.getString(), 0, 0, 0, 0, log, pm, dotted, addr, ab, to) ||
        addr == 0) {
      nameResolutionFailed = true;
      log.LogError("Cannot get host by name..");
      log.LogData("hostname", h.getString());
      connectFailReason = 2;
      return false;
    }
    unsigned int now = TickSource::now();
    if (connectTimeoutMs != 0 && now > start && now - start >= connectTimeoutMs) {
      connectFailReason = 3;
      log.LogError("Application timeout after DNS");
      return false;
    }
    a = addr;
    remoteIpAddress.setString(dotted);
  } else {
    if (a == 0) {
      connectFailReason = 2;
      return false;
    }
    remoteIpAddress.setString(h);
  }
  sin.sin_addr.s_addr = a;
  if (!createSocket_ipv4(log, true) || socketFd == -1) {
    connectFailReason = 5;
    log.LogError("Cannot connect, invalid socket (1)");
    return false;
  }
  return connectLoop(&sin, sizeof sin, false, 0, 0, 1, log, pm);
}

bool RazudodSocket::bindIfNeeded(LogBase &log, bool bindIfConfigured) {
  if (socketFd == -1 || !bindIfConfigured) return true;
  if (bindIpAddress.getSize() == 0 && bindPort == 0) return true;
  log.LogData("BindIpAddr", bindIpAddress.getString());
  if (bindPort != 0) log.LogDataLong("BindPort", bindPort);
  if (!clientBind_ipv4(bindIpAddress.getString(), log)) {
    log.LogError("Failed to bind to local IP address");
    LogBase &l = log;
    CloseSocket(0, l);
    return false;
  }
  return true;
}

bool RazudodSocket::createSocket_ipv6_or_ipv4(const addrinfo *ai, LogBase &log,
                                              bool bindIfConfigured) {
  if (!ai) {
    log.LogError("NULL pointer passed to createSocket_ipv6");
    return false;
  }
  if (socketFd != -1) CloseSocket(0, log);
  socketFd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
  if (socketFd == -1) {
    log.LogDataLong("ai_family", ai->ai_family);
    log.LogDataLong("ai_socktype", ai->ai_socktype);
    log.LogDataLong("ai_protocol", ai->ai_protocol);
    reportSocketError(log);
    return false;
  }
  addressFamily = ai->ai_family;
  checkSetBufSizes();
  return bindIfNeeded(log, bindIfConfigured);
}

bool RazudodSocket::createSocket_ipv4(LogBase &log, bool bindIfConfigured) {
  if (socketFd != -1) CloseSocket(0, log);
  socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socketFd == -1) {
    log.LogError("Failed to create TCP socket (AF_INET / SOCK_STREAM)");
    reportSocketError(log);
    return false;
  }
  addressFamily = AF_INET;
  checkSetBufSizes();
  return bindIfNeeded(log, bindIfConfigured);
}

bool RazudodSocket::clientBind_ipv4(const char *addr, LogBase &log) {
  log.LogInfo("ClientBindIP");
  log.LogData("ipAddr", addr ? addr : "");
  log.LogDataLong("port", bindPort);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons((unsigned short)bindPort);
  sin.sin_addr.s_addr = (!addr || !*addr) ? htonl(INADDR_ANY) : inet_addr(addr);
  return bindSysCall((const sockaddr *)&sin, sizeof sin, log);
}

bool RazudodSocket::bindSysCall(const sockaddr *addr, unsigned int addrLen, LogBase &log) {
  if (!addr || addrLen == 0) {
    log.LogError("Invalid name passed to bindSysCall.");
    return false;
  }
  log.LogDataHex("bindSockAddr", (const unsigned char *)addr, addrLen);
  if (bind(socketFd, addr, (socklen_t)addrLen) != 0) {
    reportSocketError(log);
    log.LogError("Socket bind failed.");
    return false;
  }
  log.LogInfo("Socket bind successful.");
  return true;
}

void RazudodSocket::checkSetBufSizes() {
  if (socketFd == -1) return;
  if (sendBufferSize >= 1000 && sendBufferSize <= 1999999)
    setsockopt(socketFd, SOL_SOCKET, SO_SNDBUF, &sendBufferSize, sizeof sendBufferSize);
  if (recvBufferSize >= 1000 && recvBufferSize <= 1999999)
    setsockopt(socketFd, SOL_SOCKET, SO_RCVBUF, &recvBufferSize, sizeof recvBufferSize);
}

void RazudodSocket::setBlocking() {
  if (socketFd == -1) return;
  int fl = fcntl(socketFd, F_GETFL, 0);
  if (fl != -1) fcntl(socketFd, F_SETFL, fl & ~O_NONBLOCK);
}

void RazudodSocket::setNonBlocking() {
  if (socketFd == -1) return;
  int fl = fcntl(socketFd, F_GETFL, 0);
  if (fl != -1) fcntl(socketFd, F_SETFL, fl | O_NONBLOCK);
}

bool RazudodSocket::connectLoop(const void *addr, unsigned int addrLen, bool hb,
                                unsigned int heartbeatMs, unsigned int initialDelayMs, int pathNo,
                                LogBase &log, ProgressMonitor *pm) {
  unsigned int timeout = connectTimeoutMs;
  unsigned int pause = 100;
  int attempts = 0;
  bool lastAttempt = false;
  bool immediate = false;
  int savedErr = 0;
  bool nonBlocking = timeout != 0;
  if (nonBlocking) setNonBlocking();

  auto fail = [&]() {
    if (nonBlocking) setBlocking();
    if (hb) {
      if (connectFailReason == 0) connectFailReason = 7;
      log.LogError("Connect function failed");
    } else {
      connectFailReason = 7;
      log.LogError("Connect function failed.");
      if (savedErr) reportSocketError2(savedErr, log);
    }
    return false;
  };

  for (;;) {
    unsigned int attemptStart = TickSource::now();
    if (attempts > 0) {
      if (timeout < pause || timeout - pause <= 99) {
        timeout = 100;
        lastAttempt = true;
      } else {
        timeout -= pause;
        lastAttempt = false;
      }
    }
    int rc = ::connect(socketFd, (const sockaddr *)addr, addrLen);
    if (rc == 0) {
      immediate = true;
      break;
    }
    int err = errno;
    // Called again on the same descriptor, connect reports its progress with these two.
    if (err == EISCONN) break;
    bool inProgress = err == EINPROGRESS || err == EALREADY || err == EINTR;
    reportSocketError2(err, log);
    if (timeout == 0 || !inProgress) {
      savedErr = err;
      return fail();
    }
    bool exc = false, aborted = false, timedOut = false, sockErr = false;
    bool writable = hb ? waitWriteableMsHB(heartbeatMs, initialDelayMs, timeout, true, log, pm, exc,
                                           aborted, timedOut, sockErr)
                       : waitWriteableMs2(timeout, true, log, exc, timedOut, sockErr);
    // Writable or in error: the outcome is the socket's pending error, not the wait's result.
    int pending = 0;
    socklen_t plen = sizeof pending;
    if (getsockopt(socketFd, SOL_SOCKET, SO_ERROR, &pending, &plen) == 0 && pending != 0) {
      savedErr = pending;
      reportSocketError2(pending, log);
      return fail();
    }
    if (writable) {
      setBlocking();
      break;
    }
    if (hb && aborted) {
      setBlocking();
      connectFailReason = 4;
      return false;
    }
    if (lastAttempt) {
      if (hb) {
        connectFailReason = 6;
        log.LogDataLong("ConnectTimeoutMs", (int)connectTimeoutMs);
        reportSocketError2(EINPROGRESS, log);
      }
      return fail();
    }
    unsigned int now = TickSource::now();
    unsigned int elapsed = now > attemptStart ? now - attemptStart : 100;
    if (timeout <= elapsed) return fail();
    timeout -= elapsed;
    unsigned int slept = timeout > 1000 ? 1000 : 100;
    Psdk::sleepMs((int)slept);
    pause = slept;
    ++attempts;
  }

  isConnected = true;
  readAheadBuffer.discardAll();
  if (hb || immediate) {
    recvPerfMon.resetPerformanceMon();
    sendPerfMon.resetPerformanceMon();
  }
  StringBuffer myIp;
  int myPort = 0;
  GetSockName2(myIp, myPort, log);
  int n = pathNo * 2 - 1 + (immediate ? 1 : 0);
  char tag[16];
  snprintf(tag, sizeof tag, "myIP_%d", n);
  log.LogData(tag, myIp.getString());
  snprintf(tag, sizeof tag, "myPort_%d", n);
  log.LogDataLong(tag, myPort);
  log.LogInfo(immediate && !hb ? "connect successful.." : "connect successful.");
  return true;
}
