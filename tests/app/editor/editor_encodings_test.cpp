// An encoding chosen for a text that holds typed characters: the editor never goes blank and never
// takes the file on disk in place of what was typed; it asks once (phone and tablet), and the
// answer given is the one that counts. Also what a restart and an unwritable temporary folder do
// to the edit state: a reopened server file's Save updates its Saved Files copy, and a working
// copy that cannot be made says the system's reason.
#include "tests/app/editor/EditorFixture.h"
#include "tests/support/EditRecords.h"
#include "tests/support/Peers.h"
#include "tests/support/ReportingSftp.h"
#include "tests/support/SmallDisk.h"

#include "app/editor/EditorScreens.h"
#include "app/foundation/EditOrigin.h"
#include "app/foundation/PlatformExtensions.h"

#include <optional>

#include <unistd.h>

using namespace platform;
using namespace platform::ui;

namespace {

const std::string kUtf8File = "caf\xC3\xA9\n";
const std::string kLatin1File = "caf\xE9\n";

class EditorEncodingTest : public EditorTest {
protected:
  void TearDown() override {
    DeviceProfile::setCurrent(DeviceProfile::iPhone());
    EditorTest::TearDown();
  }
  // A file of Saved Files, or a server's file downloaded for editing over SFTP.
  std::shared_ptr<EditFileView> openKind(bool remote, const std::string &bytes) {
    if (!remote) return open(write("menu.txt", bytes));
    sftp->setUsername("joe");
    sftp->setServer("files.example");
    const std::string path = Paths::tmp() + "/menu.txt";
    testsupport::writeFile(path, bytes);
    auto editor = EditFileView::initWithFile(path);
    editor->setTextFileName("menu.txt");
    editor->setSftpConnection(sftp);
    editor->setDirectoryOfTheFile("/home/joe");
    nav->pushViewController(editor, false);
    RunLoop::main()->runPending();
    return editor;
  }
  void typeText(const std::string &s) {
    ASSERT_TRUE(probe->type("File Text", s)) << probe->lastError();
  }
  // One pick in the chooser, as each device makes it (the tablet's popover closes on the tap).
  void chooseEncoding(const std::string &title) {
    ASSERT_TRUE(probe->tap("Char")) << probe->lastError();
    ASSERT_TRUE(probe->tapRow(title)) << probe->lastError();
    if (!Hardware::isiPad()) {
      ASSERT_TRUE(probe->tapBack()) << probe->lastError();
    }
    RunLoop::main()->runPending();
  }
  // The questions the pick left open: their titles, each once.
  std::vector<std::string> questions() {
    RunLoop::main()->runPending();
    std::vector<std::string> out;
    for (auto &a : probe->pendingAlerts())
      out.push_back(a.title);
    return out;
  }
  // Opens and closes the chooser: the edit state is written again.
  void openChooserAgain() {
    ASSERT_TRUE(probe->tap("Char")) << probe->lastError();
    while (!window->popovers().empty())
      window->popovers().front()->dismissPopoverAnimated(false);
    if (!Hardware::isiPad()) {
      ASSERT_TRUE(probe->tapBack()) << probe->lastError();
    }
    RunLoop::main()->runPending();
  }
  // The text a record keeps, read as the next start reads it.
  static std::string keptText(const KeptEdit &kept) {
    const std::string bytes = testsupport::readFile(kept.workingFile);
    return editor::decodeFileAs(editor::Bytes(bytes.begin(), bytes.end()),
                                kept.textInUTF8 ? editor::kEncodingUTF8 : kept.encoding)
        .text;
  }
  static void restart() {
    UserDefaults::resetStandard();
    RegisterDefaultSettings();
  }
  std::shared_ptr<testsupport::ReportingSftp> sftp = std::make_shared<testsupport::ReportingSftp>();
};

struct BlankCase {
  const char *what;
  std::string file, typed; // typed at the start of the file's text
  const char *chosen;      // an encoding that cannot read the text's bytes
  const char *answer;      // to "Change Encoding?"
  const char *back;        // the file's own encoding, chosen afterwards
};
struct BlankRoad {
  BlankCase c;
  bool remote, pad;
};
void PrintTo(const BlankRoad &r, std::ostream *out) {
  *out << r.c.what << (r.remote ? ", a server's file" : ", a file of Saved Files")
       << (r.pad ? " (tablet)" : " (phone)");
}
class EditorBlankTest : public EditorEncodingTest,
                        public ::testing::WithParamInterface<BlankRoad> {};

std::vector<BlankRoad> blankRoads() {
  const BlankCase cases[] = {
      {"UTF-8, Keep Text", kUtf8File, "\xC3\xBC ", "ASCII", "Keep Text", "Unicode (UTF-8)"},
      {"UTF-8, Cancel", kUtf8File, "\xC3\xBC ", "ASCII", "Cancel", "Unicode (UTF-8)"},
      {"Latin 1, Keep Text", kLatin1File, "\xC3\xBC", "ASCII", "Keep Text", "Latin 1 (ISO-8859-1)"},
      {"Latin 1, Cancel", kLatin1File, "\xC3\xBC", "ASCII", "Cancel", "Latin 1 (ISO-8859-1)"},
      {"UTF-8 into UTF-16", kUtf8File, "\xC3\xBC ", "Unicode (UTF-16)", "Keep Text",
       "Unicode (UTF-8)"}};
  std::vector<BlankRoad> out;
  for (auto &c : cases)
    for (bool remote : {false, true})
      for (bool pad : {false, true})
        out.push_back({c, remote, pad});
  return out;
}

} // namespace

