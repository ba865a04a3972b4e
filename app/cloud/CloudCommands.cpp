// The commands of the "Cloud Files" screen: sheets, confirmations and name prompts; every step
// that touches a file's bytes runs under a coordinated read or write on the cloud work queue and
// does its work on the main thread while the lock is held.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "app/cloud/iCloudFolderView.h"
#include "app/files/CopyAnimation.h"
#include "app/files/LocalFilesServices.h"
#include "app/files/MinizipArchive.h"
#include "app/files/PickedPicture.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/foundation/TextPromptViewer.h"
#include "app/ftp/FTPServices.h"
#include "platform/device/DocumentInteraction.h"
#include "platform/device/MailService.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/Image.h"

using namespace platform;
using namespace platform::ui;

namespace {

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

constexpr const char *kMediaTypes = ".mpg.mpeg.mp4.m4v.avi.mov.qt.3gp.flc..mp3.wav.aac.";
constexpr const char *kProductURL = "https://ferrowen.example/";

std::mutex sourceMutex;
std::shared_ptr<CloudMediaSource> theSource;

std::string typed(TextPromptViewer &p) {
  return p.filename ? p.filename->text() : p.originalFilename;
}

std::string tempFolder() {
  const std::string t = globalTempPath.empty() ? Paths::tmp() : globalTempPath;
  FileManager::createDirectory(t, true);
  return t;
}

bool endsWithNoCase(const std::string &s, const std::string &end) {
  return s.size() >= end.size() && lowercase(s.substr(s.size() - end.size())) == end;
}

} // namespace

std::shared_ptr<CloudMediaSource> CloudMediaSource::shared() {
  std::lock_guard lock(sourceMutex);
  return theSource;
}

void CloudMediaSource::setShared(std::shared_ptr<CloudMediaSource> source) {
  std::lock_guard lock(sourceMutex);
  theSource = std::move(source);
}

// --- Coordination -------------------------------------------------------------------------------

void iCloudFolderView::coordinated(const std::shared_ptr<DirItemInfo> &row, bool write, Step step) {
  auto queue = work_queue();
  if (!row || !queue) return;
  std::weak_ptr<iCloudFolderView> weak = sharedAs<iCloudFolderView>();
  const std::string url = row->iCloudURL;
  queue->async([weak, row, url, write, step] {
    auto accessor = [&](const std::string &path) {
      // The main-thread step runs while the lock is held; the queue thread waits for it.
      RunLoop::main()->performAndWait([&] {
        if (auto s = weak.lock()) (s.get()->*step)(HandOver{path, row});
      });
    };
    const bool ran = write ? CloudContainer::coordinateWriting(url, accessor)
                           : CloudContainer::coordinateReading(url, accessor);
    if (!ran) Log::system("Cloud Files: cannot coordinate " + withControlsEscaped(url));
  });
}

// --- Sheets -------------------------------------------------------------------------------------

void iCloudFolderView::showSheet(std::shared_ptr<ActionSheet> sheet, Sheet kind,
                                 std::optional<IndexPath> row) {
  shownSheet_ = kind;
  // iPad: a file's sheet comes from its row, the folder's from the menu button.
  if (iPAD && row && tableView_) {
    sheet->showFromRect(tableView_->rectForRowAtIndexPath(*row), tableView_, true);
    return;
  }
  if (iPAD && (kind == Sheet::Menu || kind == Sheet::Picture) && menuBtn_) {
    sheet->showFromBarButtonItem(menuBtn_, true);
    return;
  }
  if (auto tabs = tabBarController())
    sheet->showFromTabBar(tabs->tabBar());
  else
    sheet->showInView(view());
}

void iCloudFolderView::confirm(const std::string &title, const std::string &message,
                               const std::string &yes) {
  std::make_shared<AlertView>(
      title, message, std::static_pointer_cast<AlertViewDelegate>(sharedAs<iCloudFolderView>()),
      "Cancel", std::vector<std::string>{yes})
      ->show();
}

void iCloudFolderView::clickSort() {
  if (shownSheet_ == Sheet::Sort || shownSheet_ == Sheet::Menu) return;
  showSheet(sortSheet(), Sheet::Sort);
}

void iCloudFolderView::clickMenuBtn() {
  showSheet(
      std::make_shared<ActionSheet>(
          "Cloud Files Menu",
          std::static_pointer_cast<ActionSheetDelegate>(sharedAs<iCloudFolderView>()), "Cancel",
          "Delete All Files",
          std::vector<std::string>{"Import Picture/Video", "Create File", "Upload All Files"}),
      Sheet::Menu);
}

