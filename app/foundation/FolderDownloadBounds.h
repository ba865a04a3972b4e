// Bounds of one folder download, FTP and SFTP alike, so that a server whose folder tree never
// ends (a folder in every folder, a link to a folder above) cannot keep the download going, fill
// the queue or memory, or make paths without end: the levels below the folder asked for, the
// folders it finds and the entries (files and folders) the server lists in all. Deeper or larger
// trees are well beyond what a person fetches into Saved Files in one go. Past a bound the
// download stops and says which, in the words errorOverBound gives.
#pragma once

#include <climits>
#include <cstddef>
#include <string>

namespace folderdownload {

inline constexpr size_t kMaxDepth = 64;
inline constexpr size_t kMaxFolders = 20000;
inline constexpr size_t kMaxEntries = 500000;
// The longest local name and path a folder download may make.
inline constexpr size_t kMaxLocalName = NAME_MAX;
inline constexpr size_t kMaxLocalPath = PATH_MAX - 1;

// What the person is told when a folder download stops: "Error Downloading Folder! <why>."
inline std::string errorText(const std::string &why) {
  return "Error Downloading Folder! " + why + ".";
}
inline std::string tooManyLevels() {
  return "Too many folder levels (more than " + std::to_string(kMaxDepth) + ")";
}
inline std::string tooManyFolders() {
  return "Too many folders (more than " + std::to_string(kMaxFolders) + ")";
}
inline std::string tooManyEntries() {
  return "Too many files and folders (more than " + std::to_string(kMaxEntries) + ")";
}
inline constexpr const char *kLocalPathTooLong = "The local path is too long";

} // namespace folderdownload
