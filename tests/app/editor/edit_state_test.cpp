// The one rule of the edit state, road by road: typing alone reaches the disk within a second or
// two, quietly; a file another program wrote while the program was down is not written over
// without "File Changed"; text typed into an editor its encoding left blank is asked about before
// the file's text takes its place, and kept meanwhile; the encoding in force is in the record as
// soon as it changes.
#include "tests/app/editor/EditorFixture.h"
#include "tests/support/EditRecords.h"
#include "tests/support/ReportingSftp.h"

#include "app/editor/EditorScreens.h"
#include "app/foundation/EditOrigin.h"
#include "app/foundation/PlatformExtensions.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

#include <optional>

using namespace platform;
using namespace platform::ui;

namespace {

const std::string kOriginal = "first line\n";
const std::string kUtf8File = "\xC3\xBC caf\xC3\xA9\n";

class EditStateTest : public EditorTest {
protected:
  void TearDown() override {
    DeviceProfile::setCurrent(DeviceProfile::iPhone());
    EditorTest::TearDown();
  }
  void onDevice(bool pad) {
    DeviceProfile::setCurrent(pad ? DeviceProfile::iPad() : DeviceProfile::iPhone());
  }
  static std::optional<int> slotOf(const std::shared_ptr<EditFileView> &e) {
    return Hardware::isiPad() ? std::optional<int>(e->tabIndex) : std::nullopt;
  }
  // A server's file downloaded for editing over SFTP (its record kept: passwords are saved).
  std::shared_ptr<EditFileView> openDownload(const std::string &bytes) {
    set(kSavePasswordsKey, "1");
    sftp->setUsername("joe");
    sftp->setServer("files.example");
    const std::string path = Paths::tmp() + "/notes.txt";
    testsupport::writeFile(path, bytes);
    auto editor = EditFileView::initWithFile(path);
    editor->setTextFileName("notes.txt");
    editor->setSftpConnection(sftp);
    editor->setDirectoryOfTheFile("/home/joe");
    nav->pushViewController(editor, false);
    RunLoop::main()->runPending();
    return editor;
  }
  std::shared_ptr<EditFileView> openKind(bool remote, const std::string &bytes) {
    return remote ? openDownload(bytes) : open(write("notes.txt", bytes));
  }
  void typeText(const std::string &s) {
    ASSERT_TRUE(probe->type("File Text", s)) << probe->lastError();
  }
  void backToEditor(const std::shared_ptr<EditFileView> &e) {
    while (!window->popovers().empty())
      window->popovers().front()->dismissPopoverAnimated(false);
    if (e->modalViewController()) e->dismissModalViewControllerAnimated(false);
    if (probe->topViewController() != e) {
      ASSERT_TRUE(probe->tapBack()) << probe->lastError();
    }
    RunLoop::main()->runPending();
  }
  void find(const std::shared_ptr<EditFileView> &e) {
    ASSERT_TRUE(probe->tap("Find")) << probe->lastError();
    backToEditor(e);
  }
  void chooseEncoding(const std::string &title) {
    ASSERT_TRUE(probe->tap("Char")) << probe->lastError();
    ASSERT_TRUE(probe->tapRow(title)) << probe->lastError();
    if (!Hardware::isiPad()) {
      ASSERT_TRUE(probe->tapBack()) << probe->lastError();
    }
    RunLoop::main()->runPending();
  }
  std::vector<std::string> questions() {
    RunLoop::main()->runPending();
    std::vector<std::string> out;
    for (auto &a : probe->pendingAlerts())
      out.push_back(a.title);
    return out;
  }
  // The text the record keeps, read as the next start reads it.
  static std::string keptText(std::optional<int> slot) {
    auto kept = EditState::recorded(slot);
    if (!kept) return "(no record)";
    const std::string bytes = testsupport::readFile(kept->workingFile);
    return editor::decodeFileAs(editor::Bytes(bytes.begin(), bytes.end()),
                                kept->textInUTF8 ? editor::kEncodingUTF8 : kept->encoding)
        .text;
  }
  // The program killed and started again: the settings come back from their file.
  static void restart() {
    UserDefaults::resetStandard();
    RegisterDefaultSettings();
  }
  // The next start's editor on a file of the device that a record keeps, shown.
  std::shared_ptr<EditFileView> reopenDeviceFile(std::optional<int> slot) {
    auto again = editKeptDeviceFile(slot);
    if (!again) return nullptr;
    nav->pushViewController(again, false);
    RunLoop::main()->runPending();
    return again;
  }

