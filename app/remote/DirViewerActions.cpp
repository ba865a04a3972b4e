// The remote folder's actions: the commands on an entry (download, view, edit, unpack, the row's
// sheet) and on the folder (the menu sheet), their confirmations and name prompts, and what each
// answer does through the FTP connection or the SFTP service.
#include "app/remote/DirViewer.h"

#include "app/foundation/DirTableCell.h"
#include "app/foundation/EditDataViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/foundation/TextPromptViewer.h"
#include "app/ftp/FTPConnection.h"
#include "app/queue/BatchListView.h"
#include "app/remote/ChmodViewController.h"
#include "app/remote/UploadPictureView.h"

#include "app/foundation/AppDelegateServices.h"

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <algorithm>
#include <fstream>
#include <future>
#include <mutex>

using namespace platform::ui;
using platform::Log;
using platform::UserDefaults;

namespace {
const char kRawHelpURL[] = "http://www.ferrowen.example/help/raw-ftp-commands.html";
const char kRawExtra[] = "Advanced!  You will need to know some details about the FTP protocol "
                         "to use this feature.  Touch ? for help.";

int64_t sizeOf(const DirItemInfo &e) {
  return std::strtoll(e.size.c_str(), nullptr, 10);
}

std::shared_ptr<BatchListView> queue() {
  auto s = FTPAppServices::shared();
  return s ? std::dynamic_pointer_cast<BatchListView>(s->batchView()) : nullptr;
}

bool isMedia(int type) {
  return type == DirItemInfo::kFileTypeImage || type == DirItemInfo::kFileTypeDocument ||
         type == DirItemInfo::kFileTypeVideo || type == DirItemInfo::kFileTypeAudio;
}
} // namespace

// --- Entry actions -------------------------------------------------------------------------------

void DirViewer::queueDownload(const DirItemInfo &e, const std::string &local, bool clean,
                              bool kick) {
  auto q = queue();
  if (!q) return;
  if (sftpConnection) {
    // A folder goes as a folder download of the SFTP queue: its parent and its name.
    // The row names them by the bytes the server named them with.
    if (e.isDirectory)
      q->addBatchItemAction(33, e.remoteName(), currentRemoteFolder(), 0, sftpConnection->server(),
                            sftpConnection->port(), sftpConnection->username(),
                            sftpConnection->password(), "sftp", local, clean, kick);
    else
      q->addBatchItemAction(2, e.remoteName(), currentRemoteFolder(), sizeOf(e), nullptr,
                            sftpConnection, local, clean, kick);
    return;
  }
  if (!theConnection) return;
  // The row names the file (or folder) by the bytes the server named it with.
  if (e.isDirectory)
    q->addBatchItemAction(1, e.remoteName(), remoteEntryPath(e), 0,
                          theConnection->currentServerName(), theConnection->currentPort(),
                          theConnection->loginUser(), theConnection->loginPass(),
                          theConnection->fSecureLogin() ? "ftps" : "ftp", local, clean, kick);
  else
    q->addBatchItemAction(2, e.remoteName(), currentRemoteFolder(), sizeOf(e), theConnection,
                          nullptr, local, clean, kick);
}

void DirViewer::clickDownloadBtn() {
  if (auto e = entryAt(saveIndexPath)) queueDownload(*e, "", false, true);
}

void DirViewer::fetchForViewing(const DirItemInfo &e, bool head, bool tail) {
  if (sftpConnection) {
    const std::string remote = remotePathOf(e.remoteName());
    std::string folder;
    if (head || tail) {
      // The service fetches whole files: the file comes into a folder of its own and the part
      // wanted is cut from it there.
      folder = platform::Paths::tmp() + "/sftp-part";
      platform::FileManager::createDirectory(folder, true);
      pendingPart_ = head ? Part::Head : Part::Tail;
      pendingPartFolder_ = folder;
      pendingPartRemote_ = remote;
    } else {
      pendingPart_ = Part::Whole;
    }
    const bool whole = !head && !tail;
    runOnService("download", [remote, folder, whole](SFTPWrapper &s) {
      s.setupToDownloadThisFile(remote, folder, whole);
      s.downloadFile();
    });
    showWorkingTextToolbar();
    return;
  }
  if (!theConnection) return;
  theConnection->downloadFile(e.remoteName(), sizeOf(e), true, false, currentRemoteFolder(), head,
                              tail, 0);
  showWorkingToolbar();
}

