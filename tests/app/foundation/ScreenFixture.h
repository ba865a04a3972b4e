// Screens of the foundation driven as a person drives them: a fresh data root and settings (from
// FoundationTest), the main thread with a manual clock, a key window whose root is a navigation
// stack, and a probe.
#pragma once

#include "FoundationFixture.h"

#include "app/foundation/AppDelegateServices.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Probe.h"

#include <memory>
#include <string>
#include <vector>

// Records what the screens ask of the application delegate.
struct RecordingDelegate : AppDelegateServices {
  bool landscape = false;
  std::vector<bool> scrollerUses;
  std::vector<std::string> helpPages;
  std::vector<int> turnedFrom;
  bool allowLandscapeView() const override { return landscape; }
  void didRotateFromInterfaceOrientation(int from) override { turnedFrom.push_back(from); }
  void viewUsesMyScroller(bool uses) override { scrollerUses.push_back(uses); }
  std::shared_ptr<platform::ui::ViewController>
  makeHelpViewController(const std::string &nibName, const std::string &title,
                         const std::string &url) override {
    helpPages.push_back(nibName + "|" + title + "|" + url);
    auto help = std::make_shared<platform::ui::ViewController>(nibName);
    help->setTitle(title);
    return help;
  }
  // Each help screen told the popover it stands in, and whether that popover showed already.
  struct HelpPopover {
    std::shared_ptr<platform::ui::ViewController> help;
    std::shared_ptr<platform::ui::PopoverController> popover;
    bool shownAlready = false;
  };
  std::vector<HelpPopover> helpPopovers;
  void
  setHelpPopoverParent(const std::shared_ptr<platform::ui::ViewController> &help,
                       const std::shared_ptr<platform::ui::PopoverController> &popover) override {
    helpPopovers.push_back({help, popover, popover && popover->isPopoverVisible()});
  }
};

class ScreenTest : public FoundationTest {
protected:
  void SetUp() override {
    FoundationTest::SetUp();
    platform::RunLoop::makeMainThread();
    clock = std::make_shared<platform::ManualClock>();
    platform::Clock::install(clock);
    window = std::make_shared<platform::ui::Window>(platform::ui::Size{320, 480});
    window->makeKeyAndVisible();
    probe = std::make_unique<platform::ui::Probe>(window);
    rootScreen = std::make_shared<platform::ui::ViewController>("RootView");
    rootScreen->setTitle("Settings");
    nav = std::make_shared<platform::ui::NavigationController>(rootScreen);
    window->setRootViewController(nav);
    setAppDelegateServices(delegate);
  }
  void TearDown() override {
    platform::RunLoop::main()->runPending();
    // The workers this case started (a conversion, a cloud read) still use the data root, the
    // settings and the clock that go below.
    if (!platform::waitForBackgroundWork(platform::seconds(20)))
      ADD_FAILURE() << "background work of this case still runs at its end";
    setAppDelegateServices(nullptr);
    platform::Clock::install(nullptr);
    FoundationTest::TearDown();
  }
  // Moves the clock and runs what came due.
  void advance(platform::Duration d) {
    clock->advance(d);
    platform::RunLoop::main()->runPending();
  }

  std::shared_ptr<platform::ManualClock> clock;
  std::shared_ptr<platform::ui::Window> window;
  std::unique_ptr<platform::ui::Probe> probe;
  std::shared_ptr<platform::ui::ViewController> rootScreen;
  std::shared_ptr<platform::ui::NavigationController> nav;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};
