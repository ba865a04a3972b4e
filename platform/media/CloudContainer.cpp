#include "platform/media/CloudContainer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>

#include "platform/foundation/FolderWatch.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"

namespace platform {

namespace {

std::mutex folderMutex;
std::string chosenFolder;

std::string normal(const std::string &path) {
  std::string s = std::filesystem::path(path).lexically_normal().string();
  while (s.size() > 1 && s.back() == '/')
    s.pop_back();
  return s;
}

// A copy into the container is written under this ending and renamed when whole; the query
// leaves such files out.
constexpr const char *kPartial = ".ferrowen-part";
// The account's key-value store: kept in the synced folder, so it is shared by every device.
constexpr const char *kKeyValueStore = ".ferrowen-keys";

bool isPartial(const std::string &name) {
  const std::string end = kPartial;
  if (name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0)
    return true;
  // An atomic write in progress (an editor's save): the new file beside the item, named
  // "<item>.tmp-" and six letters or digits, renamed over the item when whole.
  const size_t at = name.size() >= 11 ? name.size() - 11 : std::string::npos;
  if (at == std::string::npos || at == 0 || name.compare(at, 5, ".tmp-") != 0) return false;
  return std::all_of(name.begin() + static_cast<long>(at) + 5, name.end(),
                     [](unsigned char c) { return std::isalnum(c) != 0; });
}

// The container's own records (its key-value store) are no documents.
bool isOwnRecord(const std::string &name) {
  return name.rfind(".ferrowen-", 0) == 0;
}

bool coordinateLocked(const std::string &path, bool exclusive,
                      const std::function<void(const std::string &)> &accessor);

// --- Presenters ------------------------------------------------------------------------------

// What an item looked like when its presenters last heard of it.
struct Signature {
  bool exists = false;
  ino_t ino = 0;
  dev_t dev = 0;
  off_t size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const Signature &) const = default;
};

Signature signatureOf(const std::string &path) {
  struct stat st {};
  Signature sig;
  if (::lstat(path.c_str(), &st) != 0) return sig;
  sig.exists = true;
  sig.ino = st.st_ino;
  sig.dev = st.st_dev;
  sig.size = st.st_size;
  sig.mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return sig;
}

// One presenter and the watch over its item's folder. Main thread only, except `path`, which is
// read under the registry's lock.
struct Registered {
  std::weak_ptr<FilePresenter> presenter;
  const FilePresenter *raw = nullptr;
  std::string path; // normal form, as at registration
  Signature known;
  std::unique_ptr<FolderWatch> watch;
  std::function<void()> reacquire; // while another process holds its writing lock
  bool waiting = false;
};

std::mutex presentersMutex;
std::vector<std::shared_ptr<Registered>> &registry() {
  static std::vector<std::shared_ptr<Registered>> r;
  return r;
}
// Items this process writes now (another process's lock is told apart from ours by it).
std::multiset<std::string> &writingHere() {
  static std::multiset<std::string> w;
  return w;
}

std::vector<std::shared_ptr<Registered>> registeredFor(const std::string &path,
                                                       const FilePresenter *except) {
  std::vector<std::shared_ptr<Registered>> out;
  std::lock_guard lock(presentersMutex);
  for (auto &r : registry())
    if (r->path == path && r->raw != except && !r->presenter.expired()) out.push_back(r);
  return out;
}

// This process writes the item now: its presenters hear of it when the write is over.
bool writtenHere(const std::string &path) {
  std::lock_guard lock(presentersMutex);
  return writingHere().count(path) > 0;
}

// Another process holds the item's writing lock (never asked while this process writes it).
bool lockedElsewhere(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  bool held = false;
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) held = errno == EWOULDBLOCK;
  ::close(fd); // releases the probe's lock
  return held;
}

void checkPresented(const std::shared_ptr<Registered> &r);