void DirViewer::clickEditBtn() {
  auto e = entryAt(saveIndexPath);
  if (!e || e->isDirectory) return;
  if (!isMedia(e->fileType()) && sizeOf(*e) > fullFileLimit()) {
    menuEntry_ = e;
    openSheet(std::make_shared<ActionSheet>(
                  "The Full File is Too Big to Edit", std::weak_ptr<ActionSheetDelegate>(),
                  "Cancel", "",
                  std::vector<std::string>{"View Beginning (Head)", "View End (Tail)"}),
              Sheet::HeadTail, editBtn_);
    return;
  }
  fetchForViewing(*e, false, false);
}

void DirViewer::clickUnZip() {
  clickUnpack(true);
}

void DirViewer::clickUnTar() {
  clickUnpack(false);
}

void DirViewer::clickUnpack(bool zip) {
  auto e = entryAt(saveIndexPath);
  if (!e) return;
  queueDownload(*e, "", true, true);
  auto &defaults = UserDefaults::standard();
  const char *key = zip ? "ShownUnZipMessage" : "ShownUnTarMessage";
  if (defaults.integerForKey(key) == 1) return;
  defaults.setObject("1", key);
  defaults.synchronize();
  showOnMainThread(std::make_shared<AlertView>(
      zip ? "Download and UnZip" : "Download and UnTar",
      zip ? "When UnZipping, the file is downloaded to \"Saved Files\" and UnZipped into a folder "
            "there."
          : "When UnTaring, the file is downloaded to \"Saved Files\" and UnTared into a folder "
            "there.",
      std::weak_ptr<AlertViewDelegate>(), "OK"));
}

void DirViewer::openSheet(std::shared_ptr<ActionSheet> sheet, Sheet kind,
                          const std::shared_ptr<BarButtonItem> &from, std::optional<int> fromRow) {
  sheet->setDelegate(std::weak_ptr<ActionSheetDelegate>(sharedAs<DirViewer>()));
  sheet->setTag(int(kind));
  openSheet_ = sheet;
  openSheetKind_ = kind;
  if (Hardware::isiPad() && fromRow && tableView) {
    sheet->showFromRect(tableView->rectForRowAtIndexPath(IndexPath{0, *fromRow}), tableView, true);
  } else if (Hardware::isiPad() && from) {
    sheet->showFromBarButtonItem(from, true);
  } else if (auto tabs = tabBarController()) {
    sheet->showFromTabBar(tabs->tabBar());
  } else {
    sheet->showInView(view());
  }
}

void DirViewer::confirm(Confirm kind, const std::string &title, const std::string &message,
                        const std::string &button) {
  openConfirm_ = std::make_shared<AlertView>(
      title, message, std::weak_ptr<AlertViewDelegate>(sharedAs<DirViewer>()), "Cancel",
      std::vector<std::string>{button});
  openConfirm_->setTag(int(kind));
  openConfirmKind_ = kind;
  confirmEntry_ = menuEntry_ ? menuEntry_ : entryAt(saveIndexPath);
  showOnMainThread(openConfirm_);
}

