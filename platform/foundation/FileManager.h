// Files and folders on the local disk. Nothing here throws: failures come back as readable texts
// (FileStatus::error, or the optional `error` out-parameter next to an empty result).
#pragma once

#include "platform/foundation/Clock.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace platform {

using Bytes = std::vector<uint8_t>;

// Success, or the reason of a failure as a sentence naming the path.
class FileStatus {
public:
  FileStatus() = default;
  static FileStatus failure(std::string text) {
    FileStatus s;
    s.error_ = text.empty() ? std::string("Unknown error") : std::move(text);
    return s;
  }
  bool ok() const { return error_.empty(); }
  explicit operator bool() const { return ok(); }
  const std::string &error() const { return error_; }

private:
  std::string error_;
};

struct FileAttributes {
  enum class Type { Regular, Directory, Link, Other };
  Type type = Type::Other;     // of the item itself: a link is a Link (lstat)
  uint64_t size = 0;           // bytes
  WallTime modificationDate{}; // with the file system's sub-second part
  unsigned permissions = 0;    // the mode's low 12 bits (07777)
  std::string owner;           // user name, or the numeric id when it has no name
  std::string group;           // group name, or the numeric id
  uid_t ownerId = 0;
  gid_t groupId = 0;
};

class FileManager {
public:
  // Follows symbolic links (a dangling link does not exist).
  static bool fileExists(const std::string &path);
  static bool fileExists(const std::string &path, bool *isDirectory);
  static bool isDirectory(const std::string &path);
  // The absolute path with every symbolic link, "." and ".." resolved (realpath); none when the
  // item does not exist or cannot be reached (errno tells why). Resolved by the kernel in one
  // walk, so it is cheap enough for every request a server answers.
  static std::optional<std::string> realPath(const std::string &path);

  // Existing folders are fine. Without intermediates a missing parent is an error.
  static FileStatus createDirectory(const std::string &path, bool withIntermediates = true,
                                    mode_t mode = 0755);
  // Removes a file, a link (not what it points to) or a folder with everything in it.
  static FileStatus removeItem(const std::string &path);
  // Copies a file, a link (as a link) or a whole folder, keeping permissions and modification
  // dates. Fails when the target exists; a failed copy leaves no partial target behind.
  static FileStatus copyItem(const std::string &from, const std::string &to);
  // Renames; across file systems copies and removes the source. Fails when the target exists.
  static FileStatus moveItem(const std::string &from, const std::string &to);

  // The names in a folder, without "." and "..", in byte order; none when it cannot be read
  // (errno tells why).
  static std::optional<std::vector<std::string>> contentsOfDirectory(const std::string &path,
                                                                     std::string *error = nullptr);
  // Attributes of the item itself (lstat: a link is reported as a link).
  static std::optional<FileAttributes> attributesOfItem(const std::string &path,
                                                        std::string *error = nullptr);
  static FileStatus setModificationDate(const std::string &path, WallTime date);

  // Writes the whole content to a temporary file beside the target and renames it into place,
  // so readers see either the old or the new content, never a part.
  static FileStatus writeAtomically(const std::string &path, const Bytes &data, mode_t mode = 0644);
  static FileStatus writeAtomically(const std::string &path, std::string_view data,
                                    mode_t mode = 0644);
  // The whole file.
  static std::optional<Bytes> contentsAtPath(const std::string &path, std::string *error = nullptr);
  static std::optional<std::string> stringContentsAtPath(const std::string &path,
                                                         std::string *error = nullptr);

  // Restricts an item to its owner: mode 0600 for files, 0700 for folders. An item that has its
  // mode already is left untouched.
  static FileStatus protectFile(const std::string &path);
};

} // namespace platform
