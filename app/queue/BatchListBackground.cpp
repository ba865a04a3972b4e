// Running in the background: while a transfer runs when the application leaves, the queue holds a
// background task, starts no item with less than 60 s left and pauses itself at 90 s or less.
#include "app/queue/BatchListView.h"

#include "platform/foundation/Log.h"

using platform::Application;
using platform::Log;
using platform::RunLoop;

void BatchListView::enterBackground() {
  writeHeldChanges(); // the system may end a process in the background without a word
  if (inProgressPK_ == -1) return;
  runningInTheBackground_ = true;
  auto &app = Application::shared();
  app.setApplicationIconBadgeNumber(static_cast<int>(batchItemList_.size()));
  if (!app.backgroundTasksSupported()) return;
  if (bgTask_ == platform::kBackgroundTaskInvalid) {
    auto weak = weakSelf();
    bgTask_ = app.beginBackgroundTask([weak] {
      RunLoop::main()->perform([weak] {
        auto self = weak.lock();
        if (!self || self->bgTask_ == platform::kBackgroundTaskInvalid) return;
        auto &application = Application::shared();
        application.setApplicationIconBadgeNumber(0);
        application.endBackgroundTask(self->bgTask_);
        self->bgTask_ = platform::kBackgroundTaskInvalid;
      });
    });
  }
  if (backgrounderTimer_) backgrounderTimer_->invalidate();
  auto weak = weakSelf();
  // The watchdog looks when about 60 s are left, and at once when 90 s or less are left already.
  const double remaining = app.backgroundTimeRemaining();
  backgrounderTimer_ = RunLoop::main()->performAfter(
      platform::seconds(remaining <= 90.0 ? 0.0 : remaining - 60.0), [weak] {
        if (auto self = weak.lock()) self->stopBackgrounder();
      });
}

void BatchListView::resumeFromBackground() {
  doneInBackground();
}

void BatchListView::doneInBackground() {
  updateSizeDisplay();
  if (!runningInTheBackground_) return;
  runningInTheBackground_ = false;
  Log::system("******BACKGROUND STOPPING******");
  auto &app = Application::shared();
  app.setApplicationIconBadgeNumber(0);
  if (backgrounderTimer_) backgrounderTimer_->invalidate();
  if (bgTask_ != platform::kBackgroundTaskInvalid && app.backgroundTasksSupported())
    app.endBackgroundTask(bgTask_);
  bgTask_ = platform::kBackgroundTaskInvalid;
}

double BatchListView::backgroundTimeLeft() const {
  auto &app = Application::shared();
  if (!app.backgroundTasksSupported() || bgTask_ == platform::kBackgroundTaskInvalid) return 0;
  return app.backgroundTimeRemaining();
}

void BatchListView::stopBackgrounder() {
  if (!runningInTheBackground_) return;
  const double left = backgroundTimeLeft();
  if (left <= 90.0) {
    clickedPause();
    doneInBackground();
    return;
  }
  auto weak = weakSelf();
  backgrounderTimer_ =
      RunLoop::main()->performAfter(platform::seconds(std::max(0.0, left - 60.0)), [weak] {
        if (auto self = weak.lock()) self->stopBackgrounder();
      });
}
