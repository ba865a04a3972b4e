#include "app/sharing/SharedListing.h"

#include "platform/foundation/RunLoop.h"

#include <malloc.h>
#include <sys/stat.h>

#include <utility>
#include <vector>

namespace sharing {

using platform::Clock;
using platform::RunLoop;
using platform::WallTime;

struct SharedListing::Making {
  std::string key, folder;
  MakerFactory make;
  std::unique_ptr<ListingMaker> maker;
  bool started = false, done = false;
  FolderStamp stamp;
  uint64_t generation = 0;
  platform::TimePoint began{};
  std::weak_ptr<const std::string> text;
  WallTime sameFrom = WallTime::min(), sameUntil = WallTime::max();
  struct Waiter {
    WallTime at;
    MakerFactory make;
    Ready ready;
  };
  std::vector<Waiter> waiters;
};

SharedListing &SharedListing::shared() {
  // Never destroyed: texts still held by connections at exit release themselves into it.
  static SharedListing *instance = new SharedListing;
  return *instance;
}

SharedListing::FolderStamp SharedListing::stampOf(const std::string &folder) {
  FolderStamp s;
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return s;
  s.exists = true;
  s.device = uint64_t(st.st_dev);
  s.inode = uint64_t(st.st_ino);
  s.modified = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.changed = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return s;
}

// Nothing is known to have changed since the text began: the folder's own entries (its stamp)
// and whatever the servers reported.
bool SharedListing::fresh(const Making &m) const {
  return m.generation == generation_ && stampOf(m.folder) == m.stamp;
}

void SharedListing::filesChanged() {
  ++generation_;
}

void SharedListing::request(const std::string &key, const std::string &folder, WallTime at,
                            MakerFactory make, Ready ready) {
  if (auto it = latest_.find(key); it != latest_.end()) {
    Making &m = *it->second;
    if (!m.started || (!m.done && fresh(m))) {
      // Waiting to begin (it will read the folder after this request came) or being made with
      // nothing changed since it began.
      m.waiters.push_back({at, std::move(make), std::move(ready)});
      return;
    }
    if (m.done && at >= m.sameFrom && at <= m.sameUntil &&
        Clock::current().now() - m.began < kReuseFor && fresh(m)) {
      if (SharedText text = m.text.lock()) {
        ready(std::move(text), 0);
        return;
      }
    }
  }
  auto m = std::make_shared<Making>();
  m->key = key;
  m->folder = folder;
  m->make = make;
  m->waiters.push_back({at, std::move(make), std::move(ready)});
  latest_[key] = m;
  queue_.push_back(m);
  // An idle queue begins at once: a small folder is made in one step, and answered now.
  if (queue_.size() == 1 && !stepPosted_) runStep();
}

// The next step waits its turn on the run loop behind whatever else is due there.
void SharedListing::postStep() {
  if (stepPosted_ || queue_.empty()) return;
  stepPosted_ = true;
  RunLoop::current()->perform([] { shared().runStep(); });
}

void SharedListing::runStep() {
  stepPosted_ = false;
  if (queue_.empty()) return;
  std::shared_ptr<Making> m = queue_.front();
  if (!m->started) {
    m->started = true;
    m->began = Clock::current().now();
    m->stamp = stampOf(m->folder);
    m->generation = generation_;
    m->maker = m->make();
    ++begun_;
  }
  if (m->maker->step())
    finish(m);
  else
    postStep();
}

void SharedListing::finish(const std::shared_ptr<Making> &m) {
  queue_.pop_front();
  m->sameFrom = m->maker->sameFrom();
  m->sameUntil = m->maker->sameUntil();
  const int failure = m->maker->failure();
  SharedText text = failure ? nullptr : keep(m->maker->take());
  m->maker.reset();
  m->make = nullptr;
  m->done = true;
  m->text = text;
  // The working memory of the maker is free now.
  releaseMemorySoon();
  auto waiters = std::move(m->waiters);
  m->waiters.clear();
  for (size_t i = 0; i < waiters.size(); ++i) {
    auto &w = waiters[i];
    // The first was the text made for; the others, when it reads otherwise at their moment,
    // get one of their own.
    if (failure || i == 0 || (w.at >= m->sameFrom && w.at <= m->sameUntil))
      w.ready(text, failure);
    else
      request(m->key, m->folder, w.at, std::move(w.make), std::move(w.ready));
  }
  text.reset();
  // Once no connection holds the text, it is forgotten.
  if (m->text.expired()) {
    if (auto it = latest_.find(m->key); it != latest_.end() && it->second == m) latest_.erase(it);
  }
  postStep();
}

SharedText SharedListing::keep(std::string made) {
  ++alive_;
  return SharedText(new std::string(std::move(made)), [](const std::string *s) {
    delete s;
    SharedListing &self = shared();
    --self.alive_;
    // The last holder of a text lets its entry go (a finished entry without a text serves no one).
    for (auto it = self.latest_.begin(); it != self.latest_.end();) {
      if (it->second->done && it->second->text.expired())
        it = self.latest_.erase(it);
      else
        ++it;
    }
    self.releaseMemorySoon();
  });
}

// Large texts and a maker's many small pieces leave free memory scattered through the heap, which
// the allocator keeps; it is handed back to the system a moment later (once for many releases).
void SharedListing::releaseMemorySoon() {
  if (trimPosted_) return;
  trimPosted_ = true;
  RunLoop::current()->performAfter(platform::seconds(0.5), [] {
    shared().trimPosted_ = false;
    ::malloc_trim(0);
  });
}

} // namespace sharing