void iCloudFolderView::clickedTableButton(IndexPath ip) {
  auto entry = item(ip);
  if (!entry || entry->isDownloading) return;
  // The row becomes the selection as a tap makes it: checked, highlighted, the buttons following
  // it. The sheet keeps its own entry: a query update may move the rows while it is open.
  if (auto old = tableView_->indexPathForSelectedRow())
    tableView_->deselectRowAtIndexPath(*old, false);
  check(*entry);
  doButtonStatesForIndexPath(ip);
  tableView_->reloadData(); // the marks as they now are
  tableView_->selectRowAtIndexPath(ip, false, TableViewScrollPosition::None);
  if (entry->isDirectory) {
    tableView_->deselectRowAtIndexPath(ip, false);
    return;
  }
  sheetEntry_ = entry;
  std::vector<std::string> buttons;
  if (DocumentInteraction::canOpen()) buttons.push_back("Open In...");
  buttons.push_back("Copy From Cloud Files");
  showSheet(std::make_shared<ActionSheet>(
                entry->name(),
                std::static_pointer_cast<ActionSheetDelegate>(sharedAs<iCloudFolderView>()),
                "Cancel", "Delete File", buttons),
            Sheet::File, ip);
}

void iCloudFolderView::clickedButtonAtIndex(ActionSheet &sheet, int index) {
  const Sheet kind = shownSheet_;
  shownSheet_ = Sheet::None;
  const std::string button = sheetButton(sheet, index);
  switch (kind) {
  case Sheet::Sort:
    sortChosen(index, false);
    break;
  case Sheet::Menu:
    if (button == "Delete All Files") {
      deleteAllFiles_ = shownFiles();
      confirm("Confirm Deleting All Files",
              "All " + std::to_string(deleteAllFiles_.size()) +
                  " files in your Cloud Files will be deleted from ALL devices.  Continue?",
              "Delete All");
    } else if (button == "Import Picture/Video") {
      auto source = CloudMediaSource::shared();
      if (source && source->hasCamera())
        showSheet(std::make_shared<ActionSheet>(
                      "Picture/Video Importing",
                      std::static_pointer_cast<ActionSheetDelegate>(sharedAs<iCloudFolderView>()),
                      "Cancel", "", std::vector<std::string>{"Select from Library", "Use Camera"}),
                  Sheet::Picture);
      else if (source && source->hasLibrary())
        importMedia(false);
      else
        alert("Photo Error", "No camera or photo library was found!");
    } else if (button == "Create File") {
      prompt("Create File", "", "New File Name:", "", false, &iCloudFolderView::doCreateFile);
    } else if (button == "Upload All Files") {
      if (!ftpFolderOrSay()) break;
      for (const auto &row : shownFiles())
        coordinated(row, false, &iCloudFolderView::doClickUpload);
    }
    break;
  case Sheet::Picture:
    if (index == 0 || index == 1) importMedia(index == 1);
    break;
  case Sheet::File: {
    // The row whose button opened the sheet (kept for the delete question that may follow).
    auto entry = sheetEntry_ ? sheetEntry_ : actionItem();
    if (button != "Delete File") sheetEntry_.reset();
    if (!entry) break;
    if (button == "Delete File")
      confirm("Confirm File Delete",
              "\"" + entry->name() +
                  "\" will be deleted from your Cloud Files and ALL devices.  Continue?",
              "Delete");
    else if (button == "Open In...")
      coordinated(entry, true, &iCloudFolderView::doClickOpenWith);
    else if (button == "Copy From Cloud Files")
      coordinated(entry, true, &iCloudFolderView::doClickCopyFile);
    break;
  }
  case Sheet::None:
    break;
  }
  if (tableView_)
    if (auto ip = tableView_->indexPathForSelectedRow())
      tableView_->deselectRowAtIndexPath(*ip, false);
}