void DirViewer::accessoryButtonTappedForRowWithIndexPath(TableView &table, IndexPath ip) {
  auto e = entryAt(ip.row);
  if (!e) return;
  // The tapped row becomes the checked row (marked when it is a file), highlighted while its
  // menu is open, and the buttons follow it; the menu keeps its own entry, whatever a new
  // listing does to the rows meanwhile.
  checkRow(ip.row);
  doButtonStates();
  table.reloadData(); // the marks as they now are
  table.selectRowAtIndexPath(ip, false, TableViewScrollPosition::None);
  menuEntry_ = e;
  const bool folder = e->isDirectory;
  // The destructive entry comes first (0); the others follow in this order, when offered.
  std::vector<std::string> items;
  auto offer = [&](bool offered, int &index, const char *text) {
    index = -1;
    if (!offered) return;
    items.push_back(text);
    index = int(items.size()); // after the destructive entry
  };
  deleteBtnIndex = 0;
  offer(folder, downloadBtnIndex, "Download Folder");
  offer(true, renameBtnIndex, folder ? "Rename Folder" : "Rename File");
  // A move is a rename into another folder; the SFTP screens offer the rename alone.
  offer(theConnection != nullptr, moveBtnIndex, folder ? "Move Folder" : "Move File");
  offer((theConnection && theConnection->canDoChmod()) || sftpConnection, chmodBtnIndex,
        "Permissions (CHMOD)");
  offer(rawOffered(), rawBtnIndex, "Raw FTP Command");
  openSheet(std::make_shared<ActionSheet>(e->name(), std::weak_ptr<ActionSheetDelegate>(), "Cancel",
                                          folder ? "Delete Folder" : "Delete File", items),
            Sheet::RowMenu, nullptr, ip.row);
}

void DirViewer::clickMenuBtn() {
  if (menuShowing()) return;
  if (theConnection && anonymous()) {
    openSheet(std::make_shared<ActionSheet>("Anonymous Login; No Menu Commands",
                                            std::weak_ptr<ActionSheetDelegate>(), "Close"),
              Sheet::Anonymous, moreBtn);
    return;
  }
  std::vector<std::string> items{hasVideoMedia ? "Upload Picture/Video" : "Upload Picture",
                                 "Create File", "Create Directory", "Download All Files",
                                 "Download All Files & Folders"};
  rawBtnIndex = -1;
  if (rawOffered()) {
    items.push_back("Raw FTP Command");
    rawBtnIndex = int(items.size());
  }
  openSheet(std::make_shared<ActionSheet>("FTP Folder Commands",
                                          std::weak_ptr<ActionSheetDelegate>(), "Cancel",
                                          "Delete All Files", items),
            Sheet::FolderCommands, moreBtn);
}

void DirViewer::pushPrompt(const std::string &title, const std::string &text,
                           const std::string &label,
                           std::function<void(DirViewer &, TextPromptViewer &)> answer, bool raw) {
  auto weak = weakSelf();
  auto prompt = TextPromptViewer::initWithTitle(title, text, label, "TextPromptView",
                                                [weak, answer](TextPromptViewer &p) {
                                                  if (auto self = weak.lock()) answer(*self, p);
                                                });
  prompt->currentDirectory = currentDirectoryEverything;
  if (raw) {
    prompt->extraMessage = kRawExtra;
    prompt->helpURL = kRawHelpURL;
  }
  if (auto nav = navigationController()) nav->pushViewController(prompt, true);
}

void DirViewer::menuAnswer(int index) {
  auto e = menuEntry_;
  if (!e) return;
  const bool folder = e->isDirectory;
  if (index == deleteBtnIndex) {
    if (folder)
      confirm(Confirm::FolderDelete, "Confirm Folder Delete",
              Log::format("Folder \"%s\" will be deleted from the server.  (Folder may need to "
                          "be emptied to be deleted.)",
                          e->name().c_str()),
              "Delete");
    else
      confirm(Confirm::FileDelete, "Confirm File Delete",
              Log::format("\"%s\" will be deleted from the server.  Continue?", e->name().c_str()),
              "Delete");
  } else if (index == downloadBtnIndex) {
    queueDownload(*e, "", false, true);
    deselectSelectedRow();
  } else if (index == renameBtnIndex) {
    pushPrompt(folder ? "Rename Folder" : "Rename File", e->name(),
               folder ? "Rename Folder To:" : "Rename File To:",
               [](DirViewer &s, TextPromptViewer &p) { s.doRenameFile(p); });
  } else if (index == moveBtnIndex) {
    openMoveChooser(e);
  } else if (index == chmodBtnIndex) {
    auto editor = std::make_shared<ChmodViewController>("ChmodView");
    editor->name = e->name();
    editor->owner = e->owner;
    editor->group = e->group;
    editor->attribIn = e->attrib;
    auto weak = weakSelf();
    editor->setDoneTarget([weak](ChmodViewController &c) {
      if (auto self = weak.lock()) self->clickDoChmod(c);
    });
    if (auto nav = navigationController()) nav->pushViewController(editor, true);
  } else if (index == rawBtnIndex) {
    pushPrompt(
        "FTP Command", rawPrefix.empty() ? e->name() : rawPrefix + " " + e->name(),
        "Send Raw FTP Command:", [](DirViewer &s, TextPromptViewer &p) { s.doRawCommand(p); },
        true);
  } else {
    deselectSelectedRow();
  }
}

