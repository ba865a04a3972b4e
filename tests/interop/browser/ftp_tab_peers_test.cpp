// The FTP tab driven through the probe against pyftpdlib and vsftpd: connect, browse, sort and
// search, view and edit with their limits, queued downloads, every folder action, and names from
// the server that look like the screen's own menus, each checked on the server's own folder and
// command log.
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/FolderChecks.h"
#include "tests/support/FtpTabScreens.h"
#include "tests/support/Peers.h"
#include "tests/support/SftpPeers.h"

#include "app/foundation/StringUtils.h"
#include "app/remote/ChmodViewController.h"
#include "app/sftp/SFTPService.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Text.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

using namespace tabtest;

namespace {

// An FTP server serving a folder on a free loopback port, with a log of the commands it got.
class FtpPeer {
public:
  virtual ~FtpPeer() = default;
  virtual bool ready() const = 0;
  virtual int port() const = 0;
  virtual std::string root() const = 0;
  virtual std::string user() const = 0;
  virtual std::string pass() const = 0;
  // How many times the command (with its argument) was received.
  virtual size_t count(const std::string &command) const = 0;
  virtual std::string serverLog() = 0;
  // Files the test made belong to the login user, as if the user had put them there.
  virtual void own() {}
};

// pyftpdlib, user joe; its data connections throttled so that a big file takes a while.
class PyftpdlibPeer : public FtpPeer {
public:
  bool ready() const override { return peer_.ready(); }
  int port() const override { return peer_.port(); }
  std::string root() const override { return peer_.root(); }
  std::string user() const override { return "joe"; }
  std::string pass() const override { return "secret"; }
  size_t count(const std::string &command) const override { return peer_.count(command); }
  std::string serverLog() override { return peer_.serverLog(); }

private:
  queuetest::QueuePeer peer_{2 << 20};
};

// vsftpd with a local user whose folder is the test's, logging the commands it gets.
class VsftpdPeer : public FtpPeer {
public:
  VsftpdPeer() {
    if (::access("/usr/sbin/vsftpd", X_OK) != 0 || ::geteuid() != 0 ||
        !testsupport::ensureSftpUser())
      return;
    ::mkdir("/var/run/vsftpd", 0755);
    ::mkdir("/var/run/vsftpd/empty", 0755);
    ::chmod(dir_.path().c_str(), 0755);
    FileManager::createDirectory(root(), true);
    own();
    const std::string conf =
        "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" +
        std::to_string(port_) +
        "\nbackground=NO\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
        "anonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\nlocal_umask=022\nlocal_root=" +
        root() +
        "\npasv_enable=YES\npasv_address=127.0.0.1\nport_enable=YES\nconnect_from_port_20=NO\n"
        "secure_chroot_dir=/var/run/vsftpd/empty\nxferlog_enable=YES\nxferlog_std_format=NO\n"
        "log_ftp_protocol=YES\nvsftpd_log_file=" +
        dir_.file("vsftpd.log") + "\ndual_log_enable=NO\nssl_enable=NO\n";
    testsupport::writeFile(dir_.file("vsftpd.conf"), conf);
    process_ = testsupport::Process({"/usr/sbin/vsftpd", dir_.file("vsftpd.conf")}, dir_.path());
    ready_ = testsupport::waitForTcpPort(port_);
  }
  bool ready() const override { return ready_; }
  int port() const override { return port_; }
  std::string root() const override { return dir_.path() + "/root"; }
  std::string user() const override { return testsupport::kSftpUser; }
  std::string pass() const override { return testsupport::kSftpPass; }
  size_t count(const std::string &command) const override {
    const std::string log = testsupport::readFile(dir_.file("vsftpd.log"));
    const std::string quoted = "\"" + command + "\"";
    size_t n = 0;
    for (size_t at = log.find(quoted); at != std::string::npos; at = log.find(quoted, at + 1))
      ++n;
    return n;
  }
  std::string serverLog() override {
    return process_.errors() + testsupport::readFile(dir_.file("vsftpd.log"));
  }
  void own() override {
    testsupport::runCommand("chown -R " + std::string(testsupport::kSftpUser) + " '" + root() +
                            "'");
  }

private:
  testsupport::TempDir dir_{"ferrowen-ftptab-vsftpd"};
  int port_ = testsupport::freeTcpPort();
  testsupport::Process process_;
  bool ready_ = false;
};

class FtpTabPeers : public TabFixture {
protected:
  void SetUp() override {
    TabFixture::SetUp();
    DirViewer::rawPrefix.clear();
    DirViewer::rawLast.clear();
    if (kind() == "vsftpd")
      peer = std::make_unique<VsftpdPeer>();
    else
      peer = std::make_unique<PyftpdlibPeer>();
  }
  void TearDown() override {
    TabFixture::TearDown();
    peer.reset();
  }
  virtual std::string kind() const { return "pyftpdlib"; }
  // The top screen shows a listing holding `name` and the connection is idle, the final reply of
  // its last listing in.
  bool shows(const std::string &name) {
    return waitFor([&] {
      auto s = top();
      if (!s || s->currentToolbar != 2 || !listed(name)) return false;
      auto &c = *s->theConnection;
      const std::string log = c.transferLog();
      const size_t list = log.rfind(">>> LIST");
      return c.iTask() == -1 && log.find("\n226", list) != std::string::npos;
    });
  }
  // The command went out and the folder was listed again after it.
  bool relisted(const std::string &command) {
    return waitFor([&] {
      auto s = top();
      if (!s || s->currentToolbar != 2 || s->theConnection->iTask() != -1) return false;
      const std::string log = s->theConnection->transferLog();
      const size_t sent = log.rfind(">>> " + command);
      const size_t list = sent == std::string::npos ? sent : log.find(">>> LIST", sent);
      if (list == std::string::npos || log.find("\n226", list) == std::string::npos) return false;
      // ... and the screen shows that listing.
      const size_t got = log.find("*** Got ", list);
      return got != std::string::npos &&
             std::stoul(log.substr(got + 8)) == s->currentDirectoryEverything.size();
    });
  }
  bool onServer(const std::string &path) {
    return waitFor([&] { return FileManager::fileExists(peer->root() + "/" + path); });
  }
  bool goneFromServer(const std::string &path) {
    return waitFor([&] { return !FileManager::fileExists(peer->root() + "/" + path); });
  }
  // The queue asks before it replaces a file in Saved Files (the scenario queues a.zip twice, and
  // the question may come at any later point).
  void replaceIfAsked() {
    auto alerts = probe->pendingAlerts();
    if (!alerts.empty() && alerts.back().title == "Saved File Exists")
      probe->answerAlert("Replace");
  }
  // What the screen on top shows and its connection's last words, for a failure's message.
  std::string state() {
    auto s = top();
    std::string alerts;
    for (auto &a : probe->pendingAlerts())
      alerts += "alert \"" + a.title + "\": " + a.message + "\n";
    if (!s) return alerts + "no folder screen on top";
    std::string log = s->theConnection ? s->theConnection->transferLog() : "";
    return alerts + "toolbar " + std::to_string(s->currentToolbar) + ", task " +
           std::to_string(s->theConnection ? s->theConnection->iTask() : 0) + ", status \"" +
           (s->progressText ? s->progressText->text() : "") + "\"\n" +
           log.substr(log.size() > 1500 ? log.size() - 1500 : 0);
  }
  void connect() {
    ASSERT_TRUE(peer->ready()) << peer->serverLog();
    peer->own();
    ASSERT_TRUE(
        connectTo("ftp://127.0.0.1:" + std::to_string(peer->port()), peer->user(), peer->pass()))
        << probe->lastError();
    ASSERT_TRUE(shows("small.txt")) << state() << peer->serverLog();
  }

