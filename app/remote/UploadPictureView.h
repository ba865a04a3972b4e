// "Upload Picture" from a remote folder: the picture or video is picked from the photo library
// (or a camera, where there is one), named, a picture optionally resized and saved as JPEG or
// PNG, then written to a temporary folder of its own and queued for upload into the folder shown.
// UploadPictureView is the naming screen; PictureUpload runs the whole errand for one screen.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/cloud/iCloudFolderView.h"
#include "app/foundation/DirItemInfo.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

namespace platform::media {
class Image;
}
class DirViewer;
class TextPromptViewer;

class UploadPictureView : public platform::ui::ViewController,
                          public platform::ui::TextFieldDelegate,
                          public platform::ui::AlertViewDelegate {
public:
  using Callback = std::function<void(UploadPictureView &)>;

  // The caller passes the interface "UploadPictureView"; `targetDone` is told on Save.
  UploadPictureView(const std::string &nibName, Callback targetDone);

  // Checks the name and the size: an alert and false when they cannot be used. A passing check
  // stores the file type and completes the name with its extension.
  bool verifyData();
  // True (after an alert) when the folder holds an entry of exactly that name.
  bool filenameAlreadyInUse(const std::string &name);
  void clickSave();
  void clickCancel();
  // Keep the aspect while a size is typed.
  void changeWidth();
  void changeHeight();

  std::shared_ptr<platform::ui::TextField> filename, width, height;
  std::shared_ptr<platform::ui::Switch> aspect;
  std::shared_ptr<platform::ui::SegmentedControl> segmentFileType; // 0 JPEG, 1 PNG
  std::shared_ptr<platform::ui::Label> label, labelFileType, labelSize;
  std::string originalFilename;
  DirItemList currentDirectory;
  int wIn = 0, hIn = 0;

  void loadView() override;
  void viewDidLoad() override;
  bool textFieldShouldReturn(platform::ui::TextField &field) override;
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;

private:
  void tellTargetAndClose();
  void alert(const std::string &title, const std::string &message);
  Callback targetDone_;
  std::shared_ptr<platform::ui::AlertView> nameExistsAlert_;
};

class PictureUpload : public platform::ui::ActionSheetDelegate,
                      public std::enable_shared_from_this<PictureUpload> {
public:
  explicit PictureUpload(std::weak_ptr<DirViewer> screen);

  // Folder command "Upload Picture": the source sheet when there is a camera, else the library
  // picker, else "Photo Error".
  void start();
  void clickedButtonAtIndex(platform::ui::ActionSheet &sheet, int index) override;
  // The picker's answer (nothing when cancelled).
  void picked(std::optional<PickedMedia> media);
  void doUploadPicture(UploadPictureView &namer);
  void doUploadVideo(TextPromptViewer &prompt);
  // The source sheet or the picker's popover is up.
  bool showing() const;

  std::shared_ptr<platform::media::Image> imageToUpload;
  std::string videoFileToUpload;

private:
  void openPicker(bool camera);
  void showPictureNamer(const std::string &proposed);
  // Queues the file for upload into the screen's folder; false when there is no queue or the
  // screen has no connection.
  bool queueUpload(const std::string &name, const std::string &localPath);
  std::string tempFolder();

  std::weak_ptr<DirViewer> screen_;
  std::shared_ptr<platform::ui::ActionSheet> menuPictureFrom_;
  std::shared_ptr<platform::ui::PopoverController> picturePopover_;
};
