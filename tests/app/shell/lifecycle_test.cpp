// The lifecycle of the launched application: the passcode asked after 60 s or more away, the
// servers, the queue and the temporary files, and the device's idle timer.
#include "AppFixture.h"
#include "tests/support/LabelFit.h"

#include "app/ftp/FTPServices.h"
#include "app/shell/HelpScreens.h"
#include "app/shell/ShellConnect.h"

#include "platform/foundation/Dispatch.h"
#include "tests/support/TimeScale.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace platform;
using namespace platform::ui;

TEST_F(AppTest, PasscodeIsAskedAfterSixtySecondsAwayOrMore) {
  boot();
  setPasscode("Secret");
  auto &app = Application::shared();
  struct Case {
    double away;
    size_t locks;
  };
  for (const Case &c : {Case{59, 0}, Case{60, 1}, Case{600, 1}}) {
    app.enterBackground();
    advance(c.away);
    app.enterForeground();
    EXPECT_EQ(modalCount(), c.locks) << c.away << " s away; a shown lock is not shown twice";
  }
  auto lock = delegate->startupLock();
  ASSERT_TRUE(lock);
  EXPECT_TRUE(lock->viewLocked());
  advance(0.1);
  EXPECT_TRUE(lock->password->isFirstResponder());
  // Case counts: the lock stays, with the text in its field.
  ASSERT_TRUE(probe->type("Passcode", "secret")) << probe->lastError();
  ASSERT_TRUE(probe->pressReturn("Passcode"));
  EXPECT_EQ(modalCount(), 1u);
  EXPECT_EQ(lock->password->text(), "secret");
  ASSERT_TRUE(probe->backspace("Passcode", 6));
  ASSERT_TRUE(probe->type("Passcode", "Secret"));
  ASSERT_TRUE(probe->pressReturn("Passcode"));
  EXPECT_EQ(modalCount(), 0u);
  EXPECT_FALSE(lock->viewLocked());
  EXPECT_EQ(lock->password->text(), "");
  // Without a passcode no lock comes.
  setPasscode("");
  app.enterBackground();
  advance(3600);
  app.enterForeground();
  EXPECT_EQ(modalCount(), 0u);
}

// The time away is measured on the clock's own ticks. Readings turned into seconds first are
// rounded, and across a power of two seconds of the clock (where the machine's uptime puts it,
// now and then) a minute away could come out a hair short of sixty seconds.
TEST_F(AppTest, PasscodeIsAskedAfterSixtySecondsWhereverTheClockStands) {
  boot();
  setPasscode("Secret");
  using std::chrono::nanoseconds;
  const auto secondsAt = [](int64_t ns) {
    return std::chrono::duration<double>(nanoseconds(ns)).count();
  };
  const int64_t minute = 60'000'000'000;
  const int64_t start = Clock::current().now().time_since_epoch().count();
  // The next power of two seconds at least two minutes ahead, and a reading half a minute before
  // it whose minute, taken as seconds, is short.
  int64_t edge = 1'000'000'000;
  while (edge < start + 2 * minute)
    edge *= 2;
  int64_t at = -1;
  for (int64_t step = 0; step < 100000 && at < 0; ++step) {
    const int64_t t = edge - minute / 2 + step * 7919;
    if (secondsAt(t + minute) - secondsAt(t) < 60.0) at = t;
  }
  ASSERT_GE(at, 0);
  clock->advance(nanoseconds(at - start));
  auto &app = Application::shared();
  app.enterBackground();
  advance(60);
  app.enterForeground();
  EXPECT_EQ(modalCount(), 1u);
  ASSERT_TRUE(delegate->startupLock());
  EXPECT_TRUE(delegate->startupLock()->viewLocked());
}

