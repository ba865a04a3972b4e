#include "app/foundation/PlatformExtensions.h"

#include "app/foundation/AppDelegateServices.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"

#include <algorithm>
#include <cmath>

using namespace platform;
using platform::ui::Color;

// --- Application delegate link ---

namespace {
std::shared_ptr<AppDelegateServices> &installedServices() {
  static std::shared_ptr<AppDelegateServices> services = std::make_shared<AppDelegateServices>();
  return services;
}
} // namespace

AppDelegateServices &appDelegateServices() {
  return *installedServices();
}

void setAppDelegateServices(std::shared_ptr<AppDelegateServices> services) {
  installedServices() = services ? std::move(services) : std::make_shared<AppDelegateServices>();
}

// --- Alerts ---

void showOnMainThread(const std::shared_ptr<ui::AlertView> &alert) {
  if (alert) alert->showOnMainThread();
}

void showMailNotStarted() {
  showOnMainThread(std::make_shared<ui::AlertView>(
      "Mail", "The mail program could not be started, so nothing was sent.",
      std::weak_ptr<ui::AlertViewDelegate>(), "OK"));
}

void showCannotOpenFile() {
  showOnMainThread(std::make_shared<ui::AlertView>(
      "Can't Open File", "There are no Apps installed for viewing this type of file.",
      std::weak_ptr<ui::AlertViewDelegate>(), "OK"));
}

// --- Hardware ---

namespace {
bool startsWith(const std::string &s, const char *prefix) {
  return s.rfind(prefix, 0) == 0;
}
} // namespace

std::string Hardware::platform() {
  return platform(DeviceProfile::current());
}
std::string Hardware::platform(const DeviceProfile &device) {
  return device.platform;
}
bool Hardware::isiPad() {
  return isiPad(DeviceProfile::current());
}
bool Hardware::isiPad(const DeviceProfile &device) {
  return device.isiPad();
}
bool Hardware::isiPad2() {
  return isiPad2(DeviceProfile::current());
}
bool Hardware::isiPad2(const DeviceProfile &device) {
  return device.isiPad() && device.platform != "iPad1,1";
}
bool Hardware::isiPhone() {
  return isiPhone(DeviceProfile::current());
}
bool Hardware::isiPhone(const DeviceProfile &device) {
  return startsWith(device.platform, "iPhone");
}

bool Hardware::isFastDevice() {
  std::string p = platform();
  return p != "iPhone1,1" && p != "iPhone1,2" && p != "iPod1,1";
}

bool Hardware::isFasterDevice() {
  return isFastDevice();
}

bool Hardware::isRetinaDisplay() {
  std::string p = platform();
  return startsWith(p, "iPhone3,") || startsWith(p, "iPhone4,") || startsWith(p, "iPod4,") ||
         startsWith(p, "iPod5,");
}

int64_t textEditSizeLimit() {
  if (Hardware::isRetinaDisplay() || Hardware::isiPad()) return 1048576;
  if (Hardware::osVersionIsAtLeast(3.2) && Hardware::isFasterDevice()) return 524288;
  return 262144;
}

bool Hardware::osVersionIsAtLeast(double version) {
  // Compared as the phone compares floats: 3.2 read from "3.2" is the same float as the literal.
  return static_cast<float>(DeviceProfile::current().systemVersionNumber()) >=
         static_cast<float>(version);
}

ui::Size Hardware::navigationTitleShadowOffset() {
  return isiPad() ? ui::Size{0, 1} : ui::Size{0, -1};
}

std::optional<std::string> Hardware::platformString() {
  std::string p = platform();
  if (p == "iPhone1,1") return "iPhone 1G";
  if (p == "iPhone1,2") return "iPhone 3G";
  if (p == "iPhone2,1") return "iPhone 3GS";
  if (p == "iPod1,1") return "iPod Touch 1G";
  if (p == "iPod2,1") return "iPod Touch 2G";
  return std::nullopt;
}

std::string Hardware::modelShort() {
  std::string p = platform();
  if (startsWith(p, "iPod")) return "iPod";
  if (startsWith(p, "iPhone")) return "iPhone";
  if (startsWith(p, "iPad")) return "iPad";
  return "device";
}

bool Hardware::isFirstGen() {
  std::string p = platform();
  return p == "iPhone1,1" || p == "iPod1,1";
}

bool Hardware::isSecondGen() {
  std::string p = platform();
  return p == "iPhone1,2" || p == "iPod2,1";
}

