#include "platform/foundation/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::mutex &overrideMutex() {
  static std::mutex m;
  return m;
}
std::string &homeOverride() {
  static std::string s;
  return s;
}
std::string &resourcesOverride() {
  static std::string s;
  return s;
}

std::string envOrEmpty(const char *name) {
  const char *v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string stripTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/')
    p.pop_back();
  return p;
}

bool isDirectory(const std::string &p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p; existing folders are fine. The last component gets `mode`, parents 0755 (umask
// applies to both).
void makeFolders(const std::string &path, mode_t mode) {
  if (path.empty() || isDirectory(path)) return;
  for (size_t pos = 1; pos < path.size(); ++pos) {
    if (path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (!isDirectory(part)) ::mkdir(part.c_str(), 0755);
    }
  }
  ::mkdir(path.c_str(), mode);
}

std::string userHome() {
  std::string h = envOrEmpty("HOME");
  if (!h.empty()) return h;
  struct passwd pw, *result = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &result) == 0 && result && result->pw_dir)
    return result->pw_dir;
  return "/tmp";
}

std::string programFolder() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string exe(buf, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

// The source tree's resources folder. The build names the tree (a compiler cache shared between
// checkouts may hand out an object whose __FILE__ is relative or another checkout's).
std::string sourceTreeResources() {
#ifdef FERROWEN_SOURCE_TREE
  return std::string(FERROWEN_SOURCE_TREE) + "/resources";
#else
  return {};
#endif
}

} // namespace

std::string Paths::home() {
  std::string h;
  {
    std::lock_guard lock(overrideMutex());
    h = homeOverride();
  }
  if (h.empty()) h = envOrEmpty("FERROWEN_HOME");
  if (h.empty()) {
    std::string xdg = envOrEmpty("XDG_DATA_HOME");
    h = xdg.empty() ? userHome() + "/.local/share/ferrowen" : xdg + "/ferrowen";
  }
  h = stripTrailingSlashes(h);
  if (h[0] != '/') {
    // A relative root would move with the working folder; pin it to where we started.
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd)) h = std::string(cwd) + "/" + h;
  }
  makeFolders(h, 0700);
  return h;
}

std::string Paths::documents() {
  std::string d = home() + "/Documents";
  makeFolders(d, 0755);
  return d;
}

std::string Paths::tmp() {
  std::string d = home() + "/tmp";
  makeFolders(d, 0700);
  return d;
}

std::string Paths::preferencesFile() {
  return home() + "/Preferences.json";
}

std::string Paths::resources() {
  {
    std::lock_guard lock(overrideMutex());
    if (!resourcesOverride().empty()) return resourcesOverride();
  }
  std::string env = envOrEmpty("FERROWEN_RESOURCES");
  if (!env.empty()) return stripTrailingSlashes(env);
  std::string prog = programFolder();
  if (!prog.empty()) {
    for (const std::string &candidate :
         {prog + "/../share/ferrowen/resources", prog + "/resources"}) {
      if (isDirectory(candidate)) return candidate;
    }
  }
  std::string src = sourceTreeResources();
  if (!src.empty()) return src;
  return prog.empty() ? std::string("resources") : prog + "/resources";
}

void Paths::setHome(const std::string &path) {
  std::lock_guard lock(overrideMutex());
  homeOverride() = stripTrailingSlashes(path);
}

void Paths::setResources(const std::string &path) {
  std::lock_guard lock(overrideMutex());
  resourcesOverride() = path.empty() ? path : stripTrailingSlashes(path);
}

} // namespace platform
