// Editing a file of a real FTP server (pyftpdlib) as on iPhone: the FTP tab downloads it for
// editing, the editor shows it, a person types and saves, the connection uploads it at once; the
// file on the server and a second download of it are the edited bytes, in the file's own encoding
// and line ends.
#include "tests/interop/ftp/TaskPeers.h"

#include "app/editor/EditFileView.h"
#include "app/foundation/EditOrigin.h"

#include "platform/foundation/Text.h"

#include "platform/ui/ViewController.h"

using namespace taskpeers;
using namespace platform::ui;

namespace {

// The FTP tab's hand-over: a real editor, pushed on the tab's navigation stack.
class EditingServices : public ServicesDouble {
public:
  std::shared_ptr<EditFileViewScreen> openTextEditor(const std::string &path) override {
    note("editor:" + path);
    editor = EditFileView::initWithFile(path);
    editor->setTextFileName(platform::lastPathComponent(path));
    nav->pushViewController(editor, false);
    return editor;
  }
  std::shared_ptr<EditFileView> editor;
  std::shared_ptr<NavigationController> nav;
};

class EditorFtpTest : public TaskPeerTest {
protected:
  void SetUp() override {
    TaskPeerTest::SetUp();
    editing = std::make_shared<EditingServices>();
    editing->nav = std::make_shared<NavigationController>(std::make_shared<ViewController>("Root"));
    window->setRootViewController(editing->nav);
    services = editing;
    FTPAppServices::setShared(editing);
  }
  std::shared_ptr<EditingServices> editing;
};

} // namespace

TEST_F(EditorFtpTest, EditedFileGoesBackByteExact) {
  Server server = startPyftpdlib();
  const std::string original = "Gr\xFC\xDF"
                               "e aus K\xF6ln\r\nzweite Zeile\r\n"; // Latin 1, CR LF
  ASSERT_TRUE(testsupport::writeFile(server.root + "/notes.txt", original));
  connectAndList("127.0.0.1:" + std::to_string(server.port), "joe", "secret");
  conn->downloadFile("notes.txt", int64_t(original.size()), true, false, "/", false, false, 0);
  ASSERT_TRUE(waitFor([&] { return editing->editor != nullptr; })) << conn->transferLog();
  settle();
  auto editor = editing->editor;
  EXPECT_EQ(editor->theText->text(), "Gr\xC3\xBC\xC3\x9F"
                                     "e aus K\xC3\xB6ln\r\nzweite Zeile\r\n");
  EXPECT_EQ(editor->textFileName, "notes.txt");
  ASSERT_FALSE(editor->fReadOnly);

  ASSERT_TRUE(probe->type("File Text", "Neu\n")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  const std::string edited = "Neu\r\n" + original;
  ASSERT_TRUE(waitFor([&] { return testsupport::readFile(server.root + "/notes.txt") == edited; }))
      << conn->transferLog();
  settle();

  // Fetched again: the same bytes.
  conn->downloadFile("notes.txt", 0, false, true, "/", false, false, 0);
  settle();
  ASSERT_TRUE(waitFor([&] { return testsupport::readFile(savedFile("notes.txt")) == edited; }))
      << conn->transferLog();
}

// Of two files whose names read alike ("café.txt" stored in ISO Latin-1 and in UTF-8), the one
// opened is the one saved: on pyftpdlib with "UTF8" left out of "FEAT", keeping names' bytes as
// vsftpd does, the edit reaches the Latin-1 file and the other stays as it was.
TEST_F(EditorFtpTest, TheEditGoesBackToTheFileOpenedNotToItsLookAlike) {
  Server server = startPyftpdlibWithoutUtf8(true);
  ASSERT_TRUE(testsupport::writeFile(server.root + "/caf\xE9.txt", "the Latin-1 file\n"));
  ASSERT_TRUE(testsupport::writeFile(server.root + "/caf\xC3\xA9.txt", "the UTF-8 file\n"));
  connectAndList("127.0.0.1:" + std::to_string(server.port), "joe", "secret");
  std::shared_ptr<DirItemInfo> latin1;
  for (auto &e : services->top->shown())
    if (e->nameBytes() == "caf\xE9.txt") latin1 = e;
  ASSERT_TRUE(latin1) << conn->transferLog();
  conn->downloadFile(latin1->remoteName(), 0, true, false, conn->cwdName(), false, false, 0);
  ASSERT_TRUE(waitFor([&] { return editing->editor != nullptr; })) << conn->transferLog();
  settle();
  auto editor = editing->editor;
  EXPECT_EQ(editor->theText->text(), "the Latin-1 file\n");
  ASSERT_FALSE(editor->fReadOnly);
  ASSERT_TRUE(probe->type("File Text", "edited ")) << probe->lastError();
  // The edit state names the file by its bytes too, for a reopen at the next start.
  UserDefaults::standard().setObject("1", kSavePasswordsKey);
  editor->saveEditState();
  EXPECT_EQ(UserDefaults::standard().stringForKey(kWasEditingFileNameBytesKey),
            hexOfBytes("caf\xE9.txt"));
  EXPECT_EQ(UserDefaults::standard().stringForKey(kWasEditingInFolderBytesKey), hexOfBytes("/"));
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] {
    return testsupport::readFile(server.root + "/caf\xE9.txt") == "edited the Latin-1 file\n";
  })) << conn->transferLog();
  // Saved back: its record, bytes and all, is gone.
  EXPECT_TRUE(waitFor([&] {
    return UserDefaults::standard().stringForKey(kWasEditingFileNameBytesKey).value_or("").empty();
  }));
  settle();
  EXPECT_EQ(testsupport::readFile(server.root + "/caf\xC3\xA9.txt"), "the UTF-8 file\n");
}
