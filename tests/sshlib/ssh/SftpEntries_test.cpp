// Listing entries and the client's properties: the attribute bits of a version-6 listing, copies
// that answer as their entry does, and the settings that reach a live connection.
#include <gtest/gtest.h>

#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/ssh/SFtpFileAttr.h"
#include "sshlib/ssh/SshTransport.h"
#include "tests/support/FakeSftpServer.h"
#include "tests/support/SftpPeers.h"

using namespace testsupport;

namespace {

std::string u64(unsigned long long v) {
  return sftpU32((unsigned)(v >> 32)) + sftpU32((unsigned)v);
}

// A version-6 server whose one folder holds one file per attribute bit.
struct V6Server {
  explicit V6Server(std::vector<unsigned int> bits) {
    auto fs = std::make_shared<FakeSftpFs>();
    fs->hook = [bits](const std::string &pkt) -> std::vector<std::string> {
      unsigned int id = sftpIdOf(pkt);
      switch ((unsigned char)pkt[4]) {
      case 1:
        return {sftpVersion(6)};
      case 12: {
        static bool sent = false;
        if (std::exchange(sent, !sent)) return {sftpStatus(id, 1)};
        std::string body = sftpU32((unsigned)bits.size());
        for (unsigned int b : bits)
          body += sftpStr("bit" + std::to_string(b)) + sftpU32(0x201) + std::string(1, '\1') +
                  u64(1000 + b) + sftpU32(b) + sftpU32(0xFFFFFFFF);
        return {sftpPacket(104, id, body)};
      }
      default:
        return {};
      }
    };
    srv = std::make_unique<FakeSftpServer>(fsOptions(fs));
  }
  std::unique_ptr<FakeSftpServer> srv;
};

TEST(SftpEntries, AttributeBitsOfAVersion6Listing) {
  using Getter = bool (ClsSFtpFile::*)() const;
  struct Bit {
    unsigned int bit;
    Getter get;
  } bits[] = {{0x1, &ClsSFtpFile::get_IsReadOnly},     {0x2, &ClsSFtpFile::get_IsSystem},
              {0x4, &ClsSFtpFile::get_IsHidden},       {0x8, &ClsSFtpFile::get_IsCaseInsensitive},
              {0x10, &ClsSFtpFile::get_IsArchive},     {0x20, &ClsSFtpFile::get_IsEncrypted},
              {0x40, &ClsSFtpFile::get_IsCompressed},  {0x80, &ClsSFtpFile::get_IsSparse},
              {0x100, &ClsSFtpFile::get_IsAppendOnly}, {0x200, &ClsSFtpFile::get_IsImmutable},
              {0x400, &ClsSFtpFile::get_IsSync}};
  std::vector<unsigned int> values;
  for (auto &b : bits)
    values.push_back(b.bit);
  V6Server v6(values);
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, v6.srv->port(), "u", "p"), "");
  ASSERT_EQ(s.get_ProtocolVersion(), 6);
  XString path, h;
  ASSERT_TRUE(s.OpenDir(xs(path, "/d"), h, nullptr));
  std::unique_ptr<ClsSFtpDir> dir(s.ReadDir(h, nullptr));
  ASSERT_TRUE(dir) << logText(s);
  ASSERT_EQ(dir->get_NumFilesAndDirs(), (int)std::size(bits));
  for (int i = 0; i < dir->get_NumFilesAndDirs(); ++i) {
    const ClsSFtpFile *e = dir->entry(i);
    std::unique_ptr<ClsSFtpFile> copy(dir->GetFileObject(i, s.m_log));
    ASSERT_TRUE(copy);
    for (auto &b : bits) {
      bool expected = b.bit == values[(size_t)i];
      EXPECT_EQ((e->*b.get)(), expected) << i << " " << b.bit;
      EXPECT_EQ((copy.get()->*b.get)(), expected) << i << " " << b.bit;
    }
    EXPECT_EQ(copy->get_Size64(), 1000 + values[(size_t)i]);
    EXPECT_TRUE(copy->get_IsRegular());
  }
}

TEST(SftpEntries, SettingsReachALiveConnection) {
  auto fs = std::make_shared<FakeSftpFs>();
  FakeSftpServer srv(fsOptions(fs));
  ClsSFtp s;
  s.put_MaxPacketSize(100);
  EXPECT_EQ(s.get_MaxPacketSize(), 256);
  s.put_MaxPacketSize(40000);
  EXPECT_EQ(s.get_MaxPacketSize(), 40000);
  s.put_UtcMode(false);
  EXPECT_TRUE(s.get_UtcMode());
  s.put_IdleTimeoutMs(-5);
  EXPECT_EQ(s.get_IdleTimeoutMs(), 0);
  s.put_KeepSessionLog(true);
  ASSERT_EQ(sftpSession(s, srv.port(), "u", "p"), "");
  XString ip, log;
  s.put_HeartbeatMs(75);
  s.put_TcpNoDelay(true);
  s.put_ClientIpAddress(xs(ip, "127.0.0.1"));
  EXPECT_EQ(s.transport->heartbeatMs, 75u);
  EXPECT_STREQ(s.transport->socket.bindIpAddress.getString(), "127.0.0.1");
  s.put_KeepSessionLog(false);
  EXPECT_FALSE(s.transport->keepSessionLog);
  // The live transport's session log, then the one kept when the connection was dropped.
  s.get_SessionLog(log);
  std::string live = log.getUtf8();
  EXPECT_NE(live.find("SSH_FXP_VERSION"), std::string::npos) << live;
  XString path, out, compose;
  ASSERT_TRUE(s.RealPath(xs(path, "."), compose, out, nullptr));
  EXPECT_NE(logText(s).find("SshVersion"), std::string::npos);
  EXPECT_NE(logText(s).find("SftpVersion"), std::string::npos);
  s.Disconnect();
  s.get_SessionLog(log);
  EXPECT_EQ(std::string(log.getUtf8()), live);
}

