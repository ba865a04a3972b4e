// The whole application on iPhone against real servers, with the FTP tab's connect screen
// attached: real time, the welcome question already answered, and the question about the last
// run's edited file not yet asked in this process.
#pragma once

#include "tests/app/shell/AppFixture.h"

#include "app/remote/Connect.h"
#include "app/shell/ShellConnect.h"

#include "platform/foundation/UserDefaults.h"

#include <functional>
#include <memory>

class EditorPeersTest : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    platform::Clock::install(nullptr); // real servers: real time
    attachConnectScreen(delegate);
    Connect::restoreDone = false;
    platform::UserDefaults::standard().setObject("1", "TutorialPrompt");
  }
  bool waitFor(const std::function<bool()> &cond, double limit = 60) {
    return platform::RunLoop::main()->runUntil(cond, platform::seconds(limit));
  }
  std::shared_ptr<platform::ui::NavigationController> nav() {
    return delegate->navigationController();
  }
  template <class T> std::shared_ptr<T> onTop() {
    return std::dynamic_pointer_cast<T>(nav()->topViewController());
  }
};
