// The SFTP client against a scripted server: windows honoured and bounded, pieces within the
// server's packet size, the version reply checked, and what a hostile server may send bounded.
#include <gtest/gtest.h>

#include <atomic>

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

namespace {

// A server holding one file of `size` bytes (byte i is i % 251) under every name, whose FSTAT
// may give another size, and whose CLOSE answer is given by `closeReply` (nothing: no answer).
struct OneFileServer {
  long long size = 0, statSize = 0;
  std::function<std::vector<std::string>(unsigned int id)> closeReply;
  std::atomic<int> reads{0}, closes{0};

  std::vector<std::string> operator()(const std::string &pkt) {
    unsigned char type = (unsigned char)pkt[4];
    unsigned int id = sftpIdOf(pkt);
    auto ok = [id] { return sftpPacket(101, id, sftpU32(0) + sftpStr("") + sftpStr("")); };
    switch (type) {
    case 1:
      return {sftpVersion(3)};
    case 3:
      return {sftpPacket(102, id, sftpStr("h"))};
    case 8: { // FSTAT: size only
      std::string attrs =
          sftpU32(1) + sftpU32((unsigned)(statSize >> 32)) + sftpU32((unsigned)statSize);
      return {sftpPacket(105, id, attrs)};
    }
    case 5: { // READ handle offset len
      ++reads;
      size_t at = 9 + 4 + 1; // length, type, id, the handle "h"
      unsigned long long off = 0;
      for (int i = 0; i < 8; ++i)
        off = off << 8 | (unsigned char)pkt[at + (size_t)i];
      unsigned int len = 0;
      for (int i = 0; i < 4; ++i)
        len = len << 8 | (unsigned char)pkt[at + 8 + (size_t)i];
      if ((long long)off >= size)
        return {sftpPacket(101, id, sftpU32(1) + sftpStr("") + sftpStr(""))};
      std::string data;
      for (unsigned long long i = off; i < off + len && (long long)i < size; ++i)
        data += (char)(i % 251);
      return {sftpPacket(103, id, sftpStr(data))};
    }
    case 4:
      ++closes;
      return closeReply ? closeReply(id) : std::vector<std::string>{ok()};
    default:
      return {ok()};
    }
  }
};

std::string patternOf(long long n) {
  std::string s;
  for (long long i = 0; i < n; ++i)
    s += (char)(i % 251);
  return s;
}

struct ScriptedSession {
  explicit ScriptedSession(const std::shared_ptr<OneFileServer> &file) {
    FakeSftpOptions o;
    o.window = 1 << 24;
    o.refillWindow = true;
    o.reply = [file](const std::string &pkt) { return (*file)(pkt); };
    srv = std::make_unique<FakeSftpServer>(o);
    connected = sftpConnect(s, srv->port()) && s.AuthenticatePw(xs(u, "u"), xs(p, "p"), nullptr) &&
                s.InitializeSftp(nullptr);
  }
  std::unique_ptr<FakeSftpServer> srv;
  ClsSFtp s;
  XString u, p;
  bool connected = false;
};

} // namespace

// Downloads by name read up to the size the server gave (not a full read-ahead past it), read on
// when the file has grown since, and send their CLOSE without waiting: its answer, good or bad,
// is taken off with the next reply, and a server that never answers ends the session.
TEST(SftpClient, DownloadsByNameStayInStepAcrossFiles) {
  TempDir dir("ferrowen-sftp-step");
  XString a, b;
  {
    auto file = std::make_shared<OneFileServer>();
    file->size = file->statSize = 4096;
    ScriptedSession x(file);
    ASSERT_TRUE(x.connected) << logText(x.s);
    for (int i = 0; i < 50; ++i) {
      const std::string local = dir.file("small" + std::to_string(i));
      ASSERT_TRUE(x.s.DownloadFileByName(xs(a, "/f"), xs(b, local), nullptr)) << logText(x.s);
      EXPECT_EQ(readFile(local), patternOf(4096));
    }
    // Per file: the read, the rest of the short read and nothing more.
    EXPECT_LE(file->reads.load(), 50 * 2);
    EXPECT_TRUE(x.s.RemoveFile(xs(a, "/f"), nullptr)) << logText(x.s);
  }
  {
    auto file = std::make_shared<OneFileServer>();
    file->size = 300001;
    file->statSize = 10; // grew after it was looked at
    ScriptedSession x(file);
    ASSERT_TRUE(x.connected) << logText(x.s);
    ASSERT_TRUE(x.s.DownloadFileByName(xs(a, "/f"), xs(b, dir.file("grown")), nullptr))
        << logText(x.s);
    EXPECT_EQ(readFile(dir.file("grown")), patternOf(300001));
  }
  {
    auto file = std::make_shared<OneFileServer>();
    file->size = file->statSize = 100;
    file->closeReply = [](unsigned int id) {
      return std::vector<std::string>{
          sftpPacket(101, id, sftpU32(4) + sftpStr("close refused") + sftpStr(""))};
    };
    ScriptedSession x(file);
    ASSERT_TRUE(x.connected) << logText(x.s);
    ASSERT_TRUE(x.s.DownloadFileByName(xs(a, "/f"), xs(b, dir.file("one")), nullptr));
    ASSERT_TRUE(x.s.DownloadFileByName(xs(a, "/f"), xs(b, dir.file("two")), nullptr));
    EXPECT_NE(logText(x.s).find("FXP_CLOSE"), std::string::npos) << logText(x.s);
    EXPECT_TRUE(x.s.RemoveFile(xs(a, "/f"), nullptr)) << logText(x.s);
    EXPECT_TRUE(x.s.get_IsConnected());
    EXPECT_EQ(readFile(dir.file("two")), patternOf(100));
    // A written file whose CLOSE is refused is not uploaded.
    ASSERT_TRUE(writeFile(dir.file("up"), "to be sent"));
    EXPECT_FALSE(x.s.UploadFileByName(xs(a, "/up"), xs(b, dir.file("up")), nullptr));
    EXPECT_NE(logText(x.s).find("refused to close"), std::string::npos) << logText(x.s);
  }
  {
    auto file = std::make_shared<OneFileServer>();
    file->size = file->statSize = 100;
    file->closeReply = [](unsigned int) { return std::vector<std::string>{}; };
    ScriptedSession x(file);
    ASSERT_TRUE(x.connected) << logText(x.s);
    x.s.put_IdleTimeoutMs(1000);
    for (int i = 0; i < 100 && x.s.get_IsConnected(); ++i)
      x.s.DownloadFileByName(xs(a, "/f"), xs(b, dir.file("unanswered")), nullptr);
    EXPECT_FALSE(x.s.get_IsConnected());
    EXPECT_LT(file->closes.load(), 100);
  }
}
