// Controls and bars: labels, buttons, switches, sliders, segmented controls, progress and
// activity indicators, image views, bar button items and toolbars. Images are named (the name
// of a resource, or the name under which the media layer registered a generated image).
#pragma once

#include "platform/ui/View.h"

#include <functional>
#include <map>
#include <optional>

namespace platform::ui {

enum class TextAlignment { Left, Center, Right };
enum class LineBreakMode {
  WordWrap,
  CharacterWrap,
  Clip,
  TruncateHead,
  TruncateTail,
  TruncateMiddle
};

class Label : public View {
public:
  using View::View;
  const char *typeName() const override { return "label"; }
  void describe(nlohmann::json &out) const override;
  std::string probeText() const override { return text_; }

  const std::string &text() const { return text_; }
  void setText(std::string text) { text_ = std::move(text); }
  Font font() const { return font_; }
  void setFont(Font font) { font_ = std::move(font); }
  Color textColor() const { return textColor_; }
  void setTextColor(Color c) { textColor_ = c; }
  std::optional<Color> highlightedTextColor() const { return highlightedTextColor_; }
  void setHighlightedTextColor(std::optional<Color> c) { highlightedTextColor_ = c; }
  std::optional<Color> shadowColor() const { return shadowColor_; }
  void setShadowColor(std::optional<Color> c) { shadowColor_ = c; }
  Size shadowOffset() const { return shadowOffset_; }
  void setShadowOffset(Size s) { shadowOffset_ = s; }
  // How far the shadow spreads round the letters (the layer's shadow radius; 0: a sharp copy).
  double shadowRadius() const { return shadowRadius_; }
  void setShadowRadius(double r) { shadowRadius_ = r; }
  TextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(TextAlignment a) { alignment_ = a; }
  int numberOfLines() const { return numberOfLines_; }
  void setNumberOfLines(int n) { numberOfLines_ = n; }
  LineBreakMode lineBreakMode() const { return lineBreak_; }
  void setLineBreakMode(LineBreakMode m) { lineBreak_ = m; }
  bool adjustsFontSizeToFitWidth() const { return adjusts_; }
  void setAdjustsFontSizeToFitWidth(bool on) { adjusts_ = on; }
  double minimumFontSize() const { return minimumFontSize_; }
  void setMinimumFontSize(double s) { minimumFontSize_ = s; }
  bool isHighlighted() const { return highlighted_; }
  void setHighlighted(bool on) { highlighted_ = on; }

private:
  std::string text_;
  Font font_ = Font::system(Font::labelFontSize());
  Color textColor_ = Color::blackColor();
  std::optional<Color> highlightedTextColor_, shadowColor_;
  Size shadowOffset_{0, -1};
  double shadowRadius_ = 0;
  TextAlignment alignment_ = TextAlignment::Left;
  LineBreakMode lineBreak_ = LineBreakMode::TruncateTail;
  int numberOfLines_ = 1;
  bool adjusts_ = false, highlighted_ = false;
  double minimumFontSize_ = 0;
};

class ImageView : public View {
public:
  using View::View;
  explicit ImageView(std::string imageName) : imageName_(std::move(imageName)) {}
  const char *typeName() const override { return "image"; }
  void describe(nlohmann::json &out) const override;
  const std::string &imageName() const { return imageName_; }
  void setImageName(std::string name) { imageName_ = std::move(name); }

private:
  std::string imageName_;
};

// Control events (bits).
enum ControlEvent : unsigned {
  TouchDown = 1,
  TouchUpInside = 2,
  ValueChanged = 4,
  EditingDidBegin = 8,
  EditingChanged = 16,
  EditingDidEnd = 32,
  EditingDidEndOnExit = 64
};
enum class ControlState { Normal, Highlighted, Disabled, Selected };
enum class ControlContentVerticalAlignment { Center, Top, Bottom, Fill };

class Control : public View {
public:
  using View::View;
  using Action = std::function<void(Control &)>;