void DirViewer::openMoveChooser(const std::shared_ptr<DirItemInfo> &e) {
  std::vector<EditDataItem> items{EditDataItem("Leave in Current Folder")};
  std::vector<std::string> images{imageName(imageBlank24)};
  moveTargets = {MoveTarget{}};
  if (!rootFolder) {
    items.emplace_back("Up a Folder");
    images.push_back(imageName(imageUpFolder));
    moveTargets.push_back(MoveTarget{MoveTarget::Up, nullptr});
  }
  for (auto &d : currentDirectory)
    if (d->isDirectory && d != e) {
      items.emplace_back(d->name());
      images.push_back(imageName(imageFolder));
      moveTargets.push_back(MoveTarget{MoveTarget::Folder, d});
    }
  auto weak = weakSelf();
  auto chooser = EditDataViewController::initWithTitle(
      "Move " + e->name(), items, 0, e->isDirectory ? "Move Folder To..." : "Move File To...",
      "EditDataView", [weak](EditDataViewController &c) {
        if (auto self = weak.lock()) self->doMoveFile(c.rowSelected);
      });
  chooser->tableItemsAreStrings = true;
  chooser->doSelectorOnChange = false;
  chooser->tableItemImages = images;
  if (auto nav = navigationController()) nav->pushViewController(chooser, true);
}

void DirViewer::folderCommand(int index) {
  auto q = queue();
  if (index == rawBtnIndex && rawOffered()) {
    menuEntry_.reset();
    pushPrompt(
        "FTP Command", rawLast,
        "Send Raw FTP Command:", [](DirViewer &s, TextPromptViewer &p) { s.doRawCommand(p); },
        true);
    return;
  }
  switch (index) {
  case 0: {
    long n = std::count_if(currentDirectory.begin(), currentDirectory.end(),
                           [](const auto &e) { return !e->isDirectory; });
    menuEntry_.reset();
    confirm(Confirm::DeleteAllFiles, "Confirm Delete All Files",
            Log::format("This will delete %li files in the folder!  Continue?", n), "Delete All");
    return;
  }
  case 1:
    menuEntry_.reset();
    pictureUpload_ = std::make_shared<PictureUpload>(weakSelf());
    pictureUpload_->start();
    return;
  case 2:
    pushPrompt("Create File", "",
               "New File Name:", [](DirViewer &s, TextPromptViewer &p) { s.doCreateFile(p); });
    return;
  case 3:
    pushPrompt("Create Directory", "", "New Directory Name:",
               [](DirViewer &s, TextPromptViewer &p) { s.doCreateDirectory(p); });
    return;
  case 4:
  case 5:
    for (auto &e : currentDirectory)
      if (!e->isDirectory)
        queueDownload(*e, currentLocalFolder, false, false);
      else if (index == 5)
        queueDownload(*e, "", false, true);
    if (q) q->startAlwaysIfNoneInProgress();
    break;
  default:
    break;
  }
  deselectSelectedRow();
}