void iCloudFolderView::clickedButtonAtIndex(AlertView &alertView, int index) {
  const std::string &title = alertView.title();
  if (title == "Confirm File Delete" || title == "Confirm Folder Delete") {
    // The file the question named: its row's sheet, or its swipe.
    auto entry = std::exchange(sheetEntry_, nullptr);
    if (index != 1) return;
    if (!entry) entry = actionItem();
    if (entry) coordinated(entry, true, &iCloudFolderView::doClickDelete);
    if (auto ip = tableView_->indexPathForSelectedRow())
      tableView_->deselectRowAtIndexPath(*ip, true);
  } else if (title == "Confirm Deleting All Files") {
    const auto counted = std::exchange(deleteAllFiles_, {});
    if (index != 1) return;
    for (const auto &row : counted)
      coordinated(row, true, &iCloudFolderView::doClickDelete);
  } else if (title == "Send File or Link?") {
    auto entry = checkedEntry();
    if (!entry) return;
    if (index == 1) coordinated(entry, false, &iCloudFolderView::doClickEmail);
    if (index == 2) sendLink(entry);
  }
}

// --- View, edit, mail, upload --------------------------------------------------------------------

void iCloudFolderView::clickView() {
  if (auto entry = checkedItemOrReset()) coordinated(entry, false, &iCloudFolderView::doClickView);
}

void iCloudFolderView::doClickView(const HandOver &h) {
  if (myContains(kMediaTypes, "." + lowercase(myFileType(h.dinfo->name())) + ".")) {
    if (auto services = FTPAppServices::shared()) services->playMediaFile(h.path, false);
    return;
  }
  DocumentViewRequest request;
  request.name = h.dinfo->name();
  request.path = h.path;
  if (h.dinfo->fileType() == DirItemInfo::kFileTypeImage) {
    // The rows come from every sub-folder, so paging goes by each picture's own path; the viewer
    // is only ever handed a path that is still a row of this list.
    for (const auto &row : folderItems_)
      if (!row->isDirectory && row->fileType() == DirItemInfo::kFileTypeImage &&
          !row->iCloudURL.empty()) {
        if (row == h.dinfo)
          request.localFileArrayIndex = static_cast<int>(request.dataIndexArray.size());
        request.dataIndexArray.push_back(row->iCloudURL);
        request.localFileArray.push_back(row->name());
      }
    std::weak_ptr<iCloudFolderView> weak = sharedAs<iCloudFolderView>();
    request.source = [weak](const std::string &url) {
      auto s = weak.lock();
      if (!s) return std::string();
      for (const auto &row : s->folderItems_)
        if (row->iCloudURL == url) return url;
      return std::string();
    };
  }
  LocalFilesServices::shared().showDocumentViewer(request);
}

void iCloudFolderView::clickEdit() {
  auto entry = checkedItemOrReset();
  if (!entry) return;
  // The row's own path: the list holds the documents of every sub-folder.
  editSavedFile(entry->name(), entry->iCloudURL);
}

void iCloudFolderView::clickEmail() {
  auto entry = checkedItemOrReset();
  if (!entry) return;
  if (rowSize(*entry) <= kMailAttachLimit) {
    std::make_shared<AlertView>(
        "Send File or Link?",
        "Cloud Files can either attach the file to the email or send a Link for downloading the "
        "file instead.",
        std::static_pointer_cast<AlertViewDelegate>(sharedAs<iCloudFolderView>()), "Cancel",
        std::vector<std::string>{"Send File", "Send Link"})
        ->show();
    return;
  }
  sendLink(entry);
}

void iCloudFolderView::doClickEmail(const HandOver &h) {
  auto bytes = FileManager::contentsAtPath(h.path);
  if (!bytes) return;
  MailMessage message;
  message.attachments.push_back(MailAttachment{std::vector<uint8_t>(bytes->begin(), bytes->end()),
                                               myMimeType(h.dinfo->name()), h.dinfo->name()});
  if (settings().integerForKey("IncludeEmailLinks") == 1) {
    message.bodyIsHTML = true;
    message.body = "<b>" + htmlEscaped(h.dinfo->name()) + "</b> sent using <a href='" +
                   kProductURL + "'>Ferrowen</a>";
  }
  MailService::send(message, [](bool sent) {
    if (!sent) showMailNotStarted();
  });
}

// A public download link needs a publishing service, which a folder kept by a sync client does
// not have: say so, and never make up a link.
void iCloudFolderView::sendLink(const std::shared_ptr<DirItemInfo> &) {
  alert("File Link Error",
        "Unable to create a link for downloading the file.  Cloud Files on this computer is a "
        "folder kept by a sync program, which offers no public download links; send the file "
        "itself instead.");
}

