// The edit state the launched application keeps of its open editors: when it resigns or is
// stopped every open editor writes its text and its record (a file tab of the tablet, one on top
// of a tab of the phone), and a file-tab slot that no open editor holds keeps no record (its tab
// closed, or its file was not reopened).
#include "AppFixture.h"
#include "tests/support/EditRecords.h"

#include "app/editor/EditFileView.h"
#include "app/editor/EditorScreens.h"
#include "app/remote/Connect.h"
#include "app/shell/ShellConnect.h"

using namespace platform;
using namespace platform::ui;

namespace {

class EditorStateTest : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    set("TutorialPrompt", "1"); // not a first start
  }
  // An editor on a remote file's working copy, as a download for editing makes it.
  std::shared_ptr<EditFileView> editorOn(const std::string &name, const std::string &text) {
    const std::string path = Paths::tmp() + "/" + name;
    testsupport::writeFile(path, text);
    set(kServerNameKey, "ftp.example.test");
    set(kUserNameKey, "joe");
    set(kUserPassKey, myEncryptString1("secret"));
    auto editor = EditFileView::initWithFile(path);
    editor->setTextFileName(name);
    editor->setDirectoryOfTheFile("/pub");
    editor->setEditingSavedFile(false);
    editor->serverPort = 21;
    editor->serverProtocol = "ftp";
    return editor;
  }
  std::string get(const std::string &key) {
    return UserDefaults::standard().stringForKey(key).value_or("");
  }
};

enum class Place { TabletFileTab, PhoneFtpTab };
enum class Event { Resign, Terminate };

struct KeptCase {
  const char *what;
  Place place;
  Event event;
};
void PrintTo(const KeptCase &c, std::ostream *out) {
  *out << c.what;
}

class EditorKeptTest : public EditorStateTest, public ::testing::WithParamInterface<KeptCase> {};

} // namespace

TEST_P(EditorKeptTest, TypedTextAndItsRecordAreKept) {
  const KeptCase &c = GetParam();
  const bool pad = c.place == Place::TabletFileTab;
  boot(pad ? DeviceProfile::iPad() : DeviceProfile::iPhone());
  auto editor = editorOn("note.txt", "old line\n");
  if (pad) {
    delegate->showFtpFileTab(editor, "note.txt", false);
    delegate->fixTabIndexes();
  } else {
    delegate->navigationController()->pushViewController(editor, false);
  }
  advance(0.1);
  ASSERT_TRUE(probe->type("File Text", "typed ")) << probe->lastError();
  if (c.event == Event::Resign)
    Application::shared().resignActive();
  else
    Application::shared().terminate();
  EXPECT_EQ(testsupport::readFile(editor->editingFileAtPath), "typed old line\n") << c.what;
  // The record the next start reads: the slot of the file tab, or the plain keys.
  const auto slot = pad ? std::optional<int>(editor->tabIndex) : std::nullopt;
  const std::string record = testsupport::editRecordNow(slot);
  const std::string prefix = pad ? std::to_string(editor->tabIndex) + "-" : "";
  EXPECT_NE(record.find(prefix + "EditingFTPFile=" + editor->editingFileAtPath), std::string::npos)
      << c.what << "\n"
      << record;
  EXPECT_NE(record.find(prefix + "EditingChanged=1"), std::string::npos) << c.what << "\n"
                                                                         << record;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditorKeptTest,
    ::testing::Values(
        KeptCase{"tablet file tab, stopped", Place::TabletFileTab, Event::Terminate},
        KeptCase{"tablet file tab, resigned", Place::TabletFileTab, Event::Resign},
        KeptCase{"phone editor on the FTP tab, resigned", Place::PhoneFtpTab, Event::Resign},
        KeptCase{"phone editor on the FTP tab, stopped", Place::PhoneFtpTab, Event::Terminate}));

