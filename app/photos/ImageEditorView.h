// The image editor: one picture from Saved Files or the photo library, cropped to a rectangle,
// resized by a slider or two fields, given a caption, labels and a date or stamped with the
// person's logo and watermark (pictures kept in Saved Files), then saved as a new JPG or PNG file
// in Saved Files. The picture is kept upright (its orientation applied once on opening). Each
// editor keeps its last committed state in a working copy of its own in the temporary folder,
// removed when the editor goes; captions are not committed, so captioning again replaces them.
// Crop, resize and watermark run on a worker, one pass at a time, with the settings marker that
// lets the next start tell that a pass never finished.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/foundation/WorkingCopy.h"
#include "platform/foundation/Clock.h"
#include "platform/media/Image.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/View.h"
#include "platform/ui/ViewController.h"

class SettingsManagerView;

class ImageEditorView : public platform::ui::ViewController,
                        public platform::ui::AlertViewDelegate,
                        public platform::ui::TextFieldDelegate,
                        public platform::ui::ScrollViewDelegate {
public:
  static constexpr const char *kWatermarkHelpURL =
      "http://www.ferrowen.example/help/help-watermarks.php?app=ferrowen&ver=300";
  enum ToolbarMode { kNormal = 0, kCropping = 1, kResize = 2 };

  // Opens the picture at `path` as the caller does: the markers set around the load.
  static std::shared_ptr<ImageEditorView> openFile(const std::string &path,
                                                   std::optional<platform::WallTime> date);
  static std::shared_ptr<ImageEditorView> make(std::shared_ptr<platform::media::Image> image,
                                               const std::string &path,
                                               std::optional<platform::WallTime> date);
  ImageEditorView(std::shared_ptr<platform::media::Image> image, const std::string &path,
                  std::optional<platform::WallTime> date);
  // Shows the editor as its opener does: a file tab named `name` on iPad where the application
  // has them, else pushed on the opener's navigation stack.
  static void present(const std::shared_ptr<ImageEditorView> &editor,
                      platform::ui::ViewController &opener, const std::string &name);
  ~ImageEditorView() override;

  // Called on the worker before each pass draws (tests hold a pass there).
  static void setWorkHook(std::function<void()> hook);

  std::shared_ptr<platform::media::Image> image() const { return image_; }
  const std::string &workingCopyPath() const { return workingCopy_; }
  bool didEditImage() const { return didEditImage_; }
  bool isWorking() const { return working_; }
  int showingToolbar() const { return showingToolbar_; }
  platform::ui::Rect clippingRect() const { return clippingRect_; }
  double zoomScale() const;

  void clickCancel();
  void clickSave();
  // The caption dialog; its done button draws the caption, labels and date (doDrawText).
  void clickText();
  void doDrawText();
  // Stamps "my-logo.png" and "my-watermark.png" of Saved Files, or opens their help page.
  void clickWatermark();
  // The caption or save dialog last opened.
  std::shared_ptr<SettingsManagerView> settingsDialog() const { return settings_; }
  std::shared_ptr<platform::ui::ImageView> overlay() const { return overlay_; }
  // iPad: the open caption, save or help popover.
  std::shared_ptr<platform::ui::PopoverController> popover() const { return popover_; }
  std::shared_ptr<platform::ui::Toolbar> toolbar() const { return toolbar_; }
  // Rebuilds the bar of the mode on show (its "Resize Screen" button follows the split pane).
  void setupTitlebar();
  void clickCrop();
  void clickCropNow();
  void clickCropCancel();
  void clickResize();
  void clickResizeToNewSize();
  // Touches on the crop overlay, in its coordinates.
  void touchDown(platform::ui::Point p);
  void touchMoved(platform::ui::Point previous, platform::ui::Point current);
  void touchEnded();
  // Fits the picture (or the crop area) to the editor's view after it changed size.
  void layoutPicture();
  // Where a picture of `picture` pixels is shown in `area`: whole, no bigger than its pixels,
  // centred.
  static platform::ui::Rect fittedPicture(platform::ui::Size area, platform::ui::Size picture);
  // Writes the picture as "ImgSave-FileName" in "ImgSave-Format"; false (with a message, the
  // editor staying open) when the name cannot be used or the file cannot be written.
  bool doSaveImage();

  void loadView() override;
  void viewDidLoad() override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
  void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation from) override;
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;
  bool shouldChangeCharactersInRange(platform::ui::TextField &, platform::ui::Range,
                                     const std::string &text) override;
  bool textFieldShouldReturn(platform::ui::TextField &field) override;
  // The canvas zooms the picture.
  std::shared_ptr<platform::ui::View>
  viewForZoomingInScrollView(platform::ui::ScrollView &) override;

