// The SFTP client against OpenSSH's sshd (SFTP version 3): transfers with resume, a large
// listing against stat, path operations, and every way of logging in.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <set>

#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/ssh/SshTransport.h"
#include "tests/support/SftpPeers.h"

using namespace testsupport;

namespace {

class SftpSshd : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ensureSftpUser());
    ::chmod(dir.path().c_str(), 0777);
  }
  std::unique_ptr<SshPeer> start(const std::string &extra = "", const std::string &lead = "") {
    SshPeerOptions o;
    o.extraConfig = extra;
    o.leadConfig = lead;
    auto p = SshPeer::sshd(o);
    EXPECT_TRUE(p->started()) << p->why();
    return p;
  }
  std::string path(const std::string &name) { return dir.file(name); }
  TempDir dir{"ferrowen-sftp"};
  XString a, b, c;
};

TEST_F(SftpSshd, TransfersAreByteExactAndResumeOnBothSides) {
  auto peer = start();
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, peer->port()), "");
  EXPECT_EQ(s.ProtocolVersion, 3);
  for (long long n : {0LL, 1LL, 65535LL, 65536LL, 65537LL, 3000001LL}) {
    std::string tag = std::to_string(n), src = path("src" + tag), remote = path("remote" + tag),
                back = path("back" + tag);
    makeDataFile(src, n);
    ASSERT_TRUE(s.UploadFileByName(xs(a, remote), xs(b, src), nullptr)) << n << logText(s);
    ASSERT_TRUE(s.DownloadFileByName(xs(a, remote), xs(b, back), nullptr)) << n << logText(s);
    EXPECT_EQ(sha256Of(remote), sha256Of(src)) << n;
    EXPECT_EQ(sha256Of(back), sha256Of(src)) << n;
    // Cut both copies in half and let each side finish its own.
    ::truncate(back.c_str(), n / 2);
    ASSERT_TRUE(s.ResumeDownloadFileByName(xs(a, remote), xs(b, back), nullptr)) << logText(s);
    EXPECT_EQ(sha256Of(back), sha256Of(src)) << n;
    ::truncate(remote.c_str(), n / 3);
    ASSERT_TRUE(s.ResumeUploadFileByName(xs(a, remote), xs(b, src), nullptr)) << logText(s);
    EXPECT_EQ(sha256Of(remote), sha256Of(src)) << n;
  }
  // Reads through a handle: sequential reads end at end-of-file.
  XString h;
  ASSERT_TRUE(s.OpenFile(xs(a, path("remote65537")), "readOnly", "openExisting", h, nullptr));
  DataBuffer got, all;
  while (!s.Eof(h) && s.ReadFileBytes(h, 40000, got, nullptr))
    all.append(got);
  EXPECT_EQ(all.getSize(), 65537u);
  EXPECT_TRUE(s.CloseHandle(h, nullptr));
}

// A missing absolute path is not found, also where the same name exists below the login folder
// (which a "./" form of it would name), by a download from a path and by a batch.
TEST_F(SftpSshd, AMissingAbsolutePathIsNotAnsweredWithAnotherFile) {
  auto peer = start();
  const passwd *pw = ::getpwnam(kSftpUser);
  ASSERT_NE(pw, nullptr);
  const std::string ghost = "ferrowen-ghost-" + std::to_string(::getpid());
  const std::string home = std::string(pw->pw_dir) + "/" + ghost;
  ASSERT_NE(::access(("/" + ghost).c_str(), F_OK), 0);
  runCommand("mkdir -p '" + home + "' && echo 'another file' > '" + home +
             "/x.bin' && chmod -R a+rX '" + home + "'");
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, peer->port()), "");
  const std::string missing = "/" + ghost + "/x.bin";
  EXPECT_FALSE(s.DownloadFileByName(xs(a, missing), xs(b, path("got")), nullptr));
  EXPECT_NE(logText(s).find("No such file"), std::string::npos) << logText(s);
  std::vector<SftpBatchFile> files{{missing, path("batch")}};
  EXPECT_FALSE(s.DownloadFiles(files, 4, nullptr, nullptr) && files[0].ok);
  EXPECT_FALSE(files[0].ok);
  // The name relative to the login folder is that file.
  EXPECT_TRUE(s.DownloadFileByName(xs(a, ghost + "/x.bin"), xs(b, path("rel")), nullptr))
      << logText(s);
  EXPECT_EQ(readFile(path("rel")), "another file\n");
  for (const char *got : {"got", "batch"})
    EXPECT_NE(readFile(path(got)), "another file\n") << got;
  runCommand("rm -rf '" + home + "'");
}

