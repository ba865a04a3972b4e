#include "app/foundation/SmallClasses.h"

#include "platform/device/Application.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/BitmapContext.h"
#include "platform/ui/Services.h"

#include <algorithm>

// --- MyCache -------------------------------------------------------------------------------

void MyCache::addToCache(std::shared_ptr<void> object, const std::string &type) {
  if (object) theCache[type].push_back(std::move(object));
}

std::shared_ptr<void> MyCache::getObjectOfType(const std::string &type) {
  auto it = theCache.find(type);
  if (it == theCache.end() || it->second.empty()) return nullptr;
  auto object = std::move(it->second.back());
  it->second.pop_back();
  return object;
}

std::shared_ptr<void> MyCache::findObjectOfType(const std::string &type) const {
  auto it = theCache.find(type);
  if (it == theCache.end() || it->second.empty()) return nullptr;
  return it->second.back();
}

void MyCache::emptyCache() {
  theCache.clear();
}

// --- MyReviewPrompt --------------------------------------------------------------------------

namespace {
constexpr const char *kCountKey = "maybeShowReviewPromptCount";
constexpr const char *kResetKey = "maybeShowReviewReset";
} // namespace

std::string MyReviewPrompt::reviewPageAddress(int iTunesID) {
  return "http://www.ferrowen.example/review/?id=" + std::to_string(iTunesID);
}

void MyReviewPrompt::resetRunCount(int count, int version) {
  auto &settings = platform::UserDefaults::standard();
  if (settings.integerForKey(kResetKey) < version) {
    settings.setObject(std::to_string(version), kResetKey);
    settings.setObject(std::to_string(count), kCountKey);
    settings.synchronize();
  }
}

void MyReviewPrompt::maybeShowReviewPrompt(const std::string &appName, int iTunesID, int after) {
  auto &settings = platform::UserDefaults::standard();
  const int count = settings.integerForKey(kCountKey);
  reviewTunesID_ = iTunesID;
  if (count + 1 == after) {
    keepAlive_ = shared_from_this();
    auto alert = std::make_shared<platform::ui::AlertView>(
        "Enjoying " + appName + "?",
        "If so, please rate with 5 stars in the App Store so we can keep the free updates coming!",
        weak_from_this(), "Don't Ask Again",
        std::vector<std::string>{"\xE2\x98\x85 Yes, Rate It \xE2\x98\x85", "Remind me Later"});
    alert->showOnMainThread();
  }
  settings.setObject(std::to_string(count + 1), kCountKey);
  settings.synchronize();
}

void MyReviewPrompt::clickedButtonAtIndex(platform::ui::AlertView &, int buttonIndex) {
  auto &settings = platform::UserDefaults::standard();
  if (buttonIndex == 1) {
    platform::Application::shared().openURL(reviewPageAddress(reviewTunesID_));
  } else if (buttonIndex == 2) {
    // Ask again five launches later.
    const int count = settings.integerForKey(kCountKey);
    settings.setObject(std::to_string(std::max(count - 5, 0)), kCountKey);
    settings.synchronize();
  }
  keepAlive_.reset();
}

// --- Tooltip -----------------------------------------------------------------------------------

std::shared_ptr<Tooltip> Tooltip::initTipString(const std::string &text, platform::ui::Point point,
                                                const std::shared_ptr<platform::ui::View> &view) {
  using namespace platform::ui;
  platform::media::FontSpec font;
  font.size = 16;
  double textWidth = 0, textHeight = 0;
  if (!text.empty()) {
    const auto size = platform::media::measureTextInWidth(text, font, 200, 200);
    textWidth = size.width;
    textHeight = size.height;
  }
  const double w = textWidth + 16, h = textHeight + 4;

  auto tip = std::make_shared<Tooltip>();
  tip->setFrame(Rect(point.x - w / 2, point.y, w, h + 10));
  tip->setBackgroundColor(Color::clearColor());
  tip->setOpaque(false);
  tip->setAccessibilityLabel(text);

  tip->label_ = std::make_shared<Label>(Rect(0, 10, w, h));
  tip->label_->setBackgroundColor(Color{0, 0, 0, 0.66});
  tip->label_->setTextColor(Color::whiteColor());
  tip->label_->setNumberOfLines(5);
  tip->label_->setTextAlignment(TextAlignment::Center);
  tip->label_->setFont(Font::system(16));
  tip->label_->setText(text);
  tip->addSubview(tip->label_);

  auto arrow = std::make_shared<ImageView>("tooltip-arrow-up.png");
  arrow->setFrame(Rect(w / 2 - 10, 0, 20, 10));
  arrow->setAlpha(0.66);
  tip->addSubview(arrow);

  if (view) view->addSubview(tip);
  std::weak_ptr<Tooltip> weak = tip;
  tip->fadeTimer_ = platform::RunLoop::current()->performAfter(platform::seconds(6), [weak] {
    if (auto strong = weak.lock()) strong->fadeAway();
  });
  return tip;
}

void Tooltip::fadeAway() {
  if (faded_) return;
  faded_ = true;
  if (fadeTimer_) fadeTimer_->invalidate();
  // Faded out over 1.5 s; the bubble leaves its view when the fade is over (and lives until then).
  auto self = std::static_pointer_cast<Tooltip>(shared_from_this());
  platform::ui::animate(
      1.5, [self] { self->setAlpha(0); }, [self](bool) { self->removeFromSuperview(); });
}

bool Tooltip::userTap(std::string &) {
  fadeAway();
  return true;
}