// The chosen encoding cannot read the text: asked once, the text stays on screen, the edit state
// written again still keeps it, and the file's own encoding chosen afterwards shows it again, not
// the file from disk.
TEST_P(EditorBlankTest, TypedTextOutlivesAnEncodingThatCannotShowIt) {
  const auto &[c, remote, pad] = GetParam();
  if (pad) DeviceProfile::setCurrent(DeviceProfile::iPad());
  auto editor = openKind(remote, c.file);
  const uint32_t before = editor->useEncoding;
  typeText(c.typed);
  const std::string typed = text(editor);
  chooseEncoding(c.chosen);
  ASSERT_EQ(questions(), std::vector<std::string>{"Change Encoding?"});
  EXPECT_EQ(answer(c.answer), std::string("Change Encoding?: The text cannot be read in \"") +
                                  c.chosen + "\": the editor would show nothing. Keep the text " +
                                  "as it is, in \"" + c.chosen + "\"?");
  EXPECT_EQ(text(editor), typed) << "the editor went blank";
  const bool kept = std::string(c.answer) == "Keep Text";
  EXPECT_EQ(editor->useEncoding == before, !kept) << "the answer given did not count";

  openChooserAgain();
  ASSERT_FALSE(HasFatalFailure());
  auto record = EditState::recorded(pad ? std::optional<int>(editor->tabIndex) : std::nullopt);
  ASSERT_TRUE(record) << "the record went";
  EXPECT_EQ(keptText(*record), typed) << "the working copy lost the typed text";

  chooseEncoding(c.back);
  if (!questions().empty()) answer("Keep Text");
  EXPECT_EQ(text(editor), typed) << "the file from disk took the typed text's place";
  EXPECT_TRUE(editor->textDiffers());
  if (!remote) {
    EXPECT_EQ(testsupport::readFile(files + "/menu.txt"), c.file);
  }
}

INSTANTIATE_TEST_SUITE_P(Roads, EditorBlankTest, ::testing::ValuesIn(blankRoads()));

// Every row of the chooser, on both kinds of file: a row that reads the text's bytes shows them
// (and the file's own encoding gives the typed text back exactly); one that cannot asks, and
// Cancel leaves everything as it was. Never a blank editor with text typed.
TEST_F(EditorEncodingTest, EveryRowOfTheChooserKeepsTypedText) {
  for (const bool remote : {false, true}) {
    for (const auto &row : editor::encodingRows()) {
      const std::string title = row.title;
      if (title == "Unicode (UTF-8)") continue;
      SCOPED_TRACE(title + (remote ? ", a server's file" : ", a file of Saved Files"));
      auto editor = openKind(remote, kUtf8File);
      ASSERT_EQ(editor->useEncoding, editor::kEncodingUTF8);
      typeText("\xC3\xBC ");
      const std::string typed = text(editor);
      chooseEncoding(title);
      if (!questions().empty()) {
        EXPECT_EQ(answer("Cancel").substr(0, 17), "Change Encoding?:");
        EXPECT_EQ(text(editor), typed);
        EXPECT_EQ(editor->useEncoding, editor::kEncodingUTF8);
      } else {
        EXPECT_FALSE(text(editor).empty()) << "blank";
        chooseEncoding("Unicode (UTF-8)");
        EXPECT_TRUE(questions().empty());
        EXPECT_EQ(text(editor), typed);
      }
      editor->doCancel(); // discarded: its record goes
      nav->popToRootViewControllerAnimated(false);
      RunLoop::main()->runPending();
    }
  }
}

// A file of the cloud container takes the same road: asked, and the typed text stays through the
// edit state's writes and back to UTF-8.
TEST_F(EditorEncodingTest, ACloudFileKeepsTypedTextToo) {
  services->cloudFolder = Paths::home() + "/Cloud";
  FileManager::createDirectory(services->cloudFolder, true);
  const std::string path = services->cloudFolder + "/menu.txt";
  testsupport::writeFile(path, kUtf8File);
  auto editor = open(path);
  ASSERT_EQ(text(editor), kUtf8File);
  typeText("\xC3\xBC ");
  chooseEncoding("ASCII");
  ASSERT_EQ(questions(), std::vector<std::string>{"Change Encoding?"});
  answer("Keep Text");
  openChooserAgain();
  EXPECT_EQ(text(editor), "\xC3\xBC " + kUtf8File);
  chooseEncoding("Unicode (UTF-8)");
  if (!questions().empty()) answer("Keep Text");
  EXPECT_EQ(text(editor), "\xC3\xBC " + kUtf8File);
  EXPECT_EQ(testsupport::readFile(path), kUtf8File);
  editor->doCancel(); // its presenter goes with it
  nav->popToRootViewControllerAnimated(false);
  RunLoop::main()->runPending();
}

