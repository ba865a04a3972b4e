// The SFTP client against a scripted server: windows honoured and bounded, pieces within the
// server's packet size, the version reply checked, and what a hostile server may send bounded.
#include <gtest/gtest.h>

#include "sshlib/ssh/SshChannel.h"
#include "tests/support/FakeSftpServer.h"
#include "tests/support/SftpPeers.h"

using namespace testsupport;

namespace {

// Answers INIT with VERSION 3, OPEN/OPENDIR with a handle, WRITE with OK, READDIR with one
// entry for ever, READ with data under a request id nobody asked for.
std::vector<std::string> usualReply(const std::string &pkt) {
  unsigned char type = (unsigned char)pkt[4];
  unsigned int id = sftpIdOf(pkt);
  switch (type) {
  case 1:
    return {sftpVersion(3)};
  case 3:
  case 11:
    return {sftpPacket(102, id, sftpStr("h"))};
  case 5:
    return {sftpPacket(103, id + 100, sftpStr("0123456789"))};
  case 12:
    return {sftpPacket(104, id, sftpU32(1) + sftpStr("a") + sftpStr("a") + sftpU32(0))};
  default:
    return {sftpPacket(101, id, sftpU32(0) + sftpStr("") + sftpStr(""))};
  }
}

struct Case {
  const char *name;
  FakeSftpOptions opts;
  // Run after the session is set up (or in place of InitializeSftp when initFails is set).
  std::function<bool(ClsSFtp &, FakeSftpServer &)> check;
  const char *logText; // expected in the log of the last operation
  bool initFails = false;
};

TEST(SftpClient, ScriptedServers) {
  auto replyWith = [](std::function<std::string(const std::string &)> init) {
    return [init](const std::string &pkt) {
      return pkt[4] == 1 ? std::vector<std::string>{init(pkt)} : usualReply(pkt);
    };
  };
  DataBuffer fiveK;
  fiveK.appendCharN('z', 5000);
  XString a, h;
  std::string bigVersion =
      sftpPacket(2, 0, sftpU32(3) + sftpStr("x") + sftpStr(std::string(3000, 'y')), false);
  Case cases[] = {
      {"an initial window of 0 waits for the adjust",
       {0, 32768, {100000}, false, usualReply},
       [](ClsSFtp &s, FakeSftpServer &) {
         return s.sftpChannel->m_curServerWinSize > 0 && s.sftpChannel->m_curServerWinSize < 100000;
       },
       "Sent FXP_INIT"},
      {"window adjusts saturate",
       {1 << 20, 32768, {0xFFFFFFF0u, 0xFFFFFFF0u}, false, usualReply},
       [&](ClsSFtp &s, FakeSftpServer &) {
         DataBuffer small;
         small.appendChar('q');
         // A write reads replies, which takes the adjusts in.
         return s.WriteFileBytes64(xs(a, "68"), 0, small, nullptr) &&
                s.sftpChannel->m_curServerWinSize >= 0xFFFF0000u;
       },
       "Success"},
      {"pieces stay within the server's packet size",
       {1 << 20, 1024, {}, false, usualReply},
       [&](ClsSFtp &s, FakeSftpServer &f) {
         return s.WriteFileBytes64(xs(a, "68"), 0, fiveK, nullptr) && f.maxPiece <= 1024 - 64;
       },
       "Success"},
      {"a read reply with an unknown id ends the session",
       {1 << 20, 32768, {}, false, usualReply},
       [&](ClsSFtp &s, FakeSftpServer &) {
         DataBuffer out;
         return !s.ReadFileBytes64(xs(a, "68"), 0, 10, out, nullptr) && !s.get_IsConnected();
       },
       "unknown request id"},
      {"listings are bounded",
       {1 << 20, 32768, {}, false, usualReply},
       [&](ClsSFtp &s, FakeSftpServer &) {
         s.maxDirEntries = 50;
         if (!s.OpenDir(xs(a, "/x"), h, nullptr)) return false;
         return s.ReadDir(h, nullptr) == nullptr;
       },
       "Directory listing is too large."},
      {"data beyond our window is refused",
       {1 << 20, 32768, {}, false, replyWith([&](const std::string &) { return bigVersion; })},
       [](ClsSFtp &s, FakeSftpServer &) {
         s.channelInitialWindow = 2048;
         return !s.InitializeSftp(nullptr);
       },
       "more data than the channel window allows",
       true},
      {"the version reply must be VERSION",
       {1 << 20, 32768, {}, false, replyWith([](const std::string &) {
          return sftpPacket(101, 0, sftpU32(0));
        })},
       [](ClsSFtp &s, FakeSftpServer &) { return !s.InitializeSftp(nullptr); },
       "Expected SSH_FXP_VERSION.",
       true},
      {"the version is the lower of both",
       {1 << 20, 32768, {}, false, replyWith([](const std::string &) { return sftpVersion(6); })},
       [](ClsSFtp &s, FakeSftpServer &) {
         s.ForceV3 = true;
         return s.InitializeSftp(nullptr) && s.ProtocolVersion == 3;
       },
       "Success",
       true},
      {"an SFTP length beyond the bound ends the session",
       {1 << 20, 32768, {}, false, replyWith([](const std::string &) {
          return std::string("\x7f\xff\xff\xff\x02", 5);
        })},
       [](ClsSFtp &s, FakeSftpServer &) {
         return !s.InitializeSftp(nullptr) && !s.get_IsConnected();
       },
       "SFTP packet length out of bounds.",
       true},
  };
  for (auto &c : cases) {
    FakeSftpServer srv(c.opts);
    ClsSFtp s;
    ASSERT_TRUE(sftpConnect(s, srv.port())) << c.name << logText(s);
    XString u, p;
    ASSERT_TRUE(s.AuthenticatePw(xs(u, "u"), xs(p, "p"), nullptr)) << c.name;
    if (!c.initFails) {
      ASSERT_TRUE(s.InitializeSftp(nullptr)) << c.name << logText(s);
    }
    EXPECT_TRUE(c.check(s, srv)) << c.name << logText(s);
    EXPECT_NE(logText(s).find(c.logText), std::string::npos) << c.name << logText(s);
    s.Disconnect();
  }
}

TEST(SftpClient, KeyboardInteractiveQuestionsAreBounded) {
  FakeSftpOptions o;
  o.endlessQuestions = true;
  o.reply = usualReply;
  FakeSftpServer srv(o);
  ClsSFtp s;
  ASSERT_TRUE(sftpConnect(s, srv.port()));
  XString u, p;
  EXPECT_FALSE(s.AuthenticatePw(xs(u, "u"), xs(p, "p"), nullptr));
  EXPECT_NE(logText(s).find("Too many keyboard-interactive questions."), std::string::npos);
  s.Disconnect();
  EXPECT_LE(srv.questionsAsked, 34);
}

} // namespace