bool Hardware::hasBluetooth() {
  return platform() != "iPod1,1";
}
bool Hardware::hasGKBluetooth() {
  return !isFirstGen() && platform() != "iPhone1,2";
}
bool Hardware::isiPod() {
  return startsWith(platform(), "iPod");
}
ui::Size Hardware::toolbarShadowOffset() {
  return isiPad() ? ui::Size{0, 1} : ui::Size{0, -1};
}

int Hardware::speedRating() {
  std::string p = platform();
  if (startsWith(p, "iPhone1,") || startsWith(p, "iPod1,")) return 1;
  if (startsWith(p, "iPhone2,") || startsWith(p, "iPod2,") || startsWith(p, "iPod3,")) return 2;
  if (startsWith(p, "iPhone3,") || startsWith(p, "iPod4,") || startsWith(p, "iPad1,")) return 3;
  return 4;
}

// --- Colours ---

Color groupTableViewBackgroundColor() {
  return {197 / 255.0, 204 / 255.0, 212 / 255.0, 1};
}

Color myBackgroundColor() {
  return Hardware::isiPad() ? Color{0.88, 0.89, 0.91, 1} : groupTableViewBackgroundColor();
}

Color searchBarColor() {
  return Hardware::isiPad() ? Color{214 / 255.0, 216 / 255.0, 233 / 255.0, 1}
                            : Color{0.83, 0.83, 0.87, 1};
}

Color navigationTitleColor() {
  return Hardware::isiPad() ? Color{0.443, 0.471, 0.502, 1} : Color::whiteColor();
}

Color navigationTitleHighlightColor() {
  return Hardware::isiPad() ? Color{0.9, 0.91, 0.92, 1} : Color::darkGrayColor();
}

Color darkGreenColor() {
  return {0, 0.5, 0, 1};
}
Color darkBlueColor() {
  return {0, 0, 0.66, 1};
}
Color lightBlueColor() {
  return {0, 0.55, 1, 1};
}
Color veryLightGrayColor() {
  return {0.85, 0.85, 0.85, 1};
}
Color buttonTextColor() {
  return {0.196, 0.31, 0.522, 1};
}
Color bluetoothColor() {
  return {0.72, 0.9, 0.99, 1};
}
Color wifiColor() {
  return {0.96, 0.91, 0.86, 1};
}
Color darkRedColor() {
  return {0.5, 0, 0, 1};
}
Color darkBrownColor() {
  return {0.3, 0.2, 0.1, 1};
}

media::RGBA toRGBA(const Color &c) {
  return {c.red, c.green, c.blue, c.alpha};
}

media::FontSpec toFontSpec(const ui::Font &font) {
  return {font.name, font.size, font.bold, font.italic};
}

// --- Images ---

namespace {

// The columns [x0, x1) of an image as an image of their own.
std::shared_ptr<media::Image> columns(const media::Image &image, int x0, int x1) {
  x0 = std::clamp(x0, 0, image.pixelWidth());
  x1 = std::clamp(x1, x0, image.pixelWidth());
  if (x1 <= x0) return nullptr;
  std::vector<uint32_t> px;
  px.reserve(static_cast<size_t>(x1 - x0) * image.pixelHeight());
  for (int y = 0; y < image.pixelHeight(); ++y)
    for (int x = x0; x < x1; ++x)
      px.push_back(image.pixelAt(x, y));
  return media::Image::fromPixels(x1 - x0, image.pixelHeight(),
                                  reinterpret_cast<const uint8_t *>(px.data()),
                                  static_cast<size_t>(x1 - x0) * 4, image.scale());
}

// A stretchable image with a left cap: the cap is drawn as it is, the column after it is
// stretched over the middle, the rest closes the right side; heights are scaled.
void drawStretched(media::BitmapContext &ctx, const media::Image &image, int leftCap,
                   media::Rect2 rect) {
  const double scale = image.scale();
  const int capPx = static_cast<int>(std::lround(leftCap * scale));
  const double capW = std::min<double>(leftCap, rect.width);
  auto left = columns(image, 0, capPx);
  auto middle = columns(image, capPx, capPx + 1);
  auto right = columns(image, capPx + 1, image.pixelWidth());
  const double rightW = right ? std::min(right->size().width, rect.width - capW) : 0;
  if (left) ctx.drawImage(*left, {rect.x, rect.y, capW, rect.height});
  if (middle && rect.width - capW - rightW > 0)
    ctx.drawImage(*middle, {rect.x + capW, rect.y, rect.width - capW - rightW, rect.height});
  if (right && rightW > 0)
    ctx.drawImage(*right, {rect.x + rect.width - rightW, rect.y, rightW, rect.height});
}

} // namespace

