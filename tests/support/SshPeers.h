// Real SSH servers for tests, started on a free loopback port and stopped by pid: OpenSSH's sshd
// with a config of the test's choosing, and python3-asyncssh (ssh_peer.py beside this file).
// Host keys are made once per test program with ssh-keygen.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "tests/support/TestSupport.h"

namespace testsupport {

// A host key made by ssh-keygen ("rsa" with a size, or "dsa"), kept for the life of the program.
inline std::string sshHostKey(const std::string &type, int bits = 0) {
  static TempDir dir("ferrowen-hostkeys");
  static std::map<std::string, std::string> made;
  std::string name = type + (bits ? std::to_string(bits) : "");
  auto it = made.find(name);
  if (it != made.end()) return it->second;
  std::string path = dir.file("host_" + name);
  int rc = -1;
  runCommand("ssh-keygen -q -N '' -m PEM -t " + type + (bits ? " -b " + std::to_string(bits) : "") +
                 " -f '" + path + "' </dev/null >/dev/null 2>&1",
             &rc);
  if (rc != 0) return "";
  return made[name] = path;
}

struct SshPeerOptions {
  std::string hostKeyType = "rsa"; // "rsa" or "dsa"
  int hostKeyBits = 2048;
  // One or more names, comma-separated; empty: the peer's defaults (for sshd the two fixed
  // groups only: it does not answer the old group-exchange request).
  std::string kex;
  std::string ciphers;
  std::string macs;
  std::string rekeyLimit;  // sshd's RekeyLimit value, or asyncssh's rekey bytes
  std::string extraConfig; // more sshd_config lines
  std::string leadConfig;  // sshd_config lines put first, so that they win over the defaults
  // Root (any user for asyncssh) may log in with the keys listed in this file.
  std::string authorizedKeys;
};

// A running server. started() is false (and why() says why) when it could not be started.
class SshPeer {
public:
  int port() const { return port_; }
  bool started() const { return ok_; }
  const std::string &why() const { return why_; }
  std::string log() const { return proc_.errors() + proc_.output(); }
  std::string hostKeyPath() const { return hostKey_; }

  static std::unique_ptr<SshPeer> sshd(const SshPeerOptions &o) {
    auto p = std::unique_ptr<SshPeer>(new SshPeer);
    p->hostKey_ = sshHostKey(o.hostKeyType, o.hostKeyType == "rsa" ? o.hostKeyBits : 0);
    if (p->hostKey_.empty()) {
      p->why_ = "ssh-keygen failed";
      return p;
    }
    std::string alg = o.hostKeyType == "dsa" ? "ssh-dss" : "ssh-rsa";
    std::string cfg = o.leadConfig + "Port " + std::to_string(p->port_) +
                      "\nListenAddress 127.0.0.1\nHostKey " + p->hostKey_ + "\nPidFile " +
                      p->dir_.file("sshd.pid") +
                      "\nLogLevel DEBUG1\nUsePAM no\nPasswordAuthentication "
                      "yes\nKbdInteractiveAuthentication no\nX11Forwarding no\nPrintMotd no\n"
                      "HostKeyAlgorithms " +
                      alg + "\nPubkeyAcceptedAlgorithms +ssh-rsa\nSubsystem sftp internal-sftp\n";
    auto line = [&](const char *key, const std::string &v) {
      if (!v.empty()) cfg += std::string(key) + " " + v + "\n";
    };
    line("Ciphers", o.ciphers.empty() ? "+aes256-cbc,aes128-cbc,3des-cbc" : o.ciphers);
    line("MACs", o.macs.empty() ? "+hmac-sha1,hmac-md5" : o.macs);
    line("KexAlgorithms",
         o.kex.empty() ? "diffie-hellman-group14-sha1,diffie-hellman-group1-sha1" : o.kex);
    line("RekeyLimit", o.rekeyLimit);
    if (o.authorizedKeys.empty())
      cfg += "PermitRootLogin no\n";
    else
      cfg += "PermitRootLogin prohibit-password\nStrictModes no\nAuthorizedKeysFile " +
             o.authorizedKeys + "\n";
    cfg += o.extraConfig;
    std::string cfgPath = p->dir_.file("sshd_config");
    writeFile(cfgPath, cfg);
    runCommand("mkdir -p /run/sshd");
    p->proc_ = Process({"/usr/sbin/sshd", "-D", "-e", "-f", cfgPath}, p->dir_.path());
    p->awaitReady();
    return p;
  }

  static std::unique_ptr<SshPeer> asyncssh(const SshPeerOptions &o) {
    auto p = std::unique_ptr<SshPeer>(new SshPeer);
    p->hostKey_ = sshHostKey(o.hostKeyType, o.hostKeyType == "rsa" ? o.hostKeyBits : 0);
    if (p->hostKey_.empty()) {
      p->why_ = "ssh-keygen failed";
      return p;
    }
    std::string script = std::string(FERROWEN_SOURCE_DIR) + "/tests/support/ssh_peer.py";
    std::vector<std::string> argv = {"/usr/bin/python3",       script,       "--port",
                                     std::to_string(p->port_), "--host-key", p->hostKey_};
    for (auto [flag, v] : {std::pair{"--kex", o.kex}, std::pair{"--ciphers", o.ciphers},
                           std::pair{"--macs", o.macs}, std::pair{"--rekey-bytes", o.rekeyLimit},
                           std::pair{"--authorized-keys", o.authorizedKeys}})
      if (!v.empty()) argv.insert(argv.end(), {flag, v});
    p->proc_ = Process(argv, p->dir_.path());
    p->awaitReady();
    return p;
  }

private:
  SshPeer() : port_(freeTcpPort()), dir_("ferrowen-sshpeer") {}
  void awaitReady() {
    ok_ = proc_.started() && waitForTcpPort(port_);
    if (!ok_) why_ = "server did not start: " + log();
  }

  int port_;
  bool ok_ = false;
  std::string why_;
  TempDir dir_;
  std::string hostKey_;
  Process proc_;
};

} // namespace testsupport