  std::unique_ptr<FtpPeer> peer;
};

class FtpTabPeersTest : public FtpTabPeers, public ::testing::WithParamInterface<std::string> {
protected:
  std::string kind() const override { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Servers, FtpTabPeersTest, ::testing::Values("pyftpdlib", "vsftpd"),
                         [](const auto &info) { return info.param; });

TEST_P(FtpTabPeersTest, BrowseSortSearchViewAndEdit) {
  for (auto dir : {"/a", "/a/b", "/a/b/c"})
    ::mkdir((peer->root() + dir).c_str(), 0755);
  testsupport::writeFile(peer->root() + "/a/b/c/deep.txt", "deep\n");
  const std::string big = queuetest::pattern(300000);
  testsupport::writeFile(peer->root() + "/big.txt", big);
  testsupport::writeFile(peer->root() + "/small.txt", "hello\n");
  connect();
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "big.txt", "small.txt"}));

  // Three levels down, each on a screen of its own, and back.
  for (auto [folder, inside] : {std::pair{"a", "b"}, {"b", "c"}, {"c", "deep.txt"}}) {
    ASSERT_TRUE(probe->tapRow(folder));
    ASSERT_TRUE(shows(inside)) << folder;
  }
  EXPECT_TRUE(myEndsWith(top()->currentWorkingDirectory(), "/a/b/c"))
      << top()->currentWorkingDirectory();
  EXPECT_EQ(services->nav->viewControllers().size(), 5u);
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(probe->tapBack());

  // By size, smallest first, then largest first; a search narrows the rows and is undone.
  ASSERT_TRUE(probe->tap("Sort"));
  ASSERT_TRUE(probe->answerSheet("Sort by Size"));
  ASSERT_TRUE(probe->tap("Sort"));
  ASSERT_EQ(probe->pendingSheets().back().buttons[1], "Sort by Size (3,2,1)");
  ASSERT_TRUE(probe->answerSheet("Sort by Size (3,2,1)"));
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "big.txt", "small.txt"}));
  EXPECT_EQ(UserDefaults::standard().stringForKey("Sort-127.0.0.1"), "1");
  ASSERT_TRUE(probe->type("Search Folder", "sma"));
  EXPECT_EQ(names(), std::vector<std::string>{"small.txt"});
  ASSERT_TRUE(
      probe->dispatch({{"event", "searchCancel"}, {"id", window->idOf(*probe->find("sma"))}}));
  EXPECT_EQ(names().size(), 3u);

  // A small text file opens whole in the editor; a big one offers its head or tail.
  ASSERT_TRUE(probe->tapRow("small.txt"));
  ASSERT_TRUE(probe->tap("Edit")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return services->edited.size() == 1; }));
  EXPECT_EQ(services->edited[0], "hello\n");
  ASSERT_TRUE(shows("big.txt"));
  ASSERT_TRUE(probe->tapRow("big.txt"));
  ASSERT_TRUE(probe->tap("View"));
  ASSERT_TRUE(probe->answerSheet("View End (Tail)"))
      << probe->lastError() << probe->pendingSheets().size();
  ASSERT_TRUE(waitFor([&] { return services->edited.size() == 2; }));
  const std::string &tail = services->edited[1];
  ASSERT_FALSE(tail.empty());
  EXPECT_LT(tail.size(), big.size());
  EXPECT_EQ(big.substr(big.size() - tail.size()), tail);
  // The whole file may be saved back; its tail may not.
  EXPECT_EQ(services->editors[0]->readOnly, std::optional<bool>(false));
  EXPECT_EQ(services->editors[1]->readOnly, std::optional<bool>(true));
}

