// The recursive walk behind "zip a folder" and "upload a folder": it follows symbolic links only
// while they stay inside the tree it started in, and enters every directory (by device and inode)
// once, so a link loop or a link to "/" cannot make it run forever or leave the tree.
#pragma once

#include <functional>
#include <string>

struct TreeEntry {
  std::string relative; // below the root, "/"-joined, never empty
  std::string path;     // absolute path as listed (may be a link inside the tree)
  bool isDirectory = false;
  unsigned long long size = 0;
  long long modified = 0; // seconds since 1970
};

// Calls visit for every entry under root, a folder before its contents. A directory visit that
// returns false is not entered. Entries that would leave the tree or repeat a directory already
// walked are logged and skipped.
void walkTree(const std::string &root, const std::function<bool(const TreeEntry &)> &visit);
