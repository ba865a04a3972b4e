// Many files over one session with the requests of several files in flight (DownloadFiles,
// UploadFiles) against OpenSSH's sshd and ProFTPD: byte-exact files of every size around the
// read and write pieces, a failing file among many that fails alone, a server cut in the middle
// of a batch, and a caller that stops the batch.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <memory>

#include "sshlib/ssh/ClsSFtp.h"
#include "tests/support/ProftpdPeer.h"
#include "tests/support/SftpPeers.h"

using namespace testsupport;

namespace {

bool fileExists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// A started server of one kind; `port` 0 when it could not start.
struct Server {
  std::string name;
  std::function<int()> start;
};

class SftpBatch : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ensureSftpUser());
    ::chmod(dir.path().c_str(), 0777);
    ::mkdir(remote("").c_str(), 0777);
    ::chmod(remote("").c_str(), 0777);
    ::mkdir(local("").c_str(), 0777);
  }
  std::string remote(const std::string &name) { return dir.file("remote/" + name); }
  std::string local(const std::string &name) { return dir.file("local/" + name); }
  int startSshd() {
    sshd = SshPeer::sshd({});
    return sshd->started() ? sshd->port() : 0;
  }
  int startProftpd(int version) {
    ProftpdSftpOptions o;
    o.sftpVersion = version;
    proftpd = ProftpdSftpPeer::start(o);
    return proftpd->started() ? proftpd->port() : 0;
  }
  // The files each way: remote name "r<i>", local name "l<i>".
  std::vector<SftpBatchFile> downloads(const std::vector<long long> &sizes) {
    std::vector<SftpBatchFile> files;
    for (size_t i = 0; i < sizes.size(); ++i)
      files.push_back({remote("r" + std::to_string(i)), local("l" + std::to_string(i)), sizes[i]});
    return files;
  }
  std::vector<SftpBatchFile> uploads(size_t n, const std::string &folder = "up") {
    std::vector<SftpBatchFile> files;
    for (size_t i = 0; i < n; ++i)
      files.push_back({remote(folder + "/r" + std::to_string(i)), local("l" + std::to_string(i))});
    return files;
  }
  void makeRemote(size_t i, long long size) {
    makeDataFile(remote("r" + std::to_string(i)), size);
    ::chmod(remote("r" + std::to_string(i)).c_str(), 0644);
  }

  TempDir dir{"ferrowen-sftp-batch"};
  std::unique_ptr<SshPeer> sshd;
  std::unique_ptr<ProftpdSftpPeer> proftpd;
  XString a, b;
};