// After a wait for another process's writer: probes again until the lock is given up. The rename
// that ends an atomic write also wakes the watch; this covers a writer that changes nothing.
void retryLater(const std::weak_ptr<Registered> &weak) {
  RunLoop::main()->performAfter(std::chrono::milliseconds(100), [weak] {
    if (auto r = weak.lock(); r && r->waiting) checkPresented(r);
  });
}

void checkPresented(const std::shared_ptr<Registered> &r) {
  auto presenter = r->presenter.lock();
  if (!presenter || writtenHere(r->path)) return;
  if (lockedElsewhere(r->path)) {
    if (!r->waiting) {
      r->waiting = true;
      r->reacquire = presenter->relinquishPresentedItemToWriter();
    }
    retryLater(r);
    return;
  }
  if (r->waiting) {
    r->waiting = false;
    if (auto reacquire = std::move(r->reacquire)) reacquire();
  }
  const Signature now = signatureOf(r->path);
  if (now == r->known) return;
  const bool wasThere = r->known.exists;
  r->known = now;
  if (!now.exists) {
    if (wasThere) presenter->accommodatePresentedItemDeletion();
    return;
  }
  presenter->presentedItemDidChange();
}

// Tells the other presenters of the item that an access starts; answers what to run on the main
// run loop when it is over.
std::function<void()> relinquishTo(const std::string &path, bool writer,
                                   const FilePresenter *except) {
  {
    std::lock_guard lock(presentersMutex);
    if (registry().empty()) return {};
  }
  auto loop = RunLoop::main();
  if (!loop) return {};
  std::vector<std::pair<std::weak_ptr<Registered>, std::function<void()>>> told;
  loop->performAndWait([&] {
    for (auto &r : registeredFor(path, except)) {
      auto presenter = r->presenter.lock();
      if (!presenter) continue;
      presenter->savePresentedItemChanges();
      told.emplace_back(r, writer ? presenter->relinquishPresentedItemToWriter()
                                  : presenter->relinquishPresentedItemToReader());
    }
  });
  if (told.empty() && !writer) return {};
  return [told, writer, path, except] {
    for (auto &[weak, reacquire] : told)
      if (reacquire) reacquire();
    if (!writer) return;
    // Everyone learns the item's new state now: the watch's later call is then no news, and the
    // writer's own presenter does not hear of its own write.
    std::vector<std::shared_ptr<Registered>> all;
    {
      std::lock_guard lock(presentersMutex);
      for (auto &r : registry())
        if (r->path == path) all.push_back(r);
    }
    const Signature now = signatureOf(path);
    for (auto &r : all) {
      const bool wasThere = r->known.exists;
      r->known = now;
      if (r->raw == except) continue;
      auto presenter = r->presenter.lock();
      if (!presenter) continue;
      if (now.exists)
        presenter->presentedItemDidChange();
      else if (wasThere)
        presenter->accommodatePresentedItemDeletion();
    }
  };
}

bool coordinate(const std::string &path, bool exclusive,
                const std::function<void(const std::string &)> &accessor,
                const FilePresenter *presenter) {
  if (!CloudContainer::contains(path)) return false;
  const std::string item = normal(path);
  auto over = relinquishTo(item, exclusive, presenter);
  if (exclusive) {
    std::lock_guard lock(presentersMutex);
    writingHere().insert(item);
  }
  // The presenters hear of the write before the watch may tell them again: until then the watch
  // leaves the item alone.
  struct Over {
    const std::string &item;
    bool exclusive;
    std::function<void()> &over;
    ~Over() {
      if (over) RunLoop::main()->performAndWait(over);
      if (!exclusive) return;
      std::lock_guard lock(presentersMutex);
      writingHere().erase(writingHere().find(item));
    }
  } done{item, exclusive, over};
  return coordinateLocked(path, exclusive, accessor);
}

