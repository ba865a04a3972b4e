#include "app/files/TreeWalk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "app/foundation/StringUtils.h"
#include "platform/foundation/Log.h"

using platform::Log;

namespace {

struct Walker {
  std::string top; // root with links resolved
  std::set<std::pair<dev_t, ino_t>> seen;
  const std::function<bool(const TreeEntry &)> &visit;

  void walk(const std::string &dir, const std::string &prefix) {
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(std::move(n));
    }
    closedir(d);
    for (const std::string &name : names) {
      TreeEntry entry;
      entry.path = dir + "/" + name;
      entry.relative = prefix.empty() ? name : prefix + "/" + name;
      struct stat ls {};
      struct stat st {};
      if (lstat(entry.path.c_str(), &ls) != 0) continue;
      if (S_ISLNK(ls.st_mode)) {
        // A link is taken for what it points at, but only while that lies in the tree.
        if (!pathLiesInside(entry.path, top) || stat(entry.path.c_str(), &st) != 0) {
          Log::systemf("Skipped \"%s\": the link leads outside the folder",
                       withControlsEscaped(entry.relative).c_str());
          continue;
        }
      } else {
        st = ls;
      }
      entry.isDirectory = S_ISDIR(st.st_mode);
      if (!entry.isDirectory && !S_ISREG(st.st_mode)) continue;
      entry.size = static_cast<unsigned long long>(st.st_size);
      entry.modified = st.st_mtime;
      if (entry.isDirectory && !seen.insert({st.st_dev, st.st_ino}).second) {
        Log::systemf("Skipped \"%s\": the folder was walked already (a link loop)",
                     withControlsEscaped(entry.relative).c_str());
        continue;
      }
      if (visit(entry) && entry.isDirectory) walk(entry.path, entry.relative);
    }
  }
};

} // namespace

void walkTree(const std::string &root, const std::function<bool(const TreeEntry &)> &visit) {
  Walker w{resolvedPath(root), {}, visit};
  struct stat st {};
  if (w.top.empty() || stat(w.top.c_str(), &st) != 0) return;
  w.seen.insert({st.st_dev, st.st_ino});
  w.walk(root, "");
}