  bool isEnabled() const { return enabled_; }
  void setEnabled(bool on) { enabled_ = on; }
  bool isSelected() const { return selected_; }
  void setSelected(bool on) { selected_ = on; }
  bool isHighlighted() const { return highlighted_; }
  void setHighlighted(bool on) { highlighted_ = on; }
  ControlContentVerticalAlignment contentVerticalAlignment() const { return verticalAlignment_; }
  void setContentVerticalAlignment(ControlContentVerticalAlignment a) { verticalAlignment_ = a; }
  // Target-action: the action runs for any of the events in the mask, in the order added.
  void addTarget(unsigned events, Action action);
  void removeTargets(unsigned events);
  void sendActionsForControlEvents(unsigned events);
  bool hasActions(unsigned events) const;

protected:
  void describe(nlohmann::json &out) const override;
  // Refuses (with the reason) when the control cannot be touched.
  bool touchable(std::string &why) const;

private:
  bool enabled_ = true, selected_ = false, highlighted_ = false;
  ControlContentVerticalAlignment verticalAlignment_ = ControlContentVerticalAlignment::Top;
  std::vector<std::pair<unsigned, Action>> actions_;
};

enum class ButtonType { Custom, RoundedRect, DetailDisclosure, InfoLight, InfoDark, ContactAdd };

class Button : public Control {
public:
  explicit Button(ButtonType type = ButtonType::Custom, Rect frame = {});
  const char *typeName() const override { return "button"; }
  void describe(nlohmann::json &out) const override;
  std::string probeTitle() const override { return currentTitle(); }
  bool userTap(std::string &why) override;

  ButtonType buttonType() const { return type_; }
  void setTitle(std::string title, ControlState state = ControlState::Normal);
  std::string titleForState(ControlState state) const;
  void setImage(std::string imageName, ControlState state = ControlState::Normal);
  std::string imageForState(ControlState state) const;
  void setBackgroundImage(std::string imageName, ControlState state = ControlState::Normal);
  std::string backgroundImageForState(ControlState state) const;
  void setTitleColor(Color color, ControlState state = ControlState::Normal);
  std::optional<Color> titleColorForState(ControlState state) const;
  // The title and image for the button's present state (falling back to the normal ones).
  std::string currentTitle() const;
  std::string currentImage() const;
  Font titleFont() const { return font_; }
  void setTitleFont(Font font) { font_ = std::move(font); }
  std::optional<Color> titleShadowColor() const { return titleShadow_; }
  void setTitleShadowColor(std::optional<Color> c) { titleShadow_ = c; }
  Size titleShadowOffset() const { return titleShadowOffset_; }
  void setTitleShadowOffset(Size s) { titleShadowOffset_ = s; }
  bool showsTouchWhenHighlighted() const { return showsTouch_; }
  void setShowsTouchWhenHighlighted(bool on) { showsTouch_ = on; }
  bool adjustsImageWhenHighlighted() const { return adjustsImage_; }
  void setAdjustsImageWhenHighlighted(bool on) { adjustsImage_ = on; }

private:
  ControlState currentState() const;
  ButtonType type_;
  std::map<ControlState, std::string> titles_, images_, backgrounds_;
  std::map<ControlState, Color> titleColors_;
  Font font_ = Font::boldSystem(15);
  std::optional<Color> titleShadow_;
  Size titleShadowOffset_;
  bool showsTouch_ = false, adjustsImage_ = true;
};

class Switch : public Control {
public:
  using Control::Control;
  const char *typeName() const override { return "switch"; }
  void describe(nlohmann::json &out) const override;
  bool userTap(std::string &why) override; // flips the switch, then ValueChanged
  bool isOn() const { return on_; }
  void setOn(bool on, bool animated = false);

private:
  bool on_ = false;
};

class Slider : public Control {
public:
  using Control::Control;
  const char *typeName() const override { return "slider"; }
  void describe(nlohmann::json &out) const override;
  double value() const { return value_; }
  void setValue(double v, bool animated = false); // clamped to the limits
  double minimumValue() const { return min_; }
  double maximumValue() const { return max_; }
  void setMinimumValue(double v) { min_ = v; }
  void setMaximumValue(double v) { max_ = v; }
  bool isContinuous() const { return continuous_; }
  void setContinuous(bool on) { continuous_ = on; }
  // A person drags the thumb to v: ValueChanged follows.
  bool userSlide(double v, std::string &why);

private:
  double value_ = 0, min_ = 0, max_ = 1;
  bool continuous_ = true;
};

enum class SegmentedControlStyle { Plain, Bordered, Bar, Bezeled };

class SegmentedControl : public Control {
public:
  SegmentedControl() = default;
  explicit SegmentedControl(std::vector<std::string> titles);
  const char *typeName() const override { return "segmented"; }
  void describe(nlohmann::json &out) const override;