bool coordinateLocked(const std::string &path, bool exclusive,
                      const std::function<void(const std::string &)> &accessor) {
  // A writer may replace or remove the item while we wait for the lock: then we lock again on
  // what the path names now. Bounded, since a peer could keep replacing it.
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) {
      if (!exclusive) {
        accessor(path);
        return true;
      }
      fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (fd < 0 && errno == EEXIST) continue;
    }
    if (fd < 0) return false;
    struct stat held {};
    if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
      ::close(fd);
      return false;
    }
    while (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
    }
    struct stat now {};
    if (::lstat(path.c_str(), &now) != 0 || now.st_ino != held.st_ino ||
        now.st_dev != held.st_dev) {
      ::close(fd);
      continue;
    }
    accessor(path);
    ::close(fd); // releases the lock
    return true;
  }
  return false;
}

void scanInto(const std::string &root, const std::string &dir, const std::string &relative,
              int depth, std::vector<CloudItem> &out, std::vector<std::string> *folders) {
  if (depth > CloudQuery::kMaxDepth) return;
  if (folders) {
    if (folders->size() >= CloudQuery::kMaxFolders) return;
    folders->push_back(dir);
  }
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec), end;
  std::vector<std::string> names;
  for (; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    if (out.size() >= CloudQuery::kMaxItems) return;
    const std::string full = dir + "/" + name;
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0) continue;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    if (S_ISDIR(st.st_mode)) {
      scanInto(root, full, rel, depth + 1, out, folders);
    } else if (S_ISREG(st.st_mode) && !isPartial(name) && !isOwnRecord(name)) {
      CloudItem item;
      item.name = name;
      item.path = full;
      item.relative = rel;
      item.size = static_cast<uint64_t>(st.st_size);
      item.modified = WallTime(std::chrono::duration_cast<WallTime::duration>(
          std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
      out.push_back(std::move(item));
    }
  }
}

} // namespace

std::string CloudContainer::folder() {
  {
    std::lock_guard lock(folderMutex);
    if (!chosenFolder.empty()) return chosenFolder;
  }
  return Paths::home() + "/Cloud";
}

void CloudContainer::setFolder(const std::string &path) {
  std::lock_guard lock(folderMutex);
  chosenFolder = path.empty() ? std::string() : normal(path);
}

bool CloudContainer::isAvailable() {
  struct stat st {};
  const std::string f = folder();
  return ::lstat(f.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         ::access(f.c_str(), W_OK | X_OK) == 0;
}

bool CloudContainer::contains(const std::string &path) {
  if (path.empty() || path[0] != '/') return false;
  const std::string root = normal(folder());
  const std::string p = normal(path);
  return p.size() > root.size() + 1 && p.compare(0, root.size(), root) == 0 &&
         p[root.size()] == '/';
}

bool CloudContainer::coordinateReading(const std::string &path,
                                       const std::function<void(const std::string &)> &accessor,
                                       const FilePresenter *presenter) {
  return coordinate(path, false, accessor, presenter);
}

bool CloudContainer::coordinateWriting(const std::string &path,
                                       const std::function<void(const std::string &)> &accessor,
                                       const FilePresenter *presenter) {
  return coordinate(path, true, accessor, presenter);
}

void CloudContainer::addFilePresenter(const std::shared_ptr<FilePresenter> &presenter) {
  if (!presenter) return;
  auto r = std::make_shared<Registered>();
  r->presenter = presenter;
  r->raw = presenter.get();
  r->path = normal(presenter->presentedItemPath());
  r->known = signatureOf(r->path);
  std::weak_ptr<Registered> weak = r;
  r->watch = FolderWatch::watch(std::filesystem::path(r->path).parent_path().string(), [weak] {
    if (auto held = weak.lock()) checkPresented(held);
  });
  std::lock_guard lock(presentersMutex);
  registry().push_back(std::move(r));
}

void CloudContainer::removeFilePresenter(const FilePresenter *presenter) {
  std::vector<std::shared_ptr<Registered>> gone;
  {
    std::lock_guard lock(presentersMutex);
    auto &all = registry();
    for (auto it = all.begin(); it != all.end();) {
      if ((*it)->raw == presenter || (*it)->presenter.expired()) {
        gone.push_back(std::move(*it));
        it = all.erase(it);
      } else {
        ++it;
      }
    }
  }
  // A watch may be what called: it goes once its call is over.
  if (!gone.empty())
    if (auto loop = RunLoop::main()) loop->perform([gone] {});
}

bool CloudContainer::keyValueFlag(const std::string &key) {
  std::string content;
  coordinateReading(folder() + "/" + kKeyValueStore, [&](const std::string &path) {
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) > 65536 || ec) return;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
      content.append(buf, n);
    std::fclose(f);
  });
  return ("\n" + content).find("\n" + key + "=1\n") != std::string::npos;
}

