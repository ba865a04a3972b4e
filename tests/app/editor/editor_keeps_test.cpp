// What the editor keeps, and where, until the person saves or discards: the file keeps what it
// held and the text typed is kept beside it (in a working copy of the editor's own for a file of
// Saved Files, in its download for a server's file, in UTF-8 when the file's encoding cannot hold
// it), through every road that writes the edit state and through a stop of the program; a save
// whose write fails keeps the editor open with its text and says which file and why; an encoding
// change never throws typed text away; and the editor and the viewer hide the status bar when the
// setting says so.
#include "tests/app/editor/EditorFixture.h"
#include "tests/support/EditRecords.h"
#include "tests/support/Peers.h"
#include "tests/support/ReportingSftp.h"
#include "tests/support/SmallDisk.h"

#include "app/editor/EditorScreens.h"
#include "app/foundation/EditOrigin.h"
#include "app/foundation/PlatformExtensions.h"

#include "platform/device/Application.h"
#include "tests/support/TimeScale.h"

#include <optional>

#include <unistd.h>

using namespace platform;
using namespace platform::ui;

namespace {

const std::string kOriginal = "first line\n";
const std::string kTyped = "typed first line\n";

class EditorKeepsTest : public EditorTest {
protected:
  void TearDown() override {
    DeviceProfile::setCurrent(DeviceProfile::iPhone());
    EditorTest::TearDown();
  }
  // The record of this device's editor: the plain one on the phone, the tab's slot on the tablet.
  static std::optional<int> slotOf(const std::shared_ptr<EditFileView> &e) {
    return Hardware::isiPad() ? std::optional<int>(e->tabIndex) : std::nullopt;
  }
  // Closes whatever a road left open over the editor (a pushed chooser, a modal panel, a popover).
  void backToEditor(const std::shared_ptr<EditFileView> &e) {
    while (!window->popovers().empty())
      window->popovers().front()->dismissPopoverAnimated(false);
    if (e->modalViewController()) e->dismissModalViewControllerAnimated(false);
    if (probe->topViewController() != e) {
      ASSERT_TRUE(probe->tapBack()) << probe->lastError();
    }
    RunLoop::main()->runPending();
  }
  // A server's file as a download opened for editing on the phone's SFTP connection; its Saved
  // Files copy when `savedCopy` is given.
  std::shared_ptr<EditFileView> openDownload(const std::string &bytes,
                                             const std::string &savedCopy = {}) {
    sftp->setUsername("joe");
    const std::string path = Paths::tmp() + "/notes.txt";
    testsupport::writeFile(path, bytes);
    auto editor = EditFileView::initWithFile(path);
    editor->setTextFileName("notes.txt");
    editor->setSftpConnection(sftp);
    editor->setDirectoryOfTheFile("/home/joe");
    if (!savedCopy.empty()) {
      testsupport::writeFile(savedCopy, bytes);
      editor->setEditingSavedFilePath(savedCopy);
    }
    nav->pushViewController(editor, false);
    RunLoop::main()->runPending();
    return editor;
  }
  void typeText(const std::string &s) {
    ASSERT_TRUE(probe->type("File Text", s)) << probe->lastError();
  }
  void toggleKeyboard() {
    ASSERT_TRUE(probe->tap("Keyboard")) << probe->lastError();
    ASSERT_TRUE(probe->tap("Keyboard")) << probe->lastError();
  }
  void chooseEncoding(const char *title) {
    ASSERT_TRUE(probe->tap("Char")) << probe->lastError();
    ASSERT_TRUE(probe->tapRow(title)) << probe->lastError();
    if (!Hardware::isiPad()) {
      ASSERT_TRUE(probe->tapBack()) << probe->lastError();
    }
    RunLoop::main()->runPending();
  }
  // Save, confirmed when the file goes back to a server.
  void save(bool remote) {
    ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
    if (remote) {
      ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
    }
    RunLoop::main()->runPending();
  }
  bool editorShown(const std::shared_ptr<EditFileView> &e) {
    return Hardware::isiPad() ? services->closedTabs.empty() : probe->topViewController() == e;
  }
  // The program stopped and started again: the settings come back from their file, beside the
  // defaults the start registers.
  static void restart() {
    UserDefaults::resetStandard();
    RegisterDefaultSettings();
  }

