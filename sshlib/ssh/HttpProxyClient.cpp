// HTTP CONNECT through a proxy, with Basic or NTLM proxy authentication. The tunnel is open only
// after a 2xx answer; every other answer fails with its status line logged. Header, line and body
// sizes that the proxy controls are bounded, and no credential reaches the log.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/ssh/ClsNtlm.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/ProxySettings.h"
#include "sshlib/ssh/RazudodSocket.h"

namespace {

const unsigned int kSendChunk = 2048;

// The header lines (status line first), each without its line end.
struct ProxyResponse {
  StringBuffer raw;
  std::vector<std::string> lines;
  int status = -1;

  // The value of every field of that name, in order.
  std::vector<std::string> fields(const char *name) const {
    std::vector<std::string> out;
    size_t n = std::strlen(name);
    for (size_t i = 1; i < lines.size(); ++i) {
      const std::string &l = lines[i];
      if (l.size() > n && l[n] == ':' && strncasecmp(l.c_str(), name, n) == 0) {
        StringBuffer v(l.c_str() + n + 1);
        v.trim2();
        out.emplace_back(v.getString());
      }
    }
    return out;
  }
  bool fieldHasToken(const char *name, const char *token) const {
    for (const std::string &v : fields(name))
      if (strcasestr(v.c_str(), token)) return true;
    return false;
  }
  // A Proxy-Authenticate field offering the scheme; its parameter (maybe empty) into param.
  bool offers(const char *scheme, StringBuffer *param) const {
    size_t n = std::strlen(scheme);
    for (const std::string &v : fields("Proxy-Authenticate")) {
      if (strncasecmp(v.c_str(), scheme, n) == 0 && (v.size() == n || v[n] == ' ')) {
        if (param) {
          param->setString(v.c_str() + n);
          param->trim2();
        }
        return true;
      }
    }
    return false;
  }
};

// Reads the response header one line at a time, bounded in all, and takes the status code of an
// "HTTP/x.y NNN reason" status line (-1 when there is none).
bool readHeader(RazudodSocket &sock, unsigned int hb, ProgressMonitor *pm, LogBase &log,
                ProxyResponse &r) {
  unsigned int savedMax = sock.maxLineLen;
  bool ok = false;
  for (;;) {
    unsigned int left = HttpProxyClient::kMaxHeader - (unsigned int)r.raw.getSize();
    if (left == 0) {
      log.LogError("HTTP proxy response header too large.");
      break;
    }
    sock.maxLineLen = left;
    DataBuffer line;
    if (!sock.ReadToNextEndOfLine(line, hb, log, pm, false)) {
      if (line.getSize() >= left) log.LogError("HTTP proxy response header too large.");
      break;
    }
    r.raw.append(line);
    StringBuffer text((const char *)line.getData2(), (int)line.getSize(), 0);
    text.trimTrailingCRLFs();
    if (text.getSize() == 0 && !r.lines.empty()) {
      ok = true;
      break;
    }
    r.lines.emplace_back(text.getString());
  }
  sock.maxLineLen = savedMax;
  if (!ok) return false;
  const char *s = r.lines[0].c_str();
  const char *sp = std::strchr(s, ' ');
  if (std::strncmp(s, "HTTP/", 5) == 0 && sp) {
    int code = 0, digits = 0;
    for (const char *d = sp + 1; digits < 4 && *d >= '0' && *d <= '9'; ++d, ++digits)
      code = code * 10 + (*d - '0');
    char after = sp[1 + digits];
    if (digits == 3 && (after == 0 || after == ' ')) r.status = code;
  }
  return true;
}

bool readContentLength(RazudodSocket &sock, const char *value, unsigned int hb, ProgressMonitor *pm,
                       LogBase &log, DataBuffer &body) {
  char *end = nullptr;
  unsigned long long n = std::strtoull(value, &end, 10);
  if (end == value || *value < '0' || *value > '9' || *end != 0 || n > HttpProxyClient::kMaxBody) {
    log.LogError("HTTP proxy response body too large or its length unreadable.");
    return false;
  }
  bool to, ab, se, cc;
  return sock.ReadN((unsigned int)n, body, hb, log, pm, to, ab, se, cc);
}

// The body of an answer that is not 2xx (a 2xx answer to CONNECT has none), so the next bytes on
// the connection are the next answer's.
bool readBody(RazudodSocket &sock, const ProxyResponse &r, unsigned int hb, ProgressMonitor *pm,
              LogBase &log, DataBuffer &body) {
  if (r.fieldHasToken("Transfer-Encoding", "chunked")) {
    log.LogInfo("Reading chunked HTTP proxy response...");
    if (!HttpProxyClient::consumeChunkedResponse(sock, hb, pm, log, body)) return false;
    log.LogInfo("Finished receiving chunked response.");
    return true;
  }
  std::vector<std::string> lengths = r.fields("Content-Length");
  if (lengths.empty()) return true;
  if (lengths.size() > 1 || !readContentLength(sock, lengths[0].c_str(), hb, pm, log, body)) {
    log.LogError("Failed to read the HTTP proxy response body.");
    return false;
  }
  return true;
}

// The header up to its empty line, its line ends and tabs turned into single spaces.
void logHeaderOnOneLine(const ProxyResponse &r, LogBase &log) {
  StringBuffer header;
  const char *end = std::strstr(r.raw.getString(), "\r\n\r\n");
  if (end) header.appendN(r.raw.getString(), (int)(end - r.raw.getString()));
  header.trimInsideSpaces();
  logPeerText(log, "header", header);
}

bool statusIs2xx(const ProxyResponse &r) {
  return r.status >= 200 && r.status <= 299;
}

bool failWithStatus(const ProxyResponse &r, LogBase &log) {
  log.LogError("The HTTP proxy refused the CONNECT request.");
  logPeerText(log, "statusLine", r.lines[0].c_str(), (unsigned int)r.lines[0].size());
  return false;
}

// A host for the request line: no bytes that would end or split a header line.
bool validRequestHost(const char *host, LogBase &log) {
  for (const char *p = host; *p; ++p)
    if ((unsigned char)*p <= ' ' || *p == 0x7f) {
      log.LogError("Invalid destination host name for the HTTP proxy.");
      return false;
    }
  if (*host) return true;
  log.LogError("Invalid destination host name for the HTTP proxy.");
  return false;
}

bool connectToProxy(RazudodSocket &sock, const char *proxyHost, int proxyPort, const char *bindAddr,
                    unsigned int hb, unsigned int connectTimeoutMs, LogBase &log, bool &nameFailed,
                    ProgressMonitor *pm, int &failReason) {
  sock.bindIpAddress.clear();
  if (bindAddr) sock.bindIpAddress.setString(bindAddr);
  sock.SetConnectMsTimeout(connectTimeoutMs);
  bool ok = sock.ConnectSocketWithHB2(proxyHost, proxyPort, 0, hb, log, nameFailed, pm);
  failReason = sock.connectFailReason;
  if (!ok) log.LogError("Failed to connect to HTTP proxy server.");
  return ok;
}

// "CONNECT host:port" with the keep-alive lines; the authorization line (when given) comes
// before Host for Basic and after it for NTLM.
void buildRequest(const char *host, int port, const char *authLine, bool authAfterHost,
                  StringBuffer &req) {
  req.clear();
  req.append("CONNECT ");
  req.append(host);
  req.append(":");
  req.append(port);
  req.append(" HTTP/1.1\r\nConnection: Keep-Alive\r\nProxy-Connection: Keep-Alive\r\n");
  if (authLine && !authAfterHost) req.append3(authLine, "\r\n", "");
  req.append3("Host: ", host, "\r\n");
  if (authLine && authAfterHost) req.append3(authLine, "\r\n", "");
  req.append("\r\n");
}

bool sendRequest(RazudodSocket &sock, StringBuffer &req, unsigned int hb, LogBase &log,
                 ProgressMonitor *pm) {
  bool ok = sock.SendString(req, kSendChunk, hb, log, pm);
  req.secureClear();
  if (!ok) log.LogError("Failed to send CONNECT request.");
  return ok;
}

// Sends the request and reads the answer's header.
bool exchange(RazudodSocket &sock, StringBuffer &req, unsigned int hb, LogBase &log,
              ProgressMonitor *pm, ProxyResponse &r) {
  if (!sendRequest(sock, req, hb, log, pm)) return false;
  if (readHeader(sock, hb, pm, log, r)) return true;
  log.LogError("Failed to read CONNECT response.");
  return false;
}

} // namespace

