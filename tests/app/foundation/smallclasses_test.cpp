#include "ScreenFixture.h"

#include "app/foundation/SmallClasses.h"

#include "platform/device/Application.h"

using namespace platform::ui;

// The screen fixture with the application's URL opener recording what would be opened.
class SmallClasses : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    platform::Application::shared().reset();
    platform::Application::shared().setURLOpener([this](const std::string &url) {
      opened.push_back(url);
      return true;
    });
  }
  void TearDown() override {
    platform::RunLoop::main()->runPending();
    platform::Application::shared().setURLOpener(nullptr);
    ScreenTest::TearDown();
  }
  // One launch of the connect screen: reset for version 300, then the question at launch 6.
  void launch() {
    auto prompt = MyReviewPrompt::create();
    prompt->resetRunCount(0, 300);
    prompt->maybeShowReviewPrompt("Ferrowen", 12345, 6);
  }
  int count() {
    return platform::UserDefaults::standard().integerForKey("maybeShowReviewPromptCount");
  }
  void advance(double s) { ScreenTest::advance(platform::seconds(s)); }

  std::vector<std::string> opened;
};

TEST_F(SmallClasses, ReviewPromptOnTheSixthLaunchAndFiveLaunchesAfterRemindMe) {
  for (int i = 1; i <= 5; ++i) {
    launch();
    EXPECT_TRUE(probe->pendingAlerts().empty()) << "launch " << i;
  }
  EXPECT_EQ(count(), 5);
  launch();
  auto alerts = probe->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "Enjoying Ferrowen?");
  EXPECT_EQ(alerts[0].message, "If so, please rate with 5 stars in the App Store so we can keep "
                               "the free updates coming!");
  EXPECT_EQ(alerts[0].buttons,
            (std::vector<std::string>{"Don't Ask Again", "\xE2\x98\x85 Yes, Rate It \xE2\x98\x85",
                                      "Remind me Later"}));
  // The prompt object stays alive on its own until the answer comes.
  ASSERT_TRUE(probe->answerAlert("Remind me Later"));
  EXPECT_EQ(count(), 1);
  for (int launchNo = 7; launchNo <= 10; ++launchNo) {
    launch();
    EXPECT_TRUE(probe->pendingAlerts().empty()) << "launch " << launchNo;
  }
  launch(); // the eleventh
  ASSERT_EQ(probe->pendingAlerts().size(), 1u);
  ASSERT_TRUE(probe->answerAlert("\xE2\x98\x85 Yes, Rate It \xE2\x98\x85"));
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], MyReviewPrompt::reviewPageAddress(12345));
  for (int i = 0; i < 10; ++i)
    launch();
  EXPECT_TRUE(probe->pendingAlerts().empty());
}

TEST_F(SmallClasses, DontAskAgainLastsUntilANewVersion) {
  for (int i = 0; i < 6; ++i)
    launch();
  ASSERT_TRUE(probe->answerAlert("Don't Ask Again"));
  for (int i = 0; i < 12; ++i)
    launch();
  EXPECT_TRUE(probe->pendingAlerts().empty());
  EXPECT_TRUE(opened.empty());
  // The stored version mark of 300 leaves the count alone; a newer version starts again.
  auto prompt = MyReviewPrompt::create();
  prompt->resetRunCount(0, 300);
  EXPECT_EQ(count(), 18);
  prompt->resetRunCount(0, 301);
  EXPECT_EQ(count(), 0);
  EXPECT_EQ(platform::UserDefaults::standard().integerForKey("maybeShowReviewReset"), 301);
}

TEST_F(SmallClasses, TooltipLayoutFadeAndRemoval) {
  auto host = std::make_shared<View>(Rect(0, 0, 320, 480));
  auto tip = Tooltip::initTipString("Tap here to save", Point{160, 100}, host);
  ASSERT_EQ(host->subviews().size(), 1u);
  const Rect frame = tip->frame();
  const double w = frame.size.width;
  EXPECT_GT(w, 16);
  EXPECT_LE(w, 216);
  EXPECT_DOUBLE_EQ(frame.origin.x, 160 - w / 2);
  EXPECT_DOUBLE_EQ(frame.origin.y, 100);
  auto arrow = std::dynamic_pointer_cast<ImageView>(tip->subviews()[1]);
  ASSERT_TRUE(arrow);
  EXPECT_EQ(arrow->imageName(), "tooltip-arrow-up.png");
  EXPECT_EQ(arrow->frame(), Rect(w / 2 - 10, 0, 20, 10));

  advance(5.9);
  EXPECT_FALSE(tip->faded());
  advance(0.2); // the timer fades it
  EXPECT_TRUE(tip->faded());
  EXPECT_EQ(tip->alpha(), 0);
  // Reached over a 1.5 s fade (the page draws it so), not at once.
  EXPECT_EQ(tip->alphaAnimationDuration(), 1.5);
  EXPECT_EQ(host->subviews().size(), 1u);
  std::string why;
  EXPECT_TRUE(tip->userTap(why)); // a second fade does nothing new
  advance(1.6);
  EXPECT_TRUE(host->subviews().empty());

  // An empty text still makes a bubble of the padding alone; a touch fades it at once.
  auto empty = Tooltip::initTipString("", Point{10, 10}, host);
  EXPECT_EQ(empty->frame(), Rect(10 - 8, 10, 16, 14));
  EXPECT_TRUE(empty->userTap(why));
  EXPECT_TRUE(empty->faded());
  advance(1.6);
  EXPECT_TRUE(host->subviews().empty());
  advance(10); // the 6 s timer of a bubble already faded does nothing
}

TEST(SmallClassesPlain, CacheHandsOutEachObjectOnce) {
  MyCache cache;
  EXPECT_EQ(cache.getObjectOfType("cell"), nullptr);
  auto a = std::make_shared<int>(1), b = std::make_shared<int>(2);
  cache.addToCache(a, "cell");
  cache.addToCache(b, "cell");
  EXPECT_EQ(cache.findObjectOfType("cell"), b);
  EXPECT_EQ(cache.getObjectOfType("cell"), b);
  EXPECT_EQ(cache.getObjectOfType("cell"), a);
  EXPECT_EQ(cache.getObjectOfType("cell"), nullptr);
  cache.addToCache(a, "x");
  cache.emptyCache();
  EXPECT_EQ(cache.findObjectOfType("x"), nullptr);
}
