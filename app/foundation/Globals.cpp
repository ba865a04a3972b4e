#include "app/foundation/Globals.h"

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

platform::UserDefaults *globalUserDefaults = nullptr;
std::string globalTempPath;
TempFileList tempFilesToCleanup;
TempFileList tempFilesBeingWritten;
platform::ui::Font myTextInputFont;
bool iPAD = false;
int osMajorVersion = 2;
std::string currentLocalFolder;
std::string currentLocalFolderInDocuments;
int showFolderExtra = 1, showFolderIcon = 1;

std::unique_ptr<platform::DateFormatter> dateOutputFormat;
std::unique_ptr<platform::DateFormatter> dateFormatDateOnly;
std::unique_ptr<platform::DateFormatter> dateFormatDateOnlyNicely;
std::unique_ptr<platform::DateFormatter> dateFormatHTTP;
std::unique_ptr<platform::DateFormatter> dateFormatHTTPLog;

ResourceImageRef imageUpFolder, imageISO, imageWindows, imageOther, imageBlank, imageBlank24,
    imageSelectedRow, imageSound, imageVideo, imageImage, imageText, imageTextHtml, imageTextAsp,
    imageTextJs, imageTextCss, imageTextPhp, imageZip, imageDocument, imageDocumentXls,
    imageDocumentPpt, imageFolder, imageFolderCloud, imageFolderPhotos, imageFolderiTunes;

namespace {

using platform::appendPathComponent;
using platform::FileManager;

std::string resourcePath(const std::string &name) {
  return appendPathComponent(platform::Paths::resources(), name);
}

// Copies a resource; the copy belongs to the user, who may change it, even when the installed
// resource is read-only.
void copyResource(const std::string &resource, const std::string &target) {
  if (FileManager::copyItem(resourcePath(resource), target)) ::chmod(target.c_str(), 0644);
}

// Copies a resource to `target` when nothing is there yet. Failures leave the file missing; the
// next start tries again.
void copyResourceIfMissing(const std::string &resource, const std::string &target) {
  if (FileManager::fileExists(target)) return;
  copyResource(resource, target);
}

void writeImage(const ResourceImageRef &image, const std::string &target) {
  if (!image || !image->image) return;
  const auto png = image->image->pngRepresentation();
  if (!png.empty()) FileManager::writeAtomically(target, png);
}

} // namespace

void CopyWebServerFiles() {
  const std::string documents = platform::Paths::documents();
  const std::string web = appendPathComponent(documents, "WebServer");
  const std::string files = appendPathComponent(documents, "Files");
  FileManager::createDirectory(web, true);

  // The icons go in once, with a fresh folder; a user's own icons are never overwritten.
  bool freshFolder = false;
  if (!FileManager::fileExists(appendPathComponent(web, "left-arrow24.png"))) {
    freshFolder = true;
    const std::pair<ResourceImageRef, const char *> icons[] = {
        {resourceImageNamed("disk48.png"), "disk48.png"},
        {resourceImageNamed("upload.png"), "upload.png"},
        {imageFolder, "dir.png"},
        {imageImage, "image_doc.png"},
        {imageSound, "sound_doc.png"},
        {imageVideo, "video_doc.png"},
        {imageText, "text_doc.png"},
        {imageISO, "iso_doc.png"},
        {imageWindows, "windows_app.png"},
        {imageOther, "plain_doc.png"},
        {imageDocument, "document.png"},
        {imageDocumentXls, "document_xls.png"},
        {imageDocumentPpt, "document_ppt.png"},
        {imageZip, "document_zip.png"},
        {imageBlank, "blank.png"},
        {imageUpFolder, "left-arrow24.png"},
    };
    for (const auto &[image, name] : icons)
      writeImage(image, appendPathComponent(web, name));
    // The per-type icons that folder pages name for files (DirItemInfo::imageNameForType).
    for (const char *name : {"3-doc-image.png", "3-doc-audio.png", "3-doc-txt.png",
                             "3-doc-binary.png", "3-doc-video.png", "3-doc-zip.png",
                             "3-doc-ppt.png", "3-doc-doc.png", "3-doc-xls.png", "3-doc-blank.png"})
      writeImage(resourceImageNamed(name), appendPathComponent(web, name));
  }

  copyResourceIfMissing("favicon.ico", appendPathComponent(web, "favicon.ico"));

  // The help documents of Saved Files come with a fresh folder, or replace an older help archive.
  if (freshFolder) {
    copyResource("About-Saved-Files.rtf", appendPathComponent(files, "About-Saved-Files.rtf"));
    copyResource("About-Shared-with-iTunes.rtf",
                 appendPathComponent(documents, "About-Shared-with-iTunes.rtf"));
  } else {
    const std::string oldHelp = appendPathComponent(files, "Help.webarchive");
    if (FileManager::fileExists(oldHelp)) {
      FileManager::removeItem(oldHelp);
      copyResource("About-Saved-Files.rtf", appendPathComponent(files, "About-Saved-Files.rtf"));
    }
  }

  const std::pair<const char *, const char *> templates[] = {
      {"favicon.ico", "favicon.ico"},       {"404.html", "404.html"},
      {"header.html", "header.html"},       {"footer.html", "footer.html"},
      {"styles.css", "styles.css"},         {"scripts-js.txt", "scripts.js"},
      {"header-pc.html", "header-pc.html"}, {"footer-pc.html", "footer-pc.html"},
      {"styles-pc.css", "styles-pc.css"},   {"multifile-js.txt", "multifile.js"},
  };
  for (const auto &[resource, name] : templates)
    copyResourceIfMissing(resource, appendPathComponent(web, name));
}

