// The notification centre: observers register for a name and/or a sender; a post calls every
// matching observer synchronously, on the posting thread, in the order they registered.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

struct Notification {
  std::string name;
  const void *object = nullptr; // the sender, compared by identity
  std::map<std::string, std::string> userInfo;
};

class NotificationCenter {
public:
  using Handler = std::function<void(const Notification &)>;

  static NotificationCenter &defaultCenter();

  // `observer` identifies the registration for removeObserver (the phone's observer object).
  // An empty name matches every name; a null object matches every sender.
  void addObserver(const void *observer, std::string name, const void *object, Handler handler);
  // Removes every registration of the observer, or only those for a name and sender (an empty
  // name / null object there match any). After it returns on a thread, that thread sees no more
  // calls; a post already running on another thread may still finish its call.
  void removeObserver(const void *observer);
  void removeObserver(const void *observer, const std::string &name, const void *object);

  void post(const Notification &notification);
  void post(std::string name, const void *object = nullptr,
            std::map<std::string, std::string> userInfo = {});

  size_t observerCount() const;

private:
  struct Entry {
    const void *observer;
    std::string name;
    const void *object;
    Handler handler;
    bool removed = false; // guarded by mutex_
  };
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
};

} // namespace platform
