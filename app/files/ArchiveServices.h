// The archive services the transfer queue unpacks finished downloads with: the tar unpacker and
// zip archives. The services derive from these classes and are installed once at start; until
// then unpacking reports failure and the archive simply stays where it was saved.
#pragma once

#include <functional>
#include <memory>
#include <string>

// Unpacks tar archives (".tar", ".tgz", ".tbz", ".tb2", ".taz", ".tar.gz", ".tar.bz2", ".tar.z")
// into a folder named after the archive; the archive stays.
class TARWrapper {
public:
  virtual ~TARWrapper() = default;
  // Through the installed service; false when none is installed or unpacking failed.
  static bool unTARFile(const std::string &path);
  static void install(std::shared_ptr<TARWrapper> service);

protected:
  virtual bool untar(const std::string &path) = 0;
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
