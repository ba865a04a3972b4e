// The commands of the local file manager: sheets, confirmations, name prompts, moves, archives,
// viewing, mail, "Open In", bookmark import and uploads into the transfer queue.
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>

#include "app/files/ArchiveServices.h"
#include "app/files/BookmarkImport.h"
#include "app/files/LocalFilesServices.h"
#include "app/files/LocalFolderViewController.h"
#include "app/files/MinizipArchive.h"
#include "app/files/PickedPicture.h"
#include "app/files/SavedFilesRooms.h"
#include "app/files/TreeWalk.h"
#include "app/foundation/Database.h"
#include "app/foundation/EditDataViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/foundation/TextPromptViewer.h"
#include "app/ftp/FTPServices.h"
#include "platform/device/Application.h"
#include "platform/device/DocumentInteraction.h"
#include "platform/device/MailService.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/BitmapContext.h"
#include "platform/media/Image.h"
#include "platform/media/PhotoLibrary.h"

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

std::string typed(TextPromptViewer &p) {
  return p.filename ? p.filename->text() : p.originalFilename;
}

bool hasVideoMedia() {
  const auto &has = SavedFilesRooms::shared().hasVideoMedia;
  return has && has();
}

std::string importTitle() {
  return hasVideoMedia() ? "Import Picture/Video" : "Import Picture";
}

// The picture's name with the extension of its format: kept when the typed name already ends in
// one of that format's extensions (in any case), else added.
std::string pictureName(std::string name, bool png) {
  const size_t dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (png) {
    if (!myContains(".png.", "." + ext + ".")) name += ".png";
  } else if (ext.empty() || !myContains(".jpg.jpeg.jpe.", "." + ext + ".")) {
    name += ".jpg";
  }
  return name;
}

} // namespace

// --- Sheets ------------------------------------------------------------------------------------

void LocalFolderViewController::clickSort() {
  if ((sheet_ && sheet_->isVisible()) || picturePopoverShown()) return;
  showSheet(sortSheet(), Sheet::Sort, Origin{sortBtn_, {}});
}

void LocalFolderViewController::clickMenuBtn() {
  if ((sheet_ && sheet_->isVisible()) || picturePopoverShown()) return;
  std::vector<std::string> buttons{importTitle(), "Create File"};
  if (!sharedWithiTunes_) buttons.push_back("Create Directory");
  buttons.push_back("Upload All Files");
  if (!sharedWithiTunes_) buttons.push_back("Upload All Files & Folders");
  showSheet(std::make_shared<ActionSheet>("Folder Commands",
                                          std::static_pointer_cast<ActionSheetDelegate>(
                                              sharedAs<LocalFolderViewController>()),
                                          "Cancel", "Delete All Files", buttons),
            Sheet::Folder, Origin{menuBtn_, {}});
}

void LocalFolderViewController::accessoryButtonTappedForRowWithIndexPath(TableView &,
                                                                         IndexPath ip) {
  auto entry = item(ip);
  if (!entry || entry->isToiTunes || entry->isToPhotoLibrary || entry->isToiCloud) return;
  // The tapped row is highlighted while its sheet is open and becomes the checked row (drawn
  // checked when it is a file); the buttons follow it.
  if (auto old = tableView_->indexPathForSelectedRow())
    tableView_->deselectRowAtIndexPath(*old, false);
  doButtonStatesForIndexPath(ip);
  check(*entry);
  tableView_->reloadData(); // the marks as they now are
  tableView_->selectRowAtIndexPath(ip, false, TableViewScrollPosition::None);
  const Target target{entry->name(), entry->isDirectory};
  auto self = std::static_pointer_cast<ActionSheetDelegate>(sharedAs<LocalFolderViewController>());
  std::shared_ptr<ActionSheet> sheet;
  if (entry->isDirectory) {
    sheet = std::make_shared<ActionSheet>(entry->name(), self, "Cancel", "Delete Folder",
                                          std::vector<std::string>{"Rename Folder", "Move Folder",
                                                                   "Compress to ZIP File",
                                                                   "Upload Folder"});
  } else {
    std::vector<std::string> buttons{"Rename File", "Move File"};
    const int type = entry->fileType();
    buttons.push_back(type == DirItemInfo::kFileTypeImage ? "Edit Image" : "Copy File");
    if (type != DirItemInfo::kFileTypeZip) buttons.push_back("Add to ZIP File");
    if (entry->name() == "bookmarks.txt" || entry->name() == "bookmarks-p.txt")
      buttons.push_back("Import Bookmarks");
    else if (DocumentInteraction::canOpen())
      buttons.push_back("Open In...");
    if (photoLibraryTakes(entry)) buttons.push_back("Add to Photo Library");
    sheet = std::make_shared<ActionSheet>(entry->name(), self, "Cancel", "Delete File", buttons);
  }
  sheetTarget_ = target;
  showSheet(sheet, entry->isDirectory ? Sheet::FolderRow : Sheet::FileRow, rowOrigin(ip));
}

