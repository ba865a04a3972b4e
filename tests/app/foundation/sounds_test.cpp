// Sound effects on the sound service (no audio device: playbacks are recorded), and the quick
// scroller's arrow.
#include "app/foundation/SoundEffect.h"

#include "FoundationFixture.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"

using namespace platform;

namespace {

class SoundEffectTest : public FoundationTest {
protected:
  void SetUp() override {
    FoundationTest::SetUp();
    RunLoop::makeMainThread();
    service.setAudioDeviceAvailable(false);
    service.clearPlayRecords();
    path = tmpPath() + "/keypress.aif";
    ASSERT_TRUE(testsupport::writeFile(path, std::string("FORM\0\0\0\x04"
                                                         "AIFF",
                                                         12)));
  }
  void TearDown() override {
    RunLoop::main()->runPending();
    service.setAudioDeviceAvailable(std::nullopt);
    FoundationTest::TearDown();
  }
  SoundService &service = SoundService::shared();
  std::string path;
};

} // namespace

TEST_F(SoundEffectTest, TwoQuickPlaysPlayOnceAndTheSoundIsLoadedOnlyWhilePlaying) {
  auto sound = SoundEffect::initWithContentsOfFile(path);
  EXPECT_EQ(sound->_soundID, 0u) << "nothing is loaded before the first play";
  EXPECT_TRUE(sound->lowMemory);
  int completions = 0;
  sound->setPlayCompleteTarget([&](SoundEffect &s) {
    EXPECT_EQ(&s, sound.get());
    ++completions;
  });
  sound->play();
  sound->play();
  EXPECT_TRUE(sound->playingNow);
  EXPECT_NE(sound->_soundID, 0u);
  RunLoop::main()->runPending();
  EXPECT_EQ(service.playRecords().size(), 1u);
  EXPECT_EQ(service.playRecords()[0].path, path);
  EXPECT_EQ(completions, 1);
  EXPECT_FALSE(sound->playingNow);
  EXPECT_EQ(sound->_soundID, 0u) << "disposed after the playback";

  sound->play(); // loads again
  RunLoop::main()->runPending();
  EXPECT_EQ(service.playRecords().size(), 2u);
  EXPECT_EQ(completions, 2);
}

TEST_F(SoundEffectTest, MissingFileLogsTheSystemCodeAndPlaysNothing) {
  LogCapture log(Log::Sink::System);
  std::string missing = tmpPath() + "/shift.aif";
  auto sound = SoundEffect::initWithContentsOfFile(missing);
  sound->play();
  RunLoop::main()->runPending();
  EXPECT_TRUE(log.contains("Error -43 loading sound at path: " + missing));
  EXPECT_TRUE(service.playRecords().empty());
  EXPECT_FALSE(sound->loadSoundFromFile(""));
  // Once the file is there, the sound plays (the failed attempt did not block it).
  ASSERT_TRUE(testsupport::writeFile(missing, std::string("FORM\0\0\0\x04"
                                                          "AIFC",
                                                          12)));
  sound->play();
  RunLoop::main()->runPending();
  EXPECT_EQ(service.playRecords().size(), 1u);

  ASSERT_TRUE(testsupport::writeFile(tmpPath() + "/notes.aif", "plain text"));
  EXPECT_FALSE(SoundEffect(tmpPath() + "/notes.aif").loadSoundFromFile(tmpPath() + "/notes.aif"));
  EXPECT_TRUE(log.contains("Error 1954115647 loading sound at path: "));
  EXPECT_EQ(SoundEffect::soundEffectWithContentsOfFile(std::nullopt), nullptr);
  EXPECT_TRUE(SoundEffect::soundEffectWithContentsOfFile(path));
}

TEST_F(SoundEffectTest, LowMemoryWhileIdleDropsTheSoundAndTheNextPlayReloadsIt) {
  auto sound = SoundEffect::initWithContentsOfFile(path);
  ASSERT_TRUE(sound->loadSoundFromFile(path));
  size_t loaded = service.soundCount();
  sound->lowMem();
  EXPECT_EQ(sound->_soundID, 0u);
  EXPECT_EQ(service.soundCount(), loaded - 1);
  sound->play();
  EXPECT_NE(sound->_soundID, 0u);
  sound->lowMem(); // playing: kept until the playback ends
  EXPECT_NE(sound->_soundID, 0u);
  RunLoop::main()->runPending();
  EXPECT_EQ(sound->_soundID, 0u);
  EXPECT_EQ(service.playRecords().size(), 1u);
}

TEST_F(SoundEffectTest, ASoundGoneBeforeItsPlaybackEndsHearsNothing) {
  size_t before = service.soundCount();
  int completions = 0;
  {
    auto sound = SoundEffect::initWithContentsOfFile(path);
    sound->setPlayCompleteTarget([&](SoundEffect &) { ++completions; });
    sound->play();
  }
  RunLoop::main()->runPending();
  EXPECT_EQ(completions, 0);
  EXPECT_EQ(service.soundCount(), before);
}

TEST(QuickScrollViewTest, ArrowFollowsTheFinger) {
  auto scroller = QuickScrollView::initWithFrame(platform::ui::Rect(296, 0, 24, 416));
  scroller->viewDidLoad();
  ASSERT_TRUE(scroller->scrollArrow);
  EXPECT_EQ(scroller->scrollArrow->imageName(), "left-arrow24.png");
  EXPECT_EQ(scroller->scrollArrow->frame(), platform::ui::Rect(0, 0, 24, 24));
  EXPECT_EQ(scroller->subviews().size(), 1u);
  EXPECT_TRUE(scroller->beginTrackingWithTouch(platform::ui::Point{5, 120}));
  EXPECT_EQ(scroller->scrollArrow->frame(), platform::ui::Rect(0, 120, 24, 24));
  EXPECT_TRUE(scroller->continueTrackingWithTouch(platform::ui::Point{5, 300.5}));
  EXPECT_EQ(scroller->scrollArrow->frame().origin.y, 300.5);
  EXPECT_TRUE(scroller->continueTrackingWithTouch(std::nullopt));
  EXPECT_EQ(scroller->scrollArrow->frame().origin.y, 0);
  scroller->endTrackingWithTouch(std::nullopt);
  EXPECT_EQ(scroller->scrollArrow->frame().origin.y, 0);
  EXPECT_FALSE(scroller->shouldAutorotateToInterfaceOrientation(
      platform::ui::InterfaceOrientation::LandscapeLeft));
}
