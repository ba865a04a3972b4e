// One file over SFTP by the library, for the link bench (bench/ssh/sftp_link.sh), which times the
// whole process as it times OpenSSH's sftp: connection, key exchange, login with the key file,
// SFTP start and the transfer. Fails loudly when the file did not come whole (by its size).
//
//   bench_sftp_transfer down|up <port> <user> <key-file> <remote-path> <local-path>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/ssh/ClsSFtp.h"

namespace {
long long sizeOf(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

int fail(ClsSFtp &s, const char *step) {
  StringBuffer log;
  s.m_log.getText(log);
  std::fprintf(stderr, "%s failed\n%s\n", step, log.getString());
  return 1;
}
} // namespace

int main(int argc, char **argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s down|up <port> <user> <key-file> <remote> <local>\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  ClsSFtp s;
  // FERROWEN_SFTP_SEND_AHEAD / FERROWEN_SFTP_READ_AHEAD / FERROWEN_SFTP_WINDOW: WRITEs kept
  // unanswered, 64 KiB of READs kept in flight and the session channel's window in bytes (the
  // library's defaults else), to compare settings.
  if (const char *n = std::getenv("FERROWEN_SFTP_WINDOW"))
    s.channelInitialWindow = (unsigned int)std::atol(n);
  if (const char *n = std::getenv("FERROWEN_SFTP_SEND_AHEAD"))
    s.sendAheadMaxCount = (unsigned int)std::atoi(n);
  if (const char *n = std::getenv("FERROWEN_SFTP_READ_AHEAD"))
    s.readAheadCount = (unsigned int)std::atoi(n);
  ClsSshKey key;
  XString host, user, remote, local;
  host.setFromUtf8("127.0.0.1");
  user.setFromUtf8(argv[3]);
  remote.setFromUtf8(argv[5]);
  local.setFromUtf8(argv[6]);
  if (!key.loadKeyFile(argv[4], s.m_log)) return fail(s, "key");
  if (!s.Connect(host, std::atoi(argv[2]), nullptr)) return fail(s, "connect");
  if (!s.AuthenticatePk(user, &key, nullptr)) return fail(s, "login");
  if (!s.InitializeSftp(nullptr)) return fail(s, "sftp start");
  bool ok = mode == "down" ? s.DownloadFileByName(remote, local, nullptr)
                           : s.UploadFileByName(remote, local, nullptr);
  if (!ok) return fail(s, "transfer");
  // A transfer to /dev/null (either side) has nothing to compare.
  const bool toNull = std::string(mode == "up" ? argv[5] : argv[6]) == "/dev/null";
  if (!toNull && s.GetFileSize(remote, true, false, nullptr) != sizeOf(argv[6]))
    return fail(s, "size");
  s.Disconnect();
  return 0;
}
