// What the SFTP client's log says of real operations against OpenSSH's sshd (SFTP version 3) and
// asyncssh (version 6): each case names the operation and the lines its log must hold (and must
// not). Verbose logging is on where the lines are verbose-only. The password never reaches a log.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/ssh/SshTransport.h"
#include "tests/support/LogTexts.h"
#include "tests/support/Peers.h"
#include "tests/support/SftpPeers.h"

using namespace testsupport;

namespace {

struct Case {
  std::string what, log;
  std::vector<std::string> present, absent = {};
};

void check(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(missingLogLines(c.log, c.present), "") << c.log;
    for (const std::string &a : c.absent)
      EXPECT_FALSE(logHasLine(c.log, a) || c.log.find(a) != std::string::npos) << a << c.log;
  }
}

class SftpLogTexts : public ::testing::Test {
protected:
  void SetUp() override {
    REQUIRE_PEER(program("/usr/sbin/sshd", "openssh-server"));
    ASSERT_TRUE(ensureSftpUser());
    ::chmod(dir.path().c_str(), 0777);
  }
  std::string path(const std::string &name) { return dir.file(name); }
  TempDir dir{"ferrowen-logtexts"};
  XString a, b;
};

// Connect, login and initialisation name the object; the key exchange names its hash in words;
// the login lists the server's methods. sshd offers SHA-1 groups only when told to (the last row
// widens it for that reason alone).
TEST_F(SftpLogTexts, SessionSteps) {
  const struct {
    const char *kex, *hashLine;
  } rows[] = {
      {"", "Using SHA256 for Exchange Hash"},
      {"ecdh-sha2-nistp384", "Using SHA384 for Exchange Hash"},
      {"diffie-hellman-group16-sha512", "Using SHA512 for Exchange Hash"},
      {"diffie-hellman-group14-sha1", "Using SHA-1 for Exchange Hash"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.hashLine);
    SshPeerOptions o;
    o.kex = row.kex;
    auto peer = SshPeer::sshd(o);
    ASSERT_TRUE(peer->started()) << peer->why();
    ClsSFtp s;
    s.VerboseLogging = true;
    s.put_KeepSessionLog(true);
    XString debugPath;
    s.put_DebugLogFilePath(xs(debugPath, path("debug.log")));
    std::vector<Case> cases;
    ASSERT_TRUE(sftpConnect(s, peer->port())) << logText(s);
    cases.push_back({"Connect", logText(s), {"Connect:", "RazudodObjectID:", row.hashLine}});
    XString user, pass;
    ASSERT_TRUE(s.AuthenticatePw(xs(user, kSftpUser), xs(pass, kSftpPass), nullptr));
    cases.push_back({"AuthenticatePw",
                     logText(s),
                     {"AuthenticatePw:", "RazudodObjectID:", "AuthMethods: publickey,password",
                      "Password authentication successful."},
                     {kSftpPass, "stringsPassedToAuthenticatePw"}});
    ASSERT_TRUE(s.InitializeSftp(nullptr)) << logText(s);
    // Verbose, each read of the channel names its settings.
    cases.push_back(
        {"InitializeSftp",
         logText(s),
         {"InitializeSftp:", "RazudodObjectID:", "readChannelData:", "clientChannelNum: 0",
          "totalTimeoutMs: 0", "bCheckQueue: 1", "bOnlyExtendedData: 0", "bSkipExtendedData: 1",
          "idleTimeoutMs_1: 0", "calledFrom: 103", "bReadOneRaw: 0"}});
    XString session;
    s.get_SessionLog(session);
    cases.push_back({"session log", session.getUtf8(), {}, {kSftpPass}});
    // The debug log file mirrors contexts, texts and 32-bit values (not 64-bit ones).
    cases.push_back({"debug log file",
                     readFile(path("debug.log")),
                     {"Connect:", "AuthenticatePw:", "InitializeSftp:", row.hashLine,
                      "AuthMethods: publickey,password"},
                     {kSftpPass, "stringsPassedToAuthenticatePw"}});
    check(cases);
    ::unlink(path("debug.log").c_str());
  }
}