bool iCloudFolderView::ftpFolderOrSay() {
  // Cloud Files uploads over the FTP tab's FTP connection only.
  auto &services = LocalFilesServices::shared();
  std::string remote;
  if (services.ftpConnected() && services.remoteBrowserFolder(&remote)) return true;
  alert("Not Connected", "Connect to an FTP Server and browse to the folder where you want the "
                         "file to be uploaded.\n\nThen touch Upload again.");
  return false;
}

void iCloudFolderView::clickUpload() {
  auto entry = checkedItemOrReset();
  if (!entry) return;
  if (!ftpFolderOrSay()) return;
  coordinated(entry, false, &iCloudFolderView::doClickUpload);
}

void iCloudFolderView::doClickUpload(const HandOver &h) {
  auto &services = LocalFilesServices::shared();
  services.addBatchItemInShownFolder(3, h.dinfo->name(), services.uploadFolder(), rowSize(*h.dinfo),
                                     h.path, true);
}

// --- Delete, "Open In", copy into Saved Files ----------------------------------------------------

void iCloudFolderView::doClickDelete(const HandOver &h) {
  auto queue = work_queue();
  const std::string path = h.path;
  auto remove = [path] {
    // Only a document of the container: never a folder, a link's target, or anything outside.
    struct stat st {};
    std::string error;
    if (!CloudContainer::contains(path))
      error = path + " is not in Cloud Files";
    else if (::lstat(path.c_str(), &st) != 0)
      error = std::string(std::strerror(errno)) + ": " + path;
    else if (S_ISDIR(st.st_mode))
      error = path + " is a folder";
    else if (::unlink(path.c_str()) != 0)
      error = std::string(std::strerror(errno)) + ": " + path;
    if (!error.empty()) Log::system("removeItemAtURLError: " + withControlsEscaped(error));
  };
  if (queue)
    queue->async(remove);
  else
    remove();
}

void iCloudFolderView::doClickOpenWith(const HandOver &h) {
  DocumentInteraction::openInMenu(h.path, [](bool opened) {
    if (!opened) showCannotOpenFile();
  });
}

void iCloudFolderView::doClickCopyFile(const HandOver &h) {
  const std::string name = lastPathComponent(h.path);
  if (!isSingleFileName(name)) return;
  const std::string files = Paths::documents() + "/Files";
  FileManager::createDirectory(files, true);
  const std::string target = files + "/" + name;
  // A file of that name in Saved Files is the person's own: it is kept, and the person is told
  // that no copy was made (nothing flies to the tab then).
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    alert("Cloud Files", "\"" + name +
                             "\" was not copied: Saved Files already has a file of that name, "
                             "which was kept.");
    return;
  }
  if (auto status = FileManager::copyItem(h.path, target); !status) {
    Log::system("Cloud Files: copy into Saved Files failed: " +
                withControlsEscaped(status.error()));
    alert("Cloud Files", "\"" + name + "\" could not be copied to Saved Files.");
    return;
  }
  // The row's icon flies to the Saved Files tab, which shows "+" for a while.
  std::optional<IndexPath> row;
  for (size_t r = 0; r < folderItems_.size(); ++r)
    if (folderItems_[r]->iCloudURL == h.dinfo->iCloudURL) row = IndexPath{0, static_cast<int>(r)};
  Rect from(0, 0, 44, 44);
  if (row && tableView_) {
    from = tableView_->rectForRowAtIndexPath(*row);
    from.origin.y -= tableView_->contentOffset().y;
    from.origin.y += tableView_->frame().origin.y;
  }
  auto icon = h.dinfo->imageForFileType();
  flyToSavedFilesTab(view(), from, icon ? icon->name : "", navigationController());
}

// --- New files ----------------------------------------------------------------------------------

void iCloudFolderView::prompt(const std::string &title, const std::string &text,
                              const std::string &label, const std::string &extra, bool imageChoice,
                              void (iCloudFolderView::*done)(TextPromptViewer &)) {
  std::weak_ptr<iCloudFolderView> weak = sharedAs<iCloudFolderView>();
  auto p = TextPromptViewer::initWithTitle(title, text, label, "TextPromptView",
                                           [weak, done](TextPromptViewer &v) {
                                             if (auto s = weak.lock()) (s.get()->*done)(v);
                                           });
  p->currentDirectory = folderItemsEverything_;
  p->extraMessage = extra;
  p->promptImageUpload = imageChoice;
  if (auto nav = navigationController()) nav->pushViewController(p, true);
}