TEST_P(FtpTabPeersTest, FolderActionsReachTheServer) {
  ::mkdir((peer->root() + "/dest").c_str(), 0755);
  testsupport::writeFile(peer->root() + "/small.txt", "hello\n");
  testsupport::writeFile(peer->root() + "/old.txt", "old\n");
  testsupport::writeFile(peer->root() + "/q.txt", "queued\n");
  connect();

  // Download: the queue takes the file and is woken at once.
  ASSERT_TRUE(probe->tapRow("q.txt"));
  ASSERT_TRUE(probe->tap("Download"));
  ASSERT_TRUE(waitFor([&] {
    return testsupport::readFile(Paths::documents() + "/Files/q.txt") == "queued\n";
  })) << peer->serverLog();

  // Download and unpack: the queue fetches it; the tip shows the first time only.
  testsupport::writeFile(peer->root() + "/a.zip", "PK");
  // A set-user-id file, for the permissions change below. vsftpd never sets that bit (it masks
  // every chmod to 0777), so it is tried on pyftpdlib only.
  const bool setuid = kind() == "pyftpdlib";
  if (setuid) ::chmod((peer->root() + "/q.txt").c_str(), 04644);
  ASSERT_TRUE(probe->tap("Refresh"));
  ASSERT_TRUE(relisted("CWD"));
  for (size_t tips : {1u, 0u}) {
    ASSERT_TRUE(probe->tapRow("a.zip"));
    ASSERT_TRUE(probe->tap("Unzip")) << probe->lastError();
    ASSERT_EQ(probe->pendingAlerts().size(), tips);
    if (tips) {
      ASSERT_TRUE(probe->answerAlert("OK"));
    }
    ASSERT_TRUE(probe->tapRow("a.zip")); // unchecks it
  }
  // The second one, when the first has already landed, asks before it replaces the file.
  ASSERT_TRUE(waitFor([&] {
    auto alerts = probe->pendingAlerts();
    if (!alerts.empty() && alerts.back().title == "Saved File Exists")
      probe->answerAlert("Replace");
    return peer->count("RETR a.zip") >= 1 && services->queue->batchItemList().empty();
  })) << state();

  // Rename, then move into a folder.
  peer->own();
  ASSERT_TRUE(probe->tap("small.txt Menu"));
  ASSERT_TRUE(probe->answerSheet("Rename File"));
  ASSERT_TRUE(answerPrompt("Rename File To:", "renamed.txt")) << probe->lastError();
  ASSERT_TRUE(onServer("renamed.txt"));
  ASSERT_TRUE(shows("renamed.txt"));
  ASSERT_TRUE(probe->tap("renamed.txt Menu"));
  ASSERT_TRUE(probe->answerSheet("Move File"));
  ASSERT_TRUE(probe->tapRow("dest"));
  ASSERT_TRUE(probe->tapBack()); // the chooser answers as it goes
  ASSERT_TRUE(onServer("dest/renamed.txt"));

  // Delete asks first; Cancel keeps the file.
  ASSERT_TRUE(shows("old.txt"));
  for (auto answer : {"Cancel", "Delete"}) {
    ASSERT_TRUE(probe->tap("old.txt Menu"));
    ASSERT_TRUE(probe->answerSheet("Delete File"));
    EXPECT_EQ(probe->pendingAlerts().back().title, "Confirm File Delete");
    ASSERT_TRUE(probe->answerAlert(answer));
  }
  ASSERT_TRUE(goneFromServer("old.txt"));
  ASSERT_TRUE(relisted("DELE old.txt"));

  // New folder and new one-byte file from the folder commands.
  for (auto [command, label, name] : {std::tuple{"Create Directory", "New Directory Name:", "made"},
                                      {"Create File", "New File Name:", "new.txt"}}) {
    ASSERT_TRUE(waitFor([&] { return replaceIfAsked(), probe->tap("Menu"); })) // toolbar back
        << probe->lastError() << "\n"
        << state();
    ASSERT_TRUE(probe->answerSheet(command));
    ASSERT_TRUE(answerPrompt(label, name)) << probe->lastError() << probe->navigationTitle();
    ASSERT_TRUE(onServer(name)) << command;
    ASSERT_TRUE(relisted(std::string(command) == "Create File" ? "STOR" : "MKD"));
  }
  EXPECT_EQ(testsupport::readFile(peer->root() + "/new.txt"), " ");

  // A raw command on a row, then permissions.
  ASSERT_TRUE(shows("new.txt"));
  ASSERT_TRUE(waitFor([&] { return replaceIfAsked(), probe->tap("q.txt Menu"); }))
      << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Raw FTP Command"));
  ASSERT_TRUE(answerPrompt("Send Raw FTP Command:", "MDTM q.txt"));
  ASSERT_TRUE(waitFor([&] { return peer->count("MDTM q.txt") == 1; }));
  EXPECT_EQ(DirViewer::rawPrefix, "MDTM");
  // The server's answer is shown as it came.
  ASSERT_TRUE(waitFor([&] { return replaceIfAsked(), !probe->pendingAlerts().empty(); }))
      << state();
  EXPECT_EQ(probe->pendingAlerts().back().title, "Reply from FTP Server");
  EXPECT_EQ(probe->pendingAlerts().back().message.rfind("213 ", 0), 0u);
  ASSERT_TRUE(probe->answerAlert("OK"));
  // The listing that follows the raw command may replace the rows between a look and a tap.
  ASSERT_TRUE(waitFor([&] { return replaceIfAsked(), shows("q.txt") && probe->tap("q.txt Menu"); }))
      << probe->lastError() << "\n"
      << state();
  ASSERT_TRUE(probe->answerSheet("Permissions (CHMOD)"));
  ASSERT_TRUE(probe->tap("Group Write"));
  ASSERT_TRUE(probe->tap("Save"));
  // The bit the editor does not show stays.
  const unsigned wanted = setuid ? 04664 : 0664;
  ASSERT_TRUE(waitFor([&] {
    struct stat st {};
    return ::stat((peer->root() + "/q.txt").c_str(), &st) == 0 && (st.st_mode & 07777) == wanted;
  })) << peer->serverLog();
}

