// Proxies for tests, on a free loopback port, started in the foreground and stopped by pid, and the
// settings and calls of the three handshakes.
#pragma once

#include <string>
#include <thread>

#include "sshlib/ssh/ProxySettings.h"
#include "sshlib/ssh/RazudodSocket.h"
#include "tests/support/TestSupport.h"

namespace testsupport {

// "fake": the scripted proxy (fake_proxy.py beside this file; a is its script, b the NT hash it
// checks NTLM with); "microsocks" (SOCKS5, with user a and password b when given); "danted" (SOCKS4
// and SOCKS5, no authentication); "tinyproxy" (HTTP CONNECT to port connectPort only, Basic with
// user a and password b when given).
class ProxyPeer {
public:
  ProxyPeer(const std::string &which, int connectPort, const std::string &a = "",
            const std::string &b = "")
      : port_(freeTcpPort()), dir_("ferrowen-proxy") {
    std::string p = std::to_string(port_), cfg = dir_.file("proxy.conf");
    std::vector<std::string> argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", p};
    if (which == "microsocks" && !a.empty()) argv.insert(argv.end(), {"-u", a, "-P", b});
    std::string script = std::string(FERROWEN_SOURCE_DIR) + "/tests/support/fake_proxy.py";
    if (which == "fake") argv = {"/usr/bin/python3", script, p, dir_.file("record"), a, b};
    if (which == "danted") {
      writeFile(cfg, "logoutput: stderr\ninternal: 127.0.0.1 port = " + p +
                         "\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\n"
                         "user.privileged: root\nuser.unprivileged: nobody\n"
                         "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                         "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }\n");
      argv = {"/usr/sbin/danted", "-f", cfg, "-N", "1", "-p", dir_.file("danted.pid")};
    }
    if (which == "tinyproxy") {
      writeFile(cfg, "Port " + p +
                         "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nUser nobody\n" +
                         "Group nogroup\nConnectPort " + std::to_string(connectPort) + "\n" +
                         (a.empty() ? "" : "BasicAuth " + a + " " + b + "\n"));
      argv = {"/usr/bin/tinyproxy", "-d", "-c", cfg};
    }
    proc_ = Process(argv, dir_.path());
    // The fake serves only its scripted connections: it says when it listens instead.
    for (int i = 0; which == "fake" && i < 500 && record().empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ok_ = proc_.started() && (which == "fake" || waitForTcpPort(port_));
  }
  int port() const { return port_; }
  bool started() const { return ok_; }
  std::string log() const { return proc_.errors() + proc_.output(); }
  // What the fake received, after (briefly) waiting for it to finish its script when asked.
  std::string record(bool wait = false) {
    if (wait) proc_.wait(std::chrono::seconds(5));
    return readFile(dir_.file("record"));
  }

private:
  int port_;
  TempDir dir_;
  Process proc_;
  bool ok_ = false;
};

// The settings of a kind 4 or 5 (SOCKS) or 'h' (HTTP CONNECT) proxy at host:port, with credentials
// written "user:password:auth method" (parts may be left out), and the handshake on a socket.
struct ProxySetup {
  ClsSocksClient socks;
  ClsHttpProxyClient http;
  ProxySetup(int kind, const char *host, int port, const std::string &creds) {
    configure(socks, http, kind, host, port, creds);
  }
  // The same settings on any object that has them (an SFTP session, say).
  static void configure(ClsSocksClient &socks, ClsHttpProxyClient &http, int kind, const char *host,
                        int port, const std::string &creds) {
    XString v[4];
    v[0].setFromUtf8(host);
    std::string rest = creds + "::";
    for (int i = 1; i < 4; ++i, rest.erase(0, rest.find(':') + 1))
      v[i].setFromUtf8(rest.substr(0, rest.find(':')).c_str());
    http.put_HttpProxyHostname(v[0]);
    http.put_HttpProxyPort(kind == 'h' ? port : 0);
    http.put_HttpProxyUsername(v[1]);
    http.put_HttpProxyPassword(v[2]);
    http.put_HttpProxyAuthMethod(v[3]);
    socks.put_SocksVersion(kind);
    socks.put_SocksHostname(v[0]);
    socks.put_SocksPort(port);
    socks.put_SocksUsername(v[1]);
    socks.put_SocksPassword(v[2]);
  }
  bool connect(int kind, RazudodSocket &sock, const char *dest, LogBase &log) {
    bool nameFailed = false;
    int reason = 0;
    if (kind == 'h')
      return HttpProxyClient::httpProxyConnect(sock, dest, 22, nullptr, 0, 5000, log, nameFailed,
                                               nullptr, reason, http);
    return (kind == 4 ? SocksClient::socks4Connect : SocksClient::socks5Connect)(
        sock, dest, 22, nullptr, 0, 5000, log, nameFailed, nullptr, reason, socks);
  }
};

} // namespace testsupport