void DirViewer::clickedButtonAtIndex(ActionSheet &sheet, int index) {
  // Only the sheet this screen has open is answered here, by which one it is.
  if (&sheet != openSheet_.get()) return;
  auto keep = std::exchange(openSheet_, nullptr);
  const Sheet kind = std::exchange(openSheetKind_, Sheet::None);
  if (index < 0 || index == sheet.cancelButtonIndex()) {
    deselectSelectedRow();
    return;
  }
  sheetsAnswer(kind, index);
}

void DirViewer::sheetsAnswer(Sheet kind, int index) {
  switch (kind) {
  case Sheet::Sort:
    if (index >= 0 && index <= 2) sortByDataColumn(index);
    break;
  case Sheet::HeadTail:
    if (auto e = actedEntry(); e && index <= 1) fetchForViewing(*e, index == 0, index == 1);
    deselectSelectedRow();
    break;
  case Sheet::FolderCommands:
    folderCommand(index);
    break;
  case Sheet::RowMenu:
    menuAnswer(index);
    break;
  case Sheet::Anonymous:
  case Sheet::None:
    deselectSelectedRow();
    break;
  }
}

void DirViewer::removeVisible(const std::shared_ptr<DirItemInfo> &entry) {
  std::erase(currentDirectoryEverything, entry);
  sortDirectory(); // the rows below it move up; the checked entry follows its own
}

void DirViewer::clickedButtonAtIndex(AlertView &alert, int index) {
  // Only the confirmation this screen has open is answered here, by which one it is.
  if (&alert != openConfirm_.get()) return;
  auto keep = std::exchange(openConfirm_, nullptr);
  const Confirm kind = std::exchange(openConfirmKind_, Confirm::None);
  auto e = std::exchange(confirmEntry_, nullptr);
  if (index == 1) {
    if ((kind == Confirm::FileDelete || kind == Confirm::FolderDelete) && e) {
      const bool folder = kind == Confirm::FolderDelete;
      if (sftpConnection) {
        const std::string path = remotePathOf(e->remoteName());
        runOnService("delete", [path, folder](SFTPWrapper &s) {
          folder ? s.deleteDirectory(path) : s.deleteFile(path);
        });
      } else if (theConnection) {
        theConnection->deleteFile(e->remoteName(), currentRemoteFolder(), folder);
      }
      showWorkingTextToolbar();
      removeVisible(e);
    } else if (kind == Confirm::DeleteAllFiles) {
      std::vector<RemoteName> names;
      for (auto &d : currentDirectory)
        if (!d->isDirectory) names.push_back(d->remoteName());
      if (sftpConnection) {
        std::vector<std::string> paths;
        for (auto &n : names)
          paths.push_back(remotePathOf(n));
        // One after another on one thread: the service takes one operation at a time.
        runOnService("delete all", [paths](SFTPWrapper &s) {
          for (auto &p : paths)
            s.deleteFile(p);
        });
      } else if (theConnection && !names.empty()) {
        theConnection->deleteFileBatch(names, currentRemoteFolder(), false);
      }
      // Over FTP a folder without files asks nothing of the server, and so nothing would bring
      // the folder toolbar back: the screen stays as it is.
      if (sftpConnection || !names.empty()) showWorkingTextToolbar();
    }
  }
  deselectSelectedRow();
  deselectCheckedRow();
}

// --- Prompt answers ------------------------------------------------------------------------------

void DirViewer::doRenameFile(TextPromptViewer &prompt) {
  auto e = actedEntry();
  const std::string name = prompt.filename ? prompt.filename->text() : "";
  if (!e || name.empty() || name == e->name() || filenameAlreadyInUse(name)) return;
  deselectSelectedRow();
  deselectCheckedRow();
  if (sftpConnection) {
    const std::string from = remotePathOf(e->remoteName()), to = remotePathOf(name);
    runOnService("rename", [from, to](SFTPWrapper &s) { s.renameFile(from, to); });
  } else if (theConnection) {
    theConnection->renameFile(e->remoteName(), name, currentRemoteFolder());
  }
  showWorkingTextToolbar();
  e->setName(name);
  sortDirectory();
}

