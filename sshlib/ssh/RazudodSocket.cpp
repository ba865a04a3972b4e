// The socket object, its settings, closing, error reports, host lookup and address text.
#include "sshlib/ssh/RazudodSocket.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/XString.h"

namespace {
// Sockets are made on several threads at once (one SFTP session per transfer).
std::atomic<unsigned int> g_nextSocketId{1};
} // namespace

RazudodSocket::RazudodSocket() : addressFamily(AF_INET), objectId(g_nextSocketId++) {
  recvPerfMon.m_direction = 2;
  sendPerfMon.m_direction = 1;
}

RazudodSocket::~RazudodSocket() {
  if (socketFd != -1) {
    LogNull log;
    CloseSocket(0, log);
  }
  socketFd = -1;
}

void RazudodSocket::setNoDelay(bool on) {
  if (socketFd == -1) return;
  int v = on ? 1 : 0;
  setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v);
}

void RazudodSocket::CloseSocket(int, LogBase &) {
  if (socketFd != -1) {
    shutdown(socketFd, SHUT_RDWR);
    close(socketFd);
    socketFd = -1;
    readAheadBuffer.discardAll();
  }
  recvPos = recvLen = 0;
  isConnected = false;
}

void RazudodSocket::closeAfterFailure() {
  if (socketFd != -1) {
    shutdown(socketFd, SHUT_RDWR);
    close(socketFd);
  }
  socketFd = -1;
  recvPos = recvLen = 0;
  isConnected = false;
}

bool RazudodSocket::GetSockName2(StringBuffer &addr, int &port, LogBase &log) {
  return addressFamily == AF_INET ? ck_getsockname_ipv4(addr, port, log)
                                  : ck_getsockname_ipv6(addr, port, log);
}

namespace {
// getsockname of the descriptor into ss, with the outputs cleared first and each failure logged.
bool localName(int fd, sockaddr_storage &ss, const char *failText, StringBuffer &addr, int &port,
               LogBase &log) {
  addr.clear();
  port = 0;
  if (fd == -1) {
    log.LogError("Cannot get socket name: INVALID_SOCKET.");
    return false;
  }
  socklen_t len = sizeof ss;
  if (getsockname(fd, (sockaddr *)&ss, &len) == 0) return true;
  log.LogError(failText);
  RazudodSocket::reportSocketError(log);
  return false;
}
} // namespace

bool RazudodSocket::ck_getsockname_ipv4(StringBuffer &addr, int &port, LogBase &log) {
  sockaddr_storage ss{};
  if (!localName(socketFd, ss, "Failed to getsockname", addr, port, log)) return false;
  const sockaddr_in *sin = (const sockaddr_in *)&ss;
  // The text inet_ntoa gives, without its shared buffer (sockets live on many threads).
  inet_ntop4((const unsigned char *)&sin->sin_addr, addr);
  port = ntohs(sin->sin_port);
  return true;
}

bool RazudodSocket::ck_getsockname_ipv6(StringBuffer &addr, int &port, LogBase &log) {
  sockaddr_storage ss{};
  if (!localName(socketFd, ss, "Failed to getsockname ipv6", addr, port, log)) return false;
  const sockaddr_in6 *sin6 = (const sockaddr_in6 *)&ss;
  ck_inet_ntop(AF_INET6, (const unsigned char *)&sin6->sin6_addr, addr);
  port = ntohs(sin6->sin6_port);
  return true;
}

void RazudodSocket::errnoName(int err, StringBuffer &out) {
  const char *name = strerrorname_np(err);
  if (name) {
    out.append(name);
  } else {
    out.append("errno ");
    out.append(err);
  }
}

void RazudodSocket::reportSocketError2(int err, LogBase &log) {
  if (err == EINPROGRESS || err == EALREADY) {
    log.LogInfo("Info: Socket operation in progress..");
    return;
  }
  StringBuffer name;
  errnoName(err, name);
  log.LogData("socketErrno", name.getString());
  log.LogData("socketError", strerror(err));
}

void RazudodSocket::reportSocketError(LogBase &log) {
  reportSocketError2(errno, log);
}