void LocalFolderViewController::clickedButtonAtIndex(ActionSheet &sheet, int index) {
  // Only the sheet this screen is showing is answered here, whatever its title says.
  if (&sheet != sheet_.get()) return;
  const Sheet kind = shownSheet_;
  const Target target = sheetTarget_;
  const Origin from = sheetOrigin_;
  shownSheet_ = Sheet::None;
  sheet_.reset();
  const std::string button = sheetButton(sheet, index);
  switch (kind) {
  case Sheet::Sort:
    sortChosen(index, true);
    break;
  case Sheet::Folder:
    answerFolderCommands(button);
    break;
  case Sheet::FileRow:
  case Sheet::FolderRow:
    answerRow(button, target, from);
    break;
  case Sheet::PictureFrom:
    if (button == "Select from Library" || button == "Use Camera")
      pickMedia(button == "Use Camera");
    break;
  case Sheet::None:
    break;
  }
}

void LocalFolderViewController::answerFolderCommands(const std::string &button) {
  const Origin menu{menuBtn_, {}};
  if (button == "Delete All Files") {
    // The files counted are the files deleted, whatever arrives meanwhile.
    std::vector<Target> files;
    for (const auto &row : shownFiles())
      files.push_back(Target{row->name(), false});
    const std::string message =
        "All " + std::to_string(files.size()) + " files in this folder will be deleted.  Continue?";
    confirm("Confirm Deleting All Files", message, "Delete All", Confirm::DeleteAllFiles,
            std::move(files));
  } else if (button == "Import Picture" || button == "Import Picture/Video") {
    importPicture();
  } else if (button == "Create File") {
    prompt("Create File", "", "New File Name:", menu,
           [this](TextPromptViewer &p) { doCreateFile(p); });
  } else if (button == "Create Directory") {
    prompt("Create Directory", "", "New Directory Name:", menu,
           [this](TextPromptViewer &p) { doCreateDirectory(p); });
  } else if (button == "Upload All Files" || button == "Upload All Files & Folders") {
    uploadAll(button != "Upload All Files");
  }
}

void LocalFolderViewController::answerRow(const std::string &button, const Target &target,
                                          const Origin &from) {
  const std::string &name = target.name;
  if (button.empty() || button == "Cancel") {
    if (auto ip = tableView_->indexPathForSelectedRow())
      tableView_->deselectRowAtIndexPath(*ip, true);
    return;
  }
  if (!stillThere(target)) return;
  // The prompts run after this screen may have gone; they hold it only weakly.
  std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
  if (button == "Delete File")
    confirm("Confirm File Delete",
            "\"" + name + "\" will be deleted from your saved files.  Continue?", "Delete",
            Confirm::DeleteItems, {target});
  else if (button == "Delete Folder")
    confirm("Confirm Folder Delete",
            "\"" + name +
                "\" and all files it contains will be deleted from your saved files.  Continue?",
            "Delete All", Confirm::DeleteItems, {target});
  else if (button == "Rename File" || button == "Rename Folder" || button == "Copy File")
    prompt(button, name, button + " To:", from, [weak, target, button](TextPromptViewer &p) {
      if (auto s = weak.lock()) s->renameOrCopy(p, target, button == "Copy File");
    });
  else if (button == "Move File" || button == "Move Folder")
    showMoveList(target, from);
  else if (button == "Edit Image") {
    const auto &editImage = SavedFilesRooms::shared().editImage;
    if (editImage && !editImage(getPath() + "/" + name, *this, name))
      alert("Edit Image", "\"" + name + "\" could not be read as a picture.");
  } else if (button == "Add to ZIP File")
    showAddToZip(target, from);
  else if (button == "Compress to ZIP File")
    compressFolder(target);
  else if (button == "Upload Folder") {
    uploadFolder(name);
    clearSelection();
  } else if (button == "Import Bookmarks")
    importBookmarks(target);
  else if (button == "Open In...")
    openIn(target);
  else if (button == "Add to Photo Library") {
    if (!addToPhotoLibrary(target))
      alert("Photo Library", "\"" + name + "\" could not be added to the photo library.");
    clearSelection();
  }
}

