// The SFTP client against a scripted server that turns hostile in the middle of a session: key
// exchange messages out of their place, messages the client may not be sent, more data than its
// window, floods of requests and notes. Whatever the server sends, the client either uses it,
// answers it within a bound, or ends the session with an error that says what was refused; and
// its resident memory stays within a few MB of a normal session's. The scripted server is
// checked first against OpenSSH's own sftp.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/SshHostilePeer.h"

using namespace testsupport;

namespace {

// Whether the file holds the server's bytes, all of them.
::testing::AssertionResult holdsServedFile(const std::string &path, long long size) {
  std::string got = readFile(path);
  if ((long long)got.size() != size)
    return ::testing::AssertionFailure() << path << " holds " << got.size() << " bytes";
  for (size_t i = 0; i < got.size(); ++i)
    if ((unsigned char)got[i] != hostileFileByte((long long)i))
      return ::testing::AssertionFailure() << "byte " << i << " differs";
  return ::testing::AssertionSuccess();
}

struct Setting {
  const char *hostKey, *kex, *cipher;
  bool strict;
  int rekeys;
};

const Setting kSettings[] = {
    {"ed25519", "curve25519-sha256", "chacha20-poly1305@openssh.com", true, 0},
    {"ecdsa", "ecdh-sha2-nistp256", "aes128-gcm@openssh.com", true, 0},
    {"rsa", "ecdh-sha2-nistp384", "aes256-gcm@openssh.com", false, 0},
    {"ed25519", "curve25519-sha256", "aes256-gcm@openssh.com", true, 3},
    {"ed25519", "ecdh-sha2-nistp521", "chacha20-poly1305@openssh.com", false, 2},
};

HostileServerOptions optionsFor(const Setting &s) {
  HostileServerOptions o;
  o.hostKey = s.hostKey;
  o.kex = s.kex;
  o.cipher = s.cipher;
  o.strictKex = s.strict;
  o.rekeys = s.rekeys;
  return o;
}

TEST(ScriptedSshServer, OpenSshsSftpFetchesItsFile) {
  REQUIRE_PEER(hostileServerPeer());
  REQUIRE_PEER(program("sftp", "openssh-client"));
  TempDir dir;
  const std::string askpass = dir.file("askpass");
  writeFile(askpass, std::string("#!/bin/sh\necho ") + kHostilePassword + "\n");
  runCommand("chmod 700 '" + askpass + "'");
  for (const Setting &s : kSettings) {
    SCOPED_TRACE(std::string(s.kex) + " " + s.cipher + " " + s.hostKey);
    HostileSshServer server(optionsFor(s));
    ASSERT_TRUE(server.started()) << server.log();
    const std::string got = dir.file("got");
    std::remove(got.c_str());
    int rc = -1;
    std::string out = runCommand(
        "printf 'get " + std::string(kHostileFile) + " " + got + "\\n' | SSH_ASKPASS='" + askpass +
            "' SSH_ASKPASS_REQUIRE=force timeout 120 sftp -q -F /dev/null -P " +
            std::to_string(server.port()) +
            " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null"
            " -o PubkeyAuthentication=no " +
            kHostileUser + "@127.0.0.1 2>&1",
        &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_TRUE(holdsServedFile(got, 4 << 20));
    auto report = server.report();
    EXPECT_EQ(report["login"], "1") << server.log();
    EXPECT_EQ(report["kex"], s.kex);
    EXPECT_EQ(report["cipher"], s.cipher);
    EXPECT_EQ(report["rekeys"], std::to_string(s.rekeys));
  }
}

// A normal session's peak resident growth, in kB, with the scripted server's setting.
long normalGrowthKb(const HostileServerOptions &o, const std::string &local) {
  HostileServerOptions normal = o;
  normal.act = "none";
  normal.rekeys = 0;
  HostileSshServer server(normal);
  if (!server.started()) return -1;
  ProbeResult r = runSftpProbe(server.port(), local);
  return r.downloaded ? r.growthKb : -1;
}

TEST(SshHostileServer, TheClientDownloadsFromTheScriptedServer) {
  REQUIRE_PEER(hostileServerPeer());
  TempDir dir;
  for (const Setting &s : kSettings) {
    SCOPED_TRACE(std::string(s.kex) + " " + s.cipher + " " + s.hostKey);
    HostileSshServer server(optionsFor(s));
    ASSERT_TRUE(server.started()) << server.log();
    ProbeResult r = runSftpProbe(server.port(), dir.file("got"));
    ASSERT_TRUE(r.ran) << r.output;
    EXPECT_TRUE(r.downloaded) << r.log;
    EXPECT_TRUE(holdsServedFile(dir.file("got"), 4 << 20));
    auto report = server.report();
    EXPECT_EQ(report["kex"], s.kex) << server.log();
    EXPECT_EQ(report["rekeys"], std::to_string(s.rekeys));
    std::printf("normal session: %ld kB\n", r.growthKb);
  }
}

struct Act {
  const char *act;
  Setting setting;
  const char *failedStep; // "connect", "login", "init" or "download"
  const char *logText;
  // The client is in the middle of an exchange when it gets the message out of place, with
  // nothing of its own to send until the exchange ends.
  bool silentAfter = false;
};

const char *failedStep(const ProbeResult &r) {
  return !r.connected    ? "connect"
         : !r.loggedIn   ? "login"
         : !r.started    ? "init"
         : !r.downloaded ? "download"
                         : "none";
}

TEST(SshHostileServer, KeyExchangeMessagesOutOfTheirPlaceEndTheSession) {
  REQUIRE_PEER(hostileServerPeer());
  const Act acts[] = {
      {"first-kex-newkeys",
       {"ed25519", "curve25519-sha256", "chacha20-poly1305@openssh.com", true, 0},
       "connect",
       "Unexpected message received."},
      // The server's reason is what the person reads, on one line.
      {"first-kex-disconnect",
       {"ed25519", "curve25519-sha256", "chacha20-poly1305@openssh.com", true, 0},
       "connect",
       "No key exchange for you\\nFORGED LINE"},
      {"newkeys-twice",
       {"ed25519", "curve25519-sha256", "aes128-gcm@openssh.com", true, 0},
       "login",
       "Received NEWKEYS outside a key exchange."},
      {"stray-newkeys",
       {"ecdsa", "ecdh-sha2-nistp256", "chacha20-poly1305@openssh.com", false, 1},
       "download",
       "Received NEWKEYS outside a key exchange."},
      {"kexinit-newkeys",
       {"ed25519", "curve25519-sha256", "chacha20-poly1305@openssh.com", true, 0},
       "download",
       "Received NEWKEYS before the key exchange was complete.",
       true},
      {"kexinit-newkeys",
       {"ed25519", "ecdh-sha2-nistp256", "aes128-gcm@openssh.com", false, 2},
       "download",
       "Received NEWKEYS before the key exchange was complete.",
       true},
      {"kexinit-newkeys",
       {"rsa", "curve25519-sha256", "aes256-gcm@openssh.com", true, 1},
       "download",
       "Received NEWKEYS before the key exchange was complete.",
       true},
      {"reply-twice",
       {"ed25519", "curve25519-sha256", "aes128-gcm@openssh.com", false, 0},
       "download",
       "Received a key exchange message out of its place in the exchange.",
       true},
  };
  TempDir dir;
  for (const Act &a : acts) {
    SCOPED_TRACE(std::string(a.act) + " " + a.setting.cipher);
    HostileServerOptions o = optionsFor(a.setting);
    o.act = a.act;
    HostileSshServer server(o);
    ASSERT_TRUE(server.started()) << server.log();
    ProbeResult r = runSftpProbe(server.port(), dir.file("got"));
    ASSERT_TRUE(r.ran) << r.output;
    EXPECT_STREQ(failedStep(r), a.failedStep) << r.log;
    EXPECT_NE(r.log.find(a.logText), std::string::npos) << r.log;
    auto report = server.report();
    // Nothing more from the client once the server broke the exchange: no request that a
    // packet under a reused key and nonce would answer.
    if (a.silentAfter) {
      EXPECT_EQ(report["after_act"], "0") << server.log();
    }
  }
}

// What a flood may add to a normal session's resident memory. ThreadSanitizer keeps shadow memory
// beside every page the client touches (several times the page itself), which the resident size
// counts too.
#if defined(__SANITIZE_THREAD__)
constexpr long kFloodAllowanceKb = 3 * 16 * 1024;
#else
constexpr long kFloodAllowanceKb = 16 * 1024;
#endif

struct Flood {
  const char *act;
  const char *cipher;
  long count, size;
  const char *failedStep;
  const char *logText;
};

void checkFloods(const std::vector<Flood> &floods) {
  TempDir dir;
  for (const Flood &f : floods) {
    SCOPED_TRACE(f.act);
    HostileServerOptions o;
    o.cipher = f.cipher;
    o.act = f.act;
    o.count = f.count;
    o.size = f.size;
    const long normal = normalGrowthKb(o, dir.file("normal"));
    ASSERT_GT(normal, 0);
    HostileSshServer server(o);
    ASSERT_TRUE(server.started()) << server.log();
    ProbeResult r = runSftpProbe(server.port(), dir.file("got"));
    ASSERT_TRUE(r.ran) << r.output;
    EXPECT_STREQ(failedStep(r), f.failedStep) << r.log.substr(0, 20000);
    EXPECT_NE(r.log.find(f.logText), std::string::npos) << r.log.substr(0, 20000);
    std::printf("%s: %ld kB (a normal session: %ld kB)\n", f.act, r.growthKb, normal);
    EXPECT_LT(r.growthKb, normal + kFloodAllowanceKb);
    auto report = server.report();
    EXPECT_NE(report["flood_sent"], "") << server.log();
    // Requests it serves are all answered.
    if (std::string(f.act) == "global-flood") {
      EXPECT_EQ(report["replies"], std::to_string(f.count)) << server.log();
    }
  }
}

TEST(SshHostileServer, FloodsTheClientRefusesLeaveItsMemoryBounded) {
  REQUIRE_PEER(hostileServerPeer());
  checkFloods({
      {"userauth-flood", "chacha20-poly1305@openssh.com", 2000, 32768, "download",
       "Received a user-authentication reply outside an authentication request."},
      {"rekey-data-flood", "aes128-gcm@openssh.com", 0, 64 << 20, "download",
       "Server sent more data than the channel window allows."},
      {"window0-flood", "chacha20-poly1305@openssh.com", 0, 64 << 20, "init",
       "Server sent more data than the channel window allows."},
      {"rekey-global-flood", "aes256-gcm@openssh.com", 60000, 0, "download",
       "The server made too many requests during a key exchange."},
  });
}

TEST(SshHostileServer, FloodsTheClientServesLeaveItsMemoryBounded) {
  REQUIRE_PEER(hostileServerPeer());
  checkFloods({
      {"debug-flood", "aes128-gcm@openssh.com", 120000, 0, "none", "log entries left out"},
      {"global-flood", "chacha20-poly1305@openssh.com", 60000, 0, "none", "log entries left out"},
  });
}

} // namespace
