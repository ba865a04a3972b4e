// Shared set-up of the UI model tests: the main thread, a manual clock, a fresh key window and a
// probe; plus small sample screens that record what happened to them.
#pragma once

#include "platform/foundation/RunLoop.h"
#include "platform/ui/Probe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace uitest {

using namespace platform;
using namespace platform::ui;

class UiTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    clock = std::make_shared<ManualClock>();
    Clock::install(clock);
    window = std::make_shared<Window>(Size{320, 480});
    window->makeKeyAndVisible();
    probe = std::make_unique<Probe>(window);
  }
  void TearDown() override {
    RunLoop::main()->runPending();
    Clock::install(nullptr);
  }

  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<Window> window;
  std::unique_ptr<Probe> probe;
};

// A screen that logs its lifecycle into a shared journal as "<name>:<event>".
class LoggingScreen : public ViewController {
public:
  LoggingScreen(std::string name, std::vector<std::string> &journal)
      : ViewController(name + "View"), name_(std::move(name)), journal_(journal) {
    setTitle(name_);
  }
  void viewDidLoad() override { log("load"); }
  void viewWillAppear(bool) override { log("willAppear"); }
  void viewDidAppear(bool) override { log("didAppear"); }
  void viewWillDisappear(bool) override { log("willDisappear"); }
  void viewDidDisappear(bool) override { log("didDisappear"); }
  void didReceiveMemoryWarning() override { log("memory"); }
  bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) override {
    return allowLandscape || o == InterfaceOrientation::Portrait;
  }
  void didRotateFromInterfaceOrientation(InterfaceOrientation) override { log("rotated"); }
  bool allowLandscape = false;

private:
  void log(const char *what) { journal_.push_back(name_ + ":" + what); }
  std::string name_;
  std::vector<std::string> &journal_;
};

} // namespace uitest
