// The text editor driven through the probe: editing and saving a Saved Files file, Discard, the
// save guards (a text that did not load, an encoding that cannot hold the text, view-only), the
// per-tab edit state and its reopening after a restart, the encoding chooser, find and replace,
// go to line, shaking to search again, the extra keys and the keyboard toggles.
#include "tests/app/editor/EditorFixture.h"

#include "app/editor/EditorScreens.h"
#include "app/editor/FindReplaceView.h"
#include "app/foundation/EditOrigin.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/Scrambler.h"

#include "platform/ui/Services.h"

#include <filesystem>

#include <unistd.h>

using namespace platform;
using namespace platform::ui;

namespace {

class EditorScreenTest : public EditorTest {
protected:
  void showKeyboard() { ASSERT_TRUE(probe->tap("Keyboard")) << probe->lastError(); }
  void typeText(const std::string &s) {
    ASSERT_TRUE(probe->type("File Text", s)) << probe->lastError();
  }
  // Opens the find panel and searches with it.
  void find(const std::string &what, const char *button, bool ignoreCase = false) {
    ASSERT_TRUE(probe->tap("Find")) << probe->lastError();
    probe->backspace("Find Text", 200);
    ASSERT_TRUE(probe->type("Find Text", what)) << probe->lastError();
    if (ignoreCase) {
      ASSERT_TRUE(probe->setSwitch("Ignore Case", true));
    }
    ASSERT_TRUE(probe->tap(button)) << probe->lastError();
    advance(seconds(0.6));
  }
};

} // namespace

TEST_F(EditorScreenTest, EditingASavedFileWritesItOnSave) {
  const std::string path = write("notes.txt", "line one\r\nline two\r\n");
  auto editor = open(path);
  EXPECT_EQ(text(editor), "line one\r\nline two\r\n");
  EXPECT_EQ(probe->rightItem()->name, "Save");
  typeText("new\n");
  EXPECT_TRUE(editor->dirty);
  ASSERT_TRUE(probe->tap("Save"));
  // A file with CR LF keeps CR LF on the line typed with LF.
  EXPECT_EQ(testsupport::readFile(path), "new\r\nline one\r\nline two\r\n");
  EXPECT_NE(probe->topViewController(), editor);
}

// The edit state keeps the typed text beside the file, never in it: the file (and the Saved Files
// copy of a download) holds what it held until Save, and Discard leaves it so.
TEST_F(EditorScreenTest, DiscardLeavesTheFileAsTheEditStateFoundIt) {
  const std::string original = "caf\xE9 au lait\n"; // Latin 1
  const std::string path = write("menu.txt", original);
  auto editor = open(path);
  typeText("x");
  showKeyboard(); // hides the keyboard and saves the edit state
  EXPECT_EQ(testsupport::readFile(path), original);
  EXPECT_EQ(testsupport::readFile(get(kEditingFTPFile)), "xcaf\xE9 au lait\n");
  ASSERT_TRUE(probe->tap("Cancel"));
  EXPECT_EQ(answer("Yes, Discard"),
            "Cancel Editing?: Cancel editing the file and discard all changes?");
  EXPECT_EQ(testsupport::readFile(path), original);
  // A download with a Saved Files copy: the copy keeps what was downloaded.
  const std::string temp = Paths::tmp() + "/menu.txt";
  testsupport::writeFile(temp, original);
  auto remote = EditFileView::initWithFile(temp);
  remote->setEditingSavedFilePath(path);
  nav->pushViewController(remote, false);
  typeText("y");
  showKeyboard();
  EXPECT_EQ(testsupport::readFile(path), original);
  EXPECT_EQ(testsupport::readFile(temp), "ycaf\xE9 au lait\n");
  ASSERT_TRUE(probe->tap("Cancel"));
  answer("Yes, Discard");
  EXPECT_EQ(testsupport::readFile(path), original);
  EXPECT_FALSE(FileManager::fileExists(temp));
}