// A move asked for while the folder is still being listed waits for that listing; the folder is
// listed again once the move is done, so the moved file leaves the screen.
TEST_P(FtpTabPeersTest, AMoveAskedDuringAListingIsListedAfterIt) {
  ::mkdir((peer->root() + "/sub").c_str(), 0755);
  testsupport::writeFile(peer->root() + "/sub/mover.txt", "x");
  testsupport::writeFile(peer->root() + "/small.txt", "hello\n");
  connect();
  ASSERT_TRUE(probe->tapRow("sub"));
  ASSERT_TRUE(shows("mover.txt")) << state();
  auto connection = top()->theConnection;
  ASSERT_TRUE(openRowMenu("mover.txt"));
  ASSERT_TRUE(probe->answerSheet("Move File"));
  // The folder listed again just before the choice: the connection is busy when the move comes.
  connection->changeDirectory("/sub");
  ASSERT_TRUE(probe->tapRow(IndexPath{0, 1})); // "Up a Folder"
  ASSERT_TRUE(probe->tapBack());
  ASSERT_TRUE(onServer("mover.txt"));
  ASSERT_TRUE(relisted("RNTO")) << state();
  EXPECT_FALSE(listed("mover.txt"));
}

// A name from the server is only a name: a file called like the folder menu gets its own row
// menu, and a folder called like the chooser's "Up a Folder" is a folder to move into.
TEST_P(FtpTabPeersTest, ServerNamesNeverPickTheAction) {
  for (auto folder : {"/sub", "/sub/Up a Folder"})
    ::mkdir((peer->root() + folder).c_str(), 0755);
  for (auto name : {"FTP Folder Commands", "Sort Folder", "keep.txt", "mover.txt"})
    testsupport::writeFile(peer->root() + "/sub/" + name, "x");
  testsupport::writeFile(peer->root() + "/small.txt", "hello\n");
  connect();
  ASSERT_TRUE(probe->tapRow("sub"));
  ASSERT_TRUE(shows("keep.txt")) << state();

  // "Move File" on that row opens the move chooser, and "Delete File" deletes that file only.
  ASSERT_TRUE(openRowMenu("FTP Folder Commands"));
  ASSERT_TRUE(probe->answerSheet("Move File"));
  EXPECT_EQ(probe->navigationTitle(), "Move FTP Folder Commands");
  ASSERT_TRUE(probe->tapBack());
  ASSERT_TRUE(openRowMenu("FTP Folder Commands"));
  ASSERT_TRUE(probe->answerSheet("Delete File"));
  ASSERT_EQ(probe->pendingAlerts().back().title, "Confirm File Delete");
  ASSERT_TRUE(probe->answerAlert("Delete"));
  ASSERT_TRUE(goneFromServer("sub/FTP Folder Commands"));
  ASSERT_TRUE(relisted("DELE FTP Folder Commands")) << state();
  EXPECT_TRUE(FileManager::fileExists(peer->root() + "/sub/keep.txt"));
  EXPECT_EQ(peer->count("DELE keep.txt"), 0u);
  // A row called like the sort menu is not sorted by: its menu renames it.
  ASSERT_TRUE(openRowMenu("Sort Folder"));
  ASSERT_TRUE(probe->answerSheet("Rename File"));
  ASSERT_TRUE(answerPrompt("Rename File To:", "sorted.txt"));
  ASSERT_TRUE(onServer("sub/sorted.txt"));

  // The chooser's rows: stay, the real "Up a Folder", then the folder of that name.
  ASSERT_TRUE(shows("mover.txt")) << state();
  ASSERT_TRUE(openRowMenu("mover.txt"));
  ASSERT_TRUE(probe->answerSheet("Move File"));
  ASSERT_TRUE(probe->tapRow(IndexPath{0, 2}));
  ASSERT_TRUE(probe->tapBack());
  ASSERT_TRUE(onServer("sub/Up a Folder/mover.txt"));
  ASSERT_TRUE(relisted("RNTO")) << state();
  ASSERT_TRUE(probe->tapRow("Up a Folder"));
  ASSERT_TRUE(shows("mover.txt")) << state();
  ASSERT_TRUE(openRowMenu("mover.txt"));
  ASSERT_TRUE(probe->answerSheet("Move File"));
  ASSERT_TRUE(probe->tapRow(IndexPath{0, 1}));
  ASSERT_TRUE(probe->tapBack());
  ASSERT_TRUE(onServer("sub/mover.txt"));
}

