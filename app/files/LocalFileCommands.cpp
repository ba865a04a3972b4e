// The commands of the local file manager: sheets, confirmations, name prompts, moves, archives,
// viewing, mail, "Open In", bookmark import and uploads into the transfer queue.
#include <sqlite3.h>

#include <cstdlib>

#include "app/files/ArchiveServices.h"
#include "app/files/BookmarkImport.h"
#include "app/files/LocalFilesServices.h"
#include "app/files/LocalFolderViewController.h"
#include "app/files/MinizipArchive.h"
#include "app/files/TreeWalk.h"
#include "app/foundation/Database.h"
#include "app/foundation/EditDataViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/foundation/TextPromptViewer.h"
#include "app/ftp/FTPServices.h"
#include "platform/device/DocumentInteraction.h"
#include "platform/device/MailService.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;
using namespace platform::ui;

namespace {

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

const char *const kKeptOnShared[] = {"Downloads", "Files", "Templates", "WebServer",
                                     "bookmarks.sql"};
constexpr const char *kMediaTypes = ".mpg.mpeg.mp4.m4v.avi.mov.qt.3gp.flc..mp3.wav.aac.";
constexpr const char *kProductURL = "https://ferrowen.example/";

std::string imageName(const ResourceImageRef &image) {
  return image ? image->name : std::string();
}

std::string typed(TextPromptViewer &p) {
  return p.filename ? p.filename->text() : p.originalFilename;
}

std::string chosen(EditDataViewController &list) {
  if (list.rowSelected < 0 || static_cast<size_t>(list.rowSelected) >= list.tableItems.size())
    return {};
  return list.tableItems[static_cast<size_t>(list.rowSelected)].name;
}

} // namespace

// --- Sheets ------------------------------------------------------------------------------------

void LocalFolderViewController::clickSort() {
  if (shownSheet_ != Sheet::None) return;
  auto mark = [this](int column, const char *ascending, const char *descendingText) {
    if (column != sortColumn_) return std::string();
    return std::string(descending_ ? ascending : descendingText);
  };
  auto sheet = std::make_shared<ActionSheet>(
      "Sort Folder",
      std::static_pointer_cast<ActionSheetDelegate>(sharedAs<LocalFolderViewController>()),
      "Cancel", "",
      std::vector<std::string>{"Sort by Name" + mark(0, " (a,b,c)", " (c,b,a)"),
                               "Sort by Size" + mark(1, " (1,2,3)", " (3,2,1)"),
                               "Sort by Date" + mark(2, " (1,2,3)", " (3,2,1)")});
  showSheet(sheet, Sheet::Sort);
}

void LocalFolderViewController::clickMenuBtn() {
  if (shownSheet_ != Sheet::None) return;
  std::vector<std::string> buttons{"Import Picture", "Create File"};
  if (!sharedWithiTunes_) buttons.push_back("Create Directory");
  buttons.push_back("Upload All Files");
  if (!sharedWithiTunes_) buttons.push_back("Upload All Files & Folders");
  showSheet(std::make_shared<ActionSheet>("Folder Commands",
                                          std::static_pointer_cast<ActionSheetDelegate>(
                                              sharedAs<LocalFolderViewController>()),
                                          "Cancel", "Delete All Files", buttons),
            Sheet::Folder);
}

void LocalFolderViewController::accessoryButtonTappedForRowWithIndexPath(TableView &,
                                                                         IndexPath ip) {
  auto entry = item(ip);
  if (!entry || entry->isToiTunes || entry->isToPhotoLibrary || entry->isToiCloud) return;
  if (auto old = tableView_->indexPathForSelectedRow())
    tableView_->deselectRowAtIndexPath(*old, false);
  tableView_->selectRowAtIndexPath(ip, false, TableViewScrollPosition::None);
  doButtonStatesForIndexPath(ip);
  saveIndexPath_ = ip;
  auto self = std::static_pointer_cast<ActionSheetDelegate>(sharedAs<LocalFolderViewController>());
  if (entry->isDirectory) {
    showSheet(std::make_shared<ActionSheet>(entry->name(), self, "Cancel", "Delete Folder",
                                            std::vector<std::string>{"Rename Folder", "Move Folder",
                                                                     "Compress to ZIP File",
                                                                     "Upload Folder"}),
              Sheet::FolderRow);
    return;
  }
  std::vector<std::string> buttons{"Rename File", "Move File"};
  const int type = entry->fileType();
  buttons.push_back(type == DirItemInfo::kFileTypeImage ? "Edit Image" : "Copy File");
  if (type != DirItemInfo::kFileTypeZip) buttons.push_back("Add to ZIP File");
  if (entry->name() == "bookmarks.txt" || entry->name() == "bookmarks-p.txt")
    buttons.push_back("Import Bookmarks");
  else if (DocumentInteraction::canOpen())
    buttons.push_back("Open In...");
  tableView_->reloadData();
  showSheet(std::make_shared<ActionSheet>(entry->name(), self, "Cancel", "Delete File", buttons),
            Sheet::FileRow);
}