// --- Pictures and videos -----------------------------------------------------------------------

void LocalFolderViewController::importPicture() {
  const auto &rooms = SavedFilesRooms::shared();
  const bool camera = rooms.hasCamera && rooms.hasCamera();
  const bool library = rooms.hasPhotoLibrary && rooms.hasPhotoLibrary();
  if (camera && rooms.pickMedia) {
    showSheet(
        std::make_shared<ActionSheet>(
            hasVideoMedia() ? "Picture/Video Importing" : "Import Picture",
            std::static_pointer_cast<ActionSheetDelegate>(sharedAs<LocalFolderViewController>()),
            "Cancel", "", std::vector<std::string>{"Select from Library", "Use Camera"}),
        Sheet::PictureFrom, Origin{menuBtn_, {}});
  } else if (library && rooms.pickMedia) {
    pickMedia(false);
  } else {
    alert("Photo Error", "No camera or photo library was found!");
  }
}

void LocalFolderViewController::pickMedia(bool camera) {
  const auto &pick = SavedFilesRooms::shared().pickMedia;
  if (!pick) return;
  const int quality =
      settings().objectForKey("VideoQuality") ? settings().integerForKey("VideoQuality") : -1;
  std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
  imagePopover_ = pick(camera, quality >= 0 && quality <= 2 ? quality : -1, menuBtn_,
                       [weak](std::optional<PickedPictureOrVideo> media) {
                         if (auto s = weak.lock()) s->picked(std::move(media));
                       });
}

bool LocalFolderViewController::picturePopoverShown() const {
  auto popover = imagePopover_.lock();
  return popover && popover->isPopoverVisible();
}

void LocalFolderViewController::picked(std::optional<PickedPictureOrVideo> media) {
  if (!media) return;
  std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
  const Origin menu{menuBtn_, {}};
  const std::string suggested = media->suggestedName;
  if (media->isMovie) {
    videoFilePath_ = media->moviePath;
    RunLoop::main()->performAfter(std::chrono::milliseconds(10), [weak, suggested, menu] {
      auto s = weak.lock();
      if (!s) return;
      s->prompt(
          "Video File Name", suggested, "Video File Name:", menu,
          [weak](TextPromptViewer &p) {
            if (auto self = weak.lock()) self->doNameVideo(p);
          },
          false, "Videos are .mov type; .mov will be added to the file name if needed.");
    });
    return;
  }
  imageToSave_ = pictureToStore(media->image);
  RunLoop::main()->performAfter(std::chrono::milliseconds(10), [weak, suggested, menu] {
    auto s = weak.lock();
    if (!s) return;
    s->prompt(
        "Import Picture", suggested, "File Name:", menu,
        [weak](TextPromptViewer &p) {
          if (auto self = weak.lock()) self->doNamePicture(p);
        },
        true);
  });
}

void LocalFolderViewController::doNamePicture(TextPromptViewer &p) {
  auto image = std::move(imageToSave_);
  const bool png = p.segmentFileType && p.segmentFileType->selectedSegmentIndex() != 0;
  const std::string name = pictureName(typed(p), png);
  if (!image || !acceptableName(name, getPath())) return;
  // A picture of that name already in the folder is replaced, as the prompt said.
  const auto data = png ? image->pngRepresentation() : image->jpegRepresentation(0.99);
  FileManager::writeAtomically(getPath() + "/" + name, data);
  loadFolderData();
}

void LocalFolderViewController::doNameVideo(TextPromptViewer &p) {
  std::string name = typed(p);
  if (!myEndsWith(name, ".mov")) name += ".mov";
  const std::string movie = std::exchange(videoFilePath_, std::string());
  if (movie.empty() || !acceptableName(name, getPath())) return;
  // An existing file of that name stays: the copy is then not made.
  const std::string target = getPath() + "/" + name;
  if (!FileManager::fileExists(target)) FileManager::copyItem(movie, target);
  loadFolderData();
}

