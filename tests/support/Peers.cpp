#include "tests/support/Peers.h"

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <locale.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

bool peersRequired() {
  const char *v = std::getenv("FERROWEN_REQUIRE_PEERS");
  return v && *v && std::string(v) != "0";
}

namespace {

bool executable(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool onPath(const std::string &name) {
  if (name.find('/') != std::string::npos) return executable(name);
  const char *path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (executable((dir.empty() ? "." : dir) + "/" + name)) return true;
  return false;
}

bool pythonImports(const std::string &module) {
  for (char c : module)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.') return false;
  const std::string cmd = "/usr/bin/python3 -c 'import " + module + "' >/dev/null 2>&1";
  const int rc = std::system(cmd.c_str());
  return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

bool localeLoads(const std::string &name) {
  locale_t l = ::newlocale(LC_ALL_MASK, name.c_str(), static_cast<locale_t>(0));
  if (!l) return false;
  ::freelocale(l);
  return true;
}

} // namespace

std::optional<std::string> missingPeer(const Peer &peer) {
  bool present = false;
  const char *what = "";
  switch (peer.kind) {
  case Peer::Kind::Program:
    present = onPath(peer.name);
    what = "program";
    break;
  case Peer::Kind::PythonModule:
    present = pythonImports(peer.name);
    what = "Python module";
    break;
  case Peer::Kind::File:
    present = ::access(peer.name.c_str(), F_OK) == 0;
    what = "file";
    break;
  case Peer::Kind::Locale:
    present = localeLoads(peer.name);
    what = "locale";
    break;
  }
  if (present) return std::nullopt;
  return std::string("missing ") + what + " " + peer.name + " (" + peer.package +
         "; scripts/setup.sh installs it)";
}

void reportMissing(const std::string &what) {
  if (peersRequired()) ADD_FAILURE() << what << ", and FERROWEN_REQUIRE_PEERS is set";
}

bool requirePeer(const Peer &peer) {
  const auto missing = missingPeer(peer);
  if (missing) reportMissing(*missing);
  return !missing;
}

const std::vector<Peer> &suitePeers() {
  using K = Peer::Kind;
  static const std::vector<Peer> peers = {
      // Servers and clients started on loopback.
      {K::Program, "/usr/bin/python3", "python3"},
      {K::Program, "/usr/sbin/vsftpd", "vsftpd"},
      {K::Program, "/opt/ferrowen-peers/proftpd/usr/sbin/proftpd", "proftpd-core, unpacked"},
      {K::Program, "/opt/ferrowen-peers/pure-ftpd/usr/sbin/pure-ftpd", "pure-ftpd, unpacked"},
      {K::Program, "/usr/sbin/sshd", "openssh-server"},
      {K::Program, "/usr/sbin/dropbear", "dropbear-bin"},
      {K::Program, "/usr/bin/dropbearkey", "dropbear-bin"},
      {K::Program, "/usr/sbin/danted", "dante-server"},
      {K::Program, "/usr/bin/tinyproxy", "tinyproxy"},
      {K::Program, "/usr/bin/microsocks", "microsocks"},
      {K::Program, "/usr/bin/perl", "perl"},
      {K::Program, "/usr/bin/curl", "curl"},
      {K::Program, "lftp", "lftp"},
      {K::Program, "wget", "wget"},
      {K::Program, "ssh-keygen", "openssh-client"},
      {K::Program, "puttygen", "putty-tools"},
      {K::Program, "node", "nodejs"},
      {K::Program, "chromium", "chromium"},
      {K::Program, "/usr/bin/xdg-email", "xdg-utils"},
      {K::Program, "/usr/bin/xdg-open", "xdg-utils"},
      // Oracles.
      {K::Program, "openssl", "openssl"},
      {K::Program, "sqlite3", "sqlite3"},
      {K::Program, "xmllint", "libxml2-utils"},
      {K::Program, "iconv", "libc-bin"},
      {K::Program, "tar", "tar"},
      {K::Program, "bsdtar", "libarchive-tools"},
      {K::Program, "gzip", "gzip"},
      {K::Program, "bzip2", "bzip2"},
      {K::Program, "compress", "ncompress"},
      {K::Program, "zip", "zip"},
      {K::Program, "unzip", "unzip"},
      {K::Program, "uuencode", "sharutils"},
      {K::Program, "uudecode", "sharutils"},
      {K::Program, "base64", "coreutils"},
      {K::Program, "base32", "coreutils"},
      {K::Program, "basenc", "coreutils"},
      {K::Program, "stat", "coreutils"},
      {K::Program, "chattr", "e2fsprogs"},
      {K::Program, "ss", "iproute2"},
      {K::PythonModule, "pyftpdlib", "python3-pyftpdlib"},
      {K::PythonModule, "OpenSSL", "python3-openssl"},
      {K::PythonModule, "paramiko", "python3-paramiko"},
      {K::PythonModule, "asyncssh", "python3-asyncssh"},
      {K::File, "/usr/share/unicode/UnicodeData.txt", "unicode-data"},
      {K::File, "/usr/share/i18n/charmaps", "locales"},
      {K::File, FERROWEN_SOURCE_DIR "/tests/renderer/node_modules/playwright-core",
       "npm ci in tests/renderer"},
      {K::Locale, "en_US.UTF-8", "locales, en_US.UTF-8 generated"},
  };
  return peers;
}

} // namespace testsupport
