// The picture upload's naming screen through the probe: the name completed for its file type, the
// other side kept in proportion while a size is typed, a new size bounded as in the image editor,
// and a name already in the folder answered with Cancel or Overwrite.
#include "app/remote/UploadPictureView.h"

#include "tests/app/foundation/ScreenFixture.h"

#include "app/foundation/Globals.h"
#include "app/foundation/ImageScaling.h"
#include "app/foundation/SettingsKeys.h"

using namespace platform;
using namespace platform::ui;

namespace {

class UploadPictureTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    InitGlobals();
    namer = std::make_shared<UploadPictureView>(
        "UploadPictureView", [this](UploadPictureView &v) { told.push_back(v.filename->text()); });
    namer->wIn = 4000;
    namer->hIn = 3000;
    auto taken = std::make_shared<DirItemInfo>();
    taken->setName("taken.jpg");
    namer->currentDirectory = {taken};
    nav->pushViewController(namer, false);
    RunLoop::main()->runPending();
  }
  bool name(const std::string &text) {
    auto field = probe->find<TextField>("File Name");
    if (!field->text().empty() && !probe->clear("File Name")) return false;
    return probe->type("File Name", text);
  }
  std::shared_ptr<UploadPictureView> namer;
  std::vector<std::string> told;
};

TEST_F(UploadPictureTest, NamesAreCompletedForTheirFileType) {
  struct Case {
    const char *typed;
    int type;
    const char *sent;
  } cases[] = {{"PIC.JPEG", 0, "PIC.JPEG"}, {"PIC.JPEG", 1, "PIC.JPEG.png"}, {"a.Png", 1, "a.Png"},
               {"a.png", 0, "a.png.jpg"},   {"shot", 0, "shot.jpg"},         {"x.jpe", 0, "x.jpe"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.typed);
    ASSERT_TRUE(name(c.typed)) << probe->lastError();
    ASSERT_TRUE(probe->selectSegment("File Type", c.type));
    ASSERT_TRUE(namer->verifyData());
    EXPECT_EQ(namer->filename->text(), c.sent);
    EXPECT_EQ(UserDefaults::standard().integerForKey(kUploadImageFileTypeKey), c.type);
  }
  EXPECT_TRUE(told.empty()); // checking alone saves nothing
}

TEST_F(UploadPictureTest, TypedSizeKeepsTheAspectUnlessTurnedOff) {
  ASSERT_TRUE(probe->type("Width", "1000"));
  EXPECT_EQ(namer->height->text(), "750");
  ASSERT_TRUE(probe->backspace("Width", 4));
  EXPECT_EQ(namer->height->text(), ""); // no width, no height
  ASSERT_TRUE(probe->type("Height", "600"));
  EXPECT_EQ(namer->width->text(), "800");
  ASSERT_TRUE(probe->setSwitch("Keep Aspect", false));
  ASSERT_TRUE(probe->type("Height", "1"));
  EXPECT_EQ(namer->width->text(), "800");
}

TEST_F(UploadPictureTest, ANewSizeIsBoundedAsInTheImageEditor) {
  struct Case {
    const char *width, *height; // nullptr: worked out from the other side
    bool accepted;
  } cases[] = {{"16384", "1", true},
               {"1", "16384", true},
               {"16385", "100", false},
               {"0", "100", false},
               {"4294967396", "100", false}, // not wrapped round to 100
               {"99999999999999999999999", nullptr, false},
               {nullptr, "99999999999999999999999", false}};
  ASSERT_TRUE(name("pic"));
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.width ? c.width : "-") + "x" + (c.height ? c.height : "-"));
    ASSERT_TRUE(probe->setSwitch("Keep Aspect", !c.width || !c.height));
    for (const char *field : {"Width", "Height"}) {
      if (const size_t n = probe->find<TextField>(field)->text().size()) {
        ASSERT_TRUE(probe->backspace(field, n)) << probe->lastError();
      }
    }
    if (c.width) {
      ASSERT_TRUE(probe->type("Width", c.width));
    }
    if (c.height) {
      ASSERT_TRUE(probe->type("Height", c.height));
    }
    EXPECT_EQ(namer->verifyData(), c.accepted);
    const auto alerts = probe->pendingAlerts();
    ASSERT_EQ(alerts.size(), c.accepted ? 0u : 1u);
    if (!c.accepted) {
      EXPECT_EQ(alerts[0].title, kPictureSizeAlertTitle);
      EXPECT_EQ(alerts[0].message, pictureSizeAlertMessage());
      ASSERT_TRUE(probe->answerAlert("OK"));
    }
  }
}

TEST_F(UploadPictureTest, ANameInUseIsOverwrittenOnlyWhenAsked) {
  ASSERT_TRUE(name("taken"));
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  RunLoop::main()->runPending();
  ASSERT_EQ(probe->pendingAlerts().size(), 1u);
  EXPECT_EQ(probe->pendingAlerts()[0].title, "File Name Error");
  ASSERT_TRUE(probe->answerAlert("Cancel"));
  EXPECT_TRUE(told.empty());
  EXPECT_EQ(probe->topViewController(), namer);
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Overwrite"));
  EXPECT_EQ(told, std::vector<std::string>{"taken.jpg"});
  EXPECT_EQ(probe->topViewController(), rootScreen);
}

} // namespace