void LocalFolderViewController::clickedButtonAtIndex(ActionSheet &sheet, int index) {
  const Sheet kind = shownSheet_;
  shownSheet_ = Sheet::None;
  const std::string button =
      index >= 0 && index < sheet.numberOfButtons() ? sheet.buttonTitleAtIndex(index) : "";
  switch (kind) {
  case Sheet::Sort:
    if (index >= 0 && index <= 2) {
      sortByDataColumn(index);
      tableView_->reloadData();
      settings().setObject(std::to_string(sortColumn_), kDefaultSortKey);
      settings().synchronize();
    }
    break;
  case Sheet::Folder:
    answerFolderCommands(button);
    break;
  case Sheet::FileRow:
  case Sheet::FolderRow:
    answerRow(button);
    break;
  case Sheet::None:
    break;
  }
}

void LocalFolderViewController::answerFolderCommands(const std::string &button) {
  if (button == "Delete All Files") {
    int files = 0;
    for (const auto &row : folderItems_)
      files += !row->isDirectory;
    confirm("Confirm Deleting All Files",
            "All " + std::to_string(files) + " files in this folder will be deleted.  Continue?",
            "Delete All");
  } else if (button == "Import Picture") {
    // The photo library and the camera are not part of this system yet.
    alert("Photo Error", "No camera or photo library was found!");
  } else if (button == "Create File") {
    prompt("Create File", "", "New File Name:", &LocalFolderViewController::doCreateFile);
  } else if (button == "Create Directory") {
    prompt("Create Directory", "",
           "New Directory Name:", &LocalFolderViewController::doCreateDirectory);
  } else if (button == "Upload All Files" || button == "Upload All Files & Folders") {
    uploadAll(button != "Upload All Files");
  }
}

void LocalFolderViewController::answerRow(const std::string &button) {
  auto entry = actionItem();
  if (!entry) return;
  const std::string &name = entry->name();
  if (button == "Delete File")
    confirm("Confirm File Delete",
            "\"" + name + "\" will be deleted from your saved files.  Continue?", "Delete");
  else if (button == "Delete Folder")
    confirm("Confirm Folder Delete",
            "\"" + name +
                "\" and all files it contains will be deleted from your saved files.  Continue?",
            "Delete All");
  else if (button == "Rename File" || button == "Rename Folder")
    prompt(button, name, button + " To:", &LocalFolderViewController::doRenameFile);
  else if (button == "Copy File")
    prompt("Copy File", name, "Copy File To:", &LocalFolderViewController::doCopyFile);
  else if (button == "Move File" || button == "Move Folder")
    showMoveList(entry->isDirectory);
  else if (button == "Edit Image")
    alert("Edit Image", "The image editor is not available.");
  else if (button == "Add to ZIP File")
    showAddToZip();
  else if (button == "Compress to ZIP File")
    compressFolder(name);
  else if (button == "Upload Folder") {
    uploadFolder(name);
    clearSelection();
  } else if (button == "Import Bookmarks")
    importBookmarks();
  else if (button == "Open In...")
    openIn();
  else if (auto ip = tableView_->indexPathForSelectedRow())
    tableView_->deselectRowAtIndexPath(*ip, true);
}

// --- Confirmations -----------------------------------------------------------------------------

void LocalFolderViewController::clickedButtonAtIndex(AlertView &alert, int index) {
  if (index != 1) return;
  if (alert.title() == "Confirm File Delete" || alert.title() == "Confirm Folder Delete")
    deleteAfterConfirm(false);
  else if (alert.title() == "Confirm Deleting All Files")
    deleteAfterConfirm(true);
}

void LocalFolderViewController::deleteAfterConfirm(bool allFiles) {
  if (allFiles) {
    for (const auto &row : folderItems_) {
      if (row->isDirectory) continue;
      if (sharedWithiTunes_ && std::find(std::begin(kKeptOnShared), std::end(kKeptOnShared),
                                         row->name()) != std::end(kKeptOnShared))
        continue;
      FileManager::removeItem(getPath() + "/" + row->name());
    }
  } else if (auto entry = actionItem()) {
    FileManager::removeItem(getPath() + "/" + entry->name());
  }
  clearSelection();
  loadFolderData();
}

