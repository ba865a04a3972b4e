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
