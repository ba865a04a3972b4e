// The SFTP client against asyncssh: SFTP versions 4 to 6, a small server window, scripted
// keyboard-interactive questions, and a server that dies in the middle of a session.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "sshlib/core/RazudodSysTime.h"
#include "tests/support/SftpPeers.h"

using namespace testsupport;

namespace {

struct Served {
  TempDir root{"ferrowen-sftproot"};
  TempDir logs{"ferrowen-sftplog"};
  int port = freeTcpPort();
  Process proc;
  explicit Served(const SftpPeerOptions &o) {
    proc = startAsyncSftp(port, root.path(), o, logs.path());
  }
};

TEST(SftpAsyncssh, VersionsFourToSixTransfersAndPaths) {
  for (int v : {4, 5, 6}) {
    SftpPeerOptions o;
    o.version = v;
    Served srv(o);
    ClsSFtp s;
    ASSERT_EQ(sftpSession(s, srv.port), "") << v;
    EXPECT_EQ(s.ProtocolVersion, v);
    XString a, b, h, out;
    std::string src = srv.logs.file("src");
    makeDataFile(src, 200000);
    ASSERT_TRUE(s.CreateDir(xs(a, "/d"), nullptr)) << v << logText(s);
    ASSERT_TRUE(s.UploadFileByName(xs(a, "/d/f"), xs(b, src), nullptr)) << v << logText(s);
    EXPECT_EQ(sha256Of(srv.root.file("d/f")), sha256Of(src));
    ASSERT_TRUE(s.DownloadFileByName(xs(a, "/d/f"), xs(b, srv.logs.file("back")), nullptr));
    EXPECT_EQ(sha256Of(srv.logs.file("back")), sha256Of(src));
    EXPECT_EQ(s.GetFileSize(xs(a, "/d/f"), true, false, nullptr), 200000);
    // A time is set in whole seconds; permissions on the newer versions.
    RazudodSysTime t{};
    t.m_year = 2012, t.m_month = 3, t.m_day = 4, t.m_milliseconds = 250;
    ASSERT_TRUE(s.SetLastModifiedTime(xs(a, "/d/f"), false, t, nullptr)) << v << logText(s);
    struct stat st;
    ::stat(srv.root.file("d/f").c_str(), &st);
    EXPECT_EQ(st.st_mtime, 1330819200) << v;
    EXPECT_EQ(st.st_mtim.tv_nsec, 0) << v;
    RazudodSysTime got{};
    ASSERT_TRUE(s.GetFileLastModified(xs(a, "/d/f"), true, false, got, nullptr));
    EXPECT_EQ(got.m_year, 2012);
    EXPECT_EQ(got.m_milliseconds, 0) << v;
    ASSERT_TRUE(s.SetPermissions(xs(a, "/d/f"), false, 0600, nullptr));
    ::stat(srv.root.file("d/f").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(s.OpenDir(xs(a, "\\d\\"), h, nullptr)) << logText(s);
    std::unique_ptr<ClsSFtpDir> dir(s.ReadDir(h, nullptr));
    ASSERT_TRUE(dir);
    ASSERT_EQ(dir->get_NumFilesAndDirs(), 1);
    EXPECT_EQ(dir->entry(0)->get_Size64(), 200000);
    EXPECT_TRUE(dir->entry(0)->get_IsRegular());
    EXPECT_TRUE(s.CloseHandle(h, nullptr));
    ASSERT_TRUE(s.RealPath(xs(a, "/d/../d"), xs(b, ""), out, nullptr)) << logText(s);
    EXPECT_EQ(std::string(out.getUtf8()), "/d");
    ASSERT_TRUE(s.RenameFileOrDir(xs(a, "/d/f"), xs(b, "/d/g"), nullptr)) << logText(s);
    ASSERT_TRUE(s.RemoveFile(xs(a, "/d/g"), nullptr));
    ASSERT_TRUE(s.RemoveDir(xs(a, "/d"), nullptr));
    // Writes through a handle follow one another; a positioned write lands where it is told.
    DataBuffer ten, back;
    ten.appendCharN('x', 10);
    ASSERT_TRUE(s.OpenFile(xs(a, "/w"), "readWrite", "createTruncate", h, nullptr));
    ASSERT_TRUE(s.WriteFileBytes(h, ten, nullptr));
    ASSERT_TRUE(s.WriteFileBytes(h, ten, nullptr));
    ASSERT_TRUE(s.WriteFileBytes64(h, 25, ten, nullptr));
    ASSERT_TRUE(s.ReadFileBytes64(h, 0, 100, back, nullptr));
    EXPECT_EQ(back.getSize(), 35u);
    XString text, txt;
    ASSERT_TRUE(s.WriteFileText64(h, 0, "iso-8859-1", xs(text, "caf\xc3\xa9"), nullptr));
    ASSERT_TRUE(s.ReadFileText64(h, 0, 4, "iso-8859-1", txt, nullptr));
    EXPECT_STREQ(txt.getUtf8(), "caf\xc3\xa9");
    // The positioned read above met the end of the file.
    EXPECT_EQ(s.AccumulateBytes(h, 1000, nullptr), 0);
    EXPECT_TRUE(s.Eof(h));
    EXPECT_TRUE(s.CloseHandle(h, nullptr));
  }
}

TEST(SftpAsyncssh, SmallServerWindowUploadsInSmallPieces) {
  SftpPeerOptions o;
  o.window = 16384;
  o.maxPacket = 4096;
  Served srv(o);
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, srv.port), "");
  XString a, b;
  std::string src = srv.logs.file("src");
  makeDataFile(src, 300001);
  ASSERT_TRUE(s.UploadFileByName(xs(a, "/f"), xs(b, src), nullptr)) << logText(s);
  EXPECT_NE(logText(s).find("small server window"), std::string::npos);
  EXPECT_EQ(sha256Of(srv.root.file("f")), sha256Of(src));
  ASSERT_TRUE(s.DownloadFileByName(xs(a, "/f"), xs(b, srv.logs.file("back")), nullptr));
  EXPECT_EQ(sha256Of(srv.logs.file("back")), sha256Of(src));
}