TEST_F(EditorScreenTest, UnchangedFilesSaveByteExact) {
  // A pure-ASCII escape look-alike and line ends survive a load and a save untouched, except
  // that a file with CR LF is saved with CR LF throughout (a lone CR is no line end here).
  const struct {
    const char *name;
    std::string original, saved;
  } files[] = {{"lf.txt", "a\\u0041\nb\nc\rd &gt!; e\n", "a\\u0041\nb\nc\rd &gt!; e\n"},
               {"mixed.txt", "a\\u0041\r\nb\nc\rd &gt!; e\n", "a\\u0041\r\nb\r\nc\rd &gt!; e\r\n"}};
  for (const auto &f : files) {
    const std::string path = write(f.name, f.original);
    open(path);
    showKeyboard();
    showKeyboard();
    ASSERT_TRUE(probe->tap("Save"));
    EXPECT_EQ(testsupport::readFile(path), f.saved) << f.name;
  }
  // Edited, the text still keeps what looked like a display fix-up: none is undone on saving.
  const std::string fixups = write("fixups.txt", "a &gt!; b &nbsp!; c\n\td\n");
  open(fixups);
  typeText("x");
  ASSERT_TRUE(probe->tap("Save"));
  EXPECT_EQ(testsupport::readFile(fixups), "xa &gt!; b &nbsp!; c\n\td\n");
}

TEST_F(EditorScreenTest, SaveGuards) {
  // A text that starts like filler is refused with an alert; nothing is written.
  const std::string path = write("lorem.txt", "Lorem ipsum dolor sit amet");
  open(path);
  ASSERT_TRUE(probe->tap("Save"));
  EXPECT_EQ(answer("OK").substr(0, 16), "File Save Error:");
  ASSERT_TRUE(probe->tap("Cancel"));
  answer("Yes, Discard");
  // Shorter than the guard's text: no alert, saved.
  const std::string shortPath = write("short.txt", "Lor");
  open(shortPath);
  typeText("e");
  ASSERT_TRUE(probe->tap("Save"));
  EXPECT_TRUE(probe->pendingAlerts().empty());
  EXPECT_EQ(testsupport::readFile(shortPath), "eLor");
}

TEST_F(EditorScreenTest, AnEncodingThatCannotHoldTheTextAsksFirst) {
  const std::string path = write("latin.txt", "na\xEFve\n");
  auto editor = open(path);
  EXPECT_EQ(editor->useEncoding, editor::kEncodingLatin1);
  typeText("\xD0\x96 "); // a Cyrillic letter Latin 1 has not got
  ASSERT_TRUE(probe->tap("Save"));
  EXPECT_EQ(answer("Unicode (UTF-8)"),
            "Encoding Problem: The text holds characters that \"Latin 1 (ISO-8859-1)\" cannot "
            "hold. Save it in another encoding?");
  EXPECT_EQ(testsupport::readFile(path), "\xD0\x96 na\xC3\xAFve\n");
}

TEST_F(EditorScreenTest, CancellingTheEncodingQuestionWritesNothing) {
  const std::string path = write("latin.txt", "na\xEFve\n");
  open(path);
  typeText("\xE2\x82\xAC");
  showKeyboard(); // the edit state cannot encode it either: the file stays
  EXPECT_EQ(testsupport::readFile(path), "na\xEFve\n");
  ASSERT_TRUE(probe->tap("Save"));
  answer("Cancel");
  EXPECT_EQ(testsupport::readFile(path), "na\xEFve\n");
}

TEST_F(EditorScreenTest, ViewOnlyRemoteFileClosesWithoutUploadOrWrite) {
  const std::string path = Paths::tmp() + "/remote.txt";
  testsupport::writeFile(path, "remote text");
  auto editor = open(path, false, true);
  EXPECT_FALSE(probe->rightItem()); // no Save button
  editor->clickSave();
  EXPECT_TRUE(probe->pendingAlerts().empty());
  EXPECT_NE(probe->topViewController(), editor);
  EXPECT_EQ(testsupport::readFile(path), "remote text");
}

