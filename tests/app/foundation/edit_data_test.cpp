// The edit-one-value screen driven through the probe: text, on/off and list editors, checking,
// delivery on leaving, auto-save, Cancel, Done with its spinner, popovers.
#include "app/foundation/EditDataViewController.h"

#include "ScreenFixture.h"

#include "platform/foundation/UserDefaults.h"

using namespace platform;
using namespace platform::ui;

namespace {

class EditDataTest : public ScreenTest {
protected:
  // A text editor for a server name whose callback records the value it reads.
  std::shared_ptr<EditDataViewController> textEditor(const std::optional<std::string> &value) {
    return EditDataViewController::initWithTitle(
        "Server", value, "Server Name", "EditDataView",
        [this](EditDataViewController &vc) { delivered.push_back(vc.textData->text()); });
  }
  std::vector<std::string> delivered;
};

std::optional<std::string> stored(const std::string &key) {
  return UserDefaults::standard().stringForKey(key);
}

} // namespace

TEST_F(EditDataTest, TextEditorStartsEmptyWithTheKeyboardAndDeliversOnBack) {
  auto editor = textEditor(std::nullopt);
  EXPECT_EQ(editor->dataType, EditDataViewController::kDataTypeText);
  EXPECT_TRUE(editor->allowBlankText);
  EXPECT_TRUE(editor->doSelectorOnChange);
  EXPECT_FALSE(editor->autoSave);
  editor->setAutoSaveToKey("ServerAddress");
  nav->pushViewController(editor, true);

  EXPECT_EQ(probe->navigationTitle(), "Server");
  EXPECT_EQ(editor->textData->text(), "");
  EXPECT_TRUE(editor->textData->isFirstResponder()) << "the keyboard comes at once";
  EXPECT_EQ(editor->textData->font().size, Font::systemFontSize() + 3);
  EXPECT_EQ(editor->textData->clearButtonMode(), TextFieldViewMode::WhileEditing);
  EXPECT_TRUE(editor->boolData->isHidden());
  EXPECT_TRUE(editor->tableData->isHidden());
  EXPECT_EQ(editor->label->text(), "Server Name");
  EXPECT_EQ(delegate->scrollerUses, std::vector<bool>{false});

  ASSERT_TRUE(probe->type("Server Name", "ftp.example.org")) << probe->lastError();
  ASSERT_TRUE(probe->tapBack()) << probe->lastError();
  EXPECT_EQ(delivered, std::vector<std::string>{"ftp.example.org"});
  EXPECT_EQ(stored("ServerAddress"), "ftp.example.org");
  EXPECT_NE(testsupport::readFile(platform::Paths::preferencesFile()).find("ftp.example.org"),
            std::string::npos)
      << "auto-save synchronises";
  EXPECT_EQ(probe->topViewController(), rootScreen);
}

TEST_F(EditDataTest, BlankTextRefusedWhenNotAllowed) {
  auto editor = textEditor(std::string("old.example.org"));
  editor->allowBlankText = false;
  editor->setAutoSaveToKey("ServerAddress");
  nav->pushViewController(editor, false);
  ASSERT_TRUE(probe->clear("Server Name"));
  ASSERT_TRUE(probe->pressReturn("Server Name"));
  auto alerts = probe->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "Server");
  EXPECT_EQ(alerts[0].message, "Server Name should not be empty.");
  EXPECT_EQ(alerts[0].buttons, std::vector<std::string>{"OK"});
  EXPECT_EQ(probe->topViewController(), editor) << "the screen stays";
  EXPECT_TRUE(editor->textData->isFirstResponder()) << "and so does the keyboard";
  ASSERT_TRUE(probe->answerAlert("OK"));

  // Leaving on an empty field skips the callback and the auto-save.
  ASSERT_TRUE(probe->tapBack());
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(stored("ServerAddress"), std::nullopt);
  ASSERT_TRUE(probe->answerAlert("OK"));
}

TEST_F(EditDataTest, ReturnDeliversOnceAndCloses) {
  auto editor = textEditor(std::string("a"));
  nav->pushViewController(editor, false);
  ASSERT_TRUE(probe->type("Server Name", "bc"));
  ASSERT_TRUE(probe->pressReturn("Server Name"));
  EXPECT_EQ(delivered, std::vector<std::string>{"abc"}) << "not again when it disappears";
  EXPECT_EQ(probe->topViewController(), rootScreen);
  EXPECT_FALSE(window->isKeyboardVisible());
}

