#include "platform/device/Application.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Log.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

using namespace platform;

namespace {
constexpr Duration kLimit = std::chrono::seconds(20);

struct Recorder : ApplicationDelegate {
  std::vector<std::string> calls;
  std::string launchURL, openedURL;
  bool allCallsOnMain = true;
  void note(const std::string &c) {
    if (!RunLoop::isMainThread()) allCallsOnMain = false;
    calls.push_back(c);
  }
  bool didFinishLaunchingWithOptions(Application &, const LaunchOptions &o) override {
    note("launch");
    launchURL = o.url;
    return true;
  }
  bool handleOpenURL(Application &, const std::string &url) override {
    note("open");
    openedURL = url;
    return url.rfind("ftp://", 0) != 0;
  }
  void applicationWillResignActive(Application &) override { note("resign"); }
  void applicationDidBecomeActive(Application &) override { note("active"); }
  void applicationDidEnterBackground(Application &) override { note("background"); }
  void applicationWillEnterForeground(Application &) override { note("foreground"); }
  void applicationWillTerminate(Application &) override { note("terminate"); }
  void applicationDidReceiveMemoryWarning(Application &) override { note("memory"); }
  std::string joined() const {
    std::string s;
    for (auto &c : calls)
      s += (s.empty() ? "" : ",") + c;
    return s;
  }
};

class ApplicationTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    clock = std::make_shared<ManualClock>();
    Clock::install(clock);
    DeviceProfile::setCurrent(DeviceProfile::iPhone());
    app().reset();
    delegate = std::make_shared<Recorder>();
    app().setDelegate(delegate);
  }
  void TearDown() override {
    app().reset();
    RunLoop::main()->runPending();
    Clock::install(nullptr);
  }
  static Application &app() { return Application::shared(); }
  void settle() { RunLoop::main()->runPending(); }

  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<Recorder> delegate;
};
} // namespace

// --- Lifecycle -----------------------------------------------------------------------------

TEST_F(ApplicationTest, LifecycleCallsComeInThePhonesOrder) {
  EXPECT_EQ(app().applicationState(), ApplicationState::Inactive);
  EXPECT_TRUE(app().launch({"file:///tmp/x.txt", "Mail"}));
  EXPECT_EQ(delegate->launchURL, "file:///tmp/x.txt");
  EXPECT_EQ(app().applicationState(), ApplicationState::Active);
  app().enterBackground();
  EXPECT_EQ(app().applicationState(), ApplicationState::Background);
  app().enterForeground();
  app().resignActive();
  app().becomeActive();
  app().receiveMemoryWarning();
  app().terminate();
  EXPECT_EQ(delegate->joined(),
            "launch,active,resign,background,foreground,active,resign,active,memory,terminate");
  EXPECT_TRUE(delegate->allCallsOnMain);
}

TEST_F(ApplicationTest, CallsThatDoNotFitTheStateAreIgnored) {
  app().launch();
  app().becomeActive();    // already active
  app().enterForeground(); // not in the background
  app().enterBackground();
  app().enterBackground(); // already there
  app().becomeActive();    // must come back through the foreground
  EXPECT_EQ(delegate->joined(), "launch,active,resign,background");
}

TEST_F(ApplicationTest, OpenURLReachesTheDelegateWithItsAnswer) {
  app().launch();
  EXPECT_FALSE(app().deliverOpenURL("ftp://user:pw@host/dir"));
  EXPECT_EQ(delegate->openedURL, "ftp://user:pw@host/dir");
  EXPECT_TRUE(app().deliverOpenURL("file:///tmp/a.pem"));
  app().setDelegate(nullptr);
  EXPECT_FALSE(app().deliverOpenURL("file:///tmp/a.pem")); // nobody takes it
}

TEST_F(ApplicationTest, LifecycleFromAWorkerRunsOnTheMainThread) {
  std::atomic<bool> done{false};
  startThread(
      "lifecycle",
      [&] {
        app().launch();
        app().enterBackground();
        done = true;
      },
      false);
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return done.load(); }, testsupport::scaled(kLimit)));
  EXPECT_EQ(delegate->joined(), "launch,active,resign,background");
  EXPECT_TRUE(delegate->allCallsOnMain);
}

// --- System state -------------------------------------------------------------------------

TEST_F(ApplicationTest, StatusBarFollowsTheDeviceButNotWhenItLiesFlat) {
  DeviceProfile::setOrientation(Orientation::LandscapeLeft);
  EXPECT_EQ(app().statusBarOrientation(), Orientation::LandscapeLeft);
  DeviceProfile::setOrientation(Orientation::FaceUp);
  EXPECT_EQ(app().statusBarOrientation(), Orientation::Portrait);
}

// --- Background tasks ---------------------------------------------------------------------

TEST_F(ApplicationTest, BackgroundTimeCountsDownOnTheInjectedClock) {
  app().launch();
  EXPECT_EQ(app().backgroundTimeRemaining(), std::numeric_limits<double>::max());
  app().enterBackground();
  auto task = app().beginBackgroundTask([] {});
  EXPECT_NE(task, kBackgroundTaskInvalid);
  EXPECT_DOUBLE_EQ(app().backgroundTimeRemaining(), 600.0);
  clock->advance(seconds(540));
  EXPECT_DOUBLE_EQ(app().backgroundTimeRemaining(), 60.0);
  app().endBackgroundTask(task);
  EXPECT_EQ(app().backgroundTaskCount(), 0u);
  clock->advance(seconds(100));
  EXPECT_EQ(app().backgroundTimeRemaining(), 0.0);
  app().enterForeground();
  EXPECT_EQ(app().backgroundTimeRemaining(), std::numeric_limits<double>::max());
}