  std::shared_ptr<testsupport::ReportingSftp> sftp = std::make_shared<testsupport::ReportingSftp>();
};

struct Where {
  bool remote, pad;
};
std::string nameOf(const Where &w) {
  return std::string(w.remote ? "ServerFile" : "SavedFile") + (w.pad ? "Tablet" : "Phone");
}
void PrintTo(const Where &w, std::ostream *out) {
  *out << nameOf(w);
}
const Where kEveryWhere[] = {{true, false}, {false, true}, {false, false}, {true, true}};

class EditStateTypingTest : public EditStateTest, public ::testing::WithParamInterface<Where> {};
class EditStateBlankTest : public EditStateTest, public ::testing::WithParamInterface<Where> {};
class EditStateEncodingTest : public EditStateTest, public ::testing::WithParamInterface<Where> {};

} // namespace

// Typing alone, then nothing: within two seconds the text is on disk with its record, written
// without a word in the log, and the next start offers it.
TEST_P(EditStateTypingTest, TypingAloneIsKeptWithinTwoSeconds) {
  const Where w = GetParam();
  onDevice(w.pad);
  auto editor = openKind(w.remote, kOriginal);
  const auto slot = slotOf(editor);
  LogCapture logged(Log::Sink::System);
  typeText("BEFORE KILL ");
  advance(seconds(0.5));
  typeText("AND MORE ");
  advance(seconds(0.5));
  typeText("END ");
  advance(seconds(2));
  EXPECT_EQ(keptText(slot), "BEFORE KILL AND MORE END " + kOriginal);
  EXPECT_FALSE(logged.contains("EditFileView:SaveEditState")) << "not quiet";
  EXPECT_FALSE(logged.contains("save:toLocal")) << "not quiet";
  if (!w.remote) {
    EXPECT_EQ(testsupport::readFile(files + "/notes.txt"), kOriginal);
  }

  // Typing that never pauses is kept all the same, every few seconds.
  for (int i = 0; i < 12; ++i) {
    typeText("x");
    advance(seconds(0.5));
  }
  EXPECT_NE(keptText(slot).find("xxxxxxxx"), std::string::npos) << keptText(slot);

  // Killed: the next start offers what was typed.
  const std::string typed = text(editor);
  advance(seconds(2));
  restart();
  if (w.remote) {
    EXPECT_EQ(keptText(slot), typed);
  } else {
    auto again = reopenDeviceFile(slot);
    ASSERT_TRUE(again);
    EXPECT_EQ(text(again), typed);
    EXPECT_EQ(testsupport::readFile(files + "/notes.txt"), kOriginal);
  }
}

INSTANTIATE_TEST_SUITE_P(Roads, EditStateTypingTest, ::testing::ValuesIn(kEveryWhere),
                         [](const auto &info) { return nameOf(info.param); });

// A file of the device edited, its text kept, the program killed; another program writes the
// file; the next start's editor on the kept text asks "File Changed" at Save before anything is
// written over the other program's content, and the answer counts.
TEST_F(EditStateTest, AFileChangedWhileTheProgramWasDownIsNotWrittenOverUnasked) {
  const std::string cloud = Paths::home() + "/Cloud";
  FileManager::createDirectory(cloud, true);
  services->cloudFolder = cloud;
  struct Case {
    bool cloud, pad;
    const char *answer;
  } cases[] = {{true, false, "Keep Typed Text"}, {true, true, "Take the File"},
               {false, false, "Take the File"},  {false, true, "Keep Typed Text"},
               {true, true, "Keep Typed Text"},  {false, false, "Keep Typed Text"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.cloud ? "cloud" : "Saved Files") + (c.pad ? ", tablet" : ", phone") +
                 ", " + c.answer);
    onDevice(c.pad);
    const std::string path = (c.cloud ? cloud : files) + "/notes.txt";
    testsupport::writeFile(path, "first\n");
    auto editor = open(path);
    const auto slot = slotOf(editor);
    typeText("mine ");
    find(editor);
    ASSERT_EQ(keptText(slot), "mine first\n");
    editor.reset();
    nav->popToRootViewControllerAnimated(false);
    restart();
    testsupport::writeFile(path, "other program\n");

    auto again = reopenDeviceFile(slot);
    ASSERT_TRUE(again);
    EXPECT_EQ(text(again), "mine first\n");
    ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
    ASSERT_EQ(questions(), std::vector<std::string>{"File Changed"});
    EXPECT_EQ(testsupport::readFile(path), "other program\n") << "written over unasked";
    answer(c.answer);
    RunLoop::main()->runPending(); // a cloud write lands
    if (std::string(c.answer) == "Keep Typed Text") {
      EXPECT_EQ(testsupport::readFile(path), "mine first\n") << "the save did not go on";
      EXPECT_EQ(testsupport::editRecordNow(slot), "");
    } else {
      EXPECT_EQ(text(again), "other program\n");
      EXPECT_EQ(testsupport::readFile(path), "other program\n");
      EXPECT_EQ(testsupport::editRecordNow(slot), "");
      again->doCancel();
    }
    EXPECT_TRUE(questions().empty());
    nav->popToRootViewControllerAnimated(false);
    RunLoop::main()->runPending();
    services->closedTabs.clear();
  }
}