// Nothing listens on the port: the connection fails at once and says where and why; over SFTP
// the folder screen shows the service's own words at once.
TEST_F(FtpTabPeers, ARefusedConnectionFailsAtOnceNamingTheServer) {
  const std::string port = std::to_string(testsupport::freeTcpPort());
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(connectTo("ftp://127.0.0.1:" + port, "joe", "secret"));
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); })) << state();
  const auto alert = probe->pendingAlerts().back();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
  EXPECT_EQ(alert.title, "Error Connecting to FTP Server");
  EXPECT_NE(alert.message.find("127.0.0.1:" + port), std::string::npos) << alert.message;
  EXPECT_NE(platform::lowercase(alert.message).find("refused"), std::string::npos) << alert.message;
  EXPECT_TRUE(services->helpPages.empty()); // no time-out page
  ASSERT_TRUE(probe->answerAlert("OK"));
  ASSERT_TRUE(waitFor([&] { return !top(); })); // back on the connect screen

  SFTPService::install();
  ASSERT_TRUE(connectTo("sftp://127.0.0.1:" + port, "joe", "secret"));
  ASSERT_TRUE(waitFor([&] {
    auto s = top();
    return s && s->progressText &&
           s->progressText->text() == "Unable to connect to the SFTP server.";
  })) << state();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

