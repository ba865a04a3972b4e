// The edit state the launched application keeps of its open editors: when it resigns or is
// stopped every open editor writes its text and its record (a file tab of the tablet, one on top
// of a tab of the phone).
#include "AppFixture.h"
#include "tests/support/EditRecords.h"

#include "app/editor/EditFileView.h"

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
