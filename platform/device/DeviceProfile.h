// What kind of device the application believes it runs on: iPhone or iPad, system version, model,
// hardware identifier, screen and orientation. Screens and version branches read it; tests set it
// to run both layouts and every version branch. The program takes it from the environment:
//
//   FERROWEN_DEVICE          iphone | ipad (the base profile; default iphone)
//   FERROWEN_SYSTEM_VERSION  e.g. 5.1.1
//   FERROWEN_PLATFORM        hardware identifier, e.g. iPhone4,1
//   FERROWEN_MODEL           model name, e.g. iPhone
//   FERROWEN_SCREEN          screen size in points, portrait, WIDTHxHEIGHT, e.g. 320x480
//   FERROWEN_SCALE           screen scale, e.g. 2
//   FERROWEN_ORIENTATION     portrait | upside-down | landscape-left | landscape-right |
//                            face-up | face-down (or the code 1-6)
//   FERROWEN_MULTITASKING    1 | 0: whether the system offers background tasks (default 1)
#pragma once

#include <string>
#include <vector>

namespace platform {

enum class UserInterfaceIdiom { Phone, Pad };

// Device orientation codes as the phone numbers them; interface orientations use 1-4 of them.
enum class Orientation : int {
  Unknown = 0,
  Portrait = 1,
  PortraitUpsideDown = 2,
  LandscapeLeft = 3,
  LandscapeRight = 4,
  FaceUp = 5,
  FaceDown = 6,
};

struct ScreenSize {
  double width = 0;
  double height = 0;
  bool operator==(const ScreenSize &) const = default;
};

// Posted on the default notification centre (object none) when setOrientation changes it.
inline constexpr const char *kDeviceOrientationDidChangeNotification =
    "UIDeviceOrientationDidChangeNotification";

struct DeviceProfile {
  UserInterfaceIdiom idiom = UserInterfaceIdiom::Phone;
  std::string systemName = "iPhone OS";
  std::string systemVersion = "5.1.1";
  std::string model = "iPhone";
  std::string platform = "iPhone4,1"; // the hardware identifier ("hw.machine")
  ScreenSize screenSize{320, 480};    // points, portrait
  double scale = 2.0;
  Orientation orientation = Orientation::Portrait;
  bool multitaskingSupported = true;

  // Profiles of a current iPhone (the default) and a current iPad.
  static DeviceProfile iPhone();
  static DeviceProfile iPad();
  // The base profile named by FERROWEN_DEVICE with the other variables applied. Values that do not
  // parse are left at the base profile's and described in `problems` (when given).
  static DeviceProfile fromEnvironment(std::vector<std::string> *problems = nullptr);

  // The profile in force: fromEnvironment() until someone sets another. Any thread.
  static DeviceProfile current();
  static void setCurrent(const DeviceProfile &profile);
  // Turns the current device (tests, or a renderer later); posts the orientation notification
  // when the orientation changed.
  static void setOrientation(Orientation orientation);

  bool isiPad() const { return idiom == UserInterfaceIdiom::Pad; }
  bool isiPad2() const { return isiPad() && platform != "iPad1,1"; }
  bool isiPhone() const { return platform.rfind("iPhone", 0) == 0; }
  bool isRetinaDisplay() const;
  // The system version read as a number, so "4.3.1" counts as 4.3.
  double systemVersionNumber() const;
  bool osVersionIsAtLeast(double version) const { return systemVersionNumber() >= version; }
  bool isPortrait() const {
    return orientation == Orientation::Portrait || orientation == Orientation::PortraitUpsideDown;
  }
  bool isLandscape() const {
    return orientation == Orientation::LandscapeLeft || orientation == Orientation::LandscapeRight;
  }
  // Screen size in points as the device is held (width and height swap in landscape).
  ScreenSize orientedScreenSize() const;

  // The names used by FERROWEN_ORIENTATION; parse accepts them and the codes 1-6.
  static const char *orientationName(Orientation o);
  static bool parseOrientation(const std::string &text, Orientation &out);
};

} // namespace platform
