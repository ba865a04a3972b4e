// The local file manager: one screen per folder level of Saved Files (Documents/"Files") or of
// the folder shared with the desktop (Documents itself). It lists, filters and sorts the folder,
// watches the shared folder for changes, and offers the file commands: sheets for the folder and
// for each row, name prompts, moves, archives, viewing and editing, mail, "Open In", bookmark
// import and uploads into the transfer queue.
//
// The folder can change under any dialog (a finished download, an upload through a sharing
// server, the shared folder's watch all reload it), so nothing a dialog does is looked up by row:
// each sheet, alert and prompt keeps the item it was opened for by name, and its answer acts on
// that item or, when it is gone, says so and does nothing. The checked file is kept by name too
// (by the folder table).
// On the tablet the toolbar is at the top, sheets open from the button or row that opened them
// and the prompts and lists in popovers from the same place.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/files/FolderScreen.h"
#include "app/files/LocalFolderScreen.h"
#include "app/files/SavedFilesRooms.h"
#include "app/foundation/DirItemInfo.h"
#include "platform/foundation/FolderWatch.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

class TextPromptViewer;
class EditDataViewController;
class StagedUnpack;

class LocalFolderViewController : public FolderScreen,
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

  // Another screen wrote the file at `path` (the image editor's save, say): every screen of this
  // kind showing its folder lists it again, as one shown beside that screen (the tablet's left
  // pane) does not appear anew when the other screen closes. Main thread.
  static void fileWritten(const std::string &path);

  // Absolute path of the folder shown.
  std::string getPath() const;
  std::string currentFolder() const override;
  const std::string &folderPath() const { return currentFolder_; }
  bool sharedWithiTunes() const { return sharedWithiTunes_; }
  void loadFolderData() override;
  int currentEditButton() const { return currentEditButton_; }

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

  // The answer of a picture-resize dialog: the new file name, the typed width and height, the
  // picture's present size, and the format chosen (PNG, else JPEG).
  struct ResizeAnswer {
    std::string fileName;
    int width = 0, height = 0;
    int wIn = 0, hIn = 0;
    bool png = false;
  };
  // Writes the checked picture, redrawn at the typed size, to the folder under the new name.
  void doResizePicture(const ResizeAnswer &answer);

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;

  void didSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void accessoryButtonTappedForRowWithIndexPath(platform::ui::TableView &,
                                                platform::ui::IndexPath ip) override;

  void searchBarSearchButtonClicked(platform::ui::SearchBar &) override;

  void clickedButtonAtIndex(platform::ui::ActionSheet &sheet, int index) override;
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;
  using platform::ui::ActionSheetDelegate::didDismissWithButtonIndex;
  void didDismissWithButtonIndex(platform::ui::AlertView &alert, int index) override;