void LocalFolderViewController::doResizePicture(const ResizeAnswer &answer) {
  auto entry = checkedItemOrReset();
  if (!entry || entry->fileType() != DirItemInfo::kFileTypeImage) return;
  const std::string name = pictureName(answer.fileName, answer.png);
  if (!acceptableName(name, getPath())) return;
  auto image = media::Image::imageWithContentsOfFile(getPath() + "/" + entry->name());
  if (!image) return;
  Application::shared().setNetworkActivityIndicatorVisible(true);
  if (answer.width >= 1 && answer.height >= 1 && answer.width != answer.wIn &&
      answer.height != answer.hIn) {
    if (auto context = media::BitmapContext::create(answer.width, answer.height)) {
      context->drawImage(*image, media::Rect2{0, 0, static_cast<double>(answer.width),
                                              static_cast<double>(answer.height)});
      if (auto drawn = context->makeImage()) image = drawn;
    }
  }
  const auto data = answer.png ? image->pngRepresentation() : image->jpegRepresentation(0.99);
  FileManager::writeAtomically(getPath() + "/" + name, data);
  Application::shared().setNetworkActivityIndicatorVisible(false);
  clearSelection();
  loadFolderData();
}

bool LocalFolderViewController::photoLibraryTakes(const std::shared_ptr<DirItemInfo> &entry) const {
  const auto &available = SavedFilesRooms::shared().photoLibraryAvailable;
  if (!entry || entry->isDirectory || !available || !available()) return false;
  const int type = entry->fileType();
  if (type == DirItemInfo::kFileTypeImage)
    return media::PhotoLibrary::isPictureExtension(myFileType(entry->name()));
  return type == DirItemInfo::kFileTypeVideo &&
         media::PhotoLibrary::isVideoExtension(myFileType(entry->name()));
}

bool LocalFolderViewController::addToPhotoLibrary(const Target &target) {
  if (!isSingleFileName(target.name)) return false;
  const std::string path = getPath() + "/" + target.name;
  const std::string ext = myFileType(target.name);
  if (media::PhotoLibrary::isVideoExtension(ext))
    return !media::PhotoLibrary::addVideo(path).empty();
  // A picture goes in as its own bytes: nothing is decoded or re-encoded on the way.
  auto bytes = FileManager::contentsAtPath(path);
  return bytes &&
         !media::PhotoLibrary::addPicture(std::vector<uint8_t>(bytes->begin(), bytes->end()), ext)
              .empty();
}

// --- Confirmations ---------------------------------------------------------------------------

void LocalFolderViewController::clickedButtonAtIndex(AlertView &alert, int index) {
  // Told apart by the alert itself, never by its title: a file may be named like any title.
  auto unpack = std::find_if(unpacks_.begin(), unpacks_.end(), [&](const PendingUnpack &u) {
    return u.alert.lock().get() == &alert;
  });
  if (unpack != unpacks_.end()) {
    const PendingUnpack pending = *unpack;
    unpacks_.erase(unpack);
    finishUnpack(*pending.staged, index == 1, pending.tar);
    return;
  }
  auto it = std::find_if(confirms_.begin(), confirms_.end(),
                         [&](const PendingConfirm &c) { return c.alert.lock().get() == &alert; });
  if (it == confirms_.end()) return;
  const PendingConfirm pending = *it;
  confirms_.erase(it);
  if (index == 1) deleteConfirmed(pending);
}

void LocalFolderViewController::didDismissWithButtonIndex(AlertView &alert, int) {
  // A question closed without an answer keeps the person's files; the rest is unpacked.
  auto unpack = std::find_if(unpacks_.begin(), unpacks_.end(), [&](const PendingUnpack &u) {
    return u.alert.lock().get() == &alert;
  });
  if (unpack != unpacks_.end()) {
    const PendingUnpack pending = *unpack;
    unpacks_.erase(unpack);
    finishUnpack(*pending.staged, false, pending.tar);
  }
  std::erase_if(confirms_, [&](const PendingConfirm &c) {
    auto shown = c.alert.lock();
    return !shown || shown.get() == &alert;
  });
}

void LocalFolderViewController::deleteConfirmed(const PendingConfirm &pending) {
  if (pending.kind == Confirm::DeleteAllFiles) {
    for (const Target &file : pending.targets) {
      if (sharedWithiTunes_ && std::find(std::begin(kKeptOnShared), std::end(kKeptOnShared),
                                         file.name) != std::end(kKeptOnShared))
        continue;
      // Only what is still the plain file that was counted: never a folder that took its name.
      const auto attrs = FileManager::attributesOfItem(getPath() + "/" + file.name);
      if (attrs && attrs->type != FileAttributes::Type::Directory &&
          attrs->type != FileAttributes::Type::Link)
        FileManager::removeItem(getPath() + "/" + file.name);
    }
  } else {
    for (const Target &target : pending.targets)
      if (stillThere(target)) FileManager::removeItem(getPath() + "/" + target.name);
  }
  clearSelection();
  loadFolderData();
}