// The same in one run: another program writes a file of Saved Files while its editor is open
// (nothing watches such a file); Save asks before it writes over what that program put there.
TEST_F(EditStateTest, ASavedFileChangedWhileOpenIsNotWrittenOverUnasked) {
  const std::string path = write("notes.txt", "first\n");
  auto editor = open(path);
  typeText("mine ");
  testsupport::writeFile(path, "other program\n");
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_EQ(questions(), std::vector<std::string>{"File Changed"});
  EXPECT_EQ(testsupport::readFile(path), "other program\n");
  answer("Keep Typed Text");
  EXPECT_EQ(testsupport::readFile(path), "mine first\n");
}

// An encoding that leaves the editor blank, text typed into it: kept by the typing pause and by
// Find, offered by the next start, and asked about before another encoding puts the file's text in
// its place (Cancel keeps everything as it is; Keep Text keeps the text, which Save then writes).
TEST_P(EditStateBlankTest, TextTypedIntoABlankEditorIsNeverReplacedUnasked) {
  const Where w = GetParam();
  onDevice(w.pad);
  for (const char *answerGiven : {"Cancel", "Keep Text"}) {
    SCOPED_TRACE(answerGiven);
    auto editor = openKind(w.remote, kUtf8File);
    const auto slot = slotOf(editor);
    chooseEncoding("ASCII");
    ASSERT_TRUE(questions().empty()) << "nothing was typed yet";
    ASSERT_EQ(text(editor), "");
    typeText("TYPED IN BLANK");
    advance(seconds(2));
    EXPECT_EQ(keptText(slot), "TYPED IN BLANK") << "not kept as it was typed";
    find(editor);
    EXPECT_EQ(keptText(slot), "TYPED IN BLANK") << "not kept by Find";

    chooseEncoding("Unicode (UTF-8)");
    ASSERT_EQ(questions(), std::vector<std::string>{"Change Encoding?"});
    EXPECT_EQ(answer(answerGiven),
              "Change Encoding?: The text typed here is not the file's text, which read in "
              "\"Unicode (UTF-8)\" would take its place. Keep the text as it is, in \"Unicode "
              "(UTF-8)\"?");
    EXPECT_EQ(text(editor), "TYPED IN BLANK");
    editor->applicationTerminating();
    EXPECT_EQ(keptText(slot), "TYPED IN BLANK");
    if (!w.remote) {
      EXPECT_EQ(testsupport::readFile(files + "/notes.txt"), kUtf8File);
    }
    if (std::string(answerGiven) == "Cancel") {
      // Killed: the next start offers the typed text.
      restart();
      if (!w.remote) {
        auto again = reopenDeviceFile(slot);
        ASSERT_TRUE(again);
        EXPECT_EQ(text(again), "TYPED IN BLANK");
        again->doCancel();
      } else {
        EXPECT_EQ(keptText(slot), "TYPED IN BLANK");
        editor->doCancel();
      }
    } else if (!w.remote) {
      ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
      EXPECT_TRUE(questions().empty());
      EXPECT_EQ(testsupport::readFile(files + "/notes.txt"), "TYPED IN BLANK");
    } else {
      editor->doCancel();
    }
    nav->popToRootViewControllerAnimated(false);
    RunLoop::main()->runPending();
    services->closedTabs.clear();
  }
}

INSTANTIATE_TEST_SUITE_P(Roads, EditStateBlankTest, ::testing::ValuesIn(kEveryWhere),
                         [](const auto &info) { return nameOf(info.param); });

// UTF-8 bytes opened as Latin 1, text typed and kept, UTF-8 picked (no question: the bytes read):
// the record says UTF-8 at once, so the next start reads the kept text as UTF-8.
TEST_P(EditStateEncodingTest, AnEncodingPickedUnaskedIsInTheRecordAtOnce) {
  const Where w = GetParam();
  onDevice(w.pad);
  set(kDefaultEncodingKey, std::to_string(editor::kEncodingLatin1));
  auto editor = openKind(w.remote, kUtf8File);
  const auto slot = slotOf(editor);
  ASSERT_EQ(editor->useEncoding, editor::kEncodingLatin1);
  typeText("x");
  find(editor);
  chooseEncoding("Unicode (UTF-8)");
  ASSERT_TRUE(questions().empty());
  ASSERT_EQ(text(editor), "x" + kUtf8File);
  // Killed before anything else keeps the edit state.
  restart();
  EXPECT_EQ(keptText(slot), "x" + kUtf8File);
  if (!w.remote) {
    auto again = reopenDeviceFile(slot);
    ASSERT_TRUE(again);
    EXPECT_EQ(text(again), "x" + kUtf8File);
  }
}

INSTANTIATE_TEST_SUITE_P(Roads, EditStateEncodingTest, ::testing::ValuesIn(kEveryWhere),
                         [](const auto &info) { return nameOf(info.param); });
