#include "platform/foundation/FileManager.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/Text.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <mutex>
#include <pwd.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string quoted(const std::string &path) {
  return "\"" + path + "\"";
}

FileStatus fail(const std::string &what, const std::string &path, int err) {
  return FileStatus::failure(what + " " + quoted(path) + ": " + std::strerror(err));
}

std::string failText(const std::string &what, const std::string &path, int err) {
  return what + " " + quoted(path) + ": " + std::strerror(err);
}

// The system reads a path up to its first NUL byte: "folder\0x" would name "folder". A path with
// a NUL in it names no file at all.
bool hasNul(const std::string &path) {
  return path.find('\0') != std::string::npos;
}

void setError(std::string *error, std::string text) {
  if (error) *error = std::move(text);
}

std::string parentOf(const std::string &path) {
  size_t slash = path.find_last_not_of('/');
  if (slash == std::string::npos) return "/";
  slash = path.rfind('/', slash);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool writeAllFd(int fd, const uint8_t *data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

struct timespec toTimespec(WallTime t) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  if (ts.tv_nsec < 0) {
    ts.tv_nsec += 1000000000;
    ts.tv_sec -= 1;
  }
  return ts;
}

WallTime fromTimespec(const struct timespec &ts) {
  return wallTimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

FileStatus copyFile(const std::string &from, const std::string &to, const struct stat &st) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return fail("Cannot open", from, errno);
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    int e = errno;
    ::close(in);
    return fail("Cannot create", to, e);
  }
  std::vector<uint8_t> buf(1 << 16);
  FileStatus status;
  for (;;) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      status = fail("Cannot read", from, errno);
      break;
    }
    if (n == 0) break;
    if (!writeAllFd(out, buf.data(), static_cast<size_t>(n))) {
      status = fail("Cannot write", to, errno);
      break;
    }
  }
  if (status) {
    ::fchmod(out, st.st_mode & 07777);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
  }
  if (::close(out) != 0 && status) status = fail("Cannot write", to, errno);
  ::close(in);
  if (!status) ::unlink(to.c_str());
  return status;
}

FileStatus copyTree(const std::string &from, const std::string &to) {
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return fail("Cannot copy", from, errno);
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
    ssize_t n = ::readlink(from.c_str(), target.data(), target.size() - 1);
    if (n < 0) return fail("Cannot read link", from, errno);
    target[static_cast<size_t>(n)] = '\0';
    if (::symlink(target.data(), to.c_str()) != 0) return fail("Cannot create", to, errno);
    return {};
  }
  if (S_ISDIR(st.st_mode)) {
    if (::mkdir(to.c_str(), 0700) != 0) return fail("Cannot create", to, errno);
    std::string error;
    auto names = FileManager::contentsOfDirectory(from, &error);
    if (!names) return FileStatus::failure(error);
    for (const std::string &name : *names) {
      FileStatus s = copyTree(from + "/" + name, to + "/" + name);
      if (!s) return s;
    }
    ::chmod(to.c_str(), st.st_mode & 07777);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return {};
  }
  if (S_ISREG(st.st_mode)) return copyFile(from, to, st);
  return FileStatus::failure("Cannot copy " + quoted(from) +
                             ": not a regular file, folder or link");
}

FileStatus removeTree(const std::string &path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return fail("Cannot remove", path, errno);
  if (S_ISDIR(st.st_mode)) {
    DIR *dir = ::opendir(path.c_str());
    if (!dir) {
      // A folder without read permission can still be removed when it is empty.
      if (::rmdir(path.c_str()) == 0) return {};
      return fail("Cannot remove", path, errno);
    }
    std::vector<std::string> names;
    while (struct dirent *e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(std::move(name));
    }
    ::closedir(dir);
    for (const std::string &name : names) {
      FileStatus s = removeTree(path + "/" + name);
      if (!s) return s;
    }
    if (::rmdir(path.c_str()) != 0) return fail("Cannot remove", path, errno);
    return {};
  }
  if (::unlink(path.c_str()) != 0) return fail("Cannot remove", path, errno);
  return {};
}

// Account names by number, looked up once per process: every lookup reads the account files
// again, and a folder listing or a queue of small files asks for each of thousands of files.
template <typename Id, typename Lookup> std::string cachedName(Id id, Lookup lookup) {
  static std::mutex mutex;
  static std::map<Id, std::string> names;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = names.find(id);
  if (it == names.end()) it = names.emplace(id, lookup(id)).first;
  return it->second;
}

