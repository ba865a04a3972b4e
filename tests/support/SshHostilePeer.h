// The scripted SSH server that turns hostile (ssh_hostile_server.py beside this file), and an SFTP
// session of the library run in a process of its own (the sftp_client_probe program of
// tests/interop/ssh), for tests of what a server can make the client do: which step failed with
// which log, how much resident memory the session took at its peak, and what the server saw.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/Peers.h"
#include "tests/support/SshPeers.h"

namespace testsupport {

constexpr const char *kHostileUser = "tester";
constexpr const char *kHostilePassword = "secret";
constexpr const char *kHostileFile = "data.bin";

struct HostileServerOptions {
  std::string hostKey = "ed25519"; // "ed25519", "ecdsa" (P-256) or "rsa"
  std::string kex = "curve25519-sha256";
  std::string cipher = "chacha20-poly1305@openssh.com";
  bool strictKex = true;
  std::string act = "none"; // see the script's text
  long long at = 1 << 20;   // file bytes served before the act
  int rekeys = 0;           // proper re-keys before the act
  long count = 1000;
  long size = 32768;
  long long fileSize = 4 << 20;
};

// The peers these tests need: Python's cryptography package for the server.
inline Peer hostileServerPeer() {
  return pythonModule("cryptography", "python3-cryptography");
}

// The byte at an offset of the file the server serves.
inline unsigned char hostileFileByte(long long offset) {
  return (unsigned char)(offset % 251);
}

class HostileSshServer {
public:
  explicit HostileSshServer(const HostileServerOptions &o) : port_(freeTcpPort()) {
    std::string key = o.hostKey == "rsa"     ? sshHostKey("rsa", 2048)
                      : o.hostKey == "ecdsa" ? sshHostKey("ecdsa", 256)
                                             : sshHostKey("ed25519");
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     std::string(FERROWEN_SOURCE_DIR) +
                                         "/tests/support/ssh_hostile_server.py",
                                     "--port",
                                     std::to_string(port_),
                                     "--host-key",
                                     key,
                                     "--kex",
                                     o.kex,
                                     "--cipher",
                                     o.cipher,
                                     "--user",
                                     kHostileUser,
                                     "--password",
                                     kHostilePassword,
                                     "--file-name",
                                     kHostileFile,
                                     "--file-size",
                                     std::to_string(o.fileSize),
                                     "--act",
                                     o.act,
                                     "--at",
                                     std::to_string(o.at),
                                     "--rekeys",
                                     std::to_string(o.rekeys),
                                     "--count",
                                     std::to_string(o.count),
                                     "--size",
                                     std::to_string(o.size)};
    if (!o.strictKex) argv.push_back("--no-strict");
    proc_ = Process(argv, dir_.path());
    ok_ = !key.empty() && proc_.started() && waitForTcpPort(port_);
  }
  int port() const { return port_; }
  bool started() const { return ok_; }
  std::string log() const { return proc_.output() + proc_.errors(); }

  // The report of the next connection that ends (key=value pairs); empty when none came in time
  // (`limit` scaled).
  std::map<std::string, std::string> report(std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + scaled(limit);
    for (;;) {
      std::istringstream out(proc_.output());
      std::string line;
      int seen = 0;
      while (std::getline(out, line)) {
        if (line.rfind("REPORT ", 0) != 0 || seen++ < reportsTaken_) continue;
        ++reportsTaken_;
        std::map<std::string, std::string> r;
        std::istringstream items(line.substr(7));
        std::string kv;
        while (items >> kv) {
          auto eq = kv.find('=');
          if (eq != std::string::npos) r[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
        return r;
      }
      if (std::chrono::steady_clock::now() > end) return {};
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

private:
  int port_;
  TempDir dir_{"ferrowen-hostile"};
  Process proc_;
  bool ok_ = false;
  int reportsTaken_ = 0;
};

// What one session of the probe did.
struct ProbeResult {
  bool ran = false;
  bool connected = false, loggedIn = false, started = false, downloaded = false;
  long growthKb = -1; // peak resident growth over the session
  std::string log;    // the log of the last step run
  std::string output;
};

// Runs the probe against a server on the port: it downloads the server's file to `local`.
// ASan's quarantine keeps freed memory resident for a while; it is switched off for the probe so
// that the resident size is what the client itself holds.
inline ProbeResult runSftpProbe(int port, const std::string &local, unsigned int idleMs = 10000) {
  TempDir dir("ferrowen-probe");
  const char *asan = std::getenv("ASAN_OPTIONS");
  std::string asanOptions =
      std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "quarantine_size_mb=0";
  Process p({std::string(FERROWEN_BINARY_DIR) + "/tests/interop/ssh/sftp_client_probe",
             std::to_string(port), kHostileUser, kHostilePassword, kHostileFile, local,
             dir.file("log"), std::to_string(idleMs)},
            dir.path(), {{"ASAN_OPTIONS", asanOptions}});
  ProbeResult r;
  auto status = p.wait(std::chrono::seconds(240));
  r.output = p.output() + p.errors();
  r.log = readFile(dir.file("log"));
  int c = 0, l = 0, i = 0, d = 0;
  long g = -1;
  auto at = r.output.find("PROBE ");
  if (status && at != std::string::npos &&
      std::sscanf(r.output.c_str() + at,
                  "PROBE connect=%d login=%d init=%d download=%d growth_kb=%ld", &c, &l, &i, &d,
                  &g) == 5) {
    r.ran = true;
    r.connected = c, r.loggedIn = l, r.started = i, r.downloaded = d;
    r.growthKb = g;
  }
  return r;
}

} // namespace testsupport