bool CloudContainer::setKeyValueFlagOnce(const std::string &key) {
  bool wasUnset = false;
  const bool ran = coordinateWriting(folder() + "/" + kKeyValueStore, [&](const std::string &path) {
    std::string content;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && content.size() < 65536)
        content.append(buf, n);
      std::fclose(f);
    }
    if (("\n" + content).find("\n" + key + "=1\n") != std::string::npos) return;
    wasUnset = true;
    if (FILE *f = std::fopen(path.c_str(), "ab")) {
      std::fputs((key + "=1\n").c_str(), f);
      std::fclose(f);
    }
  });
  return ran && wasUnset;
}

// --- The query ---------------------------------------------------------------------------------

std::vector<CloudItem> CloudQuery::scan(const std::string &folder) {
  std::vector<CloudItem> out;
  scanInto(folder, folder, "", 0, out, nullptr);
  return out;
}

std::unique_ptr<CloudQuery> CloudQuery::start(const std::string &folder, Results results) {
  std::unique_ptr<CloudQuery> q(new CloudQuery);
  q->folder_ = normal(folder);
  q->results_ = std::move(results);
  CloudQuery *self = q.get();
  std::weak_ptr<bool> alive = q->alive_;
  RunLoop::current()->perform([self, alive] {
    if (alive.expired()) return;
    std::vector<CloudItem> items;
    std::vector<std::string> folders;
    scanInto(self->folder_, self->folder_, "", 0, items, &folders);
    self->watches_.clear();
    for (const std::string &dir : folders) {
      std::weak_ptr<bool> a = self->alive_;
      self->watches_.emplace_back(dir, FolderWatch::watch(dir, [self, a] {
                                    if (!a.expired()) self->rescan();
                                  }));
    }
    if (self->results_) self->results_(Event::FinishGathering, items);
  });
  return q;
}

CloudQuery::~CloudQuery() {
  alive_.reset();
}

void CloudQuery::enableUpdates() {
  updatesEnabled_ = true;
  if (pending_) rescan();
}

void CloudQuery::rescan() {
  if (!updatesEnabled_) {
    pending_ = true;
    return;
  }
  pending_ = false;
  std::vector<CloudItem> items;
  std::vector<std::string> folders;
  scanInto(folder_, folder_, "", 0, items, &folders);
  // Keep the watches of folders still there, watch the new ones, drop the gone ones.
  std::vector<std::pair<std::string, std::unique_ptr<FolderWatch>>> kept;
  for (const std::string &dir : folders) {
    auto old = std::find_if(watches_.begin(), watches_.end(),
                            [&](const auto &w) { return w.first == dir; });
    if (old != watches_.end() && old->second) {
      kept.emplace_back(dir, std::move(old->second));
      continue;
    }
    std::weak_ptr<bool> a = alive_;
    kept.emplace_back(dir, FolderWatch::watch(dir, [this, a] {
                        if (!a.expired()) rescan();
                      }));
  }
  // Dropped watches are freed after this call: the callback running now may belong to one.
  auto dropped = std::make_shared<decltype(watches_)>(std::move(watches_));
  watches_ = std::move(kept);
  RunLoop::current()->perform([dropped] {});
  if (results_) results_(Event::Update, items);
}

} // namespace platform