// ---------------------------------------------------------------------------------------------
// Host lookup. getaddrinfo is thread-safe, unlike the shared result of gethostbyname; a name is
// never silently changed into another host's name.

unsigned int RazudodSocket::ck_gethostbyname(const char *host, LogBase &log, bool *found) {
  if (found) *found = false;
  if (!host) return 0;
  auto lookup = [&](const char *name) -> unsigned int {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &res);
    unsigned int addr = 0;
    if (rc == 0) {
      if (found) *found = true;
      for (addrinfo *p = res; p; p = p->ai_next) {
        if (p->ai_family == AF_INET) {
          addr = ((const sockaddr_in *)p->ai_addr)->sin_addr.s_addr;
          break;
        }
      }
      freeaddrinfo(res);
    } else {
      log.LogData("getaddrinfoError", gai_strerror(rc));
      log.LogData("gethostbyname_arg", name);
    }
    return addr;
  };
  unsigned int a = lookup(host);
  if (a || (found && *found)) return a;
  // A cleaned copy: blanks, quotes and URL punctuation that a user may have typed around the name.
  StringBuffer copy(host);
  copy.trim2();
  StringBuffer cleaned;
  for (const char *p = copy.getString(); *p; ++p) {
    if (!strchr(" \t\r\n'\"<>:/@?", *p)) cleaned.appendChar(*p);
  }
  if (cleaned.getSize() == 0) return 0;
  cleaned.toLowerCase();
  if (cleaned.getSize() < (int)strlen(host)) return lookup(cleaned.getString());
  return 0;
}

bool RazudodSocket::CkGetHostByNameHB_ipv4(const char *host, int, unsigned int, unsigned int,
                                           unsigned int, LogBase &log, ProgressMonitor *,
                                           StringBuffer &dotted, unsigned int &addr, bool &aborted,
                                           bool &timedOut) {
  dotted.clear();
  addr = 0;
  aborted = timedOut = false;
  bool found = false;
  unsigned int a = ck_gethostbyname(host, log, &found);
  // A name with no entry has been reported by the lookup; an entry without a usable address is
  // told here.
  if (!found) return false;
  if (a == 0) {
    log.LogError("Failed to get host IP address by name.");
    return false;
  }
  addr = a;
  inet_ntop4((const unsigned char *)&a, dotted);
  return true;
}

bool RazudodSocket::isDottedIpAddress(const char *text) {
  return text && inet_addr(text) != INADDR_NONE;
}

bool RazudodSocket::DnsLookup(const char *host, unsigned int a1, unsigned int a2, unsigned int a3,
                              LogBase &log, ProgressMonitor *pm, XString &dotted,
                              unsigned int &addr, bool &aborted, bool &timedOut) {
  aborted = timedOut = false;
  if (!host) {
    log.LogError("DNS lookup failed; hostname is NULL");
    return false;
  }
  StringBuffer h(host);
  h.trim2();
  if (h.getSize() == 0) {
    log.LogError("DNS lookup failed; hostname is empty");
    return false;
  }
  if (h.equalsIgnoreCase("localhost")) {
    dotted.setFromUtf8("127.0.0.1");
    addr = htonl(INADDR_LOOPBACK);
    return true;
  }
  if (isDottedIpAddress(h.getString())) {
    log.LogError("IP address passed to DNS lookup");
    log.LogData("hostname", h.getString());
    return false;
  }
  StringBuffer text;
  if (CkGetHostByNameHB_ipv4(h.getString(), 0, a1, a2, a3, log, pm, text, addr, aborted,
                             timedOut) &&
      text.getSize() > 0) {
    dotted.setFromUtf8(text.getString());
    return true;
  }
  log.LogError("DNS lookup failed.");
  log.LogData("hostname", h.getString());
  return false;
}

// ---------------------------------------------------------------------------------------------
// Address text.

int RazudodSocket::inet_pton4(const char *text, unsigned char *out) {
  if (!text) return 0;
  unsigned char tmp[4];
  int parts = 0;
  const char *p = text;
  while (parts < 4) {
    if (*p < '0' || *p > '9') return 0;
    unsigned int v = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + (unsigned int)(*p - '0');
      if (v > 255 || ++digits > 3 + 8) return 0;
      ++p;
    }
    tmp[parts++] = (unsigned char)v;
    if (parts < 4) {
      if (*p != '.') return 0;
      ++p;
    }
  }
  if (*p != 0) return 0;
  memcpy(out, tmp, 4);
  return 1;
}

