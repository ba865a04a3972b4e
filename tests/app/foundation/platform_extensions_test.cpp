// Alerts from worker threads, device facts, the device-dependent colours, badged images, image
// buttons and bars, and bitmap contexts.
#include "app/foundation/PlatformExtensions.h"

#include "ScreenFixture.h"

#include "platform/foundation/Log.h"
#include "platform/media/BitmapContext.h"
#include "tests/support/TimeScale.h"

#include <atomic>
#include <filesystem>
#include <thread>

using namespace platform;
using namespace platform::ui;

namespace {

class PlatformExtensionsTest : public ScreenTest {};

DeviceProfile device(const std::string &platform, const std::string &version, bool pad = false) {
  DeviceProfile p = pad ? DeviceProfile::iPad() : DeviceProfile::iPhone();
  p.platform = platform;
  p.systemVersion = version;
  return p;
}

} // namespace

TEST_F(PlatformExtensionsTest, AlertsFromWorkersWaitUntilShown) {
  auto onMain =
      std::make_shared<AlertView>("Connected", "", std::weak_ptr<AlertViewDelegate>(), "OK");
  showOnMainThread(onMain);
  EXPECT_TRUE(onMain->isVisible()) << "on the main thread: at once";
  ASSERT_TRUE(probe->answerAlert("OK"));

  auto fromWorker =
      std::make_shared<AlertView>("Connection Failed", "The server closed the connection.",
                                  std::weak_ptr<AlertViewDelegate>(), "OK");
  std::atomic<bool> returned{false}, visibleOnReturn{false};
  std::thread worker([&] {
    showOnMainThread(fromWorker);
    visibleOnReturn = fromWorker->isVisible();
    returned = true;
  });
  // The worker waits for the main thread, which shows the alert when its loop runs.
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return returned.load(); },
                                        testsupport::scaled(std::chrono::seconds(20))));
  worker.join();
  EXPECT_TRUE(visibleOnReturn) << "shown before the worker went on";
  auto alerts = probe->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "Connection Failed");
  showOnMainThread(nullptr); // nothing to show: nothing happens
}

TEST_F(PlatformExtensionsTest, DeviceFactsFollowTheProfile) {
  DeviceProfile::setCurrent(device("iPhone2,1", "3.2"));
  EXPECT_TRUE(Hardware::osVersionIsAtLeast(3.2));
  EXPECT_FALSE(Hardware::osVersionIsAtLeast(4.0));
  DeviceProfile::setCurrent(device("iPhone2,1", "4.0"));
  EXPECT_TRUE(Hardware::osVersionIsAtLeast(3.2));
  DeviceProfile::setCurrent(device("iPhone2,1", "3.1.3"));
  EXPECT_FALSE(Hardware::osVersionIsAtLeast(3.2));
  DeviceProfile::setCurrent(device("iPhone3,1", "4.3.1"));
  EXPECT_TRUE(Hardware::osVersionIsAtLeast(4.3)) << "4.3.1 counts as 4.3";
  EXPECT_FALSE(Hardware::osVersionIsAtLeast(4.31));

  EXPECT_EQ(Hardware::platform(), "iPhone3,1");
  EXPECT_TRUE(Hardware::isRetinaDisplay());
  EXPECT_TRUE(Hardware::isiPhone());
  EXPECT_FALSE(Hardware::isiPad());
  EXPECT_EQ(Hardware::navigationTitleShadowOffset(), (Size{0, -1}));
  EXPECT_EQ(Hardware::modelShort(), "iPhone");
  DeviceProfile::setCurrent(device("iPod3,1", "4.1"));
  EXPECT_FALSE(Hardware::isRetinaDisplay());
  EXPECT_TRUE(Hardware::isFastDevice());
  EXPECT_EQ(Hardware::modelShort(), "iPod");
  DeviceProfile::setCurrent(device("iPhone1,2", "3.1"));
  EXPECT_FALSE(Hardware::isFasterDevice());
  EXPECT_EQ(Hardware::platformString(), "iPhone 3G");
  EXPECT_EQ(Hardware::speedRating(), 1);

  DeviceProfile::setCurrent(device("iPad1,1", "4.2", true));
  EXPECT_TRUE(Hardware::isiPad());
  EXPECT_FALSE(Hardware::isiPad2());
  EXPECT_TRUE(Hardware::isiPad2(device("iPad2,1", "4.3", true)));
  EXPECT_FALSE(Hardware::isiPad(device("iPhone4,1", "5.1")));
  EXPECT_EQ(Hardware::navigationTitleShadowOffset(), (Size{0, 1}));
  EXPECT_EQ(Hardware::platformString(), std::nullopt);
}

