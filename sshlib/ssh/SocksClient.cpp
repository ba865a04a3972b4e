// SOCKS4 (with the destination resolved here) and SOCKS5 (no authentication or user name and
// password; IPv4 or domain-name destinations) on the caller's socket.
#include <cctype>
#include <cstring>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/ssh/ProxySettings.h"
#include "sshlib/ssh/RazudodSocket.h"

namespace {

const unsigned int kSendChunk = 2048;

void connectProgress(ProgressMonitor *pm, const char *event, StringBuffer &socksHost, int port) {
  if (!pm) return;
  StringBuffer text(socksHost);
  text.append(":");
  text.append(port);
  pm->progressInfo(event, text.getString());
}

void logSettings(LogBase &log, const char *context, StringBuffer &host, int port,
                 StringBuffer &user) {
  log.EnterContext(context, true);
  log.LogData("socksHostname", host.getString());
  log.LogDataLong("socksPort", port);
  log.LogData("socksUsername", user.getString());
  log.LeaveContext();
}

// The handshake's waits are bounded by the connect time-out; the socket's own idle time-out
// returns when the handshake ends, so that the session through the tunnel keeps the caller's.
class HandshakeIdleScope {
public:
  explicit HandshakeIdleScope(RazudodSocket &sock) : sock(sock), saved(sock.get_IdleMsTimeout()) {}
  ~HandshakeIdleScope() { sock.SetIdleMsTimeout(saved); }
  HandshakeIdleScope(const HandshakeIdleScope &) = delete;
  HandshakeIdleScope &operator=(const HandshakeIdleScope &) = delete;

private:
  RazudodSocket &sock;
  const unsigned int saved;
};

bool connectToProxy(RazudodSocket &sock, StringBuffer &host, int port, const char *bindAddr,
                    unsigned int heartbeatMs, unsigned int connectTimeoutMs, LogBase &log,
                    bool &nameFailed, ProgressMonitor *pm, int &failReason, const char *failText) {
  sock.bindIpAddress.clear();
  if (bindAddr) sock.bindIpAddress.setString(bindAddr);
  sock.SetConnectMsTimeout(connectTimeoutMs);
  bool ok = sock.ConnectSocketWithHB2(host.getString(), port, 0, heartbeatMs, log, nameFailed, pm);
  failReason = sock.connectFailReason;
  if (!ok) {
    log.LogError(failText);
    log.LogData("socksHostname", host.getString());
    log.LogDataLong("socksPort", port);
  }
  return ok;
}

bool receive(RazudodSocket &sock, unsigned char *buf, unsigned int n, unsigned int heartbeatMs,
             LogBase &log, ProgressMonitor *pm) {
  unsigned int total = 0;
  bool to, ab, se, cc;
  return sock.ReceiveNBytes(buf, n, heartbeatMs, log, pm, total, to, ab, se, cc) && total == n;
}

bool send(RazudodSocket &sock, const DataBuffer &msg, unsigned int heartbeatMs, LogBase &log,
          ProgressMonitor *pm) {
  return sock.SendBytes(msg, kSendChunk, heartbeatMs, log, pm);
}

// A SOCKS5 length byte: values that do not fit are refused rather than sent cut.
bool appendCounted(DataBuffer &msg, const StringBuffer &s, const char *what, LogBase &log) {
  if (s.getSize() > 255) {
    log.LogError("SOCKS5 field longer than 255 bytes.");
    log.LogData("field", what);
    return false;
  }
  msg.appendChar((unsigned char)s.getSize());
  msg.append(s);
  return true;
}

bool allDigitsAndDots(const StringBuffer &s) {
  for (int i = 0; i < s.getSize(); ++i) {
    char c = s.charAt(i);
    if (c != '.' && !std::isdigit((unsigned char)c)) return false;
  }
  return true;
}

// Fails after closing the socket (every SOCKS5 failure once the greeting is on its way).
bool closeAndFail(RazudodSocket &sock, LogBase &log, const char *text) {
  if (text) log.LogError(text);
  sock.CloseSocket(0, log);
  return false;
}

} // namespace