TEST_F(FtpTabPeers, TheQueueWaitsWhileTheTabMovesTheSameFile) {
  const std::string photo = queuetest::pattern(6 << 20);
  testsupport::writeFile(peer->root() + "/photo.jpg", photo);
  testsupport::writeFile(peer->root() + "/small.txt", "hello\n");
  LogCapture systemLog(Log::Sink::System);
  connect();
  // Queued first, then opened at once: the tab's session moves the file while the queue logs in.
  ASSERT_TRUE(probe->tapRow("photo.jpg"));
  ASSERT_TRUE(probe->tap("Download"));
  ASSERT_TRUE(probe->tap("View"));
  ASSERT_TRUE(waitFor(
      [&] { return testsupport::readFile(Paths::documents() + "/Files/photo.jpg") == photo; }, 60));
  auto lines = systemLog.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Preventing Double-Dipping"), lines.end());
}

// On vsftpd as installed (no UTF-8 in its "FEAT"), a folder holds "café.txt" stored as UTF-8 and
// "café.txt" stored as ISO Latin-1: two rows that read alike. A person taps one (only it is
// checked) and downloads it, opens the other's menu and deletes it: each act reaches the file of
// the row it was done on, and the other file stays as it was.
class FtpTabLookAlikeNames : public FtpTabPeers {
protected:
  std::string kind() const override { return "vsftpd"; }
  // The row of the café.txt whose name the server sent in `bytes`.
  std::optional<int> rowOf(const std::string &bytes) {
    auto s = top();
    if (!s) return std::nullopt;
    for (size_t i = 0; i < s->currentDirectory.size(); ++i)
      if (s->currentDirectory[i]->nameBytes() == bytes) return int(i);
    return std::nullopt;
  }
};

