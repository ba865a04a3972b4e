// What the editor knows of the text it holds: Cancel asks once editing has begun
// in the text (a search shows the keyboard, which begins it) or a replace-all
// changed it, and before deleting a downloaded file's working copy that already
// held edits when it was loaded (last run's, or typed before an encoding
// reload); the edit state says whether the text differs from the file as it
// came, for the next start; and a file sent back over SFTP forgets its record
// only once the service reports it arrived.
#include "tests/app/editor/EditorFixture.h"
#include "tests/support/EditRecords.h"
#include "tests/support/ReportingSftp.h"

#include "app/editor/EditorScreens.h"
#include "tests/support/TimeScale.h"

using namespace platform;
using namespace platform::ui;
using testsupport::EditRecord;

namespace {

enum class Opened { Download, Reopened, Slot };
enum class Action {
  Nothing,
  FindNext,
  Keyboard,
  Type,
  TypeAndErase,
  ReplaceAll,
  TypeThenReload,
  Reload
};

struct CancelCase {
  const char *what;
  Opened opened;
  std::string changed; // the record's flag for a reopened file ("" : an earlier
                       // version's record)
  Action action;
  bool asks;
  bool recorded; // the edit state says the text differs from the file as it came
};
void PrintTo(const CancelCase &c, std::ostream *out) {
  *out << c.what;
}

class EditorUnsavedTest : public EditorTest, public ::testing::WithParamInterface<CancelCase> {
protected:
  std::shared_ptr<EditFileView> openAs(Opened how, const std::string &changed) {
    sftp->setUsername("joe");
    const EditRecord record{"sftp.example.test", "joe",       "pw",           22,     "sftp",
                            "/home/joe",         "draft.txt", "draft text\n", changed};
    if (how == Opened::Download) {
      const std::string path = Paths::tmp() + "/draft.txt";
      testsupport::writeFile(path, record.text);
      auto editor = EditFileView::initWithFile(path);
      editor->setTextFileName("draft.txt");
      editor->setSftpConnection(sftp);
      editor->setDirectoryOfTheFile("/home/joe");
      nav->pushViewController(editor, false);
      return editor;
    }
    if (how == Opened::Reopened) {
      testsupport::leaveEditRecord(record);
      auto editor = editPreviouslySavedFile(sftp);
      nav->pushViewController(editor, false);
      return editor;
    }
    testsupport::leaveEditRecord(record, 1);
    set("TabIndexMax", "2");
    std::shared_ptr<EditFileView> shown;
    restoreEditFiles([&](std::shared_ptr<EditFileView> e, const std::string &) { shown = e; });
    nav->pushViewController(shown, false);
    return shown;
  }
  void findPanel(const std::string &find, const std::string &replace, const char *button) {
    ASSERT_TRUE(probe->tap("Find")) << probe->lastError();
    ASSERT_TRUE(probe->type("Find Text", find)) << probe->lastError();
    if (!replace.empty()) {
      ASSERT_TRUE(probe->type("Replace With Text", replace)) << probe->lastError();
    }
    ASSERT_TRUE(probe->tap(button)) << probe->lastError();
    advance(seconds(0.6));
  }
  void reloadAs(const char *encoding) {
    ASSERT_TRUE(probe->tap("Char")) << probe->lastError();
    ASSERT_TRUE(probe->tapRow(encoding)) << probe->lastError();
    ASSERT_TRUE(probe->tapBack()) << probe->lastError();
  }
  void act(Action a) {
    switch (a) {
    case Action::Nothing:
      break;
    case Action::FindNext:
      findPanel("text", "", "Find Next");
      break;
    case Action::Keyboard:
      ASSERT_TRUE(probe->tap("Keyboard"));
      ASSERT_TRUE(probe->tap("Keyboard"));
      break;
    case Action::Type:
      ASSERT_TRUE(probe->type("File Text", "new ")) << probe->lastError();
      break;
    case Action::TypeAndErase:
      ASSERT_TRUE(probe->type("File Text", "x")) << probe->lastError();
      ASSERT_TRUE(probe->backspace("File Text", 1)) << probe->lastError();
      break;
    case Action::ReplaceAll:
      findPanel("draft", "final", "Replace All");
      break;
    case Action::TypeThenReload:
      ASSERT_TRUE(probe->type("File Text", "new ")) << probe->lastError();
      reloadAs("Latin 1 (ISO-8859-1)");
      break;
    case Action::Reload:
      reloadAs("Latin 1 (ISO-8859-1)");
      break;
    }
  }
  std::shared_ptr<testsupport::ReportingSftp> sftp = std::make_shared<testsupport::ReportingSftp>();
};

} // namespace

