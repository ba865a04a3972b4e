// The screens of the rooms built on Saved Files that its root rows and its commands open: the
// photo library, Cloud Files and the image editor. Saved Files sits below those rooms and names
// none of them; each fills in its entries from the file that makes its screen, so a program (or a
// test) that links the room has them. An entry left empty means the room is not linked in: its
// row is not listed and its command does nothing. Main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform::ui {
class BarButtonItem;
class PopoverController;
class ViewController;
} // namespace platform::ui
namespace platform::media {
class Image;
}

// What the picture and video picker hands back: a movie file it wrote, or a decoded picture (its
// orientation flag kept), with the picked file's own name when it has one.
struct PickedPictureOrVideo {
  bool isMovie = false;
  std::string moviePath;
  std::shared_ptr<platform::media::Image> image;
  std::string suggestedName;
};

struct SavedFilesRooms {
  // The photo library can be browsed, and its screen.
  std::function<bool()> photoLibraryAvailable;
  std::function<std::shared_ptr<platform::ui::ViewController>()> makePhotoLibrary;
  // The cloud folder can be used (the call makes its work queues on a yes), and its screen.
  std::function<bool()> cloudAvailable;
  std::function<std::shared_ptr<platform::ui::ViewController>()> makeCloudFiles;
  // Hands a local file (a copy made for it) to the cloud under its own name; the file is gone once
  // the work is over. `done` hears on the main thread, once the write is over, whether the file is
  // there (and why not).
  std::function<bool(const std::string &localPath,
                     std::function<void(bool copied, const std::string &error)> done)>
      copyToCloud;
  // Opens the image editor on the picture at `path` and shows it over `opener` as the file tab
  // `name`; false when the file cannot be read as a picture.
  std::function<bool(const std::string &path, platform::ui::ViewController &opener,
                     const std::string &name)>
      editImage;

  // The picker of pictures and videos: whether it has a camera, a photo library, and offers
  // videos; `pickMedia` opens it on the camera or the library with the video quality (0-2, or -1
  // for the default) and answers on the main thread, with nothing when cancelled. On the tablet
  // it opens in a popover from the bar button given and gives back that popover (none: modal).
  std::function<bool()> hasCamera;
  std::function<bool()> hasPhotoLibrary;
  std::function<bool()> hasVideoMedia;
  std::function<std::shared_ptr<platform::ui::PopoverController>(
      bool camera, int videoQuality, const std::shared_ptr<platform::ui::BarButtonItem> &from,
      std::function<void(std::optional<PickedPictureOrVideo>)>)>
      pickMedia;

  static SavedFilesRooms &shared();
};
