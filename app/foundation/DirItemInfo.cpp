#include "app/foundation/DirItemInfo.h"

#include "app/foundation/Globals.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Text.h"

#include <sys/stat.h>

#include <algorithm>

namespace {

constexpr std::string_view kImageList = ".gif.png.jpg.jpeg.tif.tiff.svg.";
constexpr std::string_view kTextList =
    ".txt.htm.html.shtm.shtml.thtm.thtml.xml.pl.asp.aspx.css.js.php.csv.";
constexpr std::string_view kAudioList = ".mp3.wav.aac.aif.";
constexpr std::string_view kVideoList = ".mpg.mpeg.avi.qt.mp4.m4v.mov.3gp.flc.";
constexpr std::string_view kTarList = ".tar.tgz.tbz.tb2.taz.";
constexpr std::string_view kProgramList = ".exe.msi.rar.dmg.gz.ipa.";
constexpr std::string_view kBinaryList = ".swf.ai.psd.fla.mdb.db.ttf.";
constexpr std::string_view kOfficeList =
    ".pdf.webarchive.doc.xls.ppt.docx.xlsx.pptx.key.pages.numbers.rtf.";

// The extension, as "." + ext + ".", looked up as a whole word of a dot-separated list.
bool inList(std::string_view list, const std::string &probe) {
  return platform::containsCaseInsensitive(list, probe);
}

int sign(int v) {
  return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

int compareDates(const std::optional<platform::WallTime> &a,
                 const std::optional<platform::WallTime> &b) {
  // An entry without a date sorts before every dated one.
  if (!a || !b) return a ? 1 : (b ? -1 : 0);
  return *a < *b ? -1 : (*a > *b ? 1 : 0);
}

// Folders first in both directions; 2 when the kinds are equal and the fields decide.
int folderOrder(const DirItemInfo &self, const DirItemInfo &other) {
  if (self.isDirectory && !other.isDirectory) return -1;
  if (!self.isDirectory && other.isDirectory) return 1;
  return 2;
}

} // namespace

void DirItemInfo::setName(std::string_view name) {
  name_ = std::string(name);
  nameBytes_.reset();
  fileSubType_ = 0;
  const std::string probe = "." + myFileType(name) + ".";
  if (inList(kImageList, probe)) {
    fileType_ = kFileTypeImage;
  } else if (inList(kTextList, probe)) {
    fileType_ = kFileTypeText;
    fileSubType_ = kSubTypeText;
  } else if (inList(kAudioList, probe)) {
    fileType_ = kFileTypeAudio;
  } else if (inList(kVideoList, probe)) {
    fileType_ = kFileTypeVideo;
  } else if (inList(".iso.", probe)) {
    fileType_ = kFileTypeDiscImage;
  } else if (inList(".zip.", probe)) {
    fileType_ = kFileTypeZip;
  } else if (inList(kTarList, probe) || platform::hasSuffixCaseInsensitive(name, ".tar.gz") ||
             platform::hasSuffixCaseInsensitive(name, ".tar.bz2") ||
             platform::hasSuffixCaseInsensitive(name, ".tar.z")) {
    fileType_ = kFileTypeTar;
  } else if (inList(kProgramList, probe) || inList(kBinaryList, probe)) {
    fileType_ = kFileTypeBinary;
  } else if (inList(kOfficeList, probe)) {
    fileType_ = kFileTypeDocument;
    if (inList(".pdf.webarchive.", probe))
      fileSubType_ = kSubTypePDF;
    else if (inList(".doc.docx.pages.rtf.", probe))
      fileSubType_ = kSubTypeDocument;
    else if (inList(".xls.xlsx.numbers.", probe))
      fileSubType_ = kSubTypeSpreadsheet;
    else if (inList(".ppt.pptx.key.", probe))
      fileSubType_ = kSubTypePresentation;
  } else {
    fileType_ = kFileTypeOther;
  }
}

bool DirItemInfo::validDirectoryItem() const {
  return !name_.empty() && name_ != "." && name_ != "..";
}

void DirItemInfo::setupSizeDisplay() {
  if (isDirectory) {
    sizeDisplay = fileCount < 1 ? std::string() : std::to_string(fileCount);
  } else if (isDownloading) {
    sizeDisplay = std::to_string(downloadPct) + "%";
  } else {
    sizeDisplay = myFileSize(static_cast<double>(platform::longLongValue(size)));
  }
}

std::string DirItemInfo::imageNameForType() const {
  switch (fileType_) {
  case kFileTypeImage:
    return "3-doc-image.png";
  case kFileTypeAudio:
    return "3-doc-audio.png";
  case kFileTypeText:
    return "3-doc-txt.png";
  case kFileTypeDiscImage:
  case kFileTypeBinary:
    return "3-doc-binary.png";
  case kFileTypeVideo:
    return "3-doc-video.png";
  case kFileTypeZip:
  case kFileTypeTar:
    return "3-doc-zip.png";
  default:
    break;
  }
  switch (fileSubType_) {
  case kSubTypePresentation:
    return "3-doc-ppt.png";
  case kSubTypeDocument:
  case kSubTypePDF:
    return "3-doc-doc.png";
  case kSubTypeSpreadsheet:
    return "3-doc-xls.png";
  default:
    return "3-doc-blank.png";
  }
}

ResourceImageRef DirItemInfo::imageForFileType() const {
  if (isDirectory) {
    if (name_ == "Cloud Files") return imageFolderCloud;
    if (name_ == "Photo Library") return imageFolderPhotos;
    if (name_ == "Shared with iTunes") return imageFolderiTunes;
    return imageFolder;
  }
  const std::string probe = "." + myFileType(name_) + ".";
  switch (fileType_) {
  case kFileTypeImage:
    return imageImage;
  case kFileTypeAudio:
    return imageSound;
  case kFileTypeText:
    if (inList(".asp.aspx.", probe)) return imageTextAsp;
    if (inList(".htm.html.shtm.shtml.thtm.thtml.xml.", probe)) return imageTextHtml;
    if (inList(".css.", probe)) return imageTextCss;
    if (inList(".js.", probe)) return imageTextJs;
    if (inList(".php.", probe)) return imageTextPhp;
    return imageText;
  case kFileTypeDiscImage:
    return imageISO;
  case kFileTypeVideo:
    return imageVideo;
  case kFileTypeBinary:
    return imageWindows;
  case kFileTypeDocument:
    if (fileSubType_ == kSubTypeSpreadsheet) return imageDocumentXls;
    if (fileSubType_ == kSubTypePresentation) return imageDocumentPpt;
    return imageDocument;
  case kFileTypeZip:
  case kFileTypeTar:
    return imageZip;
  default:
    return imageOther;
  }
}

void DirItemInfo::recountSubFolderItems(const std::string &path) {
  fileCount = 0;
  countSubFolderItems(path);
}

void DirItemInfo::countSubFolderItems(const std::string &path) {
  std::set<std::pair<unsigned long, unsigned long>> visited;
  countSubFolderItems(path, visited);
}

void DirItemInfo::countSubFolderItems(const std::string &path,
                                      std::set<std::pair<unsigned long, unsigned long>> &visited) {
  // A link may lead back to a folder already counted: each folder is entered once.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  if (!visited
           .insert({static_cast<unsigned long>(st.st_dev), static_cast<unsigned long>(st.st_ino)})
           .second)
    return;
  const auto names = platform::FileManager::contentsOfDirectory(path);
  if (!names) return;
  for (const auto &entry : *names) {
    const std::string full = platform::appendPathComponent(path, entry);
    const auto attributes = platform::FileManager::attributesOfItem(full);
    if (!attributes) continue;
    using Type = platform::FileAttributes::Type;
    if (attributes->type == Type::Directory || attributes->type == Type::Link)
      countSubFolderItems(full, visited);
    else
      ++fileCount;
  }
}

