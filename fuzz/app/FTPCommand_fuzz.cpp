// Control input of any bytes to a logged-in FTP sharing client, whole and in pieces whose size the
// input chooses: the replies must not depend on the split, and nothing outside Saved Files may be
// created, changed or removed, whatever the commands name.
#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/sharing/FTPServer.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string homeFolder;
std::string documents;
std::string savedFiles;

// The items next to Saved Files (Documents' own entries, the neighbour FilesX and what it holds,
// the data root's files), with their type, size and time.
std::map<std::string, std::string> outsideSnapshot() {
  std::map<std::string, std::string> out;
  std::error_code ec;
  auto note = [&](const fs::path &p) {
    auto st = fs::symlink_status(p, ec);
    std::string facts = std::to_string(int(st.type()));
    if (st.type() == fs::file_type::regular)
      facts += ":" + std::to_string(fs::file_size(p, ec)) + ":" +
               std::to_string(fs::last_write_time(p, ec).time_since_epoch().count());
    out[p.string()] = facts;
  };
  for (const std::string &folder : {documents, documents + "/FilesX", homeFolder})
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
      note(it->path());
  return out;
}

void setUpOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  platform::RunLoop::makeMainThread();
  // Every input rebuilds a small tree: a memory file system keeps that cheap where there is one.
  std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = base + "/ferrowen-ftpfuzz-XXXXXX";
  std::vector<char> tmpl(pattern.begin(), pattern.end());
  tmpl.push_back('\0');
  if (!::mkdtemp(tmpl.data())) std::abort();
  homeFolder = tmpl.data();
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(homeFolder, ec);
  });
  platform::Paths::setHome(homeFolder);
  platform::UserDefaults::resetStandard();
  InitGlobals();
  globalUserDefaults->setObject("", kFileShareUserKey);
  globalUserDefaults->setObject("", kFileSharePassKey);
  documents = platform::Paths::documents();
  savedFiles = documents + "/Files";
  // Neighbours that a careless prefix test or a climb out of the root would reach.
  fs::create_directories(documents + "/FilesX");
  std::ofstream(documents + "/FilesX/secret") << "secret";
  std::ofstream(documents + "/outside.txt") << "outside";
}

void resetSavedFiles() {
  std::error_code ec;
  fs::remove_all(savedFiles, ec);
  fs::create_directories(savedFiles + "/sub/inner");
  fs::create_directories(savedFiles + "/PrivateKeys");
  std::ofstream(savedFiles + "/a.txt") << "a";
  std::ofstream(savedFiles + "/PrivateKeys/id.pem") << "key";
}

// Whether replies show that something on disk was (or may have been) touched.
bool touched(const std::string &replies) {
  for (const char *mark : {"257 ", "250 Deleted", "250 Renamed", "ModifyTime", "550 Error"})
    if (replies.find(mark) != std::string::npos) return true;
  return false;
}

bool dirty = true;

std::string run(const uint8_t *data, size_t size, size_t step) {
  if (dirty) resetSavedFiles();
  auto server = std::make_shared<FTPServer>();
  const std::string login = "USER fuzz\r\n";
  server->receiveControlBytes(reinterpret_cast<const uint8_t *>(login.data()), login.size());
  std::string replies = server->takePendingReplies();
  for (size_t i = 0; i < size && !server->isDisconnected(); i += step) {
    server->receiveControlBytes(data + i, std::min(step, size - i));
    replies += server->takePendingReplies();
  }
  platform::RunLoop::main()->runPending();
  dirty = touched(replies);
  return replies;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  setUpOnce();
  const size_t step = 1 + data[0] % 32;
  ++data, --size;
  static const auto before = outsideSnapshot();

  const std::string whole = run(data, size, size ? size : 1);
  const bool wholeTouched = dirty;
  const std::string pieces = step < size ? run(data, size, step) : whole;
  if ((wholeTouched || dirty) && outsideSnapshot() != before) std::abort();
  // Times in listings and MDTM may cross a minute between the two runs; only replies without
  // them must match exactly.
  if (whole.find("213 ") == std::string::npos && whole.find("211-") == std::string::npos &&
      whole != pieces)
    std::abort();
  // The key never leaves its folder.
  if (!wholeTouched && !dirty) return 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(savedFiles, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (it->path().filename() == "PrivateKeys" || it->path().filename() == "privatekeys") {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file(ec) && fs::file_size(it->path(), ec) == 3) {
      std::ifstream in(it->path());
      std::string text;
      in >> text;
      if (text == "key") std::abort();
    }
  }
  return 0;
}