TEST_F(EditorScreenTest, EditStateOfARemoteFileAndItsReopening) {
  set(kServerNameKey, "ftp.example.test");
  set(kUserNameKey, "joe");
  set(kUserPassKey, myEncryptString1("secret"));
  const std::string path = Paths::tmp() + "/report.txt";
  testsupport::writeFile(path, "draft\n");
  auto editor = open(path, false);
  editor->setTabIndex(2);
  // Where it came from (as its connection tells it), kept beside server and user.
  editor->serverPort = 2121;
  editor->serverProtocol = "ftps";
  typeText("final ");
  showKeyboard();
  EXPECT_EQ(get("2-EditingServerPort"), "2121");
  EXPECT_EQ(get("2-EditingProtocol"), "ftps");
  EXPECT_EQ(get(kWasEditingProtocolKey), "ftps");
  EXPECT_EQ(get("2-EditingFileName"), "report.txt");
  EXPECT_EQ(get("2-EditingFTPFile"), path);
  EXPECT_EQ(get("2-EditingServerAddress"), "ftp.example.test");
  EXPECT_EQ(myDecryptString1(get("2-EditingUserPass")), "secret");
  EXPECT_EQ(get("2-IndexIsUsed"), "1");
  EXPECT_EQ(get(kEditingFTPFile), path); // iPhone: the record the next start reads
  EXPECT_EQ(testsupport::readFile(path), "final draft\n");

  // A new process: the settings come back from their file, and the editor from them.
  UserDefaults::resetStandard();
  auto reopened = editPreviouslySavedFile(nullptr, "joe");
  ASSERT_TRUE(reopened);
  nav->pushViewController(reopened, false);
  EXPECT_EQ(reopened->textFileName, "report.txt");
  EXPECT_EQ(reopened->directoryOfTheFile, "/remote");
  EXPECT_EQ(text(reopened), "final draft\n");
  EXPECT_TRUE(reopened->fReadOnly); // no connection: view only

  // Cancel forgets the record and the working file.
  reopened->doCancel();
  EXPECT_EQ(get(kEditingFTPFile), "");
  EXPECT_FALSE(FileManager::fileExists(path));
}

TEST_F(EditorScreenTest, NoEditStateKeysWithoutSavedPasswords) {
  set(kSavePasswordsKey, "0");
  const std::string path = Paths::tmp() + "/report.txt";
  testsupport::writeFile(path, "draft\n");
  open(path, false);
  typeText("x");
  showKeyboard();
  EXPECT_EQ(get("0-EditingFTPFile"), "");
  EXPECT_EQ(get(kEditingFTPFile), "");
  EXPECT_EQ(testsupport::readFile(path), "xdraft\n"); // the text is still kept
}

TEST_F(EditorScreenTest, RestoringEveryUsedTabSlotOnIPad) {
  set("TabIndexMax", "4");
  set(kServerNameKey, "current.example");
  // Slot 3 as an earlier version left it (no port, no protocol): it opens nowhere.
  for (int slot : {0, 2, 3}) {
    const std::string path = Paths::tmp() + "/slot" + std::to_string(slot) + ".txt";
    testsupport::writeFile(path, "slot " + std::to_string(slot));
    set(keyIndexIsUsed(slot), "1");
    set(keyForTab(slot, kEditingFTPFile), path);
    set(keyForTab(slot, kWasEditingFileName), "file" + std::to_string(slot) + ".txt");
    set(keyForTab(slot, kWasEditingServerNameKey), "server" + std::to_string(slot));
    if (slot == 3) continue;
    set(keyForTab(slot, kWasEditingServerPortKey), slot == 0 ? "21" : "22");
    set(keyForTab(slot, kWasEditingProtocolKey), slot == 0 ? "ftps" : "sftp");
  }
  set(keyIndexIsUsed(1), "0");
  std::vector<std::string> shown;
  auto notOpened = restoreEditFiles([&](std::shared_ptr<EditFileView> e, const std::string &name) {
    nav->pushViewController(e, false);
    shown.push_back(name + "@" + e->serverName + ":" + std::to_string(e->serverPort) + "/" +
                    e->serverProtocol + ":" + text(e));
  });
  EXPECT_EQ(shown, (std::vector<std::string>{"file0.txt@server0:21/ftps:slot 0",
                                             "file2.txt@server2:22/sftp:slot 2"}));
  EXPECT_EQ(notOpened, std::vector<std::string>{"file3.txt"});
  EXPECT_EQ(get(kServerNameKey), "current.example");
}

