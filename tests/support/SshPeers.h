// Real SSH servers for tests, started on a free loopback port and stopped by pid: OpenSSH's sshd
// with a config of the test's choosing, Dropbear with its defaults, and python3-asyncssh
// (ssh_peer.py beside this file).
// Host keys are made once per test program with ssh-keygen.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace testsupport {

// A host key made by ssh-keygen ("rsa" with a size, "ecdsa" with 256, 384 or 521 bits, "dsa" or
// "ed25519"), kept for the life of the program. RSA, ECDSA and DSA keys are written in PEM.
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

// The bits a host key type is made with by default here.
inline int sshDefaultKeyBits(const std::string &type) {
  if (type == "rsa") return 2048;
  if (type == "ecdsa") return 256;
  return 0;
}

struct SshPeerOptions {
  std::string hostKeyType = "rsa"; // "rsa", "ecdsa", "ed25519" or "dsa"
  int hostKeyBits = 0;             // 0: sshDefaultKeyBits
  // More host keys the server holds, as "type" or "type:bits" ("ed25519", "ecdsa:384").
  std::vector<std::string> moreHostKeys;
  // One or more names, comma-separated; empty: the peer's defaults.
  std::string kex;
  std::string ciphers;
  std::string macs;
  // An old-style server: it offers only the first algorithms this client had (ssh-rsa or
  // ssh-dss signatures over SHA-1, CBC ciphers, HMAC-SHA1/MD5, the SHA-1 Diffie-Hellman groups)
  // and takes ssh-rsa user-key signatures. sshd has dropped or disabled all of these by default,
  // so only the tests that exercise those algorithms ask for it.
  bool legacy = false;
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

  // OpenSSH's sshd with Debian's default algorithm settings, unless the options say otherwise.
  static std::unique_ptr<SshPeer> sshd(const SshPeerOptions &o) {
    auto p = std::unique_ptr<SshPeer>(new SshPeer);
    p->hostKey_ = keyFor(o.hostKeyType, o.hostKeyBits);
    if (p->hostKey_.empty()) {
      p->why_ = "ssh-keygen failed";
      return p;
    }
    std::string cfg = o.leadConfig + "Port " + std::to_string(p->port_) +
                      "\nListenAddress 127.0.0.1\nHostKey " + p->hostKey_ + "\n";
    for (const std::string &more : o.moreHostKeys) {
      auto colon = more.find(':');
      std::string path = keyFor(more.substr(0, colon),
                                colon == std::string::npos ? 0 : std::stoi(more.substr(colon + 1)));
      if (path.empty()) {
        p->why_ = "ssh-keygen failed";
        return p;
      }
      cfg += "HostKey " + path + "\n";
    }
    cfg += "PidFile " + p->dir_.file("sshd.pid") +
           "\nLogLevel DEBUG1\nUsePAM no\nPasswordAuthentication "
           "yes\nKbdInteractiveAuthentication no\nX11Forwarding no\nPrintMotd no\n"
           "Subsystem sftp internal-sftp\n";
    auto line = [&](const char *key, const std::string &v) {
      if (!v.empty()) cfg += std::string(key) + " " + v + "\n";
    };
    if (o.legacy) {
      // Widened on purpose: see SshPeerOptions::legacy.
      line("HostKeyAlgorithms", o.hostKeyType == "dsa" ? "ssh-dss" : "ssh-rsa");
      line("PubkeyAcceptedAlgorithms", "+ssh-rsa");
    } else if (o.hostKeyType == "dsa") {
      line("HostKeyAlgorithms", "ssh-dss");
    }
    line("Ciphers", !o.ciphers.empty() ? o.ciphers
                    : o.legacy         ? "aes256-cbc,aes128-cbc,3des-cbc"
                                       : "");
    line("MACs", !o.macs.empty() ? o.macs : o.legacy ? "hmac-sha1,hmac-md5" : "");
    line("KexAlgorithms", !o.kex.empty() ? o.kex
                          : o.legacy     ? "diffie-hellman-group14-sha1,diffie-hellman-group1-sha1"
                                         : "");
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

  // Dropbear with its defaults, its host key made by dropbearkey ("rsa", "ecdsa", "ed25519"), its
  // SFTP subsystem OpenSSH's sftp-server; password logins of system accounts (root's included).
  static std::unique_ptr<SshPeer> dropbear(const std::string &hostKeyType = "rsa") {
    auto p = std::unique_ptr<SshPeer>(new SshPeer);
    p->hostKey_ = p->dir_.file("host_" + hostKeyType);
    int rc = -1;
    runCommand("dropbearkey -t " + hostKeyType + " -f '" + p->hostKey_ + "' >/dev/null 2>&1", &rc);
    if (rc != 0) {
      p->why_ = "dropbearkey failed";
      return p;
    }
    p->proc_ =
        Process({"/usr/sbin/dropbear", "-F", "-E", "-p", "127.0.0.1:" + std::to_string(p->port_),
                 "-r", p->hostKey_, "-P", p->dir_.file("dropbear.pid")},
                p->dir_.path());
    p->awaitReady();
    return p;
  }

  static std::unique_ptr<SshPeer> asyncssh(const SshPeerOptions &o) {
    auto p = std::unique_ptr<SshPeer>(new SshPeer);
    p->hostKey_ = keyFor(o.hostKeyType, o.hostKeyBits);
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
  static std::string keyFor(const std::string &type, int bits) {
    return sshHostKey(type, bits ? bits : sshDefaultKeyBits(type));
  }
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
