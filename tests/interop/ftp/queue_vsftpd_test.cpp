// The queue's FTP connection against vsftpd: a download resumed from the partial file an earlier
// run left ("REST" in the server's protocol log) arrives byte for byte (anonymous, plain); and a
// folder's worth of small uploads over FTPS as vsftpd's users turn it on (TLS 1.3, session reuse
// required on every data connection) arrive whole, with nothing left under a temporary name.
#include "app/foundation/SettingsKeys.h"
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/interop/ftp/VsftpdPeer.h"
#include "tests/support/Peers.h"

#include <dirent.h>

#include "app/foundation/PartialFile.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace queuetest;

namespace {

class QueueVsftpdTest : public QueueTest {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    Clock::install(nullptr);
  }
  // vsftpd serving `root` anonymously on a free port; false when it cannot run here.
  bool startVsftpd(const std::string &root) {
    if (::access("/usr/sbin/vsftpd", X_OK) != 0 || ::geteuid() != 0 || !::getpwnam("ftp"))
      return false;
    ::mkdir("/var/run/vsftpd", 0755);
    ::mkdir("/var/run/vsftpd/empty", 0755);
    ::chmod(tmp_->path().c_str(), 0755);
    port_ = testsupport::freeTcpPort();
    const std::string conf =
        "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" +
        std::to_string(port_) +
        "\nbackground=NO\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
        "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nanon_root=" +
        root +
        "\nwrite_enable=NO\npasv_enable=YES\npasv_address=127.0.0.1\nport_enable=YES\n"
        "connect_from_port_20=NO\nsecure_chroot_dir=/var/run/vsftpd/empty\n"
        "xferlog_enable=YES\nxferlog_std_format=NO\nlog_ftp_protocol=YES\nvsftpd_log_file=" +
        log() + "\ndual_log_enable=NO\nssl_enable=NO\n";
    testsupport::writeFile(tmp_->file("vsftpd.conf"), conf);
    server_ = testsupport::Process({"/usr/sbin/vsftpd", tmp_->file("vsftpd.conf")}, tmp_->path());
    return testsupport::waitForTcpPort(port_);
  }
  std::string log() const { return tmp_->file("vsftpd.log"); }

  int port_ = 0;
  testsupport::Process server_;
};

} // namespace

TEST_F(QueueVsftpdTest, ResumesFromThePartialFile) {
  const std::string root = tmp_->file("anon");
  FileManager::createDirectory(root + "/pub", true);
  ::chmod(root.c_str(), 0755);
  ::chmod((root + "/pub").c_str(), 0755);
  const std::string data = pattern(1500000, 9);
  ASSERT_TRUE(testsupport::writeFile(root + "/pub/file.bin", data));
  ::chmod((root + "/pub/file.bin").c_str(), 0644);
  REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
  ASSERT_TRUE(startVsftpd(root)) << "vsftpd cannot run here";
  // An earlier run got a third of the file and saved its offset.
  ASSERT_TRUE(testsupport::writeFile(ftpPartialOf("file.bin", port_, "anonymous", "/pub"),
                                     data.substr(0, 500000)));
  seedRow("'2','file.bin','/pub','127.0.0.1'," + std::to_string(port_) +
          ",'anonymous','','',1500000,0,'ftp',9999,500000");
  makeQueue();
  ASSERT_TRUE(waitFor([&] { return queue_->batchItemList().empty(); }, 40))
      << testsupport::readFile(log());
  ASSERT_TRUE(
      waitFor([&] { return FileManager::fileExists(Paths::documents() + "/Files/file.bin"); }));
  EXPECT_TRUE(testsupport::readFile(Paths::documents() + "/Files/file.bin") == data);
  EXPECT_NE(testsupport::readFile(log()).find("REST 500000"), std::string::npos)
      << testsupport::readFile(log());
  server_.stop();
}