TEST_F(EditorStateTest, AClosedFileTabLeavesNoRecordBehind) {
  boot(DeviceProfile::iPad());
  auto first = editorOn("first.txt", "one\n");
  auto second = editorOn("second.txt", "two\n");
  delegate->showFtpFileTab(first, "first.txt", false);
  delegate->showFtpFileTab(second, "second.txt", false);
  delegate->fixTabIndexes();
  // Tabs in front of the web tab, the newest first, each with its record.
  ASSERT_EQ(second->tabIndex, 0);
  ASSERT_EQ(first->tabIndex, 1);
  ASSERT_NE(testsupport::editRecordNow(1).find("1-EditingFileName=first.txt"), std::string::npos);
  // The front tab closes (nothing changed: no question); the other one moves up.
  second->clickCancel();
  advance(1);
  EXPECT_EQ(first->tabIndex, 0);
  const std::string front = testsupport::editRecordNow(0);
  EXPECT_NE(front.find("0-EditingFileName=first.txt"), std::string::npos) << front;
  EXPECT_NE(front.find("0-IndexIsUsed=1"), std::string::npos) << front;
  EXPECT_EQ(testsupport::editRecordNow(1), "") << "the slot the moved tab left";
  // The last one closes too: no slot is offered again, and none names a file or a password.
  first->clickCancel();
  advance(1);
  for (int slot = 0; slot < 3; ++slot)
    EXPECT_EQ(testsupport::editRecordNow(slot), "") << slot;
}

TEST_F(EditorStateTest, ASlotWhoseFileIsNotReopenedKeepsNoRecord) {
  attachConnectScreen(delegate);
  Connect::restoreDone = false;
  set("TabIndexMax", "3");
  testsupport::leaveEditRecord(
      {"server0", "joe", "pw", 21, "ftp", "/pub", "kept.txt", "kept text", "1"}, 0);
  // An earlier version's record: it says not where its file came from, so it opens nowhere.
  testsupport::leaveEditRecord({"server2", "ann", "pw", 0, "", "/pub", "old.txt", "old text", ""},
                               2);
  boot(DeviceProfile::iPad());
  ASSERT_FALSE(probe->pendingAlerts().empty());
  ASSERT_TRUE(probe->answerAlert("Edit File(s)")) << probe->lastError();
  advance(0.5);
  ASSERT_FALSE(probe->pendingAlerts().empty());
  EXPECT_EQ(probe->pendingAlerts().back().title, "Cannot Reopen");
  ASSERT_TRUE(probe->answerAlert("OK")) << probe->lastError();
  // The reopened file's record is in its new slot; no slot names the file that did not open.
  std::string all;
  for (int slot = 0; slot < 3; ++slot)
    all += testsupport::editRecordNow(slot);
  EXPECT_NE(all.find("EditingFileName=kept.txt"), std::string::npos) << all;
  EXPECT_EQ(all.find("old.txt"), std::string::npos) << all;
  EXPECT_EQ(all.find("server2"), std::string::npos) << all;
}

// The queue clears the temporary folder when it finds its list empty: what an open editor, an open
// viewer or an image editor still shows stays; what nothing shows goes.
TEST_F(EditorStateTest, WhatIsOpenOutlivesTheQueuesClearing) {
  boot(DeviceProfile::iPhone());
  auto editor = editorOn("note.txt", "typed\n");
  const std::string shown = Paths::tmp() + "/origin/report.pdf", left = Paths::tmp() + "/left.txt";
  FileManager::createDirectory(Paths::tmp() + "/origin", true);
  testsupport::writeFile(shown, "%PDF-1.4");
  testsupport::writeFile(left, "nobody's");
  auto viewer = makeDocumentViewerScreen("report.pdf", shown);
  ASSERT_TRUE(delegate->batchView());
  ASSERT_TRUE(delegate->batchView()->batchItemList().empty());
  delegate->batchView()->doNextBatchItem();
  EXPECT_EQ(testsupport::readFile(editor->editingFileAtPath), "typed\n");
  EXPECT_EQ(testsupport::readFile(shown), "%PDF-1.4");
  EXPECT_FALSE(FileManager::fileExists(left));
  // Closed, they keep nothing: the next clearing takes their files.
  editor->clickCancel();
  viewer.reset();
  testsupport::writeFile(shown, "%PDF-1.4");
  delegate->batchView()->doNextBatchItem();
  EXPECT_FALSE(FileManager::fileExists(shown));
}

