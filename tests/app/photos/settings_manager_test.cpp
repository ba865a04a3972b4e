// The declarative settings table driven through the probe: rows of every kind show the values of
// their keys and write each change straight back; index paths outside the rows are answered
// safely; Done and Cancel close the screen as it was shown, only Done calls back.
#include "app/photos/SettingsManagerView.h"

#include "tests/app/foundation/ScreenFixture.h"

#include "app/foundation/Globals.h"
#include "app/foundation/Scrambler.h"
#include "platform/media/Image.h"

using namespace platform;
using namespace platform::ui;

namespace {

UserDefaults &store() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

class SettingsManagerTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    InitGlobals();
    screen = std::make_shared<SettingsManagerView>("SettingsManagerModalView");
    screen->titleMsg = "Options";
    screen->isModal = true;
    screen->isPushedOnNavigation = true;
    screen->whenDoneTarget([this](SettingsManagerView &) { ++doneCalls; });
  }
  void TearDown() override {
    screen.reset();
    media::ImageRegistry::shared().clear();
    ScreenTest::TearDown();
  }
  void show() {
    nav->pushViewController(screen, false);
    RunLoop::main()->runPending();
  }
  // The value shown on the right of the row with that caption.
  std::string valueOf(const std::string &row) {
    auto table = screen->tableView();
    for (auto &r : probe->visibleRows(table))
      if (r.label == row) {
        auto value = std::dynamic_pointer_cast<Label>(
            table->cellForRowAtIndexPath(r.indexPath)->contentView()->viewWithTag(2));
        return value && !value->isHidden() ? value->text() : "<hidden>";
      }
    return "<no row>";
  }
  std::shared_ptr<SettingsManagerView> screen;
  int doneCalls = 0;
};

TEST_F(SettingsManagerTest, RowsShowTheirKeysAndStoreEveryChange) {
  store().setObject("Ann", "T-Text");
  store().setObject(myEncryptString1("secret"), "T-Pass");
  store().setObject("1", "T-List");
  store().setObject("free text", "T-Plain");
  store().setObject("zebra", "T-Odd");
  store().setObject("1", "T-Switch");
  int switched = 0;
  screen->addSetting(SettingsItem::settingTextNamed("Lost", "T-Lost")); // before any section
  screen->addSection("First");
  screen->addSetting(SettingsItem::settingTextNamed("Name", "T-Text"));
  screen->addSetting(SettingsItem::settingPasswordNamed("Password", "T-Pass"));
  screen->addSetting(SettingsItem::settingListNamed("Size", {"Small", "Big"}, true, "T-List"));
  screen->addSetting(SettingsItem::settingListNamed("Plain", {"a", "b"}, false, "T-Plain"));
  screen->addSetting(SettingsItem::settingListNamed("Odd", {"One", "Two"}, true, "T-Odd"));
  screen->addSection("Second");
  screen->addSetting(SettingsItem::settingSwitchNamed("Sound", "T-Switch",
                                                      [&](SettingsManagerView &) { ++switched; }));
  screen->addSetting(SettingsItem::settingSliderNamed("Level", "T-Slider", 0, 10));
  screen->addSetting(SettingsItem::settingInfoLabelNamed("Version", "3.0"));
  show();
  EXPECT_EQ(screen->tableView()->numberOfSections(), 4); // two titled, two closing ones
  EXPECT_EQ(screen->tableView()->numberOfRowsInSection(0), 5);
  EXPECT_EQ(valueOf("Name"), "Ann");
  EXPECT_EQ(valueOf("Password"), "*******");
  EXPECT_EQ(valueOf("Size"), "Big");
  EXPECT_EQ(valueOf("Plain"), "free text");
  EXPECT_EQ(valueOf("Odd"), "One"); // not a number: the first choice
  EXPECT_EQ(valueOf("Version"), "3.0");
  EXPECT_EQ(valueOf("Lost"), "<no row>");

  // Text: edited on its own screen, stored as typed when left.
  ASSERT_TRUE(probe->tapRow("Name")) << probe->lastError();
  ASSERT_TRUE(probe->clear("Name")) << probe->lastError();
  ASSERT_TRUE(probe->type("Name", "Bo")) << probe->lastError();
  ASSERT_TRUE(probe->tapBack()) << probe->lastError();
  EXPECT_EQ(store().stringForKey("T-Text"), "Bo");
  EXPECT_EQ(valueOf("Name"), "Bo");
  // Password: shown in the clear to its editor, stored scrambled.
  ASSERT_TRUE(probe->tapRow("Password")) << probe->lastError();
  EXPECT_EQ(probe->find<TextField>("Password")->text(), "secret");
  ASSERT_TRUE(probe->type("Password", "2")) << probe->lastError();
  ASSERT_TRUE(probe->tapBack()) << probe->lastError();
  EXPECT_EQ(myDecryptString1(store().stringForKey("T-Pass").value_or("")), "secret2");
  EXPECT_NE(store().stringForKey("T-Pass"), "secret2");
  // Indexed list: the index of the choice.
  ASSERT_TRUE(probe->tapRow("Size")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("Small")) << probe->lastError();
  ASSERT_TRUE(probe->tapBack()) << probe->lastError();
  EXPECT_EQ(store().stringForKey("T-List"), "0");
  // A list that is not indexed opens nothing.
  ASSERT_TRUE(probe->tapRow("Plain")) << probe->lastError();
  EXPECT_EQ(probe->topViewController(), screen);
  // Switch and slider write at once; the switch's callback follows.
  ASSERT_TRUE(probe->setSwitch("Sound", false)) << probe->lastError();
  EXPECT_EQ(store().stringForKey("T-Switch"), "0");
  EXPECT_EQ(switched, 1);
  ASSERT_TRUE(probe->slide("Level", 2.5)) << probe->lastError();
  EXPECT_EQ(store().stringForKey("T-Slider"), "2.500000");
}