// Downloads, reads, uploads and writes: what was asked, where reads and writes stand, how long an
// upload took and whether a failed one needs a new session.
TEST_F(SftpLogTexts, FileTransfersReadsAndWrites) {
  auto peer = SshPeer::sshd(SshPeerOptions{});
  ASSERT_TRUE(peer->started()) << peer->why();
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, peer->port()), "");
  std::vector<Case> cases;
  cases.push_back(
      {"InitializeSftp, not verbose", logText(s), {"InitializeSftp:"}, {"readChannelData"}});
  s.VerboseLogging = true;
  makeDataFile(path("src"), 70000);
  auto run = [&](const std::string &what, bool expected, bool ok, std::vector<std::string> present,
                 std::vector<std::string> absent = {}) {
    EXPECT_EQ(ok, expected) << what << logText(s);
    cases.push_back({what, logText(s), std::move(present), std::move(absent)});
  };

  run("UploadFileByName", true, s.UploadFileByName(xs(a, path("up")), xs(b, path("src")), nullptr),
      {"RazudodObjectID:", "remoteFilename: " + path("up"), "localFilename: " + path("src"),
       "ServerInitialWindowSize:", "timeToOpenMs:", "timeToCloseMs:", "totalTimeMs:"},
      {"ResumeInfo:"});
  run("UploadFileByName of a missing local file", false,
      s.UploadFileByName(xs(a, path("up2")), xs(b, path("no-such-file")), nullptr),
      {"Failed to upload file.", "ResumeInfo: Can resume", "ResumeInfo: No reconnect necessary"});
  ::truncate(path("up").c_str(), 1000);
  run("ResumeUploadFileByName", true,
      s.ResumeUploadFileByName(xs(a, path("up")), xs(b, path("src")), nullptr),
      {"remoteFilename:", "localFilename:", "IdleTimeoutMs: 20000", "HeartbeatMs: 0"});

  XString h, hd, text;
  ASSERT_TRUE(s.OpenFile(xs(a, path("up")), "readOnly", "openExisting", h, nullptr));
  runCommand("touch -d '2001-02-03 04:05:06 UTC' '" + path("up") + "'");
  s.put_PreserveDate(true);
  run("DownloadFile", true, s.DownloadFile(h, xs(b, path("down")), nullptr),
      {"handle: " + std::string(h.getUtf8()), "toFilename: " + path("down"), "tcpNoDelay: 0",
       "FetchRemoteFileAttributes:", "remoteFileSize: 70000", "hasLastModifiedDate: 1",
       "hasCreateDate: 1", "hasLastAccessDate: 1", "lastModified: Sat, 03 Feb 2001 04:05:06 GMT",
       "createDate: Sat, 03 Feb 2001 04:05:06 GMT", "lastAccess:"});
  s.put_PreserveDate(false);
  ASSERT_TRUE(s.CloseHandle(h, nullptr));
  ASSERT_TRUE(s.OpenFile(xs(a, path("up3")), "writeOnly", "createTruncate", h, nullptr));
  run("UploadFile", true, s.UploadFile(h, xs(b, path("src")), nullptr),
      {"handle: " + std::string(h.getUtf8()), "filename: " + path("src")});
  ASSERT_TRUE(s.CloseHandle(h, nullptr));
  // sshd answers no attributes for a directory handle.
  ASSERT_TRUE(s.OpenDir(xs(a, dir.path()), hd, nullptr));
  s.DownloadFile(hd, xs(b, path("down2")), nullptr);
  cases.push_back({"DownloadFile of a directory handle",
                   logText(s),
                   {"FetchRemoteFileAttributes:",
                    "Unable to get file size information from open handle.  Proceeding without the "
                    "ability to monitor progress.",
                    "SFTP server did not provide remote file size."}});
  ASSERT_TRUE(s.CloseHandle(hd, nullptr));

  DataBuffer got;
  ASSERT_TRUE(s.OpenFile(xs(a, path("up")), "readWrite", "openExisting", h, nullptr));
  ASSERT_TRUE(s.ReadFileBytes(h, 100, got, nullptr));
  run("ReadFileBytes, second read", true, s.ReadFileBytes(h, 100, got, nullptr),
      {"numBytes: 100", "nextReadIdx: 100", "newNextReadIdx: 200", "numBytesReceived: 100"});
  run("ReadFileBytes64", true, s.ReadFileBytes64(h, 69990, 100, got, nullptr),
      {"ReadFileBytes64:", "offset64: 69990", "numBytes: 100"});
  run("ReadFileText64", true, s.ReadFileText64(h, 0, 4, "utf-8", text, nullptr),
      {"ReadFileText64:", "offset64: 0", "charset: utf-8"});
  run("WriteFileText", true, s.WriteFileText(h, "utf-8", xs(text, "tail"), nullptr),
      {"WriteFileText:", "handle:", "charset: utf-8", "offset: 70000"}, {"WriteFileBytes:"});
  run("WriteFileText64", true, s.WriteFileText64(h, 3, "utf-8", xs(text, "x"), nullptr),
      {"WriteFileText64:", "charset: utf-8", "offset64: 3"});
  got.clear();
  got.append("yz", 2);
  run("WriteFileBytes64", true, s.WriteFileBytes64(h, 5, got, nullptr),
      {"WriteFileBytes64:", "offset64: 5"});
  ASSERT_TRUE(s.CloseHandle(h, nullptr));
  check(cases);
}

