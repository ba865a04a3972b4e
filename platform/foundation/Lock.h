// A lock that its holder may take again (the phone's recursive lock). Meets the standard's
// Lockable requirements, so std::lock_guard / std::unique_lock work with it.
#pragma once

#include <mutex>

namespace platform {

class RecursiveLock {
public:
  void lock() { mutex_.lock(); }
  bool tryLock() { return mutex_.try_lock(); }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }

private:
  std::recursive_mutex mutex_;
};

} // namespace platform
