// Editing a file of OpenSSH's sshd over SFTP as on iPhone: the SFTP service downloads it, the
// editor shows it, a person types and saves, and the service uploads it straight back from a
// thread of its own; the file on the server, and a second download of it, are the edited bytes.
#include "app/editor/EditFileView.h"
#include "app/foundation/DirItemInfo.h"
#include "app/foundation/SettingsKeys.h"
#include "app/sftp/SFTPService.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Probe.h"
#include "platform/ui/Window.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/TimeScale.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

using namespace testsupport;
using namespace platform;
using namespace platform::ui;

namespace {

class EditorSftpTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ensureSftpUser());
    ::chmod(dir.path().c_str(), 0777);
    RunLoop::makeMainThread();
    Paths::setHome(home.path());
    Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
    UserDefaults::resetStandard();
    RegisterDefaultSettings();
    window->makeKeyAndVisible();
    nav = std::make_shared<NavigationController>(std::make_shared<ViewController>("Root"));
    window->setRootViewController(nav);
    probe = std::make_unique<Probe>(window);
  }
  void TearDown() override {
    probe.reset();
    nav.reset();
    std::make_shared<Window>()->makeKeyAndVisible();
    Paths::setHome("");
    Paths::setResources("");
    UserDefaults::resetStandard();
  }
  // An operation on a thread of its own, as the screens run them, with the main thread running.
  void run(const std::function<void()> &op) {
    std::atomic<bool> finished{false};
    std::thread t([&] {
      op();
      finished = true;
    });
    RunLoop::main()->runUntil([&] { return finished.load(); }, testsupport::scaled(seconds(60)));
    t.join();
    RunLoop::main()->runPending();
  }
  TempDir dir{"ferrowen-edsftp"}, home{"ferrowen-edsftp-home"};
  std::shared_ptr<Window> window = std::make_shared<Window>();
  std::shared_ptr<NavigationController> nav;
  std::unique_ptr<Probe> probe;
};

} // namespace

TEST_F(EditorSftpTest, EditedFileGoesBackByteExact) {
  SshPeerOptions o;
  auto peer = SshPeer::sshd(o);
  ASSERT_TRUE(peer->started()) << peer->why();
  auto sftp = std::make_shared<SFTPService>();
  sftp->setServer("127.0.0.1:" + std::to_string(peer->port()) + dir.path());
  sftp->setUsername(kSftpUser);
  sftp->setPassword(kSftpPass);
  sftp->setMainConnection(true);
  // UTF-16 with its mark and CR LF line ends: the file's own form comes back.
  const std::string original = std::string("\xFF\xFE"
                                           "a\0b\0\r\0\n\0",
                                           10);
  ASSERT_TRUE(writeFile(dir.file("notes.txt"), original));
  const std::string down = home.file("down");
  FileManager::createDirectory(down, true);
  run([&] {
    sftp->setupToDownloadThisFile(dir.file("notes.txt"), down, false);
    sftp->downloadFile();
  });
  ASSERT_EQ(readFile(down + "/notes.txt"), original);

  auto editor = EditFileView::initWithFile(down + "/notes.txt");
  editor->setTextFileName("notes.txt");
  editor->setDirectoryOfTheFile(dir.path());
  editor->setSftpConnection(sftp);
  nav->pushViewController(editor, false);
  EXPECT_EQ(editor->theText->text(), "ab\r\n");
  ASSERT_TRUE(probe->type("File Text", "Z")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  const std::string edited = std::string("\xFF\xFE"
                                         "Z\0a\0b\0\r\0\n\0",
                                         12);
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return readFile(dir.file("notes.txt")) == edited; },
                                        testsupport::scaled(seconds(60))))
      << readFile(dir.file("notes.txt")).size();

  // Fetched again, once the upload's thread is over: the same bytes.
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !sftp->isActive(); },
                                        testsupport::scaled(seconds(60))));
  FileManager::removeItem(down + "/notes.txt");
  run([&] {
    sftp->setupToDownloadThisFile(dir.file("notes.txt"), down, false);
    sftp->downloadFile();
  });
  EXPECT_EQ(readFile(down + "/notes.txt"), edited);
}

