#include "app/foundation/PartialFile.h"

#include "app/foundation/StringUtils.h"

#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

using platform::FileManager;
using platform::FileStatus;

namespace {

constexpr const char *kSuffix = ".ferrowen-part";
constexpr size_t kNameMax = 255; // bytes of one name on the local file systems

// FNV-1a: the same name (or source) gives the same partial file in every run, so a resume finds
// it.
uint64_t nameHash(const std::string &name) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : name)
    h = (h ^ c) * 1099511628211ull;
  return h;
}

std::string hashText(const std::string &text, const char *lead) {
  char hash[24];
  std::snprintf(hash, sizeof hash, "%s%016llx", lead,
                static_cast<unsigned long long>(nameHash(text)));
  return hash;
}

// `name` and `tail` as one name: a name near the limit is shortened, told apart from others of
// the same start.
std::string boundedName(std::string name, const std::string &tail) {
  if (name.size() + tail.size() > kNameMax) {
    const std::string hash = hashText(name, "-");
    name = name.substr(0, kNameMax - tail.size() - hash.size()) + hash;
  }
  return name + tail;
}

std::string besideTarget(const std::string &target, const std::string &tail) {
  const std::string folder = platform::deleteLastPathComponent(target);
  return (folder.empty() ? std::string() : folder + "/") +
         boundedName(platform::lastPathComponent(target), tail);
}

// `to` takes the file at `from`, only when nothing stands under that name: 0, or the error.
int renameNoReplace(const std::string &from, const std::string &to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system that cannot rename that way: a second link, which never replaces either.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

// "name-<n>.ext" beside `target` (a leading dot starts no extension), short enough to be made.
std::string numberedName(const std::string &target, int n) {
  const std::string name = platform::lastPathComponent(target);
  const size_t dot = name.rfind('.');
  const bool extension = dot != std::string::npos && dot > 0;
  const std::string stem = extension ? name.substr(0, dot) : name;
  const std::string tail = "-" + std::to_string(n) + (extension ? name.substr(dot) : "");
  const std::string folder = platform::deleteLastPathComponent(target);
  return (folder.empty() ? std::string() : folder + "/") + boundedName(stem, tail);
}

} // namespace

std::string partialFilePath(const std::string &target) {
  return besideTarget(target, kSuffix);
}

std::string partialFilePath(const std::string &target, const std::string &source) {
  return besideTarget(target, hashText(source, ".") + kSuffix);
}

std::string sourceTag(const std::string &source) {
  return hashText(source, "");
}

std::string partialFilePath(const std::string &target, const RemoteOrigin &origin) {
  return partialFilePath(target, origin.key());
}

std::string temporaryPartialFilePath(const RemoteOrigin &origin) {
  return partialFilePath(platform::Paths::tmp() + "/" +
                             myBetterFileName(platform::lastPathComponent(origin.path)),
                         origin);
}

std::string ftpDownloadSource(const std::string &host, int port, const std::string &user,
                              const std::string &folder, const std::string &name) {
  return RemoteOrigin::of("ftp", host, port, user, folder, name).key();
}

std::string sftpDownloadSource(const std::string &server, int port, const std::string &user,
                               const std::string &remotePath) {
  return RemoteOrigin::of("sftp", server, port, user, platform::deleteLastPathComponent(remotePath),
                          platform::lastPathComponent(remotePath))
      .key();
}

std::string webDownloadSource(const std::string &url) {
  return "web\n" + url;
}

FileStatus putPartialFileInPlace(const std::string &partial, const std::string &target) {
  if (::rename(partial.c_str(), target.c_str()) == 0) return {};
  const int e = errno;
  return FileStatus::failure("Cannot put \"" + platform::lastPathComponent(partial) +
                             "\" in the place of \"" + target + "\": " + std::strerror(e));
}

FileStatus putPartialFileUnderFreeName(const std::string &partial, const std::string &target,
                                       std::string *placed) {
  constexpr int kMostTries = 10000;
  int error = 0;
  for (int n = 1; n <= kMostTries; ++n) {
    const std::string candidate = n == 1 ? target : numberedName(target, n);
    error = renameNoReplace(partial, candidate);
    if (error == 0) {
      if (placed) *placed = candidate;
      return {};
    }
    if (error != EEXIST) break;
  }
  return FileStatus::failure("Cannot put \"" + platform::lastPathComponent(partial) +
                             "\" beside \"" + target + "\": " + std::strerror(error));
}

FileStatus replaceFileWith(const std::string &source, const std::string &target, bool move) {
  const std::string partial = partialFilePath(target);
  FileManager::removeItem(partial);
  // A move within one file system is a rename; across file systems it copies, and a copy that
  // fails removes what it wrote and keeps the source.
  FileStatus status =
      move ? FileManager::moveItem(source, partial) : FileManager::copyItem(source, partial);
  if (!status) return status;
  status = putPartialFileInPlace(partial, target);
  if (!status) {
    if (move)
      FileManager::moveItem(partial, source); // back where it was, for a later try
    else
      FileManager::removeItem(partial);
  }
  return status;
}

void removePartialFileIfEmpty(const std::string &partial) {
  auto attributes = FileManager::attributesOfItem(partial);
  if (attributes && attributes->type == platform::FileAttributes::Type::Regular &&
      attributes->size == 0)
    FileManager::removeItem(partial);
}
