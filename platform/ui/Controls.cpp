#include "platform/ui/Controls.h"

#include "platform/ui/Json.h"

#include <algorithm>

namespace platform::ui {

using detail::toJson;

namespace {
const char *alignmentName(TextAlignment a) {
  switch (a) {
  case TextAlignment::Left:
    return "left";
  case TextAlignment::Center:
    return "center";
  case TextAlignment::Right:
    return "right";
  }
  return "left";
}
} // namespace

void Label::describe(nlohmann::json &out) const {
  View::describe(out);
  out["text"] = text_;
  out["font"] = toJson(font_);
  out["textColor"] = toJson(textColor_);
  out["alignment"] = alignmentName(alignment_);
  out["lines"] = numberOfLines_;
  out["minimumFontSize"] = adjusts_ ? minimumFontSize_ : font_.size;
  out["shadowColor"] = toJson(shadowColor_);
  out["shadowOffset"] = toJson(shadowOffset_);
  out["shadowRadius"] = shadowRadius_;
  out["lineBreak"] = static_cast<int>(lineBreak_);
}

void ImageView::describe(nlohmann::json &out) const {
  View::describe(out);
  out["image"] = imageName_;
}

void Control::describe(nlohmann::json &out) const {
  View::describe(out);
  out["enabled"] = enabled_;
  out["selected"] = selected_;
  out["verticalAlignment"] = static_cast<int>(verticalAlignment_);
}

void Control::addTarget(unsigned events, Action action) {
  actions_.emplace_back(events, std::move(action));
}

void Control::removeTargets(unsigned events) {
  for (auto &[mask, action] : actions_)
    mask &= ~events;
  actions_.erase(
      std::remove_if(actions_.begin(), actions_.end(), [](auto &a) { return a.first == 0; }),
      actions_.end());
}

bool Control::hasActions(unsigned events) const {
  return std::any_of(actions_.begin(), actions_.end(), [&](auto &a) { return a.first & events; });
}

void Control::sendActionsForControlEvents(unsigned events) {
  detail::requireMainThread("Control::sendActionsForControlEvents");
  auto self = shared_from_this(); // an action may release the control
  auto actions = actions_;
  for (auto &[mask, action] : actions)
    if ((mask & events) && action) action(*this);
}

bool Control::touchable(std::string &why) const {
  if (isHidden()) return why = "the control is hidden", false;
  if (!enabled_) return why = "the control is disabled", false;
  if (!isUserInteractionEnabled()) return why = "the control takes no touches", false;
  return true;
}

Button::Button(ButtonType type, Rect frame) : Control(frame), type_(type) {
  if (type == ButtonType::InfoLight || type == ButtonType::InfoDark)
    setFrame({frame.origin.x, frame.origin.y, 18, 19});
}

void Button::describe(nlohmann::json &out) const {
  Control::describe(out);
  static const char *kinds[] = {"custom",    "roundedRect", "detailDisclosure",
                                "infoLight", "infoDark",    "contactAdd"};
  out["buttonType"] = kinds[static_cast<int>(type_)];
  out["title"] = currentTitle();
  out["image"] = currentImage();
  out["backgroundImage"] = backgroundImageForState(currentState());
  out["font"] = toJson(font_);
  out["titleColor"] = toJson(titleColorForState(currentState()));
  out["titleShadowColor"] = toJson(titleShadow_);
  out["titleShadowOffset"] = toJson(titleShadowOffset_);
  out["showsTouch"] = showsTouch_;
}

bool Button::userTap(std::string &why) {
  if (!touchable(why)) return false;
  auto self = shared_from_this();
  sendActionsForControlEvents(TouchDown);
  sendActionsForControlEvents(TouchUpInside);
  return true;
}

ControlState Button::currentState() const {
  if (!isEnabled()) return ControlState::Disabled;
  if (isHighlighted()) return ControlState::Highlighted;
  if (isSelected()) return ControlState::Selected;
  return ControlState::Normal;
}

namespace {
template <class Map> auto forState(const Map &map, ControlState state) {
  auto it = map.find(state);
  if (it == map.end()) it = map.find(ControlState::Normal);
  return it == map.end() ? typename Map::mapped_type{} : it->second;
}
} // namespace

void Button::setTitle(std::string title, ControlState state) {
  titles_[state] = std::move(title);
}
std::string Button::titleForState(ControlState state) const {
  return forState(titles_, state);
}
void Button::setImage(std::string name, ControlState state) {
  images_[state] = std::move(name);
}
std::string Button::imageForState(ControlState state) const {
  return forState(images_, state);
}
void Button::setBackgroundImage(std::string name, ControlState state) {
  backgrounds_[state] = std::move(name);
}
std::string Button::backgroundImageForState(ControlState state) const {
  return forState(backgrounds_, state);
}
void Button::setTitleColor(Color color, ControlState state) {
  titleColors_[state] = color;
}
std::optional<Color> Button::titleColorForState(ControlState state) const {
  auto it = titleColors_.find(state);
  if (it == titleColors_.end()) it = titleColors_.find(ControlState::Normal);
  return it == titleColors_.end() ? std::nullopt : std::optional<Color>(it->second);
}
std::string Button::currentTitle() const {
  return titleForState(currentState());
}
std::string Button::currentImage() const {
  return imageForState(currentState());
}

void Switch::describe(nlohmann::json &out) const {
  Control::describe(out);
  out["on"] = on_;
}

void Switch::setOn(bool on, bool animated) {
  (void)animated;
  on_ = on;
}

bool Switch::userTap(std::string &why) {
  if (!touchable(why)) return false;
  on_ = !on_;
  sendActionsForControlEvents(ValueChanged);
  return true;
}

void Slider::describe(nlohmann::json &out) const {
  Control::describe(out);
  out["value"] = value_;
  out["minimum"] = min_;
  out["maximum"] = max_;
}

void Slider::setValue(double v, bool animated) {
  (void)animated;
  value_ = std::clamp(v, min_, std::max(min_, max_));
}

bool Slider::userSlide(double v, std::string &why) {
  if (!touchable(why)) return false;
  setValue(v);
  sendActionsForControlEvents(ValueChanged);
  return true;
}

SegmentedControl::SegmentedControl(std::vector<std::string> titles) {
  for (auto &t : titles)
    segments_.push_back({std::move(t), {}, true});
}

void SegmentedControl::describe(nlohmann::json &out) const {
  Control::describe(out);
  auto segs = nlohmann::json::array();
  for (auto &s : segments_)
    segs.push_back({{"title", s.title}, {"image", s.imageName}, {"enabled", s.enabled}});
  out["segments"] = segs;
  out["selectedIndex"] = selected_;
  out["momentary"] = momentary_;
  out["style"] = static_cast<int>(style_);
  out["tint"] = toJson(tint_);
}

void SegmentedControl::insertSegmentWithTitle(std::string title, size_t index, bool) {
  segments_.insert(segments_.begin() + static_cast<long>(std::min(index, segments_.size())),
                   {std::move(title), {}, true});
}
void SegmentedControl::insertSegmentWithImage(std::string imageName, size_t index, bool) {
  segments_.insert(segments_.begin() + static_cast<long>(std::min(index, segments_.size())),
                   {{}, std::move(imageName), true});
}
void SegmentedControl::removeAllSegments() {
  segments_.clear();
  selected_ = -1;
}
std::string SegmentedControl::titleForSegmentAtIndex(size_t i) const {
  return i < segments_.size() ? segments_[i].title : std::string();
}
void SegmentedControl::setTitle(std::string title, size_t i) {
  if (i < segments_.size()) segments_[i].title = std::move(title);
}
std::string SegmentedControl::imageForSegmentAtIndex(size_t i) const {
  return i < segments_.size() ? segments_[i].imageName : std::string();
}
void SegmentedControl::setEnabled(bool on, size_t i) {
  if (i < segments_.size()) segments_[i].enabled = on;
}
bool SegmentedControl::isEnabledForSegmentAtIndex(size_t i) const {
  return i < segments_.size() && segments_[i].enabled;
}

bool SegmentedControl::userSelect(int index, std::string &why) {
  if (!touchable(why)) return false;
  if (index < 0 || static_cast<size_t>(index) >= segments_.size())
    return why = "no segment " + std::to_string(index), false;
  if (!segments_[static_cast<size_t>(index)].enabled)
    return why = "segment " + std::to_string(index) + " is disabled", false;
  if (index == selected_ && !momentary_) return true; // no change, no event
  selected_ = index;
  sendActionsForControlEvents(ValueChanged);
  if (momentary_) selected_ = -1;
  return true;
}

void ProgressView::describe(nlohmann::json &out) const {
  View::describe(out);
  out["progress"] = progress_;
  out["style"] = style_ == ProgressViewStyle::Bar ? "bar" : "default";
}

void ProgressView::setProgress(float p) {
  progress_ = std::clamp(p, 0.0f, 1.0f);
}

void ActivityIndicatorView::describe(nlohmann::json &out) const {
  View::describe(out);
  static const char *styles[] = {"whiteLarge", "white", "gray"};
  out["style"] = styles[static_cast<int>(style_)];
  out["animating"] = animating_;
}

void ActivityIndicatorView::startAnimating() {
  animating_ = true;
  if (hidesWhenStopped_) setHidden(false);
}

void ActivityIndicatorView::stopAnimating() {
  animating_ = false;
  if (hidesWhenStopped_) setHidden(true);
}

namespace {
const char *systemItemName(BarButtonSystemItem item) {
  switch (item) {
  case BarButtonSystemItem::None:
    return "";
  case BarButtonSystemItem::Done:
    return "Done";
  case BarButtonSystemItem::Cancel:
    return "Cancel";
  case BarButtonSystemItem::Edit:
    return "Edit";
  case BarButtonSystemItem::Save:
    return "Save";
  case BarButtonSystemItem::Refresh:
    return "Refresh";
  case BarButtonSystemItem::Pause:
    return "Pause";
  case BarButtonSystemItem::Play:
    return "Play";
  case BarButtonSystemItem::Compose:
    return "Compose";
  case BarButtonSystemItem::Bookmarks:
    return "Bookmarks";
  case BarButtonSystemItem::Stop:
    return "Stop";
  case BarButtonSystemItem::FlexibleSpace:
    return "FlexibleSpace";
  case BarButtonSystemItem::FixedSpace:
    return "FixedSpace";
  }
  return "";
}
} // namespace

std::shared_ptr<BarButtonItem> BarButtonItem::systemItem(BarButtonSystemItem kind, Action action) {
  auto item = std::make_shared<BarButtonItem>();
  item->system_ = kind;
  item->action_ = std::move(action);
  if (kind == BarButtonSystemItem::Done) item->style_ = BarButtonItemStyle::Done;
  return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::titled(std::string title, BarButtonItemStyle style,
                                                     Action action) {
  auto item = std::make_shared<BarButtonItem>();
  item->title_ = std::move(title);
  item->style_ = style;
  item->action_ = std::move(action);
  return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::withImage(std::string imageName,
                                                        BarButtonItemStyle style, Action action) {
  auto item = std::make_shared<BarButtonItem>();
  item->imageName_ = std::move(imageName);
  item->style_ = style;
  item->action_ = std::move(action);
  return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::withCustomView(std::shared_ptr<View> view) {
  auto item = std::make_shared<BarButtonItem>();
  item->customView_ = std::move(view);
  return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::fixedSpace(double width) {
  auto item = systemItem(BarButtonSystemItem::FixedSpace);
  item->width_ = width;
  return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::flexibleSpace() {
  return systemItem(BarButtonSystemItem::FlexibleSpace);
}

bool BarButtonItem::isSpace() const {
  return system_ == BarButtonSystemItem::FlexibleSpace ||
         system_ == BarButtonSystemItem::FixedSpace;
}

std::string BarButtonItem::probeName() const {
  if (!accessibilityLabel_.empty()) return accessibilityLabel_;
  if (!title_.empty()) return title_;
  if (customView_) {
    if (!customView_->accessibilityLabel().empty()) return customView_->accessibilityLabel();
    if (auto t = customView_->probeTitle(); !t.empty()) return t;
  }
  return systemItemName(system_);
}

void BarButtonItem::describe(nlohmann::json &out) const {
  out["system"] = systemItemName(system_);
  out["title"] = title_;
  out["image"] = imageName_;
  static const char *styles[] = {"plain", "bordered", "done"};
  out["style"] = styles[static_cast<int>(style_)];
  out["enabled"] = enabled_;
  out["width"] = width_;
  out["tag"] = tag_;
  out["label"] = accessibilityLabel_;
}

bool BarButtonItem::userTap(std::string &why) {
  detail::requireMainThread("BarButtonItem::userTap");
  if (isSpace()) return why = "a space is not a button", false;
  if (!enabled_) return why = "the item \"" + probeName() + "\" is disabled", false;
  if (customView_) return customView_->userTap(why);
  if (!action_) return why = "the item \"" + probeName() + "\" has no action", false;
  auto self = shared_from_this();
  auto action = action_;
  action(*this);
  return true;
}

void Toolbar::describe(nlohmann::json &out) const {
  View::describe(out);
  out["barStyle"] = static_cast<int>(barStyle_);
  out["tint"] = toJson(tint_);
}

void Toolbar::setItems(std::vector<std::shared_ptr<BarButtonItem>> items, bool animated) {
  items_ = std::move(items);
  animated_ = animated;
}

} // namespace platform::ui
