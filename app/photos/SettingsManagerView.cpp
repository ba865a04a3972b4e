#include "app/photos/SettingsManagerView.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/StringUtils.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/Image.h"

using namespace platform;
using namespace platform::ui;

double settingRowWidth = 300;
double settingLabelWidth = 170;
double settingPopoverHeight = 436;

namespace {

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

std::string stored(const std::string &key) {
  return key.empty() ? std::string() : settings().stringForKey(key).value_or("");
}

// The stored index of an indexed list: text that is no number counts as the first choice.
int storedIndex(const std::string &key) {
  return static_cast<int>(std::strtol(stored(key).c_str(), nullptr, 10));
}

enum Tag {
  kCaption = 1,
  kValue = 2,
  kSwitchTag = 3,
  kSliderTag = 4,
  kButtonTag = 5,
  kOtherTag = 6
};

std::shared_ptr<SettingsItem> item(int type, const std::string &description) {
  auto s = std::make_shared<SettingsItem>();
  s->type = type;
  s->description = description;
  return s;
}

} // namespace

// --- Rows ------------------------------------------------------------------------------------

std::shared_ptr<SettingsItem> SettingsItem::settingSwitchNamed(const std::string &name,
                                                               const std::string &registry,
                                                               ScreenCallback selectorChange) {
  auto s = item(kSwitch, name);
  s->registeredName = registry;
  s->changeCallback = std::move(selectorChange);
  s->yesnoSwitch = std::make_shared<Switch>(Rect(0, 0, 94, 27));
  s->yesnoSwitch->setAccessibilityLabel(name);
  s->yesnoSwitch->setOn(storedIndex(registry) != 0);
  return s;
}

std::shared_ptr<SettingsItem> SettingsItem::settingTextNamed(const std::string &name,
                                                             const std::string &registry) {
  auto s = item(kText, name);
  s->registeredName = registry;
  return s;
}

std::shared_ptr<SettingsItem> SettingsItem::settingPasswordNamed(const std::string &name,
                                                                 const std::string &registry) {
  auto s = item(kPassword, name);
  s->registeredName = registry;
  return s;
}

std::shared_ptr<SettingsItem> SettingsItem::settingListNamed(const std::string &name,
                                                             std::vector<std::string> items,
                                                             bool indexed,
                                                             const std::string &registry) {
  auto s = item(kList, name);
  s->registeredName = registry;
  s->indexed = indexed;
  s->listItems.assign(items.begin(), items.end());
  return s;
}

std::shared_ptr<SettingsItem> SettingsItem::settingInfoURLNamed(const std::string &name,
                                                                const std::string &title,
                                                                const std::string &url) {
  auto s = item(kInfoURL, name);
  s->showURLTitle = title;
  s->showURL = url;
  return s;
}

std::shared_ptr<SettingsItem>
SettingsItem::settingInfoLabelNamed(const std::string &name, const std::string &label,
                                    std::function<void(Label &)> labelSetup) {
  auto s = item(kInfoLabel, name);
  s->label = label;
  s->setupLabelCallback = std::move(labelSetup);
  return s;
}

std::shared_ptr<SettingsItem> SettingsItem::settingSliderNamed(const std::string &name,
                                                               const std::string &registry,
                                                               double minValue, double maxValue,
                                                               ScreenCallback slideSelector) {
  auto s = item(kSlider, name);
  s->registeredName = registry;
  s->minValue = minValue;
  s->maxValue = maxValue;
  s->changeCallback = std::move(slideSelector);
  s->slider = std::make_shared<Slider>(Rect(0, 0, 114, 28));
  s->slider->setAccessibilityLabel(name);
  s->slider->setMinimumValue(minValue);
  s->slider->setMaximumValue(maxValue);
  s->slider->setValue(std::strtod(stored(registry).c_str(), nullptr));
  return s;
}