TEST_F(FtpTabLookAlikeNames, EachRowsActionsReachItsOwnFile) {
  REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
  const std::string utf8 = "caf\xC3\xA9.txt", latin1 = "caf\xE9.txt";
  testsupport::writeFile(peer->root() + "/small.txt", "hello\n");
  testsupport::writeFile(peer->root() + "/" + utf8, "the UTF-8 file\n");
  testsupport::writeFile(peer->root() + "/" + latin1, "the Latin-1 file\n");
  connect();
  const auto shown = names();
  ASSERT_EQ(std::count(shown.begin(), shown.end(), utf8), 2);

  // Tapped: that row alone is checked, and Download fetches its file.
  auto row = rowOf(latin1);
  ASSERT_TRUE(row);
  ASSERT_TRUE(probe->tapRow(IndexPath{0, *row}));
  EXPECT_EQ(testsupport::checkedRows(*top()->tableView).size(), 1u);
  ASSERT_TRUE(probe->tap("Download"));
  ASSERT_TRUE(waitFor([&] { return savedFile(utf8) == "the Latin-1 file\n"; })) << state();
  ASSERT_TRUE(waitFor([&] { return services->queue->batchItemList().empty(); })) << state();

  // The other's menu: Delete removes that file only.
  row = rowOf(utf8);
  ASSERT_TRUE(row);
  ASSERT_TRUE(probe->tapAccessory(IndexPath{0, *row})) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Delete File"));
  ASSERT_TRUE(probe->answerAlert("Delete"));
  ASSERT_TRUE(goneFromServer(utf8));
  ASSERT_TRUE(relisted("DELE " + utf8)) << state();
  EXPECT_EQ(testsupport::readFile(peer->root() + "/" + latin1), "the Latin-1 file\n");
  EXPECT_EQ(names().size(), 2u);
  EXPECT_TRUE(rowOf(latin1));
  EXPECT_FALSE(rowOf(utf8));
}

// pyftpdlib as installed, without "UTF8" in its "FEAT" and keeping names' bytes (as vsftpd does),
// whose listing of a folder named in ISO Latin-1 takes a while to come.
class SlowLatin1ListingPeer : public FtpPeer {
public:
  explicit SlowLatin1ListingPeer(double delaySeconds) {
    FileManager::createDirectory(root(), true);
    const std::string script = dir_.file("slow.py");
    testsupport::writeFile(
        script, "import asynchat, sys\n"
                "from pyftpdlib.authorizers import DummyAuthorizer\n"
                "from pyftpdlib.handlers import FTPHandler\n"
                "from pyftpdlib.servers import FTPServer\n"
                "class H(FTPHandler):\n"
                "    unicode_errors = 'surrogateescape'\n"
                "    def push(self, s):\n"
                "        asynchat.async_chat.push(self, s.encode('utf8', 'surrogateescape'))\n"
                "    def ftp_FEAT(self, line):\n"
                "        push = self.push\n"
                "        self.push = lambda d: push(d.replace(' UTF8\\r\\n', ''))\n"
                "        try:\n"
                "            FTPHandler.ftp_FEAT(self, line)\n"
                "        finally:\n"
                "            del self.push\n"
                "    def ftp_LIST(self, path):\n"
                "        if '\\udce9' in path:\n"
                "            self.ioloop.call_later(float(sys.argv[3]), FTPHandler.ftp_LIST, self, "
                "path)\n"
                "            return path\n"
                "        return FTPHandler.ftp_LIST(self, path)\n"
                "a = DummyAuthorizer()\n"
                "a.add_user('joe', 'secret', sys.argv[2], perm='elradfmwMT')\n"
                "H.authorizer = a\n"
                "srv = FTPServer(('127.0.0.1', int(sys.argv[1])), H)\n"
                "srv.serve_forever()\n");
    process_ = testsupport::Process(
        {"/usr/bin/python3", script, std::to_string(port_), root(), std::to_string(delaySeconds)},
        dir_.path());
    ready_ = testsupport::waitForTcpPort(port_);
  }
  bool ready() const override { return ready_; }
  int port() const override { return port_; }
  std::string root() const override { return dir_.path() + "/root"; }
  std::string user() const override { return "joe"; }
  std::string pass() const override { return "secret"; }
  size_t count(const std::string &) const override { return 0; }
  std::string serverLog() override { return process_.errors(); }

private:
  testsupport::TempDir dir_{"ferrowen-ftptab-slow"};
  int port_ = testsupport::freeTcpPort();
  testsupport::Process process_;
  bool ready_ = false;
};