// Sizes around the 64 KiB reads and 32000-byte writes; the size the listing gave may be wrong
// (the file grew or shrank since) or missing (-1).
TEST_F(SftpBatch, ManyFilesEachWayArriveWholeWithSeveralInFlight) {
  REQUIRE_PEER(proftpdPeer());
  std::vector<Server> servers = {{"sshd", [&] { return startSshd(); }}};
  for (int v : {3, 6})
    servers.push_back(
        {"ProFTPD, SFTP version " + std::to_string(v), [&, v] { return startProftpd(v); }});
  const long long sizes[] = {0, 1, 4096, 31999, 32000, 32001, 65535, 65536, 65537, 200001};
  for (auto &server : servers) {
    SCOPED_TRACE(server.name);
    const int port = server.start();
    ASSERT_NE(port, 0);
    runCommand("rm -rf '" + remote("") + "'* '" + local("") + "'*");
    ::mkdir(remote("up").c_str(), 0777);
    ::chmod(remote("up").c_str(), 0777);
    std::vector<long long> said;
    for (size_t i = 0; i < 60; ++i) {
      const long long size = sizes[i % std::size(sizes)];
      makeRemote(i, size);
      // Every fourth listing size is off: larger, smaller, unknown.
      said.push_back(i % 4 != 3 ? size : i % 12 == 3 ? size + 5000 : i % 12 == 7 ? size / 2 : -1);
    }
    ClsSFtp s;
    ASSERT_EQ(sftpSession(s, port), "");
    auto files = downloads(said);
    std::vector<int> ended(files.size());
    unsigned int firstEndedAt = 0;
    const unsigned int startId = s.nextRequestId;
    ASSERT_TRUE(s.DownloadFiles(
        files, 8,
        [&](size_t i) {
          if (!firstEndedAt) firstEndedAt = s.nextRequestId;
          ++ended[i];
          return true;
        },
        nullptr))
        << logText(s);
    // By the time the first file ended, requests of later files had gone out (a file alone
    // takes an OPEN, its reads and a CLOSE).
    EXPECT_GT(firstEndedAt - startId, 8u);
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_TRUE(files[i].ok) << i << ": " << files[i].error;
      EXPECT_EQ(ended[i], 1) << i;
      EXPECT_EQ(sha256Of(files[i].local), sha256Of(remote("r" + std::to_string(i)))) << i;
    }
    auto back = uploads(files.size());
    ASSERT_TRUE(s.UploadFiles(back, 8, nullptr, nullptr)) << logText(s);
    for (size_t i = 0; i < back.size(); ++i) {
      EXPECT_TRUE(back[i].ok) << i << ": " << back[i].error;
      EXPECT_EQ(sha256Of(back[i].remote), sha256Of(back[i].local)) << i;
    }
    // The session is in step afterwards.
    EXPECT_EQ(s.GetFileSize(xs(a, remote("r9")), true, false, nullptr), 200001) << logText(s);
  }
}

// A file the server refuses (missing, in a missing folder) or whose local side is missing fails
// on its own: every other file of the batch arrives, and a failed download leaves no file.
TEST_F(SftpBatch, AFailingFileAmongManyFailsAlone) {
  const int port = startSshd();
  ASSERT_NE(port, 0) << sshd->why();
  constexpr size_t kFiles = 30;
  for (size_t i = 0; i < kFiles; ++i)
    if (i != 15) makeRemote(i, 1000 + (long long)i * 3000);
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, port), "");
  auto files = downloads(std::vector<long long>(kFiles, 4096));
  size_t ends = 0;
  EXPECT_TRUE(s.DownloadFiles(
      files, 8, [&](size_t) { return ++ends, true; }, nullptr));
  EXPECT_EQ(ends, kFiles);
  for (size_t i = 0; i < kFiles; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(files[i].ok, i != 15) << files[i].error;
    if (i == 15) {
      EXPECT_FALSE(files[i].error.empty());
      EXPECT_FALSE(fileExists(files[i].local));
    } else {
      EXPECT_EQ(sha256Of(files[i].local), sha256Of(files[i].remote));
    }
  }
  ::mkdir(remote("up").c_str(), 0777);
  ::chmod(remote("up").c_str(), 0777);
  ::unlink(local("l10").c_str());
  auto back = uploads(kFiles);
  back[20].remote = remote("no-such-folder/r20");
  EXPECT_TRUE(s.UploadFiles(back, 8, nullptr, nullptr));
  for (size_t i = 0; i < kFiles; ++i) {
    SCOPED_TRACE(i);
    const bool fails = i == 10 || i == 15 || i == 20;
    EXPECT_EQ(back[i].ok, !fails) << back[i].error;
    if (!fails) {
      EXPECT_EQ(sha256Of(back[i].remote), sha256Of(back[i].local));
    }
  }
  EXPECT_FALSE(fileExists(back[10].remote));
  EXPECT_GE(s.GetFileSize(xs(a, remote("r0")), true, false, nullptr), 0) << logText(s);
}

