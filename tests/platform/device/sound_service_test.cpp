// System sounds: registering files, playing with and without an audio device, completions on the
// main run loop.
#include "platform/device/SoundService.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

using namespace platform;

namespace {

using testsupport::writeFile;

const std::string kAiffHeader = std::string("FORM\0\0\0\x2e"
                                            "AIFFCOMM",
                                            16);

class SoundTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    service.clearPlayRecords();
    ASSERT_TRUE(writeFile(dir.file("keypress.aif"), kAiffHeader));
  }
  void TearDown() override {
    service.setAudioDeviceAvailable(std::nullopt);
    service.setPlayerCommand({});
    RunLoop::main()->runPending();
  }
  SoundService &service = SoundService::shared();
  testsupport::TempDir dir{"ferrowen-sound"};
};

} // namespace

TEST_F(SoundTest, OnlySoundFilesAreRegistered) {
  SystemSoundID id = 99;
  EXPECT_EQ(service.createSystemSound(dir.file("missing.aif"), &id), SoundStatusFileNotFound);
  EXPECT_EQ(id, 0u);
  ASSERT_TRUE(writeFile(dir.file("notes.txt"), "not a sound at all"));
  EXPECT_EQ(service.createSystemSound(dir.file("notes.txt"), &id), SoundStatusUnsupportedType);
  EXPECT_EQ(service.createSystemSound(dir.path(), &id), SoundStatusUnsupportedType) << "a folder";
  ASSERT_TRUE(writeFile(dir.file("tone.wav"), std::string("RIFF\0\0\0\0WAVE", 12)));
  size_t before = service.soundCount();
  SystemSoundID wav = 0, aif = 0;
  EXPECT_EQ(service.createSystemSound(dir.file("tone.wav"), &wav), SoundStatusOK);
  EXPECT_EQ(service.createSystemSound(dir.file("keypress.aif"), &aif), SoundStatusOK);
  EXPECT_NE(wav, 0u);
  EXPECT_NE(wav, aif);
  EXPECT_EQ(service.soundCount(), before + 2);
  EXPECT_EQ(service.disposeSystemSound(wav), SoundStatusOK);
  EXPECT_EQ(service.disposeSystemSound(wav), SoundStatusBadSound);
  EXPECT_EQ(service.addSystemSoundCompletion(wav, [](SystemSoundID) {}), SoundStatusBadSound);
  service.disposeSystemSound(aif);
}

TEST_F(SoundTest, WithoutADevicePlaybackIsRecordedAndEndsOnTheMainLoop) {
  service.setAudioDeviceAvailable(false);
  SystemSoundID id = 0;
  ASSERT_EQ(service.createSystemSound(dir.file("keypress.aif"), &id), SoundStatusOK);
  std::vector<SystemSoundID> ended;
  service.addSystemSoundCompletion(id, [&](SystemSoundID s) {
    EXPECT_TRUE(RunLoop::isMainThread());
    ended.push_back(s);
  });
  std::thread([&] { service.playSystemSound(id); }).join(); // any thread may ask
  EXPECT_TRUE(ended.empty()) << "the completion is not called inside play";
  RunLoop::main()->runPending();
  EXPECT_EQ(ended, std::vector<SystemSoundID>{id});
  auto records = service.playRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].path, dir.file("keypress.aif"));
  EXPECT_FALSE(records[0].sentToDevice);

  service.playSystemSound(12345); // unknown: nothing
  service.removeSystemSoundCompletion(id);
  service.playSystemSound(id);
  RunLoop::main()->runPending();
  EXPECT_EQ(ended.size(), 1u) << "no completion once removed";
  EXPECT_EQ(service.playRecords().size(), 2u);
  service.disposeSystemSound(id);
}

TEST_F(SoundTest, WithADeviceThePlayerRunsToItsEnd) {
  service.setAudioDeviceAvailable(true);
  service.setPlayerCommand({"/bin/sh", "-c", "test -f \"$0\""}); // reads the path it is given
  SystemSoundID id = 0;
  ASSERT_EQ(service.createSystemSound(dir.file("keypress.aif"), &id), SoundStatusOK);
  int ended = 0;
  service.addSystemSoundCompletion(id, [&](SystemSoundID) { ++ended; });
  service.playSystemSound(id);
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return ended == 1; },
                                        testsupport::scaled(std::chrono::seconds(20))));
  auto records = service.playRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].sentToDevice);

  // A player that cannot start still ends the playback, with a note in the system log.
  LogCapture log(Log::Sink::System);
  service.setPlayerCommand({"/nonexistent/player"});
  service.playSystemSound(id);
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return ended == 2; },
                                        testsupport::scaled(std::chrono::seconds(20))));
  EXPECT_TRUE(log.contains("/nonexistent/player"));
  service.disposeSystemSound(id);
}
