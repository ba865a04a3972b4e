// The remote folder screen: one per folder level of the FTP tab, all sharing the browsing
// connection (an FTPConnection, or the SFTP service). An FTP connection fills the listing itself;
// the SFTP service delivers it through its delegate callbacks. The screen sorts, filters and
// shows it, and acts on entries and on the folder (downloads, viewing and editing, unpacking,
// rename, move, delete, new file and folder, raw commands, permissions).
//
// Every menu, confirmation and chooser is told apart by which one it is (the object the screen
// opened, and the entry it was opened for), never by the text it shows: titles and entries carry
// names that come from the server.
#pragma once

#include "app/files/FolderTable.h"
#include "app/foundation/DirItemInfo.h"
#include "app/ftp/FTPServices.h"
#include "app/queue/BatchServices.h"
#include "app/sftp/SFTPWrapper.h"

#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class FTPConnection;
class TextPromptViewer;
class ChmodViewController;
class PictureUpload;
class TableCellButton;

class DirViewer : public FolderTable,
                  public DirViewerScreen,
                  public RemoteFolderScreen,
                  public platform::ui::AlertViewDelegate,
                  public SFTPWrapperDelegate {
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

  // How long an SFTP error stays in the status toolbar before the folder toolbar returns.
  static constexpr double kErrorStatusSeconds = 6;

  // Which sheet is open.
  enum class Sheet { None, Sort, HeadTail, FolderCommands, Anonymous, RowMenu };
  // Which confirmation is open.
  enum class Confirm { None, FileDelete, FolderDelete, DeleteAllFiles };
  // One choice of the move chooser: where the entry goes.
  struct MoveTarget {
    enum Kind { Stay, Up, Folder } kind = Stay;
    std::shared_ptr<DirItemInfo> folder; // for Folder
  };

  static std::shared_ptr<DirViewer>
  initWithExistingConnection(std::shared_ptr<FTPConnection> connection,
                             const std::string &nibName = "DirViewer");
  // A screen with an FTP connection of its own, not yet connected.
  static std::shared_ptr<DirViewer> initWithNibName(const std::string &nibName = "DirViewer");
  // A screen of an SFTP connection; its folder starts as "." (the server's starting folder).
  static std::shared_ptr<DirViewer>
  initWithExistingSFTPConnection(std::shared_ptr<SFTPWrapper> connection,
                                 const std::string &nibName = "DirViewer");
  DirViewer(std::shared_ptr<FTPConnection> connection, std::shared_ptr<SFTPWrapper> sftp,
            const std::string &nibName);

  // The largest file opened whole for viewing or editing on this device.
  static int64_t fullFileLimit();
  // The right button for a checked entry (none: no entry).
  static EditButton buttonFor(const DirItemInfo *entry, bool anonymous);

  // DirViewerScreen (main thread; updateProgress from any thread).
  void updateProgress(float fraction) override;
  void updateProgressText(const std::string &text) override;
  std::string currentWorkingDirectory() const override { return currentWorkingDirectory_; }
  void setCurrentWorkingDirectory(const std::string &folder) override;
  // The folder with the bytes the FTP server named it with: every FTP action here names it so.
  RemoteName currentRemoteFolder() const override {
    return RemoteName::of(currentWorkingDirectory_, currentWorkingDirectoryBytes_);
  }
  void setCurrentRemoteFolder(const RemoteName &folder) override;
  RemoteName awaitedRemoteFolder() const override { return awaitedFolder_; }
  void replaceDirectory(const DirItemList &entries) override;
  void setLoadedDirectory(bool loaded) override;
  void showDirToolbar() override;
  void showWorkingToolbar() override;
  void showWorkingTextToolbar() override;
  void doButtonStates() override;
  void showEditSaveButton(int mode, bool force) override;
  bool showsConnection(const FTPConnection &c) const override { return theConnection.get() == &c; }

  void showAppropriateToolbar() override;
  void reloadTableView();
  void sortDirectory();
  // Filters and sorts the listing, keeping the sort column as this server's default.
  void reSort() override;
  // Opens a sub-folder of this one in a screen of its own (by a typed name, or by its entry).
  void changeDirectory(const std::string &folder);
  void changeDirectory(const DirItemInfo &folder);
  bool filenameExists(const std::string &name) const;
  bool filenameAlreadyInUse(const std::string &name);
  // One key per visible entry name, each with the value "1".
  std::map<std::string, std::string> getFolderContentsDictionary() const;
  // SFTP: the path of an entry of this folder (or of a typed name), in the bytes it goes to the
  // server in.
  std::string remotePathOf(const RemoteName &name) const;

  // Actions.
  void clickRefresh();
  void clickSort();
  void clickDownloadBtn();
  void clickEditBtn();
  // Download and unpack the checked archive into Saved Files.
  void clickUnZip();
  void clickUnTar();
  void clickMenuBtn();
  void deselectSelectedRow();
  void deselectCheckedRow();
  // The row's menu button: as a tap on the row's accessory.
  void clickedTableButton(TableCellButton &button);
  // Unmarks the checked row as drawn (a new selection is on its way).
  void deselectOldRow();
  // Draws the row's folder cell as marked or not.
  void setIndexPath(platform::ui::IndexPath ip, bool selected);
  // The progress toolbar's stop button: it only gives the folder toolbar back.
  void clickCancelBtn() { showDirToolbar(); }
  // The sort again (the list reloaded).
  void clickReSort();
  void reselectRow() {} // the checked row is drawn by the reload itself
  // The browsing FTP connection's own disconnect.
  void clickDisconnect();
  // The toolbar for the connection's state.
  void updateDirectory() { showAppropriateToolbar(); }
  // The progress bar at a fraction given as a number (any thread).
  void doUpdateProgress(double fraction) { updateProgress(float(fraction)); }
  // A 0.75 s animation over the screen's view, changing nothing.
  void showNewView();
  // Downloads from here go where the queue puts them: no folder of this screen's own.
  std::string getSavedFilesDownloadPath() const { return {}; }
  // Nothing is uploaded from a remote folder's own button; nor do these do anything here.
  void clickUploadBtn() {}
  void deselectRow() {}
  void doAccessoryFor(platform::ui::IndexPath) {}

  // Prompt answers.
  void doRenameFile(TextPromptViewer &prompt);
  // The chooser's row: 0 stays, any other moves the entry to the target that row was made from.
  void doMoveFile(int rowSelected);
  void doCreateFile(TextPromptViewer &prompt);
  void doCreateDirectory(TextPromptViewer &prompt);
  void doRawCommand(TextPromptViewer &prompt);
  void clickDoChmod(ChmodViewController &editor);

  // Views and state.
  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
  void didReceiveMemoryWarning() override;

  // SFTPWrapperDelegate (main thread).
  void connectError(SFTPWrapper &, const std::string &text) override;
  void loginError(SFTPWrapper &, const std::string &text) override;
  void sftpError(SFTPWrapper &, const std::string &text) override;
  void connectStatus(SFTPWrapper &, const std::string &text) override;
  void progress(SFTPWrapper &, float fraction) override;
  void gotDirectory(SFTPWrapper &, const std::vector<std::shared_ptr<DirItemInfo>> &) override;
  void downloadedFile(SFTPWrapper &, const std::string &path) override;
  void downloadError(SFTPWrapper &, const std::string &text) override;
  void uploadError(SFTPWrapper &, const std::string &text) override;
  void dirError(SFTPWrapper &, const std::string &text) override;
  void errorStatus(SFTPWrapper &, const std::string &text) override;
  void sftpConnectionShouldRefreshDirectory(SFTPWrapper &) override;
  void sftpConnectionDone(SFTPWrapper &) override;

  // RemoteFolderScreen: the queue lists the folder again after its uploads into it.
  RemoteFolderPlace remoteFolderPlace() const override;
  void listFolderAgain() override { clickRefresh(); }
  // Runs an operation of the SFTP service on a thread of its own, after the operations asked for
  // before it; its reports come to this screen. Main thread.
  void runOnService(const std::string &what, std::function<void(SFTPWrapper &)> op);
  // SFTP operations this screen started that have not ended (their reports delivered).
  int sftpOperationsRunning() const { return sftpRunning_; }

  std::optional<platform::ui::IndexPath>
  willSelectRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  void didSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void accessoryButtonTappedForRowWithIndexPath(platform::ui::TableView &,
                                                platform::ui::IndexPath ip) override;
  void clickedButtonAtIndex(platform::ui::ActionSheet &sheet, int index) override;
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;

  std::shared_ptr<FTPConnection> theConnection;
  std::shared_ptr<SFTPWrapper> sftpConnection;
  // Told once how the connection that pushed this screen came out: true at its first listing,
  // false when an SFTP connect, login or listing failed first (an FTP connection reports its
  // failures itself).
  std::function<void(bool listed)> whenConnected;
  // SFTP: the user's root folder on the server (for the absolute path of a new folder).
  std::string originalRootDir;
  bool rootFolder = false, loadedDirectory = false, hasVideoMedia = false;
  // A screen put beneath a folder opened further down (a reopen's folder): it lists its own
  // folder when it is first shown.
  bool listWhenShown = false;
  int currentToolbar = 0, currentEditButton = 0;
  std::string currentTitle;
  // The folder table's listing, search and views under the names this screen has always had.
  int &sortColumn = sortColumn_;
  bool &descending = descending_;
  std::string &searchString = searchString_;
  DirItemList &currentDirectoryEverything = folderItemsEverything_,
              &currentDirectory = folderItems_;
  // The checked entry's row as shown (none: nothing checked, or hidden by the search). The entry
  // is kept by name: this row follows it when the list changes.
  std::optional<int> saveIndexPath;
  std::shared_ptr<platform::ui::TableView> &tableView = tableView_;
  std::shared_ptr<platform::ui::Toolbar> &theToolbar = theToolbar_;
  std::shared_ptr<platform::ui::ProgressView> progressBar;
  std::shared_ptr<platform::ui::Label> progressText;
  std::shared_ptr<platform::ui::BarButtonItem> downloadBtn, sortBtn, moreBtn;
  // Made with the progress toolbar, never put on it.
  std::shared_ptr<platform::ui::BarButtonItem> cancelBtn;
  // Positions of the entries of the open menu, -1 when not offered.
  int deleteBtnIndex = -1, downloadBtnIndex = -1, renameBtnIndex = -1, moveBtnIndex = -1,
      chmodBtnIndex = -1, rawBtnIndex = -1;
  // The choices of the open move chooser, row by row.
  std::vector<MoveTarget> moveTargets;
  // The raw command texts, shared by every screen of the process.
  static std::string rawPrefix, rawLast;

private:
  FolderRowLook rowLook(const DirItemInfo &entry, platform::ui::IndexPath ip) const override;
  std::shared_ptr<platform::ui::TableViewCell> makeRowCell() override;
  bool rowDeletable(const std::shared_ptr<DirItemInfo> &entry) const override {
    return entry && !entry->isDirectory;
  }
  // Entries whose names read alike are two files: the checked one is kept by its bytes too.
  std::string checkKey(const DirItemInfo &entry) const override { return entry.remoteName().key(); }
  void deleteRow(platform::ui::IndexPath ip, const std::shared_ptr<DirItemInfo> &entry) override;
  void checkedMoved() override;
  // Checks the entry of a shown row (none, or a row not shown: nothing is checked).
  void checkRow(std::optional<int> row);
  std::string serverName() const;
  std::shared_ptr<DirItemInfo> entryAt(std::optional<int> row) const;
  // The highlighted row's entry, else the checked row's.
  std::shared_ptr<DirItemInfo> actedEntry() const;
  bool anonymous() const;
  bool rawOffered() const;
  void doSelectRowAtIndexPath(int row);
  void clickUnpack(bool zip);
  // Opens a sheet: on iPad from the button (or the row) that asked for it, on iPhone from the tab
  // bar.
  void openSheet(std::shared_ptr<platform::ui::ActionSheet> sheet, Sheet kind,
                 const std::shared_ptr<platform::ui::BarButtonItem> &from = nullptr,
                 std::optional<int> fromRow = std::nullopt);
  void confirm(Confirm kind, const std::string &title, const std::string &message,
               const std::string &button);
  void sheetsAnswer(Sheet kind, int index);
  void pushPrompt(const std::string &title, const std::string &text, const std::string &label,
                  std::function<void(DirViewer &, TextPromptViewer &)> answer, bool raw = false);
  void queueDownload(const DirItemInfo &entry, const std::string &local, bool clean, bool kick);
  void fetchForViewing(const DirItemInfo &entry, bool head, bool tail);
  void removeVisible(const std::shared_ptr<DirItemInfo> &entry);
  void showSftpError(const std::string &text, bool folderToolbarLater);
  void connectionCameOut(bool listed);
  void refreshSftp();
  void titleView();
  bool sftpBusy() const;
  // The sort or folder-command sheet, or the picture source sheet or picker, is up: neither menu
  // opens over them.
  bool menuShowing() const;
  void menuAnswer(int index);
  void openMoveChooser(const std::shared_ptr<DirItemInfo> &entry);
  void moveEntry(const DirItemInfo &entry, const RemoteName &targetFolder);
  // An entry of this folder as the FTP server names it: the folder and the name, bytes and all.
  RemoteName remoteEntryPath(const DirItemInfo &entry) const;
  void folderCommand(int index);
  std::weak_ptr<DirViewer> weakSelf() {
    return std::static_pointer_cast<DirViewer>(sharedAs<DirViewer>());
  }

  // "Upload Picture" in progress.
  std::shared_ptr<PictureUpload> pictureUpload_;
  std::shared_ptr<DirItemInfo> menuEntry_; // the entry of the open row menu or prompt
  // The open sheet and which one it is; the open confirmation, which one, and its entry.
  std::shared_ptr<platform::ui::ActionSheet> openSheet_;
  Sheet openSheetKind_ = Sheet::None;
  std::shared_ptr<platform::ui::AlertView> openConfirm_;
  Confirm openConfirmKind_ = Confirm::None;
  std::shared_ptr<DirItemInfo> confirmEntry_;
  std::shared_ptr<platform::ui::BarButtonItem> editBtn_;
  std::shared_ptr<platform::ui::ActivityIndicatorView> activity_;
  std::string currentWorkingDirectory_;
  std::optional<std::string> currentWorkingDirectoryBytes_;
  RemoteName awaitedFolder_; // see awaitedRemoteFolder
  // Counts the status texts shown: an error's return to the folder toolbar is for its own text.
  unsigned statusGeneration_ = 0;
  // The status text shown is an SFTP error, which stays its while.
  bool errorShown_ = false;
  // SFTP head or tail of a big file: which part is wanted of the file being fetched.
  enum class Part { Whole, Head, Tail } pendingPart_ = Part::Whole;
  std::string pendingPartFolder_, pendingPartRemote_;
  // SFTP operations started by this screen that have not ended yet.
  int sftpRunning_ = 0;
  // A listing of this screen's folder is waiting for its turn.
  std::shared_ptr<std::atomic<bool>> refreshQueued_ = std::make_shared<std::atomic<bool>>(false);
};