// The phone's Save of a file whose name is stored in ISO Latin-1 ("caf\xe9.txt", mode 600) beside
// its UTF-8 look-alike, with "Folder Text Encoding" at Auto-Detect and at Latin 1: the edit goes
// back to that file (through a temporary name renamed over it), which keeps its mode; the
// look-alike is left as it was.
TEST_F(EditorSftpTest, ASaveReachesTheListedFileAndKeepsItsMode) {
  auto peer = SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string utf8 = "caf\xC3\xA9.txt", latin1 = "caf\xE9.txt";
  for (const char *encoding : {"0", "5"}) {
    SCOPED_TRACE(encoding);
    UserDefaults::standard().setObject(encoding, "SFTPEncoding");
    UserDefaults::standard().setObject("1", "UploadToTempName");
    ASSERT_TRUE(writeFile(dir.file(utf8), "the UTF-8 file\n"));
    ASSERT_TRUE(writeFile(dir.file(latin1), "the Latin-1 file\n"));
    ::chmod(dir.file(utf8).c_str(), 0644);
    ::chmod(dir.file(latin1).c_str(), 0600);
    runCommand("chown " + std::string(kSftpUser) + " '" + dir.file(utf8) + "' '" +
               dir.file(latin1) + "'");
    auto sftp = std::make_shared<SFTPService>();
    sftp->setServer("127.0.0.1:" + std::to_string(peer->port()));
    sftp->setUsername(kSftpUser);
    sftp->setPassword(kSftpPass);
    sftp->setMainConnection(true);
    // The file as the folder screen lists it, and the working copy its Edit fetches.
    struct Listing : SFTPWrapperDelegate {
      std::vector<std::shared_ptr<DirItemInfo>> items;
      void gotDirectory(SFTPWrapper &,
                        const std::vector<std::shared_ptr<DirItemInfo>> &v) override {
        items = v;
      }
    };
    auto listing = std::make_shared<Listing>();
    sftp->setDelegate(listing);
    run([&] { sftp->getThisDirectory(dir.path()); });
    std::shared_ptr<DirItemInfo> entry;
    for (auto &e : listing->items)
      if (e->nameBytes() == latin1) entry = e;
    ASSERT_TRUE(entry);
    const RemoteName folder = SFTPWrapper::namedByServer(dir.path());
    const std::string down = home.file(std::string("down") + encoding);
    FileManager::createDirectory(down, true);
    run([&] {
      sftp->setupToDownloadThisFile(
          SFTPWrapper::wireOf(SFTPWrapper::pathIn(folder, entry->remoteName())), down, false);
      sftp->downloadFile();
    });
    const std::string working = down + "/" + entry->name();
    ASSERT_EQ(readFile(working), "the Latin-1 file\n");

    auto editor = EditFileView::initWithFile(working);
    editor->setSftpConnection(sftp);
    editor->setRemoteFile(entry->remoteName(), folder);
    nav->pushViewController(editor, false);
    ASSERT_TRUE(probe->type("File Text", "Z")) << probe->lastError();
    ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
    ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
    ASSERT_TRUE(RunLoop::main()->runUntil(
        [&] { return readFile(dir.file(latin1)) == "Zthe Latin-1 file\n"; },
        testsupport::scaled(seconds(60))))
        << readFile(dir.file(latin1));
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !sftp->isActive(); },
                                          testsupport::scaled(seconds(60))));
    struct stat st {};
    ASSERT_EQ(::stat(dir.file(latin1).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(dir.file(utf8)), "the UTF-8 file\n");
    nav->popViewControllerAnimated(false);
    RunLoop::main()->runPending();
  }
}