std::string userName(uid_t uid) {
  return cachedName(uid, [](uid_t id) {
    struct passwd pw, *result = nullptr;
    char buf[4096];
    if (::getpwuid_r(id, &pw, buf, sizeof buf, &result) == 0 && result && result->pw_name)
      return std::string(result->pw_name);
    return std::to_string(id);
  });
}

std::string groupName(gid_t gid) {
  return cachedName(gid, [](gid_t id) {
    struct group gr, *result = nullptr;
    char buf[8192];
    if (::getgrgid_r(id, &gr, buf, sizeof buf, &result) == 0 && result && result->gr_name)
      return std::string(result->gr_name);
    return std::to_string(id);
  });
}

} // namespace

bool FileManager::fileExists(const std::string &path) {
  struct stat st;
  return !path.empty() && !hasNul(path) && ::stat(path.c_str(), &st) == 0;
}

bool FileManager::fileExists(const std::string &path, bool *isDir) {
  struct stat st;
  bool exists = !path.empty() && !hasNul(path) && ::stat(path.c_str(), &st) == 0;
  if (isDir) *isDir = exists && S_ISDIR(st.st_mode);
  return exists;
}

std::optional<std::string> FileManager::realPath(const std::string &path) {
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  // Without a descriptor to spare, the C library walks the path (it needs none).
  if (fd < 0 && errno != EMFILE && errno != ENFILE) return std::nullopt;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t n = fd < 0 ? -1 : ::readlink(link, target, sizeof target);
  if (fd >= 0) ::close(fd);
  if (n > 0 && size_t(n) < sizeof target && target[0] == '/') return std::string(target, size_t(n));
  // No /proc: the C library walks the path itself.
  char *resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

bool FileManager::isDirectory(const std::string &path) {
  bool dir = false;
  return fileExists(path, &dir) && dir;
}

FileStatus FileManager::createDirectory(const std::string &path, bool withIntermediates,
                                        mode_t mode) {
  if (path.empty()) return FileStatus::failure("Cannot create a folder with an empty path");
  if (hasNul(path)) return fail("Cannot create folder", path, EINVAL);
  if (isDirectory(path)) return {};
  if (withIntermediates) {
    std::string parent = parentOf(path);
    if (parent != path && parent != "/" && parent != "." && !isDirectory(parent)) {
      FileStatus s = createDirectory(parent, true, 0755);
      if (!s) return s;
    }
  }
  if (::mkdir(path.c_str(), mode) != 0) {
    int e = errno;
    if (e == EEXIST && isDirectory(path)) return {}; // made by someone else meanwhile
    return fail("Cannot create folder", path, e);
  }
  return {};
}

FileStatus FileManager::removeItem(const std::string &path) {
  if (path.empty()) return FileStatus::failure("Cannot remove an empty path");
  if (hasNul(path)) return fail("Cannot remove", path, EINVAL);
  return removeTree(path);
}

FileStatus FileManager::copyItem(const std::string &from, const std::string &to) {
  struct stat st;
  if (hasNul(from)) return fail("Cannot copy", from, EINVAL);
  if (hasNul(to)) return fail("Cannot copy to", to, EINVAL);
  if (::lstat(from.c_str(), &st) != 0) return fail("Cannot copy", from, errno);
  const bool folder = S_ISDIR(st.st_mode);
  if (::lstat(to.c_str(), &st) == 0) return fail("Cannot copy to", to, EEXIST);
  // A folder copied into itself would copy its own copy again and again until the path grows too
  // long, filling the disk on the way.
  if (folder) {
    char *source = ::realpath(from.c_str(), nullptr);
    const std::string parent = deleteLastPathComponent(to);
    char *target = ::realpath(parent.empty() ? "." : parent.c_str(), nullptr);
    const bool inside = source && target &&
                        (std::string_view(target) == source ||
                         std::string_view(target).rfind(std::string(source) + "/", 0) == 0 ||
                         std::string_view(source) == "/");
    std::free(source);
    std::free(target);
    if (inside) return fail("Cannot copy", from, EINVAL);
  }
  FileStatus s = copyTree(from, to);
  if (!s) {
    struct stat made;
    if (::lstat(to.c_str(), &made) == 0) removeTree(to);
  }
  return s;
}

FileStatus FileManager::moveItem(const std::string &from, const std::string &to) {
  struct stat st;
  if (hasNul(from)) return fail("Cannot move", from, EINVAL);
  if (hasNul(to)) return fail("Cannot move to", to, EINVAL);
  if (::lstat(from.c_str(), &st) != 0) return fail("Cannot move", from, errno);
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  int e = errno;
  if (e == EINVAL || e == ENOSYS) {
    // File systems without the no-replace flag: check, then rename.
    if (::lstat(to.c_str(), &st) == 0) return fail("Cannot move to", to, EEXIST);
    if (::rename(from.c_str(), to.c_str()) == 0) return {};
    e = errno;
  }
  if (e == EXDEV) {
    FileStatus s = copyItem(from, to);
    if (!s) return s;
    return removeItem(from);
  }
  if (e == EEXIST || e == ENOTEMPTY) return fail("Cannot move to", to, EEXIST);
  return fail("Cannot move", from, e);
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectory(const std::string &path,
                                                                         std::string *error) {
  if (hasNul(path)) {
    setError(error, failText("Cannot list folder", path, EINVAL));
    return std::nullopt;
  }
  DIR *dir = ::opendir(path.c_str());
  if (!dir) {
    const int why = errno;
    setError(error, failText("Cannot list folder", path, why));
    errno = why;
    return std::nullopt;
  }
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent *e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<FileAttributes> FileManager::attributesOfItem(const std::string &path,
                                                            std::string *error) {
  struct stat st;
  if (hasNul(path) || ::lstat(path.c_str(), &st) != 0) {
    setError(error, failText("Cannot read attributes of", path, hasNul(path) ? EINVAL : errno));
    return std::nullopt;
  }
  FileAttributes a;
  if (S_ISREG(st.st_mode))
    a.type = FileAttributes::Type::Regular;
  else if (S_ISDIR(st.st_mode))
    a.type = FileAttributes::Type::Directory;
  else if (S_ISLNK(st.st_mode))
    a.type = FileAttributes::Type::Link;
  a.size = static_cast<uint64_t>(st.st_size);
  a.modificationDate = fromTimespec(st.st_mtim);
  a.permissions = st.st_mode & 07777;
  a.ownerId = st.st_uid;
  a.groupId = st.st_gid;
  a.owner = userName(st.st_uid);
  a.group = groupName(st.st_gid);
  return a;
}

FileStatus FileManager::setModificationDate(const std::string &path, WallTime date) {
  if (hasNul(path)) return fail("Cannot set the date of", path, EINVAL);
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = toTimespec(date);
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    return fail("Cannot set the date of", path, errno);
  return {};
}

FileStatus FileManager::writeAtomically(const std::string &path, std::string_view data,
                                        mode_t mode) {
  return writeAtomically(path, Bytes(data.begin(), data.end()), mode);
}

FileStatus FileManager::writeAtomically(const std::string &path, const Bytes &data, mode_t mode) {
  if (path.empty()) return FileStatus::failure("Cannot write a file with an empty path");
  if (hasNul(path)) return fail("Cannot write", path, EINVAL);
  // Beside the file, under a name the file system takes even when the file's own name is near
  // the longest it takes: a name that long is shortened for the temporary file.
  constexpr std::string_view kTail = ".tmp-XXXXXX";
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t room = NAME_MAX - kTail.size();
  std::string pattern =
      path.substr(0, nameStart + std::min(path.size() - nameStart, room)) + std::string(kTail);
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return fail("Cannot write", path, errno);
  std::string temp(name.data());
  bool ok = writeAllFd(fd, data.data(), data.size());
  int e = errno;
  if (ok && ::fchmod(fd, mode) != 0) {
    ok = false;
    e = errno;
  }
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    e = errno;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    e = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return fail("Cannot write", path, e);
  }
  return {};
}

std::optional<Bytes> FileManager::contentsAtPath(const std::string &path, std::string *error) {
  int fd = hasNul(path) ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    setError(error, failText("Cannot read", path, hasNul(path) ? EINVAL : errno));
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    setError(error, failText("Cannot read", path, EISDIR));
    return std::nullopt;
  }
  Bytes out;
  if (st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
  uint8_t buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      setError(error, failText("Cannot read", path, e));
      return std::nullopt;
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  ::close(fd);
  return out;
}

std::optional<std::string> FileManager::stringContentsAtPath(const std::string &path,
                                                             std::string *error) {
  auto bytes = contentsAtPath(path, error);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

FileStatus FileManager::protectFile(const std::string &path) {
  struct stat st;
  if (hasNul(path)) return fail("Cannot protect", path, EINVAL);
  if (::stat(path.c_str(), &st) != 0) return fail("Cannot protect", path, errno);
  mode_t mode = S_ISDIR(st.st_mode) ? 0700 : 0600;
  // Changed only when it differs: even a chmod to the same mode is a change others are told of
  // (a folder watch hears it), and whoever lists the folder on that would list it for ever.
  if ((st.st_mode & 07777) == mode) return {};
  if (::chmod(path.c_str(), mode) != 0) return fail("Cannot protect", path, errno);
  return {};
}

} // namespace platform