std::shared_ptr<SettingsItem>
SettingsItem::settingButtonNamed(const std::string &name, const std::string &buttonTitle,
                                 std::function<void()> selectorClick) {
  auto s = item(kButton, name);
  s->label = buttonTitle;
  s->clickCallback = std::move(selectorClick);
  s->fakedButton = std::make_shared<SegmentedControl>(std::vector<std::string>{buttonTitle});
  s->fakedButton->setMomentary(true);
  s->fakedButton->setSegmentedControlStyle(SegmentedControlStyle::Bar);
  s->fakedButton->setTintColor(Color{0.6, 0.65, 1.0, 1});
  s->fakedButton->setAccessibilityLabel(buttonTitle);
  std::weak_ptr<SettingsItem> weak = s;
  s->fakedButton->addTarget(TouchUpInside | ValueChanged, [weak](Control &) {
    if (auto self = weak.lock(); self && self->clickCallback) self->clickCallback();
  });
  return s;
}

std::shared_ptr<SettingsItem> SettingsItem::settingColorListNamed(const std::string &name,
                                                                  std::vector<Color> colors,
                                                                  bool indexed,
                                                                  const std::string &registry) {
  auto s = item(kColorList, name);
  s->registeredName = registry;
  s->indexed = indexed;
  for (const Color &c : colors)
    s->listItems.emplace_back(c);
  return s;
}

std::shared_ptr<SettingsItem>
SettingsItem::settingPushViewLabel(const std::string &label, std::shared_ptr<ViewController> vc,
                                   std::function<void(Label &)> labelSetup) {
  auto s = item(kPushView, label);
  s->label = vc ? vc->title() : std::string();
  s->pushVC = std::move(vc);
  // Kept, as callers hand it over; the table fills only info labels through it.
  s->setupLabelCallback = std::move(labelSetup);
  return s;
}

std::shared_ptr<SettingsItem> SettingsItem::settingImage(const std::string &imageName) {
  auto s = item(kImage, "");
  s->imgView = std::make_shared<ImageView>(imageName);
  Size size{0, 0};
  if (auto image = media::ImageRegistry::shared().imageNamed(imageName))
    size = Size{image->size().width, image->size().height};
  s->imgView->setFrame(Rect(8, 5, size.width, size.height));
  return s;
}

std::shared_ptr<SettingsItem> SettingsItem::settingLongLabel(const std::string &text) {
  return item(kLongLabel, text);
}

// --- Screen ----------------------------------------------------------------------------------

const std::vector<std::string> &SettingsManagerView::affiliatePrefixes() {
  static const std::vector<std::string> none;
  return none;
}

SettingsManagerView::SettingsManagerView(const std::string &nibName) : ViewController(nibName) {
  settingRowWidth = 300;
  settingLabelWidth = 170;
  settingPopoverHeight = 436;
}

void SettingsManagerView::addSection(const std::string &title) {
  sectionNames_.push_back(title);
  sectionData_.emplace_back();
}

void SettingsManagerView::addSetting(std::shared_ptr<SettingsItem> setting) {
  if (sectionData_.empty() || !setting) return;
  sectionData_.back().push_back(std::move(setting));
}

void SettingsManagerView::setSectionTitleColor(Color color) {
  useCustomSections_ = true;
  sectionTextColor_ = color;
}

void SettingsManagerView::setBackground(const std::string &imageName, Point offset) {
  background_ = std::make_shared<ImageView>(imageName);
  background_->setFrame(Rect(offset.x, offset.y, 320, 480));
  if (isViewLoaded()) {
    tableView_->setBackgroundColor(Color::clearColor());
    view()->insertSubview(background_, 0);
  }
}

void SettingsManagerView::setCenteredBackground(const std::string &imageName) {
  Size size{320, 480};
  if (auto image = media::ImageRegistry::shared().imageNamed(imageName))
    size = Size{image->size().width, image->size().height};
  const Rect b = isViewLoaded() ? view()->bounds() : Rect(0, 0, 320, 480);
  setBackground(imageName,
                Point{(b.size.width - size.width) / 2, (b.size.height - size.height) / 2});
  background_->setFrame(
      Rect(background_->frame().origin.x, background_->frame().origin.y, size.width, size.height));
}

void SettingsManagerView::refresh() {
  if (tableView_) tableView_->reloadData();
}

std::shared_ptr<SettingsItem> SettingsManagerView::itemAt(IndexPath ip) const {
  if (ip.section < 0 || static_cast<size_t>(ip.section) >= sectionData_.size()) return nullptr;
  const auto &rows = sectionData_[static_cast<size_t>(ip.section)];
  if (ip.row < 0 || static_cast<size_t>(ip.row) >= rows.size()) return nullptr;
  return rows[static_cast<size_t>(ip.row)];
}

