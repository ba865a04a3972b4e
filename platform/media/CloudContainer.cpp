#include "platform/media/CloudContainer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>

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
  return name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
}

// The container's own records (its key-value store) are no documents.
bool isOwnRecord(const std::string &name) {
  return name.rfind(".ferrowen-", 0) == 0;
}

bool coordinate(const std::string &path, bool exclusive,
                const std::function<void(const std::string &)> &accessor) {
  if (!CloudContainer::contains(path)) return false;
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
                                       const std::function<void(const std::string &)> &accessor) {
  return coordinate(path, false, accessor);
}

bool CloudContainer::coordinateWriting(const std::string &path,
                                       const std::function<void(const std::string &)> &accessor) {
  return coordinate(path, true, accessor);
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