// --- Names -------------------------------------------------------------------------------------

void LocalFolderViewController::doCreateFile(TextPromptViewer &p) {
  const std::string name = typed(p);
  if (!acceptableName(name) || filenameAlreadyInUse(name)) return;
  const std::string path = getPath() + "/" + name;
  if (myEndsWith(name, ".zip")) {
    MinizipArchive zip;
    zip.CreateZipFile2(path) && zip.CloseZipFile2();
  } else {
    FileManager::writeAtomically(path, std::string_view());
  }
  loadFolderData();
}

void LocalFolderViewController::doCreateDirectory(TextPromptViewer &p) {
  const std::string name = typed(p);
  if (!acceptableName(name) || filenameAlreadyInUse(name)) return;
  FileManager::createDirectory(getPath() + "/" + name);
  if (name == "PrivateKeys") FileManager::protectFile(getPath() + "/" + name);
  loadFolderData();
}

void LocalFolderViewController::doRenameFile(TextPromptViewer &p) {
  renameOrCopy(p, false);
}

void LocalFolderViewController::doCopyFile(TextPromptViewer &p) {
  renameOrCopy(p, true);
}

void LocalFolderViewController::renameOrCopy(TextPromptViewer &p, bool copy) {
  if (folderItems_.empty()) loadFolderData();
  auto entry = actionItem();
  const std::string name = typed(p);
  if (!entry || name == entry->name()) return;
  if (!acceptableName(name) || filenameAlreadyInUse(name)) return;
  const std::string from = getPath() + "/" + entry->name(), to = getPath() + "/" + name;
  if (copy)
    FileManager::copyItem(from, to);
  else
    FileManager::moveItem(from, to);
  clearSelection();
  loadFolderData();
}

// --- Move --------------------------------------------------------------------------------------

void LocalFolderViewController::showMoveList(bool folder) {
  auto entry = actionItem();
  if (!entry) return;
  std::vector<std::string> items{"Cancel, Don't Move"}, images{imageName(imageBlank24)};
  if (!rootFolder_ || sharedWithiTunes_) {
    items.push_back("Up a Folder");
    images.push_back(imageName(imageUpFolder));
  }
  for (const auto &row : folderItems_) {
    if (!row->isDirectory || row == entry) continue;
    if (row->isToPhotoLibrary || row->isToiCloud) continue; // later: the photo library and cloud
    if (folder && row->isToiTunes) continue;
    items.push_back(row->name());
    images.push_back(imageName(row->imageForFileType()));
  }
  choose("Move " + entry->name(), items, images, folder ? "Move Folder To..." : "Move File To...",
         &LocalFolderViewController::doMoveFile);
}

void LocalFolderViewController::doMoveFile(EditDataViewController &list) {
  auto entry = actionItem();
  if (!entry || list.rowSelected <= 0) return;
  const std::string target = chosen(list);
  std::string destination;
  if (target == "Up a Folder") {
    const std::string path = getPath();
    destination =
        sharedWithiTunes_ ? Paths::documents() + "/Files" : path.substr(0, path.rfind('/'));
  } else if (target == "Shared with iTunes") {
    destination = Paths::documents();
  } else {
    // Only a folder row of this screen is a target; the name never leaves the folder.
    std::string why;
    if (!isSingleFileName(target, &why)) return;
    destination = getPath() + "/" + target;
  }
  FileManager::moveItem(getPath() + "/" + entry->name(), destination + "/" + entry->name());
  clearSelection();
  loadFolderData();
}

// --- Archives ----------------------------------------------------------------------------------

void LocalFolderViewController::clickUnZip() {
  zipPassword_.clear();
  auto entry = item(saveIndexPath_);
  if (!entry) {
    showEditViewButton(kNone, true);
    return;
  }
  if (entry->fileType() != DirItemInfo::kFileTypeTar &&
      MinizipArchive::UnzipIsEncrypted(getPath() + "/" + entry->name())) {
    std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
    auto editor = EditDataViewController::initWithTitle(
        "ZIP Password", "", "The ZIP file needs a password:", "EditDataView",
        [weak](EditDataViewController &e) {
          if (auto s = weak.lock()) s->enteredZipPassword(e);
        });
    editor->showWorkingOnExit = true;
    if (auto nav = navigationController()) nav->pushViewController(editor, true);
    return;
  }
  clickUnZip2();
}

void LocalFolderViewController::enteredZipPassword(EditDataViewController &editor) {
  zipPassword_ = editor.textData ? editor.textData->text() : "";
  if (zipPassword_.empty()) return;
  std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
  RunLoop::main()->performAfter(std::chrono::milliseconds(1), [weak] {
    if (auto s = weak.lock()) s->clickUnZip2();
  });
}

