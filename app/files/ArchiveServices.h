// The archive services the transfer queue unpacks finished downloads with: the tar unpacker and
// zip archives. The services derive from these classes and are installed once at start; until
// then unpacking reports failure and the archive simply stays where it was saved.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Unpacks tar archives (".tar", ".tgz", ".tbz", ".tb2", ".taz", ".tar.gz", ".tar.bz2", ".tar.z")
// into a folder named after the archive; the archive stays.
class TARWrapper {
public:
  virtual ~TARWrapper() = default;
  // Through the installed service; false when none is installed or unpacking failed.
  static bool unTARFile(const std::string &path);
  // The same into `folder`.
  static bool unTARFileTo(const std::string &path, const std::string &folder);
  // The folder an archive unpacks into: its path without the last extension; empty when that
  // leaves no name of a folder ("..tar" would unpack beside the archive, "...tar" above it).
  static std::string unTARFolder(const std::string &path);
  static void install(std::shared_ptr<TARWrapper> service);

protected:
  virtual bool untar(const std::string &path, const std::string &folder) = 0;
};

// One zip archive, opened once and extracted once.
class ZipArchive {
public:
  virtual ~ZipArchive() = default;
  // A new archive object from the installed maker; none when no maker is installed.
  static std::unique_ptr<ZipArchive> make();
  static void setMaker(std::function<std::unique_ptr<ZipArchive>()> maker);

  virtual bool UnzipOpenFile(const std::string &zipFile) = 0;
  virtual bool UnzipFileTo(const std::string &folder, bool overWrite) = 0;
  virtual bool UnzipCloseFile() = 0;
};

// An archive unpacked into a folder without replacing, unasked, a file whose bytes differ from
// the archive's copy (the person may have changed it since the last unpack). The archive is
// unpacked first into a staging folder inside the folder; then what is new and what holds the
// same bytes is put in place, and a file that differs only when the caller says so: after asking
// the person, never when no one can be asked. Nothing is put in place until putInPlace; the
// staging folder goes with the object.
class StagedUnpack {
public:
  // Unpacks into the staging folder it is given; false when the archive did not come out whole.
  using Unpacker = std::function<bool(const std::string &stagingFolder)>;
  // Makes `folder` when missing and a staging folder in it, and unpacks into that. None when no
  // staging folder can be made there.
  static std::unique_ptr<StagedUnpack> unpack(const std::string &folder, const Unpacker &unpacker);
  ~StagedUnpack();
  StagedUnpack(const StagedUnpack &) = delete;
  StagedUnpack &operator=(const StagedUnpack &) = delete;

  const std::string &folder() const { return folder_; }
  // What the unpacker answered.
  bool unpackedWhole() const { return whole_; }
  // The files of the folder (paths below it) that the archive holds with other bytes, sorted.
  const std::vector<std::string> &differing() const { return differing_; }
  // Puts what was unpacked in place: new files and folders, files with the same bytes, and the
  // differing files only when `replaceDiffering`. A file that changed after it was counted is
  // kept. False when something could not be put in place (a folder where the archive has a
  // file, or the other way round). Once only.
  bool putInPlace(bool replaceDiffering);

private:
  StagedUnpack(std::string folder, std::string stagingName);
  std::string folder_, stagingName_;
  bool whole_ = false, placed_ = false;
  std::vector<std::string> differing_;
};
