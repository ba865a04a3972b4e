// Two files of one name on two servers, each edited in the whole application against real servers
// (pyftpdlib A and B, OpenSSH's sshd): no server ever gets another's file, nothing pending is lost.
// - Phone: the last run left an unsaved edit of A's docs/edit-a.txt (its working copy named as an
//   earlier version named it) while A is down. Opening B's file of that name for editing, the
//   Saved Files copy replaced or kept, leaves A's copy and record alone, and so does closing B's
//   editor; the next "Edit File" shows A's text on A, and Save sends it to A.
// - Tablet: A's file over FTP in one tab, the SFTP server's file of that name in another, each
//   typed in, then the program stopped: each tab's record names a working copy of its own holding
//   its own text, and each reopens with it.
#include "tests/interop/editor/EditorPeers.h"
#include "tests/support/EditRecords.h"
#include "tests/support/SftpPeers.h"

#include "app/editor/EditFileView.h"
#include "app/editor/EditorScreens.h"
#include "app/foundation/EditOrigin.h"

#include <map>

using namespace platform;
using namespace platform::ui;

namespace {

class TwoServersTest : public EditorPeersTest {
protected:
  std::string setting(const std::string &key) {
    return UserDefaults::standard().stringForKey(key).value_or("");
  }
  // Into the folder "docs" listed on top, then `name` opened in the editor ("Edit"), answering
  // "Saved File Exists" with `answer` when it is asked.
  void editInDocs(const std::string &name, const std::string &answer = "") {
    ASSERT_TRUE(listed("docs")) << stack();
    ASSERT_TRUE(probe->tapRow("docs")) << probe->lastError();
    ASSERT_TRUE(listed(name)) << stack();
    ASSERT_TRUE(probe->tapRow(name)) << probe->lastError();
    ASSERT_TRUE(probe->tap("Edit")) << probe->lastError();
    if (answer.empty()) return;
    ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
    ASSERT_EQ(probe->pendingAlerts().back().title, "Saved File Exists");
    ASSERT_TRUE(probe->answerAlert(answer)) << probe->lastError();
  }
  // The tablet shows `n` file tabs beside its web tab (a file's tab comes once it has zoomed in).
  bool fileTabs(size_t n) {
    return waitFor(
        [&] { return delegate->tabBarControllerRight()->viewControllers().size() == n + 1; }, 10);
  }
};

class PendingEditTest : public TwoServersTest,
                        public ::testing::WithParamInterface<const char *> {};

} // namespace

TEST_P(PendingEditTest, SurvivesOpeningAnotherServersFileOfItsName) {
  const std::string answer = GetParam();
  const int portA = testsupport::freeTcpPort(); // A is down until the next start
  queuetest::QueuePeer b;
  ASSERT_TRUE(b.ready());
  holdNote(b.root(), "B's text\n", "edit-a.txt");
  // Downloads go to Saved Files as well, where a copy of that name already is: the question.
  UserDefaults::standard().setObject("1", kAutoSaveAllDownloadsKey);
  ASSERT_TRUE(testsupport::writeFile(Paths::documents() + "/Files/edit-a.txt", "saved before\n"));
  const std::string pending =
      testsupport::leaveEditRecord({address(portA), "joe", "secret", portA, "ftp", "/docs",
                                    "edit-a.txt", "A's text\nedited\n", "1"});
  // The start's "Edit File" found A down: the record stays, and this run asks no more.
  Connect::restoreDone = true;
  launch(DeviceProfile::iPhone());

  connectOverFtp(address(b.port()));
  waitForListing(b);
  editInDocs("edit-a.txt", answer);
  auto editorB = editorShowing("B's text\n");
  ASSERT_TRUE(editorB) << stack() << "\n" << testsupport::readFile(b.log());
  EXPECT_NE(editorB->editingFileAtPath, pending);
  EXPECT_EQ(testsupport::readFile(pending), "A's text\nedited\n");
  EXPECT_EQ(setting(kEditingFTPFile), pending);
  EXPECT_EQ(setting(kWasEditingServerNameKey), address(portA));
  EXPECT_EQ(testsupport::readFile(Paths::documents() + "/Files/edit-a.txt"),
            answer == "Keep File" ? "saved before\n" : "B's text\n");

  // B's file closed unchanged: only its own copy goes; A's record is not its to forget.
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return !onTop<EditFileView>(); }));
  EXPECT_FALSE(FileManager::fileExists(editorB->editingFileAtPath));
  EXPECT_EQ(testsupport::readFile(pending), "A's text\nedited\n");
  EXPECT_EQ(setting(kEditingFTPFile), pending);

  // The next start, A up again: "Edit File" shows A's text on A, and Save sends it there.
  queuetest::QueuePeer a("127.0.0.1", portA);
  ASSERT_TRUE(a.ready());
  holdNote(a.root(), "A's text\n", "edit-a.txt");
  for (int i = 0; i < 8 && nav()->topViewController() != connectScreen(); ++i)
    ASSERT_TRUE(probe->tapBack()) << probe->lastError() << "\n" << stack();
  Connect::restoreDone = false;
  connectScreen()->restoreEditState();
  ASSERT_FALSE(probe->pendingAlerts().empty());
  ASSERT_EQ(probe->pendingAlerts().back().title, "Continue Editing File?");
  ASSERT_TRUE(probe->answerAlert("Edit File")) << probe->lastError();
  auto editorA = editorShowing("A's text\nedited\n");
  ASSERT_TRUE(editorA) << stack() << "\n" << testsupport::readFile(a.log());
  ASSERT_TRUE(editorA->theConnection);
  EXPECT_EQ(editorA->theConnection->currentPort(), portA);
  ASSERT_TRUE(waitFor([&] { return a.count("LIST") + a.count("MLSD") > 0; }));
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  EXPECT_TRUE(waitFor([&] {
    return testsupport::readFile(a.root() + "/docs/edit-a.txt") == "A's text\nedited\n";
  })) << testsupport::readFile(a.log());
  EXPECT_EQ(testsupport::readFile(b.root() + "/docs/edit-a.txt"), "B's text\n");
  for (const char *command : {"STOR", "APPE", "RNFR", "DELE"})
    EXPECT_EQ(b.count(command), 0u) << command << "\n" << testsupport::readFile(b.log());
}