// Uploads under temporary names are renamed into place as they close; a rename the server
// refuses (OpenSSH does not rename over a file) leaves that file whole under its temporary name
// for the caller.
TEST_F(SftpBatch, UploadsAreRenamedIntoPlaceAndARefusedRenameIsTold) {
  const int port = startSshd();
  ASSERT_NE(port, 0) << sshd->why();
  ::mkdir(remote("up").c_str(), 0777);
  ::chmod(remote("up").c_str(), 0777);
  constexpr size_t kFiles = 20;
  auto files = uploads(kFiles);
  for (size_t i = 0; i < kFiles; ++i) {
    makeDataFile(files[i].local, 100 + (long long)i * 5000);
    files[i].renameTo = files[i].remote;
    files[i].remote += ".upload.1";
    if (i % 5 == 0) writeFile(files[i].renameTo, "in place before");
  }
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, port), "");
  EXPECT_TRUE(s.UploadFiles(files, 8, nullptr, nullptr)) << logText(s);
  for (size_t i = 0; i < kFiles; ++i) {
    SCOPED_TRACE(i);
    const bool existed = i % 5 == 0;
    EXPECT_EQ(files[i].ok, !existed) << files[i].error;
    EXPECT_EQ(files[i].renameRefused, existed);
    EXPECT_EQ(sha256Of(existed ? files[i].remote : files[i].renameTo), sha256Of(files[i].local));
    EXPECT_EQ(fileExists(files[i].remote), existed);
  }
}

// The server's session dies in the middle: the batch ends with false, what ended before is
// whole, every other file carries an error and leaves nothing behind.
TEST_F(SftpBatch, AServerCutInTheMiddleEndsTheBatch) {
  const int port = startSshd();
  ASSERT_NE(port, 0) << sshd->why();
  constexpr size_t kFiles = 200;
  for (size_t i = 0; i < kFiles; ++i)
    makeRemote(i, 20000);
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, port), "");
  auto files = downloads(std::vector<long long>(kFiles, 20000));
  size_t ends = 0;
  EXPECT_FALSE(s.DownloadFiles(
      files, 8,
      [&](size_t) {
        if (++ends == 20) {
          EXPECT_GT(killServerSessions(port), 0);
        }
        return true;
      },
      nullptr));
  EXPECT_FALSE(s.get_IsConnected());
  size_t whole = 0;
  for (size_t i = 0; i < kFiles; ++i) {
    SCOPED_TRACE(i);
    if (files[i].ok) {
      ++whole;
      EXPECT_EQ(sha256Of(files[i].local), sha256Of(files[i].remote));
    } else {
      EXPECT_FALSE(files[i].error.empty());
      EXPECT_FALSE(fileExists(files[i].local));
    }
  }
  EXPECT_GE(whole, 20u);
  EXPECT_LT(whole, kFiles);
}

// A caller that answers false starts no further file: those in flight end, the rest are not
// transferred and not reported.
TEST_F(SftpBatch, TheCallerStopsTheBatch) {
  const int port = startSshd();
  ASSERT_NE(port, 0) << sshd->why();
  constexpr size_t kFiles = 50;
  for (size_t i = 0; i < kFiles; ++i)
    makeRemote(i, 100);
  ClsSFtp s;
  ASSERT_EQ(sftpSession(s, port), "");
  auto files = downloads(std::vector<long long>(kFiles, 100));
  size_t ends = 0;
  EXPECT_TRUE(s.DownloadFiles(
      files, 4, [&](size_t) { return ++ends, false; }, nullptr));
  EXPECT_GE(ends, 1u);
  EXPECT_LE(ends, 4u);
  size_t whole = 0;
  for (auto &f : files) {
    whole += f.ok;
    EXPECT_EQ(fileExists(f.local), f.ok) << f.local;
  }
  EXPECT_EQ(whole, ends);
  EXPECT_EQ(files.back().error, "Not transferred.");
  EXPECT_GE(s.GetFileSize(xs(a, remote("r0")), true, false, nullptr), 0) << logText(s);
}

} // namespace