bool SocksClient::socks5Handshake(RazudodSocket &sock, const StringBuffer &dest,
                                  const unsigned char *ipv4, int port, StringBuffer &user,
                                  StringBuffer &password, unsigned int hb, LogBase &log,
                                  ProgressMonitor *pm) {
  bool creds = user.getSize() > 0 && password.getSize() > 0;
  DataBuffer greeting;
  if (creds) {
    greeting.append("\x05\x02\x00\x02", 4);
  } else {
    log.LogInfo("No SOCKS5 username and/or password, requesting No-Authentication...");
    greeting.append("\x05\x01\x00", 3);
  }
  if (!send(sock, greeting, hb, log, pm))
    return closeAndFail(sock, log, "Failed to send version identifier to SOCKS5 server.");
  unsigned char reply[4];
  if (!receive(sock, reply, 2, hb, log, pm))
    return closeAndFail(sock, log, "Failed to receive method-select reply from SOCKS5 server.");
  if (reply[1] == 2) {
    log.LogInfo("SOCKS5 server selected username/password authentication.");
    if (user.getSize() == 0) return closeAndFail(sock, log, "SOCKS5 username is empty.");
    if (password.getSize() == 0) return closeAndFail(sock, log, "SOCKS5 password is empty.");
    DataBuffer auth;
    auth.appendChar(1);
    if (!appendCounted(auth, user, "username", log) ||
        !appendCounted(auth, password, "password", log)) {
      auth.secureClear();
      return closeAndFail(sock, log, nullptr);
    }
    bool sent = send(sock, auth, hb, log, pm);
    auth.secureClear();
    if (!sent) return closeAndFail(sock, log, "Failed to send username/password to SOCKS5 server.");
    if (!receive(sock, reply, 2, hb, log, pm))
      return closeAndFail(sock, log,
                          "Failed to receive username/password reply from SOCKS5 server.");
    if (reply[1] != 0) {
      log.LogError("SOCKS5 server rejected username/password");
      log.LogData("username", user.getString());
      return closeAndFail(sock, log, nullptr);
    }
  } else if (reply[1] == 0) {
    log.LogInfo("SOCKS5 server is allowing no authentication.");
  } else {
    log.LogError("No acceptable SOCKS5 methods");
    log.LogDataLong("method", reply[1]);
    return closeAndFail(sock, log, nullptr);
  }

  DataBuffer req;
  req.append("\x05\x01\x00", 3);
  if (ipv4) {
    req.appendChar(1);
    req.append(ipv4, 4);
  } else {
    req.appendChar(3);
    if (!appendCounted(req, dest, "destination", log)) return closeAndFail(sock, log, nullptr);
  }
  req.appendChar((unsigned char)(port >> 8));
  req.appendChar((unsigned char)port);
  if (!send(sock, req, hb, log, pm))
    return closeAndFail(sock, log, "Failed to send connection request to SOCKS5 server.");
  if (!receive(sock, reply, 4, hb, log, pm))
    return closeAndFail(sock, log, "Failed to receive response from SOCKS5 server..");
  if (reply[1] != 0) {
    log.LogError("SOCKS5 server rejected connection request");
    log.LogDataLong("status", reply[1]);
    return closeAndFail(sock, log, nullptr);
  }
  unsigned char bound[256];
  if (reply[3] == 1) {
    if (!receive(sock, bound, 4, hb, log, pm))
      return closeAndFail(sock, log, "Failed to receive IPv4 address from SOCKS5 server.");
  } else if (reply[3] == 3) {
    if (!receive(sock, bound, 1, hb, log, pm))
      return closeAndFail(sock, log, "Failed to receive domain name length from SOCKS5 server.");
    unsigned int len = bound[0];
    log.LogDataLong("domainNameLen", (int)len);
    if (len > 0 && !receive(sock, bound, len, hb, log, pm))
      return closeAndFail(sock, log, "Failed to receive domain name from SOCKS5 server.");
  } else if (reply[3] == 4) {
    return closeAndFail(sock, log, "IPv6 addresses not yet supported.");
  } else {
    return closeAndFail(sock, log, "Invalid response from SOCKS5 server");
  }
  if (!receive(sock, bound, 2, hb, log, pm))
    return closeAndFail(sock, log, "Failed to receive port reply from SOCKS5 server.");
  return true;
}

bool SocksClient::dnsLookup(RazudodSocket &sock, const char *host, unsigned int a1, unsigned int a2,
                            unsigned int a3, LogBase &log, ProgressMonitor *pm, XString &result,
                            bool &aborted, bool &timedOut) {
  aborted = timedOut = false;
  StringBuffer name(host ? host : "");
  name.trim2();
  if (RazudodSocket::isDottedIpAddress(name.getString())) {
    result.setFromUtf8(name.getString());
    return true;
  }
  unsigned int addr = 0;
  return sock.DnsLookup(name.getString(), a1, a2, a3, log, pm, result, addr, aborted, timedOut);
}