void SettingsManagerView::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 416));
  tableView_ = std::make_shared<TableView>(TableViewStyle::Grouped, Rect(0, 0, 320, 416));
  tableView_->setAutoresizingMask(~0u);
  root->addSubview(tableView_);
  setView(root);
  if (background_) {
    tableView_->setBackgroundColor(Color::clearColor());
    root->insertSubview(background_, 0);
  }
}

void SettingsManagerView::viewDidLoad() {
  auto self = sharedAs<SettingsManagerView>();
  tableView_->setDataSource(std::static_pointer_cast<TableViewDataSource>(self));
  tableView_->setDelegate(std::static_pointer_cast<TableViewDelegate>(self));
  tableView_->setSectionFooterHeight(10);
  if (Hardware::isiPad())
    setContentSizeForViewInPopover({settingRowWidth + 40, settingPopoverHeight});
  navigationItem().setTitle(titleMsg);
  setTitle(titleMsg);
  view()->setClipsToBounds(true);
  if (!isModal) return;
  std::weak_ptr<SettingsManagerView> weak = self;
  if (includeCancel) {
    auto cancel = BarButtonItem::systemItem(BarButtonSystemItem::Cancel, [weak](BarButtonItem &) {
      if (auto s = weak.lock()) s->clickCancel();
    });
    cancel->setAccessibilityLabel("Cancel");
    navigationItem().setRightBarButtonItem(cancel);
    return;
  }
  auto done = doneBtnTitle.empty()
                  ? BarButtonItem::systemItem(BarButtonSystemItem::Done, {})
                  : BarButtonItem::titled(doneBtnTitle, BarButtonItemStyle::Done, {});
  done->setAction([weak](BarButtonItem &) {
    if (auto s = weak.lock()) s->clickDone();
  });
  if (doneBtnTitle.empty()) done->setAccessibilityLabel("Done");
  navigationItem().setRightBarButtonItem(done);
}

void SettingsManagerView::viewWillAppear(bool animated) {
  ViewController::viewWillAppear(animated);
  refresh();
}

void SettingsManagerView::viewDidDisappear(bool animated) {
  ViewController::viewDidDisappear(animated);
  if (!closed_) return;
  if (auto nav = navigationController(); nav && nav->viewControllers().size() <= 1)
    nav->view()->setHidden(true);
  view()->setHidden(true);
}

bool SettingsManagerView::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return Hardware::isiPad() || o == InterfaceOrientation::Portrait;
}

// --- Closing ---------------------------------------------------------------------------------

void SettingsManagerView::clickDone() {
  close(true);
}

void SettingsManagerView::clickCancel() {
  close(false);
}

void SettingsManagerView::close(bool done) {
  if (closed_) return;
  closed_ = true;
  auto self = sharedAs<SettingsManagerView>(); // alive until the callback has run
  if (auto popover = popoverParent.lock()) {
    popover->dismissPopoverAnimated(true);
  } else if (auto nav = isPushedOnNavigation ? navigationController() : nullptr) {
    auto target = (done ? vcParentDone : vcParentCancel).lock();
    const auto &stack = nav->viewControllers();
    if (target && std::find(stack.begin(), stack.end(), target) != stack.end())
      nav->popToViewController(*target, true);
    else
      nav->popViewControllerAnimated(true);
  } else if (auto presenter = presentingViewController()) {
    presenter->dismissModalViewControllerAnimated(true);
  } else if (auto nav = navigationController(); nav && nav->presentingViewController()) {
    nav->presentingViewController()->dismissModalViewControllerAnimated(true);
  }
  if (done && doneTarget_) doneTarget_(*this);
}

// --- Storing ---------------------------------------------------------------------------------

void SettingsManagerView::store(const std::string &key, const std::string &value, bool reload) {
  if (key.empty()) return;
  settings().setObject(value, key);
  settings().synchronize();
  if (reload) refresh();
}

void SettingsManagerView::changedTextValue(EditDataViewController &editor) {
  auto row = editing_ ? itemAt(*editing_) : nullptr;
  if (!row || !editor.textData) return;
  const std::string text = editor.textData->text();
  store(row->registeredName, row->type == SettingsItem::kPassword ? myEncryptString1(text) : text,
        true);
}