// The lock a person meets at start: its field says what to type, and a code that does not match
// does nothing more than keep the lock: the screen stays as it was, the code in its field.
TEST_F(AppTest, StartupLockAsksForThePasscodeAndAWrongOneDoesNothingMore) {
  setPasscode("Secret");
  globalUserDefaults->setObject("127.0.0.1", kServerNameKey); // not a fresh install
  globalUserDefaults->setObject("1", "TutorialPrompt");       // nor a first start
  attachConnectScreen(delegate);
  boot();
  ASSERT_EQ(modalCount(), 1u);
  auto field = probe->find<TextField>("Passcode");
  ASSERT_TRUE(field) << "the field is found by its label";
  EXPECT_FALSE(field->placeholder().empty());
  EXPECT_TRUE(probe->find("Enter Passcode"));
  // What the screen shows beside the field: its labels that are not hidden.
  const auto shownTexts = [&] {
    std::vector<std::string> texts;
    for (auto &v : field->superview()->subviews())
      if (auto l = std::dynamic_pointer_cast<Label>(v); l && !l->isHidden())
        texts.push_back(l->text());
    return texts;
  };
  const auto before = shownTexts();
  // The field keeps what was typed: a person takes it back key by key.
  const auto erase = [&] {
    return field->text().empty() || probe->backspace("Passcode", field->text().size());
  };
  for (const char *wrong : {"", "secret", "Secre", "Secret ", "SecretSecret"}) {
    ASSERT_TRUE(erase()) << probe->lastError();
    if (*wrong) {
      ASSERT_TRUE(probe->type("Passcode", wrong));
    }
    ASSERT_TRUE(probe->pressReturn("Passcode")) << probe->lastError();
    EXPECT_EQ(modalCount(), 1u) << '"' << wrong << '"';
    EXPECT_EQ(shownTexts(), before) << '"' << wrong << '"';
    EXPECT_EQ(field->text(), wrong) << "the code stays";
    EXPECT_TRUE(probe->pendingAlerts().empty()) << '"' << wrong << '"';
  }
  ASSERT_TRUE(erase());
  ASSERT_TRUE(probe->type("Passcode", "Secret"));
  ASSERT_TRUE(probe->pressReturn("Passcode"));
  EXPECT_EQ(modalCount(), 0u);
}

// Saved Files are not shared behind a locked screen: the sharing servers the settings ask for
// start only once the passcode is typed, at start and on a return that asks for it again.
TEST_F(AppTest, SharingServersWaitForThePasscode) {
  setPasscode("Secret");
  globalUserDefaults->setObject("127.0.0.1", kServerNameKey); // not a fresh install
  globalUserDefaults->setObject("1", "TutorialPrompt");       // nor a first start
  set(kWebServerKey, "1");
  set(kFTPServerKey, "1");
  attachConnectScreen(delegate);
  boot();
  auto &app = Application::shared();
  const auto serving = [&] {
    return delegate->webServerListener() != nullptr && delegate->ftpServerListener() != nullptr;
  };
  const auto stopped = [&] {
    return delegate->webServerListener() == nullptr && delegate->ftpServerListener() == nullptr;
  };
  const auto unlock = [&] {
    ASSERT_TRUE(probe->type("Passcode", "Secret")) << probe->lastError();
    ASSERT_TRUE(probe->pressReturn("Passcode"));
    ASSERT_EQ(modalCount(), 0u);
  };
  ASSERT_EQ(modalCount(), 1u);
  EXPECT_TRUE(stopped()) << "serving behind the lock at start";
  app.resignActive();
  app.becomeActive();
  EXPECT_TRUE(stopped()) << "serving behind the lock after becoming active";
  ASSERT_NO_FATAL_FAILURE(unlock());
  EXPECT_TRUE(serving());

  struct Case {
    double away;
    bool asked;
  };
  for (const Case &c : {Case{59, false}, Case{60, true}, Case{600, true}}) {
    SCOPED_TRACE(c.away);
    app.enterBackground();
    advance(c.away);
    app.enterForeground();
    EXPECT_EQ(modalCount(), c.asked ? 1u : 0u);
    EXPECT_EQ(serving(), !c.asked);
    if (!c.asked) continue;
    EXPECT_TRUE(stopped());
    advance(0.1);
    ASSERT_NO_FATAL_FAILURE(unlock());
    EXPECT_TRUE(serving());
  }
}

