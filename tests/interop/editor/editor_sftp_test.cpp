// Editing a file of OpenSSH's sshd over SFTP as on iPhone: the SFTP service downloads it, the
// editor shows it, a person types and saves, and the service uploads it straight back from a
// thread of its own; the file on the server, and a second download of it, are the edited bytes.
#include "app/editor/EditFileView.h"
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
