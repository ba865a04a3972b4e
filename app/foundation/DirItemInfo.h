// One entry of a folder listing, whatever its source (remote FTP or SFTP folder, Saved Files, the
// cloud folder, photo albums). Setting the name classifies the entry by its extension.
#pragma once

#include "app/foundation/RemoteName.h"
#include "app/foundation/ResourceImage.h"

#include "platform/foundation/Clock.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class DirItemInfo {
public:
  // File type codes.
  enum FileType : int {
    kFileTypeImage = 1,
    kFileTypeAudio = 2,
    kFileTypeText = 3,
    kFileTypeDiscImage = 4,
    kFileTypeVideo = 5,
    kFileTypeBinary = 6,
    kFileTypeOther = 7,
    kFileTypeDocument = 8,
    kFileTypeZip = 9,
    kFileTypeTar = 10,
  };
  // Subtypes of documents (code 8); text (code 3) is always 5.
  enum FileSubType : int {
    kSubTypeSpreadsheet = 1,
    kSubTypeDocument = 2,
    kSubTypePDF = 3,
    kSubTypePresentation = 4,
    kSubTypeText = 5,
  };

  // Stores the name and derives fileType and fileSubType from its extension. A name set so has
  // no bytes of a server's.
  void setName(std::string_view name);
  std::string name() const { return name_; }
  // The bytes a server named the entry with (set after its name; see RemoteName).
  void setNameBytes(std::string bytes) { nameBytes_ = std::move(bytes); }
  const std::optional<std::string> &nameBytes() const { return nameBytes_; }
  // The name as it goes back to its server.
  RemoteName remoteName() const { return RemoteName::of(name_, nameBytes_); }
  // A present name that is neither "." nor "..".
  bool validDirectoryItem() const;
  // Fills sizeDisplay: item count of a folder, download percentage, or the file size text.
  void setupSizeDisplay();
  // Icon file name used in the web sharing server's folder pages.
  std::string imageNameForType() const;
  // Icon shown in the folder screens (one of the shared icons of InitGlobals).
  ResourceImageRef imageForFileType() const;
  // fileCount = number of files below the folder (symbolic links followed, each folder once).
  void recountSubFolderItems(const std::string &path);
  void countSubFolderItems(const std::string &path);

  // -1 ascending, 0 same, 1 descending; folders come first in every form.
  int compareByName(const DirItemInfo &other) const;
  int compareBySize(const DirItemInfo &other) const;
  int compareByDate(const DirItemInfo &other) const;
  int compareByNameDescending(const DirItemInfo &other) const;
  int compareBySizeDescending(const DirItemInfo &other) const;
  int compareByDateDescending(const DirItemInfo &other) const;

  int fileType() const { return fileType_; }
  int fileSubType() const { return fileSubType_; }

  // Plain fields.
  std::optional<platform::WallTime> date; // absent when the listing gave none
  std::string size;                       // bytes as decimal text, as the listing gave it
  std::string sizeDisplay;
  std::string attrib;
  std::string owner;
  std::string group;
  std::string linksTo;
  std::string extraText;
  std::string iCloudURL;
  bool isDirectory = false;
  bool isLink = false;
  bool isToiTunes = false;
  bool isToPhotoLibrary = false;
  bool isToiCloud = false;
  bool inProgress = false;
  bool isDownloading = false;
  int downloadPct = 0;
  long long fileCount = 0;
  std::shared_ptr<void> extraData; // the photo library's group or asset
  std::string assetRepresentation;
  ResourceImageRef thumbnail;

private:
  void countSubFolderItems(const std::string &path,
                           std::set<std::pair<unsigned long, unsigned long>> &visited);
  std::string name_;
  std::optional<std::string> nameBytes_;
  int fileType_ = 0;
  int fileSubType_ = 0;
};

using DirItemList = std::vector<std::shared_ptr<DirItemInfo>>;

// The entries that pass the typed filter text (a new list; the receiver is not changed):
// ">N" size at least N, "<N" size at most N, " text" names ending in text, "text " names starting
// with it, anything else names containing it; case is ignored; an empty filter keeps all.
DirItemList subarrayWithCompareString(const DirItemList &items, std::string_view filter);

// The rows a folder screen shows: those passing the filter, in the order of the chosen column (0
// name, 1 size, 2 date, each ascending or descending; any other column: name ascending). Entries
// that compare equal keep their order.
DirItemList filteredAndSorted(const DirItemList &items, std::string_view filter, int column,
                              bool descending);

// A choice of sort column: the column already chosen turns its order around, another starts
// ascending; -1 (the screen's default) starts at name descending when no column was chosen yet.
void chooseSortColumn(int column, int &sortColumn, bool &descending);
