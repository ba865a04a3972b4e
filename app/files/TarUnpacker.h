// The tar service behind TARWrapper::unTARFile: unpacks a plain, gzip, bzip2 or compress tar
// archive (chosen by its suffix) with the library's tar object into a folder.
#pragma once

#include <string>

#include "app/files/ArchiveServices.h"

class LibraryTarWrapper : public TARWrapper {
public:
  enum class Kind { kNone, kTar, kGzip, kBzip2, kCompress };
  // The kind of archive a name ends in, without regard to case.
  static Kind kindOf(const std::string &path);

protected:
  bool untar(const std::string &path, const std::string &folder) override;
};

// Installs the service; called once at start-up.
void installTarUnpacker();
