// Saving an edited remote file as on iPad: the editor writes its working file and queues it as
// an upload with the server, user and password it was opened with; the transfer queue sends it
// to a real FTP server (pyftpdlib) and deletes the working file when done.
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/EditRecords.h"
#include "tests/support/SftpPeers.h"

#include "app/editor/EditFileView.h"
#include "app/editor/EditorScreens.h"
#include "app/editor/EditorServices.h"
#include "app/foundation/Globals.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"
#include "app/sftp/SFTPService.h"

#include <sys/stat.h>

using namespace queuetest;

namespace {

struct QueueOnly : EditorServices {
  std::weak_ptr<BatchListView> queue;
  std::vector<std::string> closed;
  std::shared_ptr<BatchListView> batchView() override { return queue.lock(); }
  void cancelFileViewTab(const std::shared_ptr<ui::ViewController> &s) override {
    closed.push_back(s->title());
  }
};

class EditorQueueTest : public QueueTest {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    Clock::install(nullptr);
    DeviceProfile::setCurrent(DeviceProfile::iPad());
    RegisterDefaultSettings();
    EditorServices::setShared(editorServices);
  }
  void TearDown() override {
    EditorServices::setShared(nullptr);
    QueueTest::TearDown();
  }
  std::shared_ptr<QueueOnly> editorServices = std::make_shared<QueueOnly>();
};

} // namespace

TEST_F(EditorQueueTest, SavedTextIsQueuedAndUploaded) {
  QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  // The declaration counts when the first 2048 bytes are valid UTF-8: the Cyrillic comes later.
  const std::string original = "<html><meta charset=\"windows-1251\">\n<!--" +
                               std::string(2100, '-') + "-->\n\xCF\xF0\xE8\xE2\xE5\xF2\n";
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/page.html", original));
  makeQueue();
  editorServices->queue = queue_;
  auto &defaults = UserDefaults::standard();
  defaults.setObject("127.0.0.1:" + std::to_string(peer.port()), kServerNameKey);
  defaults.setObject("joe", kUserNameKey);
  defaults.setObject(myEncryptString1("secret"), kUserPassKey);
  const std::string working = Paths::tmp() + "/page.html";
  ASSERT_TRUE(testsupport::writeFile(working, original));

  auto editor = EditFileView::initWithFile(working);
  editor->setTextFileName("page.html");
  editor->setDirectoryOfTheFile("/");
  auto editorNav = std::make_shared<ui::NavigationController>(editor);
  tabs_->setViewControllers({nav_, editorNav});
  tabs_->setSelectedIndex(1);
  EXPECT_EQ(editor->useEncoding, 11u);
  ASSERT_TRUE(probe_->type("File Text", "<!-- \xD0\x9C -->")) << probe_->lastError();
  ASSERT_TRUE(probe_->tap("Save")) << probe_->lastError();
  ASSERT_TRUE(probe_->answerAlert("Save")) << probe_->lastError();
  EXPECT_EQ(editorServices->closed, std::vector<std::string>{"page.html"});

  const std::string edited = "<!-- \xCC -->" + original;
  ASSERT_TRUE(
      waitFor([&] { return testsupport::readFile(peer.root() + "/page.html") == edited; }, 60))
      << testsupport::readFile(peer.log());
  ASSERT_TRUE(waitFor([&] { return queue_->batchItemList().empty(); }, 30));
  // Clean when done: the queue took the working file away.
  EXPECT_TRUE(waitFor([&] { return !FileManager::fileExists(working); }, 10));
}

// A file tab reopened at start from the record of an SFTP file goes back over SFTP, to the server,
// port and folder it came from (a tab has no connection: the record says which kind to use, and
// which port when the server text holds none).
class ReopenedSftpTabTest : public EditorQueueTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReopenedSftpTabTest, GoesBackOverSftpToItsOwnPort) {
  const bool portInText = GetParam();
  ASSERT_TRUE(testsupport::ensureSftpUser());
  testsupport::TempDir served("ferrowen-edq-sftp");
  ::chmod(served.path().c_str(), 0777);
  ASSERT_TRUE(testsupport::writeFile(served.file("note.txt"), "on the server\n"));
  ::chmod(served.file("note.txt").c_str(), 0666);
  auto sshd = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  SFTPService::install(); // the queue's SFTP connection is the real one
  UserDefaults::standard().setObject("1", "TabIndexMax");
  const std::string working = testsupport::leaveEditRecord(
      {portInText ? "127.0.0.1:" + std::to_string(sshd->port()) : "127.0.0.1",
       testsupport::kSftpUser, testsupport::kSftpPass, sshd->port(), "sftp", served.path(),
       "note.txt", "typed before\n"},
      0);
  makeQueue();
  editorServices->queue = queue_;
  std::shared_ptr<EditFileView> editor;
  EXPECT_TRUE(restoreEditFiles([&](std::shared_ptr<EditFileView> e, const std::string &) {
                editor = e;
              }).empty());
  ASSERT_TRUE(editor);
  auto editorNav = std::make_shared<ui::NavigationController>(editor);
  tabs_->setViewControllers({nav_, editorNav});
  tabs_->setSelectedIndex(1);
  ASSERT_TRUE(probe_->type("File Text", "saved ")) << probe_->lastError();
  ASSERT_TRUE(probe_->tap("Save")) << probe_->lastError();
  ASSERT_TRUE(probe_->answerAlert("Save")) << probe_->lastError();
  ASSERT_TRUE(waitFor(
      [&] { return testsupport::readFile(served.file("note.txt")) == "saved typed before\n"; }, 60))
      << sshd->log();
  ASSERT_TRUE(waitFor([&] { return queue_->batchItemList().empty(); }, 30));
  EXPECT_TRUE(waitFor([&] { return !FileManager::fileExists(working); }, 10));
}

INSTANTIATE_TEST_SUITE_P(Records, ReopenedSftpTabTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return std::string(info.param ? "PortInTheServerText" : "PortApart");
                         });