// --- Names -------------------------------------------------------------------------------------

void LocalFolderViewController::doCreateFile(TextPromptViewer &p) {
  const std::string name = typed(p);
  if (!acceptableName(name, getPath()) || filenameAlreadyInUse(name)) return;
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
  if (!acceptableName(name, getPath()) || filenameAlreadyInUse(name)) return;
  FileManager::createDirectory(getPath() + "/" + name);
  if (name == "PrivateKeys") FileManager::protectFile(getPath() + "/" + name);
  loadFolderData();
}

void LocalFolderViewController::renameOrCopy(TextPromptViewer &p, const Target &target, bool copy) {
  if (folderItems_.empty()) loadFolderData();
  const std::string name = typed(p);
  if (name == target.name) return;
  if (!acceptableName(name, getPath()) || filenameAlreadyInUse(name) || !stillThere(target)) return;
  const std::string from = getPath() + "/" + target.name, to = getPath() + "/" + name;
  if (copy)
    FileManager::copyItem(from, to);
  else
    FileManager::moveItem(from, to);
  clearSelection();
  loadFolderData();
}

// --- Move --------------------------------------------------------------------------------------

void LocalFolderViewController::showMoveList(const Target &target, const Origin &from) {
  // Each destination is kept as the entry it was made from; its text only labels it, so a folder
  // named "Up a Folder" or "Shared with iTunes" is that folder.
  std::vector<MoveTarget> targets{{MoveTarget::Kind::UpAFolder, ""}}; // row 0: cancel
  std::vector<std::string> items{"Cancel, Don't Move"}, images{imageName(imageBlank24)};
  std::shared_ptr<DirItemInfo> targetRow;
  for (const auto &row : folderItemsEverything_)
    if (row->name() == target.name && row->isDirectory == target.isDirectory) targetRow = row;
  if (!rootFolder_ || sharedWithiTunes_) {
    targets.push_back({MoveTarget::Kind::UpAFolder, ""});
    items.push_back("Up a Folder");
    images.push_back(imageName(imageUpFolder));
  }
  for (const auto &row : folderItems_) {
    if (!row->isDirectory || row->name() == target.name) continue;
    if (row->isToPhotoLibrary && (target.isDirectory || !photoLibraryTakes(targetRow))) continue;
    if (target.isDirectory && (row->isToiTunes || row->isToiCloud)) continue;
    targets.push_back({row->isToPhotoLibrary ? MoveTarget::Kind::PhotoLibrary
                       : row->isToiCloud     ? MoveTarget::Kind::Cloud
                       : row->isToiTunes     ? MoveTarget::Kind::SharedFolder
                                             : MoveTarget::Kind::Folder,
                       row->name()});
    items.push_back(row->name());
    images.push_back(imageName(row->imageForFileType()));
  }
  std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
  choose("Move " + target.name, items, images,
         target.isDirectory ? "Move Folder To..." : "Move File To...", from,
         [weak, target, targets](EditDataViewController &list) {
           if (auto s = weak.lock()) s->doMoveFile(list, target, targets);
         });
}