// Under PreserveDate both directions carry the modification time across.
TEST_F(SftpSshd, PreserveDateBothWays) {
  auto peer = start();
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, peer->port()), "");
  s.put_PreserveDate(true);
  makeDataFile(path("old"), 70000);
  runCommand("touch -d '2001-02-03 04:05:06 UTC' '" + path("old") + "'");
  struct stat local {};
  ::stat(path("old").c_str(), &local);
  ASSERT_TRUE(s.UploadFileByName(xs(a, path("up")), xs(b, path("old")), nullptr)) << logText(s);
  ASSERT_TRUE(s.DownloadFileByName(xs(a, path("up")), xs(b, path("down")), nullptr));
  for (const char *f : {"up", "down"}) {
    struct stat st {};
    ::stat(path(f).c_str(), &st);
    EXPECT_EQ(st.st_mtime, local.st_mtime) << f;
  }
  EXPECT_EQ(sha256Of(path("down")), sha256Of(path("old")));
}

// Names in ISO-8859-1 on the server: listed in UTF-8, and every operation on one reaches that
// file and no other.
TEST_F(SftpSshd, Latin1NamesReachTheirOwnFiles) {
  auto peer = start();
  writeFile(path("caf\xe9.txt"), "latin");
  writeFile(path("caf.txt"), "other");
  runCommand("chown " + std::string(kSftpUser) + " '" + path("caf\xe9.txt") + "'");
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, peer->port()), "");
  s.put_FilenameCharset(xs(c, "iso-8859-1"));
  XString h, name;
  ASSERT_TRUE(s.OpenDir(xs(a, dir.path()), h, nullptr));
  std::unique_ptr<ClsSFtpDir> d(s.ReadDir(h, nullptr));
  ASSERT_TRUE(d);
  std::string found;
  for (int i = 0; i < d->get_NumFilesAndDirs(); ++i)
    if (d->GetFilename(i, name) && std::string(name.getUtf8()).rfind("caf\xc3", 0) == 0)
      found = name.getUtf8();
  ASSERT_EQ(found, "caf\xc3\xa9.txt");
  const std::string remote = dir.path() + "/" + found;
  EXPECT_EQ(s.GetFileSize(xs(a, remote), true, false, nullptr), 5);
  EXPECT_TRUE(s.SetPermissions(xs(a, remote), false, 0600, nullptr)) << logText(s);
  struct stat st {};
  ::stat(path("caf\xe9.txt").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_TRUE(s.DownloadFileByName(xs(a, remote), xs(b, path("got")), nullptr));
  EXPECT_EQ(readFile(path("got")), "latin");
  EXPECT_TRUE(s.RemoveFile(xs(a, remote), nullptr)) << logText(s);
  EXPECT_FALSE(::access(path("caf\xe9.txt").c_str(), F_OK) == 0);
  EXPECT_EQ(readFile(path("caf.txt")), "other");
}

// A server that stops answering: the read times out once, the session ends at once (no CLOSE
// waits for another time-out), and the next request is not answered by a late reply.
TEST_F(SftpSshd, AStalledServerEndsTheSessionAtOnce) {
  auto peer = start();
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, peer->port()), "");
  s.IdleTimeoutMs = 1500;
  s.transport->setTimeouts(1500, 30000);
  makeDataFile(path("f"), 5 << 20);
  // The session's processes stop (not killed): the connection stays open but silent.
  ASSERT_GT(signalServerSessions(peer->port(), SIGSTOP), 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.DownloadFileByName(xs(a, path("f")), xs(b, path("g")), nullptr));
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_FALSE(s.get_IsConnected());
  EXPECT_NE(logText(s).find("a request was left unanswered"), std::string::npos) << logText(s);
  // One time-out, not two (generous for a loaded machine).
  EXPECT_LT(took, 2 * 1.5 + 10);
  killServerSessions(peer->port());
}