// Names typed for new cloud files become one file of the folder: no "/", no NUL (or other control
// characters), not "." or "..".
void iCloudFolderView::doCreateFile(TextPromptViewer &p) {
  const std::string name = typed(p);
  if (!acceptableName(name, getPath()) || filenameAlreadyInUse(name)) return;
  const std::string temp = tempFolder() + "/" + name;
  FileManager::removeItem(temp);
  if (endsWithNoCase(name, ".zip")) {
    MinizipArchive zip;
    zip.CreateZipFile2(temp);
    zip.CloseZipFile2();
  } else {
    FileManager::writeAtomically(temp, std::string_view());
  }
  copyToCloud(temp, copyFailureAlert(name));
}

iCloudFolderView::CopyDone iCloudFolderView::copyFailureAlert(const std::string &name) {
  std::weak_ptr<iCloudFolderView> weak = sharedAs<iCloudFolderView>();
  return [weak, name](bool copied, const std::string &) {
    if (auto s = weak.lock(); s && !copied)
      s->alert("Cloud Files", "\"" + name + "\" could not be copied to Cloud Files.");
  };
}

void iCloudFolderView::importMedia(bool camera) {
  auto source = CloudMediaSource::shared();
  if (!source) return;
  const int quality =
      settings().objectForKey("VideoQuality") ? settings().integerForKey("VideoQuality") : -1;
  std::weak_ptr<iCloudFolderView> weak = sharedAs<iCloudFolderView>();
  source->pick(camera, quality >= 0 && quality <= 2 ? quality : -1, menuBtn_,
               [weak](std::optional<PickedMedia> media) {
                 if (auto s = weak.lock()) s->picked(std::move(media));
               });
}

void iCloudFolderView::picked(std::optional<PickedMedia> media) {
  if (!media) return;
  std::weak_ptr<iCloudFolderView> weak = sharedAs<iCloudFolderView>();
  if (media->isMovie) {
    videoFilePath_ = media->moviePath;
    const std::string suggested = media->suggestedName;
    RunLoop::main()->performAfter(seconds(0.01), [weak, suggested] {
      if (auto s = weak.lock())
        s->prompt("Video File Name", suggested, "Video File Name:",
                  "Videos are .mov type; .mov will be added to the file name if needed.", false,
                  &iCloudFolderView::doNameVideo);
    });
    return;
  }
  imageToSave_ = pictureToStore(media->image);
  const std::string suggested = media->suggestedName;
  RunLoop::main()->performAfter(seconds(0.01), [weak, suggested] {
    if (auto s = weak.lock())
      s->prompt("Import Picture", suggested, "File Name:", "", true,
                &iCloudFolderView::doNamePicture);
  });
}

void iCloudFolderView::doNameVideo(TextPromptViewer &p) {
  std::string name = typed(p);
  if (!endsWithNoCase(name, ".mov")) name += ".mov";
  if (!acceptableName(name, getPath()) || filenameAlreadyInUse(name) || videoFilePath_.empty())
    return;
  const std::string temp = tempFolder() + "/" + name;
  FileManager::removeItem(temp);
  if (!FileManager::copyItem(videoFilePath_, temp)) return;
  tempFilesToCleanup.push_back(temp);
  copyToCloud(temp, copyFailureAlert(name));
}

void iCloudFolderView::doNamePicture(TextPromptViewer &p) {
  auto image = std::move(imageToSave_);
  std::string name = typed(p);
  const size_t dot = name.rfind('.');
  const std::string ext = lowercase(dot == std::string::npos ? "" : name.substr(dot + 1));
  const bool png = p.segmentFileType && p.segmentFileType->selectedSegmentIndex() == 1;
  if (png) {
    if (!myContains(".png.", "." + ext + ".")) name += ".png";
  } else if (ext.empty() || !myContains(".jpg.jpeg.jpe.", "." + ext + ".")) {
    name += ".jpg";
  }
  if (!image || !acceptableName(name, getPath()) || filenameAlreadyInUse(name)) return;
  const auto data = png ? image->pngRepresentation() : image->jpegRepresentation(0.99);
  const std::string temp = tempFolder() + "/" + name;
  if (!FileManager::writeAtomically(temp, data)) return;
  tempFilesToCleanup.push_back(temp);
  copyToCloud(temp, copyFailureAlert(name));
}