TEST_F(QueueVsftpdTest, ManySmallUploadsOverStockFtps) {
  REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
  ASSERT_EQ(::geteuid(), 0u) << "vsftpd and its local user need root";
  ASSERT_TRUE(vsftpdpeer::ensureLocalUser());
  RegisterDefaultSettings(); // uploads go under a temporary name, as the application's default
  ::chmod(tmp_->path().c_str(), 0755);
  const std::string root = tmp_->file("up");
  FileManager::createDirectory(root, true);
  ASSERT_TRUE(vsftpdpeer::letUserWrite(root));
  ASSERT_TRUE(testsupport::makeSelfSignedCert(tmp_->file("cert.pem"), tmp_->file("key.pem")));
  port_ = testsupport::freeTcpPort();
  testsupport::writeFile(
      tmp_->file("vsftpd.conf"),
      vsftpdpeer::config(port_, root, log(),
                         vsftpdpeer::stockTls(tmp_->file("cert.pem"), tmp_->file("key.pem"))));
  server_ = testsupport::Process({"/usr/sbin/vsftpd", tmp_->file("vsftpd.conf")}, tmp_->path());
  ASSERT_TRUE(testsupport::waitForTcpPort(port_)) << server_.errors();

  constexpr int kFiles = 120;
  auto content = [](int i) { return pattern(size_t(i * 53 % 3000 + 1), unsigned(i + 5)); };
  FileManager::createDirectory(Paths::documents() + "/Files/batch", true);
  for (int i = 0; i < kFiles; ++i)
    ASSERT_TRUE(testsupport::writeFile(
        Paths::documents() + "/Files/batch/f" + std::to_string(i) + ".txt", content(i)));
  makeQueue();
  queue_->batchUpdates([&] {
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = "f" + std::to_string(i) + ".txt";
      // As "Upload All Files" (into a folder just made) and a single upload queue them.
      queue_->addBatchItemAction(i % 2 ? 3 : 10, name, root, 0, "127.0.0.1", port_,
                                 vsftpdpeer::kUser, vsftpdpeer::kPass, "ftps",
                                 "/Files/batch/" + name, false, true);
    }
  });
  // Done when every row is gone or has failed; none may fail.
  ASSERT_TRUE(waitFor(
      [&] {
        for (auto &item : queue_->batchItemList())
          if (item->errorMsg().empty()) return false;
        return true;
      },
      240));
  ASSERT_TRUE(queue_->batchItemList().empty())
      << queue_->batchItemList().size()
      << " failed, first: " << queue_->batchItemList()[0]->filename() << ": "
      << queue_->batchItemList()[0]->errorMsg();
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    EXPECT_TRUE(testsupport::readFile(root + "/" + name) == content(i)) << name;
  }
  std::vector<std::string> left;
  if (DIR *d = ::opendir(root.c_str())) {
    while (dirent *e = ::readdir(d))
      if (std::string(e->d_name).find(".upload.") != std::string::npos) left.push_back(e->d_name);
    ::closedir(d);
  }
  EXPECT_TRUE(left.empty()) << left.front();
  server_.stop();
}

// Rows of files whose names read alike ("café.txt" stored as UTF-8 and as ISO Latin-1, and a file
// in a folder named in ISO Latin-1), queued as the folder screen queues them and run by the queue
// of the next start, each fetch their own file from vsftpd as installed (whose "FEAT" names no
// UTF-8).
TEST_F(QueueVsftpdTest, RowsOfLookAlikeNamesFetchTheirOwnFilesAfterARestart) {
  REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
  const std::string root = tmp_->file("anon");
  FileManager::createDirectory(root + "/pub/d\xE9", true);
  for (const char *folder : {"", "/pub", "/pub/d\xE9"})
    ::chmod((root + folder).c_str(), 0755);
  struct File {
    std::string path, content;
  } files[] = {{"/pub/caf\xC3\xA9.txt", "the UTF-8 file"},
               {"/pub/caf\xE9.txt", "the Latin-1 file"},
               {"/pub/d\xE9/caf\xC3\xA9.txt", "in the Latin-1 folder"}};
  for (const auto &f : files) {
    ASSERT_TRUE(testsupport::writeFile(root + f.path, f.content));
    ::chmod((root + f.path).c_str(), 0644);
  }
  ASSERT_TRUE(startVsftpd(root)) << "vsftpd cannot run here";
  const RemoteName pub = RemoteName::named("/pub", "/pub");
  struct Row {
    RemoteName name, folder;
    const char *local;
  } rows[] = {{RemoteName::named("caf\xC3\xA9.txt", "caf\xC3\xA9.txt"), pub, "/utf8"},
              {RemoteName::named("caf\xC3\xA9.txt", "caf\xE9.txt"), pub, "/latin1"},
              {RemoteName::named("caf\xC3\xA9.txt", "caf\xC3\xA9.txt"),
               RemoteName::named("/pub/d\xC3\xA9", "/pub/d\xE9"), "/folder"}};
  makeQueue(false);
  queue_->clickedPause();
  for (const auto &r : rows)
    queue_->addBatchItemAction(2, r.name, r.folder, 0, "127.0.0.1", port_, "anonymous", "", "ftp",
                               r.local, false, false);
  ASSERT_EQ(queue_->batchItemList().size(), 3u);

  makeQueue(); // the next start
  ASSERT_TRUE(waitFor([&] { return queue_->batchItemList().empty(); }, 40))
      << testsupport::readFile(log());
  for (size_t i = 0; i < 3; ++i) {
    const std::string saved = Paths::documents() + "/Files" + rows[i].local + "/caf\xC3\xA9.txt";
    ASSERT_TRUE(waitFor([&] { return FileManager::fileExists(saved); })) << rows[i].local;
    EXPECT_EQ(testsupport::readFile(saved), files[i].content) << rows[i].local;
  }
  server_.stop();
}