TEST_F(ApplicationTest, ExpirationHandlerRunsOnMainWhenTheAllowanceRunsOut) {
  app().setBackgroundTimeAllowance(seconds(80));
  app().launch();
  BackgroundTaskIdentifier task = kBackgroundTaskInvalid;
  std::atomic<int> expired{0};
  std::atomic<bool> handlerOnMain{false};
  task = app().beginBackgroundTask([&] {
    handlerOnMain = RunLoop::isMainThread();
    ++expired;
    dispatchAsyncMain([&] { app().endBackgroundTask(task); });
  });
  app().enterBackground(); // the task was begun while still in the foreground
  clock->advance(seconds(79));
  settle();
  EXPECT_EQ(expired.load(), 0);
  clock->advance(seconds(1));
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return app().backgroundTaskCount() == 0; },
                                        testsupport::scaled(kLimit)));
  EXPECT_EQ(expired.load(), 1);
  EXPECT_TRUE(handlerOnMain.load());
}

TEST_F(ApplicationTest, EndedTaskOrReturnToForegroundCancelsExpiry) {
  app().launch();
  app().enterBackground();
  int expired = 0;
  auto a = app().beginBackgroundTask([&] { ++expired; });
  app().endBackgroundTask(a);
  clock->advance(seconds(700));
  settle();
  EXPECT_EQ(expired, 0);

  app().enterForeground();
  auto b = app().beginBackgroundTask([&] { ++expired; });
  app().enterBackground();
  clock->advance(seconds(300));
  settle();
  app().enterForeground(); // back before the time ran out
  clock->advance(seconds(600));
  settle();
  EXPECT_EQ(expired, 0);
  EXPECT_EQ(app().backgroundTaskCount(), 1u); // still held until ended
  app().endBackgroundTask(b);
}

TEST_F(ApplicationTest, WithoutMultitaskingThereAreNoBackgroundTasks) {
  auto p = DeviceProfile::iPhone();
  p.systemVersion = "3.1.3";
  p.multitaskingSupported = false;
  DeviceProfile::setCurrent(p);
  app().launch();
  app().enterBackground();
  EXPECT_FALSE(app().backgroundTasksSupported());
  EXPECT_EQ(app().beginBackgroundTask([] {}), kBackgroundTaskInvalid);
  EXPECT_EQ(app().backgroundTimeRemaining(), 0.0);
}

// --- Opening addresses in the system ------------------------------------------------------

TEST_F(ApplicationTest, OnlyWebAndMailAddressesAreHandedOn) {
  std::vector<std::string> opened;
  app().setURLOpener([&](const std::string &u) {
    opened.push_back(u);
    return true;
  });
  LogCapture log(Log::Sink::System);
  EXPECT_TRUE(app().openURL("http://example.org/"));
  EXPECT_TRUE(app().openURL("HTTPS://example.org/"));
  EXPECT_TRUE(app().openURL("mailto:help@example.org?body=hi%20there"));
  EXPECT_FALSE(app().openURL("ftp://example.org/"));
  EXPECT_FALSE(app().openURL("itms-apps://itunes.example/app"));
  EXPECT_FALSE(app().openURL("file:///etc/passwd"));
  EXPECT_FALSE(app().openURL("javascript:alert(1)"));
  EXPECT_FALSE(app().openURL("no scheme at all"));
  EXPECT_FALSE(app().openURL("http://example.org/\nrm -rf ~"));
  EXPECT_EQ(opened.size(), 3u);
  EXPECT_EQ(log.count(), 6u);
  EXPECT_TRUE(log.contains("ftp://example.org/"));
}

TEST_F(ApplicationTest, WebAddressGoesToXdgOpen) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string out = dir.file("opened");
  {
    std::ofstream script(dir.file("xdg-open"));
    script << "#!/bin/sh\nprintf '%s' \"$1\" > '" << out << ".part' && mv '" << out << ".part' '"
           << out << "'\n";
  }
  ::chmod(dir.file("xdg-open").c_str(), 0755);
  {
    testsupport::ScopedEnv path("PATH", dir.path() + ":/usr/bin:/bin");
    EXPECT_TRUE(app().openURL("https://example.org/a b?c=d"));
  }
  std::string got;
  EXPECT_TRUE(RunLoop::main()->runUntil(
      [&] {
        std::ifstream in(out);
        if (!in) return false;
        std::stringstream ss;
        ss << in.rdbuf();
        got = ss.str();
        return true;
      },
      testsupport::scaled(kLimit)));
  EXPECT_EQ(got, "https://example.org/a b?c=d");
}

TEST_F(ApplicationTest, WithoutXdgOpenTheAddressIsLoggedAndRefused) {
  testsupport::TempDir dir;
  LogCapture log(Log::Sink::System);
  {
    testsupport::ScopedEnv path("PATH", dir.path());
    EXPECT_FALSE(app().openURL("http://example.org/"));
  }
  EXPECT_TRUE(log.contains("http://example.org/"));
}

TEST(Localization, LookupIsTheIdentity) {
  EXPECT_EQ(localizedString("Files", "Files"), "Files");
  EXPECT_EQ(localizedString("Startup Lock"), "Startup Lock");
  EXPECT_EQ(localizedString("OK", "", "Localizable"), "OK");
}