TEST_F(SftpSshd, ListingOfTwoThousandEntriesEqualsStat) {
  auto peer = start();
  std::string tree = path("tree");
  runCommand("mkdir '" + tree + "' && cd '" + tree +
             "' && /usr/bin/python3 -c \"[open('f%d' % i, 'wb').write(bytes(i % 97)) for i in "
             "range(1, 1991)]\" && mkdir d1 d2 d3 && ln -s f1 link1 && chmod 600 f7 && touch -d "
             "2001-02-03 f9 && "
             "for i in 1 2 3 4 5 6; do mkfifo p$i; done");
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, peer->port()), "");
  XString h;
  ASSERT_TRUE(s.OpenDir(xs(a, tree + "///"), h, nullptr)) << logText(s);
  std::unique_ptr<ClsSFtpDir> d(s.ReadDir(h, nullptr));
  ASSERT_TRUE(d) << logText(s);
  EXPECT_TRUE(s.CloseHandle(h, nullptr));
  ASSERT_EQ(d->get_NumFilesAndDirs(), 2000);
  EXPECT_EQ(d->OriginalPath, tree);
  for (int i = 0; i < d->get_NumFilesAndDirs(); ++i) {
    const ClsSFtpFile *e = d->entry(i);
    struct stat st;
    ASSERT_EQ(::lstat((tree + "/" + e->filenameUtf8()).c_str(), &st), 0) << e->filenameUtf8();
    EXPECT_EQ(e->get_Size64(), st.st_size) << e->filenameUtf8();
    EXPECT_EQ((unsigned)e->get_Permissions(), (unsigned)st.st_mode) << e->filenameUtf8();
    EXPECT_EQ(e->attrs().lastModifiedTime32, (unsigned)st.st_mtime) << e->filenameUtf8();
    EXPECT_EQ(e->get_IsDirectory(), S_ISDIR(st.st_mode));
    EXPECT_EQ(e->get_IsSymLink(), S_ISLNK(st.st_mode));
    EXPECT_EQ(e->get_Uid(), (int)st.st_uid);
    std::unique_ptr<ClsSFtpFile> copy(d->GetFileObject(i, s.m_log));
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->filenameUtf8(), e->filenameUtf8());
    EXPECT_EQ(copy->get_Size64(), e->get_Size64());
    EXPECT_EQ(copy->attrs().lastModifiedTime32, e->attrs().lastModifiedTime32);
    XString type;
    copy->get_FileType(type);
    // Version 3 tells only directories and links apart.
    EXPECT_STREQ(type.getUtf8(), S_ISDIR(st.st_mode)   ? "directory"
                                 : S_ISLNK(st.st_mode) ? "symLink"
                                                       : "regular")
        << e->filenameUtf8();
  }
}

// Many small files through one session, each CLOSE sent without waiting, with requests that
// read a status between them; then a listing of the folder through a small channel window, so
// that window adjusts and READDIRs go out one after the other many times.
TEST_F(SftpSshd, ManySmallFilesThenAListingInOneSession) {
  auto peer = start();
  const std::string tree = path("small");
  ASSERT_EQ(::mkdir(tree.c_str(), 0777), 0);
  constexpr int kFiles = 300;
  std::set<std::string> names;
  for (int i = 0; i < kFiles; ++i) {
    // Sizes around the read size and its multiples, and empty files.
    const long long n = i % 7 == 0 ? 0 : (i * 4099LL) % 140000;
    const std::string name = "file " + std::to_string(i) + (i % 2 ? ".dat" : "");
    makeDataFile(tree + "/" + name, n, i);
    names.insert(name);
  }
  ClsSFtp s;
  s.channelInitialWindow = 16384;
  ASSERT_EQ(sftpSession(s, peer->port()), "");
  int i = 0;
  for (auto &name : names) {
    const std::string remote = tree + "/" + name, back = path("back");
    ASSERT_TRUE(s.DownloadFileByName(xs(a, remote), xs(b, back), nullptr)) << name << logText(s);
    EXPECT_EQ(sha256Of(back), sha256Of(remote)) << name;
    if (++i % 3 == 0) {
      struct stat st;
      ASSERT_EQ(::stat(remote.c_str(), &st), 0);
      EXPECT_EQ(s.GetFileSize(xs(a, remote), true, false, nullptr), (long long)st.st_size)
          << name << logText(s);
    }
  }
  XString h;
  ASSERT_TRUE(s.OpenDir(xs(a, tree), h, nullptr)) << logText(s);
  std::unique_ptr<ClsSFtpDir> d(s.ReadDir(h, nullptr));
  ASSERT_TRUE(d) << logText(s);
  EXPECT_TRUE(s.CloseHandle(h, nullptr)) << logText(s);
  std::set<std::string> listed;
  for (int k = 0; k < d->get_NumFilesAndDirs(); ++k) {
    const ClsSFtpFile *e = d->entry(k);
    listed.insert(e->filenameUtf8());
    struct stat st;
    ASSERT_EQ(::stat((tree + "/" + e->filenameUtf8()).c_str(), &st), 0) << e->filenameUtf8();
    EXPECT_EQ(e->get_Size64(), st.st_size) << e->filenameUtf8();
  }
  EXPECT_EQ(listed, names);
  EXPECT_TRUE(s.get_IsConnected());
}