// iPhone: one edit record. An editor on a remote file that finds it holding another file's edits
// the server has not got asks before its own record takes that place: "Discard Changes" gives
// those edits up (their working copy goes, and this file's record follows its edits), "Edit File"
// closes this file and goes back to the other on its own server; stopped while it asks, the
// record stays the other file's. A record of no edits, or none at all, asks nothing.
namespace {

enum class Answer { None, Discard, EditFile };

struct PendingCase {
  const char *what;
  const char *changed; // the pending record's "EditingChanged" ("": an earlier version's)
  Answer answer;
  bool asked;
  bool recordStaysPending; // else it becomes the new file's once typed in
};
void PrintTo(const PendingCase &c, std::ostream *out) {
  *out << c.what;
}

class PendingEditTest : public EditorStateTest, public ::testing::WithParamInterface<PendingCase> {
protected:
  void SetUp() override {
    EditorStateTest::SetUp();
    attachConnectScreen(delegate);
    Connect::restoreDone = true; // this run's start is over
    set(kSavePasswordsKey, "1");
  }
};

} // namespace

TEST_P(PendingEditTest, APendingEditIsGivenUpOnlyWhenThePersonSaysSo) {
  const PendingCase &c = GetParam();
  boot(DeviceProfile::iPhone());
  auto root = delegate->navigationController()->viewControllers().front();
  ASSERT_TRUE(std::dynamic_pointer_cast<Connect>(root));
  // The connect screen goes no further than its fields: no connection leaves the test.
  std::dynamic_pointer_cast<Connect>(root)->hooks.reachable = [] { return false; };
  const std::string pending =
      testsupport::leaveEditRecord({"a.example.test", "ann", "pw", 2121, "ftp", "docs",
                                    "edit-a.txt", "typed on A\n", c.changed});
  auto editor = editorOn("b-edit-a.txt", "B's text\n");
  editor->setTextFileName("edit-a.txt");
  delegate->navigationController()->pushViewController(editor, false);
  advance(0.1);

  const auto alerts = probe->pendingAlerts();
  ASSERT_EQ(!alerts.empty(), c.asked) << c.what;
  if (c.asked) {
    EXPECT_EQ(alerts.back().title, "Continue Editing File?");
    EXPECT_EQ(alerts.back().message,
              "The changes to \"edit-a.txt\" have not been saved to a.example.test:2121. Editing "
              "this file gives them up.");
    EXPECT_EQ(alerts.back().buttons, (std::vector<std::string>{"Edit File", "Discard Changes"}));
  }
  if (c.answer != Answer::None) {
    ASSERT_TRUE(probe->answerAlert(c.answer == Answer::Discard ? "Discard Changes" : "Edit File"));
  }
  advance(0.5);
  if (c.answer != Answer::EditFile && probe->pendingAlerts().empty()) {
    ASSERT_TRUE(probe->type("File Text", "typed on B ")) << probe->lastError();
  }
  Application::shared().terminate();

  const std::string record = testsupport::editRecordNow();
  if (c.recordStaysPending) {
    EXPECT_NE(record.find("EditingFTPFile=" + pending), std::string::npos) << c.what << record;
    EXPECT_NE(record.find("EditingServerAddress=a.example.test"), std::string::npos) << record;
    EXPECT_EQ(testsupport::readFile(pending), "typed on A\n") << c.what;
  } else {
    EXPECT_NE(record.find("EditingFTPFile=" + editor->editingFileAtPath), std::string::npos)
        << c.what << record;
    EXPECT_NE(record.find("EditingChanged=1"), std::string::npos) << c.what << record;
  }
  if (c.answer == Answer::Discard) {
    EXPECT_FALSE(FileManager::fileExists(pending)) << c.what;
  }
  if (c.answer == Answer::EditFile) {
    // This file closed, and the connect screen is on its way to the record's server.
    auto connect =
        std::dynamic_pointer_cast<Connect>(delegate->navigationController()->topViewController());
    ASSERT_TRUE(connect) << c.what;
    EXPECT_EQ(connect->serverName->text(), "a.example.test");
    EXPECT_EQ(connect->loginUser->text(), "ann");
    EXPECT_FALSE(FileManager::fileExists(editor->editingFileAtPath));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PendingEditTest,
    ::testing::Values(PendingCase{"stopped while asked", "1", Answer::None, true, true},
                      PendingCase{"an earlier version's record, stopped while asked", "",
                                  Answer::None, true, true},
                      PendingCase{"Discard Changes", "1", Answer::Discard, true, false},
                      PendingCase{"Edit File", "1", Answer::EditFile, true, true},
                      PendingCase{"a record of no edits", "0", Answer::None, false, false}));