TEST_F(EditDataTest, CancelSkipsTheCallbackButStillAutoSaves) {
  auto editor = textEditor(std::string("keep"));
  editor->allowCancel = true;
  editor->setAutoSaveToKey("UserName");
  nav->pushViewController(editor, false);
  ASSERT_TRUE(probe->type("Server Name", "er"));
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(stored("UserName"), "keeper");
  EXPECT_EQ(probe->topViewController(), rootScreen);
}

TEST_F(EditDataTest, DoneShowsASpinnerAndClosesAMomentLater) {
  auto editor = textEditor(std::string("x"));
  editor->showWorkingOnExit = true;
  nav->pushViewController(editor, false);
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  auto left = editor->navigationItem().leftBarButtonItem();
  ASSERT_TRUE(left && left->customView());
  auto spinner = std::dynamic_pointer_cast<ActivityIndicatorView>(left->customView());
  ASSERT_TRUE(spinner);
  EXPECT_TRUE(spinner->isAnimating());
  EXPECT_EQ(probe->topViewController(), editor) << "not closed inside the tap";
  advance(std::chrono::milliseconds(1));
  EXPECT_EQ(probe->topViewController(), rootScreen);
  EXPECT_EQ(delivered, std::vector<std::string>{"x"});
}

TEST_F(EditDataTest, SecureNumericAndUrlFields) {
  auto secret = textEditor(std::string("1234"));
  secret->hideText = true;
  secret->numericOnly = true;
  secret->extraMessage = "Digits only.";
  nav->pushViewController(secret, false);
  EXPECT_TRUE(secret->textData->isSecureTextEntry());
  EXPECT_EQ(secret->textData->keyboardType(), KeyboardType::NumberPad);
  EXPECT_FALSE(secret->labelExtraMessage->isHidden());
  EXPECT_EQ(secret->labelExtraMessage->text(), "Digits only.");
  EXPECT_TRUE(secret->labelExtraMessage->font().italic);
  nav->popViewControllerAnimated(false);

  auto url = textEditor(std::string("http://"));
  url->urlEntry = true;
  url->spellChecker = true;
  nav->pushViewController(url, false);
  EXPECT_EQ(url->textData->keyboardType(), KeyboardType::URL);
  EXPECT_EQ(url->textData->traits().autocapitalizationType, TextAutocapitalizationType::Sentences);
  EXPECT_TRUE(url->labelExtraMessage->isHidden());
}

TEST_F(EditDataTest, OnOffEditorStoresNothing) {
  bool seen = false;
  auto editor = EditDataViewController::initWithTitle(
      "Passive", true, "Passive Mode", "EditDataView",
      [&](EditDataViewController &vc) { seen = vc.boolData->isOn(); });
  editor->setAutoSaveToKey("PassiveMode");
  nav->pushViewController(editor, false);
  EXPECT_FALSE(editor->boolData->isHidden());
  EXPECT_TRUE(editor->textData->isHidden());
  EXPECT_TRUE(editor->boolData->isOn());
  ASSERT_TRUE(probe->setSwitch("Passive Mode", false));
  ASSERT_TRUE(probe->tapBack());
  EXPECT_FALSE(seen);
  EXPECT_EQ(stored("PassiveMode"), std::nullopt);
}

TEST_F(EditDataTest, ListOfStringsCallsBackOnEveryTapAndOnLeaving) {
  std::vector<int> rows;
  auto editor = EditDataViewController::initWithTitle(
      "Sort", std::vector<EditDataItem>{"Name", "Size", "Date"}, 1, "Sort By", "EditDataView",
      [&](EditDataViewController &vc) { rows.push_back(vc.rowSelected); });
  editor->tableItemsAreStrings = true;
  editor->doSelectorOnChange = true;
  editor->extraMessage = "Folders stay on top.";
  editor->setAutoSaveToKey("DefaultSort");
  nav->pushViewController(editor, false);

  EXPECT_TRUE(editor->label->isHidden());
  EXPECT_FALSE(editor->tableData->isHidden());
  ASSERT_EQ(editor->tableData->numberOfSections(), 2);
  EXPECT_EQ(editor->tableData->numberOfRowsInSection(1), 0);
  EXPECT_EQ(editor->tableData->headerTitle(0), "Sort By");
  EXPECT_EQ(editor->tableData->headerTitle(1), "Folders stay on top.");
  auto rowsShown = probe->visibleRows();
  ASSERT_EQ(rowsShown.size(), 3u);
  EXPECT_EQ(rowsShown[1].accessory, TableViewCellAccessoryType::Checkmark);
  EXPECT_EQ(rowsShown[0].accessory, TableViewCellAccessoryType::None);

  ASSERT_TRUE(probe->tapRow("Date")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("Name"));
  EXPECT_EQ(rows, (std::vector<int>{2, 0}));
  EXPECT_EQ(probe->visibleRows()[0].accessory, TableViewCellAccessoryType::Checkmark);
  EXPECT_FALSE(probe->visibleRows()[0].selected) << "the tapped row is deselected";
  ASSERT_TRUE(probe->tapBack());
  EXPECT_EQ(rows, (std::vector<int>{2, 0, 0}));
  EXPECT_EQ(stored("DefaultSort"), "0");
}

