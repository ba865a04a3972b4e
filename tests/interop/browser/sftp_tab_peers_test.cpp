// The FTP tab over SFTP, driven through the probe against OpenSSH's sshd: password and key
// logins, browsing, viewing and editing with the size limits, queued downloads of a file and a
// folder, every folder action checked on the server's own folder, names from the server that
// look like the screen's own menus, a host key that changed, refused and then accepted, and a
// server that refuses the connection.
#include "tests/support/FtpTabScreens.h"
#include "tests/support/LabelFit.h"
#include "tests/support/SftpPeers.h"

#include "app/foundation/TextPromptViewer.h"
#include "app/sftp/SFTPService.h"

#include <sys/stat.h>

using namespace tabtest;
using namespace testsupport;

namespace {

class SftpTabPeersTest : public TabFixture {
protected:
  void SetUp() override {
    ASSERT_TRUE(ensureSftpUser());
    TabFixture::SetUp();
    SFTPService::install();
    ::chmod(dir.path().c_str(), 0777);
    services->connect->hooks.setSftpConnection = [this](std::shared_ptr<SFTPWrapper> s) {
      delegateConnection = std::move(s);
    };
  }
  void TearDown() override {
    TabFixture::TearDown();
    delegateConnection.reset();
  }
  std::unique_ptr<SshPeer> start(const std::string &lead = "", const std::string &extra = "") {
    SshPeerOptions o;
    o.leadConfig = lead;
    o.extraConfig = extra;
    auto p = SshPeer::sshd(o);
    EXPECT_TRUE(p->started()) << p->why();
    return p;
  }
  std::string address(const SshPeer &peer) {
    return "sftp://127.0.0.1:" + std::to_string(peer.port()) + dir.path();
  }
  // The top screen shows a listing holding `name`, with nothing of its own still running.
  bool shows(const std::string &name, double limit = 60) {
    return waitFor(
        [&] {
          auto s = top();
          return s && s->currentToolbar == 2 && !s->sftpOperationsRunning() && listed(name);
        },
        limit);
  }
  bool gone(const std::string &name) {
    return waitFor([&] {
      auto s = top();
      return s && s->currentToolbar == 2 && !s->sftpOperationsRunning() && !listed(name);
    });
  }
  bool onServer(const std::string &path) {
    return waitFor([&] { return FileManager::fileExists(dir.file(path)); });
  }
  std::string statusText() {
    auto s = top();
    return s && s->progressText ? s->progressText->text() : std::string();
  }
  void makeFolder(const std::string &path) {
    ::mkdir(dir.file(path).c_str(), 0777);
    ::chmod(dir.file(path).c_str(), 0777);
  }

