// Watches a server's folder (on this machine) while an upload runs: every file whose name holds a
// given part is looked at each time it is made, written or changed, and the permission bits it had
// while it held bytes are collected, so that a test can say whether its content was ever readable
// by others on its way (an empty file shows nothing).
#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace testsupport {

class ModeWatch {
public:
  ModeWatch(const std::string &folder, const std::string &namePart)
      : folder_(folder), part_(namePart) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0)
      inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE);
    thread_ = std::thread([this] { loop(); });
  }
  ~ModeWatch() {
    stop_ = true;
    thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  ModeWatch(const ModeWatch &) = delete;
  ModeWatch &operator=(const ModeWatch &) = delete;

  bool watching() const { return fd_ >= 0; }
  // Every mode (permission bits) a watched file was seen with while it held bytes.
  std::set<unsigned> modes() {
    std::lock_guard lock(mutex_);
    return modes_;
  }
  // Whether a watched file holding bytes was seen readable by its group or by others.
  bool everReadableByOthers() {
    for (unsigned mode : modes())
      if (mode & 044) return true;
    return false;
  }

private:
  void loop() {
    alignas(inotify_event) char buffer[8192];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (fd_ < 0 || poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (!event->len) continue;
        const std::string name = event->name;
        struct stat st {};
        if (name.find(part_) == std::string::npos ||
            ::stat((folder_ + "/" + name).c_str(), &st) != 0 || st.st_size == 0)
          continue;
        std::lock_guard lock(mutex_);
        modes_.insert(st.st_mode & 07777);
      }
    }
  }

  std::string folder_, part_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::set<unsigned> modes_;
  std::thread thread_;
};

} // namespace testsupport
