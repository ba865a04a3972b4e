// The photo library browser behind the "Photo Library" row of Saved Files: the albums of the
// pictures folder, then the pictures and videos of one album, with what Saved Files offers on
// files (view, play, upload one, all or the missing ones, mail, "Open In", copy into Saved
// Files). Assets are copied to a temporary file before anything needs their bytes; the two class
// operations do the same for the transfer queue, which keeps an upload of an asset under its
// address until it sends it.
//
// A listing runs on a worker and hands its whole result to the main thread; a refresh while one
// runs makes the older result stale, so it is dropped rather than mixed into the new one.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/files/FolderScreen.h"
#include "app/foundation/DirItemInfo.h"
#include "app/queue/BatchServices.h"
#include "platform/media/PhotoLibrary.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

class EditDataViewController;

class PhotoGalleryView : public FolderScreen {
public:
  static constexpr const char *kCellIdentifier = "Ferrowen_PhotoGalleryCell";
  static constexpr const char *kTrailerRow = "About-Photo-Library.rtf";
  enum EditButton { kView = 1, kEdit = 2, kNone = 3, kWorking = 4 };

  // The top level (no album) or one album.
  static std::shared_ptr<PhotoGalleryView>
  make(std::optional<platform::media::PhotoAlbum> album = std::nullopt);
  explicit PhotoGalleryView(std::optional<platform::media::PhotoAlbum> album);
  ~PhotoGalleryView() override;

  // Saved Files offers the library when it can be browsed.
  static bool canViewPhotoGallery();
  // The row name of an asset address: "img_"/"mov_" + shortened id + "." + extension, lower case.
  static std::string assetRowName(const std::string &url);
  // Writes an asset to the temporary folder under `name` (a plain file name); the path, or empty
  // with `error` set. With `tempFile` the file is removed when the application ends.
  static std::string getAssetPathByAsset(const platform::media::PhotoAsset &asset,
                                         const std::string &name, bool tempFile,
                                         const std::function<void(double)> &progress,
                                         std::string *error);
  // For the transfer queue: resolves the address and writes the asset into a folder made for it
  // under `name`; the reply carries the path or the error. Any thread; replies on the caller's.
  static void getSelectedAsset(const std::string &url, const std::string &name,
                               const std::function<void(const AssetConvertReply &)> &reply);

  bool loaded() const { return loaded_; }
  int currentEditButton() const { return currentEditButton_; }
  int totalCount = 0;
  // The menu shown now (none when closed).
  std::shared_ptr<platform::ui::ActionSheet> openSheet() const { return sheet_; }

  void clickRefresh();
  void clickSort();
  void clickUpload();
  void clickEmail();
  void clickMenuBtn();
  void clickView();
  // The viewer's paging source: the named row's asset written to the temporary folder (a
  // file of the row's name), or empty when the row is gone or cannot be read.
  std::string getAssetPathByRow(const std::string &rowName);

  void loadView() override;
  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;

  void didSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  // The folder row, its size kept clear of the row's button.
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  void accessoryButtonTappedForRowWithIndexPath(platform::ui::TableView &,
                                                platform::ui::IndexPath ip) override;
  void clickedButtonAtIndex(platform::ui::ActionSheet &sheet, int index) override;

private:
  FolderRowLook rowLook(const DirItemInfo &entry, platform::ui::IndexPath ip) const override;

  enum class Sheet { None, Sort, Folder, FileRow };
  using GotPath = void (PhotoGalleryView::*)(const std::string &name, const std::string &path);

  void loadListing();
  void doneLoading(uint64_t generation, DirItemList rows);
  void loadThumbnails(uint64_t generation);
  void setThumbnails(
      uint64_t generation,
      const std::vector<std::pair<std::string, std::shared_ptr<platform::media::Image>>> &thumbs);
  void setProgress(double fraction);
  void showNormalToolbar();
  void showWorkingToolbar();
  void showEditViewButton(int kind, bool force) override;
  void doButtonStates();
  // The checked picture moved, hid or went with a new listing or search.
  void checkedMoved() override { doButtonStates(); }
  std::shared_ptr<DirItemInfo> selectedRow() const;
  void showSheet(std::shared_ptr<platform::ui::ActionSheet> sheet, Sheet kind,
                 std::shared_ptr<platform::ui::BarButtonItem> from);
  // Copies the named row's asset in the background, then calls `done` on the main thread.
  void queAssetPathToSelector(const std::string &row, GotPath done);
  bool queueUploads(const std::vector<std::shared_ptr<DirItemInfo>> &rows, bool kickstart);
  void uploadFiltered(bool onlyNew);
  void clickViewGotPath(const std::string &name, const std::string &path);
  void clickEmailWithAssetPath(const std::string &name, const std::string &path);
  void clickOpenInGotPath(const std::string &name, const std::string &path);
  void clickEditImageGotPath(const std::string &name, const std::string &path);
  void doMoveFileGotPath(const std::string &name, const std::string &path);
  void showCopyList(const std::string &row);

  std::optional<platform::media::PhotoAlbum> album_;
  uint64_t generation_ = 0; // of the listing whose result is awaited
  bool loaded_ = false;
  int currentEditButton_ = 0;
  std::string copyFolder_; // where "Copy File" puts the row being converted
  unsigned copyAnimations_ = 0;
  Sheet shownSheet_ = Sheet::None;
  std::shared_ptr<platform::ui::ActionSheet> sheet_;
  std::string sheetRow_;
  std::shared_ptr<platform::ui::ProgressView> progressBar_;
  std::shared_ptr<platform::ui::BarButtonItem> sortBtn_;
};
