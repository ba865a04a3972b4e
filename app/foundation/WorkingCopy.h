// The working copies of remote files, and what keeps a file of the temporary folder in use.
//
// A remote file opened for viewing or editing is read from a working copy in the temporary
// folder: a folder of the file's origin (see RemoteOrigin) holds it under the file's own name, so
// two files of one name from two servers never share a copy, and the editor and the viewer still
// show the file's name. A copy that is still in use (an open editor's, an edit record's, a
// viewer's) is never taken for another download of that file: the download gets the next folder
// of that origin. What clears the temporary folder spares every file in use.
#pragma once

#include "app/foundation/RemoteOrigin.h"

#include <set>
#include <string>

// Keeps a file in use while it lives: an open editor's or viewer's file, a download's partial
// file. Any thread.
class FileInUse {
public:
  FileInUse() = default;
  explicit FileInUse(const std::string &path) { hold(path); }
  FileInUse(const FileInUse &) = delete;
  FileInUse &operator=(const FileInUse &) = delete;
  FileInUse(FileInUse &&other) noexcept;
  FileInUse &operator=(FileInUse &&other) noexcept;
  ~FileInUse() { release(); }
  // Holds `path` (and lets go of the file held before).
  void hold(const std::string &path);
  void release();
  const std::string &path() const { return path_; }

private:
  std::string path_;
};

// Every file in use now, as standardized paths: those held (above), the working files the edit
// records name (the phone's record, each used file tab's) and the file the viewer's record names.
std::set<std::string> filesInUse();
bool fileInUse(const std::string &path);
// Whether something open in this process holds the file now (a FileInUse above), whatever the
// records say.
bool fileHeldOpen(const std::string &path);

// Where a download of the remote file `origin` to be viewed or edited is put, as `name`: in the
// temporary folder, in the folder of that origin or, when a copy there is in use, the first of its
// next folders ("-2", "-3", ...) whose copy is not.
std::string workingCopyPath(const RemoteOrigin &origin, const std::string &name);
// The same for a source named by its own text: the working copy in which the editor keeps the
// text typed into a file of the device (`source` names that file), beside the person's file,
// which keeps what it held until they save.
std::string workingCopyPath(const std::string &source, const std::string &name);

// Removes a working copy, and its folder when nothing else is left in it.
void removeWorkingCopy(const std::string &path);
