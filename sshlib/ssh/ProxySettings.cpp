#include "sshlib/ssh/ProxySettings.h"

#include "sshlib/core/LogBase.h"

ClsSocksClient::ClsSocksClient() = default;
ClsSocksClient::~ClsSocksClient() {
  m_socksPassword.secureClear();
}

ClsHttpProxyClient::ClsHttpProxyClient() = default;
ClsHttpProxyClient::~ClsHttpProxyClient() {
  m_password.secureClear();
}

bool ClsHttpProxyClient::hasHttpProxy() {
  return m_port != 0 && m_hostname.getSizeUtf8() != 0;
}

// The proxy handshakes are not built yet: a connect through a proxy fails plainly instead of
// going direct, which would bypass the proxy the user asked for.
static bool proxyNotBuilt(const char *which, LogBase &log) {
  log.LogError(which);
  return false;
}

bool SocksClient::socks4Connect(RazudodSocket &, const char *, int, const char *, unsigned int,
                                unsigned int, LogBase &log, bool &, ProgressMonitor *,
                                int &failReason, ClsSocksClient &) {
  failReason = 0;
  return proxyNotBuilt("SOCKS4 proxy connections are not supported yet.", log);
}

bool SocksClient::socks5Connect(RazudodSocket &, const char *, int, const char *, unsigned int,
                                unsigned int, LogBase &log, bool &, ProgressMonitor *,
                                int &failReason, ClsSocksClient &) {
  failReason = 0;
  return proxyNotBuilt("SOCKS5 proxy connections are not supported yet.", log);
}

bool HttpProxyClient::httpProxyConnect(RazudodSocket &, const char *, int, unsigned int,
                                       unsigned int, ClsHttpProxyClient &, LogBase &log,
                                       ProgressMonitor *) {
  return proxyNotBuilt("HTTP proxy connections are not supported yet.", log);
}
