// The "Cloud Files" screen: the documents of the cloud container (a folder kept in step with the
// person's other machines by a sync client), listed through the container's query, filtered and
// sorted, with the commands on each file (view or play, edit, mail, upload, "Open In", copy into
// Saved Files, delete on all devices) and on the folder (delete all, import a picture or video,
// create a file, upload all). Every command that touches a file's bytes runs coordinated (an
// advisory lock on the item) on the cloud work queue and hands its result to the main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/files/FolderScreen.h"
#include "app/foundation/DirItemInfo.h"
#include "platform/foundation/Dispatch.h"
#include "platform/media/CloudContainer.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

namespace platform::media {
class Image;
}
class TextPromptViewer;

// What the photo library (or a camera) hands to the cloud folder's import. The photo library is
// its own service; it installs an implementation with setShared. Without one there is neither a
// camera nor a library.
struct PickedMedia {
  bool isMovie = false;
  std::string moviePath;                         // a movie: the file the picker wrote
  std::shared_ptr<platform::media::Image> image; // a picture
  std::string suggestedName;                     // the picked file's own name, or empty
};

class CloudMediaSource {
public:
  virtual ~CloudMediaSource() = default;
  static std::shared_ptr<CloudMediaSource> shared();
  static void setShared(std::shared_ptr<CloudMediaSource> source);

  virtual bool hasCamera() { return false; }
  virtual bool hasLibrary() { return false; }
  // Opens the picker on the camera or the library with the setting's video quality (0-2, or -1
  // for the default); `done` runs on the main thread with the choice, or nothing when cancelled.
  // On the tablet a picker given a bar button opens in a 320 x 480 popover from it and answers
  // that popover; otherwise it is shown modally and answers none.
  virtual std::shared_ptr<platform::ui::PopoverController>
  pick(bool camera, int videoQuality, const std::shared_ptr<platform::ui::BarButtonItem> &from,
       std::function<void(std::optional<PickedMedia>)> done) = 0;
};

class iCloudFolderView : public FolderScreen, public platform::ui::AlertViewDelegate {
public:
  static constexpr const char *kCellIdentifier = "Ferrowen_iCloudCell";
  // The setting naming the folder the sync client keeps (empty: FERROWEN_HOME/Cloud).
  static constexpr const char *kCloudFolderKey = "CloudFolder";
  enum EditButton { kView = 1, kEdit = 2, kNone = 3, kPlay = 5 };
  static constexpr int64_t kMailAttachLimit = 2097152;

  // --- The container (class-level services) ---
  // The cloud folder exists and can be written; on every yes the two queues are made if missing.
  static bool isiCloudAvailable();
  // The cloud folder, made when missing.
  static std::string remoteCloudDir();
  // What became of a copy into the cloud: whether the file is there now, and why not.
  using CopyDone = std::function<void(bool copied, const std::string &error)>;
  // Hands a local file (a copy the caller made for it, in the temporary folder) to the cloud under
  // its own name, on the work queue; the call returns at once. An item of that name already there
  // is written over, coordinated and in one step; otherwise the file is moved in. Either way the
  // handed-over file is gone once the work is over, whether the copy was made or not (a path
  // whose last part is no file name is not touched). `done` hears the outcome on the main thread
  // once the write is over (a failure is also logged "iCloudCopyError: ..." or
  // "setUbiquitousError: ..."). False when the copy could not even start (the name there is no
  // file, the local file cannot be read); `done` hears that too.
  static bool copyToCloud(const std::string &localPath, CopyDone done = nullptr);
  // Null until the first successful availability test.
  static std::shared_ptr<platform::DispatchQueue> work_queue();
  static std::shared_ptr<platform::DispatchQueue> edit_queue();

  static std::shared_ptr<iCloudFolderView> make(const std::string &subdir = "");
  explicit iCloudFolderView(const std::string &subdir);
  ~iCloudFolderView() override;

  std::string getPath() const { return iCloudRoot_; }
  void loadDirectory();
  void metadataQueryDidFinish(const std::vector<platform::CloudItem> &items);
  int currentEditButton() const { return currentEditButton_; }
  using FolderScreen::filenameAlreadyInUse;