void SettingsManagerView::changedListValue(EditDataViewController &editor) {
  auto row = editing_ ? itemAt(*editing_) : nullptr;
  if (!row || !row->indexed || editor.rowSelected < 0) return;
  store(row->registeredName, std::to_string(editor.rowSelected), true);
}

void SettingsManagerView::changedSwitchValue(Switch &sw) {
  for (auto &rows : sectionData_)
    for (auto &row : rows)
      if (row->yesnoSwitch.get() == &sw) {
        store(row->registeredName, sw.isOn() ? "1" : "0", false);
        if (row->changeCallback) row->changeCallback(*this);
        return;
      }
}

void SettingsManagerView::changedSliderValue(Slider &slider) {
  for (auto &rows : sectionData_)
    for (auto &row : rows)
      if (row->slider.get() == &slider) {
        char text[64];
        std::snprintf(text, sizeof text, "%f", slider.value());
        store(row->registeredName, text, false);
        if (row->changeCallback) row->changeCallback(*this);
        return;
      }
}

// --- Table -----------------------------------------------------------------------------------

int SettingsManagerView::numberOfSectionsInTableView(TableView &) {
  return static_cast<int>(sectionNames_.size()) + 2;
}

int SettingsManagerView::numberOfRowsInSection(TableView &, int section) {
  if (section < 0 || static_cast<size_t>(section) >= sectionData_.size()) return 0;
  return static_cast<int>(sectionData_[static_cast<size_t>(section)].size());
}

std::string SettingsManagerView::titleForHeaderInSection(TableView &, int section) {
  if (useCustomSections_ || section < 0 || static_cast<size_t>(section) >= sectionNames_.size())
    return {};
  return sectionNames_[static_cast<size_t>(section)];
}

std::shared_ptr<View> SettingsManagerView::viewForHeaderInSection(TableView &, int section) {
  if (!useCustomSections_ || section < 0 || static_cast<size_t>(section) >= sectionNames_.size() ||
      sectionNames_[static_cast<size_t>(section)].empty())
    return nullptr;
  auto header = std::make_shared<View>(Rect(0, 0, 300, 48));
  header->setBackgroundColor(Color::clearColor());
  auto label = std::make_shared<Label>(Rect(12, 4, 300, 24));
  label->setText(sectionNames_[static_cast<size_t>(section)]);
  label->setFont(Font::boldSystem(16));
  label->setTextColor(sectionTextColor_);
  label->setShadowColor(Color{0, 0, 0, 0.3});
  label->setShadowOffset(Size{0, 1});
  label->setBackgroundColor(Color::clearColor());
  header->addSubview(label);
  return header;
}

double SettingsManagerView::heightForRowAtIndexPath(TableView &, IndexPath ip) {
  auto row = itemAt(ip);
  if (row && row->type == SettingsItem::kImage && row->imgView)
    return std::max(44.0, row->imgView->frame().size.height + 10);
  return 44;
}