TEST_F(AppTest, LifecycleDrivesServersQueueAndTemporaryFiles) {
  set(kWebServerKey, "1");
  boot();
  auto &app = Application::shared();
  auto queue = delegate->batchView();
  ASSERT_NE(delegate->webServerListener(), nullptr);
  makeFile("tmp-a.bin", "a");
  // A download in progress: the sharing server sends only while this thread runs its loop.
  makeFile("share/big.bin", std::string(size_t(8) << 20, 'x'));
  delegate->startFTPServer();
  queue->addBatchItemAction(2, "big.bin", "/share", int64_t(8) << 20, "127.0.0.1",
                            delegate->ftpServerListener()->port(), "anyone", "", "ftp", "got",
                            false, true);
  for (int i = 0; i < 300 && queue->inProgressPK() == -1; ++i) {
    advance(0.1);
    RunLoop::main()->runUntil([&] { return queue->inProgressPK() != -1; },
                              testsupport::scaled(seconds(0.05)));
  }
  ASSERT_NE(queue->inProgressPK(), -1);
  tempFilesToCleanup.push_back(file("tmp-a.bin"));
  tempFilesToCleanup.push_back(file("already-gone.bin"));

  app.resignActive();
  EXPECT_EQ(delegate->webServerListener(), nullptr);
  app.becomeActive();
  EXPECT_NE(delegate->webServerListener(), nullptr);
  app.enterBackground();
  EXPECT_TRUE(queue->runningInTheBackground());
  EXPECT_EQ(delegate->webServerListener(), nullptr);
  app.enterForeground();
  EXPECT_FALSE(queue->runningInTheBackground());
  EXPECT_NE(delegate->webServerListener(), nullptr);
  EXPECT_FALSE(FileManager::fileExists(file("tmp-a.bin")));
  EXPECT_TRUE(tempFilesToCleanup.empty());

  // Transfers keep the device awake; so does a sharing server in use.
  delegate->activeTransfer();
  EXPECT_TRUE(app.isIdleTimerDisabled());
  delegate->finishedTransfer();
  EXPECT_FALSE(app.isIdleTimerDisabled());
  delegate->serverIsActive();
  delegate->finishedTransfer();
  EXPECT_TRUE(app.isIdleTimerDisabled());
}

namespace {
// The program's end while a picture conversion still runs on its queue: the application
// terminates, the end step runs, and then the program's objects go (here a settings store the
// conversion writes to). Reports what it saw and ends the process without its statics.
[[noreturn]] void endWhileAConversionRuns(FerrowenAppDelegate &delegate, const std::string &tmp) {
  const std::string late = globalTempPath + "/IMG_late.jpg";
  auto store = std::make_unique<UserDefaults>(tmp + "/late.json");
  UserDefaults *settings = store.get();
  DispatchQueue::create("clickViewQue")->async([late, settings] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    tempFilesToCleanup.push_back(late);
    testsupport::writeFile(late, "picture");
    settings->setObject("1", "Converted");
  });
  Application::shared().terminate();
  const bool ended = delegate.endBackgroundWork(std::chrono::seconds(10));
  const std::string converted = settings->stringForKey("Converted").value_or("0");
  store.reset();
  // A worker still running would use the store now, and leave its file.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const std::string seen = "ended=" + std::to_string(ended) + " converted=" + converted +
                           " late file left=" + std::to_string(FileManager::fileExists(late));
  std::fprintf(stderr, "%s\n", seen.c_str());
  std::fflush(stderr);
  std::_Exit(seen == "ended=1 converted=1 late file left=0" ? 0 : 1);
}
} // namespace

TEST_F(AppTest, AtTheEndRunningWorkFinishesBeforeItsObjectsGoAndItsTemporaryFileIsRemoved) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  boot();
  EXPECT_EXIT(endWhileAConversionRuns(*delegate, tmp_->path()), ::testing::ExitedWithCode(0),
              "ended=1 converted=1 late file left=0");
}

// A temporary file still being written when the end comes (a long copy that outlasts the wait for
// the workers) goes with the rest; one finished and handed on stays until its own clean-up.
TEST_F(AppTest, AtTheEndAFileStillBeingWrittenIsRemoved) {
  boot();
  makeFile("cut.mov", "part of a copy");
  makeFile("other.mov", "someone else's");
  tempFilesBeingWritten.push_back(file("cut.mov"));
  EXPECT_TRUE(delegate->endBackgroundWork(std::chrono::milliseconds(100)));
  EXPECT_FALSE(FileManager::fileExists(file("cut.mov")));
  EXPECT_TRUE(FileManager::fileExists(file("other.mov")));
  EXPECT_TRUE(tempFilesBeingWritten.empty());
}

TEST_F(AppTest, MediaPlaybackRemovesOnlyFilesAskedToBeRemoved) {
  boot();
  for (bool cleanup : {true, false}) {
    makeFile("clip.mp4", "video");
    delegate->playMediaFile(file("clip.mp4"), cleanup);
    auto player = delegate->moviePlayer();
    ASSERT_TRUE(player);
    EXPECT_EQ(modalCount(), 1u);
    ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
    EXPECT_EQ(modalCount(), 0u);
    EXPECT_EQ(FileManager::fileExists(file("clip.mp4")), !cleanup);
  }
}

