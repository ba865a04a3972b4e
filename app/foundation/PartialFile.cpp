#include "app/foundation/PartialFile.h"

#include "platform/foundation/Text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

using platform::FileManager;
using platform::FileStatus;

namespace {

constexpr const char *kSuffix = ".ferrowen-part";
constexpr size_t kNameMax = 255; // bytes of one name on the local file systems

// FNV-1a: the same name gives the same partial file in every run, so a resume finds it.
uint64_t nameHash(const std::string &name) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : name)
    h = (h ^ c) * 1099511628211ull;
  return h;
}

} // namespace

std::string partialFilePath(const std::string &target) {
  const std::string folder = platform::deleteLastPathComponent(target);
  std::string name = platform::lastPathComponent(target);
  const size_t suffix = std::strlen(kSuffix);
  if (name.size() + suffix > kNameMax) {
    // A name near the limit: a shortened one, told apart from others of the same start.
    char hash[24];
    std::snprintf(hash, sizeof hash, "-%016llx", static_cast<unsigned long long>(nameHash(name)));
    name = name.substr(0, kNameMax - suffix - std::strlen(hash)) + hash;
  }
  return (folder.empty() ? std::string() : folder + "/") + name + kSuffix;
}

FileStatus putPartialFileInPlace(const std::string &partial, const std::string &target) {
  if (::rename(partial.c_str(), target.c_str()) == 0) return {};
  const int e = errno;
  return FileStatus::failure("Cannot put \"" + platform::lastPathComponent(partial) +
                             "\" in the place of \"" + target + "\": " + std::strerror(e));
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