bool HttpProxyClient::readResponse(RazudodSocket &sock, unsigned int heartbeatMs,
                                   ProgressMonitor *pm, LogBase &log, int &status,
                                   DataBuffer &body) {
  ProxyResponse r;
  bool ok = readHeader(sock, heartbeatMs, pm, log, r) &&
            (statusIs2xx(r) || readBody(sock, r, heartbeatMs, pm, log, body));
  status = r.status;
  return ok;
}

bool HttpProxyClient::consumeChunkedResponse(RazudodSocket &sock, unsigned int hb,
                                             ProgressMonitor *pm, LogBase &log, DataBuffer &body) {
  unsigned int savedMax = sock.maxLineLen;
  sock.maxLineLen = 1024;
  auto readLine = [&](StringBuffer &line) {
    DataBuffer d;
    if (pm) pm->m_suspendConsume = true;
    bool ok = sock.ReadToNextEndOfLine(d, hb, log, pm, false);
    if (pm) pm->m_suspendConsume = false;
    line.setString("");
    line.appendN((const char *)d.getData2(), (int)d.getSize());
    line.trimTrailingCRLFs();
    return ok;
  };
  auto fail = [&](const char *text) {
    sock.maxLineLen = savedMax;
    sock.CloseSocket(0, log);
    log.LogError(text);
    return false;
  };
  for (;;) {
    StringBuffer line;
    if (!readLine(line)) return fail("Failed to get chunked HTTP proxy response (1)");
    char *end = nullptr;
    unsigned long long size = std::strtoull(line.getString(), &end, 16);
    if (line.getSize() == 0 || end == line.getString() || line.charAt(0) == '-' ||
        line.charAt(0) == '+' || line.charAt(0) == ' ')
      break;
    if (size > kMaxBody - body.getSize()) return fail("HTTP proxy response body too large.");
    if (size == 0) {
      // Trailer fields, if any, up to the empty line.
      for (int n = 0; n < 64; ++n) {
        if (!readLine(line)) return fail("Failed to get chunked HTTP proxy response (1)");
        if (line.getSize() == 0) break;
      }
      break;
    }
    bool to, ab, se, cc;
    if (pm) pm->m_suspendConsume = true;
    bool ok = sock.ReadN((unsigned int)size, body, hb, log, pm, to, ab, se, cc);
    DataBuffer crlf;
    bool ok2 = ok && sock.ReadN(2, crlf, hb, log, pm, to, ab, se, cc);
    if (pm) pm->m_suspendConsume = false;
    if (!ok) return fail("Failed to get chunked HTTP proxy response (2)");
    if (!ok2) return fail("Failed to get chunked HTTP proxy response (3)");
  }
  sock.maxLineLen = savedMax;
  return true;
}

