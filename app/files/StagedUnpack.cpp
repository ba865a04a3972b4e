// An archive is unpacked into a staging folder inside its target folder, then moved into place
// by renames within that folder: a file the person changed is replaced only when they say so.
// The walks go through descriptors opened without following links, so an unpack never writes
// through a link that stands in the target folder, and a folder of the archive that meets a link
// (or a file) of the same name there is not put in place.
#include "app/files/ArchiveServices.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>

#include "app/foundation/StringUtils.h"
#include "platform/foundation/Log.h"

using platform::Log;

namespace {

// Deeper folders than this that already stand in the target are not walked into: what the
// archive holds below them is not put in place (and the unpack says so).
constexpr int kMaxDepth = 64;
constexpr const char *kStagingPrefix = ".ferrowen-unpack-";

struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
};

Fd openFolderAt(int dir, const std::string &name) {
  return Fd(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The names in a folder (without "." and ".."), sorted.
std::vector<std::string> namesIn(int dir) {
  std::vector<std::string> names;
  const int fd = ::dup(dir);
  if (fd < 0) return names;
  DIR *d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return names;
  }
  ::rewinddir(d);
  while (const dirent *e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool sameBytes(int dirA, const std::string &name, int dirB) {
  Fd a(::openat(dirA, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  Fd b(::openat(dirB, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (a.fd < 0 || b.fd < 0) return false;
  std::vector<char> x(64 * 1024), y(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(a.fd, x.data(), x.size());
    if (n < 0) return false;
    size_t got = 0;
    while (got < static_cast<size_t>(n)) {
      const ssize_t m = ::read(b.fd, y.data() + got, static_cast<size_t>(n) - got);
      if (m <= 0) return false;
      got += static_cast<size_t>(m);
    }
    if (std::memcmp(x.data(), y.data(), got) != 0) return false;
    if (n == 0) return ::read(b.fd, y.data(), 1) == 0;
  }
}

// What stands in the target under the name of an unpacked entry.
enum class Meets {
  Nothing, // the name is free
  Same,    // a file with the same bytes, or a folder where the archive has a folder
  Differs, // a file (or a link, or anything else but a folder) with other bytes
  Blocked, // a folder where the archive has a file, or something else where it has a folder
};

Meets meets(int staged, int target, const std::string &name, const struct stat &entry) {
  struct stat there {};
  if (::fstatat(target, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) return Meets::Nothing;
  if (S_ISDIR(entry.st_mode)) return S_ISDIR(there.st_mode) ? Meets::Same : Meets::Blocked;
  if (S_ISDIR(there.st_mode)) return Meets::Blocked;
  if (S_ISREG(there.st_mode) && there.st_size == entry.st_size && sameBytes(staged, name, target))
    return Meets::Same;
  return Meets::Differs;
}

std::string below(const std::string &relative, const std::string &name) {
  return relative.empty() ? name : relative + "/" + name;
}

// Lists the files of the target that the staged tree would replace with other bytes.
void findDiffering(int staged, int target, const std::string &relative, int depth,
                   const std::string &skip, std::vector<std::string> &out) {
  for (const std::string &name : namesIn(staged)) {
    if (relative.empty() && name == skip) continue;
    struct stat entry {};
    if (::fstatat(staged, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const Meets m = meets(staged, target, name, entry);
    if (m == Meets::Differs && S_ISREG(entry.st_mode)) out.push_back(below(relative, name));
    if (m != Meets::Same || !S_ISDIR(entry.st_mode) || depth >= kMaxDepth) continue;
    Fd from = openFolderAt(staged, name), to = openFolderAt(target, name);
    if (from.fd >= 0 && to.fd >= 0)
      findDiffering(from.fd, to.fd, below(relative, name), depth + 1, skip, out);
  }
}

struct Placing {
  bool replace;
  std::set<std::string> mayReplace; // what the person was asked about
  std::string skip;                 // the staging folder's own name, at the top
  bool ok = true;
};

void refuse(Placing &p, const std::string &path, const char *why) {
  Log::systemf("Unpacked \"%s\" not put in place: %s", withControlsEscaped(path).c_str(), why);
  p.ok = false;
}

void place(int staged, int target, const std::string &relative, int depth, Placing &p) {
  for (const std::string &name : namesIn(staged)) {
    if (relative.empty() && name == p.skip) continue;
    const std::string path = below(relative, name);
    struct stat entry {};
    if (::fstatat(staged, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(entry.st_mode) && !S_ISREG(entry.st_mode)) continue; // only files and folders
    const Meets m = meets(staged, target, name, entry);
    if (m == Meets::Blocked) {
      refuse(p, path,
             S_ISDIR(entry.st_mode) ? "something else has its name" : "a folder has its name");
      continue;
    }
    if (m == Meets::Same && S_ISDIR(entry.st_mode)) {
      Fd from = openFolderAt(staged, name), to = openFolderAt(target, name);
      if (depth >= kMaxDepth || from.fd < 0 || to.fd < 0) {
        refuse(p, path, "its folder cannot be entered");
        continue;
      }
      place(from.fd, to.fd, path, depth + 1, p);
      continue;
    }
    // Kept: a file the person was not asked about changed meanwhile, or they chose to keep it.
    if (m == Meets::Differs && (!p.replace || !p.mayReplace.count(path))) continue;
    // A rename replaces a file (or a link itself, never what it leads to) in one step.
    if (::renameat(staged, name.c_str(), target, name.c_str()) != 0)
      refuse(p, path, std::strerror(errno));
  }
}

} // namespace

StagedUnpack::StagedUnpack(std::string folder, std::string stagingName)
    : folder_(std::move(folder)), stagingName_(std::move(stagingName)) {}

StagedUnpack::~StagedUnpack() {
  std::error_code ec;
  std::filesystem::remove_all(folder_ + "/" + stagingName_, ec);
}

std::unique_ptr<StagedUnpack> StagedUnpack::unpack(const std::string &folder,
                                                   const Unpacker &unpacker) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  std::string pattern = folder + "/" + kStagingPrefix + "XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    Log::systemf("No staging folder in %s: %s", withControlsEscaped(folder).c_str(),
                 std::strerror(errno));
    return nullptr;
  }
  std::unique_ptr<StagedUnpack> staged(
      new StagedUnpack(folder, pattern.substr(pattern.rfind('/') + 1)));
  staged->whole_ = unpacker(pattern);
  Fd target(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  Fd from = target.fd >= 0 ? openFolderAt(target.fd, staged->stagingName_) : Fd();
  if (from.fd >= 0)
    findDiffering(from.fd, target.fd, "", 0, staged->stagingName_, staged->differing_);
  return staged;
}

bool StagedUnpack::putInPlace(bool replaceDiffering) {
  if (placed_) return false;
  placed_ = true;
  Placing p{replaceDiffering, std::set<std::string>(differing_.begin(), differing_.end()),
            stagingName_};
  Fd target(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  Fd from = target.fd >= 0 ? openFolderAt(target.fd, stagingName_) : Fd();
  if (from.fd < 0) return false;
  place(from.fd, target.fd, "", 0, p);
  return p.ok;
}