void LocalFolderViewController::doMoveFile(EditDataViewController &list, const Target &target,
                                           const std::vector<MoveTarget> &targets) {
  if (list.rowSelected <= 0 || static_cast<size_t>(list.rowSelected) >= targets.size()) return;
  if (!stillThere(target)) return;
  const MoveTarget &to = targets[static_cast<size_t>(list.rowSelected)];
  std::string destination;
  switch (to.kind) {
  case MoveTarget::Kind::UpAFolder: {
    const std::string path = getPath();
    destination =
        sharedWithiTunes_ ? Paths::documents() + "/Files" : path.substr(0, path.rfind('/'));
    break;
  }
  case MoveTarget::Kind::SharedFolder:
    destination = Paths::documents();
    break;
  case MoveTarget::Kind::PhotoLibrary:
    // Written into the library; the item itself stays.
    if (!addToPhotoLibrary(target))
      alert("Photo Library", "\"" + target.name + "\" could not be added to the photo library.");
    clearSelection();
    return;
  case MoveTarget::Kind::Cloud: {
    // Copied, not moved: the cloud takes a copy made in the temporary folder, the item stays.
    if (!isSingleFileName(target.name)) return;
    const std::string temp = Paths::tmp() + "/" + target.name;
    FileManager::removeItem(temp);
    // The copy is written on the cloud's work queue; a failure is told when it is known.
    std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
    auto done = [weak, name = target.name](bool copied, const std::string &) {
      if (auto s = weak.lock(); s && !copied)
        s->alert("Cloud Files", "\"" + name + "\" could not be copied to Cloud Files.");
    };
    const auto &copyToCloud = SavedFilesRooms::shared().copyToCloud;
    // The cloud takes the copy over (and removes it when done); one it cannot take goes at once.
    if (!FileManager::copyItem(getPath() + "/" + target.name, temp) || !copyToCloud) {
      FileManager::removeItem(temp);
      done(false, "");
    } else {
      copyToCloud(temp, done);
    }
    clearSelection();
    return;
  }
  case MoveTarget::Kind::Folder: {
    // A folder row of this screen; the name never leaves the folder.
    if (!isSingleFileName(to.name)) return;
    destination = getPath() + "/" + to.name;
    const auto attrs = FileManager::attributesOfItem(destination);
    if (!attrs || (attrs->type != FileAttributes::Type::Directory &&
                   attrs->type != FileAttributes::Type::Link)) {
      stillThere(Target{to.name, true});
      return;
    }
    break;
  }
  }
  // The move never replaces what the other folder holds under that name (the file system is
  // asked not to), so the person is told why the item stays, as a rename onto a taken name is.
  if (FileManager::attributesOfItem(destination + "/" + target.name)) {
    alert("File Name Error", "A file with that name already exists in the folder.");
    return;
  }
  FileManager::moveItem(getPath() + "/" + target.name, destination + "/" + target.name);
  clearSelection();
  loadFolderData();
}

// --- Archives ----------------------------------------------------------------------------------

void LocalFolderViewController::clickUnZip() {
  // The spinner stands where the button was while the archive is unpacked, which runs a moment
  // later so that it is on the screen for a long unpack.
  auto spinner = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::White);
  spinner->startAnimating();
  navigationItem().setRightBarButtonItem(BarButtonItem::withCustomView(spinner), false);
  zipPassword_.clear();
  auto entry = checkedItemOrReset();
  if (!entry) return;
  const Target archive{entry->name(), false};
  std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
  if (entry->fileType() != DirItemInfo::kFileTypeTar &&
      MinizipArchive::UnzipIsEncrypted(getPath() + "/" + entry->name())) {
    auto editor = EditDataViewController::initWithTitle(
        "ZIP Password", "", "The ZIP file needs a password:", "EditDataView",
        [weak, archive](EditDataViewController &e) {
          if (auto s = weak.lock()) s->enteredZipPassword(e, archive);
        });
    editor->showWorkingOnExit = true;
    present(editor, Origin{navigationItem().rightBarButtonItem(), {}});
    return;
  }
  RunLoop::main()->performAfter(std::chrono::milliseconds(1), [weak, archive] {
    if (auto s = weak.lock()) s->clickUnZip2(archive);
  });
}

void LocalFolderViewController::enteredZipPassword(EditDataViewController &editor,
                                                   const Target &archive) {
  zipPassword_ = editor.textData ? editor.textData->text() : "";
  if (zipPassword_.empty()) {
    // Nothing is unpacked: the spinner would otherwise keep turning in the button's place.
    showEditViewButton(currentEditButton_, true);
    return;
  }
  std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
  RunLoop::main()->performAfter(std::chrono::milliseconds(1), [weak, archive] {
    if (auto s = weak.lock()) s->clickUnZip2(archive);
  });
}