TEST_F(AppTest, PlayThenDeleteRemovesOnlyThePlayedFileOfTheApplicationsStorage) {
  boot();
  testsupport::TempDir outside("ferrowen-outside");
  const std::string foreign = outside.file("theirs.mp4");
  testsupport::writeFile(foreign, "video");
  makeFile("link.mp4", "");
  FileManager::removeItem(file("link.mp4"));
  ASSERT_EQ(::symlink(foreign.c_str(), file("link.mp4").c_str()), 0);
  makeFile("next.mp4", "video");
  for (const std::string &played : {foreign, file("link.mp4")}) {
    delegate->playMediaFile(played, true);
    ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
    EXPECT_EQ(modalCount(), 0u);
  }
  EXPECT_EQ(testsupport::readFile(foreign), "video");
  EXPECT_TRUE(FileManager::fileExists(file("next.mp4")));
  // A second file played before the first ended: the first is cleaned up, the second plays on.
  makeFile("first.mp4", "video");
  delegate->playMediaFile(file("first.mp4"), true);
  delegate->playMediaFile(file("next.mp4"), true);
  EXPECT_FALSE(FileManager::fileExists(file("first.mp4")));
  EXPECT_EQ(modalCount(), 1u);
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  EXPECT_FALSE(FileManager::fileExists(file("next.mp4")));
  EXPECT_EQ(modalCount(), 0u);
}

TEST_F(AppTest, ErrorHelpShowsInTheFtpTabWhileAFolderIsOpen) {
  struct Folder : ViewController, DirViewerScreen {};
  boot();
  auto nav = delegate->navigationController();
  auto folder = std::make_shared<Folder>();
  nav->pushViewController(folder, false);
  struct Case {
    std::string text, html, file;
  };
  for (const Case &c :
       {Case{"<html>Denied</html>", "<html>Denied</html>", ""},
        Case{"error-530.html", "", "file://" + Paths::resources() + "/error-530.html"}}) {
    FTPAppServices::shared()->showErrorForTopFtpTab(c.text);
    EXPECT_EQ(nav->topViewController(), folder) << "not before 0.3 s";
    advance(0.3);
    auto help = std::dynamic_pointer_cast<HelpViewController>(nav->topViewController());
    ASSERT_TRUE(help);
    EXPECT_EQ(help->webNews->loads().back().html, c.html);
    if (c.html.empty()) {
      EXPECT_EQ(help->webNews->loads().back().url, c.file);
    }
    ASSERT_TRUE(probe->tap("Done")) << "back to the connect screen";
    EXPECT_EQ(nav->viewControllers().size(), 1u);
    nav->pushViewController(folder, false);
  }
  nav->popToRootViewControllerAnimated(false);
  delegate->showErrorForTopFtpTab("error-530.html");
  advance(1);
  EXPECT_EQ(nav->viewControllers().size(), 1u);
  // The FTP tab's item follows the protocol.
  for (auto [protocol, image] :
       {std::pair{"FTPS", "computer-lock2.png"}, {"FTP", "computer.png"}}) {
    delegate->setProtocol(protocol);
    EXPECT_EQ(nav->tabBarItem()->imageName(), image);
  }
}

TEST_F(AppTest, IPhoneMovesAViewerIntoTheLandscapeContainerAndBack) {
  struct Viewer : ViewController, ShellFileScreen {
    std::vector<Rect> sizes;
    void resized(Rect r) override { sizes.push_back(r); }
    bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation) override { return true; }
    void didRotateFromInterfaceOrientation(InterfaceOrientation o) override {
      FerrowenAppDelegate::sharedDelegate()->didRotateFromInterfaceOrientation(int(o));
    }
  };
  boot();
  EXPECT_FALSE(delegate->allowLandscapeView());
  auto viewer = std::make_shared<Viewer>();
  auto nav = delegate->navigationController();
  nav->pushViewController(viewer, false);
  EXPECT_TRUE(delegate->allowLandscapeView());
  auto turn = [&](Orientation o) {
    DeviceProfile::setOrientation(o);
    ASSERT_TRUE(probe->rotate(InterfaceOrientation(int(o)))) << probe->lastError();
    advance(0.02);
  };
  turn(Orientation::LandscapeLeft);
  ASSERT_EQ(modalCount(), 1u);
  EXPECT_EQ(delegate->getCurTabViewController(), viewer);
  EXPECT_EQ(viewer->sizes.back(), Rect(0, 0, 480, 320));
  turn(Orientation::Portrait);
  EXPECT_EQ(modalCount(), 0u);
  EXPECT_EQ(nav->topViewController(), viewer);
  EXPECT_EQ(viewer->sizes.size(), 2u);
  // Without the web tab option the Web View tab has no screen that turns.
  set(kWebPreviewTabKey, "0");
  delegate->tabBarController()->setSelectedIndex(2);
  EXPECT_FALSE(delegate->getCurTabViewController());
}