bool SocksClient::socks5Connect(RazudodSocket &sock, const char *host, int port,
                                const char *bindAddr, unsigned int heartbeatMs,
                                unsigned int connectTimeoutMs, LogBase &log,
                                bool &nameResolutionFailed, ProgressMonitor *pm, int &failReason,
                                ClsSocksClient &settings) {
  HandshakeIdleScope idleScope(sock);
  int socksPort = settings.get_SocksPort();
  StringBuffer socksHost, user, password;
  settings.getSocksHostnameAnsi(socksHost);
  settings.getSocksUsernameAnsi(user);
  settings.getSocksPasswordAnsi(password);
  if (socksPort == 0 || socksHost.getSize() == 0) {
    log.LogError("No SOCKS5 hostname and/or port");
    return false;
  }
  connectProgress(pm, "Socks5Connect", socksHost, port);
  logSettings(log, "SOCKS5", socksHost, socksPort, user);

  StringBuffer dest(host ? host : "");
  dest.trim2();
  if (dest.getSize() == 0) {
    log.LogError("No target hostname for SOCKS5 connection.");
    return false;
  }
  // Digits and dots are an IPv4 address: exactly four numbers of at most 255 each.
  unsigned char ipv4[4];
  bool numeric = allDigitsAndDots(dest);
  if (numeric && RazudodSocket::inet_pton4(dest.getString(), ipv4) != 1) {
    log.LogError("Invalid SOCKS5 destination IP address");
    log.LogData("ipAddress3", dest.getString());
    return false;
  }
  if (!numeric && dest.getSize() > 255) {
    log.LogError("SOCKS5 field longer than 255 bytes.");
    log.LogData("field", "destination");
    return false;
  }
  if (!connectToProxy(sock, socksHost, socksPort, bindAddr, heartbeatMs, connectTimeoutMs, log,
                      nameResolutionFailed, pm, failReason, "Failed to connect to SOCKS5 server."))
    return false;
  sock.SetIdleMsTimeout(connectTimeoutMs);
  bool ok = socks5Handshake(sock, dest, numeric ? ipv4 : nullptr, port, user, password, heartbeatMs,
                            log, pm);
  password.secureClear();
  return ok;
}

bool SocksClient::socks4Connect(RazudodSocket &sock, const char *host, int port,
                                const char *bindAddr, unsigned int heartbeatMs,
                                unsigned int connectTimeoutMs, LogBase &log,
                                bool &nameResolutionFailed, ProgressMonitor *pm, int &failReason,
                                ClsSocksClient &settings) {
  HandshakeIdleScope idleScope(sock);
  int socksPort = settings.get_SocksPort();
  StringBuffer socksHost, user;
  settings.getSocksHostnameAnsi(socksHost);
  settings.getSocksUsernameAnsi(user);
  logSettings(log, "SOCKS4", socksHost, socksPort, user);
  connectProgress(pm, "Socks4Connect", socksHost, port);
  if (socksPort == 0 || socksHost.getSize() == 0) {
    log.LogError("No SOCKS4 hostname and/or port");
    return false;
  }
  XString address;
  bool aborted = false, timedOut = false;
  if (!dnsLookup(sock, host, heartbeatMs, 0, connectTimeoutMs, log, pm, address, aborted,
                 timedOut)) {
    log.LogError("DNS lookup of target hostname failed. (for SOCKS4)");
    log.LogData("hostname", host ? host : "");
    return false;
  }
  unsigned char ipv4[4];
  if (RazudodSocket::inet_pton4(address.getUtf8(), ipv4) != 1) {
    log.LogError("Invalid SOCKS4 destination IP address");
    log.LogData("ipAddr", address.getUtf8());
    return false;
  }
  if (!connectToProxy(sock, socksHost, socksPort, bindAddr, heartbeatMs, connectTimeoutMs, log,
                      nameResolutionFailed, pm, failReason, "Failed to connect to SOCKS4 server."))
    return false;
  DataBuffer req;
  req.append("\x04\x01", 2);
  req.appendChar((unsigned char)(port >> 8));
  req.appendChar((unsigned char)port);
  req.append(ipv4, 4);
  req.append(user);
  req.appendChar(0);
  sock.SetIdleMsTimeout(connectTimeoutMs);
  if (!send(sock, req, heartbeatMs, log, pm)) {
    log.LogError("Failed to send connect request to SOCKS4 server.");
    return false;
  }
  unsigned char reply[8];
  if (!receive(sock, reply, 8, heartbeatMs, log, pm)) {
    log.LogError("Failed to receive reply to SOCKS4 connect request.");
    return false;
  }
  if (reply[1] != 0x5A) {
    log.LogError("SOCKS4 connect request denied.");
    log.LogDataLong("resultCode", reply[1]);
    return false;
  }
  return true;
}
