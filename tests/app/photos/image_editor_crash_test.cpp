// The editor's crash marker across a process that dies in the middle of a pass: a child process
// (this program again, running the hidden case below) opens the editor on a picture, starts a
// resize and is killed while the pass runs; the next start finds the marker with the picture's
// size, reports the crash once and clears it.
#include "app/photos/ImageEditorView.h"

#include "tests/app/foundation/ScreenFixture.h"
#include "tests/support/PhotoFixtures.h"

#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/remote/Connect.h"
#include "platform/media/Image.h"

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

using namespace platform;
using namespace platform::ui;
namespace fs = std::filesystem;

namespace {

constexpr const char *kChildHome = "FERROWEN_EDITOR_CRASH_HOME";

std::shared_ptr<media::Image> solid(int w, int h) {
  std::vector<uint32_t> px(size_t(w) * h, 0xFF336699u);
  return media::Image::fromPixels(w, h, reinterpret_cast<const uint8_t *>(px.data()),
                                  size_t(w) * 4);
}

class ImageEditorCrash : public ScreenTest {};

// Run only as the child: holds a resize pass on its worker until the process is killed.
TEST_F(ImageEditorCrash, DISABLED_ChildHoldsAPassUntilKilled) {
  const char *home = std::getenv(kChildHome);
  if (!home) GTEST_SKIP() << "runs as the child of the crash case only";
  Paths::setHome(home);
  UserDefaults::resetStandard();
  InitGlobals();
  const std::string inPass = std::string(home) + "/in-pass";
  ImageEditorView::setWorkHook([inPass] {
    testsupport::writeFile(inPass, "1");
    for (;;)
      std::this_thread::sleep_for(std::chrono::seconds(1)); // until killed
  });
  auto editor = ImageEditorView::openFile(Paths::documents() + "/Files/big.png", std::nullopt);
  ASSERT_TRUE(editor);
  nav->pushViewController(editor, false);
  RunLoop::main()->runPending();
  ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
  ASSERT_TRUE(probe->slide("Resize Slider", 0.5)) << probe->lastError();
  ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
  // The parent kills the process; a child left alone gives up after two minutes.
  for (int i = 0; i < 1200; ++i) {
    RunLoop::main()->runPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  FAIL() << "never killed";
}

TEST_F(ImageEditorCrash, AKilledPassIsReportedAtTheNextStartWithItsSize) {
  InitGlobals();
  RegisterDefaultSettings();
  fs::create_directories(documents() + "/Files");
  ASSERT_TRUE(testsupport::writeBytes(documents() + "/Files/big.png",
                                      solid(640, 480)->pngRepresentation()));
  const std::string inPass = home_ + "/in-pass";
  testsupport::Process child({"/proc/self/exe",
                              "--gtest_filter=ImageEditorCrash.DISABLED_ChildHoldsAPassUntilKilled",
                              "--gtest_also_run_disabled_tests"},
                             tmpPath(), {{kChildHome, home_}});
  ASSERT_TRUE(child.started());
  bool reached = false;
  for (int i = 0; i < 1200 && !(reached = fs::exists(inPass)); ++i) {
    ASSERT_TRUE(child.running()) << "the child ended before its pass";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(reached) << "the child never started its pass";
  ::kill(child.pid(), SIGKILL);
  child.stop();

  // The next start reads what the dead process left in the settings file.
  UserDefaults::resetStandard();
  InitGlobals();
  EXPECT_EQ(UserDefaults::standard().stringForKey("ImgEdit-EditingNow"), "1");
  EXPECT_EQ(UserDefaults::standard().stringForKey("ImgEdit-EditingSize"),
            std::to_string(640 * 480 * 4));
  Connect::restoreDone = false;
  auto connect = std::make_shared<Connect>();
  connect->restoreEditState();
  RunLoop::main()->runPending();
  auto alerts = probe->pendingAlerts();
  ASSERT_FALSE(alerts.empty());
  EXPECT_EQ(alerts[0].title, "Crashed Editing Image");
  EXPECT_NE(alerts[0].message.find("the image was 1.2 MB!"), std::string::npos)
      << alerts[0].message;
  EXPECT_EQ(UserDefaults::standard().stringForKey("ImgEdit-EditingNow"), "0");
  // Reported once: the start after that says nothing.
  for (auto &a : alerts)
    probe->answerAlert(a.buttons.front());
  Connect::restoreDone = false;
  std::make_shared<Connect>()->restoreEditState();
  RunLoop::main()->runPending();
  for (auto &a : probe->pendingAlerts())
    EXPECT_NE(a.title, "Crashed Editing Image");
  Connect::restoreDone = true;
}

} // namespace
