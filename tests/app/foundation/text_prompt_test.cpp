// The name prompt driven through the probe: empty and taken names, the picture-format extension
// rules, Save, Cancel and Return, and closing the way it was shown.
#include "app/foundation/Globals.h"
#include "app/foundation/TextPromptViewer.h"

#include "ScreenFixture.h"

#include "platform/foundation/UserDefaults.h"

using namespace platform;
using namespace platform::ui;

namespace {

std::shared_ptr<DirItemInfo> entry(const std::string &name) {
  auto item = std::make_shared<DirItemInfo>();
  item->setName(name);
  return item;
}

class TextPromptTest : public ScreenTest {
protected:
  std::shared_ptr<TextPromptViewer> prompt(const std::string &text) {
    return TextPromptViewer::initWithTitle(
        "New Folder", text, "Folder Name", "TextPromptView",
        [this](TextPromptViewer &p) { saved.push_back(p.filename->text()); });
  }
  // Saves `typed` with the picture-format choice in a folder holding `existing`; true when the
  // name the prompt checked was taken (so the checked name was `existing`).
  bool checkedNameWas(const std::string &typed, int segment, const std::string &existing) {
    auto p = prompt("");
    p->promptImageUpload = true;
    p->currentDirectory = {entry(existing)};
    nav->pushViewController(p, false);
    p->segmentFileType->setSelectedSegmentIndex(segment);
    EXPECT_TRUE(probe->type("Folder Name", typed));
    EXPECT_TRUE(probe->tap("Done"));
    auto alerts = probe->pendingAlerts();
    bool taken = !alerts.empty() && alerts.back().title == "File Name Error";
    while (!probe->pendingAlerts().empty())
      probe->answerAlert("OK");
    nav->popToRootViewControllerAnimated(false);
    return taken;
  }
  std::vector<std::string> saved;
};

} // namespace

TEST_F(TextPromptTest, EmptyNameIsRefusedAndThePromptStays) {
  auto p = prompt("");
  nav->pushViewController(p, true);
  EXPECT_EQ(probe->navigationTitle(), "New Folder");
  EXPECT_TRUE(p->filename->isFirstResponder());
  EXPECT_EQ(p->filename->font(), myTextInputFont);
  EXPECT_EQ(p->filename->clearButtonMode(), TextFieldViewMode::WhileEditing);
  EXPECT_TRUE(p->segmentFileType->isHidden());
  EXPECT_TRUE(p->labelExtraMessage->isHidden());
  EXPECT_TRUE(p->helpButton->isHidden());
  EXPECT_EQ(p->contentSizeForViewInPopover(), (Size{320, 320}));
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  auto alerts = probe->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "No Name Entered");
  EXPECT_EQ(alerts[0].message, "Please enter a file name.");
  EXPECT_EQ(alerts[0].buttons, std::vector<std::string>{"OK"});
  ASSERT_TRUE(probe->answerAlert("OK"));
  EXPECT_TRUE(saved.empty());
  EXPECT_EQ(probe->topViewController(), p);

  // Return on the empty field does nothing either.
  ASSERT_TRUE(probe->pressReturn("Folder Name"));
  EXPECT_TRUE(saved.empty());
  ASSERT_TRUE(probe->answerAlert("OK"));
  EXPECT_EQ(probe->topViewController(), p);
}

TEST_F(TextPromptTest, TakenNamesAreCaseSensitive) {
  auto p = prompt("Report.txt");
  p->currentDirectory = {entry("notes"), entry("Report.txt")};
  nav->pushViewController(p, false);
  ASSERT_TRUE(probe->tap("Done"));
  auto alerts = probe->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "File Name Error");
  EXPECT_EQ(alerts[0].message, "A file with that name already exists in the folder.");
  ASSERT_TRUE(probe->answerAlert("OK"));
  EXPECT_TRUE(saved.empty());

  ASSERT_TRUE(probe->clear("Folder Name"));
  ASSERT_TRUE(probe->type("Folder Name", "report.txt"));
  ASSERT_TRUE(probe->pressReturn("Folder Name")) << probe->lastError();
  EXPECT_EQ(saved, std::vector<std::string>{"report.txt"});
  EXPECT_EQ(probe->topViewController(), rootScreen);
  EXPECT_FALSE(window->isKeyboardVisible());
}