bool HttpProxyClient::httpProxyConnect(RazudodSocket &sock, const char *host, int port,
                                       const char *bindAddr, unsigned int heartbeatMs,
                                       unsigned int connectTimeoutMs, LogBase &log,
                                       bool &nameResolutionFailed, ProgressMonitor *pm,
                                       int &failReason, ClsHttpProxyClient &settings) {
  nameResolutionFailed = false;
  failReason = 0;
  struct Context {
    LogBase &log;
    ~Context() { log.LeaveContext(); }
  } ctx{log};
  log.EnterContext("HttpProxyConnect", true);
  XString proxyHost, user, password, method;
  settings.get_HttpProxyHostname(proxyHost);
  settings.get_HttpProxyUsername(user);
  settings.get_HttpProxyPassword(password);
  settings.get_HttpProxyAuthMethod(method);
  method.trim2();
  int proxyPort = settings.get_HttpProxyPort();
  log.LogData("proxyHostname", proxyHost.getUtf8());
  log.LogDataLong("proxyPort", proxyPort);
  if (method.getSizeUtf8()) log.LogData("proxyAuthMethod", method.getUtf8());
  if (user.getSizeUtf8()) log.LogData("proxyUsername", user.getUtf8());
  if (proxyPort == 0 || proxyHost.getSizeUtf8() == 0) {
    log.LogError("No HTTP proxy hostname and/or port");
    return false;
  }
  const char *dest = host ? host : "";
  if (!validRequestHost(dest, log)) return false;

  for (int pass = 0; pass < 2; ++pass) {
    if (!connectToProxy(sock, proxyHost.getUtf8(), proxyPort, bindAddr, heartbeatMs,
                        connectTimeoutMs, log, nameResolutionFailed, pm, failReason))
      return false;
    bool basic = method.equalsIgnoreCaseUtf8("Basic") && user.getSizeUtf8() > 0;
    StringBuffer authLine, req;
    if (basic) {
      StringBuffer creds(user.getUtf8());
      creds.append(":");
      creds.append(password.getUtf8());
      ContentCoding cc;
      authLine.append("Proxy-Authorization: Basic ");
      cc.encodeBase64_noCrLf(creds.getString(), creds.getSize(), authLine);
      creds.secureClear();
    }
    // The log shows whether credentials went, never them.
    buildRequest(dest, port, basic ? "Proxy-Authorization: Basic (not logged)" : nullptr, false,
                 req);
    req.shorten(4);
    log.LogData("ConnectRequest", req.getString());
    buildRequest(dest, port, basic ? authLine.getString() : nullptr, false, req);
    authLine.secureClear();
    ProxyResponse r;
    if (!exchange(sock, req, heartbeatMs, log, pm, r)) return false;
    logPeerText(log, "ConnectResponseHeader", r.raw);
    logPeerText(log, "firstLine", r.lines[0].c_str(), (unsigned int)r.lines[0].size());
    if (statusIs2xx(r)) return true;
    DataBuffer body;
    if (!readBody(sock, r, heartbeatMs, pm, log, body)) {
      log.LogError("Failed to read chunked response.");
      return false;
    }
    if (r.status != 407) return failWithStatus(r, log);
    logHeaderOnOneLine(r, log);
    if (method.equalsIgnoreCaseUtf8("NTLM") || !r.offers("Basic", nullptr)) break;
    if (pass == 1 || user.getSizeUtf8() == 0) {
      log.LogError(user.getSizeUtf8() ? "The HTTP proxy refused the Basic credentials."
                                      : "The HTTP proxy asks for credentials and none are set.");
      return failWithStatus(r, log);
    }
    method.setFromUtf8("Basic");
    log.LogInfo("Re-sending with Basic Authorization header...");
  }
  XString domain;
  settings.get_HttpProxyDomain(domain);
  bool ok = proxyConnectNtlm(proxyHost.getUtf8(), proxyPort, dest, port, bindAddr, user, password,
                             domain, sock, heartbeatMs, connectTimeoutMs, nameResolutionFailed,
                             failReason, pm, log);
  password.secureClear();
  return ok;
}