  TempDir dir{"ferrowen-sftptab"};
  std::shared_ptr<SFTPWrapper> delegateConnection;
};

TEST_F(SftpTabPeersTest, PasswordLoginBrowseViewAndDownload) {
  auto peer = start();
  makeFolder("sub");
  writeFile(dir.file("sub/inner.txt"), "inner\n");
  writeFile(dir.file("small.txt"), "hello\n");
  std::string big(300000, 'b');
  for (size_t i = 0; i < big.size(); i += 1000)
    big[i] = char('0' + i / 1000 % 10);
  writeFile(dir.file("big.txt"), big);
  ASSERT_TRUE(connectTo(address(*peer), kSftpUser, kSftpPass)) << probe->lastError();
  ASSERT_TRUE(shows("small.txt")) << statusText() << peer->log();
  EXPECT_EQ(names(), (std::vector<std::string>{"sub", "big.txt", "small.txt"}));
  // The application delegate knows the browsing connection.
  ASSERT_TRUE(delegateConnection);
  EXPECT_EQ(delegateConnection, top()->sftpConnection);

  // Into the folder on a screen of its own, and back.
  ASSERT_TRUE(probe->tapRow("sub"));
  ASSERT_TRUE(shows("inner.txt"));
  EXPECT_EQ(top()->currentWorkingDirectory(), dir.path() + "/sub");
  ASSERT_TRUE(probe->tapBack());
  ASSERT_TRUE(shows("small.txt"));

  // A small file opens whole in the editor; a big one offers its head or tail.
  ASSERT_TRUE(probe->tapRow("small.txt"));
  ASSERT_TRUE(probe->tap("Edit")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return services->edited.size() == 1; }));
  EXPECT_EQ(services->edited[0], "hello\n");
  ASSERT_TRUE(shows("big.txt"));
  for (auto [part, expected] : {std::pair{"View Beginning (Head)", big.substr(0, 65536)},
                                {"View End (Tail)", big.substr(big.size() - 65536)}}) {
    const size_t before = services->edited.size();
    auto checked = top()->saveIndexPath; // the file stays checked after its view
    if (!checked || names()[size_t(*checked)] != "big.txt") {
      ASSERT_TRUE(probe->tapRow("big.txt"));
    }
    ASSERT_TRUE(probe->tap("View")) << probe->lastError();
    ASSERT_TRUE(probe->answerSheet(part)) << probe->lastError();
    ASSERT_TRUE(waitFor([&] { return services->edited.size() == before + 1; })) << part;
    EXPECT_TRUE(services->edited.back() == expected) << part;
    // Part of the file: saved, it would take the whole file's place on the server.
    EXPECT_EQ(services->editors.back()->readOnly, std::optional<bool>(true)) << part;
    ASSERT_TRUE(shows("big.txt"));
  }

  // The download button and a folder's menu queue the file and the folder.
  ASSERT_TRUE(probe->tapRow("small.txt"));
  ASSERT_TRUE(probe->tap("Download"));
  ASSERT_TRUE(waitFor([&] { return savedFile("small.txt") == "hello\n"; }, 60));
  ASSERT_TRUE(openRowMenu("sub"));
  ASSERT_TRUE(probe->answerSheet("Download Folder"));
  ASSERT_TRUE(waitFor([&] { return savedFile("sub/inner.txt") == "inner\n"; }, 60));
}

TEST_F(SftpTabPeersTest, FolderActionsReachTheServer) {
  auto peer = start();
  makeFolder("dest");
  writeFile(dir.file("old.txt"), "old\n");
  writeFile(dir.file("a.txt"), "a\n");
  ASSERT_TRUE(connectTo(address(*peer), kSftpUser, kSftpPass));
  ASSERT_TRUE(shows("old.txt")) << statusText();

  // New folder and new one-byte file (an upload) from the folder commands.
  for (auto [command, label, name] : {std::tuple{"Create Directory", "New Directory Name:", "made"},
                                      {"Create File", "New File Name:", "new.txt"}}) {
    ASSERT_TRUE(waitFor([&] { return probe->tap("Menu"); }));
    ASSERT_TRUE(probe->answerSheet(command));
    ASSERT_TRUE(answerPrompt(label, name)) << probe->lastError();
    ASSERT_TRUE(onServer(name)) << command;
    ASSERT_TRUE(shows(name)) << command;
  }
  EXPECT_EQ(readFile(dir.file("new.txt")), " ");
  // Set-user-id, a bit the permissions editor below has no toggle for and must keep.
  ::chmod(dir.file("new.txt").c_str(), 04644);

  // Rename; over SFTP the row menu offers no move.
  ASSERT_TRUE(openRowMenu("a.txt"));
  ASSERT_TRUE(probe->answerSheet("Rename File"));
  ASSERT_TRUE(answerPrompt("Rename File To:", "renamed.txt"));
  ASSERT_TRUE(onServer("renamed.txt"));
  ASSERT_TRUE(shows("renamed.txt"));
  EXPECT_FALSE(FileManager::fileExists(dir.file("a.txt")));
  ASSERT_TRUE(openRowMenu("renamed.txt"));
  EXPECT_FALSE(probe->answerSheet("Move File"));
  ASSERT_TRUE(probe->answerSheet("Cancel"));

  // Permissions of the file the server's user made.
  ASSERT_TRUE(openRowMenu("new.txt"));
  ASSERT_TRUE(probe->answerSheet("Permissions (CHMOD)"));
  ASSERT_TRUE(probe->tap("Group Write"));
  ASSERT_TRUE(probe->tap("Save"));
  ASSERT_TRUE(waitFor([&] {
    struct stat st {};
    return ::stat(dir.file("new.txt").c_str(), &st) == 0 && (st.st_mode & 07777) == 04664;
  }));

  // Delete asks first; Cancel keeps the file. A folder goes the same way.
  ASSERT_TRUE(shows("old.txt"));
  for (auto answer : {"Cancel", "Delete"}) {
    ASSERT_TRUE(openRowMenu("old.txt"));
    ASSERT_TRUE(probe->answerSheet("Delete File"));
    EXPECT_EQ(probe->pendingAlerts().back().title, "Confirm File Delete");
    ASSERT_TRUE(probe->answerAlert(answer));
  }
  ASSERT_TRUE(waitFor([&] { return !FileManager::fileExists(dir.file("old.txt")); }));
  ASSERT_TRUE(shows("made"));
  ASSERT_TRUE(openRowMenu("made"));
  ASSERT_TRUE(probe->answerSheet("Delete Folder"));
  ASSERT_TRUE(probe->answerAlert("Delete"));
  ASSERT_TRUE(waitFor([&] { return !FileManager::fileExists(dir.file("made")); }));

  // Delete All Files takes the files, one after another, and leaves the folders.
  ASSERT_TRUE(gone("made"));
  ASSERT_TRUE(waitFor([&] { return probe->tap("Menu"); }));
  ASSERT_TRUE(probe->answerSheet("Delete All Files"));
  EXPECT_EQ(probe->pendingAlerts().back().message,
            "This will delete 2 files in the folder!  Continue?");
  ASSERT_TRUE(probe->answerAlert("Delete All"));
  ASSERT_TRUE(waitFor([&] {
    return !FileManager::fileExists(dir.file("new.txt")) &&
           !FileManager::fileExists(dir.file("renamed.txt"));
  }));
  ASSERT_TRUE(shows("dest"));
  EXPECT_EQ(names(), std::vector<std::string>{"dest"});
}