TEST_P(EditorUnsavedTest, CancelAsksBeforeEditsAreThrownAway) {
  const CancelCase &c = GetParam();
  if (c.opened == Opened::Slot) DeviceProfile::setCurrent(DeviceProfile::iPad());
  auto editor = openAs(c.opened, c.changed);
  ASSERT_TRUE(editor);
  act(c.action);
  ASSERT_FALSE(HasFatalFailure());
  // The edit state tells the next start the same.
  editor->saveEditState();
  const std::string flagKey = c.opened == Opened::Slot
                                  ? keyForTab(editor->tabIndex, kWasEditingChangedKey)
                                  : std::string(kWasEditingChangedKey);
  EXPECT_EQ(get(flagKey), c.recorded ? "1" : "0") << c.what;
  const std::string working = editor->editingFileAtPath;
  ASSERT_TRUE(probe->tap(c.opened == Opened::Slot ? "Close File" : "Cancel")) << probe->lastError();
  RunLoop::main()->runPending();
  const auto alerts = probe->pendingAlerts();
  if (c.asks) {
    ASSERT_EQ(alerts.size(), 1u) << c.what;
    EXPECT_EQ(alerts.back().title, "Cancel Editing?");
    // "No": the editor and its working file stay.
    ASSERT_TRUE(probe->answerAlert("No"));
    EXPECT_TRUE(FileManager::fileExists(working)) << c.what;
  } else {
    EXPECT_TRUE(alerts.empty()) << c.what << ": " << alerts.back().title;
    EXPECT_FALSE(FileManager::fileExists(working)) << c.what;
  }
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditorUnsavedTest,
    ::testing::Values(
        CancelCase{"opened, untouched", Opened::Download, "", Action::Nothing, false, false},
        CancelCase{"a search (it shows the keyboard)", Opened::Download, "", Action::FindNext, true,
                   false},
        CancelCase{"the keyboard shown and hidden", Opened::Download, "", Action::Keyboard, true,
                   false},
        CancelCase{"typed", Opened::Download, "", Action::Type, true, true},
        CancelCase{"typed and erased again", Opened::Download, "", Action::TypeAndErase, true,
                   false},
        CancelCase{"replaced all", Opened::Download, "", Action::ReplaceAll, true, true},
        CancelCase{"typed, then read in another encoding", Opened::Download, "",
                   Action::TypeThenReload, true, true},
        CancelCase{"read in another encoding only", Opened::Download, "", Action::Reload, false,
                   false},
        CancelCase{"reopened with edits", Opened::Reopened, "1", Action::Nothing, true, true},
        CancelCase{"reopened with edits, then a search", Opened::Reopened, "1", Action::FindNext,
                   true, true},
        CancelCase{"reopened without edits", Opened::Reopened, "0", Action::Nothing, false, false},
        CancelCase{"reopened without edits, then typed", Opened::Reopened, "0", Action::Type, true,
                   true},
        CancelCase{"reopened from a record that does not say", Opened::Reopened, "",
                   Action::Nothing, true, true},
        CancelCase{"a tab slot with edits", Opened::Slot, "1", Action::Nothing, true, true},
        CancelCase{"a tab slot without edits", Opened::Slot, "0", Action::Nothing, false, false}));

// iPhone: Save sends the file back over the SFTP connection from a thread of
// its own. Only the service's report that the file arrived ends the record (and
// the working file), as after an FTP save; every report still reaches the
// screen that listened, which then has the service back. A save that did not
// arrive and that no screen showed is told by an alert.
struct SendCase {
  const char *what;
  testsupport::ReportingSftp::Outcome outcome;
  bool otherRecordMeanwhile; // another file was recorded before the report came
  bool forgotten;
  std::vector<std::string> heard;
  bool listening = true; // a screen listens to the service
  std::string told = {}; // the alert that says the save did not arrive ("": none)
};
void PrintTo(const SendCase &c, std::ostream *out) {
  *out << c.what;
}

