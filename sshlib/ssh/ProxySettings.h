// Proxy settings that the SFTP client inherits and the connect step reads, and the proxy
// connects themselves.
#pragma once

#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"

class DataBuffer;
class LogBase;
class ProgressMonitor;
class RazudodSocket;

class ClsSocksClient {
public:
  ClsSocksClient();
  virtual ~ClsSocksClient();

  int get_SocksVersion() const { return m_socksVersion; }
  // 4 and 5 are kept; any other value means no SOCKS proxy.
  void put_SocksVersion(int v) { m_socksVersion = (v == 4 || v == 5) ? v : 0; }
  int get_SocksPort() const { return m_socksPort; }
  void put_SocksPort(int v) { m_socksPort = v; }
  void get_SocksHostname(XString &out) { out.copyFromX(m_socksHostname); }
  void put_SocksHostname(XString &v) { m_socksHostname.copyFromX(v); }
  void get_SocksUsername(XString &out) { out.copyFromX(m_socksUsername); }
  void put_SocksUsername(XString &v) { m_socksUsername.copyFromX(v); }
  void get_SocksPassword(XString &out) { out.copyFromX(m_socksPassword); }
  void put_SocksPassword(XString &v) { m_socksPassword.copyFromX(v); }
  void getSocksHostnameAnsi(StringBuffer &out) { out.setString(m_socksHostname.getAnsi()); }
  void getSocksUsernameAnsi(StringBuffer &out) { out.setString(m_socksUsername.getAnsi()); }
  void getSocksPasswordAnsi(StringBuffer &out) { out.setString(m_socksPassword.getAnsi()); }

private:
  int m_socksVersion = 0;
  int m_socksPort = 1080;
  XString m_socksHostname;
  XString m_socksUsername;
  XString m_socksPassword;
};

class ClsHttpProxyClient {
public:
  ClsHttpProxyClient();
  virtual ~ClsHttpProxyClient();

  void get_HttpProxyHostname(XString &out) { out.copyFromX(m_hostname); }
  void put_HttpProxyHostname(XString &v) { m_hostname.copyFromX(v); }
  int get_HttpProxyPort() const { return m_port; }
  void put_HttpProxyPort(int v) { m_port = v; }
  void get_HttpProxyUsername(XString &out) { out.copyFromX(m_username); }
  void put_HttpProxyUsername(XString &v) { m_username.copyFromX(v); }
  void get_HttpProxyPassword(XString &out) { out.copyFromX(m_password); }
  void put_HttpProxyPassword(XString &v) { m_password.copyFromX(v); }
  void get_HttpProxyDomain(XString &out) { out.copyFromX(m_domain); }
  void put_HttpProxyDomain(XString &v) { m_domain.copyFromX(v); }
  void get_HttpProxyAuthMethod(XString &out) { out.copyFromX(m_authMethod); }
  void put_HttpProxyAuthMethod(XString &v) { m_authMethod.copyFromX(v); }
  // A host name and a port are set.
  bool hasHttpProxy();

private:
  XString m_hostname;
  int m_port = 80;
  XString m_username;
  XString m_password;
  XString m_domain;
  XString m_authMethod;
};

// Tunnels through a proxy: each connects the socket to the proxy and runs the handshake, leaving
// the socket carrying a tunnel to host:port. Every failure is an error line and false.
class SocksClient {
public:
  static bool socks4Connect(RazudodSocket &sock, const char *host, int port, const char *bindAddr,
                            unsigned int heartbeatMs, unsigned int connectTimeoutMs, LogBase &log,
                            bool &nameResolutionFailed, ProgressMonitor *pm, int &failReason,
                            ClsSocksClient &settings);
  static bool socks5Connect(RazudodSocket &sock, const char *host, int port, const char *bindAddr,
                            unsigned int heartbeatMs, unsigned int connectTimeoutMs, LogBase &log,
                            bool &nameResolutionFailed, ProgressMonitor *pm, int &failReason,
                            ClsSocksClient &settings);
  // A dotted address as it stands, else the name resolved here (SOCKS4 carries no names).
  static bool dnsLookup(RazudodSocket &sock, const char *host, unsigned int a1, unsigned int a2,
                        unsigned int a3, LogBase &log, ProgressMonitor *pm, XString &result,
                        bool &aborted, bool &timedOut);
  // The SOCKS5 exchange on a socket already connected to the proxy (ipv4 null: a name).
  static bool socks5Handshake(RazudodSocket &sock, const StringBuffer &dest,
                              const unsigned char *ipv4, int port, StringBuffer &user,
                              StringBuffer &password, unsigned int heartbeatMs, LogBase &log,
                              ProgressMonitor *pm);
};

class HttpProxyClient {
public:
  // Succeeds only on a 2xx answer to CONNECT; nothing but the request is sent.
  static bool httpProxyConnect(RazudodSocket &sock, const char *host, int port,
                               const char *bindAddr, unsigned int heartbeatMs,
                               unsigned int connectTimeoutMs, LogBase &log,
                               bool &nameResolutionFailed, ProgressMonitor *pm, int &failReason,
                               ClsHttpProxyClient &settings);
  static bool proxyConnectNtlm(const char *proxyHost, int proxyPort, const char *host, int port,
                               const char *bindAddr, XString &user, XString &password,
                               XString &domain, RazudodSocket &sock, unsigned int heartbeatMs,
                               unsigned int connectTimeoutMs, bool &nameResolutionFailed,
                               int &failReason, ProgressMonitor *pm, LogBase &log);
  // Appends the data of a chunked body; sizes are bounded (kMaxBody in all).
  static bool consumeChunkedResponse(RazudodSocket &sock, unsigned int heartbeatMs,
                                     ProgressMonitor *pm, LogBase &log, DataBuffer &body);
  // Reads one answer's header and, for an answer that is not 2xx, its body; status is the code
  // of its status line, -1 when it has none.
  static bool readResponse(RazudodSocket &sock, unsigned int heartbeatMs, ProgressMonitor *pm,
                           LogBase &log, int &status, DataBuffer &body);
  static const unsigned int kMaxHeader = 32768;
  static const unsigned int kMaxBody = 1048576;
};