std::shared_ptr<TableViewCell> SettingsManagerView::cellForRowAtIndexPath(TableView &table,
                                                                          IndexPath ip) {
  auto cell = table.dequeueReusableCellWithIdentifier(kCellIdentifier);
  const double valueX = settingLabelWidth + 8;
  if (!cell) {
    cell = std::make_shared<TableViewCell>(TableViewCellStyle::Default, kCellIdentifier);
    auto caption = std::make_shared<Label>(Rect(8, 0, settingRowWidth - 48, 43));
    caption->setTag(kCaption);
    caption->setHighlightedTextColor(Color::whiteColor());
    cell->contentView()->addSubview(caption);
    auto value =
        std::make_shared<Label>(Rect(valueX, 11, settingRowWidth - settingLabelWidth - 30, 20));
    value->setTag(kValue);
    value->setHighlightedTextColor(Color::whiteColor());
    cell->contentView()->addSubview(value);
    cell->setBackgroundColor(Color::whiteColor());
  }
  for (int tag : {kSwitchTag, kSliderTag, kButtonTag, kOtherTag})
    while (auto v = cell->contentView()->viewWithTag(tag))
      v->removeFromSuperview();
  auto caption = std::static_pointer_cast<Label>(cell->contentView()->viewWithTag(kCaption));
  auto value = std::static_pointer_cast<Label>(cell->contentView()->viewWithTag(kValue));
  auto row = itemAt(ip);
  if (!row) { // a row the screen does not have: an empty cell
    caption->setText("");
    value->setText("");
    return cell;
  }
  // Plain settings every time: a reused cell may come from a row of another type.
  const bool twoLines = row->description.find('\n') != std::string::npos;
  caption->setText(row->description);
  caption->setNumberOfLines(twoLines ? 2 : 1);
  caption->setFont(Font::system(twoLines ? 13 : 14));
  caption->setTextColor(Color::blackColor());
  caption->setTextAlignment(TextAlignment::Left);
  caption->setAdjustsFontSizeToFitWidth(false);
  caption->setHidden(false);
  value->setText("");
  value->setHidden(false);
  value->setFont(Font::boldSystem(16));
  value->setAdjustsFontSizeToFitWidth(true);
  value->setMinimumFontSize(11);
  value->setTextColor(Color::darkGrayColor());
  value->setBackgroundColor(std::nullopt);
  // A row with a control is found by its control.
  const bool hasControl = row->type == SettingsItem::kSwitch ||
                          row->type == SettingsItem::kSlider || row->type == SettingsItem::kButton;
  cell->setAccessibilityLabel(hasControl ? std::string() : row->description);
  auto addControl = [&](const std::shared_ptr<View> &control, int tag, Rect frame) {
    control->setTag(tag);
    control->setFrame(frame);
    control->removeFromSuperview();
    cell->contentView()->addSubview(control);
    value->setHidden(true);
  };
  std::weak_ptr<SettingsManagerView> weak = sharedAs<SettingsManagerView>();
  const double controlW = settingRowWidth - valueX - 8;
  switch (row->type) {
  case SettingsItem::kText:
    value->setText(stored(row->registeredName));
    break;
  case SettingsItem::kPassword:
    value->setText(stored(row->registeredName).empty() ? "" : "*******");
    break;
  case SettingsItem::kList:
    if (!row->indexed) {
      value->setText(stored(row->registeredName));
    } else {
      const int i = storedIndex(row->registeredName);
      if (i >= 0 && static_cast<size_t>(i) < row->listItems.size())
        value->setText(row->listItems[static_cast<size_t>(i)].name);
    }
    break;
  case SettingsItem::kColorList:
    if (row->indexed) {
      const int i = storedIndex(row->registeredName);
      if (i >= 0 && static_cast<size_t>(i) < row->listItems.size())
        value->setBackgroundColor(row->listItems[static_cast<size_t>(i)].color);
    }
    break;
  case SettingsItem::kInfoLabel:
  case SettingsItem::kPushView:
    value->setText(row->label);
    break;
  case SettingsItem::kInfoURL:
    caption->setTextAlignment(TextAlignment::Right);
    caption->setFont(Font::italicSystem(14));
    caption->setAdjustsFontSizeToFitWidth(true);
    caption->setMinimumFontSize(11);
    caption->setTextColor(Color::blueColor());
    value->setHidden(true);
    break;
  case SettingsItem::kLongLabel:
    caption->setFont(Font::italicSystem(14));
    caption->setAdjustsFontSizeToFitWidth(true);
    caption->setMinimumFontSize(11);
    value->setHidden(true);
    break;
  case SettingsItem::kSwitch:
    if (row->yesnoSwitch) {
      row->yesnoSwitch->removeTargets(ValueChanged);
      row->yesnoSwitch->addTarget(ValueChanged, [weak](Control &c) {
        if (auto s = weak.lock()) s->changedSwitchValue(static_cast<Switch &>(c));
      });
      addControl(row->yesnoSwitch, kSwitchTag, Rect(valueX, 8, controlW, 28));
    }
    break;
  case SettingsItem::kSlider:
    if (row->slider) {
      row->slider->removeTargets(ValueChanged);
      row->slider->addTarget(ValueChanged, [weak](Control &c) {
        if (auto s = weak.lock()) s->changedSliderValue(static_cast<Slider &>(c));
      });
      addControl(row->slider, kSliderTag, Rect(valueX, 8, controlW, 28));
    }
    break;
  case SettingsItem::kButton:
    if (row->fakedButton) addControl(row->fakedButton, kButtonTag, Rect(valueX, 4, controlW, 36));
    break;
  case SettingsItem::kImage:
    if (row->imgView) {
      const Rect f = row->imgView->frame();
      addControl(row->imgView, kOtherTag, Rect(8, 5, f.size.width, f.size.height));
    }
    break;
  default:
    break;
  }
  if (row->type == SettingsItem::kInfoLabel && row->setupLabelCallback)
    row->setupLabelCallback(*value);
  return cell;
}