class EditorSftpSendTest : public EditorTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(EditorSftpSendTest, TheRecordEndsOnlyWhenTheFileArrived) {
  using Outcome = testsupport::ReportingSftp::Outcome;
  const SendCase &c = GetParam();
  auto sftp = std::make_shared<testsupport::ReportingSftp>();
  sftp->setUsername("joe");
  sftp->outcome = c.outcome;
  auto listener = std::make_shared<testsupport::SftpListener>();
  if (c.listening) sftp->setDelegate(listener);
  const std::string other = Paths::tmp() + "/other.txt";
  if (c.otherRecordMeanwhile)
    sftp->beforeReports = [other] { UserDefaults::standard().setObject(other, kEditingFTPFile); };
  const std::string path = Paths::tmp() + "/note.txt";
  testsupport::writeFile(path, "line\n");
  auto editor = EditFileView::initWithFile(path);
  editor->setTextFileName("note.txt");
  editor->setSftpConnection(sftp);
  editor->setDirectoryOfTheFile("/home/joe/docs");
  nav->pushViewController(editor, false);
  ASSERT_TRUE(probe->type("File Text", "typed ")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  // The upload's thread has run and every report has been delivered.
  const std::shared_ptr<SFTPWrapperDelegate> before =
      c.listening ? listener : std::shared_ptr<testsupport::SftpListener>();
  ASSERT_TRUE(
      RunLoop::main()->runUntil([&] { return sftp->uploads == 1 && sftp->delegate() == before; },
                                testsupport::scaled(seconds(10))));
  RunLoop::main()->runPending();
  const auto alerts = probe->pendingAlerts();
  if (c.told.empty()) {
    EXPECT_TRUE(alerts.empty()) << c.what << ": " << alerts.back().title;
  } else {
    ASSERT_EQ(alerts.size(), 1u) << c.what;
    EXPECT_EQ(alerts.back().title + ": " + alerts.back().message, c.told) << c.what;
    ASSERT_TRUE(probe->answerAlert("OK"));
  }
  EXPECT_EQ(sftp->uploadedTo(), "/home/joe/docs/note.txt");
  EXPECT_EQ(listener->heard, c.heard) << c.what;
  EXPECT_EQ(testsupport::editRecordNow().empty(), c.forgotten) << c.what << "\n"
                                                               << testsupport::editRecordNow();
  EXPECT_EQ(FileManager::fileExists(path), !c.forgotten) << c.what;
  // The numbered record the phone's edit state also writes is read by nothing there: it goes with
  // the editor, whatever became of the upload.
  EXPECT_EQ(testsupport::editRecordNow(editor->tabIndex), "") << c.what;
  if (c.outcome != Outcome::Arrives) {
    EXPECT_EQ(testsupport::readFile(path), "typed line\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditorSftpSendTest,
    ::testing::Values(SendCase{"arrived",
                               testsupport::ReportingSftp::Outcome::Arrives,
                               false,
                               true,
                               {"uploaded /home/joe/docs/note.txt", "refresh", "done"}},
                      SendCase{"failed",
                               testsupport::ReportingSftp::Outcome::Fails,
                               false,
                               false,
                               {"error Error Uploading File!", "done"}},
                      SendCase{"refused by a busy service",
                               testsupport::ReportingSftp::Outcome::Refused,
                               false,
                               false,
                               {},
                               true,
                               "File Not Saved: \"note.txt\" could not be sent back to the server. "
                               "The changes are kept: they are offered again at the next start."},
                      SendCase{"failed, with no screen to show it",
                               testsupport::ReportingSftp::Outcome::Fails,
                               false,
                               false,
                               {},
                               false,
                               "File Not Saved: \"note.txt\" could not be sent back to the server. "
                               "The changes are kept: they are offered again at the next start."},
                      SendCase{"arrived after another file was recorded",
                               testsupport::ReportingSftp::Outcome::Arrives,
                               true,
                               false,
                               {"uploaded /home/joe/docs/note.txt", "refresh", "done"}}));