TEST_F(SftpSshd, PathOperationsOnVersion3) {
  auto peer = start();
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, peer->port()), "");
  s.EnableCache = true;
  std::string d = path("made"), f = d + "/file", g = d + "/renamed";
  ASSERT_TRUE(s.CreateDir(xs(a, d), nullptr)) << logText(s);
  makeDataFile(f, 10);
  runCommand(std::string("chown ") + kSftpUser + " '" + f + "'");
  XString out;
  ASSERT_TRUE(s.RealPath(xs(a, d + "/../made/."), xs(b, ""), out, nullptr));
  EXPECT_EQ(std::string(out.getUtf8()), d);
  EXPECT_EQ(s.GetFileSize(xs(a, f), true, false, nullptr), 10);
  // The cache forgets a name that is renamed, removed or changed.
  ASSERT_TRUE(s.SetPermissions(xs(a, f), false, 0640, nullptr));
  int perms = 0;
  ASSERT_TRUE(s.GetFilePermissions(xs(a, f), true, false, perms, nullptr));
  EXPECT_EQ(perms & 0777, 0640);
  // Setting one time on version 3 keeps the other.
  RazudodSysTime t{};
  t.m_year = 2005, t.m_month = 6, t.m_day = 7, t.m_hour = 8;
  runCommand("touch -m -d '2010-01-01 00:00:00 UTC' '" + f + "'");
  ASSERT_TRUE(s.SetLastAccessTime(xs(a, f), false, t, nullptr)) << logText(s);
  struct stat st;
  ::stat(f.c_str(), &st);
  EXPECT_EQ(st.st_mtime, 1262304000);
  EXPECT_EQ(st.st_atime, 1118131200);
  runCommand("touch -a -d '2011-01-01 00:00:00 UTC' '" + f + "'");
  ASSERT_TRUE(s.SetLastModifiedTime(xs(a, f), false, t, nullptr));
  ::stat(f.c_str(), &st);
  EXPECT_EQ(st.st_mtime, 1118131200);
  EXPECT_EQ(st.st_atime, 1293840000);
  // The server reports them as they were set.
  RazudodSysTime got{};
  ASSERT_TRUE(s.GetFileLastModified(xs(a, f), true, false, got, nullptr)) << logText(s);
  EXPECT_EQ(std::to_string(got.m_year) + "-" + std::to_string(got.m_month) + "-" +
                std::to_string(got.m_day) + " " + std::to_string(got.m_hour),
            "2005-6-7 8");
  ASSERT_TRUE(s.GetFileLastAccess(xs(a, f), true, false, got, nullptr));
  EXPECT_EQ(got.m_year, 2011);
  EXPECT_FALSE(s.SetCreateTime(xs(a, f), false, t, nullptr));
  EXPECT_NE(logText(s).find("version 3 cannot"), std::string::npos);
  EXPECT_FALSE(s.SetOwnerAndGroup(xs(a, f), false, xs(b, "root"), xs(c, "root"), nullptr));
  XString owner;
  ASSERT_TRUE(s.GetFileOwner(xs(a, f), true, false, owner, nullptr));
  EXPECT_EQ(std::string(owner.getUtf8()), std::to_string(::getpwnam(kSftpUser)->pw_uid));
  ASSERT_TRUE(s.RenameFileOrDir(xs(a, f), xs(b, g), nullptr));
  EXPECT_EQ(s.GetFileSize(xs(a, f), true, false, nullptr), -1);
  EXPECT_FALSE(s.RemoveDir(xs(a, d), nullptr));
  ASSERT_TRUE(s.RemoveFile(xs(a, g), nullptr));
  EXPECT_EQ(s.GetFileSize(xs(a, g), true, false, nullptr), -1);
  ASSERT_TRUE(s.RemoveDir(xs(a, d), nullptr));
  // A failed create is not retried under another name.
  XString h;
  EXPECT_FALSE(s.OpenFile(xs(a, "nosuchdir/x"), "writeOnly", "createTruncate", h, nullptr));
  EXPECT_EQ(logText(s).find("./nosuchdir"), std::string::npos);
}

