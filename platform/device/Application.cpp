#include "platform/device/Application.h"
#include "platform/device/Spawn.h"

#include "platform/foundation/Log.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

extern char **environ;

namespace platform {

Application &Application::shared() {
  static auto *app = new Application; // lives as long as the process, like the phone's
  return *app;
}

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<ApplicationDelegate> Application::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void Application::onMain(const std::function<void()> &fn) {
  if (RunLoop::isMainThread())
    fn();
  else
    RunLoop::main()->performAndWait(fn);
}

ApplicationState Application::applicationState() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool Application::launch(const LaunchOptions &options) {
  bool result = true;
  onMain([&] {
    if (auto d = delegate()) result = d->didFinishLaunchingWithOptions(*this, options);
  });
  becomeActive();
  return result;
}

bool Application::deliverOpenURL(const std::string &url) {
  bool result = false;
  onMain([&] {
    if (auto d = delegate()) result = d->handleOpenURL(*this, url);
  });
  return result;
}

void Application::resignActive() {
  onMain([&] {
    {
      std::lock_guard lock(mutex_);
      if (state_ != ApplicationState::Active) return;
      state_ = ApplicationState::Inactive;
    }
    if (auto d = delegate()) d->applicationWillResignActive(*this);
  });
}

void Application::becomeActive() {
  onMain([&] {
    {
      std::lock_guard lock(mutex_);
      if (state_ != ApplicationState::Inactive) return;
      state_ = ApplicationState::Active;
    }
    if (auto d = delegate()) d->applicationDidBecomeActive(*this);
  });
}

void Application::enterBackground() {
  resignActive();
  onMain([&] {
    {
      std::lock_guard lock(mutex_);
      if (state_ == ApplicationState::Background) return;
      state_ = ApplicationState::Background;
      backgroundSince_ = Clock::currentShared()->now();
      if (!tasks_.empty()) armExpiry();
    }
    if (auto d = delegate()) d->applicationDidEnterBackground(*this);
  });
}

void Application::enterForeground() {
  onMain([&] {
    {
      std::lock_guard lock(mutex_);
      if (state_ != ApplicationState::Background) return;
      state_ = ApplicationState::Inactive;
      if (expiryTimer_) expiryTimer_->invalidate();
      expiryTimer_ = nullptr;
    }
    if (auto d = delegate()) d->applicationWillEnterForeground(*this);
  });
  becomeActive();
}

void Application::terminate() {
  onMain([&] {
    if (auto d = delegate()) d->applicationWillTerminate(*this);
  });
}

void Application::receiveMemoryWarning() {
  onMain([&] {
    if (auto d = delegate()) d->applicationDidReceiveMemoryWarning(*this);
  });
}

int Application::applicationIconBadgeNumber() const {
  std::lock_guard lock(mutex_);
  return badge_;
}

void Application::setApplicationIconBadgeNumber(int number) {
  std::lock_guard lock(mutex_);
  badge_ = number;
}

bool Application::isNetworkActivityIndicatorVisible() const {
  return networkIndicator_.load();
}

void Application::setNetworkActivityIndicatorVisible(bool visible) {
  networkIndicator_.store(visible);
}

StatusBarStyle Application::statusBarStyle() const {
  std::lock_guard lock(mutex_);
  return statusBarStyle_;
}

void Application::setStatusBarStyle(StatusBarStyle style, bool) {
  std::lock_guard lock(mutex_);
  statusBarStyle_ = style;
}

bool Application::isStatusBarHidden() const {
  std::lock_guard lock(mutex_);
  return statusBarHidden_;
}

void Application::setStatusBarHidden(bool hidden, bool) {
  std::lock_guard lock(mutex_);
  statusBarHidden_ = hidden;
}

Orientation Application::statusBarOrientation() const {
  Orientation o = DeviceProfile::current().orientation;
  switch (o) {
  case Orientation::Portrait:
  case Orientation::PortraitUpsideDown:
  case Orientation::LandscapeLeft:
  case Orientation::LandscapeRight:
    return o;
  default:
    return Orientation::Portrait;
  }
}

bool Application::isIdleTimerDisabled() const {
  std::lock_guard lock(mutex_);
  return idleTimerDisabled_;
}

void Application::setIdleTimerDisabled(bool disabled) {
  std::lock_guard lock(mutex_);
  idleTimerDisabled_ = disabled;
}

// --- Background tasks ------------------------------------------------------------------------

bool Application::backgroundTasksSupported() const {
  return DeviceProfile::current().multitaskingSupported;
}

BackgroundTaskIdentifier Application::beginBackgroundTask(std::function<void()> expirationHandler) {
  if (!backgroundTasksSupported()) return kBackgroundTaskInvalid;
  std::lock_guard lock(mutex_);
  BackgroundTaskIdentifier id = nextTask_++;
  if (nextTask_ == kBackgroundTaskInvalid) nextTask_ = 1;
  tasks_[id] = std::move(expirationHandler);
  if (state_ == ApplicationState::Background && !expiryTimer_) armExpiry();
  return id;
}

void Application::endBackgroundTask(BackgroundTaskIdentifier task) {
  std::lock_guard lock(mutex_);
  tasks_.erase(task);
  if (tasks_.empty() && expiryTimer_) {
    expiryTimer_->invalidate();
    expiryTimer_ = nullptr;
  }
}

size_t Application::backgroundTaskCount() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

double Application::backgroundTimeRemaining() const {
  if (!backgroundTasksSupported()) return 0;
  std::lock_guard lock(mutex_);
  if (state_ != ApplicationState::Background) return std::numeric_limits<double>::max();
  Duration left = allowance_ - (Clock::currentShared()->now() - backgroundSince_);
  if (left < Duration::zero()) return 0;
  return std::chrono::duration<double>(left).count();
}

void Application::setBackgroundTimeAllowance(Duration allowance) {
  std::lock_guard lock(mutex_);
  allowance_ = allowance;
}

void Application::armExpiry() {
  Duration delay = backgroundSince_ + allowance_ - Clock::currentShared()->now();
  if (delay < Duration::zero()) delay = Duration::zero();
  if (expiryTimer_) expiryTimer_->invalidate();
  expiryTimer_ = RunLoop::main()->performAfter(delay, [this] { expire(); });
}

void Application::expire() {
  std::vector<std::function<void()>> handlers;
  {
    std::lock_guard lock(mutex_);
    expiryTimer_ = nullptr;
    if (state_ != ApplicationState::Background) return;
    for (auto &[id, handler] : tasks_)
      if (handler) handlers.push_back(handler);
  }
  // The handlers end their tasks (and may touch the application), so no lock is held here.
  for (auto &h : handlers)
    h();
  if (backgroundTaskCount() > 0)
    Log::system("Background time expired with background tasks still running");
}

// --- Opening addresses -----------------------------------------------------------------------

namespace {
bool openWithXdgOpen(const std::string &url) {
  std::string program = findOnPath("xdg-open");
  if (program.empty()) {
    Log::system("openURL: xdg-open is not available; not opening " + url);
    return false;
  }
  if (!spawnDetached({program, url})) {
    Log::system("openURL: could not start xdg-open for " + url);
    return false;
  }
  return true;
}
} // namespace

namespace {
// Only web and mail addresses are handed to the system, and none with control characters (they
// have no place in an address and would reach a shell script).
bool openable(const std::string &url) {
  auto colon = url.find(':');
  std::string scheme = colon == std::string::npos ? "" : url.substr(0, colon);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  const bool allowed = scheme == "http" || scheme == "https" || scheme == "mailto";
  const bool clean =
      std::none_of(url.begin(), url.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
  if (!allowed || !clean)
    Log::system("openURL: refused (only http, https and mailto addresses are opened): " + url);
  return allowed && clean;
}
} // namespace

bool Application::openURL(const std::string &url) {
  if (!openable(url)) return false;
  std::function<bool(const std::string &)> opener;
  {
    std::lock_guard lock(mutex_);
    opener = opener_;
  }
  return opener ? opener(url) : openWithXdgOpen(url);
}

void Application::openURL(const std::string &url, std::function<void(bool opened)> done) {
  auto answer = [&done](bool opened) {
    if (done) done(opened);
  };
  if (!openable(url)) return answer(false);
  std::function<bool(const std::string &)> opener;
  {
    std::lock_guard lock(mutex_);
    opener = opener_;
  }
  if (opener) return answer(opener(url));
  const std::string program = findOnPath("xdg-open");
  if (program.empty()) {
    Log::system("openURL: xdg-open is not available; not opening " + url);
    return answer(false);
  }
  spawnReported({program, url}, kHandOverWait,
                [done = std::move(done)](bool took, const std::string &why) {
                  if (!took) Log::system("openURL: xdg-open did not open the address: " + why);
                  if (done) done(took);
                });
}

void Application::setURLOpener(std::function<bool(const std::string &)> opener) {
  std::lock_guard lock(mutex_);
  opener_ = std::move(opener);
}

void Application::reset() {
  std::lock_guard lock(mutex_);
  delegate_ = nullptr;
  state_ = ApplicationState::Inactive;
  badge_ = 0;
  networkIndicator_.store(false);
  statusBarStyle_ = StatusBarStyle::Default;
  statusBarHidden_ = false;
  idleTimerDisabled_ = false;
  tasks_.clear();
  nextTask_ = 1;
  allowance_ = std::chrono::seconds(600);
  if (expiryTimer_) expiryTimer_->invalidate();
  expiryTimer_ = nullptr;
  opener_ = nullptr;
}

std::string localizedString(const std::string &key, const std::string &value, const std::string &) {
  return value.empty() ? key : value;
}

} // namespace platform
