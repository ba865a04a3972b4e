// The whole application launched in the test process on the manual clock, with a probe on its
// window: the device profile is chosen per test, the sharing servers' ports are free ones.
#pragma once

#include "ShellFixture.h"

#include "app/queue/BatchListView.h"
#include "app/shell/PasscodeLock.h"
#include "app/shell/SettingsViewController.h"

#include "platform/ui/Probe.h"
#include "tests/support/TimeScale.h"

class AppTest : public ShellTest {
protected:
  void SetUp() override {
    ShellTest::SetUp();
    clock = std::make_shared<platform::ManualClock>();
    platform::Clock::install(clock);
  }
  void TearDown() override {
    probe.reset();
    // The key window keeps its screens: a fresh one lets this application's screens go.
    std::make_shared<platform::ui::Window>()->makeKeyAndVisible();
    ShellTest::TearDown();
  }
  void launch(const platform::DeviceProfile &profile = platform::DeviceProfile::iPhone(),
              const std::string &url = {}) {
    platform::DeviceProfile::setCurrent(profile);
    platform::Application::shared().launch({url, {}});
    probe = std::make_unique<platform::ui::Probe>(delegate->window());
  }
  // Launch and let the splash go.
  void boot(const platform::DeviceProfile &profile = platform::DeviceProfile::iPhone()) {
    launch(profile);
    advance(1);
  }
  void advance(double s) {
    clock->advance(platform::seconds(s));
    platform::RunLoop::main()->runPending();
    platform::RunLoop::main()->runPending();
  }
  static std::vector<std::string> titles(const platform::ui::TabBarController &tabs) {
    std::vector<std::string> out;
    for (auto &vc : tabs.viewControllers())
      out.push_back(vc->tabBarItem()->title());
    return out;
  }
  void setPasscode(const std::string &code) { KeychainWrapper().setObject(code, kSecValueData); }
  size_t modalCount() { return delegate->window()->modalLayers().size(); }

  std::shared_ptr<platform::ManualClock> clock;
  std::unique_ptr<platform::ui::Probe> probe;
};