bool HttpProxyClient::proxyConnectNtlm(const char *proxyHost, int proxyPort, const char *host,
                                       int port, const char *bindAddr, XString &user,
                                       XString &password, XString &domain, RazudodSocket &sock,
                                       unsigned int heartbeatMs, unsigned int connectTimeoutMs,
                                       bool &nameResolutionFailed, int &failReason,
                                       ProgressMonitor *pm, LogBase &log) {
  struct Context {
    LogBase &log;
    ~Context() { log.LeaveContext(); }
  } ctx{log};
  log.EnterContext("ProxyConnectNtlm", true);
  ClsNtlm ntlm;
  ntlm.put_UserName(user);
  ntlm.put_Password(password);
  ntlm.put_Domain(domain);
  StringBuffer computer;
  Psdk::getComputerName(computer);
  if (computer.getSize()) {
    XString ws;
    ws.setFromAnsi(computer.getString());
    ntlm.put_Workstation(ws);
  }
  sock.CloseSocket(0, log);
  if (!connectToProxy(sock, proxyHost, proxyPort, bindAddr, heartbeatMs, connectTimeoutMs, log,
                      nameResolutionFailed, pm, failReason))
    return false;

  StringBuffer msg, authLine, req;
  if (!ntlm.genType1(msg, log)) return false;
  authLine.append3("Proxy-Authorization: NTLM ", msg.getString(), "");
  buildRequest(host, port, authLine.getString(), true, req);
  StringBuffer logged(req);
  logged.shorten(4);
  log.LogData("ConnectRequest", logged.getString());
  log.LogInfo("Sending CONNECT with NTLM Type1 message to proxy...");
  if (!sendRequest(sock, req, heartbeatMs, log, pm)) return false;

  log.LogInfo("Receiving NTLM TYPE2 message from proxy...");
  ProxyResponse r;
  if (!readHeader(sock, heartbeatMs, pm, log, r)) {
    log.LogError("Failed to read CONNECT NTLM TYPE1 response.");
    log.LogDataLong("numBytesReceived", r.raw.getSize());
    logPeerText(log, "responseData", r.raw);
    return false;
  }
  DataBuffer body;
  if (!readBody(sock, r, heartbeatMs, pm, log, body)) return false;
  StringBuffer challenge;
  if (r.status != 407 || !r.offers("NTLM", &challenge) || challenge.getSize() == 0) {
    log.LogError("Error response from CONNECT request. (2)");
    logPeerText(log, "ConnectResponse", r.raw);
    return false;
  }
  logPeerText(log, "NtlmChallenge", challenge);
  if (!ntlm.genType3(challenge, msg, log)) {
    log.LogError("Failed to generate NTLM Type 3 message.");
    return false;
  }
  authLine.setString("Proxy-Authorization: NTLM ");
  authLine.append(msg);
  buildRequest(host, port, authLine.getString(), true, req);
  log.LogInfo("Sending CONNECT with NTLM Type3 message to proxy...");
  ProxyResponse r3;
  if (!exchange(sock, req, heartbeatMs, log, pm, r3)) return false;
  logPeerText(log, "Type3Response", r3.raw);
  if (statusIs2xx(r3)) return true;
  return failWithStatus(r3, log);
}
