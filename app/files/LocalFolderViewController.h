// The local file manager: one screen per folder level of Saved Files (Documents/"Files") or of
// the folder shared with the desktop (Documents itself). It lists, filters and sorts the folder,
// watches the shared folder for changes, and offers the file commands: sheets for the folder and
// for each row, name prompts, moves, archives, viewing and editing, mail, "Open In", bookmark
// import and uploads into the transfer queue.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/foundation/DirItemInfo.h"
#include "app/queue/BatchServices.h"
#include "platform/foundation/FolderWatch.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

class TextPromptViewer;
class EditDataViewController;

class LocalFolderViewController : public platform::ui::ViewController,
                                  public platform::ui::TableViewDataSource,
                                  public platform::ui::TableViewDelegate,
                                  public platform::ui::SearchBarDelegate,
                                  public platform::ui::ActionSheetDelegate,
                                  public platform::ui::AlertViewDelegate,
                                  public LocalFolderScreen {
public:
  static constexpr const char *kCellIdentifier = "Ferrowen_LocalDirCell";
  enum EditButton { kView = 1, kEdit = 2, kNone = 3, kUnZip = 5, kUnTar = 6, kPlay = 7 };

  // An empty folder gives the Saved Files root; "./iTunes" the shared folder (with `shared`).
  static std::shared_ptr<LocalFolderViewController> make(const std::string &folder,
                                                         bool shared = false);
  LocalFolderViewController(const std::string &folder, bool shared);
  ~LocalFolderViewController() override;

  // Absolute path of the folder shown.
  std::string getPath() const;
  std::string currentFolder() const override;
  const std::string &folderPath() const { return currentFolder_; }
  bool sharedWithiTunes() const { return sharedWithiTunes_; }
  void loadFolderData() override;
  void reSort();
  void sortByDataColumn(int column);
  int sortColumn() const { return sortColumn_; }
  bool descending() const { return descending_; }
  const DirItemList &folderItems() const { return folderItems_; }
  int currentEditButton() const { return currentEditButton_; }
  void scrollToPercent(int percent);

  // Toolbar and navigation-bar actions.
  void clickRefresh();
  void clickSort();
  void clickMenuBtn();
  void clickUpload();
  void clickEmail();
  void clickView();
  void clickEdit();
  void clickUnZip();
  void uploadFolder(const std::string &relative);
  void importBookmarks();

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;

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

  bool searchBarShouldBeginEditing(platform::ui::SearchBar &) override;
  bool searchBarShouldEndEditing(platform::ui::SearchBar &) override;
  void textDidChange(platform::ui::SearchBar &, const std::string &text) override;
  void searchBarSearchButtonClicked(platform::ui::SearchBar &) override;
  void searchBarCancelButtonClicked(platform::ui::SearchBar &) override;

  void clickedButtonAtIndex(platform::ui::ActionSheet &sheet, int index) override;
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;

private:
  // The size text of a row as a number.
  static int64_t rowSize(const DirItemInfo &item);
  enum class Sheet { None, Sort, Folder, FileRow, FolderRow };
  void showEditViewButton(int kind, bool force);
  void doButtonStatesForIndexPath(std::optional<platform::ui::IndexPath> ip);
  void deselectCheckedRow();
  void clearSelection();
  std::shared_ptr<DirItemInfo> item(std::optional<platform::ui::IndexPath> ip) const;
  std::shared_ptr<DirItemInfo> actionItem() const;
  std::shared_ptr<DirItemInfo> checkedItemOrReset();
  void showSheet(std::shared_ptr<platform::ui::ActionSheet> sheet, Sheet kind);
  void alert(const std::string &title, const std::string &message);
  void confirm(const std::string &title, const std::string &message, const std::string &yes);
  void prompt(const std::string &title, const std::string &text, const std::string &label,
              void (LocalFolderViewController::*done)(TextPromptViewer &));
  void choose(const std::string &title, std::vector<std::string> items,
              std::vector<std::string> images, const std::string &label,
              void (LocalFolderViewController::*done)(EditDataViewController &));
  bool acceptableName(const std::string &name);
  bool filenameAlreadyInUse(const std::string &name);
  void answerFolderCommands(const std::string &button);
  void answerRow(const std::string &button);
  void doCreateFile(TextPromptViewer &p);
  void doCreateDirectory(TextPromptViewer &p);
  void doRenameFile(TextPromptViewer &p);
  void doCopyFile(TextPromptViewer &p);
  void renameOrCopy(TextPromptViewer &p, bool copy);
  void doMoveFile(EditDataViewController &list);
  void doZipFile(EditDataViewController &list);
  void enteredZipPassword(EditDataViewController &editor);
  void clickUnZip2();
  void showMoveList(bool folder);
  void showAddToZip();
  void compressFolder(const std::string &name);
  void uploadAll(bool withFolders);
  void openIn();
  void deleteAfterConfirm(bool allFiles);
  bool uploadFolderInto(const std::string &relative, const std::string &remoteBase);

  std::string currentFolder_;
  bool sharedWithiTunes_ = false;
  bool rootFolder_ = false;
  bool reallyIsRootFolder_ = false;
  int sortColumn_ = 0;
  bool descending_ = false;
  int currentEditButton_ = kNone;
  std::string searchString_;
  std::string zipPassword_;
  DirItemList folderItemsEverything_;
  DirItemList folderItems_;
  std::optional<platform::ui::IndexPath> saveIndexPath_;
  Sheet shownSheet_ = Sheet::None;
  std::string addToZipBase_;
  std::shared_ptr<platform::ui::TableView> tableView_;
  std::shared_ptr<platform::ui::Toolbar> theToolbar_;
  std::shared_ptr<platform::ui::SearchBar> searchBar_;
  std::shared_ptr<platform::ui::BarButtonItem> uploadBtn_, emailBtn_, menuBtn_;
  std::unique_ptr<platform::FolderWatch> watch_;
};