TEST_F(SettingsManagerTest, IndexPathsOutsideTheRowsAreAnsweredSafely) {
  screen->addSection("Only");
  screen->addSetting(SettingsItem::settingTextNamed("Name", "T-Text"));
  show();
  auto &table = *screen->tableView();
  for (IndexPath ip : {IndexPath{0, 1}, IndexPath{0, -1}, IndexPath{1, 0}, IndexPath{2, 0},
                       IndexPath{7, 3}, IndexPath{-1, 0}}) {
    SCOPED_TRACE(std::to_string(ip.section) + "," + std::to_string(ip.row));
    EXPECT_FALSE(screen->itemAt(ip));
    EXPECT_EQ(screen->heightForRowAtIndexPath(table, ip), 44);
    EXPECT_FALSE(screen->willSelectRowAtIndexPath(table, ip));
    auto cell = screen->cellForRowAtIndexPath(table, ip);
    ASSERT_TRUE(cell);
    screen->didSelectRowAtIndexPath(table, ip);
    EXPECT_EQ(probe->topViewController(), screen);
  }
  EXPECT_EQ(screen->numberOfRowsInSection(table, 1), 0);
  EXPECT_EQ(screen->numberOfRowsInSection(table, 2), 0);
  EXPECT_EQ(screen->titleForHeaderInSection(table, 2), "");
}

TEST_F(SettingsManagerTest, ImageRowHeightsAndRowsThatCannotBeSelected) {
  for (int h : {20, 100}) {
    std::vector<uint32_t> px(size_t(10) * h, 0xFF0000FFu);
    media::ImageRegistry::shared().registerImage(
        "pic" + std::to_string(h),
        media::Image::fromPixels(10, h, reinterpret_cast<uint8_t *>(px.data()), 40));
  }
  screen->addSection("Pictures");
  screen->addSetting(SettingsItem::settingImage("pic20"));
  screen->addSetting(SettingsItem::settingImage("pic100"));
  screen->addSetting(SettingsItem::settingLongLabel("Some words"));
  screen->addSetting(SettingsItem::settingInfoURLNamed("Help", "Help Page", "http://127.0.0.1/h"));
  screen->addSetting(SettingsItem::settingInfoURLNamed("Nowhere", "None", ""));
  show();
  auto &table = *screen->tableView();
  EXPECT_EQ(screen->heightForRowAtIndexPath(table, {0, 0}), 44);
  EXPECT_EQ(screen->heightForRowAtIndexPath(table, {0, 1}), 110);
  EXPECT_FALSE(screen->willSelectRowAtIndexPath(table, {0, 2}));
  EXPECT_EQ(screen->accessoryTypeForRowWithIndexPath(table, {0, 3}),
            TableViewCellAccessoryType::DisclosureIndicator);
  EXPECT_EQ(screen->accessoryTypeForRowWithIndexPath(table, {0, 4}),
            TableViewCellAccessoryType::None);
  // An address row opens the help screen on it.
  ASSERT_TRUE(probe->tapRow("Help")) << probe->lastError();
  ASSERT_EQ(delegate->helpPages.size(), 1u);
  EXPECT_EQ(delegate->helpPages[0], "HelpView|Help Page|http://127.0.0.1/h");
}

TEST_F(SettingsManagerTest, DoneAndCancelCloseAsShownAndOnlyDoneCallsBack) {
  auto middle = std::make_shared<ViewController>("Middle");
  middle->setTitle("Middle");
  nav->pushViewController(middle, false);
  screen->addSection("S");
  screen->doneBtnTitle = "Apply";
  screen->vcParentDone = rootScreen;
  show();
  ASSERT_TRUE(probe->tap("Apply")) << probe->lastError();
  EXPECT_EQ(doneCalls, 1);
  EXPECT_EQ(probe->topViewController(), rootScreen); // back to the screen named for Done
  EXPECT_TRUE(screen->closed());

  // Cancel instead of Done: pops one level and never calls back.
  auto second = std::make_shared<SettingsManagerView>("SettingsManagerModalView");
  int calls = 0;
  second->isModal = second->includeCancel = second->isPushedOnNavigation = true;
  second->whenDoneTarget([&](SettingsManagerView &) { ++calls; });
  nav->pushViewController(middle, false);
  nav->pushViewController(second, false);
  RunLoop::main()->runPending();
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(probe->topViewController(), middle);

  // In a popover: Done dismisses the popover.
  auto third = std::make_shared<SettingsManagerView>("SettingsManagerModalView");
  third->isModal = true;
  third->whenDoneTarget([&](SettingsManagerView &) { ++calls; });
  auto holder = std::make_shared<NavigationController>(third);
  auto popover = std::make_shared<PopoverController>(holder);
  third->popoverParent = popover;
  popover->presentPopoverFromRect(Rect(0, 0, 10, 10), middle->view(), ArrowAny, false);
  RunLoop::main()->runPending();
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  EXPECT_FALSE(popover->isPopoverVisible());
  EXPECT_EQ(calls, 1);
}

} // namespace