// Times from attributes become calendar times with all their 64 bits: after 2106 and before 1970.
TEST(SftpEntries, TimesKeepAll64Bits) {
  const struct {
    long long seconds;
    int year, month, day, hour, minute, second;
  } cases[] = {
      {0, 1970, 1, 1, 0, 0, 0},
      {4294967295LL, 2106, 2, 7, 6, 28, 15},
      {4294967296LL, 2106, 2, 7, 6, 28, 16},
      {4294967296LL + 86400 * 365, 2107, 2, 7, 6, 28, 16},
      {-1, 1969, 12, 31, 23, 59, 59},
  };
  for (auto &c : cases) {
    RazudodSysTime t;
    SFtpFileAttr::getSysTimeUTC(c.seconds, 5000000, t);
    EXPECT_EQ(std::vector<int>({t.m_year, t.m_month, t.m_day, t.m_hour, t.m_minute, t.m_second,
                                t.m_milliseconds}),
              std::vector<int>({c.year, c.month, c.day, c.hour, c.minute, c.second, 5}))
        << c.seconds;
    // The attribute's own accessor takes the same way.
    SFtpFileAttr a;
    a.lastModifiedTime64 = c.seconds;
    RazudodSysTime m;
    if (c.seconds) {
      EXPECT_TRUE(a.get_LastModifiedTime(m));
      EXPECT_EQ(m.m_year, c.year) << c.seconds;
    }
  }
}

} // namespace

// A file open keeps its own trace of the SSH messages and logs it under "SshLog" when it ends,
// whatever the outcome; afterwards the transport keeps no trace.
TEST(SftpEntries, FileOpenLogsItsSshTrace) {
  struct Case {
    const char *name, *path;
    bool opens, dropsConnection;
  } cases[] = {
      {"an open that succeeds", "/here", true, false},
      {"an open the server refuses (tried twice)", "/missing", false, false},
      {"an open whose connection is cut", "/cut", false, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/here"] = "data";
    fs->hook = [](const std::string &pkt) -> std::vector<std::string> {
      SftpFields in(pkt);
      if ((unsigned char)pkt[4] == 3 && in.str() == "/cut") return {kSftpDrop};
      return {};
    };
    FakeSftpServer srv(fsOptions(fs));
    ClsSFtp s;
    ASSERT_EQ(sftpSession(s, srv.port(), "u", "p"), "");
    XString path, handle;
    EXPECT_EQ(s.OpenFile(xs(path, c.path), "readOnly", "openExisting", handle, nullptr), c.opens);
    std::string log = logText(s);
    size_t at = log.find("SshLog");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.find("TRAN> CHANNEL_DATA", at), std::string::npos) << log;
    EXPECT_EQ(s.transport == nullptr, c.dropsConnection);
    if (s.transport) {
      EXPECT_FALSE(s.transport->keepSshLog);
      EXPECT_EQ(s.transport->sshLog.getSize(), 0u);
      // Nothing is traced between opens.
      XString dot, compose, out;
      ASSERT_TRUE(s.RealPath(xs(dot, "."), compose, out, nullptr));
      EXPECT_EQ(s.transport->sshLog.getSize(), 0u);
      EXPECT_EQ(logText(s).find("SshLog"), std::string::npos);
    }
    EXPECT_EQ(s.droppedSshLog.getSize(), 0u);
  }
}

TEST(SftpEntries, ClearSessionLogEmptiesTheLiveAndTheKeptLog) {
  auto fs = std::make_shared<FakeSftpFs>();
  FakeSftpServer srv(fsOptions(fs));
  ClsSFtp s;
  s.put_KeepSessionLog(true);
  ASSERT_EQ(sftpSession(s, srv.port(), "u", "p"), "");
  XString log, dot, compose, out;
  s.ClearSessionLog();
  s.get_SessionLog(log);
  EXPECT_STREQ(log.getUtf8(), "");
  // The log goes on with the next message.
  ASSERT_TRUE(s.RealPath(xs(dot, "."), compose, out, nullptr));
  s.get_SessionLog(log);
  EXPECT_NE(std::string(log.getUtf8()).find("CHANNEL_DATA"), std::string::npos);
  s.Disconnect();
  s.get_SessionLog(log);
  EXPECT_NE(std::string(log.getUtf8()), "");
  s.ClearSessionLog();
  s.get_SessionLog(log);
  EXPECT_STREQ(log.getUtf8(), "");
}
