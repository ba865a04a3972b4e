// Peers the tests use (programs, Python modules, unpacked servers), and what a test does when one
// is missing: with FERROWEN_REQUIRE_PEERS set (CI sets it) the test fails, otherwise it is skipped
// and says why. A test that cannot run must never pass unnoticed in CI.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

struct Peer {
  enum class Kind {
    Program,      // a name looked up on PATH, or an absolute path to an executable
    PythonModule, // a module /usr/bin/python3 imports (Debian's python3-* packages)
    File,         // a file or folder that must exist (unpacked servers, data)
    Locale,       // a locale the C library can load
  };
  Kind kind;
  std::string name;
  std::string package; // what installs it (scripts/packages.txt or setup.sh)
};

inline Peer program(std::string name, std::string package) {
  return {Peer::Kind::Program, std::move(name), std::move(package)};
}
inline Peer pythonModule(std::string name, std::string package) {
  return {Peer::Kind::PythonModule, std::move(name), std::move(package)};
}
inline Peer peerFile(std::string path, std::string package) {
  return {Peer::Kind::File, std::move(path), std::move(package)};
}

// Whether CI asked for every peer (FERROWEN_REQUIRE_PEERS set and not "0").
bool peersRequired();
// Empty when the peer is present; otherwise a sentence naming it and what installs it.
std::optional<std::string> missingPeer(const Peer &peer);
// Every peer the suite starts or asks as an oracle.
const std::vector<Peer> &suitePeers();

// When peers are required, records a failure naming what is missing.
void reportMissing(const std::string &what);
// True when the peer is present. When it is missing and peers are required, records a failure.
bool requirePeer(const Peer &peer);

} // namespace testsupport

// For what a test needs of this machine beyond a peer (root, a small file system it mounts), and
// for a peer: fails when peers are required (CI), skips elsewhere, with the reason.
#define REQUIRE_MACHINE(ok, why)                                                                   \
  do {                                                                                             \
    if (!(ok)) {                                                                                   \
      std::ostringstream missingWhy_;                                                              \
      missingWhy_ << why;                                                                          \
      ::testsupport::reportMissing(missingWhy_.str());                                             \
      GTEST_SKIP() << missingWhy_.str();                                                           \
    }                                                                                              \
  } while (0)

// Use at the top of a test that needs `peer`.
#define REQUIRE_PEER(peer)                                                                         \
  do {                                                                                             \
    const auto missingPeer_ = ::testsupport::missingPeer(peer);                                    \
    REQUIRE_MACHINE(!missingPeer_, *missingPeer_);                                                 \
  } while (0)