// Two folders whose names read alike, "café" stored in ISO Latin-1 and in UTF-8. A person taps the
// Latin-1 one, goes back before its slow listing has come and taps the other: that listing arrives
// while the other folder is shown, and is not shown there; the folder shown lists its own files.
class FtpTabLookAlikeFolders : public FtpTabPeers {
protected:
  void SetUp() override {
    FtpTabPeers::SetUp();
    REQUIRE_PEER(testsupport::pythonModule("pyftpdlib", "python3-pyftpdlib"));
    // Long enough for the taps between, on a slow build too.
    const char *scale = std::getenv("FERROWEN_TEST_TIME_SCALE");
    peer = std::make_unique<SlowLatin1ListingPeer>(3.0 * std::max(1, scale ? std::atoi(scale) : 1));
  }
  std::optional<int> rowOf(const std::string &bytes) {
    auto s = top();
    if (!s) return std::nullopt;
    for (size_t i = 0; i < s->currentDirectory.size(); ++i)
      if (s->currentDirectory[i]->nameBytes() == bytes) return int(i);
    return std::nullopt;
  }
};

TEST_F(FtpTabLookAlikeFolders, AListingIsShownOnlyForTheFolderItIsOf) {
  testsupport::writeFile(peer->root() + "/small.txt", "hello\n");
  for (const auto &[folder, file] :
       {std::pair{"caf\xE9", "in-latin1.txt"}, std::pair{"caf\xC3\xA9", "in-utf8.txt"}}) {
    FileManager::createDirectory(peer->root() + "/" + folder, true);
    testsupport::writeFile(peer->root() + "/" + folder + "/" + file, file);
  }
  connect();
  ASSERT_FALSE(top()->theConnection->utf8Safe());
  auto root = top();
  auto latin1 = rowOf("caf\xE9"), utf8 = rowOf("caf\xC3\xA9");
  ASSERT_TRUE(latin1 && utf8) << state();

  // Listings the connection has handed to the screens.
  const auto handed = [&] {
    const std::string log = root->theConnection->transferLog();
    size_t n = 0;
    for (size_t at = log.find("*** Got "); at != std::string::npos;
         at = log.find("*** Got ", at + 1))
      ++n;
    return n;
  };
  const size_t before = handed();

  // Into the Latin-1 folder, and back before its listing has come.
  ASSERT_TRUE(probe->tapRow(IndexPath{0, *latin1}));
  ASSERT_NE(top(), root);
  ASSERT_TRUE(waitFor([&] {
    const std::string log = root->theConnection->transferLog();
    return log.find(">>> LIST") != log.rfind(">>> LIST");
  })) << state();
  ASSERT_TRUE(probe->tapBack());
  ASSERT_EQ(top(), root);
  utf8 = rowOf("caf\xC3\xA9");
  ASSERT_TRUE(utf8);
  ASSERT_TRUE(probe->tapRow(IndexPath{0, *utf8}));
  auto shown = top();
  ASSERT_NE(shown, root);

  // Until both listings are in and its own is shown, the folder shown never shows the other's
  // file.
  bool other = false;
  const bool both = waitFor([&] {
    if (listed("in-latin1.txt")) other = true;
    return handed() >= before + 2 && root->theConnection->iTask() == -1 && listed("in-utf8.txt");
  });
  EXPECT_TRUE(both) << state();
  EXPECT_FALSE(other) << state();
  EXPECT_EQ(top(), shown);
  EXPECT_EQ(names(), std::vector<std::string>{"in-utf8.txt"}) << state();
}

} // namespace
