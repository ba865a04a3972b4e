#include "app/foundation/WorkingCopy.h"

#include "app/foundation/PartialFile.h"
#include "app/foundation/SettingsKeys.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <algorithm>
#include <mutex>
#include <utility>

using platform::FileManager;

namespace {

// Never destroyed: a holder may end after the program's other static objects.
std::mutex &heldMutex() {
  static auto *m = new std::mutex;
  return *m;
}

std::multiset<std::string> &held() {
  static auto *files = new std::multiset<std::string>;
  return *files;
}

// Enough for every copy of one file that can be open at once.
constexpr int kMostFolders = 1000;

} // namespace

FileInUse::FileInUse(FileInUse &&other) noexcept : path_(std::exchange(other.path_, {})) {}

FileInUse &FileInUse::operator=(FileInUse &&other) noexcept {
  if (this != &other) {
    release();
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

void FileInUse::hold(const std::string &path) {
  release();
  if (path.empty()) return;
  path_ = platform::standardizePath(path);
  std::lock_guard lock(heldMutex());
  held().insert(path_);
}

void FileInUse::release() {
  if (path_.empty()) return;
  {
    std::lock_guard lock(heldMutex());
    if (auto it = held().find(path_); it != held().end()) held().erase(it);
  }
  path_.clear();
}

std::set<std::string> filesInUse() {
  std::set<std::string> files;
  {
    std::lock_guard lock(heldMutex());
    files.insert(held().begin(), held().end());
  }
  auto &settings = platform::UserDefaults::standard();
  auto use = [&](const std::string &key) {
    if (auto path = settings.stringForKey(key).value_or(""); !path.empty())
      files.insert(platform::standardizePath(path));
  };
  use(kEditingFTPFile);
  use(kWasViewingFile);
  // Every used file tab's record (the phone writes its record as the first tab's too).
  const long slots = std::max<long>(1, settings.integerForKey("TabIndexMax"));
  for (int i = 0; i < slots; ++i)
    if (settings.integerForKey(keyIndexIsUsed(i)) == 1) use(keyForTab(i, kEditingFTPFile));
  return files;
}

bool fileInUse(const std::string &path) {
  return filesInUse().count(platform::standardizePath(path)) > 0;
}

bool fileHeldOpen(const std::string &path) {
  const std::string standard = platform::standardizePath(path);
  std::lock_guard lock(heldMutex());
  return held().count(standard) > 0;
}

std::string workingCopyPath(const RemoteOrigin &origin, const std::string &name) {
  return workingCopyPath(origin.key(), name);
}

std::string workingCopyPath(const std::string &source, const std::string &name) {
  const std::string tag = platform::Paths::tmp() + "/" + sourceTag(source);
  const auto inUse = filesInUse();
  std::string path;
  for (int n = 1; n <= kMostFolders; ++n) {
    path = (n == 1 ? tag : tag + "-" + std::to_string(n)) + "/" + name;
    if (!inUse.count(platform::standardizePath(path))) break;
  }
  FileManager::createDirectory(platform::deleteLastPathComponent(path), true);
  return path;
}

void removeWorkingCopy(const std::string &path) {
  FileManager::removeItem(path);
  const std::string folder = platform::deleteLastPathComponent(path);
  // Only a folder of the temporary folder that held working copies, once it is empty.
  if (platform::standardizePath(platform::deleteLastPathComponent(folder)) !=
      platform::standardizePath(platform::Paths::tmp()))
    return;
  if (auto left = FileManager::contentsOfDirectory(folder); left && left->empty())
    FileManager::removeItem(folder);
}
