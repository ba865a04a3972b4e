#include "app/foundation/EditDataViewController.h"

#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;
using namespace platform::ui;

double editDataViewWidth = 320;

namespace {
const char *const kCellIdentifier = "BookmarkEditDataTable";
} // namespace

EditDataViewController::EditDataViewController(const std::string &nibName)
    : ViewController(nibName) {}

std::shared_ptr<EditDataViewController>
EditDataViewController::initWithNibName(const std::string &nibName) {
  editDataViewWidth = 320;
  return std::make_shared<EditDataViewController>(nibName);
}

std::shared_ptr<EditDataViewController> EditDataViewController::initWithTitle(
    const std::string &title, const std::optional<std::string> &textValue,
    const std::string &labelText, const std::string &nibName, Callback selector) {
  auto vc = initWithNibName(nibName);
  vc->dataType = kDataTypeText;
  vc->doSelectorOnChange = true;
  vc->allowBlankText = true;
  vc->numericOnly = vc->urlEntry = vc->autoSave = false;
  vc->viewTitle = title;
  vc->originalText = textValue.value_or("");
  vc->labelText = labelText;
  vc->selectorDone = std::move(selector);
  return vc;
}

std::shared_ptr<EditDataViewController>
EditDataViewController::initWithTitle(const std::string &title, const char *textValue,
                                      const std::string &labelText, const std::string &nibName,
                                      Callback selector) {
  return initWithTitle(title, textValue ? std::optional<std::string>(textValue) : std::nullopt,
                       labelText, nibName, std::move(selector));
}

std::shared_ptr<EditDataViewController>
EditDataViewController::initWithTitle(const std::string &title, bool boolValue,
                                      const std::string &labelText, const std::string &nibName,
                                      Callback selector) {
  auto vc = initWithNibName(nibName);
  vc->dataType = kDataTypeBool;
  vc->originalBool = boolValue;
  vc->viewTitle = title;
  vc->labelText = labelText;
  vc->selectorDone = std::move(selector);
  return vc;
}

std::shared_ptr<EditDataViewController>
EditDataViewController::initWithTitle(const std::string &title, std::vector<EditDataItem> data,
                                      int selected, const std::string &labelText,
                                      const std::string &nibName, Callback selector) {
  auto vc = initWithNibName(nibName);
  vc->dataType = kDataTypeList;
  vc->tableItems = std::move(data);
  vc->rowSelected = selected;
  vc->fontStyles = vc->fontSizes = false;
  vc->viewTitle = title;
  vc->labelText = labelText;
  vc->selectorDone = std::move(selector);
  return vc;
}

void EditDataViewController::setAutoSaveToKey(const std::string &key) {
  autoSave = true;
  autoSaveKey = key;
}

void EditDataViewController::passthroughButton(const std::string &title, Callback selector) {
  passthroughSelector = std::move(selector);
  std::weak_ptr<EditDataViewController> weak = sharedAs<EditDataViewController>();
  navigationItem().setRightBarButtonItem(
      BarButtonItem::titled(title, BarButtonItemStyle::Done, [weak](BarButtonItem &) {
        auto self = weak.lock();
        if (!self || !self->verifyData()) return;
        self->finishEditing();
        if (self->passthroughSelector) self->passthroughSelector(*self);
      }));
}

// --- The view ---

void EditDataViewController::loadView() {
  // The interface: a label over the value, the value as a field, a switch or a table, and a
  // note under it.
  auto root = std::make_shared<View>(Rect(0, 0, 320, 416));
  label = std::make_shared<Label>(Rect(20, 20, 280, 21));
  textData = std::make_shared<TextField>(Rect(20, 49, 280, 31));
  textData->setBorderStyle(TextBorderStyle::RoundedRect);
  boolData = std::make_shared<Switch>(Rect(20, 49, 94, 27));
  tableData = std::make_shared<TableView>(TableViewStyle::Grouped, Rect(0, 0, 320, 416));
  labelExtraMessage = std::make_shared<Label>(Rect(20, 88, 280, 60));
  labelExtraMessage->setNumberOfLines(0);
  for (auto v :
       std::vector<std::shared_ptr<View>>{tableData, label, textData, boolData, labelExtraMessage})
    root->addSubview(v);
  setView(root);
}