  std::shared_ptr<testsupport::ReportingSftp> sftp = std::make_shared<testsupport::ReportingSftp>();
};

// --- A file of Saved Files keeps what it held --------------------------------------------------

enum class Road { GoTo, Find, Chooser, Keyboard, PageAway };
struct RoadCase {
  const char *what;
  Road road;
  bool pad;
  bool thenSave; // else Discard
};
void PrintTo(const RoadCase &c, std::ostream *out) {
  *out << c.what << (c.pad ? " (tablet)" : " (phone)");
}

class EditorRoadTest : public EditorKeepsTest, public ::testing::WithParamInterface<RoadCase> {
protected:
  void take(Road road, const std::shared_ptr<EditFileView> &e) {
    switch (road) {
    case Road::GoTo:
      ASSERT_TRUE(probe->tap("GoTo")) << probe->lastError();
      break;
    case Road::Find:
      ASSERT_TRUE(probe->tap("Find")) << probe->lastError();
      break;
    case Road::Chooser:
      ASSERT_TRUE(probe->tap("Char")) << probe->lastError();
      break;
    case Road::Keyboard:
      toggleKeyboard();
      break;
    case Road::PageAway:
      e->applicationTerminating();
      break;
    }
    backToEditor(e);
  }
};

} // namespace

// Every road that writes the edit state leaves the file as it was and keeps the typed text beside
// it; after a stop of the program the text is offered again, and Discard leaves the file whole
// (Save writes it, and nothing of the edit is left).
TEST_P(EditorRoadTest, TheFileKeepsWhatItHeldUntilSaveOrDiscard) {
  const RoadCase &c = GetParam();
  if (c.pad) DeviceProfile::setCurrent(DeviceProfile::iPad());
  const std::string path = write("notes.txt", kOriginal);
  auto editor = open(path);
  typeText("typed ");
  take(c.road, editor);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(testsupport::readFile(path), kOriginal) << "the file itself took the unsaved text";
  const auto slot = slotOf(editor);
  auto kept = EditState::recorded(slot);
  ASSERT_TRUE(kept) << "no record of the typed text";
  EXPECT_EQ(kept->savedFile, path);
  EXPECT_NE(kept->workingFile, path);
  EXPECT_EQ(testsupport::readFile(kept->workingFile), kTyped);

  // Killed here; the next start offers the typed text on the file.
  restart();
  auto again = editKeptDeviceFile(slot);
  ASSERT_TRUE(again);
  nav->pushViewController(again, false);
  RunLoop::main()->runPending();
  EXPECT_EQ(text(again), kTyped);
  EXPECT_EQ(testsupport::readFile(path), kOriginal);
  if (c.thenSave) {
    save(false);
    EXPECT_TRUE(probe->pendingAlerts().empty());
    EXPECT_EQ(testsupport::readFile(path), kTyped);
  } else {
    ASSERT_TRUE(probe->tap(c.pad ? "Close File" : "Cancel")) << probe->lastError();
    EXPECT_EQ(answer("Yes, Discard"),
              "Cancel Editing?: Cancel editing the file and discard all changes?");
    EXPECT_EQ(testsupport::readFile(path), kOriginal);
  }
  EXPECT_FALSE(FileManager::fileExists(kept->workingFile));
  EXPECT_EQ(testsupport::editRecordNow(slot), "");
}