int RazudodSocket::inet_pton6(const char *text, unsigned char *out) {
  if (!text) return 0;
  unsigned char tmp[16] = {};
  int n = 0;    // bytes written
  int gap = -1; // index of "::"
  const char *p = text;
  if (*p == ':') {
    if (p[1] != ':') return 0;
    ++p;
  }
  const char *groupStart = p;
  unsigned int v = 0;
  bool seenDigit = false;
  int ndig = 0;
  while (*p) {
    char c = *p++;
    int d = -1;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    if (d >= 0) {
      v = (v << 4) | (unsigned int)d;
      if (++ndig > 4 && v > 0xFFFF) return 0;
      if (v > 0xFFFF) return 0;
      seenDigit = true;
      continue;
    }
    if (c == ':') {
      groupStart = p;
      if (!seenDigit) {
        if (gap >= 0) return 0;
        gap = n;
        continue;
      }
      if (*p == 0) return 0;
      if (n + 2 > 16) return 0;
      tmp[n++] = (unsigned char)(v >> 8);
      tmp[n++] = (unsigned char)v;
      seenDigit = false;
      v = 0;
      ndig = 0;
      continue;
    }
    if (c == '.' && n + 4 <= 16) {
      if (!inet_pton4(groupStart, tmp + n)) return 0;
      n += 4;
      seenDigit = false;
      break;
    }
    return 0;
  }
  if (seenDigit) {
    if (n + 2 > 16) return 0;
    tmp[n++] = (unsigned char)(v >> 8);
    tmp[n++] = (unsigned char)v;
  }
  if (gap >= 0) {
    if (n == 16) return 0;
    int tail = n - gap;
    memmove(tmp + 16 - tail, tmp + gap, (size_t)tail);
    memset(tmp + gap, 0, (size_t)(16 - tail - gap));
    n = 16;
  }
  if (n != 16) return 0;
  memcpy(out, tmp, 16);
  return 1;
}

int RazudodSocket::ck_inet_pton(int family, const char *text, unsigned char *out) {
  if (family == AF_INET) return inet_pton4(text, out);
  if (family == AF_INET6) return inet_pton6(text, out);
  return 0;
}

void RazudodSocket::inet_ntop4(const unsigned char *a, StringBuffer &out) {
  char buf[20];
  snprintf(buf, sizeof buf, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
  out.append(buf);
}

int RazudodSocket::ck_inet_ntop(int family, const unsigned char *a, StringBuffer &out) {
  if (family == AF_INET) {
    inet_ntop4(a, out);
    return 1;
  }
  if (family != AF_INET6 || !a) return 0;
  static const unsigned char zero12[12] = {};
  if (memcmp(a, zero12, 12) == 0) {
    bool any = a[12] | a[13] | a[14];
    if (any || a[15] > 1) {
      out.append("::");
      inet_ntop4(a + 12, out);
      return 1;
    }
  }
  if (memcmp(a, zero12, 10) == 0 && a[10] == 0xFF && a[11] == 0xFF) {
    out.append("::ffff:");
    inet_ntop4(a + 12, out);
    return 1;
  }
  unsigned int g[8];
  for (int i = 0; i < 8; ++i)
    g[i] = ((unsigned int)a[2 * i] << 8) | a[2 * i + 1];
  int bestStart = -1, bestLen = 0;
  for (int i = 0; i < 8;) {
    if (g[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && g[j] == 0)
      ++j;
    if (j - i > bestLen) {
      bestStart = i;
      bestLen = j - i;
    }
    i = j;
  }
  char buf[8];
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      out.append("::");
      i += bestLen - 1;
      continue;
    }
    if (i > 0 && i != bestStart + bestLen) out.appendChar(':');
    snprintf(buf, sizeof buf, "%x", g[i]);
    out.append(buf);
  }
  return 1;
}

void RazudodSocket::ck_freeaddrinfo(struct addrinfo *list, LogBase &) {
  if (list) freeaddrinfo(list);
}