void EditDataViewController::viewDidLoad() {
  auto self = sharedAs<EditDataViewController>();
  view()->setBackgroundColor(myBackgroundColor());
  navigationItem().setTitle(viewTitle);
  setTitle(viewTitle);
  label->setText(labelText);
  textData->setAccessibilityLabel(labelText);
  boolData->setAccessibilityLabel(labelText);
  textData->setDelegate(std::static_pointer_cast<TextFieldDelegate>(self));
  tableData->setDataSource(std::static_pointer_cast<TableViewDataSource>(self));
  tableData->setDelegate(std::static_pointer_cast<TableViewDelegate>(self));
  labelExtraMessage->setHidden(true);

  if (dataType == kDataTypeList) {
    label->setHidden(true);
    textData->setHidden(true);
    boolData->setHidden(true);
    tableData->setHidden(false);
  } else if (dataType == kDataTypeBool) {
    boolData->setOn(originalBool);
    textData->setHidden(true);
    tableData->setHidden(true);
    boolData->setHidden(false);
  } else {
    textData->setSecureTextEntry(hideText);
    textData->setText(originalText);
    textData->setFont(Font::system(Font::systemFontSize() + 3));
    textData->setClearButtonMode(TextFieldViewMode::WhileEditing);
    if (spellChecker) {
      textData->traits().autocorrectionType = TextAutocorrectionType::Default;
      textData->traits().autocapitalizationType = TextAutocapitalizationType::Sentences;
    } else {
      textData->traits().autocorrectionType = TextAutocorrectionType::No;
      textData->traits().autocapitalizationType = TextAutocapitalizationType::None;
    }
    boolData->setHidden(true);
    tableData->setHidden(true);
    textData->setHidden(false);
    if (!extraMessage.empty()) {
      labelExtraMessage->setText(extraMessage);
      labelExtraMessage->setFont(Font::italicSystem(Font::systemFontSize()));
      labelExtraMessage->setHidden(false);
    }
    textData->becomeFirstResponder();
  }
  if (numericOnly) textData->setKeyboardType(KeyboardType::NumberPad);
  if (urlEntry) textData->setKeyboardType(KeyboardType::URL);

  if (!popoverParent.lock()) appDelegateServices().viewUsesMyScroller(false);

  std::weak_ptr<EditDataViewController> weak = self;
  if (showWorkingOnExit)
    navigationItem().setLeftBarButtonItem(
        BarButtonItem::systemItem(BarButtonSystemItem::Done, [weak](BarButtonItem &) {
          if (auto s = weak.lock()) s->clickDone();
        }));
  if (allowCancel)
    navigationItem().setRightBarButtonItem(
        BarButtonItem::systemItem(BarButtonSystemItem::Cancel, [weak](BarButtonItem &) {
          if (auto s = weak.lock()) s->clickCancel();
        }));
  if (Hardware::isiPad()) setContentSizeForViewInPopover({editDataViewWidth, 436});
}

bool EditDataViewController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return appDelegateServices().allowLandscapeView() || o == InterfaceOrientation::Portrait;
}

// --- Finishing ---

bool EditDataViewController::verifyData() {
  if (dataType == kDataTypeText && !allowBlankText && textData && textData->text().empty()) {
    auto alert = std::make_shared<AlertView>(
        viewTitle, Log::format("%s should not be empty.", labelText.c_str()),
        std::weak_ptr<AlertViewDelegate>(), "OK");
    showOnMainThread(alert);
    return false;
  }
  return true;
}

void EditDataViewController::finishEditing() {
  if (textData) textData->resignFirstResponder();
  if (selectorDone) selectorDone(*this);
  if (autoSave) {
    auto &defaults = UserDefaults::standard();
    if (dataType == kDataTypeList)
      defaults.setObject(std::to_string(rowSelected), autoSaveKey);
    else if (dataType == kDataTypeText)
      defaults.setObject(textData ? textData->text() : originalText, autoSaveKey);
    else
      return; // an on/off editor stores nothing
    defaults.synchronize();
  }
}

