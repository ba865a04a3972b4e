// One SFTP session in a process of its own: connect, log in with a password, start SFTP and
// download one file, each step only when the one before it worked. Prints one line saying what
// each step gave and how much the process's resident size grew over the session at its peak
// (VmHWM against VmRSS before the session), and writes the log of the last step run to a file.
// The tests run it to see what a server can make the client do.
//   sftp_client_probe PORT USER PASSWORD REMOTE LOCAL LOGFILE IDLE_MS
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "sshlib/ssh/ClsSFtp.h"

namespace {

long statusKb(const char *field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 8) {
    std::fprintf(stderr, "usage: %s PORT USER PASSWORD REMOTE LOCAL LOGFILE IDLE_MS\n", argv[0]);
    return 2;
  }
  const long before = statusKb("VmRSS:");
  bool connected = false, loggedIn = false, started = false, downloaded = false;
  {
    ClsSFtp s;
    s.put_IdleTimeoutMs(std::atoi(argv[7]));
    s.put_ConnectTimeoutMs(30000);
    XString host, user, password, remote, local;
    host.setFromUtf8("127.0.0.1");
    user.setFromUtf8(argv[2]);
    password.setFromUtf8(argv[3]);
    remote.setFromUtf8(argv[4]);
    local.setFromUtf8(argv[5]);
    connected = s.Connect(host, std::atoi(argv[1]), nullptr);
    loggedIn = connected && s.AuthenticatePw(user, password, nullptr);
    started = loggedIn && s.InitializeSftp(nullptr);
    downloaded = started && s.DownloadFileByName(remote, local, nullptr);
    // The tree's own rendering (CR LF line ends): the library's text rendering converts the line
    // ends afterwards in a way that takes long under ASan for a log as large as a flood can make.
    StringBuffer log;
    s.m_log.logger().m_errorLog.GetText(log);
    std::ofstream(argv[6], std::ios::binary).write(log.getString(), (long)log.getSize());
  }
  std::printf("PROBE connect=%d login=%d init=%d download=%d growth_kb=%ld\n", connected, loggedIn,
              started, downloaded, statusKb("VmHWM:") - before);
  return 0;
}
