// Texts a server sends (its algorithm names, login methods, SFTP extensions and the filename
// charset they name, status messages, a global request's name, a disconnect reason, a signature
// name) reach the client's log escaped: a line end or a control byte inside them cannot start a
// line of the server's making.
#include <gtest/gtest.h>

#include "tests/support/FakeSftpServer.h"
#include "tests/support/LogTexts.h"
#include "tests/support/SftpPeers.h"

using namespace testsupport;

namespace {

// What the server slips in, and how the log must show it.
const std::string kHostile = "x\r\nForged: line\x1b[2J\x01";
const std::string kEscaped = "x\\r\\nForged: line\\x1B[2J\\x01";

TEST(PeerTextLogged, ServerTextsCannotForgeLogLines) {
  struct Case {
    const char *tag; // the log line that carries the text
    std::function<void(FakeSftpOptions &, FakeSftpFs &)> serve;
    // Runs after connect (and, unless loginFails, login and initialisation); its outcome is
    // not what is tested.
    std::function<void(ClsSFtp &)> op;
    bool connectFails = false, loginFails = false;
  };
  XString a;
  const Case cases[] = {
      {"algorithm",
       [](FakeSftpOptions &o, FakeSftpFs &) {
         static const std::string ciphers = "aes128-cbc," + kHostile;
         o.ssh.cipherName = ciphers.c_str();
       },
       nullptr},
      {"sigName", [](FakeSftpOptions &o, FakeSftpFs &) { o.ssh.sigName = kHostile; }, nullptr,
       true},
      {"AuthMethods",
       [](FakeSftpOptions &o, FakeSftpFs &) { o.authFailureList = "password," + kHostile; },
       nullptr, false, true},
      {"AuthList",
       [](FakeSftpOptions &o, FakeSftpFs &) { o.authFailureList = "password," + kHostile; },
       nullptr, false, true},
      {"extensionName",
       [](FakeSftpOptions &, FakeSftpFs &fs) {
         fs.hook = [](const std::string &pkt) -> std::vector<std::string> {
           if (pkt[4] != 1) return {};
           return {sftpPacket(2, 0, sftpU32(3) + sftpStr(kHostile) + sftpStr("1"), false)};
         };
       },
       nullptr},
      {"extensionData",
       [](FakeSftpOptions &, FakeSftpFs &fs) {
         fs.hook = [](const std::string &pkt) -> std::vector<std::string> {
           if (pkt[4] != 1) return {};
           return {
               sftpPacket(2, 0, sftpU32(3) + sftpStr("x@example.com") + sftpStr(kHostile), false)};
         };
       },
       nullptr},
      {"FilenameCharset",
       [](FakeSftpOptions &, FakeSftpFs &fs) {
         fs.hook = [](const std::string &pkt) -> std::vector<std::string> {
           if (pkt[4] != 1) return {};
           return {sftpPacket(2, 0, sftpU32(3) + sftpStr("filename-charset") + sftpStr(kHostile),
                              false)};
         };
       },
       [&](ClsSFtp &s) {
         XString h;
         if (s.OpenDir(xs(a, "/"), h, nullptr)) delete s.ReadDir(h, nullptr);
       }},
      {"StatusMessage",
       [](FakeSftpOptions &, FakeSftpFs &fs) {
         fs.hook = [](const std::string &pkt) -> std::vector<std::string> {
           if (pkt[4] != 13) return {};
           return {sftpStatus(sftpIdOf(pkt), 4, kHostile)};
         };
       },
       [&](ClsSFtp &s) { s.RemoveFile(xs(a, "/f"), nullptr); }},
      {"GlobalRequestName",
       [](FakeSftpOptions &, FakeSftpFs &fs) {
         fs.hook = [](const std::string &pkt) -> std::vector<std::string> {
           if (pkt[4] != 13) return {};
           return {sftpGlobalRequest(kHostile), sftpStatus(sftpIdOf(pkt), 0)};
         };
       },
       [&](ClsSFtp &s) { s.RemoveFile(xs(a, "/f"), nullptr); }},
      {"disconnectReason",
       [](FakeSftpOptions &, FakeSftpFs &fs) {
         fs.hook = [](const std::string &pkt) -> std::vector<std::string> {
           if (pkt[4] != 13) return {};
           return {sftpDisconnect(kHostile)};
         };
       },
       [&](ClsSFtp &s) { s.RemoveFile(xs(a, "/f"), nullptr); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.tag);
    auto fs = std::make_shared<FakeSftpFs>();
    FakeSftpOptions o = fsOptions(fs);
    c.serve(o, *fs);
    FakeSftpServer server(o);
    ClsSFtp s;
    XString user, pass;
    // The logs of every step, one after the other.
    std::string log;
    auto step = [&](bool ok) {
      log += logText(s);
      return ok;
    };
    bool connected = step(sftpConnect(s, server.port()));
    EXPECT_EQ(connected, !c.connectFails) << log;
    if (connected) {
      bool up = step(s.AuthenticatePw(xs(user, "u"), xs(pass, "p"), nullptr)) &&
                step(s.InitializeSftp(nullptr));
      EXPECT_EQ(up, !c.loginFails) << log;
      if (up && c.op) {
        c.op(s);
        step(true);
      }
    }
    EXPECT_FALSE(logHasLine(log, "Forged:")) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
    bool shown = false;
    for (const std::string &line : logLines(log))
      shown = shown || (line.rfind(std::string(c.tag) + ": ", 0) == 0 &&
                        line.find(kEscaped) != std::string::npos);
    EXPECT_TRUE(shown) << log;
  }
}

} // namespace
