#include "platform/foundation/NotificationCenter.h"

#include <algorithm>

namespace platform {

NotificationCenter &NotificationCenter::defaultCenter() {
  static auto *center = new NotificationCenter; // observers may post while the process exits
  return *center;
}

void NotificationCenter::addObserver(const void *observer, std::string name, const void *object,
                                     Handler handler) {
  auto e = std::make_shared<Entry>(Entry{observer, std::move(name), object, std::move(handler)});
  std::lock_guard lock(mutex_);
  entries_.push_back(std::move(e));
}

void NotificationCenter::removeObserver(const void *observer) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&](const std::shared_ptr<Entry> &e) {
    if (e->observer != observer) return false;
    e->removed = true;
    return true;
  });
}

void NotificationCenter::removeObserver(const void *observer, const std::string &name,
                                        const void *object) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&](const std::shared_ptr<Entry> &e) {
    if (e->observer != observer) return false;
    if (!name.empty() && e->name != name) return false;
    if (object && e->object != object) return false;
    e->removed = true;
    return true;
  });
}

void NotificationCenter::post(const Notification &n) {
  std::vector<std::shared_ptr<Entry>> matching;
  {
    std::lock_guard lock(mutex_);
    for (auto &e : entries_)
      if ((e->name.empty() || e->name == n.name) && (!e->object || e->object == n.object))
        matching.push_back(e);
  }
  // Handlers run without the lock: they may post, observe or remove (themselves included).
  for (auto &e : matching) {
    {
      std::lock_guard lock(mutex_);
      if (e->removed) continue;
    }
    e->handler(n);
  }
}

void NotificationCenter::post(std::string name, const void *object,
                              std::map<std::string, std::string> userInfo) {
  post(Notification{std::move(name), object, std::move(userInfo)});
}

size_t NotificationCenter::observerCount() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

} // namespace platform