INSTANTIATE_TEST_SUITE_P(
    Roads, EditorRoadTest,
    ::testing::Values(RoadCase{"Go To opened", Road::GoTo, false, false},
                      RoadCase{"Go To opened", Road::GoTo, true, true},
                      RoadCase{"Find opened", Road::Find, false, true},
                      RoadCase{"Find opened", Road::Find, true, false},
                      RoadCase{"the encoding chooser opened", Road::Chooser, false, false},
                      RoadCase{"the encoding chooser opened", Road::Chooser, true, false},
                      RoadCase{"the keyboard shown and hidden", Road::Keyboard, false, true},
                      RoadCase{"the page gone away", Road::PageAway, false, false},
                      RoadCase{"the page gone away", Road::PageAway, true, true}));

// Nothing typed, or typed and erased again: nothing is kept, and nothing is offered again.
TEST_F(EditorKeepsTest, AnUntouchedFileKeepsNoRecord) {
  const std::string path = write("notes.txt", kOriginal);
  auto editor = open(path);
  editor->applicationTerminating();
  EXPECT_EQ(testsupport::editRecordNow(), "");
  typeText("x");
  editor->applicationTerminating();
  auto kept = EditState::recorded(std::nullopt);
  ASSERT_TRUE(kept);
  ASSERT_TRUE(probe->backspace("File Text", 1)) << probe->lastError();
  editor->applicationTerminating();
  EXPECT_EQ(testsupport::editRecordNow(), "");
  EXPECT_FALSE(FileManager::fileExists(kept->workingFile));
  EXPECT_EQ(testsupport::readFile(path), kOriginal);
}

// A server's file: its Saved Files copy holds what was downloaded until Save, whatever wrote the
// edit state, and Discard (after a stop of the program too) leaves it so.
TEST_F(EditorKeepsTest, ASavedFilesCopyHoldsWhatWasDownloadedUntilSave) {
  const std::string copy = files + "/notes.txt";
  auto editor = openDownload(kOriginal, copy);
  typeText("typed ");
  editor->applicationTerminating();
  toggleKeyboard();
  EXPECT_EQ(testsupport::readFile(copy), kOriginal);
  EXPECT_EQ(testsupport::readFile(editor->editingFileAtPath), kTyped);

  restart();
  auto again = editPreviouslySavedFile(sftp);
  ASSERT_TRUE(again);
  nav->pushViewController(again, false);
  RunLoop::main()->runPending();
  EXPECT_EQ(text(again), kTyped);
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  answer("Yes, Discard");
  EXPECT_EQ(testsupport::readFile(copy), kOriginal);
  EXPECT_EQ(testsupport::editRecordNow(), "");
}

// --- Encodings ---------------------------------------------------------------------------------

namespace {
struct EncodingCase {
  const char *what;
  bool remote;
  std::string typed;  // at the start of "caf\xE9\n" (Latin 1)
  std::string answer; // to "Change Encoding?" ("": not asked)
  std::string shown;  // the text afterwards
  uint32_t encoding;  // in force afterwards
  std::string saved;  // the bytes Save writes (a file of Saved Files), or "" when Save asks
};
void PrintTo(const EncodingCase &c, std::ostream *out) {
  *out << c.what;
}
class EditorEncodingChangeTest : public EditorKeepsTest,
                                 public ::testing::WithParamInterface<EncodingCase> {};
} // namespace

