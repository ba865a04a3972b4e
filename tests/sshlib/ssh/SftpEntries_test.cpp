// Listing entries and the client's properties: the attribute bits of a version-6 listing, copies
// that answer as their entry does, and the settings that reach a live connection.
#include <gtest/gtest.h>

#include <functional>

#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/ssh/SFtpFileAttr.h"
#include "sshlib/ssh/SshTransport.h"
#include "tests/support/FakeSftpServer.h"
#include "tests/support/LogTexts.h"
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

// An entry made from a name in a charset and an attribute record it then owns, read through
// each getter, and emptied by clear.
TEST(SftpEntries, AnEntryFromANameInACharsetAndItsAttributes) {
  const struct {
    const char *what;
    std::string raw;
    const char *charset;
    unsigned char type;
    const char *name, *typeName;
    bool regular, directory;
  } cases[] = {
      {"latin-1 name", "caf\xe9", "iso-8859-1", 9, "caf\xc3\xa9", "fifo", false, false},
      {"utf-8 taken as sent", "caf\xc3\xa9", "utf-8", 1, "caf\xc3\xa9", "regular", true, false},
      {"no charset", "caf\xe9", nullptr, 0, "caf\xe9", "regular", false, false},
      {"a charset that names no code page", "x", "no-such-charset", 10, "x", "regular", false,
       false},
      {"directory", "d", "", 2, "d", "directory", false, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    auto *attr = new SFtpFileAttr;
    attr->fileType = c.type;
    attr->size = 5;
    attr->owner.setString("owner");
    attr->group.setString("group");
    attr->lastModifiedTime64 = 1000000000;
    attr->lastModifiedTimeNs = 500000000;
    ClsSFtpFile e(c.raw.c_str(), c.charset, attr);
    XString name, type, owner, group;
    e.get_Filename(name);
    e.get_FileType(type);
    e.get_Owner(owner);
    e.get_Group(group);
    EXPECT_EQ(std::vector<std::string>(
                  {name.getUtf8(), type.getUtf8(), owner.getUtf8(), group.getUtf8()}),
              std::vector<std::string>({c.name, c.typeName, "owner", "group"}));
    EXPECT_EQ(e.get_IsRegular(), c.regular);
    EXPECT_EQ(e.get_IsDirectory(), c.directory);
    EXPECT_EQ(e.get_Size64(), 5);
    RazudodSysTime t;
    e.get_LastModifiedTime(t);
    EXPECT_EQ(t.m_milliseconds, 500);
    EXPECT_TRUE(logHasLine(logTextOf(e), "DateTime: Sun, 09 Sep 2001 01:46:40 GMT"))
        << logTextOf(e);
    e.clear();
    e.get_Filename(name);
    e.get_FileType(type);
    e.get_Owner(owner);
    EXPECT_EQ(std::string(name.getUtf8()) + type.getUtf8() + owner.getUtf8(), "");
    EXPECT_EQ(e.get_Size64(), 0);
    EXPECT_FALSE(e.get_IsRegular() || e.get_IsDirectory());
    e.get_CreateTime(t);
    const std::string log = logTextOf(e);
    EXPECT_TRUE(logHasLine(log, "No attrs, using current date/time")) << log;
    EXPECT_FALSE(logHasLine(log, "LastModifiedTime:")) << log; // each getter's log is its own
  }
}

// The entries of a listing carry no log of their own until one is written into; the listing
// keeps the path it was read from.
TEST(SftpEntries, AListingsEntriesMakeTheirLogsOnlyWhenWritten) {
  DataBuffer packet;
  packet.appendCharN(0, 9);
  SshTransport::pack_uint32(3, packet);
  for (const char *n : {"a", "b", "c"}) {
    SshTransport::pack_string(n, packet);
    SshTransport::pack_string(n, packet);
    SshTransport::pack_uint32(SFtpFileAttr::kAccessTime, packet);
    SshTransport::pack_uint32(7, packet);
    SshTransport::pack_uint32(1000000000, packet);
  }
  ClsSFtpDir dir;
  LogBase none;
  ASSERT_TRUE(dir.loadSshFxpName(3, StringBuffer(), false, packet, none));
  dir.OriginalPath = "/srv/data";
  XString path;
  dir.get_OriginalPath(path);
  EXPECT_STREQ(path.getUtf8(), "/srv/data");
  ASSERT_EQ(dir.get_NumFilesAndDirs(), 3);
  std::unique_ptr<ClsSFtpFile> copy(dir.GetFileObject(1));
  ASSERT_TRUE(copy);
  XString empty;
  copy->put_DebugLogFilePath(empty);
  EXPECT_FALSE(copy->m_log.isMade());
  RazudodSysTime t;
  dir.entry(0)->get_LastModifiedTime(t);
  EXPECT_EQ(t.m_year, 2001);
  const struct {
    const ClsSFtpFile *entry;
    bool logMade;
  } entries[] = {
      {dir.entry(0), true}, {dir.entry(1), false}, {dir.entry(2), false}, {copy.get(), false}};
  for (const auto &e : entries)
    EXPECT_EQ(e.entry->m_log.isMade(), e.logMade);
  EXPECT_TRUE(logHasLine(logTextOf(*dir.entry(0)), "dateTime: Sun, 09 Sep 2001 01:46:40 GMT"));
}

// What each login and each SFTP step needs first: a connection, then a login, then the channel.
// A guard that finds no connection or no channel ends the call's record with its reason and
// closes the call's context itself: no "Failed." follows, and the context is closed once (the
// debug log file shows every closing). Other refusals end with "Failed." as any failure does.
TEST(SftpEntries, EachStepNamesWhatItLacks) {
  TempDir dir;
  ClsSshKey noKey;
  XString login, password, path, handle;
  xs(login, "u");
  xs(password, "p");
  xs(path, "/");
  const struct {
    const char *what;
    std::function<bool(ClsSFtp &)> step;
    const char *unconnected, *connected;
    bool connectedByGuard;
  } steps[] = {
      {"AuthenticatePw", [&](ClsSFtp &s) { return s.AuthenticatePw(login, password, nullptr); },
       "Must first connect to the SSH server.", nullptr, false},
      {"AuthenticatePk without a key",
       [&](ClsSFtp &s) { return s.AuthenticatePk(login, nullptr, nullptr); },
       "Must first connect to the SSH server.", "SSH Key is NULL", false},
      {"AuthenticatePwPk with an empty key",
       [&](ClsSFtp &s) { return s.AuthenticatePwPk(login, password, &noKey, nullptr); },
       "Must first connect to the SSH server.",
       "The SSH key object did not contain a loaded private key.", false},
      {"InitializeSftp", [&](ClsSFtp &s) { return s.InitializeSftp(nullptr); },
       "Must first connect to the SSH server.",
       "Not yet authenticated.  Call AuthenticatePw or AuthenticatePk prior to calling "
       "InitialilzeSftp.  Make sure the authenticate method returns a success status.",
       false},
      {"OpenDir", [&](ClsSFtp &s) { return s.OpenDir(path, handle, nullptr); },
       "Must first connect to the SSH server.",
       "Must first have an open SFTP channel (by calling InitializeSftp).", true},
  };
  // Runs the step twice with the debug log file on; the file holds both calls.
  auto runLogged = [&](ClsSFtp &s, const std::function<bool(ClsSFtp &)> &step, const char *why,
                       bool byGuard, const std::string &file) {
    XString p;
    s.put_DebugLogFilePath(xs(p, file.c_str()));
    for (int call = 0; call < 2; ++call) {
      EXPECT_FALSE(step(s));
      const std::string text = logText(s);
      EXPECT_TRUE(logHasLine(text, why)) << text;
      EXPECT_EQ(logLines(text).back(), byGuard ? why : "Failed.") << text;
    }
    const std::string logged = readFile(file);
    EXPECT_EQ(countLogLines(logged, "(leaveContext)"), 2) << logged;
    EXPECT_EQ(countLogLines(logged, "Failed."), byGuard ? 0 : 2) << logged;
  };
  int n = 0;
  for (const auto &st : steps) {
    SCOPED_TRACE(st.what);
    ClsSFtp unconnected;
    runLogged(unconnected, st.step, st.unconnected, true, dir.file(std::to_string(n++)));
    EXPECT_FALSE(unconnected.get_IsConnected());
    if (!st.connected) continue;
    FakeSftpServer srv(fsOptions(std::make_shared<FakeSftpFs>())); // one connection each
    ClsSFtp connected;
    ASSERT_TRUE(sftpConnect(connected, srv.port())) << logText(connected);
    runLogged(connected, st.step, st.connected, st.connectedByGuard, dir.file(std::to_string(n++)));
    EXPECT_TRUE(connected.get_IsConnected());
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

// REALPATH on version 6 always carries the control byte (SSH_FXP_REALPATH_NO_CHECK, what its
// absence means too): AsyncSSH's server refuses the request without it as an incomplete packet.
// The compose path follows when there is one.
TEST(SftpEntries, RealPathOnVersion6SendsTheControlByteAndAnyComposePath) {
  struct Case {
    const char *compose;
    std::string fieldsAfterPath;
  };
  const Case cases[] = {{"", std::string(1, '\1')}, {"sub", std::string(1, '\1') + sftpStr("sub")}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.compose);
    auto fs = std::make_shared<FakeSftpFs>();
    auto asked = std::make_shared<std::string>();
    fs->hook = [asked](const std::string &pkt) -> std::vector<std::string> {
      switch ((unsigned char)pkt[4]) {
      case 1:
        return {sftpVersion(6)};
      case 16: {
        *asked = pkt;
        // One name, its attributes: flags 0 and the type byte (version 6).
        const std::string name = sftpStr("/home/u/sub") + std::string(4, '\0') + "\2";
        return {sftpPacket(104, sftpIdOf(pkt), sftpU32(1) + name)};
      }
      default:
        return {};
      }
    };
    FakeSftpServer srv(fsOptions(fs));
    ClsSFtp s;
    ASSERT_EQ(sftpSession(s, srv.port(), "u", "p"), "");
    ASSERT_EQ(s.get_ProtocolVersion(), 6);
    XString path, compose, out;
    ASSERT_TRUE(s.RealPath(xs(path, "."), xs(compose, c.compose), out, nullptr)) << logText(s);
    SftpFields fields(*asked);
    EXPECT_EQ(fields.str(), ".");
    EXPECT_EQ(asked->substr(fields.at), c.fieldsAfterPath);
    EXPECT_STREQ(out.getUtf8(), "/home/u/sub");
  }
}

namespace {
// Everything an entry answers, as one text.
std::string answersOf(ClsSFtpFile &f) {
  XString name, owner, group, type;
  f.get_Filename(name);
  f.get_Owner(owner);
  f.get_Group(group);
  f.get_FileType(type);
  std::string out = std::string(name.getUtf8()) + "|" + std::to_string(f.get_Size64()) + "|" +
                    std::to_string(f.get_Permissions()) + "|" + std::to_string(f.get_Uid()) + "|" +
                    std::to_string(f.get_Gid()) + "|" + owner.getUtf8() + "|" + group.getUtf8() +
                    "|" + type.getUtf8() + "|";
  for (unsigned int bit = 1; bit <= 0x400; bit <<= 1)
    out += f.attribBit(bit) ? '1' : '0';
  for (auto get : {&ClsSFtpFile::get_LastModifiedTime, &ClsSFtpFile::get_CreateTime,
                   &ClsSFtpFile::get_LastAccessTime}) {
    RazudodSysTime t;
    (f.*get)(t);
    out += "|" + std::to_string(t.m_year) + "-" + std::to_string(t.m_month) + "-" +
           std::to_string(t.m_day) + " " + std::to_string(t.m_hour) + ":" +
           std::to_string(t.m_minute) + ":" + std::to_string(t.m_second);
  }
  return out;
}
} // namespace

// The copy a listing hands out answers every getter as the entry it was made from, for the
// attributes of version 3 and of version 6 alike.
TEST(SftpEntries, ACopyAnswersAsItsEntryForEveryVersion) {
  DataBuffer v3, v6;
  for (DataBuffer *p : {&v3, &v6}) {
    p->appendCharN(0, 9);
    SshTransport::pack_uint32(1, *p);
    SshTransport::pack_string("caf\xe9 list", *p);
  }
  SshTransport::pack_string("-rw-r--r-- caf\xe9 list", v3);
  SshTransport::pack_uint32(0x1 | 0x2 | 0x4 | 0x8 | 0x80000000u, v3);
  SshTransport::pack_int64(123456789012LL, v3);
  SshTransport::pack_uint32(1001, v3);
  SshTransport::pack_uint32(1002, v3);
  SshTransport::pack_uint32(0100640, v3);
  SshTransport::pack_uint32(1000000000, v3);
  SshTransport::pack_uint32(2000000000, v3);
  SshTransport::pack_uint32(1, v3);
  SshTransport::pack_string("name@example", v3);
  SshTransport::pack_string("value", v3);
  SshTransport::pack_uint32(0x1 | 0x4 | 0x8 | 0x10 | 0x20 | 0x80 | 0x100 | 0x200, v6);
  v6.appendChar(2); // a directory
  SshTransport::pack_int64(4096, v6);
  SshTransport::pack_string("owner@example", v6);
  SshTransport::pack_string("group@example", v6);
  SshTransport::pack_uint32(040755, v6);
  for (long long t : {5000000000LL, 3000000000LL, 4000000000LL}) {
    SshTransport::pack_int64(t, v6);
    SshTransport::pack_uint32(500000000, v6);
  }
  SshTransport::pack_uint32(0x4 | 0x100, v6);
  SshTransport::pack_uint32(0x7FF, v6);
  const struct {
    int version;
    DataBuffer *packet;
  } cases[] = {{3, &v3}, {6, &v6}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.version);
    ClsSFtpDir dir;
    LogBase none;
    ASSERT_TRUE(dir.loadSshFxpName(c.version, StringBuffer(), false, *c.packet, none));
    ASSERT_EQ(dir.get_NumFilesAndDirs(), 1);
    std::unique_ptr<ClsSFtpFile> copy(dir.GetFileObject(0));
    ASSERT_TRUE(copy);
    ClsSFtpFile &entry = const_cast<ClsSFtpFile &>(*dir.entry(0));
    EXPECT_EQ(answersOf(*copy), answersOf(entry));
  }
}
