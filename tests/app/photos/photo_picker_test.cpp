// The photo library as the media source of the cloud folder's import and the remote folder's
// picture upload: a person picks a picture or a video from a pictures folder the test makes, or
// cancels; the pick is delivered once. The cloud folder imports through it.
#include "app/photos/PhotoPickerView.h"

#include "tests/app/foundation/ScreenFixture.h"
#include "tests/support/PhotoFixtures.h"

#include "app/foundation/Globals.h"
#include "platform/device/DeviceProfile.h"
#include "platform/media/Image.h"

#include <filesystem>

using namespace platform;
using namespace platform::ui;
using platform::media::PhotoLibrary;
namespace fs = std::filesystem;

namespace {

class PhotoPickerTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    InitGlobals();
    pictures = tmpPath() + "/Pictures";
    PhotoLibrary::setPicturesFolder(pictures);
  }
  void TearDown() override {
    PhotoLibrary::setPicturesFolder(std::nullopt);
    CloudMediaSource::setShared(nullptr);
    ScreenTest::TearDown();
  }
  // Opens the picker (from `from` when given); the result lands in `result` (calls counted).
  void pick(bool camera = false, const std::shared_ptr<BarButtonItem> &from = nullptr) {
    popover = source.pick(camera, -1, from, [this](std::optional<PickedMedia> media) {
      ++calls;
      result = std::move(media);
    });
    RunLoop::main()->runPending();
  }
  PhotoLibraryMediaSource source;
  std::shared_ptr<PopoverController> popover;
  std::string pictures;
  std::optional<PickedMedia> result;
  int calls = 0;
};

TEST_F(PhotoPickerTest, PicksAPictureAsStoredOrAVideoCopyOrNothing) {
  EXPECT_FALSE(source.hasLibrary()); // no pictures folder yet
  EXPECT_FALSE(source.hasCamera());
  testsupport::makePicturesFolder(pictures);
  EXPECT_TRUE(source.hasLibrary());

  // A picture: decoded with its orientation flag, named after its file; the picker goes.
  pick();
  EXPECT_EQ(probe->navigationTitle(), "Photo Albums");
  ASSERT_TRUE(probe->tapRow("Holidays")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("beach.jpg")) << probe->lastError();
  RunLoop::main()->runPending();
  ASSERT_EQ(calls, 1);
  ASSERT_TRUE(result && result->image);
  EXPECT_FALSE(result->isMovie);
  EXPECT_EQ(result->suggestedName, "beach.jpg");
  EXPECT_EQ(result->image->imageOrientation(), media::ImageOrientation::Right); // EXIF 6
  EXPECT_EQ(probe->topViewController(), rootScreen);

  // A video: a copy of its bytes in a folder of its own.
  pick();
  ASSERT_TRUE(probe->tapRow("Holidays")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("clip.mov")) << probe->lastError();
  ASSERT_EQ(calls, 2);
  ASSERT_TRUE(result && result->isMovie);
  EXPECT_EQ(result->suggestedName, "clip.mov");
  EXPECT_NE(result->moviePath, pictures + "/Holidays/clip.mov");
  EXPECT_EQ(testsupport::readFile(result->moviePath), std::string(3000, 'm'));

  // A file that is no picture is not taken; Cancel then gives nothing, once.
  pick();
  ASSERT_TRUE(probe->tapRow("Holidays")) << probe->lastError();
  EXPECT_FALSE(probe->tapRow("notes.txt")); // the library lists pictures and videos only
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  RunLoop::main()->runPending();
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(result);
  EXPECT_EQ(probe->topViewController(), rootScreen);

  // No camera here: asking for one answers at once with nothing.
  pick(true);
  EXPECT_EQ(calls, 4);
  EXPECT_FALSE(result);
}

TEST_F(PhotoPickerTest, AnUnreadablePictureKeepsThePickerOpen) {
  fs::create_directories(pictures + "/Broken");
  testsupport::writeFile(pictures + "/Broken/bad.jpg", "not a picture at all");
  pick();
  ASSERT_TRUE(probe->tapRow("Broken")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("bad.jpg")) << probe->lastError();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(probe->navigationTitle(), "Broken");
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  EXPECT_EQ(calls, 1);
}

// On the tablet a picker asked for from a bar button opens in a 320 x 480 popover pointing at it;
// a pick or Cancel closes the popover, and so does a tap outside it, which picks nothing. On the
// phone, or without a button, it is a modal screen.
TEST_F(PhotoPickerTest, OnTheTabletItOpensInAPopoverFromTheButton) {
  testsupport::makePicturesFolder(pictures);
  auto menu = BarButtonItem::titled("Menu", BarButtonItemStyle::Plain, nullptr);
  rootScreen->navigationItem().setRightBarButtonItem(menu);
  const struct {
    const char *what;
    DeviceProfile device;
    bool fromMenu, inPopover;
  } cases[] = {
      {"tablet, from the menu", DeviceProfile::iPad(), true, true},
      {"tablet, no button", DeviceProfile::iPad(), false, false},
      {"phone, from the menu", DeviceProfile::iPhone(), true, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    DeviceProfile::setCurrent(c.device);
    for (const char *ending : {"pick", "Cancel", "tap outside"}) {
      SCOPED_TRACE(ending);
      const int before = calls;
      pick(false, c.fromMenu ? menu : nullptr);
      EXPECT_EQ(probe->navigationTitle(), "Photo Albums");
      EXPECT_EQ(bool(popover), c.inPopover);
      EXPECT_EQ(window->popovers().size(), c.inPopover ? 1u : 0u);
      if (c.inPopover) {
        EXPECT_EQ(window->popovers().back(), popover);
        EXPECT_EQ(popover->popoverContentSize(), (Size{320, 480}));
        EXPECT_EQ(popover->arrowDirections(), unsigned(ArrowAny));
        EXPECT_EQ(popover->anchor().kind, Anchor::Kind::BarButtonItem);
        EXPECT_EQ(popover->anchor().element.lock(), menu);
      } else {
        EXPECT_NE(probe->topViewController(), rootScreen) << "shown modally";
      }
      if (std::string(ending) == "pick") {
        ASSERT_TRUE(probe->tapRow("Holidays")) << probe->lastError();
        ASSERT_TRUE(probe->tapRow("beach.jpg")) << probe->lastError();
      } else if (std::string(ending) == "Cancel") {
        ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
      } else if (c.inPopover) {
        ASSERT_TRUE(probe->dismissPopover()) << probe->lastError();
      } else {
        ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError(); // no outside to tap
      }
      RunLoop::main()->runPending();
      EXPECT_EQ(calls, before + 1) << "answered once";
      EXPECT_EQ(bool(result), std::string(ending) == "pick");
      EXPECT_TRUE(window->popovers().empty());
      EXPECT_EQ(probe->topViewController(), rootScreen);
    }
  }
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
}

} // namespace