  // Toolbar and navigation-bar actions.
  void clickRefresh() {}
  void clickSort();
  void clickMenuBtn();
  void clickView();
  void clickEdit();
  void clickEmail();
  void clickUpload();
  void clickedTableButton(platform::ui::IndexPath ip);

  void loadView() override;
  void viewDidLoad() override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override {
    return o == platform::ui::InterfaceOrientation::Portrait;
  }

  void didSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void accessoryButtonTappedForRowWithIndexPath(platform::ui::TableView &,
                                                platform::ui::IndexPath ip) override {
    clickedTableButton(ip);
  }

  void clickedButtonAtIndex(platform::ui::ActionSheet &sheet, int index) override;
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;

private:
  FolderRowLook rowLook(const DirItemInfo &entry, platform::ui::IndexPath ip) const override;
  bool rowDeletable(const std::shared_ptr<DirItemInfo> &entry) const override {
    return entry != nullptr;
  }
  void deleteRow(platform::ui::IndexPath ip, const std::shared_ptr<DirItemInfo> &entry) override;
  // A document is told apart by its place in the container: names repeat across sub-folders.
  std::string checkKey(const DirItemInfo &entry) const override { return entry.iCloudURL; }
  void checkedMoved() override;

  // What a coordinated command's main-thread step receives.
  struct HandOver {
    std::string path;
    std::shared_ptr<DirItemInfo> dinfo;
  };
  using Step = void (iCloudFolderView::*)(const HandOver &);
  enum class Sheet { None, Sort, Menu, File, Picture };

  void coordinated(const std::shared_ptr<DirItemInfo> &row, bool write, Step step);
  void doClickView(const HandOver &h);
  void doClickEmail(const HandOver &h);
  void doClickUpload(const HandOver &h);
  // The FTP tab's FTP connection is logged in and shows a remote folder; otherwise "Not
  // Connected" is said and false returned.
  bool ftpFolderOrSay();
  void doClickDelete(const HandOver &h);
  void doClickOpenWith(const HandOver &h);
  void doClickCopyFile(const HandOver &h);
  void sendLink(const std::shared_ptr<DirItemInfo> &row);
  void importMedia(bool camera);
  void picked(std::optional<PickedMedia> media);
  void doNameVideo(TextPromptViewer &p);
  void doNamePicture(TextPromptViewer &p);
  void doCreateFile(TextPromptViewer &p);
  // Says so when a new file did not reach the cloud.
  CopyDone copyFailureAlert(const std::string &name);
  void prompt(const std::string &title, const std::string &text, const std::string &label,
              const std::string &extra, bool imageChoice,
              void (iCloudFolderView::*done)(TextPromptViewer &));
  void showEditViewButton(int kind, bool force) override;
  void doButtonStatesForIndexPath(std::optional<platform::ui::IndexPath> ip);
  std::shared_ptr<DirItemInfo> actionItem() const;
  std::shared_ptr<DirItemInfo> checkedItemOrReset();
  // `row`: the row a file's sheet belongs to.
  void showSheet(std::shared_ptr<platform::ui::ActionSheet> sheet, Sheet kind,
                 std::optional<platform::ui::IndexPath> row = std::nullopt);
  void confirm(const std::string &title, const std::string &message, const std::string &yes);

  std::string iCloudSubdir_;
  std::string iCloudRoot_;
  int currentEditButton_ = kNone;
  Sheet shownSheet_ = Sheet::None;
  // The file a row's sheet, or the delete question after it, is about.
  std::shared_ptr<DirItemInfo> sheetEntry_;
  // The files the open "Delete All Files" question counted: those, and only those, are deleted
  // (a document arriving or a search changed meanwhile changes nothing).
  DirItemList deleteAllFiles_;
  std::string videoFilePath_;
  std::shared_ptr<platform::media::Image> imageToSave_;
  std::unique_ptr<platform::CloudQuery> query_;
};