std::shared_ptr<media::Image> imageWithBadge(const media::Image &image,
                                             const std::optional<std::string> &text) {
  const double scale =
      Hardware::osVersionIsAtLeast(4.0) ? std::max(1.0, DeviceProfile::current().scale) : 1.0;
  const media::PointSize size = image.size();
  auto ctx = media::BitmapContext::create(static_cast<int>(std::ceil(size.width * scale)),
                                          static_cast<int>(std::ceil(size.height * scale)));
  if (!ctx) return nullptr;
  ctx->scale(scale, scale);
  ctx->drawImage(image, {0, 0, size.width, size.height});

  const media::FontSpec font{"", 12, true, false};
  media::TextMetrics measured;
  if (text) measured = media::measureText(*text, font);
  const double badgeW = measured.width + 6, badgeH = measured.height + 6;
  const media::Rect2 badge{size.width - badgeW, 0, badgeW, badgeH};
  if (auto back = media::ImageRegistry::shared().imageNamed("badge-back.png")) {
    drawStretched(*ctx, *back, 9, badge);
  } else {
    ctx->setFillColor({0.85, 0.1, 0.1, 1});
    ctx->fillRect(badge);
  }
  if (text && !text->empty()) {
    // Letters in the clear colour, source-out: they are cut out of the badge.
    ctx->setBlendMode(media::BlendMode::SourceOut);
    ctx->setFillColor({0, 0, 0, 0});
    ctx->drawText(*text, {badge.x + 3, 3}, font);
  }
  return ctx->makeImage(scale);
}

namespace {

// "name.png" with a suffix before the extension: "name@2x.png", "name-ipad.png".
std::string variant(const std::string &name, const std::string &suffix) {
  size_t slash = name.rfind('/');
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

bool doubleResolution() {
  return DeviceProfile::current().scale >= 2;
}

} // namespace

std::shared_ptr<media::Image> imageWithContentsOfFile2x(const std::string &path) {
  if (doubleResolution())
    if (auto sharp = media::Image::imageWithContentsOfFile(variant(path, "@2x"))) return sharp;
  return media::Image::imageWithContentsOfFile(path);
}

std::shared_ptr<media::Image> imageNamedForiPad(const std::string &name) {
  auto &registry = media::ImageRegistry::shared();
  if (Hardware::isiPad())
    if (auto pad = registry.imageNamed(variant(name, "-ipad"))) return pad;
  return registry.imageNamed(name);
}

std::shared_ptr<media::Image> imageNamediPad2x(const std::string &name) {
  auto &registry = media::ImageRegistry::shared();
  if (Hardware::isiPad())
    if (auto pad = registry.imageNamed(variant(name, "-ipad"))) return pad;
  if (doubleResolution())
    if (auto sharp = registry.imageNamed(variant(name, "@2x"))) return sharp;
  return registry.imageNamed(name);
}

std::shared_ptr<media::Image> imageWithData(const std::vector<uint8_t> &data, double scale) {
  return media::Image::imageWithData(data, scale);
}

std::shared_ptr<ui::Button> initWithButtonImage(const std::string &imageName,
                                                std::function<void()> action) {
  auto button = std::make_shared<ui::Button>(ui::ButtonType::Custom, ui::Rect(0, 0, 40, 40));
  button->setImage(imageName);
  button->setShowsTouchWhenHighlighted(true);
  if (action) button->addTarget(ui::TouchUpInside, [action](ui::Control &) { action(); });
  return button;
}

std::shared_ptr<ui::BarButtonItem> barButtonItemFixedWidth(int width) {
  return ui::BarButtonItem::fixedSpace(width);
}

MyToolbar::MyToolbar(ui::Rect frame) : Toolbar(frame) {
  setBackgroundColor(Color::clearColor());
  setOpaque(false);
}

std::shared_ptr<MyToolbar> MyToolbar::initWithButtonImage(const std::string &imageName,
                                                          std::function<void()> action) {
  auto toolbar = std::make_shared<MyToolbar>(ui::Rect(0, 0, 40, 40));
  auto item = ui::BarButtonItem::withImage(imageName, ui::BarButtonItemStyle::Plain,
                                           [action](ui::BarButtonItem &) {
                                             if (action) action();
                                           });
  toolbar->setItems({item});
  return toolbar;
}

void MyUINavigationController::viewDidLoad() {
  NavigationController::viewDidLoad();
  view()->setNeedsLayout();
  view()->layoutIfNeeded();
}

std::unique_ptr<media::BitmapContext> CreateARGBBitmapContextSized(int width, int height) {
  auto context = media::BitmapContext::create(width, height);
  if (!context) Log::standardError("Error allocating color space\n");
  return context;
}