TEST_F(EditorScreenTest, EncodingChooserReloadsTheFile) {
  const std::string path = write("ru.txt", "\xF0\xD2\xC9\xD7\xC5\xD4"); // "Привет" in KOI8-R
  auto editor = open(path);
  ASSERT_TRUE(probe->tap("Char"));
  EXPECT_EQ(probe->navigationTitle(), "Select Encoding");
  ASSERT_TRUE(probe->tapRow("Cyrillic (KOI8-R)")) << probe->lastError();
  ASSERT_TRUE(probe->tapBack());
  EXPECT_EQ(editor->useEncoding, 2562u);
  EXPECT_EQ(text(editor), "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  EXPECT_FALSE(editor->dirty);
  // A file that does not decode in the chosen encoding shows nothing and is never saved over.
  ASSERT_TRUE(probe->tap("Char"));
  ASSERT_TRUE(probe->tapRow("Unicode (UTF-8)"));
  ASSERT_TRUE(probe->tapBack());
  EXPECT_EQ(text(editor), "");
  ASSERT_TRUE(probe->tap("Save"));
  EXPECT_EQ(answer("OK").substr(0, 16), "File Not Loaded:");
  EXPECT_EQ(testsupport::readFile(path), "\xF0\xD2\xC9\xD7\xC5\xD4");
}

// A file that did not decode is not written over by the edit-state save when the application
// leaves either, whatever was typed into the empty text meanwhile.
TEST_F(EditorScreenTest, TheEditStateSaveWritesNothingOverAFileThatDidNotDecode) {
  const std::string original = "\xF0\xD2\xC9\xD7\xC5\xD4"; // KOI8-R, never UTF-8
  const std::string path = write("ru.txt", original);
  auto editor = open(path);
  ASSERT_TRUE(probe->tap("Char"));
  ASSERT_TRUE(probe->tapRow("Unicode (UTF-8)"));
  ASSERT_TRUE(probe->tapBack());
  ASSERT_EQ(text(editor), "");
  typeText("typed");
  editor->applicationTerminating();
  EXPECT_EQ(testsupport::readFile(path), original);
}

// A working file that grows past what the editor takes while it is open is not read again (an
// encoding reload, a change made elsewhere) and nothing is written over it; the person is told.
TEST_F(EditorScreenTest, AFileGrownTooBigWhileOpenIsNeitherReadNorWrittenOver) {
  const auto tooBig = static_cast<uintmax_t>(textEditSizeLimit()) + 1;
  const std::function<void(EditFileView &)> reads[] = {
      [](EditFileView &e) { e.changedEncoding(editor::rowForEncoding(editor::kEncodingLatin1)); },
      [](EditFileView &e) { e.presentedItemDidChange(); },
  };
  for (size_t i = 0; i < std::size(reads); ++i) {
    SCOPED_TRACE(i);
    const std::string path = write("grows-" + std::to_string(i) + ".log", "small\n");
    auto editor = open(path);
    typeText("typed ");
    std::filesystem::resize_file(path, tooBig);
    reads[i](*editor);
    EXPECT_EQ(answer("OK"),
              "The Full File is Too Big to Edit: \"grows-" + std::to_string(i) + ".log\"");
    EXPECT_EQ(text(editor), "typed small\n");
    editor->applicationTerminating();
    ASSERT_TRUE(probe->tap("Save"));
    EXPECT_EQ(answer("OK").substr(0, 32), "The Full File is Too Big to Edit");
    EXPECT_EQ(std::filesystem::file_size(path), tooBig);
    ASSERT_TRUE(probe->tap("Cancel"));
    answer("Yes, Discard");
    EXPECT_EQ(std::filesystem::file_size(path), tooBig);
  }
}

TEST_F(EditorScreenTest, FindNextAndPreviousWrapAndStartPastTheCaret) {
  auto editor = open(write("find.txt", "cat dog Cat dog CAT"));
  find("cat", "Find Next");
  EXPECT_EQ(selection(editor), (Range{0, 3}));
  find("cat", "Find Next"); // never the match at the caret: case matters without the switch
  EXPECT_EQ(selection(editor), (Range{0, 3}));
  find("cat", "Find Next", true);
  EXPECT_EQ(selection(editor), (Range{8, 3}));
  find("cat", "Find Prev", true);
  EXPECT_EQ(selection(editor), (Range{0, 3}));
  // From the start, backwards through all but the last find length of the text.
  find("cat", "Find Prev", true);
  EXPECT_EQ(selection(editor), (Range{8, 3}));
  // Nothing anywhere: the selection stays, the last match is forgotten.
  find("bird", "Find Next");
  EXPECT_EQ(selection(editor), (Range{8, 3}));
  EXPECT_EQ(editor->findLast.location, kNotFound);
  // A find text longer than the document finds nothing and reads nothing past its end.
  find("cat dog Cat dog CAT and more", "Find Next");
  EXPECT_EQ(editor->findLast.location, kNotFound);
}

TEST_F(EditorScreenTest, ShakeRepeatsTheLastSearch) {
  auto editor = open(write("shake.txt", "ab ab ab"));
  find("ab", "Find Next");
  EXPECT_EQ(selection(editor), (Range{3, 2}));
  advance(seconds(1));
  ASSERT_TRUE(probe->accelerate(1.5, 0, 0)); // too weak
  EXPECT_EQ(selection(editor), (Range{3, 2}));
  // Strong enough, and more than 0.4 s after the last: the search runs again.
  ASSERT_TRUE(probe->accelerate(0, 0, 30));
  EXPECT_EQ(selection(editor), (Range{6, 2}));
  advance(seconds(0.2));
  ASSERT_TRUE(probe->accelerate(30, 0, 0)); // too soon
  EXPECT_EQ(selection(editor), (Range{6, 2}));
}

TEST_F(EditorScreenTest, ReplaceAll) {
  auto editor = open(write("replace.txt", "red Red RED"));
  ASSERT_TRUE(probe->tap("Find"));
  ASSERT_TRUE(probe->tap("Replace All")); // both fields empty: nothing
  EXPECT_TRUE(probe->pendingAlerts().empty());
  ASSERT_TRUE(probe->type("Find Text", "red"));
  ASSERT_TRUE(probe->type("Replace With Text", "blue"));
  ASSERT_TRUE(probe->tap("Replace All"));
  EXPECT_EQ(text(editor), "blue Red RED");
  EXPECT_TRUE(editor->dirty);
  // An empty replacement asks before deleting every occurrence.
  ASSERT_TRUE(probe->tap("Find"));
  ASSERT_TRUE(probe->backspace("Replace With Text", 200));
  ASSERT_TRUE(probe->backspace("Find Text", 200));
  ASSERT_TRUE(probe->type("Find Text", "red "));
  ASSERT_TRUE(probe->setSwitch("Ignore Case", true));
  ASSERT_TRUE(probe->tap("Replace All"));
  EXPECT_EQ(answer("Replace"),
            "\"Replace With Text\" is Blank: All occurances of \"red \" will be deleted from the "
            "document!");
  EXPECT_EQ(text(editor), "blue RED");
  // The edit state kept the text beside the file, which holds what it held until Save.
  EXPECT_EQ(testsupport::readFile(get(kEditingFTPFile)), "blue RED");
  EXPECT_EQ(testsupport::readFile(files + "/replace.txt"), "red Red RED");
}

TEST_F(EditorScreenTest, GoToLineReachesEveryLine) {
  auto editor = open(write("lines.txt", "one\ntwo\nthree"));
  struct Case {
    const char *entered;
    Range expected;
  };
  for (auto c : {Case{"2", {4, 1}}, Case{"3", {8, 1}}, Case{"9", {12, 1}}, Case{"0", {12, 1}}}) {
    ASSERT_TRUE(probe->tap("GoTo"));
    EXPECT_EQ(probe->navigationTitle(), "Goto Line");
    ASSERT_TRUE(probe->type("Goto Line Number...", c.entered)) << probe->lastError();
    ASSERT_TRUE(probe->tapBack());
    EXPECT_EQ(selection(editor), c.expected) << c.entered;
  }
}

TEST_F(EditorScreenTest, ExtraKeysTypeAndKeepThePasteboard) {
  auto editor = open(write("keys.txt", ""));
  Pasteboard::generalPasteboard().setString("mine");
  showKeyboard();
  ASSERT_TRUE(editor->fKeyboardShown);
  ASSERT_TRUE(probe->tap("Key <")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Key /"));
  EXPECT_EQ(text(editor), "</");
  EXPECT_EQ(Pasteboard::generalPasteboard().string(), "mine");
  // Shift shows the other row.
  ASSERT_TRUE(editor->keyboard2->isHidden());
  ASSERT_TRUE(probe->tap("Shift"));
  EXPECT_TRUE(editor->keyboard1->isHidden());
  EXPECT_FALSE(editor->keyboard2->isHidden());
}

// Every row of keys fits its width with its keys side by side; Shift and Hide Keys are wide
// enough for their words, the character keys share the rest.
TEST_F(EditorScreenTest, ExtraKeyRowsFitWithRoomForTheirWords) {
  auto editor = open(write("rows.txt", ""));
  for (auto &row :
       {editor->keyboard1, editor->keyboard2, editor->keyboard1horiz, editor->keyboard2horiz}) {
    SCOPED_TRACE(row->accessibilityLabel());
    double x = 0;
    for (auto &sub : row->subviews()) {
      auto key = std::dynamic_pointer_cast<Button>(sub);
      ASSERT_TRUE(key);
      const Rect f = key->frame();
      EXPECT_GE(f.origin.x, x - 1e-9);
      x = f.origin.x + f.size.width;
      const std::string title = key->currentTitle();
      if (title == "Shift")
        EXPECT_GE(f.size.width, 38);
      else if (title == "Hide Keys")
        EXPECT_GE(f.size.width, 70);
      else
        EXPECT_GE(f.size.width, 14) << title;
    }
    EXPECT_LE(x, row->frame().size.width + 1e-9);
  }
}

TEST_F(EditorScreenTest, TitleAndDoubleTapToggleTheKeyboard) {
  auto editor = open(write("toggle.txt", "text"));
  EXPECT_FALSE(editor->theText->isFirstResponder());
  ASSERT_TRUE(probe->touch("File Text", 2));
  advance(seconds(0.05));
  EXPECT_TRUE(editor->theText->isFirstResponder());
  ASSERT_TRUE(probe->tap("Keyboard"));
  EXPECT_FALSE(editor->theText->isFirstResponder());
}

TEST_F(EditorScreenTest, FontsAndScrollToPercent) {
  set(kDefaultFontKey, "1");
  set(kDefaultFontSizeKey, "3");
  auto editor = open(write("font.txt", "0123456789"));
  EXPECT_EQ(editor->theText->font().name, "Courier");
  EXPECT_EQ(editor->theText->font().size, Font::systemFontSize() + 8);
  editor->scrollToPercent(150);
  EXPECT_EQ(selection(editor), (Range{9, 1}));
  editor->scrollToPercent(50);
  EXPECT_EQ(selection(editor), (Range{5, 1}));
  set(kDefaultFontKey, "0");
  editor->reapplyEditorSettings();
  EXPECT_EQ(editor->theText->font().name, "");
}

TEST_F(EditorScreenTest, IPadLayoutWithToolbarAndPopovers) {
  DeviceProfile::setCurrent(DeviceProfile::iPad());
  auto editor = open(write("pad.txt", "one two one"));
  std::vector<std::string> names;
  for (auto &item : probe->toolbarItems())
    names.push_back(item.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Resize Screen", "Close File", "pad.txt", "Char",
                                             "Find", "GoTo", "Save"}));
  EXPECT_EQ(editor->theText->frame().origin.y, 44);
  // The find panel comes in a popover with its own bar.
  ASSERT_TRUE(probe->tap("Find"));
  ASSERT_EQ(window->popovers().size(), 1u);
  ASSERT_TRUE(probe->type("Find Text", "one"));
  ASSERT_TRUE(probe->tap("Find Next"));
  advance(seconds(0.6));
  EXPECT_TRUE(window->popovers().empty());
  EXPECT_EQ(selection(editor), (Range{8, 3}));
  // Closing asks the delegate to close the file tab (editing began: it asks first).
  ASSERT_TRUE(probe->tap("Close File"));
  answer("Yes, Discard");
  EXPECT_EQ(services->closedTabs, std::vector<std::string>{"pad.txt"});
}