// A Latin 1 file with typed text read again as WinLatin 1: what the old encoding holds is read
// again with the file; what it cannot hold is never thrown away: asked first, the text stays as it
// is ("Keep Text", in the new encoding) or nothing changes ("Cancel"). Either way the editor still
// counts as changed.
TEST_P(EditorEncodingChangeTest, TypedTextIsNeverThrownAway) {
  const EncodingCase &c = GetParam();
  const std::string original = "caf\xE9\n";
  auto editor = c.remote ? openDownload(original) : open(write("menu.txt", original));
  ASSERT_EQ(editor->useEncoding, editor::kEncodingLatin1);
  typeText(c.typed);
  chooseEncoding("WinLatin 1 (Win-1252)");
  const auto alerts = probe->pendingAlerts();
  if (c.answer.empty()) {
    EXPECT_TRUE(alerts.empty()) << alerts.back().title;
  } else {
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts.back().title + ": " + alerts.back().message,
              "Change Encoding?: The text holds characters that \"Latin 1 (ISO-8859-1)\" cannot "
              "hold, so the file cannot be read again in \"WinLatin 1 (Win-1252)\". Keep the text "
              "as it is, in \"WinLatin 1 (Win-1252)\"?");
    ASSERT_TRUE(probe->answerAlert(c.answer));
  }
  EXPECT_EQ(text(editor), c.shown);
  EXPECT_EQ(editor->useEncoding, c.encoding);
  EXPECT_TRUE(editor->textDiffers());
  if (!c.remote) {
    save(false);
    if (c.saved.empty()) {
      EXPECT_EQ(answer("Cancel").substr(0, 17), "Encoding Problem:");
      EXPECT_EQ(probe->topViewController(), editor);
    } else {
      EXPECT_EQ(testsupport::readFile(files + "/menu.txt"), c.saved);
    }
    return;
  }
  // Cancel asks before the typed text goes.
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  EXPECT_EQ(answer("No"), "Cancel Editing?: Cancel editing the file and discard all changes?");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditorEncodingChangeTest,
    ::testing::Values(
        EncodingCase{"text the old encoding holds is read again", false, "\xC3\xA9 ", "",
                     "\xC3\xA9 caf\xC3\xA9\n", 12, "\xE9 caf\xE9\n"},
        EncodingCase{"the same in a server's file", true, "\xC3\xA9 ", "", "\xC3\xA9 caf\xC3\xA9\n",
                     12, ""},
        EncodingCase{"text it cannot hold, kept in the new one", false, "\xE2\x82\xAC ",
                     "Keep Text", "\xE2\x82\xAC caf\xC3\xA9\n", 12, "\x80 caf\xE9\n"},
        EncodingCase{"text it cannot hold, kept in a server's file", true, "\xE2\x82\xAC ",
                     "Keep Text", "\xE2\x82\xAC caf\xC3\xA9\n", 12, ""},
        EncodingCase{"text it cannot hold, the change cancelled", false, "\xE2\x82\xAC ", "Cancel",
                     "\xE2\x82\xAC caf\xC3\xA9\n", 5, ""}));

// A text the file's encoding cannot hold is kept all the same (in UTF-8, the record says so) when
// the page goes away and the program is stopped; the next start offers it, in the file's
// encoding, so that Save asks what to do about it.
TEST_F(EditorKeepsTest, TextTheEncodingCannotHoldOutlivesAStop) {
  for (const bool remote : {false, true}) {
    SCOPED_TRACE(remote ? "a server's file" : "a file of Saved Files");
    const std::string original = "caf\xE9\n";
    const std::string path = files + "/menu.txt";
    auto editor = remote ? openDownload(original) : open(write("menu.txt", original));
    typeText("\xE2\x82\xAC ");
    editor->applicationTerminating();
    auto kept = EditState::recorded(std::nullopt);
    ASSERT_TRUE(kept);
    EXPECT_EQ(testsupport::readFile(kept->workingFile), "\xE2\x82\xAC caf\xC3\xA9\n");
    EXPECT_EQ(get(kWasEditingTextInUTF8Key), "1");

    restart();
    auto again = remote ? editPreviouslySavedFile(sftp) : editKeptDeviceFile();
    ASSERT_TRUE(again);
    nav->pushViewController(again, false);
    RunLoop::main()->runPending();
    EXPECT_EQ(text(again), "\xE2\x82\xAC caf\xC3\xA9\n");
    EXPECT_EQ(again->useEncoding, editor::kEncodingLatin1);
    save(remote);
    EXPECT_EQ(answer("Unicode (UTF-8)").substr(0, 17), "Encoding Problem:");
    if (!remote) {
      EXPECT_EQ(testsupport::readFile(path), "\xE2\x82\xAC caf\xC3\xA9\n");
    } else {
      EXPECT_TRUE(RunLoop::main()->runUntil([&] { return sftp->uploads == 1; },
                                            testsupport::scaled(seconds(10))));
    }
    nav->popToRootViewControllerAnimated(false);
    RunLoop::main()->runPending();
  }
}

