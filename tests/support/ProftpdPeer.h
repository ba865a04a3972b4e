// ProFTPD's SSH/SFTP server (mod_sftp, unpacked by scripts/setup.sh), an SSH implementation
// written apart from OpenSSH: started as root on a free loopback port with a configuration of the
// test's choosing, stopped by its pid. Logins are those of the local SFTP user (SftpPeers.h):
// password, keyboard-interactive through PAM, and keys from an RFC 4716 file.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "tests/support/Peers.h"
#include "tests/support/SftpPeers.h"

namespace testsupport {

inline const std::string kProftpdRoot = "/opt/ferrowen-peers/proftpd";

inline Peer proftpdPeer() {
  return peerFile(kProftpdRoot + "/usr/lib/proftpd/mod_sftp.so", "proftpd-mod-sftp, unpacked");
}

struct ProftpdSftpOptions {
  std::string rekey;    // the value of SFTPRekey, e.g. "required 900 16"; empty: none
  int sftpVersion = 0;  // the highest SFTP version the server grants; 0: its own default
  std::string userKeys; // OpenSSH public keys (one a line) that may log in as the SFTP user
  std::string authMethods = "password publickey keyboard-interactive";
};

class ProftpdSftpPeer {
public:
  int port() const { return port_; }
  bool started() const { return ok_; }
  const std::string &why() const { return why_; }
  // The module's own log (key exchanges, re-keys, protocol errors) and the server's output.
  std::string log() const {
    return readFile(dir_.file("sftp.log")) + proc_.errors() + proc_.output();
  }

  static std::unique_ptr<ProftpdSftpPeer> start(const ProftpdSftpOptions &o) {
    auto p = std::unique_ptr<ProftpdSftpPeer>(new ProftpdSftpPeer);
    if (::geteuid() != 0) {
      p->why_ = "ProFTPD runs as root only";
      return p;
    }
    std::string hostKey = sshHostKey("rsa", 2048), keys = p->dir_.file("authorized_keys");
    if (hostKey.empty() || !ensureSftpUser()) {
      p->why_ = "no host key or no SFTP user";
      return p;
    }
    // The module reads keys in RFC 4716 form only.
    std::string pub = p->dir_.file("keys.pub");
    writeFile(pub, o.userKeys);
    writeFile(keys, "");
    runCommand("while read -r line; do [ -n \"$line\" ] && printf '%s\\n' \"$line\" > '" + pub +
               ".one' && ssh-keygen -e -f '" + pub + ".one' >> '" + keys + "'; done < '" + pub +
               "'");
    const std::string d = p->dir_.path();
    ::chmod(d.c_str(), 0755);
    std::string conf =
        "ServerType standalone\nDefaultServer on\nUseIPv6 off\nSocketBindTight on\n"
        "DefaultAddress 127.0.0.1\nPort " +
        std::to_string(p->port_) + "\nUser nobody\nGroup nogroup\nScoreboardFile " + d +
        "/pro.score\nPidFile " + d +
        "/pro.pid\nDelayTable none\nWtmpLog off\nUseReverseDNS off\nRequireValidShell off\n"
        "AllowOverwrite on\nModulePath " +
        kProftpdRoot +
        "/usr/lib/proftpd\nLoadModule mod_sftp.c\nLoadModule mod_sftp_pam.c\n"
        "<IfModule mod_sftp.c>\n  SFTPEngine on\n  SFTPLog " +
        d + "/sftp.log\n  SFTPHostKey " + hostKey + "\n  SFTPAuthMethods " + o.authMethods +
        "\n  SFTPAuthorizedUserKeys file:" + keys +
        "\n  SFTPCiphers aes256-cbc aes128-cbc 3des-cbc blowfish-cbc\n"
        "  SFTPDigests hmac-sha1 hmac-md5\n"
        "  SFTPKeyExchanges diffie-hellman-group14-sha1 diffie-hellman-group1-sha1 "
        "diffie-hellman-group-exchange-sha1 diffie-hellman-group-exchange-sha256\n"
        "  SFTPDHParamFile " +
        kProftpdRoot + "/etc/proftpd/dhparams.pem\n  SFTPCompression off\n";
    if (!o.rekey.empty()) conf += "  SFTPRekey " + o.rekey + "\n";
    if (o.sftpVersion)
      conf +=
          "  SFTPClientMatch \".*\" sftpProtocolVersion " + std::to_string(o.sftpVersion) + "\n";
    conf += "</IfModule>\n";
    writeFile(p->dir_.file("proftpd.conf"), conf);
    p->proc_ = Process(
        {kProftpdRoot + "/usr/sbin/proftpd", "-n", "-q", "-c", p->dir_.file("proftpd.conf")}, d);
    p->ok_ = p->proc_.started() && waitForTcpPort(p->port_);
    if (!p->ok_) p->why_ = "ProFTPD did not start: " + p->log();
    return p;
  }

private:
  ProftpdSftpPeer() : port_(freeTcpPort()), dir_("ferrowen-proftpd") {}
  int port_;
  bool ok_ = false;
  std::string why_;
  TempDir dir_;
  Process proc_;
};

} // namespace testsupport
