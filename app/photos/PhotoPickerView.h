// Picking one picture or video from the photo library: the albums, then the pictures and videos
// of one (with thumbnails), shown modally over whatever is on screen, or on the tablet in a
// popover from the button that asked for it. A picture comes back
// decoded, as stored (its orientation flag kept: the caller turns it upright); a video comes back
// as a copy in a temporary folder of its own. This is what the cloud folder's import and the
// remote folder's picture upload get as their media source; the application installs it at start.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cloud/iCloudFolderView.h"
#include "platform/media/PhotoLibrary.h"
#include "platform/ui/Table.h"
#include "platform/ui/ViewController.h"

class PhotoPickerView : public platform::ui::ViewController,
                        public platform::ui::TableViewDataSource,
                        public platform::ui::TableViewDelegate,
                        public platform::ui::PopoverControllerDelegate {
public:
  using Done = std::function<void(std::optional<PickedMedia>)>;
  static constexpr const char *kCellIdentifier = "Ferrowen_PhotoPickerCell";

  // The albums (none) or the assets of one album. `done` is shared by every level of one pick
  // and is called once: with the pick, or with nothing when cancelled.
  PhotoPickerView(std::optional<platform::media::PhotoAlbum> album, std::shared_ptr<Done> done,
                  bool videos);
  ~PhotoPickerView() override;

  // What a pick of this asset delivers (a video is copied to a folder of its own); none when the
  // file cannot be read or is no picture.
  static std::optional<PickedMedia> pickedMediaFor(const platform::media::PhotoAsset &asset);

  void loadView() override;
  void viewDidLoad() override;
  int numberOfRowsInSection(platform::ui::TableView &, int) override;
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  void didSelectRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  // Shown in this popover (every level of the pick): a pick or Cancel closes it; a tap outside
  // it cancels the pick.
  void setPopover(std::weak_ptr<platform::ui::PopoverController> popover) {
    popover_ = std::move(popover);
  }
  void popoverControllerDidDismissPopover(platform::ui::PopoverController &) override;

private:
  void finish(std::optional<PickedMedia> media);

  std::optional<platform::media::PhotoAlbum> album_;
  std::shared_ptr<Done> done_;
  bool videos_ = true;
  std::vector<platform::media::PhotoAlbum> albums_;
  std::vector<platform::media::PhotoAsset> assets_;
  std::vector<std::string> thumbnailNames_; // registered thumbnails, removed with the screen
  std::shared_ptr<platform::ui::TableView> tableView_;
  std::weak_ptr<platform::ui::PopoverController> popover_;
};

// The media source over the photo library: no camera; the library when the pictures folder is
// there. The picker is shown modally over the topmost screen of the key window, or on the tablet
// in a popover from the bar button given.
class PhotoLibraryMediaSource : public CloudMediaSource {
public:
  bool hasCamera() override { return false; }
  bool hasLibrary() override;
  std::shared_ptr<platform::ui::PopoverController>
  pick(bool camera, int videoQuality, const std::shared_ptr<platform::ui::BarButtonItem> &from,
       std::function<void(std::optional<PickedMedia>)> done) override;
};

// Installs the photo library as the application's media source.
void installPhotoLibraryMediaSource();