int DirItemInfo::compareByName(const DirItemInfo &other) const {
  const int order = folderOrder(*this, other);
  if (order != 2) return order;
  return sign(platform::localizedCaseInsensitiveCompare(name_, other.name_));
}

int DirItemInfo::compareBySize(const DirItemInfo &other) const {
  const int order = folderOrder(*this, other);
  if (order != 2) return order;
  return sign(platform::numericCompare(size, other.size));
}

int DirItemInfo::compareByDate(const DirItemInfo &other) const {
  const int order = folderOrder(*this, other);
  if (order != 2) return order;
  return compareDates(date, other.date);
}

int DirItemInfo::compareByNameDescending(const DirItemInfo &other) const {
  const int order = folderOrder(*this, other);
  if (order != 2) return order;
  return sign(platform::localizedCaseInsensitiveCompare(other.name_, name_));
}

int DirItemInfo::compareBySizeDescending(const DirItemInfo &other) const {
  const int order = folderOrder(*this, other);
  if (order != 2) return order;
  return sign(platform::numericCompare(other.size, size));
}

int DirItemInfo::compareByDateDescending(const DirItemInfo &other) const {
  const int order = folderOrder(*this, other);
  if (order != 2) return order;
  return compareDates(other.date, date);
}

DirItemList subarrayWithCompareString(const DirItemList &items, std::string_view filter) {
  if (filter.empty()) return items;
  DirItemList result;
  const std::string trimmed = myTrimWS(filter);
  for (const auto &item : items) {
    if (!item) continue;
    bool pass;
    if (filter[0] == '>') {
      const long long n = platform::longLongValue(filter.substr(1));
      pass = platform::longLongValue(item->size) >= n;
    } else if (filter[0] == '<') {
      const long long n =
          filter.size() == 1 ? 999999999LL : platform::longLongValue(filter.substr(1));
      pass = platform::longLongValue(item->size) <= n;
    } else if (filter[0] == ' ') {
      pass = myEndsWith(item->name(), trimmed);
    } else if (filter.back() == ' ') {
      pass = myStartsWith(item->name(), trimmed);
    } else {
      pass = myContains(item->name(), filter);
    }
    if (pass) result.push_back(item);
  }
  return result;
}

DirItemList filteredAndSorted(const DirItemList &items, std::string_view filter, int column,
                              bool descending) {
  DirItemList rows = subarrayWithCompareString(items, filter);
  auto by = [column, descending](const std::shared_ptr<DirItemInfo> &a,
                                 const std::shared_ptr<DirItemInfo> &b) {
    switch (column) {
    case 2:
      return (descending ? a->compareByDateDescending(*b) : a->compareByDate(*b)) < 0;
    case 1:
      return (descending ? a->compareBySizeDescending(*b) : a->compareBySize(*b)) < 0;
    case 0:
      return (descending ? a->compareByNameDescending(*b) : a->compareByName(*b)) < 0;
    default:
      return a->compareByName(*b) < 0;
    }
  };
  std::stable_sort(rows.begin(), rows.end(), by);
  return rows;
}

void chooseSortColumn(int column, int &sortColumn, bool &descending) {
  if (column == -1) {
    if (sortColumn == -1) sortColumn = 0, descending = true;
  } else {
    descending = column == sortColumn ? !descending : false;
    sortColumn = column;
  }
}