void EditDataViewController::viewWillDisappear(bool animated) {
  ViewController::viewWillDisappear(animated);
  if (verifyData()) finishEditing();
}

bool EditDataViewController::textFieldShouldReturn(TextField &) {
  if (!verifyData()) return false;
  finishEditing();
  selectorDone = nullptr; // delivered; the disappearance must not call it again
  dismissView();
  return true;
}

void EditDataViewController::clickCancel() {
  selectorDone = nullptr;
  dismissView();
}

void EditDataViewController::clickDone() {
  auto spinner = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::White);
  spinner->startAnimating();
  navigationItem().setLeftBarButtonItem(BarButtonItem::withCustomView(spinner));
  std::weak_ptr<EditDataViewController> weak = sharedAs<EditDataViewController>();
  RunLoop::main()->performAfter(std::chrono::milliseconds(1), [weak] {
    if (auto self = weak.lock()) self->dismissView();
  });
}

void EditDataViewController::dismissView() {
  auto self = sharedAs<EditDataViewController>(); // the stack lets go of the screen
  if (auto popover = popoverParent.lock()) {
    popover->dismissPopoverAnimated(true);
  } else if (auto nav = navigationController()) {
    nav->popViewControllerAnimated(true);
  }
}

// --- The list ---

int EditDataViewController::numberOfSectionsInTableView(TableView &) {
  return extraMessage.empty() ? 1 : 2;
}

int EditDataViewController::numberOfRowsInSection(TableView &, int section) {
  return section == 0 ? static_cast<int>(tableItems.size()) : 0;
}

std::string EditDataViewController::titleForHeaderInSection(TableView &, int section) {
  return section == 0 ? labelText : extraMessage;
}

std::shared_ptr<TableViewCell> EditDataViewController::cellForRowAtIndexPath(TableView &table,
                                                                             IndexPath ip) {
  auto cell = table.dequeueReusableCellWithIdentifier(kCellIdentifier);
  if (!cell) {
    cell = std::make_shared<TableViewCell>(TableViewCellStyle::Default, kCellIdentifier);
    if (Hardware::isiPad()) {
      auto clear = std::make_shared<View>(Rect(0, 0, 300, 44));
      clear->setBackgroundColor(Color::clearColor());
      cell->contentView()->addSubview(clear);
    }
  }
  const EditDataItem &item = tableItems.at(static_cast<size_t>(ip.row));
  cell->setBackgroundColor(std::nullopt);
  if (tableItemsAreStrings) {
    cell->textLabel()->setText(item.name);
  } else if (isColor) {
    cell->setBackgroundColor(item.color);
    cell->textLabel()->setText("");
  } else {
    cell->textLabel()->setText(item.name);
  }
  cell->imageView()->setImageName(static_cast<size_t>(ip.row) < tableItemImages.size()
                                      ? tableItemImages[static_cast<size_t>(ip.row)]
                                      : std::string());
  cell->setAccessoryType(ip.row == rowSelected ? TableViewCellAccessoryType::Checkmark
                                               : TableViewCellAccessoryType::None);
  const double standard = Font::systemFontSize();
  if (fontSizes) {
    const bool courier = UserDefaults::standard().stringForKey(kDefaultFontKey) == "1";
    static const double step[] = {-2, 0, 3, 8};
    double size = standard + (ip.row >= 0 && ip.row < 4 ? step[ip.row] : 0);
    cell->textLabel()->setFont(courier ? Font::named("Courier", size) : Font::system(size));
  } else if (fontStyles) {
    cell->textLabel()->setFont(ip.row == 0 ? Font::system(standard + 2)
                                           : Font::named("Courier", standard + 2));
  } else {
    cell->textLabel()->setFont(Font::boldSystem(Font::labelFontSize()));
  }
  return cell;
}

void EditDataViewController::didSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  auto self = sharedAs<EditDataViewController>();
  rowSelected = ip.row;
  table.reloadData();
  if (tableItemsAreStrings && doSelectorOnChange && selectorDone) selectorDone(*this);
  table.deselectRowAtIndexPath(ip, true);
  if (auto popover = popoverParent.lock(); doSelectorOnChange && popover)
    popover->dismissPopoverAnimated(true);
}