void LocalFolderViewController::clickUnZip2(const Target &archiveItem) {
  if (stillThere(archiveItem)) {
    const std::string archive = getPath() + "/" + archiveItem.name;
    DirItemInfo kind;
    kind.setName(archiveItem.name);
    const bool tar = kind.fileType() == DirItemInfo::kFileTypeTar;
    // "...zip" would unpack into the folder above: the folder's name must be a name.
    const std::string stem = myFName(archiveItem.name);
    const std::string folder = tar                      ? TARWrapper::unTARFolder(archive)
                               : isSingleFileName(stem) ? getPath() + "/" + stem
                                                        : std::string();
    std::unique_ptr<StagedUnpack> staged;
    if (!folder.empty())
      staged = StagedUnpack::unpack(folder, [&](const std::string &into) {
        if (tar) return TARWrapper::unTARFileTo(archive, into);
        MinizipArchive zip;
        const bool opened = zipPassword_.empty() ? zip.UnzipOpenFile(archive)
                                                 : zip.UnzipOpenFile(archive, zipPassword_);
        const bool ok = opened && zip.UnzipFileTo(into, true);
        zip.UnzipCloseFile();
        return ok;
      });
    zipPassword_.clear();
    if (!staged) {
      alert("Error Opening",
            tar ? "Unable to open the TAR file." : "Unable to open and uncompress the ZIP file.");
    } else if (!staged->differing().empty()) {
      // The person's changed files wait for their answer; the listing follows it.
      askToReplaceChangedFiles(std::move(staged), archiveItem.name, tar);
    } else {
      finishUnpack(*staged, false, tar);
    }
  }
  clearSelection();
  showEditViewButton(kNone, true);
}

void LocalFolderViewController::askToReplaceChangedFiles(std::shared_ptr<StagedUnpack> staged,
                                                         const std::string &archive, bool tar) {
  const size_t count = staged->differing().size();
  const bool one = count == 1;
  const std::string folder = "\"" + lastPathComponent(staged->folder()) + "\"";
  const std::string message =
      (one ? "1 file in " + folder + " differs from its copy in \"" + archive + "\"."
           : std::to_string(count) + " files in " + folder + " differ from their copies in \"" +
                 archive + "\".") +
      "\n\nThe other files are unpacked either way.";
  auto question = std::make_shared<AlertView>(
      one ? "Replace Changed File?" : "Replace Changed Files?", message,
      std::static_pointer_cast<AlertViewDelegate>(sharedAs<LocalFolderViewController>()),
      one ? "Keep It" : "Keep Them", std::vector<std::string>{one ? "Replace It" : "Replace Them"});
  unpacks_.push_back(PendingUnpack{question, std::move(staged), tar});
  question->show();
}

void LocalFolderViewController::finishUnpack(StagedUnpack &staged, bool replaceChanged, bool tar) {
  const bool placed = staged.putInPlace(replaceChanged);
  if (!staged.unpackedWhole() || !placed)
    alert("Error Opening",
          tar ? "Unable to open the TAR file." : "Unable to open and uncompress the ZIP file.");
  loadFolderData();
}

void LocalFolderViewController::showAddToZip(const Target &target, const Origin &from) {
  const std::string base = myFName(target.name);
  // Row 1 is always base + ".zip"; the others are the archives listed, as they were named.
  std::vector<std::string> archives{"", base + ".zip"};
  std::vector<std::string> items{"Cancel, Don't Add"}, images{imageName(imageBlank24)};
  const bool exists = FileManager::fileExists(getPath() + "/" + base + ".zip");
  items.push_back(base + (exists ? ".zip" : ".zip (new)"));
  images.push_back(exists ? imageName(imageZip) : "3-doc-zip-new.png");
  for (const auto &row : folderItems_)
    if (row->fileType() == DirItemInfo::kFileTypeZip && row->name().rfind(base, 0) != 0) {
      archives.push_back(row->name());
      items.push_back(row->name());
      images.push_back(imageName(imageZip));
    }
  std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
  choose("ZIP " + target.name, items, images, "Add To ZIP File...", from,
         [weak, target, archives](EditDataViewController &list) {
           if (auto s = weak.lock()) s->doZipFile(list, target, archives);
         });
}

void LocalFolderViewController::doZipFile(EditDataViewController &list, const Target &target,
                                          const std::vector<std::string> &archives) {
  if (list.rowSelected <= 0 || static_cast<size_t>(list.rowSelected) >= archives.size()) return;
  const std::string &name = archives[static_cast<size_t>(list.rowSelected)];
  if (!isSingleFileName(name) || !stillThere(target)) return;
  const std::string archive = getPath() + "/" + name;
  // An archive chosen from the list that has gone is not made afresh under its name.
  if (list.rowSelected > 1 && !stillThere(Target{name, false})) return;
  MinizipArchive zip;
  const bool exists = FileManager::fileExists(archive);
  const bool opened = exists && sizeOfFileAtPath(archive) >= 23 ? zip.OpenZipFile2(archive)
                                                                : zip.CreateZipFile2(archive);
  if (opened) zip.addFileToZip(getPath() + "/" + target.name, target.name);
  zip.CloseZipFile2();
  loadFolderData();
}