std::optional<TableViewCellAccessoryType>
SettingsManagerView::accessoryTypeForRowWithIndexPath(TableView &, IndexPath ip) {
  auto row = itemAt(ip);
  if (!row) return TableViewCellAccessoryType::None;
  switch (row->type) {
  case SettingsItem::kSwitch:
  case SettingsItem::kInfoLabel:
  case SettingsItem::kLongLabel:
  case SettingsItem::kSlider:
  case SettingsItem::kButton:
  case SettingsItem::kImage:
    return TableViewCellAccessoryType::None;
  case SettingsItem::kInfoURL:
    return row->showURL.empty() ? TableViewCellAccessoryType::None
                                : TableViewCellAccessoryType::DisclosureIndicator;
  default:
    return TableViewCellAccessoryType::DisclosureIndicator;
  }
}

std::optional<IndexPath> SettingsManagerView::willSelectRowAtIndexPath(TableView &, IndexPath ip) {
  auto row = itemAt(ip);
  if (!row) return std::nullopt;
  switch (row->type) {
  case SettingsItem::kSwitch:
  case SettingsItem::kInfoLabel:
  case SettingsItem::kLongLabel:
  case SettingsItem::kSlider:
  case SettingsItem::kButton:
  case SettingsItem::kImage:
    return std::nullopt;
  default:
    return ip;
  }
}

void SettingsManagerView::push(std::shared_ptr<ViewController> vc) {
  if (!vc) return;
  if (auto nav = navigationController()) nav->pushViewController(std::move(vc), true);
}

void SettingsManagerView::didSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  table.deselectRowAtIndexPath(ip, true);
  auto row = itemAt(ip);
  if (!row) return;
  editing_ = ip;
  std::weak_ptr<SettingsManagerView> weak = sharedAs<SettingsManagerView>();
  switch (row->type) {
  case SettingsItem::kText:
  case SettingsItem::kPassword: {
    const bool password = row->type == SettingsItem::kPassword;
    const std::string value =
        password ? myDecryptString1(stored(row->registeredName)) : stored(row->registeredName);
    auto editor =
        EditDataViewController::initWithTitle(row->description, value, row->description,
                                              "EditDataView", [weak](EditDataViewController &e) {
                                                if (auto s = weak.lock()) s->changedTextValue(e);
                                              });
    editor->spellChecker = !password;
    editor->hideText = password;
    if (popoverParent.lock() && !doneBtnTitle.empty())
      editor->passthroughButton(doneBtnTitle, [weak](EditDataViewController &) {
        if (auto s = weak.lock()) s->clickDone();
      });
    push(editor);
    break;
  }
  case SettingsItem::kList:
  case SettingsItem::kColorList: {
    if (!row->indexed) break;
    auto editor = EditDataViewController::initWithTitle(
        row->description, row->listItems, storedIndex(row->registeredName), row->description,
        "EditDataView", [weak](EditDataViewController &e) {
          if (auto s = weak.lock()) s->changedListValue(e);
        });
    editor->tableItemsAreStrings = row->type == SettingsItem::kList;
    editor->isColor = row->type == SettingsItem::kColorList;
    push(editor);
    break;
  }
  case SettingsItem::kPushView:
    push(row->pushVC);
    break;
  case SettingsItem::kInfoURL: {
    if (row->showURL.empty()) break;
    for (const auto &prefix : affiliatePrefixes())
      if (row->showURL.starts_with(prefix)) return; // none configured
    push(appDelegateServices().makeHelpViewController("HelpView", row->showURLTitle, row->showURL));
    break;
  }
  default:
    break;
  }
}