// --- A write that fails ------------------------------------------------------------------------

namespace {
enum class Full { SavedFiles, Temporary, Cloud };
struct FailCase {
  const char *what;
  bool pad;
  bool remote;
  bool savedCopy; // a server's file with a Saved Files copy
  Full full;      // the disk that is full
  std::string told;
};
void PrintTo(const FailCase &c, std::ostream *out) {
  *out << c.what;
}
class EditorFullDiskTest : public EditorKeepsTest,
                           public ::testing::WithParamInterface<FailCase> {};
} // namespace

// A save that cannot be written: the editor stays open with its text and says which file and the
// system's reason; nothing is sent back and the file keeps what it held. Once there is room again,
// Save saves.
TEST_P(EditorFullDiskTest, ASaveThatCannotBeWrittenKeepsTheEditorAndItsText) {
  const FailCase &c = GetParam();
  REQUIRE_MACHINE(::geteuid() == 0, "mounting a small disk needs root");
  if (c.pad) DeviceProfile::setCurrent(DeviceProfile::iPad());
  const std::string folder = c.full == Full::SavedFiles ? files
                             : c.full == Full::Cloud    ? Paths::home() + "/Cloud"
                                                        : Paths::tmp();
  testsupport::SmallDisk disk(folder, 2 << 20);
  REQUIRE_MACHINE(disk.mounted(), "no small disk: " << disk.error());
  if (c.full == Full::Cloud) services->cloudFolder = folder;
  const std::string local = (c.full == Full::Cloud ? folder : files) + "/notes.txt";
  if (!c.remote) testsupport::writeFile(local, kOriginal);
  auto editor = c.remote ? openDownload(kOriginal, c.savedCopy ? local : "") : open(local);
  typeText("typed ");
  ASSERT_TRUE(disk.fill());
  save(c.remote);
  const auto alerts = probe->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u) << "the editor closed without a word";
  const std::string written = c.full == Full::Temporary ? Paths::tmp() + "/notes.txt" : local;
  EXPECT_EQ(alerts.back().title + ": " + alerts.back().message,
            "File Not Saved: \"notes.txt\" " + c.told + ": Cannot write \"" + written +
                "\": No space left on device. The text stays in the editor.");
  ASSERT_TRUE(probe->answerAlert("OK"));
  EXPECT_TRUE(editorShown(editor));
  EXPECT_EQ(text(editor), kTyped);
  EXPECT_EQ(sftp->uploads, 0) << "sent back all the same";
  if (!c.remote || c.savedCopy) {
    EXPECT_EQ(testsupport::readFile(local), kOriginal);
  }

  disk.unfill();
  save(c.remote);
  EXPECT_TRUE(probe->pendingAlerts().empty());
  EXPECT_FALSE(editorShown(editor));
  if (!c.remote || c.savedCopy) {
    EXPECT_EQ(testsupport::readFile(local), kTyped);
  }
  if (c.remote && !c.pad) {
    EXPECT_TRUE(RunLoop::main()->runUntil([&] { return sftp->uploads == 1; },
                                          testsupport::scaled(seconds(10))));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditorFullDiskTest,
    ::testing::Values(FailCase{"a file of Saved Files (phone)", false, false, false,
                               Full::SavedFiles, "could not be saved"},
                      FailCase{"a file of Saved Files (tablet)", true, false, false,
                               Full::SavedFiles, "could not be saved"},
                      FailCase{"a server's file sent back over SFTP (phone)", false, true, false,
                               Full::Temporary, "was not sent back to the server"},
                      FailCase{"a server's file sent back through the queue (tablet)", true, true,
                               false, Full::Temporary, "was not sent back to the server"},
                      FailCase{"a server's file whose Saved Files copy cannot be written", false,
                               true, true, Full::SavedFiles, "was not sent back to the server"},
                      FailCase{"a file of the cloud container (phone)", false, false, false,
                               Full::Cloud, "could not be saved"}));

