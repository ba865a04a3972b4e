#include "app/files/FolderScreen.h"

#include <algorithm>

#include "app/files/LocalFilesServices.h"
#include "app/foundation/DirTableCell.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/ftp/FTPServices.h"
#include "platform/device/MailService.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform::ui;

namespace {
platform::UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : platform::UserDefaults::standard();
}
} // namespace

FolderScreen::FolderScreen(const Shape &shape)
    : FolderTable(shape.nibName, {shape.cellIdentifier, shape.rowButton,
                                  shape.searchCancelWhileEditing ? SearchCancel::WhileEditing
                                                                 : SearchCancel::Never,
                                  shape.oneSelectedRow}) {}

std::vector<std::string> sortSheetTitles(int sortColumn, bool descending) {
  // A column shows the order a tap on it gives next.
  auto mark = [&](int column, const char *ascending, const char *descendingText) {
    if (column != sortColumn) return std::string();
    return std::string(descending ? ascending : descendingText);
  };
  return {"Sort by Name" + mark(0, " (a,b,c)", " (c,b,a)"),
          "Sort by Size" + mark(1, " (1,2,3)", " (3,2,1)"),
          "Sort by Date" + mark(2, " (1,2,3)", " (3,2,1)")};
}

std::shared_ptr<ActionSheet> FolderScreen::sortSheet() {
  return std::make_shared<ActionSheet>(
      "Sort Folder", std::static_pointer_cast<ActionSheetDelegate>(sharedAs<FolderScreen>()),
      "Cancel", "", sortSheetTitles(sortColumn_, descending_));
}

void FolderScreen::sortChosen(int index, bool synchronize) {
  if (index < 0 || index > 2) return;
  sortByDataColumn(index);
  settings().setObject(std::to_string(sortColumn_), kDefaultSortKey);
  if (synchronize) settings().synchronize();
}

std::string FolderScreen::sheetButton(ActionSheet &sheet, int index) {
  return index >= 0 && index < sheet.numberOfButtons() ? sheet.buttonTitleAtIndex(index) : "";
}

void FolderScreen::editSavedFile(const std::string &name, const std::string &path) {
  if (auto services = FTPAppServices::shared())
    if (auto editor = services->openTextEditor(path)) {
      editor->setTextFileName(name);
      editor->setEditingSavedFile(true);
      editor->setEditingSavedFilePath(path);
    }
}

// --- Toolbar -----------------------------------------------------------------------------------

std::vector<std::shared_ptr<BarButtonItem>>
FolderScreen::folderToolbarItems(std::shared_ptr<BarButtonItem> refresh,
                                 std::shared_ptr<BarButtonItem> sort) const {
  return {std::move(refresh),
          BarButtonItem::flexibleSpace(),
          std::move(sort),
          BarButtonItem::flexibleSpace(),
          BarButtonItem::flexibleSpace(),
          platform::MailService::canSendMail() ? emailBtn_ : BarButtonItem::fixedSpace(20),
          BarButtonItem::flexibleSpace(),
          uploadBtn_,
          BarButtonItem::flexibleSpace(),
          menuBtn_};
}

// --- Commands ---------------------------------------------------------------------------------

std::optional<std::string> FolderScreen::uploadFolderOrSay(const std::string &message) {
  auto &services = LocalFilesServices::shared();
  std::string remote;
  if (!services.browsingConnected() || !services.remoteBrowserFolder(&remote)) {
    alert("Not Connected", message);
    return std::nullopt;
  }
  return remote;
}

int FolderScreen::openingButton(const DirItemInfo &entry, int64_t editLimit, int play, int view,
                                int edit) {
  const int type = entry.fileType();
  if (type == DirItemInfo::kFileTypeAudio || type == DirItemInfo::kFileTypeVideo) return play;
  if (type == DirItemInfo::kFileTypeImage || type == DirItemInfo::kFileTypeDocument ||
      rowSize(entry) > editLimit)
    return view;
  return edit;
}

int64_t FolderScreen::editSizeLimit() {
  return textEditSizeLimit();
}

void FolderScreen::showFileButtons(int kind, bool enabled) {
  showEditViewButton(kind, false);
  uploadBtn_->setEnabled(enabled);
  emailBtn_->setEnabled(enabled);
}

// --- Names -------------------------------------------------------------------------------------

void FolderScreen::alert(const std::string &title, const std::string &message) {
  std::make_shared<AlertView>(title, message, std::weak_ptr<AlertViewDelegate>(), "OK")->show();
}

bool FolderScreen::acceptableName(const std::string &name, const std::string &folder) {
  std::string why;
  if (isSingleFileName(name, &why) && nameFitsFolder(folder, name, &why)) return true;
  alert("File Name Error", "That name cannot be used: " + why);
  return false;
}

DirItemList FolderScreen::shownFiles() const {
  DirItemList files;
  for (const auto &row : folderItems_)
    if (!row->isDirectory) files.push_back(row);
  return files;
}

bool FolderScreen::nameTakenInFolder(const std::string &name) const {
  return nameIsListed(folderItemsEverything_, name);
}

bool FolderScreen::filenameAlreadyInUse(const std::string &name) {
  if (!nameTakenInFolder(name)) return false;
  alert("File Name Error", "A file with that name already exists in the folder.");
  return true;
}
