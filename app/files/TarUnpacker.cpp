#include "app/files/TarUnpacker.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "platform/foundation/Log.h"
#include "sshlib/ssh/CkTar.h"

namespace {
bool endsWith(const std::string &s, const char *suffix) {
  const std::string t(suffix);
  return s.size() > t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}
} // namespace

LibraryTarWrapper::Kind LibraryTarWrapper::kindOf(const std::string &path) {
  std::string lower = path;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static const struct {
    const char *suffix;
    Kind kind;
  } kinds[] = {{".tar.gz", Kind::kGzip},    {".tgz", Kind::kGzip},     {".tar.bz2", Kind::kBzip2},
               {".tbz", Kind::kBzip2},      {".tbz2", Kind::kBzip2},   {".tb2", Kind::kBzip2},
               {".tar.z", Kind::kCompress}, {".taz", Kind::kCompress}, {".tar", Kind::kTar}};
  for (const auto &k : kinds)
    if (endsWith(lower, k.suffix)) return k.kind;
  return Kind::kNone;
}

bool LibraryTarWrapper::untar(const std::string &path, const std::string &folder) {
  const Kind kind = kindOf(path);
  if (kind == Kind::kNone) {
    platform::Log::systemf("Not a tar archive: %s", path.c_str());
    return false;
  }
  CkTar tar;
  tar.put_UntarFromDir(folder.c_str());
  tar.put_NoAbsolutePaths(true);
  bool ok = false;
  switch (kind) {
  case Kind::kTar:
    ok = tar.Untar(path.c_str()) >= 0;
    break;
  case Kind::kGzip:
    ok = tar.UntarGz(path.c_str());
    break;
  case Kind::kBzip2:
    ok = tar.UntarBz2(path.c_str());
    break;
  default:
    ok = tar.UntarZ(path.c_str());
    break;
  }
  if (!ok) platform::Log::systemf("%s", tar.lastErrorText().c_str());
  return ok;
}

void installTarUnpacker() {
  TARWrapper::install(std::make_shared<LibraryTarWrapper>());
}