TEST_F(EditDataTest, ListOfObjectsOrColoursAndFontRows) {
  UserDefaults::standard().setObject("1", "DefaultFont");
  auto sizes = EditDataViewController::initWithTitle(
      "Font Size", std::vector<EditDataItem>{"Small", "Normal", "Large", "Huge"}, 0, "Size",
      "EditDataView", nullptr);
  sizes->fontSizes = true;
  sizes->tableItemImages = {"a.png", "b.png", "c.png", "d.png"};
  nav->pushViewController(sizes, false);
  const double base = Font::systemFontSize();
  const double expected[] = {base - 2, base, base + 3, base + 8};
  for (int row = 0; row < 4; ++row) {
    auto cell = sizes->tableData->cellForRowAtIndexPath({0, row});
    ASSERT_TRUE(cell);
    EXPECT_EQ(cell->textLabel()->font(), Font::named("Courier", expected[row])) << row;
    EXPECT_EQ(cell->imageView()->imageName(), std::string(1, char('a' + row)) + ".png");
  }
  nav->popViewControllerAnimated(false);

  auto colours = EditDataViewController::initWithTitle(
      "Colour", std::vector<EditDataItem>{Color::redColor(), Color::blueColor()}, 1, "Colour",
      "EditDataView", nullptr);
  colours->isColor = true;
  nav->pushViewController(colours, false);
  auto cell = colours->tableData->cellForRowAtIndexPath({0, 1});
  ASSERT_TRUE(cell);
  EXPECT_EQ(cell->backgroundColor(), Color::blueColor());
  EXPECT_EQ(cell->textLabel()->text(), "");
}

TEST_F(EditDataTest, PassthroughButtonDeliversThenPassesOn) {
  std::vector<std::string> order;
  auto editor = EditDataViewController::initWithTitle(
      "Bookmark", std::string("home"), "Name", "EditDataView",
      [&](EditDataViewController &) { order.push_back("done"); });
  editor->passthroughButton("Connect",
                            [&](EditDataViewController &) { order.push_back("connect"); });
  nav->pushViewController(editor, false);
  ASSERT_TRUE(probe->tap("Connect")) << probe->lastError();
  EXPECT_EQ(order, (std::vector<std::string>{"done", "connect"}));
}

TEST_F(EditDataTest, IpadPopoverSizeAndDismissalOnChoice) {
  DeviceProfile::setCurrent(DeviceProfile::iPad());
  editDataViewWidth = 320;
  std::vector<int> rows;
  auto editor = EditDataViewController::initWithTitle(
      "Encoding", std::vector<EditDataItem>{"UTF-8", "Latin-1"}, 0, "Encoding", "EditDataView",
      [&](EditDataViewController &vc) { rows.push_back(vc.rowSelected); });
  editor->tableItemsAreStrings = true;
  editor->doSelectorOnChange = true;
  auto popover = std::make_shared<PopoverController>(editor);
  editor->popoverParent = popover;
  popover->presentPopoverFromRect({0, 0, 10, 10}, rootScreen->view(), ArrowAny, true);
  EXPECT_EQ(editor->contentSizeForViewInPopover(), (Size{320, 436}));
  EXPECT_TRUE(delegate->scrollerUses.empty()) << "a popover tells the delegate nothing";
  ASSERT_TRUE(probe->tapRow("Latin-1")) << probe->lastError();
  EXPECT_FALSE(popover->isPopoverVisible());
  EXPECT_EQ(rows.front(), 1);
}

TEST_F(EditDataTest, TurnsOnlyWhenTheUserAllowsLandscape) {
  auto editor = textEditor(std::string("x"));
  EXPECT_FALSE(editor->shouldAutorotateToInterfaceOrientation(InterfaceOrientation::LandscapeLeft));
  EXPECT_TRUE(editor->shouldAutorotateToInterfaceOrientation(InterfaceOrientation::Portrait));
  delegate->landscape = true;
  EXPECT_TRUE(editor->shouldAutorotateToInterfaceOrientation(InterfaceOrientation::LandscapeLeft));
}