  size_t numberOfSegments() const { return segments_.size(); }
  void insertSegmentWithTitle(std::string title, size_t index, bool animated = false);
  void insertSegmentWithImage(std::string imageName, size_t index, bool animated = false);
  void removeAllSegments();
  std::string titleForSegmentAtIndex(size_t index) const;
  void setTitle(std::string title, size_t index);
  std::string imageForSegmentAtIndex(size_t index) const;
  void setEnabled(bool on, size_t index);
  bool isEnabledForSegmentAtIndex(size_t index) const;
  // -1: none. Setting it in code sends no action, as on the phone.
  int selectedSegmentIndex() const { return selected_; }
  void setSelectedSegmentIndex(int index) { selected_ = index; }
  bool isMomentary() const { return momentary_; }
  void setMomentary(bool on) { momentary_ = on; }
  SegmentedControlStyle segmentedControlStyle() const { return style_; }
  void setSegmentedControlStyle(SegmentedControlStyle s) { style_ = s; }
  std::optional<Color> tintColor() const { return tint_; }
  void setTintColor(std::optional<Color> c) { tint_ = c; }
  // A person taps segment i: it is selected (a momentary control shows none afterwards) and
  // ValueChanged follows (the actions see the tapped index).
  bool userSelect(int index, std::string &why);

private:
  struct Segment {
    std::string title, imageName;
    bool enabled = true;
  };
  std::vector<Segment> segments_;
  int selected_ = -1;
  bool momentary_ = false;
  SegmentedControlStyle style_ = SegmentedControlStyle::Plain;
  std::optional<Color> tint_;
};

enum class ProgressViewStyle { Default, Bar };

class ProgressView : public View {
public:
  explicit ProgressView(ProgressViewStyle style = ProgressViewStyle::Default) : style_(style) {}
  const char *typeName() const override { return "progress"; }
  void describe(nlohmann::json &out) const override;
  float progress() const { return progress_; }
  void setProgress(float p); // clamped to 0...1
  ProgressViewStyle progressViewStyle() const { return style_; }

private:
  ProgressViewStyle style_;
  float progress_ = 0;
};

enum class ActivityIndicatorStyle { WhiteLarge, White, Gray };

class ActivityIndicatorView : public View {
public:
  explicit ActivityIndicatorView(ActivityIndicatorStyle style = ActivityIndicatorStyle::White)
      : style_(style) {}
  const char *typeName() const override { return "activity"; }
  void describe(nlohmann::json &out) const override;
  ActivityIndicatorStyle activityIndicatorViewStyle() const { return style_; }
  void startAnimating();
  void stopAnimating(); // hides the view when hidesWhenStopped
  bool isAnimating() const { return animating_; }
  bool hidesWhenStopped() const { return hidesWhenStopped_; }
  void setHidesWhenStopped(bool on) { hidesWhenStopped_ = on; }

private:
  ActivityIndicatorStyle style_;
  bool animating_ = false, hidesWhenStopped_ = true;
};

// The system bar items the screens use; None for items with a title, an image or a view.
enum class BarButtonSystemItem {
  None,
  Done,
  Cancel,
  Edit,
  Save,
  Refresh,
  Pause,
  Play,
  Compose,
  Bookmarks,
  Stop,
  FlexibleSpace,
  FixedSpace
};
enum class BarButtonItemStyle { Plain, Bordered, Done };

// An item of a navigation bar or a toolbar (not a view). Probe names: the accessibility label,
// else the title, else the system item's own name ("Done", "Refresh", "Pause", ...).
class BarButtonItem : public Element {
public:
  using Action = std::function<void(BarButtonItem &)>;
  static std::shared_ptr<BarButtonItem> systemItem(BarButtonSystemItem item, Action action = {});
  static std::shared_ptr<BarButtonItem> titled(std::string title, BarButtonItemStyle style,
                                               Action action = {});
  static std::shared_ptr<BarButtonItem> withImage(std::string imageName, BarButtonItemStyle style,
                                                  Action action = {});
  static std::shared_ptr<BarButtonItem> withCustomView(std::shared_ptr<View> view);
  static std::shared_ptr<BarButtonItem> fixedSpace(double width);
  static std::shared_ptr<BarButtonItem> flexibleSpace();