private:
  using Work = std::function<std::shared_ptr<platform::media::Image>(
      std::shared_ptr<platform::media::Image>)>;
  void setImage(std::shared_ptr<platform::media::Image> image);
  void setToolbarNormal();
  void setToolbarCropping();
  void setToolbarResize();
  // iPad: the bar's leading items (the split's resize button, the close button) and the title.
  std::vector<std::shared_ptr<platform::ui::BarButtonItem>> padLeadingItems();
  void makeiPadTitle(int bar);
  double padTitleWidth(int bar);
  double barGap();
  bool popoverVisible() const;
  // The caption or save dialog: pushed on iPhone, in a popover from the tapped button on iPad.
  void showDialog(const std::shared_ptr<platform::ui::BarButtonItem> &from);
  platform::ui::Rect pictureArea(); // the view less its bar
  double barTop() const;            // where the picture area starts: under the bar on iPad
  void makeScrollView();
  void fitZoom();
  void changedResizeSlider();
  void updateClippingArea();
  void stopResizing();
  void runPass(Work work, std::function<void()> after);
  // Writes the picture to the working copy (on the pass's worker).
  static void resaveImage(const platform::media::Image &image, const std::string &workingCopy);
  void reloadImage();
  void close();
  // The back button of the next screen pushed over the editor reads "Back".
  void backButtonTitledBack();
  void alert(const std::string &title, const std::string &message);

  std::shared_ptr<platform::media::Image> image_;
  std::string imageName_; // the picture's name in the image registry
  std::string originalFilePath_, workingCopy_, workingFolder_;
  FileInUse workingCopyInUse_; // while the editor lives: nothing clears it from the folder
  std::optional<platform::WallTime> imageDate_;
  bool didEditImage_ = false, working_ = false, alreadyDidCaptions_ = false;
  std::shared_ptr<SettingsManagerView> settings_;
  std::shared_ptr<platform::ui::NavigationController> theSettings_;
  std::shared_ptr<platform::ui::PopoverController> popover_;
  std::shared_ptr<platform::ui::View> titleVw_;
  std::shared_ptr<platform::ui::BarButtonItem> fontsItem_, watermarkItem_, saveItem_;
  std::vector<std::shared_ptr<platform::ui::BarButtonItem>> gaps_; // between the tools
  int showingToolbar_ = kNormal;
  bool editClippingRect_ = false;
  bool dragTopLeft_ = false, dragTopRight_ = false, dragBottomLeft_ = false,
       dragBottomRight_ = false, moveClippingRect_ = false;
  platform::ui::Rect clippingRect_;
  bool haveClippingRect_ = false;
  std::shared_ptr<platform::ui::ImageView> theImage_, overlay_;
  std::shared_ptr<platform::ui::ScrollView> scrollView_;
  std::shared_ptr<platform::ui::Toolbar> toolbar_;
  std::shared_ptr<platform::ui::ActivityIndicatorView> activity_;
  std::shared_ptr<platform::ui::Slider> resizeSlider_;
  std::shared_ptr<platform::ui::TextField> enterResizeWidth_, enterResizeHeight_;
  std::shared_ptr<platform::ui::AlertView> confirmCancel_;
};