void TempFileList::push_back(std::string path) {
  std::lock_guard lock(mutex_);
  paths_.push_back(std::move(path));
}

std::vector<std::string> TempFileList::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(paths_, {});
}

bool TempFileList::empty() const {
  std::lock_guard lock(mutex_);
  return paths_.empty();
}

void TempFileList::clear() {
  std::lock_guard lock(mutex_);
  paths_.clear();
}

void TempFileList::remove(const std::string &path) {
  std::lock_guard lock(mutex_);
  if (auto it = std::find(paths_.begin(), paths_.end(), path); it != paths_.end()) paths_.erase(it);
}

void InitGlobals() {
  const platform::DeviceProfile device = platform::DeviceProfile::current();
  iPAD = device.isiPad();

  myTextInputFont = platform::ui::Font::system(platform::ui::Font::systemFontSize() + 3);
  globalUserDefaults = &platform::UserDefaults::standard();
  tempFilesToCleanup.clear();
  // No local folder has been shown yet.
  currentLocalFolder.clear();
  currentLocalFolderInDocuments.clear();

  const std::string documents = platform::Paths::documents();
  globalTempPath = appendPathComponent(documents, "Downloads");
  FileManager::createDirectory(globalTempPath, true);
  FileManager::createDirectory(appendPathComponent(documents, "Files"), true);

  imageUpFolder = resourceImageNamed("left-arrow24.png");
  imageISO = resourceImageNamed("3-doc-binary.png");
  imageWindows = resourceImageNamed("3-doc-binary.png");
  imageOther = resourceImageNamed("3-doc-blank.png");
  imageBlank = resourceImageNamed("blank.png");
  imageBlank24 = resourceImageNamed("blank24.png");
  imageSelectedRow = resourceImageNamed("selected-row-4-48a.png");
  imageSound = resourceImageNamed("3-doc-audio.png");
  imageVideo = resourceImageNamed("3-doc-video.png");
  imageImage = resourceImageNamed("3-doc-image.png");
  imageText = resourceImageNamed("3-doc-txt.png");
  imageTextHtml = resourceImageNamed("3-doc-html.png");
  imageTextAsp = resourceImageNamed("3-doc-asp.png");
  imageTextJs = resourceImageNamed("3-doc-js.png");
  imageTextCss = resourceImageNamed("3-doc-css.png");
  imageTextPhp = resourceImageNamed("3-doc-php.png");
  imageZip = resourceImageNamed("3-doc-zip.png");
  imageDocument = resourceImageNamed("3-doc-doc.png");
  imageDocumentXls = resourceImageNamed("3-doc-xls.png");
  imageDocumentPpt = resourceImageNamed("3-doc-ppt.png");
  imageFolder = resourceImageNamed("3-folder.png");
  imageFolderCloud = resourceImageNamed("3-folder-cloud.png");
  imageFolderPhotos = resourceImageNamed("3-folder-photo.png");
  imageFolderiTunes = resourceImageNamed("3-folder-sync.png");

  osMajorVersion = device.systemVersion.rfind("3.", 0) == 0 ? 3 : 2;

  // Older (or no) templates: start the sharing folder afresh.
  if (globalUserDefaults->integerForKey("TemplateVersions") < kTemplateVersion) {
    globalUserDefaults->setObject(std::to_string(kTemplateVersion), "TemplateVersions");
    globalUserDefaults->synchronize();
    FileManager::removeItem(appendPathComponent(documents, "WebServer"));
  }

  CopyWebServerFiles();

  using platform::DateFormatter;
  using platform::TimeZone;
  dateOutputFormat =
      std::make_unique<DateFormatter>(DateFormatter::Style::Medium, DateFormatter::Style::Short);
  dateFormatDateOnly = std::make_unique<DateFormatter>("yyyy-MM-dd");
  dateFormatDateOnlyNicely = std::make_unique<DateFormatter>("MMM. dd, yyyy");
  dateFormatHTTP = std::make_unique<DateFormatter>("EEE, dd MMM yyyy HH:mm:ss", TimeZone::GMT);
  dateFormatHTTPLog = std::make_unique<DateFormatter>("dd/MMM/yyyy:HH:mm:ss", TimeZone::GMT);
}