// Nothing typed: an encoding that cannot read the file shows it blank, as the chooser warns, and
// asks nothing; the right one shows it again from the bytes the editor read.
TEST_F(EditorEncodingTest, AnUntouchedFileMayShowBlankAndComesBack) {
  auto editor = openKind(true, kUtf8File);
  chooseEncoding("ASCII");
  EXPECT_TRUE(questions().empty());
  EXPECT_EQ(text(editor), "");
  testsupport::writeFile(editor->editingFileAtPath, "changed on disk\n");
  chooseEncoding("Unicode (UTF-8)");
  EXPECT_EQ(text(editor), kUtf8File);
}

// The question that asks before Win-1252 on the tablet: one pick, one question, and each answer
// counts (Cancel keeps Latin 1, Keep Text takes Win-1252).
TEST_F(EditorEncodingTest, TheTabletAsksOncePerPick) {
  DeviceProfile::setCurrent(DeviceProfile::iPad());
  for (const char *answerGiven : {"Cancel", "Keep Text"}) {
    SCOPED_TRACE(answerGiven);
    auto editor = openKind(false, kLatin1File);
    typeText("\xE2\x82\xAC ");
    chooseEncoding("WinLatin 1 (Win-1252)");
    ASSERT_EQ(questions(), std::vector<std::string>{"Change Encoding?"});
    answer(answerGiven);
    EXPECT_TRUE(questions().empty()) << "asked again";
    EXPECT_EQ(editor->useEncoding, std::string(answerGiven) == "Cancel" ? editor::kEncodingLatin1
                                                                        : editor::kEncodingWin1252);
    EXPECT_EQ(text(editor), "\xE2\x82\xAC caf\xC3\xA9\n");
    editor->clickCancel();
    answer("Yes, Discard");
    nav->popToRootViewControllerAnimated(false);
    RunLoop::main()->runPending();
  }
}

// After a restart, Save of a reopened server file updates its Saved Files copy too, as a save in
// the same session does (phone: the plain record; tablet: the file tab reopened at the start).
TEST_F(EditorEncodingTest, AReopenedServerFileSavesIntoItsSavedFilesCopy) {
  for (const bool pad : {false, true}) {
    SCOPED_TRACE(pad ? "tablet" : "phone");
    DeviceProfile::setCurrent(pad ? DeviceProfile::iPad() : DeviceProfile::iPhone());
    set(kSavePasswordsKey, "1");
    const std::string copy = files + "/menu.txt";
    testsupport::writeFile(copy, kUtf8File);
    auto editor = openKind(true, kUtf8File);
    editor->setEditingSavedFilePath(copy);
    typeText("typed ");
    editor->applicationTerminating();
    nav->popToRootViewControllerAnimated(false);
    RunLoop::main()->runPending();
    editor.reset();

    restart();
    std::shared_ptr<EditFileView> again;
    if (pad) {
      set("TabIndexMax", "1");
      restoreEditFiles([&](std::shared_ptr<EditFileView> e, const std::string &) { again = e; });
    } else {
      again = editPreviouslySavedFile(sftp);
    }
    ASSERT_TRUE(again);
    nav->pushViewController(again, false);
    RunLoop::main()->runPending();
    ASSERT_EQ(text(again), "typed " + kUtf8File);
    EXPECT_EQ(testsupport::readFile(copy), kUtf8File) << "written before Save";
    ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
    ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
    RunLoop::main()->runPending();
    EXPECT_EQ(testsupport::readFile(copy), "typed " + kUtf8File);
    nav->popToRootViewControllerAnimated(false);
    RunLoop::main()->runPending();
  }
}

// A temporary folder that cannot be written: the working copy of a Saved Files file cannot be
// made, and "Changes Not Kept" says the system's reason for the folder, not that a file is
// missing. The text stays in the editor and the file keeps what it held.
TEST_F(EditorEncodingTest, AnUnwritableTemporaryFolderSaysWhy) {
  REQUIRE_MACHINE(::geteuid() == 0, "mounting a small disk needs root");
  testsupport::SmallDisk disk(Paths::tmp(), 2 << 20);
  REQUIRE_MACHINE(disk.mounted(), "no small disk: " << disk.error());
  ASSERT_TRUE(disk.makeReadOnly());
  auto editor = openKind(false, kUtf8File);
  typeText("typed ");
  editor->applicationTerminating();
  const std::string told = answer("OK");
  EXPECT_EQ(told.substr(0, 59), "Changes Not Kept: What was typed in \"menu.txt\" could not be");
  EXPECT_NE(told.find("Cannot create folder \"" + Paths::tmp() + "/"), std::string::npos) << told;
  EXPECT_NE(told.find("\": Read-only file system. It stays in the editor"), std::string::npos)
      << told;
  EXPECT_EQ(text(editor), "typed " + kUtf8File);
  EXPECT_EQ(testsupport::readFile(files + "/menu.txt"), kUtf8File);
}
