// Helpers for SFTP client tests: a local user with a password for sshd, an asyncssh SFTP server
// over a folder, a session that is connected, logged in and initialised, and file checks.
#pragma once

#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <sstream>
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

// A system account made for one test, with a random password and a home of its own (Dropbear
// reads only ~/.ssh/authorized_keys); removed with its home when the test is over. A locked
// password file (another test making its account) is retried.
class TemporaryAccount {
public:
  TemporaryAccount() {
    std::random_device rd;
    name_ = "ferrowen-t" + std::to_string(rd() % 1000000);
    for (int i = 0; i < 4; ++i)
      password_ += std::to_string(rd());
    for (int i = 0; i < 20 && !made_; ++i) {
      int code = -1;
      runCommand("useradd -m -s /bin/bash " + name_ + " 2>/dev/null", &code);
      made_ = code == 0;
      if (!made_) ::usleep(200 * 1000);
    }
    for (int i = 0; made_ && i < 20; ++i) {
      int code = -1;
      runCommand("echo '" + name_ + ":" + password_ + "' | chpasswd", &code);
      if (code == 0) return;
      ::usleep(200 * 1000);
    }
    made_ = false;
  }
  ~TemporaryAccount() {
    for (int i = 0; i < 20 && ::getpwnam(name_.c_str()); ++i) {
      // Forced: a session the server left behind still runs as the account.
      runCommand("userdel -r -f " + name_ + " >/dev/null 2>&1");
      if (::getpwnam(name_.c_str())) ::usleep(200 * 1000);
    }
  }
  TemporaryAccount(const TemporaryAccount &) = delete;
  TemporaryAccount &operator=(const TemporaryAccount &) = delete;

  bool made() const { return made_ && ::getpwnam(name_.c_str()); }
  const std::string &name() const { return name_; }
  const std::string &password() const { return password_; }
  // Writes ~/.ssh/authorized_keys as the account's own, with the modes servers insist on.
  bool authorize(const std::string &publicKeys) {
    const passwd *pw = ::getpwnam(name_.c_str());
    if (!pw) return false;
    const std::string ssh = std::string(pw->pw_dir) + "/.ssh";
    runCommand("mkdir -p '" + ssh + "'");
    if (!writeFile(ssh + "/authorized_keys", publicKeys)) return false;
    int code = -1;
    runCommand("chown -R " + name_ + ": '" + ssh + "' && chmod 700 '" + ssh + "' && chmod 600 '" +
                   ssh + "/authorized_keys'",
               &code);
    return code == 0;
  }

private:
  std::string name_, password_;
  bool made_ = false;
};

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
  std::string kbd;              // JSON rounds of [prompt, expected answer]
  int readCap = 0;              // the most one READ is answered with (0: what was asked)
  bool replacingRename = false; // a RENAME onto an existing file replaces it
  bool openDefaultMode = false; // a created file takes the server's mode, not the open's
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
  if (o.readCap) argv.insert(argv.end(), {"--read-cap", std::to_string(o.readCap)});
  if (o.replacingRename) argv.push_back("--replacing-rename");
  if (o.openDefaultMode) argv.push_back("--open-default-mode");
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

// The pids of every process, with their parents.
inline std::map<pid_t, pid_t> processParents() {
  std::map<pid_t, pid_t> parents;
  DIR *d = ::opendir("/proc");
  for (dirent *e; d && (e = ::readdir(d));) {
    pid_t pid = (pid_t)std::atol(e->d_name);
    if (pid <= 0) continue;
    std::string stat = readFile("/proc/" + std::string(e->d_name) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    parents[pid] = (pid_t)ppid;
  }
  if (d) ::closedir(d);
  return parents;
}

// Sends a signal to every process a server on a loopback port started for its connections
// (OpenSSH's sshd starts one or two per connection), never to the listening process itself nor
// to any other server's. Returns how many were signalled.
inline int signalServerSessions(int port, int sig) {
  char hexPort[8];
  std::snprintf(hexPort, sizeof hexPort, ":%04X", port);
  std::string inode;
  for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream lines(readFile(table));
    for (std::string line; std::getline(lines, line);) {
      std::istringstream f(line);
      std::string sl, local, remote, st, q, tm, retr, uid, to, ino;
      f >> sl >> local >> remote >> st >> q >> tm >> retr >> uid >> to >> ino;
      if (st == "0A" && local.size() > 5 && local.substr(local.size() - 5) == hexPort) inode = ino;
    }
  }
  if (inode.empty()) return 0;
  // The process that holds the listening socket.
  const std::string target = "socket:[" + inode + "]";
  const auto parents = processParents();
  pid_t listener = 0;
  for (auto &[pid, ppid] : parents) {
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = ::opendir(fds.c_str());
    for (dirent *e; d && !listener && (e = ::readdir(d));) {
      char link[256] = {};
      std::string fd = fds + "/" + e->d_name;
      ssize_t n = ::readlink(fd.c_str(), link, sizeof link - 1);
      if (n > 0 && target == std::string(link, (size_t)n)) listener = pid;
    }
    if (d) ::closedir(d);
    if (listener) break;
  }
  if (!listener) return 0;
  // Its descendants, by their parents.
  std::set<pid_t> tree{listener};
  for (bool grew = true; grew;) {
    grew = false;
    for (auto &[pid, ppid] : parents)
      if (tree.count(ppid) && tree.insert(pid).second) grew = true;
  }
  int signalled = 0;
  for (pid_t pid : tree)
    if (pid != listener && ::kill(pid, sig) == 0) ++signalled;
  return signalled;
}

// Cuts every connection the server is serving, as a crash or a network would cut it.
inline int killServerSessions(int port) {
  return signalServerSessions(port, SIGKILL);
}

inline XString &xs(XString &x, const std::string &s) {
  x.setFromUtf8(s.c_str());
  return x;
}

} // namespace testsupport
