// The phone's editor saving a file back over the browsing SFTP service, which takes one operation
// at a time and refuses one that comes while another runs. Over a folder screen of that service
// the save waits its turn behind the screen's operation (a listing still running) and arrives;
// with no folder screen to take turns with, a save refused by the busy service is told, never
// left unsaid, and its edits are kept for the next start.
#include "AppFixture.h"
#include "tests/support/EditRecords.h"
#include "tests/support/ReportingSftp.h"

#include "app/editor/EditFileView.h"
#include "app/queue/BatchListView.h"
#include "app/remote/DirViewer.h"
#include "tests/support/TimeScale.h"

using namespace platform;
using namespace platform::ui;

namespace {

struct SaveCase {
  const char *what;
  bool folderScreen; // the editor stands over a folder screen of the service
  bool busy;         // a listing runs (and waits) when Save is confirmed
  bool arrives;
};
void PrintTo(const SaveCase &c, std::ostream *out) {
  *out << c.what;
}

class EditorSftpSaveTest : public AppTest, public ::testing::WithParamInterface<SaveCase> {
protected:
  bool waitFor(const std::function<bool()> &cond) {
    return RunLoop::main()->runUntil(cond, testsupport::scaled(seconds(10)));
  }
};

} // namespace

TEST_P(EditorSftpSaveTest, ASaveWaitsItsTurnOrIsTold) {
  const SaveCase &c = GetParam();
  boot();
  auto sftp = std::make_shared<testsupport::ReportingSftp>();
  sftp->setServer("sftp.example.test");
  sftp->setUsername("joe");
  auto nav = delegate->navigationController();
  std::shared_ptr<DirViewer> folder;
  if (c.folderScreen) {
    folder = DirViewer::initWithExistingSFTPConnection(sftp);
    nav->pushViewController(folder, false);
  }
  const std::string working = Paths::tmp() + "/note.txt";
  ASSERT_TRUE(testsupport::writeFile(working, "line\n"));
  auto editor = EditFileView::initWithFile(working);
  editor->setTextFileName("note.txt");
  editor->setSftpConnection(sftp);
  editor->setDirectoryOfTheFile("/home/joe");
  nav->pushViewController(editor, false);
  advance(0.1);
  ASSERT_TRUE(probe->type("File Text", "typed ")) << probe->lastError();

  std::shared_ptr<RunLoop> busyThread;
  if (c.busy) {
    sftp->hold();
    auto list = [](SFTPWrapper &s) { s.getThisDirectory("/home/joe"); };
    if (folder)
      folder->runOnService("list", list);
    else
      busyThread = startThread(
          "busy listing", [sftp, list] { list(*sftp); }, false);
    ASSERT_TRUE(waitFor([&] { return sftp->isActive(); }));
  }
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  // The listing holds the service until the save has either been refused or taken its place in
  // the folder screen's turn (behind the listing).
  if (c.busy) {
    ASSERT_TRUE(waitFor([&] {
      return sftp->refused > 0 || (folder && folder->sftpOperationsRunning() == 2);
    })) << c.what;
  }
  sftp->release();

  if (c.arrives) {
    ASSERT_TRUE(waitFor([&] { return sftp->uploads == 1 && testsupport::editRecordNow().empty(); }))
        << c.what << ": " << sftp->refused << " refused\n"
        << testsupport::editRecordNow();
    EXPECT_EQ(sftp->uploadedTo(), "/home/joe/note.txt") << c.what;
    EXPECT_FALSE(FileManager::fileExists(working)) << c.what;
    EXPECT_EQ(sftp->refused, 0) << c.what;
  } else {
    ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); })) << c.what;
    EXPECT_EQ(probe->pendingAlerts().back().title, "File Not Saved") << c.what;
    EXPECT_EQ(probe->pendingAlerts().back().message,
              "\"note.txt\" could not be sent back to the server. It waits in Transfers to be "
              "sent again.")
        << c.what;
    ASSERT_TRUE(probe->answerAlert("OK"));
    EXPECT_EQ(testsupport::readFile(working), "typed line\n") << c.what;
    // The save waits in Transfers, as the tablet's does: to the same file, server and user.
    std::vector<std::string> rows;
    for (auto &item : delegate->batchView()->batchItemList())
      rows.push_back(std::to_string(item->action()) + " " + item->user() + "@" + item->server() +
                     ":" + item->remotePath().text() + "/" + item->remoteFilename().text());
    EXPECT_EQ(rows, std::vector<std::string>{"31 joe@sftp.example.test:/home/joe/note.txt"});
    EXPECT_NE(testsupport::editRecordNow().find("EditingFTPFile=" + working), std::string::npos)
        << c.what;
  }
  if (folder) {
    // Every operation of the screen, the save among them, has ended and reported.
    EXPECT_TRUE(waitFor([&] { return folder->sftpOperationsRunning() == 0; })) << c.what;
  }
  EXPECT_TRUE(waitFor([&] { return !sftp->isActive(); })) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditorSftpSaveTest,
    ::testing::Values(SaveCase{"over a folder screen of the service, idle", true, false, true},
                      SaveCase{"over a folder screen of the service, a listing running", true, true,
                               true},
                      SaveCase{"over no folder screen, the service idle", false, false, true},
                      SaveCase{"over no folder screen, the service busy", false, true, false}));

// A file the SFTP tab opened for editing goes back to the file it came from, by the bytes the
// server named it and its folder with: "caf\xe9.txt" in "/home/d\xe9" (ISO Latin-1, shown as
// "café.txt" in "/home/dé"), never to its UTF-8 look-alike.
TEST_F(EditorSftpSaveTest, AnOpenedFileGoesBackByTheBytesItCameBy) {
  boot();
  auto sftp = std::make_shared<testsupport::ReportingSftp>();
  sftp->setServer("sftp.example.test");
  sftp->setUsername("joe");
  delegate->setSftpConnection(sftp);
  const std::string working = Paths::tmp() + "/caf\xC3\xA9.txt";
  ASSERT_TRUE(testsupport::writeFile(working, "line\n"));
  sftp->setOpenedRemote("/home/d\xE9/caf\xE9.txt");
  auto opened = FTPAppServices::shared()->openTextEditor(working);
  auto editor = std::dynamic_pointer_cast<EditFileView>(opened);
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->remoteFileName().text(), "caf\xC3\xA9.txt");
  EXPECT_EQ(editor->remoteFolder().text(), "/home/d\xC3\xA9");
  advance(0.1);
  ASSERT_TRUE(probe->type("File Text", "typed ")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return sftp->uploads == 1; }));
  EXPECT_EQ(sftp->uploadedTo(), "/home/d\xE9/caf\xE9.txt");
  EXPECT_TRUE(waitFor([&] { return !sftp->isActive(); }));
}
