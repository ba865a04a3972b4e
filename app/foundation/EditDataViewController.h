// The screen on which the user edits one value: a line of text, an on/off switch or a choice from
// a list. Callers push it (or show it in a popover on iPad) with a title, the value, a label and a
// callback; when the user is done the callback receives the screen and reads textData, boolData
// or rowSelected. It can also store the result in the settings under a key.
#pragma once

#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Width of the screen's popover; the plain initialiser sets it to 320, the image editor to 520
// before it opens the screen.
extern double editDataViewWidth;

// One choice of a list: a text, or a colour shown as the row's background.
struct EditDataItem {
  std::string name;
  std::optional<platform::ui::Color> color;
  EditDataItem(std::string text = {}) : name(std::move(text)) {}
  EditDataItem(const char *text) : name(text) {}
  EditDataItem(platform::ui::Color c) : color(c) {}
};

class EditDataViewController : public platform::ui::ViewController,
                               public platform::ui::TextFieldDelegate,
                               public platform::ui::TableViewDataSource,
                               public platform::ui::TableViewDelegate {
public:
  using Callback = std::function<void(EditDataViewController &)>;

  enum DataType { kDataTypeText = 1, kDataTypeBool = 2, kDataTypeList = 3 };

  // The plain form (nibName "EditDataView").
  static std::shared_ptr<EditDataViewController> initWithNibName(const std::string &nibName);
  // A text editor (a missing text starts empty).
  static std::shared_ptr<EditDataViewController>
  initWithTitle(const std::string &title, const std::optional<std::string> &textValue,
                const std::string &label, const std::string &nibName, Callback selector);
  static std::shared_ptr<EditDataViewController>
  initWithTitle(const std::string &title, const char *textValue, const std::string &label,
                const std::string &nibName, Callback selector);
  // An on/off editor.
  static std::shared_ptr<EditDataViewController>
  initWithTitle(const std::string &title, bool boolValue, const std::string &label,
                const std::string &nibName, Callback selector);
  // A list with the given row chosen.
  static std::shared_ptr<EditDataViewController>
  initWithTitle(const std::string &title, std::vector<EditDataItem> data, int selected,
                const std::string &label, const std::string &nibName, Callback selector);

  explicit EditDataViewController(const std::string &nibName);

  // Stores the result in the settings under the key when the screen goes.
  void setAutoSaveToKey(const std::string &key);
  // A right navigation button with the title: checks the value, delivers it (callback and
  // auto-save), then calls `selector` with the screen.
  void passthroughButton(const std::string &title, Callback selector);

  // Actions.
  void clickDone();
  void clickCancel();
  void dismissView();
  bool verifyData();

  // The interface's views (made when the view loads).
  std::shared_ptr<platform::ui::TextField> textData;
  std::shared_ptr<platform::ui::Switch> boolData;
  std::shared_ptr<platform::ui::TableView> tableData;
  std::shared_ptr<platform::ui::Label> label;
  std::shared_ptr<platform::ui::Label> labelExtraMessage;

  std::string viewTitle, labelText, extraMessage, originalText;
  bool originalBool = false;
  std::vector<EditDataItem> tableItems;
  std::vector<std::string> tableItemImages; // image names, one per item (optional)
  bool tableItemsAreStrings = false, fontStyles = false, fontSizes = false, spellChecker = false;
  int rowSelected = -1;
  int dataType = kDataTypeText;
  bool hideText = false, allowBlankText = true, numericOnly = false, urlEntry = false,
       isColor = false, showWorkingOnExit = false, allowCancel = false;
  Callback selectorDone;
  bool doSelectorOnChange = false;
  Callback passthroughSelector;
  bool autoSave = false;
  std::string autoSaveKey;
  std::weak_ptr<platform::ui::PopoverController> popoverParent; // not owned: it owns the screen

  // The screen.
  void loadView() override;
  void viewDidLoad() override;
  void viewWillDisappear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;

  // The text field.
  bool textFieldShouldReturn(platform::ui::TextField &field) override;

  // The list.
  int numberOfSectionsInTableView(platform::ui::TableView &) override;
  int numberOfRowsInSection(platform::ui::TableView &, int section) override;
  std::string titleForHeaderInSection(platform::ui::TableView &, int section) override;
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  void didSelectRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;

private:
  // The delivery when the screen goes: callback and auto-save, after a passing check.
  void finishEditing();
};