TEST_F(PlatformExtensionsTest, FourColoursDependOnTheDevice) {
  DeviceProfile::setCurrent(DeviceProfile::iPad());
  EXPECT_EQ(myBackgroundColor(), (Color{0.88, 0.89, 0.91, 1}));
  EXPECT_EQ(searchBarColor(), (Color{214 / 255.0, 216 / 255.0, 233 / 255.0, 1}));
  EXPECT_EQ(navigationTitleColor(), (Color{0.443, 0.471, 0.502, 1}));
  EXPECT_EQ(navigationTitleHighlightColor(), (Color{0.9, 0.91, 0.92, 1}));
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
  EXPECT_EQ(myBackgroundColor(), groupTableViewBackgroundColor());
  EXPECT_EQ(searchBarColor(), (Color{0.83, 0.83, 0.87, 1}));
  EXPECT_EQ(navigationTitleColor(), Color::whiteColor());
  EXPECT_EQ(navigationTitleHighlightColor(), Color::darkGrayColor());
  EXPECT_EQ(lightBlueColor(), (Color{0, 0.55, 1, 1}));
  EXPECT_EQ(darkGreenColor(), (Color{0, 0.5, 0, 1}));
}

TEST_F(PlatformExtensionsTest, BadgesSitTopRightWithTheLettersCutOut) {
  DeviceProfile::setCurrent(device("iPhone2,1", "3.1.3")); // before 4.0: scale 1
  auto base = media::BitmapContext::create(60, 30);
  base->setFillColor({1, 1, 1, 1});
  base->fillRect({0, 0, 60, 30});
  auto plain = base->makeImage();

  auto empty = imageWithBadge(*plain, std::nullopt);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->pixelSize(), (media::PixelSize{60, 30}));
  EXPECT_EQ(empty->scale(), 1.0);
  int changed = 0, outside = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 60; ++x)
      if (empty->pixelAt(x, y) != plain->pixelAt(x, y)) (x >= 54 && y < 6 ? changed : outside)++;
  EXPECT_GT(changed, 0) << "a 6 x 6 badge in the top-right corner";
  EXPECT_EQ(outside, 0);

  auto badged = imageWithBadge(*plain, std::string("12"));
  double textW = media::measureText("12", {"", 12, true, false}).width;
  int left = int(60 - (textW + 6));
  int transparent = 0, leaked = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 60; ++x) {
      bool clear = (badged->pixelAt(x, y) >> 24) < 128;
      if (clear && x >= left && y < 20) ++transparent;
      if (badged->pixelAt(x, y) != plain->pixelAt(x, y) && x < left - 1) ++leaked;
    }
  EXPECT_GT(transparent, 5) << "the letters are holes in the badge";
  EXPECT_EQ(leaked, 0) << "nothing outside the badge changes";

  // From 4.0 the image is made at the screen's scale.
  DeviceProfile retina = device("iPhone3,1", "4.0");
  retina.scale = 2;
  DeviceProfile::setCurrent(retina);
  auto sharp = imageWithBadge(*plain, std::string("3"));
  EXPECT_EQ(sharp->scale(), 2.0);
  EXPECT_EQ(sharp->size(), (media::PointSize{60, 30}));
}

