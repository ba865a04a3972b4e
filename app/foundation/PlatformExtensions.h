// Small extensions of the platform's classes that every screen uses: alerts shown from any
// thread, facts about the device, the application's colours, badged images, image buttons, bar
// spacers, a clear toolbar, a navigation controller that turns freely, and bitmap contexts.
#pragma once

#include "platform/device/DeviceProfile.h"
#include "platform/media/BitmapContext.h"
#include "platform/media/Image.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/ViewController.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Shows the alert: at once on the main thread; from any other thread the main thread shows it
// and the caller waits until it has.
void showOnMainThread(const std::shared_ptr<platform::ui::AlertView> &alert);

// What a person is told when a hand-over to the desktop failed (the program's own reason is in the
// log): the mail program did not take a message, or no program opened a file ("Open In...").
void showMailNotStarted();
void showCannotOpenFile();

// Facts about the device and its system. The forms without an argument ask the current device
// (platform::DeviceProfile::current()); the others ask the given one.
class Hardware {
public:
  // The hardware model identifier ("iPhone3,1").
  static std::string platform();
  static std::string platform(const platform::DeviceProfile &device);
  static bool isiPad();
  static bool isiPad(const platform::DeviceProfile &device);
  static bool isiPad2();
  static bool isiPad2(const platform::DeviceProfile &device);
  static bool isiPhone();
  static bool isiPhone(const platform::DeviceProfile &device);
  static bool isFastDevice();
  static bool isFasterDevice();
  static bool isRetinaDisplay();
  // The system version read as a number (4.3.1 counts as 4.3) is at least `version`.
  static bool osVersionIsAtLeast(double version);
  static platform::ui::Size navigationTitleShadowOffset();

  // Not used by the application; kept with the rest of the device facts.
  static std::optional<std::string> platformString();
  static std::string modelShort();
  static bool isFirstGen();
  static bool isSecondGen();
  static bool hasBluetooth();
  static bool hasGKBluetooth();
  static bool isiPod();
  static platform::ui::Size toolbarShadowOffset();
  static int speedRating();
};

// The largest text file the editor opens on this device, in bytes (by the device's class: what
// the text editor takes comfortably there). A larger file is viewed, never edited.
int64_t textEditSizeLimit();

// The application's colours. The first four depend on the device being an iPad.
platform::ui::Color myBackgroundColor();
platform::ui::Color searchBarColor();
platform::ui::Color navigationTitleColor();
platform::ui::Color navigationTitleHighlightColor();
platform::ui::Color darkGreenColor();
platform::ui::Color darkBlueColor();
platform::ui::Color lightBlueColor();
platform::ui::Color veryLightGrayColor();
platform::ui::Color buttonTextColor();
platform::ui::Color bluetoothColor();
platform::ui::Color wifiColor();
platform::ui::Color darkRedColor();
platform::ui::Color darkBrownColor();
// The platform's grouped-table background.
platform::ui::Color groupTableViewBackgroundColor();

// A colour of the UI model for the drawing layer.
platform::media::RGBA toRGBA(const platform::ui::Color &color);
// A font of the UI model for the drawing layer.
platform::media::FontSpec toFontSpec(const platform::ui::Font &font);

// A copy of the image (at the screen's scale from system 4.0 on) with a badge in its top-right
// corner holding the text cut out of it. A missing text gives an empty 6 x 6 badge.
std::shared_ptr<platform::media::Image> imageWithBadge(const platform::media::Image &image,
                                                       const std::optional<std::string> &text);

// Pictures by file-name variant, for screens with more pixels: on a screen of scale 2 the
// double-resolution file ("name@2x.png") and on an iPad the iPad file ("name-ipad.png") are tried
// before the plain one. Files are paths; names are resources.
std::shared_ptr<platform::media::Image> imageWithContentsOfFile2x(const std::string &path);
std::shared_ptr<platform::media::Image> imageNamedForiPad(const std::string &name);
std::shared_ptr<platform::media::Image> imageNamediPad2x(const std::string &name);
std::shared_ptr<platform::media::Image> imageWithData(const std::vector<uint8_t> &data,
                                                      double scale);

// A 40 x 40 button showing the image, glowing when touched, running the action on touch-up.
std::shared_ptr<platform::ui::Button> initWithButtonImage(const std::string &imageName,
                                                          std::function<void()> action);
// A fixed space of the given width for a toolbar.
std::shared_ptr<platform::ui::BarButtonItem> barButtonItemFixedWidth(int width);

// A toolbar that draws no background of its own.
class MyToolbar : public platform::ui::Toolbar {
public:
  explicit MyToolbar(platform::ui::Rect frame = {});
  // A 40 x 40 toolbar holding one plain button with the image and the action.
  static std::shared_ptr<MyToolbar> initWithButtonImage(const std::string &imageName,
                                                        std::function<void()> action);
};

// A navigation controller that lays its view out as soon as it is loaded and turns to every
// orientation.
class MyUINavigationController : public platform::ui::NavigationController {
public:
  using NavigationController::NavigationController;
  void viewDidLoad() override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation) override {
    return true;
  }
};

// A bitmap context of 8 bits per component, 4 x width bytes per row, alpha premultiplied and
// stored first. None (after a line on standard error) when it cannot be made.
std::unique_ptr<platform::media::BitmapContext> CreateARGBBitmapContextSized(int width, int height);
