// The whole application against a real server: a save back never writes over a server's file
// that another changed since the edit began. On every road a save takes (the tablet's queued save
// back, the phone's save over its own connection, the save of an edit reopened at the next start)
// the server's file is looked at first. Unchanged, the text arrives. Changed, nothing goes over it:
// the save waits in Transfers (not failed, not paused), the edit's record and working file stay,
// and "File Changed" is asked. "Keep Typed Text" sends the text over the other's file; "Take the
// File" leaves the server's file as the other left it, and the edit (its record, its working file
// and its row) goes.
#include "tests/interop/editor/EditorPeers.h"
#include "tests/support/EditRecords.h"
#include "tests/support/SftpPeers.h"

#include "app/editor/EditFileView.h"
#include "app/editor/EditState.h"
#include "app/queue/BatchListView.h"

#include <sys/stat.h>

using namespace platform;
using namespace platform::ui;

namespace {

enum class Road { TabletQueued, PhoneDirect, ReopenedAtStart };
enum class Server { Unchanged, ChangedKeepTyped, ChangedTakeTheFile };
struct Case {
  Road road;
  Server server;
};
std::string nameOf(const Case &c) {
  const char *road[] = {"TabletQueued", "PhoneDirect", "ReopenedAtStart"};
  const char *server[] = {"Unchanged", "ChangedKeepTyped", "ChangedTakeTheFile"};
  return std::string("Sftp") + road[int(c.road)] + server[int(c.server)];
}
void PrintTo(const Case &c, std::ostream *out) {
  *out << nameOf(c);
}

const std::string kOriginal = "first line\n", kTheirs = "another person's text\n";

class ServerChangedTest : public EditorPeersTest, public ::testing::WithParamInterface<Case> {
protected:
  void editInDocs(const std::string &name) {
    ASSERT_TRUE(listed("docs")) << stack();
    ASSERT_TRUE(probe->tapRow("docs")) << probe->lastError();
    ASSERT_TRUE(listed(name)) << stack();
    ASSERT_TRUE(probe->tapRow(name)) << probe->lastError();
    ASSERT_TRUE(probe->tap("Edit")) << probe->lastError();
  }
};

} // namespace