TEST_F(TextPromptTest, PictureNamesAreCheckedWithTheChosenExtension) {
  // PNG: no dot gets ".png"; ".PNG" stays; ".jpg" gets ".png" after it.
  EXPECT_TRUE(checkedNameWas("photo", 1, "photo.png"));
  EXPECT_TRUE(checkedNameWas("photo.PNG", 1, "photo.PNG"));
  EXPECT_TRUE(checkedNameWas("photo.jpg", 1, "photo.jpg.png"));
  EXPECT_EQ(UserDefaults::standard().stringForKey("UploadImageFileTypeKey"), "1");
  // JPEG: ".JPE" and ".jpeg" stay; ".gif" gets ".jpg"; no dot gets ".jpg".
  EXPECT_TRUE(checkedNameWas("IMG.JPE", 0, "IMG.JPE"));
  EXPECT_TRUE(checkedNameWas("IMG.jpeg", 0, "IMG.jpeg"));
  EXPECT_TRUE(checkedNameWas("anim.gif", 0, "anim.gif.jpg"));
  EXPECT_TRUE(checkedNameWas("shot", 0, "shot.jpg"));
  EXPECT_FALSE(checkedNameWas("shot", 0, "shot"));
  EXPECT_EQ(UserDefaults::standard().stringForKey("UploadImageFileTypeKey"), "0");
  // What the caller reads is the text as typed.
  EXPECT_EQ(saved.back(), "shot");
}

TEST_F(TextPromptTest, StoredPictureFormatIsPreselected) {
  UserDefaults::standard().setObject("1", "UploadImageFileTypeKey");
  auto p = prompt("IMG_0001");
  p->promptImageUpload = true;
  p->extraMessage = "Pictures are saved in Saved Files.";
  nav->pushViewController(p, false);
  EXPECT_FALSE(p->segmentFileType->isHidden());
  EXPECT_FALSE(p->labelFileType->isHidden());
  EXPECT_EQ(p->segmentFileType->selectedSegmentIndex(), 1);
  EXPECT_FALSE(p->labelExtraMessage->isHidden());
  EXPECT_EQ(p->labelExtraMessage->font(), Font::italicSystem(14));
  ASSERT_TRUE(probe->selectSegment("File Type", 0)) << probe->lastError();
  ASSERT_TRUE(probe->tap("Done"));
  EXPECT_EQ(UserDefaults::standard().stringForKey("UploadImageFileTypeKey"), "0");
  EXPECT_EQ(saved, std::vector<std::string>{"IMG_0001"});
}

TEST_F(TextPromptTest, CancelClosesAndCallsOnlyTheCancelSelector) {
  auto p = prompt("draft");
  nav->pushViewController(p, false);
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  EXPECT_TRUE(saved.empty());
  EXPECT_EQ(probe->topViewController(), rootScreen);

  int cancels = 0;
  auto q = prompt("draft");
  q->selectorCancel = [&](TextPromptViewer &) { ++cancels; };
  nav->pushViewController(q, false);
  ASSERT_TRUE(probe->tap("Cancel"));
  EXPECT_EQ(cancels, 1);
  EXPECT_TRUE(saved.empty());
}

TEST_F(TextPromptTest, ModalAndPopoverPromptsCloseTheirWay) {
  auto p = prompt("bookmark");
  auto modalNav = std::make_shared<NavigationController>(p);
  p->shownModal = true;
  p->modalNavigationController = modalNav;
  rootScreen->presentModalViewController(modalNav, true);
  ASSERT_EQ(window->modalLayers().size(), 1u);
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  EXPECT_EQ(saved, std::vector<std::string>{"bookmark"});
  EXPECT_TRUE(window->modalLayers().empty());

  auto q = prompt("folder");
  auto popover = std::make_shared<PopoverController>(std::make_shared<NavigationController>(q));
  q->popoverParent = popover;
  popover->presentPopoverFromRect({0, 0, 10, 10}, rootScreen->view(), ArrowAny, true);
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  EXPECT_FALSE(popover->isPopoverVisible());
  EXPECT_EQ(saved.back(), "folder");
}

TEST_F(TextPromptTest, HelpButtonOpensTheHelpPage) {
  auto p = prompt("x");
  p->helpURL = "help-names.html";
  nav->pushViewController(p, false);
  EXPECT_FALSE(p->helpButton->isHidden());
  ASSERT_TRUE(probe->tap("Help")) << probe->lastError();
  EXPECT_EQ(delegate->helpPages,
            std::vector<std::string>{"HelpView|Ferrowen Help|help-names.html"});
  EXPECT_EQ(probe->navigationTitle(), "Ferrowen Help");
  EXPECT_FALSE(p->shouldAutorotateToInterfaceOrientation(InterfaceOrientation::LandscapeLeft));
}
