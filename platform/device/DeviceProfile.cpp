#include "platform/device/DeviceProfile.h"

#include "platform/foundation/NotificationCenter.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <strings.h>

namespace platform {

namespace {
std::mutex profileMutex;
std::optional<DeviceProfile> currentProfile; // guarded by profileMutex

const char *env(const char *name) {
  const char *v = std::getenv(name);
  return v && *v ? v : nullptr;
}

bool parseNumber(const std::string &text, double &out) {
  if (text.empty()) return false;
  char *end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(v > 0)) return false;
  out = v;
  return true;
}

// Digits in dot-separated parts: "5", "4.3", "4.3.1".
bool isVersion(const std::string &text) {
  bool digitSeen = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(text[i]))) {
      digitSeen = true;
    } else if (text[i] == '.' && digitSeen && i + 1 < text.size()) {
      digitSeen = false;
    } else {
      return false;
    }
  }
  return digitSeen;
}

const struct {
  const char *name;
  Orientation value;
} kOrientationNames[] = {
    {"unknown", Orientation::Unknown},
    {"portrait", Orientation::Portrait},
    {"upside-down", Orientation::PortraitUpsideDown},
    {"landscape-left", Orientation::LandscapeLeft},
    {"landscape-right", Orientation::LandscapeRight},
    {"face-up", Orientation::FaceUp},
    {"face-down", Orientation::FaceDown},
};
} // namespace

DeviceProfile DeviceProfile::iPhone() {
  return DeviceProfile{};
}

DeviceProfile DeviceProfile::iPad() {
  DeviceProfile p;
  p.idiom = UserInterfaceIdiom::Pad;
  p.model = "iPad";
  p.platform = "iPad3,1";
  p.screenSize = {768, 1024};
  p.scale = 2.0;
  return p;
}

DeviceProfile DeviceProfile::fromEnvironment(std::vector<std::string> *problems) {
  auto problem = [&](const std::string &text) {
    if (problems) problems->push_back(text);
  };
  DeviceProfile p = iPhone();
  if (const char *v = env("FERROWEN_DEVICE")) {
    if (strcasecmp(v, "ipad") == 0)
      p = iPad();
    else if (strcasecmp(v, "iphone") != 0)
      problem(std::string("FERROWEN_DEVICE: expected iphone or ipad, got \"") + v + "\"");
  }
  if (const char *v = env("FERROWEN_SYSTEM_VERSION")) {
    if (isVersion(v))
      p.systemVersion = v;
    else
      problem(std::string("FERROWEN_SYSTEM_VERSION: not a version: \"") + v + "\"");
  }
  if (const char *v = env("FERROWEN_PLATFORM")) p.platform = v;
  if (const char *v = env("FERROWEN_MODEL")) p.model = v;
  if (const char *v = env("FERROWEN_SCREEN")) {
    std::string s = v;
    auto x = s.find_first_of("xX");
    double w, h;
    if (x != std::string::npos && parseNumber(s.substr(0, x), w) && parseNumber(s.substr(x + 1), h))
      p.screenSize = {w, h};
    else
      problem("FERROWEN_SCREEN: expected WIDTHxHEIGHT, got \"" + s + "\"");
  }
  if (const char *v = env("FERROWEN_SCALE")) {
    double n;
    if (parseNumber(v, n))
      p.scale = n;
    else
      problem(std::string("FERROWEN_SCALE: not a number: \"") + v + "\"");
  }
  if (const char *v = env("FERROWEN_ORIENTATION")) {
    if (!parseOrientation(v, p.orientation))
      problem(std::string("FERROWEN_ORIENTATION: unknown orientation \"") + v + "\"");
  }
  if (const char *v = env("FERROWEN_MULTITASKING")) {
    if (std::strcmp(v, "0") == 0)
      p.multitaskingSupported = false;
    else if (std::strcmp(v, "1") == 0)
      p.multitaskingSupported = true;
    else
      problem(std::string("FERROWEN_MULTITASKING: expected 0 or 1, got \"") + v + "\"");
  }
  return p;
}

DeviceProfile DeviceProfile::current() {
  std::lock_guard lock(profileMutex);
  if (!currentProfile) currentProfile = fromEnvironment();
  return *currentProfile;
}

void DeviceProfile::setCurrent(const DeviceProfile &profile) {
  std::lock_guard lock(profileMutex);
  currentProfile = profile;
}

void DeviceProfile::setOrientation(Orientation orientation) {
  bool changed;
  {
    std::lock_guard lock(profileMutex);
    if (!currentProfile) currentProfile = fromEnvironment();
    changed = currentProfile->orientation != orientation;
    currentProfile->orientation = orientation;
  }
  if (changed) NotificationCenter::defaultCenter().post(kDeviceOrientationDidChangeNotification);
}

bool DeviceProfile::isRetinaDisplay() const {
  for (const char *prefix : {"iPhone3,", "iPhone4,", "iPod4,", "iPod5,"})
    if (platform.rfind(prefix, 0) == 0) return true;
  return false;
}

double DeviceProfile::systemVersionNumber() const {
  // Only the first two parts count: "4.3.1" is 4.3.
  std::string s = systemVersion;
  auto dot = s.find('.');
  if (dot != std::string::npos) {
    auto second = s.find('.', dot + 1);
    if (second != std::string::npos) s.resize(second);
  }
  return std::strtod(s.c_str(), nullptr);
}

ScreenSize DeviceProfile::orientedScreenSize() const {
  if (isLandscape()) return {screenSize.height, screenSize.width};
  return screenSize;
}

const char *DeviceProfile::orientationName(Orientation o) {
  for (auto &n : kOrientationNames)
    if (n.value == o) return n.name;
  return "unknown";
}

bool DeviceProfile::parseOrientation(const std::string &text, Orientation &out) {
  for (auto &n : kOrientationNames)
    if (strcasecmp(text.c_str(), n.name) == 0) {
      out = n.value;
      return true;
    }
  if (text.size() == 1 && text[0] >= '1' && text[0] <= '6') {
    out = Orientation(text[0] - '0');
    return true;
  }
  return false;
}

} // namespace platform
