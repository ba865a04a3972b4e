#include "app/ftp/FTPListedModes.h"

#include "app/foundation/DirItemInfo.h"

#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace ftpmodes {

namespace {

// The last folders listed, each with its files' modes by their bytes: a handful is enough for a
// file opened from a folder screen, and a large listing is not kept for long.
constexpr size_t kFoldersKept = 16;

struct Folder {
  std::string key;
  std::map<std::string, std::string> modes;
};

std::mutex mutex;
std::deque<Folder> folders;

std::string folderKey(const std::string &connection, const RemoteName &folder) {
  return connection + '\n' + folder.wire(false);
}

} // namespace

std::optional<std::string> modeOfAttributes(const std::string &attrib) {
  if (attrib.size() < 10 || attrib[0] != '-') return std::nullopt;
  // Each of owner, group and others: read, write, and execute with its special bit.
  static const char kSpecial[3] = {'s', 's', 't'};
  unsigned mode = 0;
  for (int who = 0; who < 3; ++who) {
    const char r = attrib[size_t(1 + who * 3)], w = attrib[size_t(2 + who * 3)],
               x = attrib[size_t(3 + who * 3)];
    if ((r != 'r' && r != '-') || (w != 'w' && w != '-')) return std::nullopt;
    const unsigned shift = unsigned(6 - who * 3);
    if (r == 'r') mode |= 4u << shift;
    if (w == 'w') mode |= 2u << shift;
    if (x == 'x' || x == kSpecial[who]) mode |= 1u << shift;
    if (x == kSpecial[who] || x == char(kSpecial[who] - 'a' + 'A'))
      mode |= 04000u >> who;
    else if (x != 'x' && x != '-')
      return std::nullopt;
  }
  char text[8];
  snprintf(text, sizeof text, mode > 0777 ? "%04o" : "%03o", mode);
  return std::string(text);
}

void rememberListing(const std::string &connection, const RemoteName &folder,
                     const std::vector<std::shared_ptr<DirItemInfo>> &entries) {
  Folder listed{folderKey(connection, folder), {}};
  for (const auto &entry : entries)
    if (entry && !entry->isDirectory)
      if (auto mode = modeOfAttributes(entry->attrib))
        listed.modes[entry->remoteName().wire(false)] = std::move(*mode);
  std::lock_guard<std::mutex> lock(mutex);
  std::erase_if(folders, [&](const Folder &f) { return f.key == listed.key; });
  folders.push_back(std::move(listed));
  while (folders.size() > kFoldersKept)
    folders.pop_front();
}

std::optional<std::string> listedMode(const std::string &connection, const RemoteName &folder,
                                      const RemoteName &name) {
  const std::string key = folderKey(connection, folder);
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto &f : folders)
    if (f.key == key)
      if (auto it = f.modes.find(name.wire(false)); it != f.modes.end()) return it->second;
  return std::nullopt;
}

} // namespace ftpmodes