// Save on each device, for a file that may be written and for a view-only one: the phone shows
// Save on the right only when it can save; the tablet's toolbar always ends with it, disabled
// for a view-only file.
TEST_F(EditorScreenTest, SaveButtonOnEachDeviceForEditableAndViewOnlyFiles) {
  struct Case {
    bool pad, readOnly;
  };
  for (const Case c :
       {Case{false, false}, Case{false, true}, Case{true, false}, Case{true, true}}) {
    SCOPED_TRACE(std::string(c.pad ? "tablet" : "phone") + (c.readOnly ? " view-only" : ""));
    DeviceProfile::setCurrent(c.pad ? DeviceProfile::iPad() : DeviceProfile::iPhone());
    auto editor = open(write("save.txt", "text"), true, c.readOnly);
    std::optional<Probe::ItemInfo> save;
    if (c.pad) {
      auto items = probe->toolbarItems();
      ASSERT_FALSE(items.empty());
      save = items.back();
    } else {
      save = probe->rightItem();
    }
    if (!c.pad && c.readOnly) {
      EXPECT_FALSE(save);
    } else {
      ASSERT_TRUE(save);
      EXPECT_EQ(save->name, "Save");
      EXPECT_EQ(save->enabled, !c.readOnly);
    }
    // A view-only file is not written, whichever way Save is asked for.
    if (c.readOnly) {
      EXPECT_FALSE(probe->tap("Save"));
      EXPECT_EQ(testsupport::readFile(files + "/save.txt"), "text");
    }
    nav->popViewControllerAnimated(false);
    platform::RunLoop::main()->runPending();
  }
}

