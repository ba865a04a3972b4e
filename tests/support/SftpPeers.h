// Helpers for SFTP client tests: a local user with a password for sshd, an asyncssh SFTP server
// over a folder, a session that is connected, logged in and initialised, and file checks.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <string>

#include "sshlib/core/Logger.h"
#include "sshlib/ssh/ClsSFtp.h"
#include "tests/support/SshPeers.h"

namespace testsupport {

constexpr const char *kSftpUser = "ferrowen-sftp";
constexpr const char *kSftpPass = "Sftp-Secret-18";

// Creating an existing user fails harmlessly; a locked password file is retried.
inline bool ensureSftpUser() {
  if (!::getpwnam(kSftpUser))
    runCommand(std::string("useradd -m -s /bin/bash ") + kSftpUser + " 2>/dev/null");
  for (int i = 0; i < 20; ++i) {
    int code = -1;
    runCommand(std::string("echo '") + kSftpUser + ":" + kSftpPass + "' | chpasswd", &code);
    if (code == 0) return ::getpwnam(kSftpUser) != nullptr;
    ::usleep(200 * 1000);
  }
  return false;
}

inline std::string sha256Of(const std::string &path) {
  std::string out = runCommand("sha256sum '" + path + "' 2>/dev/null");
  return out.substr(0, 64);
}

// A file of n pseudo-random bytes (the same bytes for the same n and seed).
inline void makeDataFile(const std::string &path, long long n, int seed = 1) {
  runCommand("head -c " + std::to_string(n) + " /dev/urandom > '" + path + "'");
  (void)seed;
}

inline std::string logText(ClsSFtp &s) {
  StringBuffer sb;
  s.m_log.getText(sb);
  return sb.getString();
}

struct SftpPeerOptions {
  int version = 3;
  int window = 0;
  int maxPacket = 0;
  std::string kbd; // JSON rounds of [prompt, expected answer]
};

// asyncssh serving `root` as "/" to any user with password kSftpPass (or the keyboard script).
inline Process startAsyncSftp(int port, const std::string &root, const SftpPeerOptions &o,
                              const std::string &logDir) {
  std::vector<std::string> argv = {
      "/usr/bin/python3", std::string(FERROWEN_SOURCE_DIR) + "/tests/support/sftp_peer.py",
      "--port",           std::to_string(port),
      "--host-key",       sshHostKey("rsa", 2048),
      "--root",           root,
      "--password",       kSftpPass,
      "--sftp-version",   std::to_string(o.version)};
  if (o.window) argv.insert(argv.end(), {"--window", std::to_string(o.window)});
  if (o.maxPacket) argv.insert(argv.end(), {"--max-pktsize", std::to_string(o.maxPacket)});
  if (!o.kbd.empty()) argv.insert(argv.end(), {"--kbd", o.kbd});
  Process p(argv, logDir);
  waitForTcpPort(port);
  return p;
}

inline bool sftpConnect(ClsSFtp &s, int port) {
  XString host;
  host.setFromUtf8("127.0.0.1");
  s.IdleTimeoutMs = 20000;
  return s.Connect(host, port, nullptr);
}

// Connect, log in with the password and open the SFTP channel; empty when all went well, else
// the log of the step that failed.
inline std::string sftpSession(ClsSFtp &s, int port, const char *user = kSftpUser,
                               const char *pass = kSftpPass) {
  if (!sftpConnect(s, port)) return "connect: " + logText(s);
  XString u, p;
  u.setFromUtf8(user);
  p.setFromUtf8(pass);
  if (!s.AuthenticatePw(u, p, nullptr)) return "auth: " + logText(s);
  if (!s.InitializeSftp(nullptr)) return "init: " + logText(s);
  return "";
}

inline XString &xs(XString &x, const std::string &s) {
  x.setFromUtf8(s.c_str());
  return x;
}

} // namespace testsupport
