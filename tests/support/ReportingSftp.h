// An SFTP service double for screens that send a file back: connected, it records the upload
// asked for and reports on the main thread, to whatever delegate it has then, as the real service
// does: the file arrived, the upload failed, or nothing at all (a busy service refuses with only a
// log line). Like the real service it runs one operation at a time: an upload that comes while a
// listing runs is refused, and a listing can be held until the test lets it end. A listener that
// records what it hears stands for the folder screen.
#pragma once

#include "tests/support/IdleSftp.h"

#include "platform/foundation/Dispatch.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class ReportingSftp : public IdleSftp, public std::enable_shared_from_this<ReportingSftp> {
public:
  enum class Outcome { Arrives, Fails, Refused };

  std::atomic<Outcome> outcome{Outcome::Arrives};
  std::atomic<int> uploads{0}, refused{0}, listings{0};
  // Runs on the main thread before the upload's reports (to change the world meanwhile).
  std::function<void()> beforeReports;

  std::string uploadedTo() {
    std::lock_guard lock(mutex_);
    return remote_;
  }

  // The next listings wait (the service busy) until release().
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    released_.notify_all();
  }

  bool isActive() override { return active_; }
  void getThisDirectory(const std::string &) override {
    if (!begin()) return;
    {
      std::unique_lock lock(mutex_);
      released_.wait(lock, [this] { return !held_; });
    }
    ++listings;
    report([](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.gotDirectory(w, {}); });
    active_ = false;
  }
  void setupToUploadThisFile(const std::string &, const std::string &to) override {
    std::lock_guard lock(mutex_);
    remote_ = to;
  }
  void uploadFile() override {
    if (!begin()) return;
    struct End {
      std::atomic<bool> &active;
      ~End() { active = false; }
    } end{active_};
    ++uploads;
    const std::string to = uploadedTo();
    if (beforeReports) platform::dispatchAsyncMain(beforeReports);
    switch (outcome.load()) {
    case Outcome::Arrives:
      report([to](SFTPWrapperDelegate &d, SFTPWrapper &w) {
        d.uploadedFile(w, to);
        d.sftpConnectionShouldRefreshDirectory(w);
      });
      break;
    case Outcome::Fails:
      report([](SFTPWrapperDelegate &d, SFTPWrapper &w) {
        d.uploadError(w, "Error Uploading File!");
      });
      break;
    case Outcome::Refused:
      return;
    }
    report([](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.sftpConnectionDone(w); });
  }

private:
  // Takes the service for one operation; false (refused, as the real service refuses) while
  // another one runs.
  bool begin() {
    bool expected = false;
    if (active_.compare_exchange_strong(expected, true)) return true;
    ++refused;
    return false;
  }
  void report(std::function<void(SFTPWrapperDelegate &, SFTPWrapper &)> call) {
    std::weak_ptr<ReportingSftp> weak = weak_from_this();
    platform::dispatchAsyncMain([weak, call] {
      auto self = weak.lock();
      if (!self) return;
      if (auto d = self->delegate()) call(*d, *self);
    });
  }
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  std::atomic<bool> active_{false};
  std::string remote_;
};

// Hears an SFTP service's reports, one line each.
struct SftpListener : SFTPWrapperDelegate {
  std::vector<std::string> heard;
  void uploadedFile(SFTPWrapper &, const std::string &path) override {
    heard.push_back("uploaded " + path);
  }
  void uploadError(SFTPWrapper &, const std::string &text) override {
    heard.push_back("error " + text);
  }
  void sftpConnectionShouldRefreshDirectory(SFTPWrapper &) override { heard.push_back("refresh"); }
  void sftpConnectionDone(SFTPWrapper &) override { heard.push_back("done"); }
};

} // namespace testsupport
