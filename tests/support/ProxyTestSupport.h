// Proxies for tests: the scripted fake (fake_proxy.py beside this file) and the settings and calls
// of the three handshakes on one socket.
#pragma once

#include <string>
#include <thread>

#include "sshlib/ssh/ProxySettings.h"
#include "sshlib/ssh/RazudodSocket.h"
#include "tests/support/TestSupport.h"

namespace testsupport {

class FakeProxy {
public:
  explicit FakeProxy(const std::string &script, const std::string &ntHashHex = "")
      : port_(freeTcpPort()), dir_("ferrowen-fakeproxy") {
    proc_ = Process({"/usr/bin/python3",
                     std::string(FERROWEN_SOURCE_DIR) + "/tests/support/fake_proxy.py",
                     std::to_string(port_), dir_.file("record"), script, ntHashHex},
                    dir_.path());
    for (int i = 0; i < 500 && record().find("READY") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  int port() const { return port_; }
  // What the fake received, once it has finished its script (or after a short wait).
  std::string record() { return readFile(dir_.file("record")); }
  std::string finalRecord() {
    proc_.wait(std::chrono::seconds(5));
    return record();
  }

private:
  int port_;
  TempDir dir_;
  Process proc_;
};

struct ProxySetup {
  ClsSocksClient socks;
  ClsHttpProxyClient http;
  // kind 4 or 5 (SOCKS) or 'h' (HTTP CONNECT), through host:port with the given credentials.
  ProxySetup(int kind, const char *host, int port, const char *user, const char *pass,
             const char *method = "") {
    XString h, u, p, m;
    h.setFromUtf8(host);
    u.setFromUtf8(user);
    p.setFromUtf8(pass);
    m.setFromUtf8(method);
    if (kind == 'h') {
      http.put_HttpProxyHostname(h);
      http.put_HttpProxyPort(port);
      http.put_HttpProxyUsername(u);
      http.put_HttpProxyPassword(p);
      http.put_HttpProxyAuthMethod(m);
      XString d;
      d.setFromUtf8("Domain");
      http.put_HttpProxyDomain(d);
    } else {
      socks.put_SocksVersion(kind);
      socks.put_SocksHostname(h);
      socks.put_SocksPort(port);
      socks.put_SocksUsername(u);
      socks.put_SocksPassword(p);
    }
  }
  bool connect(int kind, RazudodSocket &sock, const char *dest, int destPort, LogBase &log) {
    bool nameFailed = false;
    int reason = 0;
    if (kind == 'h')
      return HttpProxyClient::httpProxyConnect(sock, dest, destPort, nullptr, 0, 5000, log,
                                               nameFailed, nullptr, reason, http);
    return (kind == 4 ? SocksClient::socks4Connect : SocksClient::socks5Connect)(
        sock, dest, destPort, nullptr, 0, 5000, log, nameFailed, nullptr, reason, socks);
  }
};

} // namespace testsupport
