// The application object (the phone's shared application): it drives the application delegate
// through launch, open-URL and the lifecycle, and holds the small pieces of system state the
// application sets: icon badge, network activity indicator, status bar, idle timer, background
// tasks, and opening addresses in the system.
#pragma once

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

using BackgroundTaskIdentifier = unsigned;
inline constexpr BackgroundTaskIdentifier kBackgroundTaskInvalid = 0;

enum class ApplicationState { Active, Inactive, Background };
enum class StatusBarStyle { Default = 0, BlackTranslucent = 1, BlackOpaque = 2 };

struct LaunchOptions {
  std::string url; // the address or file URL handed in at launch; empty for none
  std::string sourceApplication;
};

class Application;

// Lifecycle calls, all on the main thread. Every method has an empty default.
class ApplicationDelegate {
public:
  virtual ~ApplicationDelegate() = default;
  virtual bool didFinishLaunchingWithOptions(Application &, const LaunchOptions &) { return true; }
  // An address or file handed to the running application; the answer says whether it was taken.
  virtual bool handleOpenURL(Application &, const std::string & /*url*/) { return false; }
  virtual void applicationWillResignActive(Application &) {}
  virtual void applicationDidBecomeActive(Application &) {}
  virtual void applicationDidEnterBackground(Application &) {}
  virtual void applicationWillEnterForeground(Application &) {}
  virtual void applicationWillTerminate(Application &) {}
  virtual void applicationDidReceiveMemoryWarning(Application &) {}
};

class Application {
public:
  static Application &shared();

  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);
  std::shared_ptr<ApplicationDelegate> delegate() const;

  // --- Lifecycle, driven by the program and by tests. Each runs the delegate calls on the main
  // thread (waiting for it when called from a worker). Calls that do not fit the current state
  // (becoming active while active, ...) do nothing.
  // didFinishLaunchingWithOptions, then the application becomes active. Returns the delegate's
  // answer.
  bool launch(const LaunchOptions &options = {});
  bool deliverOpenURL(const std::string &url);
  void resignActive();    // active -> inactive
  void becomeActive();    // inactive -> active
  void enterBackground(); // (resigns first when active) -> background; background time starts
  void enterForeground(); // background -> inactive, then becomes active
  void terminate();
  void receiveMemoryWarning();
  ApplicationState applicationState() const;

  // --- System state the application sets.
  int applicationIconBadgeNumber() const;
  void setApplicationIconBadgeNumber(int number);
  // Any thread.
  bool isNetworkActivityIndicatorVisible() const;
  void setNetworkActivityIndicatorVisible(bool visible);
  StatusBarStyle statusBarStyle() const;
  void setStatusBarStyle(StatusBarStyle style, bool animated = false);
  bool isStatusBarHidden() const;
  void setStatusBarHidden(bool hidden, bool animated = false);
  // The interface orientation: the device's, or portrait while it lies flat or is unknown.
  Orientation statusBarOrientation() const;
  bool isIdleTimerDisabled() const;
  void setIdleTimerDisabled(bool disabled);

  // --- Background tasks. Supported when the device profile offers multitasking. In the
  // background the application has a fixed allowance of time (600 s unless a test sets another),
  // measured on Clock::current() from the moment it entered the background; when it runs out,
  // the expiration handlers of the tasks still held are called on the main thread.
  bool backgroundTasksSupported() const;
  // kBackgroundTaskInvalid when not supported. Any thread.
  BackgroundTaskIdentifier beginBackgroundTask(std::function<void()> expirationHandler);
  void endBackgroundTask(BackgroundTaskIdentifier task);
  // Seconds left: the largest double in the foreground, 0 without background-task support.
  double backgroundTimeRemaining() const;
  size_t backgroundTaskCount() const;
  void setBackgroundTimeAllowance(Duration allowance);

  // --- Opens an address with the system: only http, https and mailto addresses, handed to
  // xdg-open when it is on PATH; anything else (or no xdg-open) is logged and refused.
  bool openURL(const std::string &url);
  // The same, and `done` hears once, on the main thread, whether the address was opened: no when
  // it was refused, there is no xdg-open, or xdg-open failed within kHandOverWait (Spawn.h). It
  // may run before openURL returns. Main thread.
  void openURL(const std::string &url, std::function<void(bool opened)> done);
  // Tests: replace the hand-over to xdg-open (nullptr restores it).
  void setURLOpener(std::function<bool(const std::string &)> opener);

  // Tests: back to the state of a fresh process (no delegate, inactive, nothing set, no tasks).
  void reset();

private:
  Application() = default;
  void onMain(const std::function<void()> &fn);
  void armExpiry(); // with mutex_ held
  void expire();

  mutable std::mutex mutex_;
  std::shared_ptr<ApplicationDelegate> delegate_;
  ApplicationState state_ = ApplicationState::Inactive;
  int badge_ = 0;
  std::atomic<bool> networkIndicator_{false};
  StatusBarStyle statusBarStyle_ = StatusBarStyle::Default;
  bool statusBarHidden_ = false;
  bool idleTimerDisabled_ = false;

  std::map<BackgroundTaskIdentifier, std::function<void()>> tasks_;
  BackgroundTaskIdentifier nextTask_ = 1;
  Duration allowance_ = std::chrono::seconds(600);
  TimePoint backgroundSince_{};
  TimerRef expiryTimer_;
  std::function<bool(const std::string &)> opener_;
};

// Localised text for a key. There are no string tables: the text is the value when one is given,
// else the key ("Files" stays "Files").
std::string localizedString(const std::string &key, const std::string &value = "",
                            const std::string &table = "");

} // namespace platform