void LocalFolderViewController::clickUnZip2() {
  auto entry = item(saveIndexPath_);
  if (entry) {
    const std::string archive = getPath() + "/" + entry->name();
    if (entry->fileType() == DirItemInfo::kFileTypeTar) {
      if (!TARWrapper::unTARFile(archive)) alert("Error Opening", "Unable to open the TAR file.");
    } else {
      // "...zip" would unpack into the folder above: the folder's name must be a name.
      const std::string stem = myFName(entry->name());
      if (!isSingleFileName(stem)) {
        alert("Error Opening", "Unable to open and uncompress the ZIP file.");
        zipPassword_.clear();
        clearSelection();
        return;
      }
      const std::string target = getPath() + "/" + stem;
      FileManager::createDirectory(target);
      MinizipArchive zip;
      const bool opened = zipPassword_.empty() ? zip.UnzipOpenFile(archive)
                                               : zip.UnzipOpenFile(archive, zipPassword_);
      const bool ok = opened && zip.UnzipFileTo(target, true);
      zip.UnzipCloseFile();
      if (!ok) alert("Error Opening", "Unable to open and uncompress the ZIP file.");
    }
    zipPassword_.clear();
    loadFolderData();
  }
  clearSelection();
  showEditViewButton(kNone, true);
}

void LocalFolderViewController::showAddToZip() {
  auto entry = actionItem();
  if (!entry) return;
  addToZipBase_ = myFName(entry->name());
  std::vector<std::string> items{"Cancel, Don't Add"}, images{imageName(imageBlank24)};
  const bool exists = FileManager::fileExists(getPath() + "/" + addToZipBase_ + ".zip");
  items.push_back(addToZipBase_ + (exists ? ".zip" : ".zip (new)"));
  images.push_back(exists ? imageName(imageZip) : "3-doc-zip-new.png");
  for (const auto &row : folderItems_)
    if (row->fileType() == DirItemInfo::kFileTypeZip && row->name().rfind(addToZipBase_, 0) != 0) {
      items.push_back(row->name());
      images.push_back(imageName(imageZip));
    }
  choose("ZIP " + entry->name(), items, images, "Add To ZIP File...",
         &LocalFolderViewController::doZipFile);
}

void LocalFolderViewController::doZipFile(EditDataViewController &list) {
  auto entry = actionItem();
  if (!entry || list.rowSelected <= 0) return;
  const std::string name = list.rowSelected == 1 ? addToZipBase_ + ".zip" : chosen(list);
  if (!isSingleFileName(name)) return;
  const std::string archive = getPath() + "/" + name;
  MinizipArchive zip;
  const bool exists = FileManager::fileExists(archive);
  const bool opened = exists && sizeOfFileAtPath(archive) >= 23 ? zip.OpenZipFile2(archive)
                                                                : zip.CreateZipFile2(archive);
  if (opened) zip.addFileToZip(getPath() + "/" + entry->name(), entry->name());
  zip.CloseZipFile2();
  loadFolderData();
}

void LocalFolderViewController::compressFolder(const std::string &name) {
  MinizipArchive zip;
  if (zip.CreateZipFile2(getPath() + "/" + name + ".zip"))
    zip.addFolderToZip(getPath() + "/" + name, "");
  zip.CloseZipFile2();
  clearSelection();
  loadFolderData();
}

// --- View, edit, mail, "Open In" ---------------------------------------------------------------

// The checked row; without one the right-hand button and Upload and Email are reset.
std::shared_ptr<DirItemInfo> LocalFolderViewController::checkedItemOrReset() {
  auto entry = item(saveIndexPath_);
  if (!entry) {
    showEditViewButton(kNone, true);
    uploadBtn_->setEnabled(false);
    emailBtn_->setEnabled(false);
  }
  return entry;
}

void LocalFolderViewController::clickView() {
  auto entry = checkedItemOrReset();
  auto services = FTPAppServices::shared();
  if (!entry) return;
  const std::string path = getPath() + "/" + entry->name();
  if (!services) return;
  if (myContains(kMediaTypes, "." + myFileType(entry->name()) + "."))
    services->playMediaFile(path, false);
  else
    services->showDocumentViewer(entry->name(), path);
}

void LocalFolderViewController::clickEdit() {
  auto entry = checkedItemOrReset();
  if (!entry) return;
  const std::string path = getPath() + "/" + entry->name();
  if (auto services = FTPAppServices::shared())
    if (auto editor = services->openTextEditor(path)) {
      editor->setTextFileName(entry->name());
      editor->setEditingSavedFile(true);
      editor->setEditingSavedFilePath(path);
    }
}