private:
  FolderRowLook rowLook(const DirItemInfo &entry, platform::ui::IndexPath ip) const override;
  bool rowDeletable(const std::shared_ptr<DirItemInfo> &entry) const override;
  // Listed, or on disk already (an item that came after the listing).
  bool nameTakenInFolder(const std::string &name) const override;
  void deleteRow(platform::ui::IndexPath ip, const std::shared_ptr<DirItemInfo> &entry) override;
  void checkedMoved() override;

  // An item of this folder as a dialog names it.
  struct Target {
    std::string name;
    bool isDirectory = false;
  };
  // Where a command was opened from: a toolbar button, or a row's rectangle in the table.
  struct Origin {
    std::shared_ptr<platform::ui::BarButtonItem> item;
    platform::ui::Rect rect;
  };
  // A move destination, as the list offered it.
  struct MoveTarget {
    enum class Kind { UpAFolder, SharedFolder, Folder, Cloud, PhotoLibrary } kind;
    std::string name;
  };
  enum class Sheet { None, Sort, Folder, FileRow, FolderRow, PictureFrom };
  enum class Confirm { DeleteItems, DeleteAllFiles };
  struct PendingConfirm {
    std::weak_ptr<platform::ui::AlertView> alert;
    Confirm kind;
    std::vector<Target> targets;
  };
  // An archive unpacked aside while the person is asked about the files it would change.
  struct PendingUnpack {
    std::weak_ptr<platform::ui::AlertView> alert;
    std::shared_ptr<StagedUnpack> staged;
    bool tar = false;
  };
  using PromptDone = std::function<void(TextPromptViewer &)>;
  using ListDone = std::function<void(EditDataViewController &)>;

  void showEditViewButton(int kind, bool force) override;
  void doButtonStatesForIndexPath(std::optional<platform::ui::IndexPath> ip);
  void deselectCheckedRow();
  void clearSelection();
  std::shared_ptr<DirItemInfo> checkedItemOrReset();
  // True when the item is still in the folder as it was named; otherwise says so.
  bool stillThere(const Target &target);
  Origin rowOrigin(platform::ui::IndexPath ip) const;
  void showSheet(std::shared_ptr<platform::ui::ActionSheet> sheet, Sheet kind, const Origin &from);
  // A dialog screen: pushed on the phone, in a popover from `from` on the tablet.
  void present(const std::shared_ptr<platform::ui::ViewController> &screen, const Origin &from);
  void confirm(const std::string &title, const std::string &message, const std::string &yes,
               Confirm kind, std::vector<Target> targets);
  // `imageChoice` shows the JPEG/PNG choice; `extra` is a note under the field.
  void prompt(const std::string &title, const std::string &text, const std::string &label,
              const Origin &from, PromptDone done, bool imageChoice = false,
              const std::string &extra = "");
  void choose(const std::string &title, std::vector<std::string> items,
              std::vector<std::string> images, const std::string &label, const Origin &from,
              ListDone done);
  void answerFolderCommands(const std::string &button);
  void answerRow(const std::string &button, const Target &target, const Origin &from);
  void doCreateFile(TextPromptViewer &p);
  void doCreateDirectory(TextPromptViewer &p);
  void renameOrCopy(TextPromptViewer &p, const Target &target, bool copy);
  void doMoveFile(EditDataViewController &list, const Target &target,
                  const std::vector<MoveTarget> &targets);
  void doZipFile(EditDataViewController &list, const Target &target,
                 const std::vector<std::string> &archives);
  void enteredZipPassword(EditDataViewController &editor, const Target &archive);
  void clickUnZip2(const Target &archive);
  void askToReplaceChangedFiles(std::shared_ptr<StagedUnpack> staged, const std::string &archive,
                                bool tar);
  void finishUnpack(StagedUnpack &staged, bool replaceChanged, bool tar);
  void showMoveList(const Target &target, const Origin &from);
  void showAddToZip(const Target &target, const Origin &from);
  void compressFolder(const Target &target);
  void importPicture();
  void pickMedia(bool camera);
  // The picker's popover (the tablet's) is on screen.
  bool picturePopoverShown() const;
  void picked(std::optional<PickedPictureOrVideo> media);
  void doNamePicture(TextPromptViewer &p);
  void doNameVideo(TextPromptViewer &p);
  // A picture or video of this folder the photo library can take.
  bool photoLibraryTakes(const std::shared_ptr<DirItemInfo> &entry) const;
  bool addToPhotoLibrary(const Target &target);
  void uploadAll(bool withFolders);
  void openIn(const Target &target);
  void importBookmarks(const Target &target);
  void deleteConfirmed(const PendingConfirm &confirm);
  // `shown`: `remoteBase` is the folder the FTP tab shows (else the browsing connection's).
  bool uploadFolderInto(const std::string &relative, const std::string &remoteBase, bool shown);

  std::string currentFolder_;
  bool sharedWithiTunes_ = false;
  bool rootFolder_ = false;
  bool reallyIsRootFolder_ = false;
  int currentEditButton_ = kNone;
  std::string zipPassword_;
  std::shared_ptr<platform::media::Image> imageToSave_; // the picked picture, until named
  std::string videoFilePath_;                           // the picked movie, until named
  Sheet shownSheet_ = Sheet::None;
  std::shared_ptr<platform::ui::ActionSheet> sheet_; // the sheet shown, while it is
  Target sheetTarget_;
  Origin sheetOrigin_;
  std::vector<PendingConfirm> confirms_;
  std::vector<PendingUnpack> unpacks_;
  std::shared_ptr<platform::ui::PopoverController> popover_;
  std::weak_ptr<platform::ui::PopoverController> imagePopover_; // the picker's, on the tablet
  std::shared_ptr<platform::ui::BarButtonItem> sortBtn_;
  std::unique_ptr<platform::FolderWatch> watch_;
};