INSTANTIATE_TEST_SUITE_P(SavedFileExists, PendingEditTest,
                         ::testing::Values("Replace", "Keep File"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                           return std::string(info.param[0] == 'R' ? "Replace" : "KeepFile");
                         });

TEST_F(TwoServersTest, TwoTabsOfOneNameKeepACopyEachAndReopenWithTheirOwnText) {
  ASSERT_TRUE(testsupport::ensureSftpUser());
  testsupport::TempDir served("ferrowen-two-sftp");
  ::chmod(served.path().c_str(), 0777);
  holdNote(served.path(), "S's text\n", "edit-a.txt");
  auto sshd = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  queuetest::QueuePeer a;
  ASSERT_TRUE(a.ready());
  holdNote(a.root(), "A's text\n", "edit-a.txt");
  Connect::restoreDone = true;
  launch(DeviceProfile::iPad());

  connectOverFtp(address(a.port()));
  waitForListing(a);
  editInDocs("edit-a.txt");
  ASSERT_TRUE(editorShowing("A's text\n")) << stack();
  ASSERT_TRUE(fileTabs(1));
  ASSERT_TRUE(probe->type("File Text", "ftp line\n")) << probe->lastError();
  connectTo("sftp://" + address(sshd->port()) + served.path(), testsupport::kSftpUser,
            testsupport::kSftpPass, 2);
  editInDocs("edit-a.txt");
  ASSERT_TRUE(editorShowing("S's text\n")) << stack() << "\n" << sshd->log();
  ASSERT_TRUE(fileTabs(2));
  ASSERT_TRUE(probe->type("File Text", "sftp line\n")) << probe->lastError();
  Application::shared().terminate(); // as at SIGTERM: every tab records itself

  // Two used slots, each naming a copy of its own that holds its own text.
  std::map<std::string, std::string> copies; // protocol -> working file
  for (int slot = 0; slot < 2; ++slot) {
    ASSERT_EQ(setting(keyIndexIsUsed(slot)), "1") << slot;
    auto origin = storedEditOrigin([&](const char *key) { return setting(keyForTab(slot, key)); });
    ASSERT_TRUE(origin) << testsupport::editRecordNow(slot);
    copies[origin->protocol] = setting(keyForTab(slot, kEditingFTPFile));
    EXPECT_EQ(origin->port, origin->protocol == "sftp" ? sshd->port() : a.port());
  }
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_NE(copies["ftp"], copies["sftp"]);
  EXPECT_EQ(testsupport::readFile(copies["ftp"]), "ftp line\nA's text\n");
  EXPECT_EQ(testsupport::readFile(copies["sftp"]), "sftp line\nS's text\n");
  // As the next start's "Edit File(s)" opens them: each with its own text and server.
  std::map<std::string, std::string> reopened;
  restoreEditFiles([&](std::shared_ptr<EditFileView> editor, const std::string &) {
    editor->view();
    reopened[editor->serverProtocol] = editor->theText->text();
  });
  EXPECT_EQ(reopened["ftp"], "ftp line\nA's text\n");
  EXPECT_EQ(reopened["sftp"], "sftp line\nS's text\n");
}