// The edit state that cannot be written is told, once until it can be written again.
TEST_F(EditorKeepsTest, AnEditStateThatCannotBeWrittenIsToldOnce) {
  REQUIRE_MACHINE(::geteuid() == 0, "mounting a small disk needs root");
  testsupport::SmallDisk disk(Paths::tmp(), 2 << 20);
  REQUIRE_MACHINE(disk.mounted(), "no small disk: " << disk.error());
  auto editor = openDownload(kOriginal);
  typeText("typed ");
  ASSERT_TRUE(disk.fill());
  auto keyboard = [&] { ASSERT_TRUE(probe->tap("Keyboard")) << probe->lastError(); };
  keyboard();
  EXPECT_EQ(answer("OK"), "Changes Not Kept: What was typed in \"notes.txt\" could not be kept on "
                          "disk: Cannot write \"" +
                              Paths::tmp() +
                              "/notes.txt\": No space left on device. It stays in the editor "
                              "while the editor is open.");
  keyboard();
  EXPECT_TRUE(probe->pendingAlerts().empty()) << "told again";
  disk.unfill();
  keyboard();
  EXPECT_TRUE(probe->pendingAlerts().empty());
  EXPECT_EQ(testsupport::readFile(editor->editingFileAtPath), kTyped);
  ASSERT_TRUE(disk.fill());
  typeText("more ");
  keyboard();
  EXPECT_EQ(answer("OK").substr(0, 17), "Changes Not Kept:");
}

// --- The status bar ----------------------------------------------------------------------------

namespace {
struct StatusCase {
  const char *what;
  bool viewer;
  std::string setting;
  bool hiddenBefore;
  bool hiddenShown; // while the screen is in view
};
void PrintTo(const StatusCase &c, std::ostream *out) {
  *out << c.what;
}
class EditorStatusBarTest : public EditorKeepsTest,
                            public ::testing::WithParamInterface<StatusCase> {};
} // namespace

// "EditHideStatus" set: the editor and the viewer hide the status bar while they are in view, and
// leave it as it was when they go.
TEST_P(EditorStatusBarTest, EditHideStatusHidesTheStatusBarWhileInView) {
  const StatusCase &c = GetParam();
  auto &app = Application::shared();
  set(kEditorHideStatusKey, c.setting);
  app.setStatusBarHidden(c.hiddenBefore);
  const std::string path = write(c.viewer ? "page.html" : "notes.txt", "<p>text</p>");
  std::shared_ptr<ViewController> screen;
  if (c.viewer)
    screen = WebDocumentViewController::initWithNibName("WebDocumentView", "page.html", path);
  else
    screen = open(path);
  if (c.viewer) nav->pushViewController(screen, false);
  RunLoop::main()->runPending();
  EXPECT_EQ(app.isStatusBarHidden(), c.hiddenShown);
  nav->popToRootViewControllerAnimated(false);
  RunLoop::main()->runPending();
  EXPECT_EQ(app.isStatusBarHidden(), c.hiddenBefore);
  app.setStatusBarHidden(false);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditorStatusBarTest,
    ::testing::Values(StatusCase{"editor, set", false, "1", false, true},
                      StatusCase{"editor, set, hidden before", false, "1", true, true},
                      StatusCase{"editor, not set", false, "0", false, false},
                      StatusCase{"editor, not set, hidden before", false, "", true, true},
                      StatusCase{"viewer, set", true, "1", false, true},
                      StatusCase{"viewer, not set", true, "0", false, false}));
