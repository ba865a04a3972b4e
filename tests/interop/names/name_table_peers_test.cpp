// Every action on every name against each stock server (tests/support/NameTable.h holds both
// tables): OpenSSH's sshd over SFTP, vsftpd as installed and pyftpdlib over FTP, driven through
// the calls the folder screens make (the FTP connection, the SFTP service, the transfer queue).
// One server serves the whole table; each cell has a folder of its own.
#include "tests/app/queue/QueueTestSupport.h"
#include "tests/interop/ftp/TaskPeers.h"

#include "app/sftp/SFTPService.h"
#include "tests/app/ftp/FtpConnectionThread.h"
#include "tests/support/NameTable.h"
#include "tests/support/Peers.h"
#include "tests/support/SftpPeers.h"

#include <filesystem>
#include <thread>

using namespace queuetest;
using nametable::Action;
using nametable::Cell;
using nametable::Outcome;

namespace {

// The application's services as the folder screens meet them: the FTP tab's top folder screen,
// and the editor the SFTP screens hand a file to.
struct TableServices : AppServicesDouble {
  std::shared_ptr<taskpeers::FolderScreenDouble> top =
      std::make_shared<taskpeers::FolderScreenDouble>();
  std::vector<std::string> edited;
  std::shared_ptr<DirViewerScreen> topDirViewer() override { return top; }
  std::shared_ptr<EditFileViewScreen> openTextEditor(const std::string &path) override {
    edited.push_back(path);
    return nullptr;
  }
  // A name whose ending is no known type ("trail.txt ") opens in the viewer.
  void showDocumentViewer(const std::string &, const std::string &path) override {
    edited.push_back(path);
  }
};

// What the SFTP service reports: its last listing.
struct Heard : SFTPWrapperDelegate {
  std::vector<std::shared_ptr<DirItemInfo>> listed;
  std::vector<std::string> errors;
  void gotDirectory(SFTPWrapper &, const std::vector<std::shared_ptr<DirItemInfo>> &v) override {
    listed = v;
  }
  void downloadError(SFTPWrapper &, const std::string &t) override { errors.push_back(t); }
  void uploadError(SFTPWrapper &, const std::string &t) override { errors.push_back(t); }
  void dirError(SFTPWrapper &, const std::string &t) override { errors.push_back(t); }
  void errorStatus(SFTPWrapper &, const std::string &t) override { errors.push_back(t); }
};

// UTF-8 text whose every character is below U+0100 as ISO Latin-1; anything else as it is.
std::string latin1IfItFits(const std::string &n) {
  if (!platform::isValidUTF8(n)) return n;
  std::string out;
  for (size_t i = 0; i < n.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(n[i]);
    if (c < 0x80) {
      out += char(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < n.size()) {
      out += char(((c & 0x03) << 6) | (static_cast<unsigned char>(n[++i]) & 0x3F));
    } else {
      return n;
    }
  }
  return out;
}

std::string bytesOf(const DirItemInfo &e) {
  return e.nameBytes().value_or(e.name());
}

class NameTable : public QueueTest, public ::testing::WithParamInterface<std::string> {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    // The servers are real: so is the time the connections and the queue go by.
    Clock::install(nullptr);
    services_ = table_;
    BatchAppServices::setShared(table_);
    FTPAppServices::setShared(table_);
    auto &defaults = UserDefaults::standard();
    defaults.setObject("1", kOverwriteSavedFilesKey);
    defaults.setObject("1", "UploadToTempName");
    // A save back puts the file it replaces aside as "….old.…"; removed once done, so that the
    // server holds what the person sees.
    defaults.setObject("1", kDeleteDotOldKey);
    makeQueue(false);
  }
  void TearDown() override {
    if (conn_) ftptest::stopConnectionOnItsThread(conn_, connLoop_);
    sftp_.reset();
    QueueTest::TearDown();
  }

  // Runs the queue until its rows are done, or one of them tells of a failure: what the rows
  // said is returned, and they are dropped so that the next cell starts on an empty queue. The
  // queue's clock goes a few times as fast as the real one, never faster (a server's own pace
  // must not look like silence).
  std::string runQueue() {
    auto failed = [&] {
      for (auto &item : queue_->batchItemList())
        if (!item->errorMsg().empty()) return true;
      return false;
    };
    auto last = std::chrono::steady_clock::now();
    const bool ended = waitFor(
        [&] {
          if (std::chrono::steady_clock::now() - last > std::chrono::milliseconds(50)) {
            advance(0.2);
            last = std::chrono::steady_clock::now();
          }
          return queue_->batchItemList().empty() || failed();
        },
        20);
    if (queue_->batchItemList().empty()) return "";
    std::string said = ended ? "" : "the queue did not finish; ";
    if (!ended && queue_->ftp()) {
      const std::string log = queue_->ftp()->transferLog();
      said += "its log ends: " + log.substr(log.size() > 1500 ? log.size() - 1500 : 0) + "; ";
      const std::string served = server_.errors();
      said += "the server's log ends: " +
              served.substr(served.size() > 1500 ? served.size() - 1500 : 0) + "; ";
    }
    for (auto &item : queue_->batchItemList())
      said += nametable::shown(item->filename()) + ": " + item->errorMsg() + "; ";
    dropQueue();
    sqlite3 *db = OpenDatabase();
    SQLExecute(db, "DELETE FROM batchlist");
    sqlite3_close(db);
    makeQueue(false);
    return said;
  }
  void runQueueExpectingNoFailure() {
    const std::string said = runQueue();
    EXPECT_EQ(said, "") << "the queue's rows failed";
  }
  // A new start: the queue goes as it goes when the process ends, and the next start loads what
  // its table kept.
  void restartQueue() {
    dropQueue();
    makeQueue(false);
  }
  void dropQueue() {
    queue_.reset();
    settle();
    RunLoop::main()->runUntil([] { return BatchListView::liveConnectionThreads() == 0; },
                              testsupport::scaled(platform::seconds(10)));
  }
  // A folder of Saved Files holding one file named in the name's bytes, as "Upload Folder"
  // finds it.
  std::string localFolderWith(const Cell &c) {
    const std::string dir = Paths::documents() + "/Files/local-" + c.folder;
    ::mkdir(dir.c_str(), 0755);
    ::mkdir((dir + "/" + nametable::kUploaded).c_str(), 0755);
    testsupport::writeFile(dir + "/" + nametable::kUploaded + "/" + c.name.bytes, c.newContent);
    return dir + "/" + nametable::kUploaded + "/" + c.name.bytes;
  }
  std::string localFile(const Cell &c) {
    const std::string f = Paths::documents() + "/Files/new-" + c.folder;
    testsupport::writeFile(f, c.newContent);
    return f;
  }

  // --- FTP: the connection the FTP tab's folder screens call ------------------------------

  void startFtp(const std::string &address, const std::string &user, const std::string &pass) {
    std::shared_ptr<FTPConnection> made;
    std::mutex m;
    connLoop_ = startThread("name-table-ftp", [&] {
      auto c = std::make_shared<FTPConnection>();
      std::lock_guard<std::mutex> lock(m);
      made = c;
    });
    waitFor([&] {
      std::lock_guard<std::mutex> lock(m);
      return made != nullptr;
    });
    conn_ = made;
    conn_->setMainConnection(true);
    conn_->setDelegate(errors_);
    conn_->setServerAddress(address);
    conn_->setLoginUser(user);
    conn_->setLoginPass(pass);
    conn_->setSkipSSL(true);
    const int before = table_->top->listingCount();
    conn_->connect();
    ASSERT_TRUE(waitFor([&] { return table_->top->listingCount() > before && ftpIdle(); }, 30))
        << conn_->transferLog();
    top_ = conn_->cwdName();
  }
  bool ftpIdle() { return conn_->iTask() == FTPConnection::kTaskIdle; }
  // Whether a file of Saved Files holds `content`.
  static bool savedFilesHold(const std::string &content) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(Paths::documents() + "/Files", ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      if (it->is_regular_file(ec) && testsupport::readFile(it->path().string()) == content)
        return true;
    return false;
  }
  // Waits for the task and the listing that may follow it.
  void ftpSettle() {
    for (int i = 0; i < 5; ++i) {
      waitFor([] { return false; }, 0.05);
      ASSERT_TRUE(waitFor([&] { return ftpIdle(); }, 30)) << conn_->transferLog();
      waitFor([] { return false; }, 0.2);
      if (ftpIdle()) return;
    }
  }
  // Opens the case folder as a person does, and returns its rows.
  RemoteName ftpOpen(const Cell &c) {
    const int before = table_->top->listingCount();
    table_->top->setCurrentWorkingDirectory("");
    conn_->changeDirectory(top_.child(RemoteName(c.folder)));
    EXPECT_TRUE(waitFor([&] { return table_->top->listingCount() > before && ftpIdle(); }, 30))
        << conn_->transferLog();
    return conn_->cwdName();
  }
  std::shared_ptr<DirItemInfo> row(const std::string &bytes) {
    for (auto &e : table_->top->shown())
      if (bytesOf(*e) == bytes) return e;
    return nullptr;
  }

  void ftpAct(const Cell &c, Outcome &out) {
    const RemoteName inside = ftpOpen(c);
    for (auto &e : table_->top->shown())
      out.listed.push_back(bytesOf(*e));
    if (c.action.action == Action::List) return;
    auto e = row(c.name.bytes);
    ASSERT_TRUE(e) << "no row for the name; " << conn_->transferLog().substr(0, 4000);
    // Each cell's queue starts on a connection of its own: pyftpdlib as installed at times stops
    // reading a control connection left idle after a transfer (the next command stays unread in
    // its receive queue), and one such connection must not stall the cells after it.
    restartQueue();
    switch (c.action.action) {
    case Action::Download:
      conn_->downloadFile(e->remoteName(), platform::longLongValue(e->size), false, true, inside,
                          false, false, 0);
      ftpSettle();
      // The file takes its place once its data is in, which on a busy machine may be a while
      // after the session is idle again.
      waitFor([&] { return savedFilesHold(c.content); }, 30);
      break;
    case Action::Delete:
      conn_->deleteFile(e->remoteName(), inside, false);
      break;
    case Action::Rename:
      conn_->renameFile(e->remoteName(), RemoteName(nametable::kRenamed), inside);
      break;
    case Action::Permissions:
      conn_->chmodFile(e->remoteName(), inside, "600");
      break;
    case Action::EditSave:
      // Opened for editing (its working copy is the named file's), then saved back.
      table_->edited.clear();
      conn_->downloadFile(e->remoteName(), platform::longLongValue(e->size), true, false, inside,
                          false, false, 0);
      ftpSettle();
      ASSERT_TRUE(waitFor([&] { return !table_->edited.empty(); }, 30)) << conn_->transferLog();
      EXPECT_EQ(testsupport::readFile(table_->edited.back()), c.content);
      conn_->uploadFile(e->remoteName(),
                        FTPConnection::Bytes(c.newContent.begin(), c.newContent.end()), inside,
                        false);
      break;
    case Action::Move: {
      auto into = row(nametable::kInto);
      ASSERT_TRUE(into);
      conn_->renameFile(e->remoteName(),
                        into->remoteName().child(e->remoteName(), conn_->utf8Safe()), inside, true);
      break;
    }
    case Action::DownloadFolder:
      // An FTP folder row names the folder itself as its path.
      queue_->addBatchItemAction(1, RemoteName(c.folder), top_.child(RemoteName(c.folder)), 0,
                                 conn_, nullptr, "", false, true);
      out.told = runQueue();
      return;
    case Action::UploadFolder: {
      const std::string local = localFolderWith(c);
      queue_->addBatchItemAction(6, RemoteName(nametable::kUploaded), inside, 0, conn_, nullptr, "",
                                 false, true);
      queue_->addBatchItemAction(10, RemoteName(c.name.bytes),
                                 inside.child(RemoteName(nametable::kUploaded)),
                                 int64_t(c.newContent.size()), conn_, nullptr, local, false, true);
      runQueueExpectingNoFailure();
      return;
    }
    case Action::QueuedAcrossRestart:
      queue_->clickedPause();
      queue_->addBatchItemAction(3, e->remoteName(), inside, int64_t(c.newContent.size()), conn_,
                                 nullptr, localFile(c), false, false);
      restartQueue();
      runQueueExpectingNoFailure();
      return;
    case Action::List:
      return;
    }
    ftpSettle();
    for (const auto &said : errors_->taken())
      ADD_FAILURE() << "the connection said: " << said;
    errors_->errors.clear();
  }

  // --- SFTP: the service the SFTP folder screens call -----------------------------------------

  SFTPService &sftp() {
    if (!sftp_) {
      sftp_ = std::make_shared<SFTPService>();
      sftp_->setServer("127.0.0.1:" + std::to_string(sshd_->port()));
      sftp_->setUsername(testsupport::kSftpUser);
      sftp_->setPassword(testsupport::kSftpPass);
      sftp_->setMainConnection(true);
      sftp_->setDelegate(heard_);
    }
    return *sftp_;
  }
  // One call on a thread of its own (as the screens run them), its reports delivered.
  void run(const std::function<void(SFTPService &)> &op) {
    auto &s = sftp();
    std::atomic<bool> finished{false};
    std::thread t([&] {
      op(s);
      finished = true;
    });
    waitFor([&] { return finished.load(); }, 60);
    t.join();
    settle();
  }
  std::string sftpPath(const RemoteName &folder, const DirItemInfo &e) {
    return SFTPWrapper::wireOf(SFTPWrapper::pathIn(folder, e.remoteName()));
  }

  void sftpAct(const Cell &c, Outcome &out) {
    const RemoteName inside = SFTPWrapper::namedByServer(c.path);
    heard_->listed.clear();
    run([&](SFTPService &s) { s.getThisDirectory(c.path); });
    for (auto &e : heard_->listed)
      out.listed.push_back(bytesOf(*e));
    if (c.action.action == Action::List) return;
    std::shared_ptr<DirItemInfo> e;
    for (auto &l : heard_->listed)
      if (bytesOf(*l) == c.name.bytes) e = l;
    ASSERT_TRUE(e) << "no row for the name";
    heard_->errors.clear();
    switch (c.action.action) {
    case Action::Download:
      queue_->addBatchItemAction(2, e->remoteName(), inside, 0, nullptr, sftp_, "", false, true);
      runQueueExpectingNoFailure();
      break;
    case Action::Delete:
      run([&](SFTPService &s) { s.deleteFile(sftpPath(inside, *e)); });
      break;
    case Action::Rename:
      run([&](SFTPService &s) {
        s.renameFile(sftpPath(inside, *e), SFTPWrapper::wireOf(SFTPWrapper::pathIn(
                                               inside, RemoteName(nametable::kRenamed))));
      });
      break;
    case Action::Permissions:
      run([&](SFTPService &s) { s.changePermissions(sftpPath(inside, *e), 0600); });
      break;
    case Action::EditSave: {
      table_->edited.clear();
      run([&](SFTPService &s) {
        s.setupToDownloadThisFile(sftpPath(inside, *e), "", true);
        s.downloadFile();
      });
      ASSERT_EQ(table_->edited.size(), 1u) << ::testing::PrintToString(heard_->errors);
      EXPECT_EQ(testsupport::readFile(table_->edited[0]), c.content);
      testsupport::writeFile(table_->edited[0], c.newContent);
      run([&](SFTPService &s) {
        s.setupToUploadThisFile(table_->edited[0], s.openedRemote());
        s.uploadFile();
      });
      break;
    }
    case Action::DownloadFolder:
      queue_->addBatchItemAction(1, SFTPWrapper::namedByServer(c.folder),
                                 SFTPWrapper::namedByServer(remote_.path()), 0, nullptr, sftp_, "",
                                 false, true);
      out.told = runQueue();
      break;
    case Action::UploadFolder: {
      const std::string local = localFolderWith(c);
      queue_->addBatchItemAction(6, RemoteName(nametable::kUploaded), inside, 0, nullptr, sftp_, "",
                                 false, true);
      queue_->addBatchItemAction(10, RemoteName(c.name.bytes),
                                 SFTPWrapper::pathIn(inside, RemoteName(nametable::kUploaded)),
                                 int64_t(c.newContent.size()), nullptr, sftp_, local, false, true);
      runQueueExpectingNoFailure();
      break;
    }
    case Action::QueuedAcrossRestart:
      queue_->clickedPause();
      queue_->addBatchItemAction(3, e->remoteName(), inside, int64_t(c.newContent.size()), nullptr,
                                 sftp_, localFile(c), false, false);
      restartQueue();
      runQueueExpectingNoFailure();
      break;
    case Action::Move:
    case Action::List:
      break;
    }
    for (const auto &said : heard_->errors)
      ADD_FAILURE() << "the service said: " << said;
  }

  std::shared_ptr<TableServices> table_ = std::make_shared<TableServices>();
  std::shared_ptr<taskpeers::ErrorDelegate> errors_ = std::make_shared<taskpeers::ErrorDelegate>();
  std::shared_ptr<RunLoop> connLoop_;
  std::shared_ptr<FTPConnection> conn_;
  RemoteName top_;
  testsupport::TempDir remote_{"ferrowen-name-table"};
  std::unique_ptr<testsupport::SshPeer> sshd_;
  std::shared_ptr<SFTPService> sftp_;
  std::shared_ptr<Heard> heard_ = std::make_shared<Heard>();
  testsupport::Process server_;
};

INSTANTIATE_TEST_SUITE_P(Peers, NameTable, ::testing::Values("sshd", "vsftpd", "pyftpdlib"),
                         [](const auto &info) { return info.param; });

TEST_P(NameTable, EveryActionOnEveryNameChangesExactlyItsOwnFile) {
  nametable::Peer peer;
  peer.label = GetParam();
  peer.localRoot = Paths::documents() + "/Files";
  std::string root;
  if (GetParam() == "sshd") {
    REQUIRE_PEER(testsupport::program("/usr/sbin/sshd", "openssh-server"));
    ASSERT_TRUE(testsupport::ensureSftpUser());
    SFTPService::install();
    root = remote_.path();
    ::chmod(root.c_str(), 0777);
    sshd_ = testsupport::SshPeer::sshd({});
    ASSERT_TRUE(sshd_->started()) << sshd_->why();
    peer.own = [](const std::string &folder) {
      testsupport::runCommand("chown -R " + std::string(testsupport::kSftpUser) + " '" + folder +
                              "'");
    };
    peer.act = [this](const Cell &c, Outcome &o) { sftpAct(c, o); };
    peer.leftOut = [](const Cell &c) -> std::optional<std::string> {
      // Only the FTP folder screens offer "Move File".
      if (c.action.action == Action::Move) return "no Move over SFTP";
      return std::nullopt;
    };
  } else {
    if (GetParam() == "vsftpd") {
      REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
      REQUIRE_MACHINE(::geteuid() == 0, "vsftpd and its local user need root");
      root = remote_.file("vs");
      ::mkdir(root.c_str(), 0777);
      ::chmod(remote_.path().c_str(), 0755);
      auto served = vsftpdpeer::serveAsInstalled(root, remote_.path());
      ASSERT_TRUE(served.ok) << served.why;
      server_ = std::move(served.process);
      ASSERT_NO_FATAL_FAILURE(startFtp("127.0.0.1:" + std::to_string(served.port),
                                       vsftpdpeer::kUser, vsftpdpeer::kPass));
      peer.own = [](const std::string &folder) {
        testsupport::runCommand("chown -R " + std::string(vsftpdpeer::kUser) + " '" + folder + "'");
      };
      // vsftpd as installed names no UTF-8: a name from this machine's UTF-8 goes out in ISO
      // Latin-1 when every character has a place there.
      peer.newName = [](const std::string &n) { return latin1IfItFits(n); };
    } else {
      REQUIRE_PEER(testsupport::pythonModule("pyftpdlib", "python3-pyftpdlib"));
      root = remote_.file("py");
      ::mkdir(root.c_str(), 0777);
      const int port = testsupport::freeTcpPort();
      // As its users start it: writable, one user, every other setting its own.
      server_ = testsupport::Process({"/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1",
                                      "-p", std::to_string(port), "-d", root, "-w", "-u", "joe",
                                      "-P", "secret"},
                                     remote_.path());
      ASSERT_TRUE(testsupport::waitForTcpPort(port)) << server_.errors();
      ASSERT_NO_FATAL_FAILURE(startFtp("127.0.0.1:" + std::to_string(port), "joe", "secret"));
    }
    peer.act = [this](const Cell &c, Outcome &o) { ftpAct(c, o); };
    const bool readsBytesAsUtf8 = GetParam() == "pyftpdlib";
    peer.leftOut = [readsBytesAsUtf8](const Cell &c) -> std::optional<std::string> {
      // A UNIX listing line ends at the line break: LIST cannot carry a name holding one.
      if (c.name.bytes.find('\n') != std::string::npos) return "LIST cannot carry a line break";
      // pyftpdlib as installed reads a name's bytes that are not UTF-8 as U+FFFD: such a file
      // cannot be named to it at all.
      if (readsBytesAsUtf8 &&
          (!platform::isValidUTF8(c.name.bytes) || !platform::isValidUTF8(c.name.twin)))
        return "pyftpdlib as installed cannot name bytes that are not UTF-8";
      return std::nullopt;
    };
  }
  auto tally = nametable::runTable(root, peer);
  EXPECT_EQ(tally.ran + int(tally.leftOut.size()), tally.cells);
}

} // namespace