// Directories, their entries' times and the path and attribute operations, on a version 3 server
// (sshd: 32-bit times, octal permissions) and a version 6 one (asyncssh: 64-bit times).
TEST_F(SftpLogTexts, DirectoriesEntriesAndAttributes) {
  REQUIRE_PEER(pythonModule("asyncssh", "python3-asyncssh"));
  for (int version : {3, 6}) {
    SCOPED_TRACE(version);
    TempDir root{"ferrowen-logtexts-root"};
    ::chmod(root.path().c_str(), 0777);
    std::unique_ptr<SshPeer> sshd;
    Process asyncPeer;
    int port = 0;
    std::string base; // the folder as the server names it
    if (version == 3) {
      sshd = SshPeer::sshd(SshPeerOptions{});
      ASSERT_TRUE(sshd->started()) << sshd->why();
      port = sshd->port();
      base = root.path();
    } else {
      SftpPeerOptions o;
      o.version = 6;
      port = freeTcpPort();
      asyncPeer = startAsyncSftp(port, root.path(), o, dir.path());
      base = "";
    }
    writeFile(root.file("f"), "data");
    ::chmod(root.file("f").c_str(), 0644);
    runCommand("touch -d '2001-02-03 04:05:06 UTC' '" + root.file("f") + "'");
    writeFile(root.file("zero"), "");
    runCommand("touch -d @0 '" + root.file("zero") + "'");
    // sshd's session runs as the test user, who may change only files of its own.
    runCommand(std::string("chown ") + kSftpUser + " '" + root.file("f") + "'");
    ClsSFtp s;
    ASSERT_EQ(sftpSession(s, port), "");
    ASSERT_EQ(s.ProtocolVersion, version);
    s.VerboseLogging = true;
    std::vector<Case> cases;
    XString h;
    ASSERT_TRUE(s.OpenDir(xs(a, base.empty() ? "/" : base), h, nullptr)) << logText(s);
    cases.push_back({"OpenDir", logText(s), {"Sent FXP_OPENDIR"}});
    std::unique_ptr<ClsSFtpDir> listing(s.ReadDir(h, nullptr));
    ASSERT_TRUE(listing) << logText(s);
    cases.push_back(
        {"ReadDir", logText(s),
         version == 3 ? std::vector<std::string>{"DirEntry:", "octalPermissions: 100644"}
                      : std::vector<std::string>{"DirEntry:", "validFlags:", "lastModifiedTime64:"},
         version == 3 ? std::vector<std::string>{"FilenameCharset:"}
                      : std::vector<std::string>{"octalPermissions:", "FilenameCharset:"}});
    // A copy of an entry is made through its text form, which logs the times it restores.
    {
      Logger copyLog;
      std::unique_ptr<ClsSFtpFile> copy(listing->GetFileObject(0, copyLog));
      StringBuffer sb;
      copyLog.getText(sb);
      cases.push_back(
          {"GetFileObject",
           sb.getString(),
           {"GetFileObject:", "lastAccessTime32:", "createTime32:", "lastModifiedTime32:"}});
    }
    // An entry logs what its time getter found into its own log.
    auto modifiedLog = [](ClsSFtpFile &e) {
      RazudodSysTime t;
      e.get_LastModifiedTime(t);
      return logTextOf(e);
    };
    for (int i = 0; i < listing->get_NumFilesAndDirs(); ++i) {
      ClsSFtpFile &e = *listing->entry(i);
      if (e.filenameUtf8() == "f")
        cases.push_back({"entry f",
                         modifiedLog(e),
                         {"LastModifiedTime:", std::string(version == 3 ? "dateTime" : "DateTime") +
                                                   ": Sat, 03 Feb 2001 04:05:06 GMT"}});
      if (e.filenameUtf8() == "zero")
        cases.push_back(
            {"entry zero", modifiedLog(e), {"No date/time found, using current date/time"}});
    }
    ClsSFtpFile empty;
    cases.push_back(
        {"entry without attributes", modifiedLog(empty), {"No attrs, using current date/time"}});
    ASSERT_TRUE(s.CloseHandle(h, nullptr));
    XString charset;
    s.put_FilenameCharset(xs(charset, "utf-8"));
    ASSERT_TRUE(s.OpenDir(xs(a, base.empty() ? "/" : base), h, nullptr)) << logText(s);
    delete s.ReadDir(h, nullptr);
    cases.push_back({"ReadDir with a filename charset", logText(s), {"FilenameCharset: utf-8"}});
    s.put_FilenameCharset(xs(charset, ""));
    ASSERT_TRUE(s.CloseHandle(h, nullptr));

    const std::string f = base + "/f";
    XString out, none;
    ASSERT_TRUE(s.RealPath(xs(a, f), none, out, nullptr)) << logText(s);
    cases.push_back({"RealPath", logText(s), {"Received FXP_NAME response."}});
    RazudodSysTime t;
    ASSERT_TRUE(s.GetFileLastModified(xs(a, f), true, false, t, nullptr));
    cases.push_back({"GetFileLastModified",
                     logText(s),
                     {"isHandle: 0", "followLinks: 1", "dateTime: Sat, 03 Feb 2001 04:05:06 GMT"},
                     {"Converting to local time..."}});
    // UtcMode's setter keeps it true; the field itself reaches the local-time branch.
    s.UtcMode = false;
    ASSERT_TRUE(s.GetFileLastAccess(xs(a, f), true, false, t, nullptr));
    EXPECT_TRUE(t.m_local);
    cases.push_back({"GetFileLastAccess in local time",
                     logText(s),
                     {"Converting to local time...", "dateTime:"}});
    ASSERT_TRUE(s.GetFileCreateTime(xs(a, f), true, false, t, nullptr));
    cases.push_back(
        {"GetFileCreateTime", logText(s), {}, {"Converting to local time...", "dateTime:"}});
    s.UtcMode = true;
    ASSERT_TRUE(s.SetPermissions(xs(a, f), false, 0640, nullptr)) << logText(s);
    cases.push_back({"SetPermissions",
                     logText(s),
                     {"octalPermissions: 640",
                      "permissionsHex:", "FileAttr_v" + std::to_string(version) + ":"}});
    t.m_local = false;
    t.m_year = 2012, t.m_month = 3, t.m_day = 4, t.m_hour = t.m_minute = t.m_second = 0;
    ASSERT_TRUE(s.SetLastModifiedTime(xs(a, f), false, t, nullptr)) << logText(s);
    cases.push_back({"SetLastModifiedTime", logText(s), {"DateTime:", "lastModTime:"}});

    // The arguments of the operations on names.
    ASSERT_TRUE(s.CreateDir(xs(a, base + "/made"), nullptr)) << logText(s);
    cases.push_back({"CreateDir", logText(s), {"path: " + base + "/made"}, {"filename:"}});
    ASSERT_TRUE(s.RemoveDir(xs(a, base + "/made"), nullptr)) << logText(s);
    cases.push_back({"RemoveDir", logText(s), {"path: " + base + "/made"}, {"filename:"}});
    XString owner, group;
    s.SetOwnerAndGroup(xs(a, f), false, xs(owner, "nobody"), xs(group, "nogroup"), nullptr);
    cases.push_back({"SetOwnerAndGroup",
                     logText(s),
                     {"filename: " + f, "isHandle: 0", "owner: nobody", "group: nogroup"}});
    writeFile(path("local"), "x");
    ASSERT_TRUE(s.CopyFileAttr(xs(b, path("local")), xs(a, f), false, nullptr)) << logText(s);
    cases.push_back({"CopyFileAttr",
                     logText(s),
                     {"localFilename: " + path("local"), "filename: " + f, "isHandle: 0"}});

    // A READDIR that cannot be sent: our side of the connection no longer writes.
    ASSERT_TRUE(s.OpenDir(xs(a, base.empty() ? "/" : base), h, nullptr));
    ::shutdown(s.transport->socket.socketFd, SHUT_WR);
    EXPECT_EQ(s.ReadDir(h, nullptr), nullptr);
    cases.push_back({"ReadDir that cannot send", logText(s), {"Failed to send READDIR message."}});
    check(cases);
  }
}

} // namespace