// A file of the cloud container (as the cloud service names it) follows changes made elsewhere
// and closes when it is deleted elsewhere; the editor's own writes are no change.
TEST_F(EditorScreenTest, CloudFileFollowsChangesMadeElsewhere) {
  struct Cloud : EditorServicesDouble {
    bool isCloudFile(const std::string &path) override {
      return path.find("/Cloud/") != std::string::npos;
    }
  };
  auto cloud = std::make_shared<Cloud>();
  EditorServices::setShared(cloud);
  const std::string folder = Paths::home() + "/Cloud";
  FileManager::createDirectory(folder, true);
  const std::string path = folder + "/shared.txt";
  testsupport::writeFile(path, "first");
  auto editor = open(path);
  auto settle = [&](const std::function<bool()> &done) {
    for (int i = 0; i < 200 && !done(); ++i) {
      RunLoop::main()->runPending();
      ::usleep(10000);
    }
    return done();
  };
  typeText("mine ");
  showKeyboard(); // the editor's own write
  EXPECT_FALSE(settle([&] { return text(editor) != "mine first"; }));
  // Typed text is not replaced unasked: taking the file as it is now is the person's choice.
  testsupport::writeFile(path, "changed elsewhere");
  ASSERT_TRUE(settle([&] { return !probe->pendingAlerts().empty(); }));
  EXPECT_EQ(text(editor), "mine first");
  ASSERT_TRUE(probe->answerAlert("Take the File")) << probe->lastError();
  EXPECT_TRUE(settle([&] { return text(editor) == "changed elsewhere"; }));
  // Nothing typed since: a removal closes the editor.
  FileManager::removeItem(path);
  EXPECT_TRUE(settle([&] { return probe->topViewController() != editor; }));
  EXPECT_FALSE(FileManager::fileExists(path)); // not brought back by the close
}
