// The remote folder screen: one per folder level of the FTP tab, all sharing the browsing
// connection. The connection fills its listing; the screen sorts, filters and shows it, and acts
// on entries and on the folder (downloads, viewing and editing, unpacking, rename, move, delete,
// new file and folder, raw commands, permissions).
#pragma once

#include "app/foundation/DirItemInfo.h"
#include "app/ftp/FTPServices.h"

#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class FTPConnection;
class TextPromptViewer;
class ChmodViewController;

class DirViewer : public platform::ui::ViewController,
                  public DirViewerScreen,
                  public platform::ui::TableViewDataSource,
                  public platform::ui::TableViewDelegate,
                  public platform::ui::SearchBarDelegate,
                  public platform::ui::ActionSheetDelegate,
                  public platform::ui::AlertViewDelegate {
public:
  static constexpr const char *kCellIdentifier = "Ferrowen_DirCell";
  // Files of this size or more are viewed, never edited (255 KiB + 1).
  static constexpr int64_t kEditLimit = 261121;
  // Right button modes.
  enum EditButton {
    kNone = 0,
    kView = 1,
    kEdit = 2,
    kNoButton = 3,
    kUnZip = 5,
    kUnTar = 6,
    kPlay = 7
  };

  static std::shared_ptr<DirViewer>
  initWithExistingConnection(std::shared_ptr<FTPConnection> connection,
                             const std::string &nibName = "DirViewer");
  DirViewer(std::shared_ptr<FTPConnection> connection, const std::string &nibName);

  // The largest file opened whole for viewing or editing on this device.
  static int64_t fullFileLimit();
  // The right button for a checked entry (none: no entry).
  static EditButton buttonFor(const DirItemInfo *entry, bool anonymous);

  // DirViewerScreen (main thread; updateProgress from any thread).
  void updateProgress(float fraction) override;
  void updateProgressText(const std::string &text) override;
  std::string currentWorkingDirectory() const override { return currentWorkingDirectory_; }
  void setCurrentWorkingDirectory(const std::string &folder) override;
  void replaceDirectory(const DirItemList &entries) override;
  void setLoadedDirectory(bool loaded) override { loadedDirectory = loaded; }
  void showDirToolbar() override;
  void showWorkingToolbar() override;
  void showWorkingTextToolbar() override;
  void doButtonStates() override;
  void showEditSaveButton(int mode, bool force) override;

  void showAppropriateToolbar();
  void sortDirectory();
  void reSort();
  void changeDirectory(const std::string &folder);
  void scrollToPercent(int percent);
  bool filenameExists(const std::string &name) const;
  bool filenameAlreadyInUse(const std::string &name);

  // Actions.
  void clickRefresh();
  void clickSort();
  void sortByDataColumn(int column);
  void clickDownloadBtn();
  void clickEditBtn();
  void clickUnpack(bool zip);
  void clickMenuBtn();
  void deselectSelectedRow();
  void deselectCheckedRow();

  // Prompt answers.
  void doRenameFile(TextPromptViewer &prompt);
  void doMoveFile(int rowSelected, const std::vector<std::string> &items);
  void doCreateFile(TextPromptViewer &prompt);
  void doCreateDirectory(TextPromptViewer &prompt);
  void doRawCommand(TextPromptViewer &prompt);
  void clickDoChmod(ChmodViewController &editor);

  // Views and state.
  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;

  int numberOfRowsInSection(platform::ui::TableView &, int) override;
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  bool canEditRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void commitEditingStyle(platform::ui::TableView &, platform::ui::TableViewCellEditingStyle,
                          platform::ui::IndexPath ip) override;
  std::optional<platform::ui::IndexPath>
  willSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void didSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void accessoryButtonTappedForRowWithIndexPath(platform::ui::TableView &,
                                                platform::ui::IndexPath ip) override;
  void textDidChange(platform::ui::SearchBar &, const std::string &text) override;
  void searchBarTextDidBeginEditing(platform::ui::SearchBar &bar) override;
  void searchBarTextDidEndEditing(platform::ui::SearchBar &bar) override;
  void searchBarSearchButtonClicked(platform::ui::SearchBar &bar) override;
  void searchBarCancelButtonClicked(platform::ui::SearchBar &bar) override;
  void clickedButtonAtIndex(platform::ui::ActionSheet &sheet, int index) override;
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;

  std::shared_ptr<FTPConnection> theConnection;
  bool rootFolder = false, loadedDirectory = false, descending = false;
  int sortColumn = -1, currentToolbar = 0, currentEditButton = 0;
  std::string currentTitle, searchString;
  DirItemList currentDirectoryEverything, currentDirectory;
  std::optional<int> saveIndexPath; // the checked row
  std::shared_ptr<platform::ui::TableView> tableView;
  std::shared_ptr<platform::ui::Toolbar> theToolbar;
  std::shared_ptr<platform::ui::ProgressView> progress;
  std::shared_ptr<platform::ui::Label> progressText;
  std::shared_ptr<platform::ui::BarButtonItem> downloadBtn;
  // The raw command texts, shared by every screen of the process.
  static std::string rawPrefix, rawLast;

private:
  std::string serverName() const;
  std::shared_ptr<DirItemInfo> entryAt(std::optional<int> row) const;
  // The highlighted row's entry, else the checked row's.
  std::shared_ptr<DirItemInfo> actedEntry() const;
  bool anonymous() const;
  bool rawOffered() const;
  void doSelectRow(int row);
  void openSheet(std::shared_ptr<platform::ui::ActionSheet> sheet);
  void pushPrompt(const std::string &title, const std::string &text, const std::string &label,
                  std::function<void(DirViewer &, TextPromptViewer &)> answer, bool raw = false);
  void queueDownload(const DirItemInfo &entry, const std::string &local, bool clean, bool kick);
  void fetchForViewing(const DirItemInfo &entry, bool head, bool tail);
  void removeVisible(const std::shared_ptr<DirItemInfo> &entry);
  void menuAnswer(const std::string &title);
  void folderCommand(int index);
  std::weak_ptr<DirViewer> weakSelf() {
    return std::static_pointer_cast<DirViewer>(sharedAs<DirViewer>());
  }

  std::shared_ptr<platform::ui::ActionSheet> openSheet_;
  std::shared_ptr<DirItemInfo> menuEntry_; // the entry of the open row menu or prompt
  std::shared_ptr<platform::ui::BarButtonItem> editBtn_;
  std::shared_ptr<platform::ui::ActivityIndicatorView> activity_;
  std::string currentWorkingDirectory_;
};