void DirViewer::doMoveFile(int rowSelected) {
  auto e = actedEntry();
  auto targets = std::exchange(moveTargets, {});
  if (!e || rowSelected <= 0 || size_t(rowSelected) >= targets.size()) return;
  const MoveTarget &target = targets[size_t(rowSelected)];
  deselectSelectedRow();
  deselectCheckedRow();
  if (target.kind == MoveTarget::Up)
    moveEntry(*e, "..");
  else if (target.kind == MoveTarget::Folder && target.folder)
    moveEntry(*e, target.folder->remoteName());
}

void DirViewer::moveEntry(const DirItemInfo &e, const RemoteName &targetFolder) {
  if (!theConnection) return;
  theConnection->renameFile(e.remoteName(),
                            targetFolder.child(e.remoteName(), theConnection->utf8Safe()),
                            currentRemoteFolder(), true);
  showWorkingTextToolbar();
}

void DirViewer::doCreateFile(TextPromptViewer &prompt) {
  const std::string name = prompt.filename ? prompt.filename->text() : "";
  if (name.empty() || filenameAlreadyInUse(name)) return;
  if (sftpConnection) {
    // The one-byte file is written in a folder of its own, under the name it gets on the server.
    if (!isSingleFileName(name)) return;
    const std::string folder = platform::Paths::tmp() + "/sftp-new";
    platform::FileManager::createDirectory(folder, true);
    const std::string local = folder + "/" + name;
    if (!platform::FileManager::writeAtomically(local, std::string_view(" "))) return;
    const std::string remote = remotePathOf(name);
    runOnService("new file", [local, remote](SFTPWrapper &s) {
      s.setupToUploadThisFile(local, remote);
      s.uploadFile();
      platform::FileManager::removeItem(local);
    });
  } else if (theConnection) {
    theConnection->uploadFile(name, FTPConnection::Bytes{' '}, currentRemoteFolder(), true);
  }
  showWorkingTextToolbar();
  deselectSelectedRow();
}

void DirViewer::doCreateDirectory(TextPromptViewer &prompt) {
  const std::string name = prompt.filename ? prompt.filename->text() : "";
  if (name.empty() || filenameAlreadyInUse(name)) return;
  if (sftpConnection) {
    // By absolute path: the user's root folder, this screen's folder, the name. A screen whose
    // folder is already absolute (a start folder given with the server) needs no root before it.
    const std::string inFolder = remotePathOf(name);
    const std::string path =
        platform::standardizePath(!inFolder.empty() && inFolder[0] == '/'
                                      ? inFolder
                                      : platform::appendPathComponent(originalRootDir, inFolder));
    runOnService("new folder", [path](SFTPWrapper &s) { s.createDirectory(path); });
  } else if (theConnection) {
    theConnection->makeDirectory(name, currentRemoteFolder());
  }
  showWorkingTextToolbar();
  deselectSelectedRow();
}

void DirViewer::doRawCommand(TextPromptViewer &prompt) {
  const std::string text = prompt.filename ? prompt.filename->text() : "";
  const std::string initial = prompt.originalFilename;
  if (!initial.empty() && myEndsWith(platform::lowercase(text), platform::lowercase(initial))) {
    rawPrefix = myTrimWS(text.substr(0, text.size() - initial.size()));
    rawLast = text;
  }
  if (theConnection && !text.empty()) theConnection->doRawFTPCommand(text, currentRemoteFolder());
  showWorkingTextToolbar();
  deselectSelectedRow();
}

void DirViewer::clickDoChmod(ChmodViewController &editor) {
  auto e = menuEntry_;
  if (!e) return;
  if (sftpConnection) {
    const std::string path = remotePathOf(e->remoteName());
    const int permissions = editor.attribInt;
    runOnService("permissions",
                 [path, permissions](SFTPWrapper &s) { s.changePermissions(path, permissions); });
    showWorkingTextToolbar();
  } else {
    if (theConnection)
      theConnection->chmodFile(e->remoteName(), currentRemoteFolder(), editor.attributes);
    showWorkingToolbar();
  }
  deselectSelectedRow();
}