// A name from the server is only a name: a file called like the folder menu gets its own row
// menu, a file called like the sort menu is renamed by its own, and a folder called like the move
// chooser's "Up a Folder" is a folder to open.
TEST_F(SftpTabPeersTest, ServerNamesNeverPickTheAction) {
  auto peer = start();
  makeFolder("sub");
  makeFolder("sub/Up a Folder");
  for (auto name : {"FTP Folder Commands", "Sort Folder", "keep.txt"})
    writeFile(dir.file(std::string("sub/") + name), "x");
  writeFile(dir.file("sub/Up a Folder/inside.txt"), "m");
  ASSERT_TRUE(connectTo(address(*peer), kSftpUser, kSftpPass));
  ASSERT_TRUE(shows("sub"));
  ASSERT_TRUE(probe->tapRow("sub"));
  ASSERT_TRUE(shows("keep.txt"));

  // That row's menu is the row's own ("Rename File" offers its name), and "Delete File" deletes
  // that file only.
  ASSERT_TRUE(openRowMenu("FTP Folder Commands"));
  ASSERT_TRUE(probe->answerSheet("Rename File"));
  auto prompt = std::dynamic_pointer_cast<TextPromptViewer>(probe->topViewController());
  ASSERT_TRUE(prompt && prompt->filename);
  EXPECT_EQ(prompt->filename->text(), "FTP Folder Commands");
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  ASSERT_TRUE(openRowMenu("FTP Folder Commands"));
  ASSERT_TRUE(probe->answerSheet("Delete File"));
  ASSERT_EQ(probe->pendingAlerts().back().title, "Confirm File Delete");
  ASSERT_TRUE(probe->answerAlert("Delete"));
  ASSERT_TRUE(
      waitFor([&] { return !FileManager::fileExists(dir.file("sub/FTP Folder Commands")); }));
  ASSERT_TRUE(gone("FTP Folder Commands"));
  EXPECT_TRUE(FileManager::fileExists(dir.file("sub/keep.txt")));
  // A row called like the sort menu is not sorted by: its menu renames it.
  ASSERT_TRUE(openRowMenu("Sort Folder"));
  ASSERT_TRUE(probe->answerSheet("Rename File"));
  ASSERT_TRUE(answerPrompt("Rename File To:", "sorted.txt"));
  ASSERT_TRUE(onServer("sub/sorted.txt"));
  ASSERT_TRUE(shows("Up a Folder"));
  ASSERT_TRUE(probe->tapRow("Up a Folder"));
  ASSERT_TRUE(shows("inside.txt"));
  EXPECT_EQ(top()->currentWorkingDirectory(), dir.path() + "/sub/Up a Folder");
}