void LocalFolderViewController::compressFolder(const Target &target) {
  MinizipArchive zip;
  if (zip.CreateZipFile2(getPath() + "/" + target.name + ".zip"))
    zip.addFolderToZip(getPath() + "/" + target.name, "");
  zip.CloseZipFile2();
  clearSelection();
  loadFolderData();
}

// --- View, edit, mail, "Open In" ---------------------------------------------------------------

// The checked row; without one the right-hand button and Upload and Email are reset.
std::shared_ptr<DirItemInfo> LocalFolderViewController::checkedItemOrReset() {
  auto entry = checkedEntry();
  if (entry && entry->isDirectory) entry.reset();
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
  if (myContains(kMediaTypes, "." + myFileType(entry->name()) + ".")) {
    services->playMediaFile(path, false);
    return;
  }
  // A picture pages through the folder's pictures, in the order shown.
  DocumentViewRequest request;
  request.name = entry->name();
  request.path = path;
  if (entry->fileType() == DirItemInfo::kFileTypeImage)
    for (const auto &row : folderItems_)
      if (!row->isDirectory && row->fileType() == DirItemInfo::kFileTypeImage) {
        if (row->name() == entry->name())
          request.localFileArrayIndex = static_cast<int>(request.localFileArray.size());
        request.localFileArray.push_back(row->name());
      }
  LocalFilesServices::shared().showDocumentViewer(request);
}

void LocalFolderViewController::clickEdit() {
  auto entry = checkedItemOrReset();
  if (!entry) return;
  editSavedFile(entry->name(), getPath() + "/" + entry->name());
}

void LocalFolderViewController::clickEmail() {
  auto entry = checkedItemOrReset();
  if (!entry) return;
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
  MailService::send(message, [](bool sent) {
    if (!sent) showMailNotStarted();
  });
}

void LocalFolderViewController::openIn(const Target &target) {
  DocumentInteraction::openInMenu(getPath() + "/" + target.name, [](bool opened) {
    if (!opened) showCannotOpenFile();
  });
}

void LocalFolderViewController::importBookmarks(const Target &target) {
  sqlite3 *db = OpenDatabase();
  BookmarkImportCounts counts;
  if (db) {
    counts = importBookmarksFile(db, getPath() + "/" + target.name);
    sqlite3_close(db);
  }
  alert("Bookmark Import", bookmarkImportMessage(counts));
}

// --- Uploads -----------------------------------------------------------------------------------

void LocalFolderViewController::clickUpload() {
  auto entry = checkedItemOrReset();
  if (!entry) return;
  const auto remote =
      uploadFolderOrSay("Connect to a Server and browse to the folder where you want the file "
                        "to be uploaded.\n\nThen touch Upload again.");
  if (!remote || !stillThere(Target{entry->name(), false})) return;
  LocalFilesServices::shared().addBatchItemInShownFolder(3, entry->name(), *remote, rowSize(*entry),
                                                         getPath() + "/" + entry->name(), true);
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
      if (withFolders) uploadFolderInto(row->name(), remote, false);
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
  uploadFolderInto(relative, remote, true);
}

// Queues the folder as a remote folder to make, then everything under it: each sub-folder before
// its files, walked without leaving the folder.
bool LocalFolderViewController::uploadFolderInto(const std::string &relative,
                                                 const std::string &remoteBase, bool shown) {
  auto &services = LocalFilesServices::shared();
  auto queue = [&](int action, const std::string &name, const std::string &remote, int64_t size,
                   const std::string &local) {
    if (shown)
      services.addBatchItemInShownFolder(action, name, remote, size, local, true);
    else
      services.addBatchItem(action, name, remote, size, local, true);
  };
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
  queue(6, leafOf(relative), remoteOf(relative), 0, "");
  walkTree(getPath() + "/" + relative, [&](const TreeEntry &e) {
    const std::string rel = relative + "/" + e.relative;
    if (e.isDirectory)
      queue(6, leafOf(rel), remoteOf(rel), 0, "");
    else
      queue(10, leafOf(rel), remoteOf(rel), static_cast<int64_t>(e.size), e.path);
    return true;
  });
  return true;
}