void LocalFolderViewController::clickEmail() {
  auto entry = item(saveIndexPath_);
  if (!entry || entry->isDirectory) return;
  MailMessage message;
  auto bytes = FileManager::contentsAtPath(getPath() + "/" + entry->name());
  if (!bytes) return;
  message.attachments.push_back(MailAttachment{std::vector<uint8_t>(bytes->begin(), bytes->end()),
                                               myMimeType(entry->name()), entry->name()});
  if (settings().integerForKey("IncludeEmailLinks") == 1) {
    message.bodyIsHTML = true;
    message.body = "<b>" + htmlEscaped(entry->name()) + "</b> sent using <a href='" + kProductURL +
                   "'>Ferrowen</a>.";
  }
  if (!MailService::send(message)) alert("Mail", "No mail program was found to send the file.");
}

void LocalFolderViewController::openIn() {
  auto entry = actionItem();
  if (!entry) return;
  if (!DocumentInteraction::openInMenu(getPath() + "/" + entry->name()))
    alert("Can't Open File", "There are no Apps installed for viewing this type of file.");
}

void LocalFolderViewController::importBookmarks() {
  auto entry = actionItem();
  if (!entry) return;
  sqlite3 *db = OpenDatabase();
  BookmarkImportCounts counts;
  if (db) {
    counts = importBookmarksFile(db, getPath() + "/" + entry->name());
    sqlite3_close(db);
  }
  alert("Bookmark Import", bookmarkImportMessage(counts));
}

// --- Uploads -----------------------------------------------------------------------------------

void LocalFolderViewController::clickUpload() {
  auto entry = item(saveIndexPath_);
  if (!entry || entry->isDirectory) return;
  auto &services = LocalFilesServices::shared();
  std::string remote;
  if (!services.browsingConnected() || !services.remoteBrowserFolder(&remote)) {
    alert("Not Connected", "Connect to a Server and browse to the folder where you want the file "
                           "to be uploaded.\n\nThen touch Upload again.");
    return;
  }
  services.addBatchItem(3, entry->name(), remote, rowSize(*entry), getPath() + "/" + entry->name(),
                        true);
}

void LocalFolderViewController::uploadAll(bool withFolders) {
  auto &services = LocalFilesServices::shared();
  if (!services.browsingConnected()) {
    alert("Not Connected", "Connect to a Server and browse to the folder where you want the files "
                           "to be uploaded.\n\nThen choose the menu item again.");
    return;
  }
  const std::string remote = services.browsingFolder();
  for (const auto &row : folderItems_) {
    if (row->isToiTunes || row->isToPhotoLibrary || row->isToiCloud) continue;
    if (row->isDirectory) {
      if (withFolders) uploadFolderInto(row->name(), remote);
      continue;
    }
    services.addBatchItem(10, row->name(), remote, rowSize(*row), getPath() + "/" + row->name(),
                          false);
  }
  services.startQueue();
}

void LocalFolderViewController::uploadFolder(const std::string &relative) {
  auto &services = LocalFilesServices::shared();
  std::string remote;
  if (!services.browsingConnected() || !services.remoteBrowserFolder(&remote)) {
    alert("Not Connected", "Connect to an FTP Server and browse to the place where you want the "
                           "folder to be uploaded.\n\nThen pick to Upload again.");
    return;
  }
  uploadFolderInto(relative, remote);
}

// Queues the folder as a remote folder to make, then everything under it: each sub-folder before
// its files, walked without leaving the folder.
bool LocalFolderViewController::uploadFolderInto(const std::string &relative,
                                                 const std::string &remoteBase) {
  auto &services = LocalFilesServices::shared();
  const std::string base =
      remoteBase.empty() || remoteBase.back() != '/' ? remoteBase + "/" : remoteBase;
  auto remoteOf = [&](const std::string &rel) {
    const size_t slash = rel.rfind('/');
    return slash == std::string::npos ? base : base + rel.substr(0, slash) + "/";
  };
  auto leafOf = [](const std::string &rel) {
    const size_t slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
  };
  services.addBatchItem(6, leafOf(relative), remoteOf(relative), 0, "", true);
  walkTree(getPath() + "/" + relative, [&](const TreeEntry &e) {
    const std::string rel = relative + "/" + e.relative;
    if (e.isDirectory)
      services.addBatchItem(6, leafOf(rel), remoteOf(rel), 0, "", true);
    else
      services.addBatchItem(10, leafOf(rel), remoteOf(rel), static_cast<int64_t>(e.size), e.path,
                            true);
    return true;
  });
  return true;
}