TEST_F(SftpSshd, LoginsByPasswordKeysAndKeyboard) {
  std::string keys = path("authorized_keys");
  struct KeyCase {
    const char *type, *format;
  } cases[] = {{"rsa", "PEM"},   {"rsa", "PKCS8"}, {"dsa", "PEM"},
               {"dsa", "PKCS8"}, {"rsa", "ppk"},   {"dsa", "ppk"}};
  std::vector<std::string> files;
  for (auto &k : cases) {
    std::string f = path(std::string("key_") + k.type + k.format);
    std::string fmt = std::string(k.format) == "ppk" ? "PEM" : k.format;
    runCommand("ssh-keygen -q -N '' -t " + std::string(k.type) + " -m " + fmt + " -f '" + f +
               "' && cat '" + f + ".pub' >> '" + keys + "'");
    if (std::string(k.format) == "ppk")
      runCommand("puttygen '" + f + "' -O private --ppk-param version=2 -o '" + f + "'");
    files.push_back(f);
  }
  auto peer = start("AuthorizedKeysFile " + keys + "\nStrictModes no\n",
                    "PubkeyAcceptedAlgorithms +ssh-rsa,ssh-dss\n");
  for (auto &f : files) {
    ClsSFtp s;
    ClsSshKey key;
    ASSERT_TRUE(key.loadKeyFile(f.c_str(), s.m_log)) << f;
    ASSERT_TRUE(sftpConnect(s, peer->port()));
    ASSERT_TRUE(s.AuthenticatePk(xs(a, kSftpUser), &key, nullptr)) << f << logText(s);
    EXPECT_TRUE(s.InitializeSftp(nullptr));
  }
  // Password: refused, then accepted on the same connection; the password never reaches a log.
  ClsSFtp s;
  s.VerboseLogging = s.KeepSessionLog = true;
  ASSERT_TRUE(sftpConnect(s, peer->port()));
  EXPECT_FALSE(s.AuthenticatePw(xs(a, kSftpUser), xs(b, "wrong-one"), nullptr));
  ASSERT_TRUE(s.AuthenticatePw(xs(a, kSftpUser), xs(b, kSftpPass), nullptr));
  EXPECT_EQ(logText(s).find(kSftpPass), std::string::npos);
  EXPECT_EQ(std::string(s.transport->sessionLog.getString()).find(kSftpPass), std::string::npos);
  EXPECT_FALSE(s.AuthenticatePw(xs(a, kSftpUser), xs(b, kSftpPass), nullptr));
  EXPECT_NE(logText(s).find("Already authenticated."), std::string::npos);

  // Key then password, and keyboard-interactive through PAM.
  auto both = start("AuthorizedKeysFile " + keys +
                    "\nStrictModes no\n"
                    "AuthenticationMethods publickey,password\n");
  ClsSFtp s2;
  ClsSshKey key;
  ASSERT_TRUE(key.loadKeyFile(files[0].c_str(), s2.m_log));
  ASSERT_TRUE(sftpConnect(s2, both->port()));
  EXPECT_TRUE(s2.AuthenticatePwPk(xs(a, kSftpUser), xs(b, kSftpPass), &key, nullptr))
      << logText(s2);
  auto pam = start("", "UsePAM yes\nPasswordAuthentication no\nKbdInteractiveAuthentication yes\n");
  ClsSFtp s3;
  ASSERT_TRUE(sftpConnect(s3, pam->port()));
  ASSERT_TRUE(s3.AuthenticatePw(xs(a, kSftpUser), xs(b, kSftpPass), nullptr)) << logText(s3);
  EXPECT_NE(logText(s3).find("keyboard-interactive authentication successful"), std::string::npos);
  EXPECT_TRUE(s3.InitializeSftp(nullptr));
}

} // namespace