TEST_F(PlatformExtensionsTest, ImageButtonsSpacesToolbarsAndNavigation) {
  int taps = 0;
  auto button = initWithButtonImage("settings.png", [&] { ++taps; });
  EXPECT_EQ(button->frame(), Rect(0, 0, 40, 40));
  EXPECT_EQ(button->currentImage(), "settings.png");
  EXPECT_TRUE(button->showsTouchWhenHighlighted());
  button->setAccessibilityLabel("Settings");
  rootScreen->view()->addSubview(button);
  ASSERT_TRUE(probe->tap("Settings")) << probe->lastError();
  EXPECT_EQ(taps, 1);

  auto space = barButtonItemFixedWidth(12);
  EXPECT_EQ(space->systemItemKind(), BarButtonSystemItem::FixedSpace);
  EXPECT_EQ(space->width(), 12);

  auto toolbar = MyToolbar::initWithButtonImage("sort24.png", [&] { taps += 10; });
  EXPECT_EQ(toolbar->frame(), Rect(0, 0, 40, 40));
  EXPECT_EQ(toolbar->backgroundColor(), Color::clearColor());
  EXPECT_FALSE(toolbar->isOpaque());
  ASSERT_EQ(toolbar->items().size(), 1u);
  EXPECT_EQ(toolbar->items()[0]->imageName(), "sort24.png");
  EXPECT_EQ(toolbar->items()[0]->style(), BarButtonItemStyle::Plain);
  std::string why;
  EXPECT_TRUE(toolbar->items()[0]->userTap(why));
  EXPECT_EQ(taps, 11);

  auto turning = std::make_shared<MyUINavigationController>(std::make_shared<ViewController>());
  EXPECT_TRUE(turning->shouldAutorotateToInterfaceOrientation(InterfaceOrientation::LandscapeLeft));
  EXPECT_TRUE(turning->view());
}

TEST_F(PlatformExtensionsTest, BitmapContextsOrANoteOnStandardError) {
  auto ctx = CreateARGBBitmapContextSized(10, 4);
  ASSERT_TRUE(ctx);
  EXPECT_EQ(ctx->bytesPerRow(), 40);
  EXPECT_EQ(media::BitmapContext::bitsPerComponent(), 8);
  LogCapture errors(Log::Sink::StandardError);
  EXPECT_FALSE(CreateARGBBitmapContextSized(0, 4));
  EXPECT_EQ(errors.count(), 1u);
  EXPECT_TRUE(errors.contains("Error allocating color space"));
}

TEST_F(PlatformExtensionsTest, SharperAndIpadVariantsAreTriedFirst) {
  auto &registry = media::ImageRegistry::shared();
  DeviceProfile::setCurrent(DeviceProfile::iPad());
  auto pad = imageNamedForiPad("help300.png");
  ASSERT_TRUE(pad);
  EXPECT_EQ(pad, registry.imageNamed("help300-ipad.png"));
  EXPECT_EQ(imageNamediPad2x("help300.png"), pad);
  EXPECT_EQ(imageNamedForiPad("sort24.png"), registry.imageNamed("sort24.png")) << "no variant";
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
  EXPECT_EQ(imageNamedForiPad("help300.png"), registry.imageNamed("help300.png"));

  // Files: the double-resolution one on a sharp screen, the plain one otherwise or without it.
  auto ctx = media::BitmapContext::create(8, 8);
  auto png = ctx->makeImage()->pngRepresentation();
  auto half = media::BitmapContext::create(4, 4)->makeImage()->pngRepresentation();
  ASSERT_TRUE(
      testsupport::writeFile(tmpPath() + "/icon@2x.png", std::string(png.begin(), png.end())));
  ASSERT_TRUE(
      testsupport::writeFile(tmpPath() + "/icon.png", std::string(half.begin(), half.end())));
  DeviceProfile sharp = DeviceProfile::iPhone();
  sharp.scale = 2;
  DeviceProfile::setCurrent(sharp);
  auto two = imageWithContentsOfFile2x(tmpPath() + "/icon.png");
  ASSERT_TRUE(two);
  EXPECT_EQ(two->scale(), 2.0);
  EXPECT_EQ(two->size(), (media::PointSize{4, 4}));
  std::filesystem::remove(tmpPath() + "/icon@2x.png");
  EXPECT_EQ(imageWithContentsOfFile2x(tmpPath() + "/icon.png")->scale(), 1.0);
  EXPECT_EQ(imageWithData(png, 2)->size(), (media::PointSize{4, 4}));
}