  const char *typeName() const override { return "barItem"; }
  void describe(nlohmann::json &out) const override;

  BarButtonSystemItem systemItemKind() const { return system_; }
  const std::string &title() const { return title_; }
  void setTitle(std::string t) { title_ = std::move(t); }
  const std::string &imageName() const { return imageName_; }
  void setImageName(std::string n) { imageName_ = std::move(n); }
  BarButtonItemStyle style() const { return style_; }
  void setStyle(BarButtonItemStyle s) { style_ = s; }
  std::shared_ptr<View> customView() const { return customView_; }
  void setCustomView(std::shared_ptr<View> v) { customView_ = std::move(v); }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool on) { enabled_ = on; }
  double width() const { return width_; }
  void setWidth(double w) { width_ = w; }
  int tag() const { return tag_; }
  void setTag(int t) { tag_ = t; }
  const std::string &accessibilityLabel() const { return accessibilityLabel_; }
  void setAccessibilityLabel(std::string l) { accessibilityLabel_ = std::move(l); }
  void setAction(Action a) { action_ = std::move(a); }
  bool isSpace() const;
  // The name a person reads (see above).
  std::string probeName() const;
  // A person's tap: runs the action (or taps the custom view).
  bool userTap(std::string &why);

private:
  BarButtonSystemItem system_ = BarButtonSystemItem::None;
  BarButtonItemStyle style_ = BarButtonItemStyle::Plain;
  std::string title_, imageName_, accessibilityLabel_;
  std::shared_ptr<View> customView_;
  bool enabled_ = true;
  double width_ = 0;
  int tag_ = 0;
  Action action_;
};

enum class BarStyle { Default, Black, BlackTranslucent };

class Toolbar : public View {
public:
  using View::View;
  const char *typeName() const override { return "toolbar"; }
  void describe(nlohmann::json &out) const override;
  const std::vector<std::shared_ptr<BarButtonItem>> &items() const { return items_; }
  void setItems(std::vector<std::shared_ptr<BarButtonItem>> items, bool animated = false);
  bool lastItemsAnimated() const { return animated_; }
  BarStyle barStyle() const { return barStyle_; }
  void setBarStyle(BarStyle s) { barStyle_ = s; }
  std::optional<Color> tintColor() const { return tint_; }
  void setTintColor(std::optional<Color> c) { tint_ = c; }

private:
  std::vector<std::shared_ptr<BarButtonItem>> items_;
  bool animated_ = false;
  BarStyle barStyle_ = BarStyle::Default;
  std::optional<Color> tint_;
};

} // namespace platform::ui