TEST_P(ServerChangedTest, ASaveBackNeverWritesOverAServerFileChangedSinceTheEditBegan) {
  const Case c = GetParam();
  ASSERT_TRUE(testsupport::ensureSftpUser());
  testsupport::TempDir served("ferrowen-server-changed");
  ::chmod(served.path().c_str(), 0777);
  holdNote(served.path(), kOriginal);
  const std::string onServer = served.path() + "/docs/note.txt";
  auto sshd = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  auto &s = UserDefaults::standard();
  s.setObject("1", kSavePasswordsKey);

  std::shared_ptr<EditFileView> editor;
  if (c.road == Road::ReopenedAtStart) {
    // The last run downloaded the file, typed into it and was killed: its record keeps what the
    // server's file held then. The tablet reopens it as a file tab with no connection.
    s.setObject("1", "TabIndexMax");
    testsupport::leaveEditRecord({address(sshd->port()), testsupport::kSftpUser,
                                  testsupport::kSftpPass, sshd->port(), "sftp",
                                  served.path() + "/docs", "note.txt", "typed " + kOriginal},
                                 0);
    s.setObject(FileMark::of(editor::Bytes(kOriginal.begin(), kOriginal.end())).text(),
                keyForTab(0, kWasEditingFileBaseKey));
    s.synchronize();
    launch(DeviceProfile::iPad());
    ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
    ASSERT_EQ(probe->pendingAlerts().back().title, "Continue Editing?");
    ASSERT_TRUE(probe->answerAlert("Edit File(s)")) << probe->lastError();
    editor = editorShowing("typed " + kOriginal);
    ASSERT_TRUE(editor);
    EXPECT_FALSE(editor->sftpConnection);
  } else {
    Connect::restoreDone = true;
    launch(c.road == Road::TabletQueued ? DeviceProfile::iPad() : DeviceProfile::iPhone());
    connectTo("sftp://" + address(sshd->port()) + served.path(), testsupport::kSftpUser,
              testsupport::kSftpPass, 2);
    editInDocs("note.txt");
    editor = editorShowing(kOriginal);
    ASSERT_TRUE(editor) << stack() << "\n" << sshd->log();
    ASSERT_TRUE(probe->type("File Text", "typed ")) << probe->lastError();
  }
  const std::string working = editor->editingFileAtPath;
  ASSERT_TRUE(probe->type("File Text", "saved ")) << probe->lastError();
  const std::string ours = editor->theText->text();
  ASSERT_NE(ours.find("saved "), std::string::npos) << ours;

  // Meanwhile another person writes the server's file.
  if (c.server != Server::Unchanged) {
    ASSERT_TRUE(testsupport::writeFile(onServer, kTheirs));
  }
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  auto queue = delegate->batchView();

  if (c.server == Server::Unchanged) {
    ASSERT_TRUE(waitFor([&] { return testsupport::readFile(onServer) == ours; }))
        << sshd->log() << rowSays();
    ASSERT_TRUE(waitFor([&] { return queue->batchItemList().empty(); })) << rowSays();
    EXPECT_TRUE(probe->pendingAlerts().empty()) << probe->pendingAlerts().back().title;
    EXPECT_TRUE(waitFor([&] { return !FileManager::fileExists(working); }));
    return;
  }

  // Changed: asked, and nothing written over it meanwhile; the save waits in Transfers.
  ASSERT_TRUE(waitFor([&] {
    auto alerts = probe->pendingAlerts();
    return !alerts.empty() && alerts.back().title == "File Changed";
  })) << rowSays();
  const auto asked = probe->pendingAlerts().back();
  EXPECT_EQ(asked.message, "\"note.txt\" was changed outside the editor. Keep the text typed here, "
                           "or take the file as it is now?");
  EXPECT_EQ(asked.buttons, (std::vector<std::string>{"Keep Typed Text", "Take the File"}));
  pause(1);
  EXPECT_EQ(testsupport::readFile(onServer), kTheirs);
  ASSERT_EQ(queue->batchItemList().size(), 1u);
  EXPECT_TRUE(row()->errorMsg().empty()) << row()->errorMsg();
  EXPECT_FALSE(queue->fPaused());
  EXPECT_EQ(testsupport::readFile(working), ours);
  if (c.road == Road::PhoneDirect) {
    EXPECT_EQ(s.stringForKey(kEditingFTPFile).value_or(""), working);
  }

  if (c.server == Server::ChangedKeepTyped) {
    ASSERT_TRUE(probe->answerAlert("Keep Typed Text")) << probe->lastError();
    ASSERT_TRUE(waitFor([&] { return testsupport::readFile(onServer) == ours; }))
        << sshd->log() << rowSays();
    ASSERT_TRUE(waitFor([&] { return queue->batchItemList().empty(); })) << rowSays();
    EXPECT_TRUE(waitFor([&] { return !FileManager::fileExists(working); }));
  } else {
    ASSERT_TRUE(probe->answerAlert("Take the File")) << probe->lastError();
    ASSERT_TRUE(waitFor([&] { return queue->batchItemList().empty(); })) << rowSays();
    pause(1);
    EXPECT_EQ(testsupport::readFile(onServer), kTheirs);
    EXPECT_FALSE(FileManager::fileExists(working));
  }
  EXPECT_FALSE(EditState::sendBackBase(working));
  EXPECT_EQ(testsupport::editRecordNow(), "");
  EXPECT_EQ(testsupport::editRecordNow(0), "");
  EXPECT_TRUE(probe->pendingAlerts().empty()) << probe->pendingAlerts().back().title;
}

INSTANTIATE_TEST_SUITE_P(Roads, ServerChangedTest,
                         ::testing::Values(Case{Road::TabletQueued, Server::Unchanged},
                                           Case{Road::TabletQueued, Server::ChangedKeepTyped},
                                           Case{Road::TabletQueued, Server::ChangedTakeTheFile},
                                           Case{Road::PhoneDirect, Server::Unchanged},
                                           Case{Road::PhoneDirect, Server::ChangedKeepTyped},
                                           Case{Road::PhoneDirect, Server::ChangedTakeTheFile},
                                           Case{Road::ReopenedAtStart, Server::Unchanged},
                                           Case{Road::ReopenedAtStart, Server::ChangedKeepTyped},
                                           Case{Road::ReopenedAtStart, Server::ChangedTakeTheFile}),
                         [](const auto &info) { return nameOf(info.param); });
