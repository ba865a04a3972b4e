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

bool requirePeer(const Peer &peer) {
  const auto missing = missingPeer(peer);
  if (!missing) return true;
  if (peersRequired()) ADD_FAILURE() << *missing << ", and FERROWEN_REQUIRE_PEERS is set";
  return false;
}

const std::vector<Peer> &suitePeers() {
  static const std::vector<Peer> peers = [] {
    std::vector<Peer> p;
    // Servers and clients started on loopback.
    for (auto [name, package] : std::vector<std::pair<const char *, const char *>>{
             {"/usr/bin/python3", "python3"},
             {"/usr/sbin/vsftpd", "vsftpd"},
             {"/opt/ferrowen-peers/proftpd/usr/sbin/proftpd", "proftpd-core, unpacked"},
             {"/opt/ferrowen-peers/pure-ftpd/usr/sbin/pure-ftpd", "pure-ftpd, unpacked"},
             {"/usr/sbin/sshd", "openssh-server"},
             {"/usr/sbin/danted", "dante-server"},
             {"/usr/bin/tinyproxy", "tinyproxy"},
             {"/usr/bin/microsocks", "microsocks"},
             {"/usr/bin/perl", "perl"},
             {"/usr/bin/curl", "curl"},
             {"lftp", "lftp"},
             {"wget", "wget"},
             {"ssh-keygen", "openssh-client"},
             {"puttygen", "putty-tools"},
             {"node", "nodejs"},
             {"chromium", "chromium"},
             // Oracles.
             {"openssl", "openssl"},
             {"sqlite3", "sqlite3"},
             {"xmllint", "libxml2-utils"},
             {"iconv", "libc-bin"},
             {"tar", "tar"},
             {"bsdtar", "libarchive-tools"},
             {"gzip", "gzip"},
             {"bzip2", "bzip2"},
             {"compress", "ncompress"},
             {"zip", "zip"},
             {"unzip", "unzip"},
             {"uuencode", "sharutils"},
             {"uudecode", "sharutils"},
             {"base64", "coreutils"},
             {"base32", "coreutils"},
             {"basenc", "coreutils"},
             {"stat", "coreutils"},
             {"chattr", "e2fsprogs"},
             {"ss", "iproute2"},
         })
      p.push_back(program(name, package));
    for (auto [name, package] : std::vector<std::pair<const char *, const char *>>{
             {"pyftpdlib", "python3-pyftpdlib"},
             {"OpenSSL", "python3-openssl"},
             {"paramiko", "python3-paramiko"},
             {"asyncssh", "python3-asyncssh"},
         })
      p.push_back(pythonModule(name, package));
    p.push_back(peerFile("/usr/share/unicode/UnicodeData.txt", "unicode-data"));
    p.push_back(peerFile("/usr/share/i18n/charmaps", "locales"));
    p.push_back(
        peerFile(std::string(FERROWEN_SOURCE_DIR) + "/tests/renderer/node_modules/playwright-core",
                 "npm ci in tests/renderer"));
    p.push_back({Peer::Kind::Locale, "en_US.UTF-8", "locales, en_US.UTF-8 generated"});
    return p;
  }();
  return peers;
}

} // namespace testsupport