TEST(SftpAsyncssh, KeyboardInteractiveQuestions) {
  const std::string pw = kSftpPass;
  struct Case {
    const char *name;
    std::string rounds;
    std::string password;
    bool ok, change;
  } cases[] = {
      {"one prompt", "[[[\"Password: \", \"" + pw + "\"]]]", pw, true, false},
      {"zero then one", "[[], [[\"Password: \", \"" + pw + "\"]]]", pw, true, false},
      {"two prompts get no answers", "[[[\"A: \", \"x\"], [\"B: \", \"y\"]]]", pw, true, false},
      {"wrong password", "[[[\"Password: \", \"" + pw + "\"]]]", "nope", false, false},
      {"password change",
       "[[[\"PASSWORD CHANGE REQUESTED. Old password: \", \"old1\"]], "
       "[[\"Enter new password: \", \"new2\"]], [[\"Retype new password: \", \"new2\"]]]",
       "|old1|new2|", true, true},
  };
  for (auto &c : cases) {
    SftpPeerOptions o;
    o.kbd = c.rounds;
    Served srv(o);
    ClsSFtp s;
    ASSERT_TRUE(sftpConnect(s, srv.port)) << c.name;
    XString a, b;
    EXPECT_EQ(s.AuthenticatePw(xs(a, "u"), xs(b, c.password), nullptr), c.ok)
        << c.name << logText(s);
    EXPECT_EQ(s.PasswordChangeRequested, c.change) << c.name;
    EXPECT_EQ(logText(s).find(c.password), std::string::npos) << c.name;
  }
}

TEST(SftpAsyncssh, KilledServerDropsTheSession) {
  Served srv(SftpPeerOptions{});
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, srv.port), "");
  srv.proc.stop(std::chrono::milliseconds(0));
  XString a, b;
  EXPECT_FALSE(s.DownloadFileByName(xs(a, "/x"), xs(b, srv.logs.file("x")), nullptr));
  EXPECT_NE(logText(s).find("Socket connection lost, channel closed."), std::string::npos)
      << logText(s);
  EXPECT_FALSE(s.get_IsConnected());
}

} // namespace
