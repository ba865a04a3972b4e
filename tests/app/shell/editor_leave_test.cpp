// The phone's tab tapped again while its editor is open: the tab goes back to its root screen,
// but the editor goes only as its Cancel lets it go. What was typed (in a server file or in a
// Saved Files file) is asked about first: "No" keeps the editor and the text, and a tap after
// that asks again; "Yes, Discard" closes it as Cancel does and the tab goes on to its root.
// Nothing typed: it closes at once, as Cancel does. An error answered that sends the FTP tab back
// (one screen, or to its root) asks nothing: the editor it takes away keeps what was typed in its
// working file and record, as its edit state does.
#include "AppFixture.h"
#include "tests/support/EditRecords.h"

#include "app/editor/EditFileView.h"
#include "app/ftp/FTPServices.h"

using namespace platform;
using namespace platform::ui;

namespace {

enum class Where { ServerFile, SavedFile };

struct LeaveCase {
  const char *what;
  Where where;
  bool typed;
  // The answers given, in order, each after a tap on the tab; the last one decides.
  std::vector<std::string> answers;
  bool closes;
};
void PrintTo(const LeaveCase &c, std::ostream *out) {
  *out << c.what;
}

class EditorLeaveBase : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    set("TutorialPrompt", "1"); // not a first start
    set(kSavePasswordsKey, "1");
  }
};

class EditorLeaveTest : public EditorLeaveBase, public ::testing::WithParamInterface<LeaveCase> {};
class FtpTabSentBackTest : public EditorLeaveBase, public ::testing::WithParamInterface<bool> {};

} // namespace

TEST_P(EditorLeaveTest, ATabTappedAgainAsksBeforeTheTypedTextGoes) {
  const LeaveCase &c = GetParam();
  boot(DeviceProfile::iPhone());
  const bool local = c.where == Where::SavedFile;
  const std::string path = local ? file("note.txt") : Paths::tmp() + "/note.txt";
  if (local)
    makeFile("note.txt", "old line\n");
  else
    ASSERT_TRUE(testsupport::writeFile(path, "old line\n"));
  set(kServerNameKey, "ftp.example.test");
  set(kUserNameKey, "joe");
  set(kUserPassKey, myEncryptString1("secret"));
  auto editor = EditFileView::initWithFile(path);
  ASSERT_TRUE(editor);
  editor->setTextFileName("note.txt");
  editor->setEditingSavedFile(local);
  if (!local) {
    editor->setDirectoryOfTheFile("/pub");
    editor->serverPort = 21;
    editor->serverProtocol = "ftp";
  }
  auto nav = local ? delegate->navigationControllerFiles() : delegate->navigationController();
  const std::string tab = local ? "Saved Files" : "FTP";
  ASSERT_TRUE(probe->tapTab(tab)) << probe->lastError();
  // A folder screen under the editor, as opening a file leaves one.
  nav->pushViewController(std::make_shared<ViewController>(), false);
  nav->pushViewController(editor, false);
  advance(0.1);
  if (c.typed) {
    ASSERT_TRUE(probe->type("File Text", "typed ")) << probe->lastError();
  }
  const std::string text = c.typed ? "typed old line\n" : "old line\n";

  for (size_t i = 0; i < c.answers.size(); ++i) {
    probe->tapTab(tab);
    advance(0.5);
    ASSERT_FALSE(probe->pendingAlerts().empty()) << c.what << ": tap " << i;
    EXPECT_EQ(probe->pendingAlerts().back().title, "Cancel Editing?") << c.what;
    // Asked: the editor is still there with its text.
    EXPECT_EQ(nav->topViewController(), editor) << c.what;
    EXPECT_EQ(editor->theText->text(), text) << c.what;
    ASSERT_TRUE(probe->answerAlert(c.answers[i])) << probe->lastError();
    advance(0.5);
  }
  if (c.answers.empty()) {
    ASSERT_TRUE(probe->tapTab(tab)) << probe->lastError();
    advance(0.5);
    EXPECT_TRUE(probe->pendingAlerts().empty()) << c.what << ": nothing to ask about";
  }

  if (c.closes) {
    // Closed as Cancel closes it, and the tab at its root.
    EXPECT_EQ(nav->viewControllers().size(), 1u) << c.what;
    EXPECT_FALSE(editor->fCurrentlyActive) << c.what;
    if (local)
      EXPECT_EQ(testsupport::readFile(path), "old line\n") << c.what;
    else
      EXPECT_FALSE(FileManager::fileExists(path)) << c.what << ": the working copy";
  } else {
    EXPECT_EQ(nav->topViewController(), editor) << c.what;
    EXPECT_EQ(editor->theText->text(), text) << c.what;
    EXPECT_TRUE(FileManager::fileExists(path)) << c.what;
    // Its own Cancel afterwards closes the editor only: the folder under it stays.
    editor->clickCancel();
    advance(0.5);
    ASSERT_TRUE(probe->answerAlert("Yes, Discard")) << probe->lastError();
    advance(0.5);
    EXPECT_EQ(nav->viewControllers().size(), 2u) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditorLeaveTest,
    ::testing::Values(
        LeaveCase{"server file typed, discarded", Where::ServerFile, true, {"Yes, Discard"}, true},
        LeaveCase{"server file typed, kept", Where::ServerFile, true, {"No"}, false},
        LeaveCase{"server file typed, kept, then discarded on the next tap",
                  Where::ServerFile,
                  true,
                  {"No", "Yes, Discard"},
                  true},
        LeaveCase{"server file not typed in", Where::ServerFile, false, {}, true},
        LeaveCase{
            "Saved Files file typed, discarded", Where::SavedFile, true, {"Yes, Discard"}, true},
        LeaveCase{
            "Saved Files file typed, kept twice", Where::SavedFile, true, {"No", "No"}, false},
        LeaveCase{"Saved Files file not typed in", Where::SavedFile, false, {}, true}));

TEST_P(FtpTabSentBackTest, TheEditorItTakesAwayKeepsTheTypedText) {
  const bool toRoot = GetParam();
  boot(DeviceProfile::iPhone());
  const std::string path = Paths::tmp() + "/note.txt";
  ASSERT_TRUE(testsupport::writeFile(path, "old line\n"));
  set(kServerNameKey, "ftp.example.test");
  set(kUserNameKey, "joe");
  set(kUserPassKey, myEncryptString1("secret"));
  auto editor = EditFileView::initWithFile(path);
  editor->setTextFileName("note.txt");
  editor->setDirectoryOfTheFile("/pub");
  editor->setEditingSavedFile(false);
  editor->serverPort = 21;
  editor->serverProtocol = "ftp";
  auto nav = delegate->navigationController();
  nav->pushViewController(std::make_shared<ViewController>(), false);
  nav->pushViewController(editor, false);
  advance(0.1);
  ASSERT_TRUE(probe->type("File Text", "typed ")) << probe->lastError();
  auto services = FTPAppServices::shared();
  ASSERT_TRUE(services);
  if (toRoot)
    services->popFtpTabToRoot(false);
  else
    services->popFtpTab(false);
  advance(0.5);
  EXPECT_NE(nav->topViewController(), editor);
  EXPECT_EQ(testsupport::readFile(path), "typed old line\n");
  const std::string record = testsupport::editRecordNow();
  EXPECT_NE(record.find(std::string(kEditingFTPFile) + "=" + path), std::string::npos) << record;
  EXPECT_NE(record.find("EditingChanged=1"), std::string::npos) << record;
}

INSTANTIATE_TEST_SUITE_P(OneScreenOrToTheRoot, FtpTabSentBackTest, ::testing::Bool());