TEST_F(SftpTabPeersTest, KeyLoginAndAChangedHostKeyAnsweredBothWays) {
  const std::string keyFile = dir.file("id"), keys = dir.file("authorized_keys");
  runCommand("ssh-keygen -q -N '' -t rsa -m PEM -f '" + keyFile + "' && cp '" + keyFile +
             ".pub' '" + keys + "'");
  auto peer =
      start("PasswordAuthentication no\n", "AuthorizedKeysFile " + keys + "\nStrictModes no\n");
  const std::string folder = Paths::documents() + "/Files/PrivateKeys";
  FileManager::createDirectory(folder, true);
  ASSERT_TRUE(FileManager::copyItem(keyFile, folder + "/" + kSftpUser + "@127.0.0.1.pem"));
  writeFile(dir.file("keyed.txt"), "k");
  ASSERT_TRUE(connectTo(address(*peer), kSftpUser, "not-the-password"));
  ASSERT_TRUE(shows("keyed.txt")) << statusText() << peer->log();

  // The server's key is not the one remembered: refused first, accepted the second time.
  const std::string setting =
      SFTPService::hostKeySettingKey("127.0.0.1:" + std::to_string(peer->port()));
  const std::string known = UserDefaults::standard().stringForKey(setting).value_or("");
  ASSERT_FALSE(known.empty());
  UserDefaults::standard().setObject("ssh-rsa 2048 00:11:22", setting);
  ASSERT_TRUE(probe->tapBack()); // "Disconnect": the session ends
  for (const std::string answer : {"Cancel", "Accept New Key"}) {
    SCOPED_TRACE(answer);
    ASSERT_EQ(probe->topViewController(), services->connect);
    ASSERT_TRUE(probe->tap("Connect"));
    ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }, 60));
    EXPECT_EQ(probe->pendingAlerts().back().title, "Host Key Changed");
    // Both fingerprints whole, each on a line of its own, to be compared.
    EXPECT_NE(probe->pendingAlerts().back().message.find(
                  "\nRemembered:\nssh-rsa 2048 00:11:22\nNow:\n" + known + "\n"),
              std::string::npos)
        << probe->pendingAlerts().back().message;
    // Under the question the folder screen says what it waits for, whole in its status line
    // (the question holds the rest).
    ASSERT_TRUE(waitFor([&] { return statusText() == "Host key changed"; })) << statusText();
    EXPECT_TRUE(testsupport::fitOfLabel(*top()->progressText).whole);
    ASSERT_TRUE(probe->answerAlert(answer));
    if (answer == "Cancel") {
      // Nothing was connected: back on the connect screen, from which the person goes on.
      ASSERT_TRUE(waitFor([&] { return probe->topViewController() == services->connect; }))
          << statusText();
      EXPECT_EQ(services->nav->viewControllers().size(), 1u);
      EXPECT_EQ(UserDefaults::standard().stringForKey(setting), "ssh-rsa 2048 00:11:22");
    } else {
      // Accepted: the folder lists at once, with no Refresh.
      ASSERT_TRUE(shows("keyed.txt")) << statusText();
    }
  }
  EXPECT_TRUE(services->helpPages.empty());
  EXPECT_NE(readFile(Paths::tmp() + "/Ferrowen-SFTP.log").find("New host key not accepted"),
            std::string::npos);
  EXPECT_EQ(UserDefaults::standard().stringForKey(setting), known);
}

// A server that refuses the connection at once (nothing listens on the port) is explained as a
// refusal, not as a server that did not answer in time.
TEST_F(SftpTabPeersTest, ARefusedConnectionIsExplainedAsRefused) {
  const int closed = freeTcpPort(); // nothing listens there
  ASSERT_TRUE(connectTo("sftp://127.0.0.1:" + std::to_string(closed), kSftpUser, kSftpPass));
  ASSERT_TRUE(waitFor([&] { return !services->helpPages.empty(); }, 20)) << statusText();
  EXPECT_EQ(services->helpPages, std::vector<std::string>{"error-sftp-refused.html"});
  EXPECT_TRUE(waitFor([&] { return statusText() == "Unable to connect to the SFTP server."; }))
      << statusText();
}

} // namespace
