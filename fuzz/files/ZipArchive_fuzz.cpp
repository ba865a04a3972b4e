// Zip archives of any bytes unpacked into a fresh folder: whatever the entries are named, nothing
// may be written beside that folder, and no link may appear inside it.
#include "app/files/MinizipArchive.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// The process's own folder for the archive and what it unpacks, gone when the process ends (a
// run that stops on a finding leaves it for a look; libFuzzer has saved the input by then).
struct WorkFolder {
  std::string path;
  WorkFolder() : path(fs::temp_directory_path().string() + "/ferrowen-zipfuzz-XXXXXX") {
    if (!mkdtemp(path.data())) std::abort();
  }
  ~WorkFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const WorkFolder folder;
  const std::string &root = folder.path;
  const std::string zip = root + "/in.zip", out = root + "/out";
  {
    std::ofstream f(zip, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }
  // The entry-name check on the raw bytes: a name it accepts stays below its folder.
  const std::string name(reinterpret_cast<const char *>(data), std::min<size_t>(size, 64));
  if (MinizipArchive::unsafeEntryName(name).empty() && name.find('\0') == std::string::npos) {
    const fs::path joined = (fs::path(out) / name).lexically_normal();
    if (joined.string().rfind(out, 0) != 0) std::abort();
  }
  MinizipArchive archive;
  if (archive.UnzipOpenFile(zip)) archive.UnzipFileTo(out, true);
  archive.UnzipCloseFile();
  for (const auto &e : fs::directory_iterator(root))
    if (e.path() != zip && e.path() != out) std::abort();
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(out, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec))
    if (it->is_symlink()) std::abort();
  fs::remove_all(out, ec);
  fs::remove(zip, ec);
  return 0;
}
