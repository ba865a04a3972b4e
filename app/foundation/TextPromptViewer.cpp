#include "app/foundation/TextPromptViewer.h"

#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"

#include "platform/foundation/UserDefaults.h"

#include <algorithm>
#include <cctype>

using namespace platform;
using namespace platform::ui;

TextPromptViewer::TextPromptViewer(const std::string &nibName) : ViewController(nibName) {
  setContentSizeForViewInPopover({320, 320});
}

std::shared_ptr<TextPromptViewer> TextPromptViewer::initWithNibName(const std::string &nibName) {
  return std::make_shared<TextPromptViewer>(nibName);
}

std::shared_ptr<TextPromptViewer> TextPromptViewer::initWithTitle(const std::string &title,
                                                                  const std::string &text,
                                                                  const std::string &labelText,
                                                                  const std::string &nibName,
                                                                  Callback selector) {
  auto vc = initWithNibName(nibName);
  vc->viewTitle = title;
  vc->originalFilename = text;
  vc->labelText = labelText;
  vc->selectorDone = std::move(selector);
  vc->shownModal = false;
  vc->selectorCancel = nullptr;
  return vc;
}

void TextPromptViewer::loadView() {
  // The interface: a label, the name field, the picture-format choice, a note and a help button.
  auto root = std::make_shared<View>(Rect(0, 0, 320, 416));
  label = std::make_shared<Label>(Rect(20, 20, 280, 21));
  filename = std::make_shared<TextField>(Rect(20, 49, 280, 31));
  filename->setBorderStyle(TextBorderStyle::RoundedRect);
  labelFileType = std::make_shared<Label>(Rect(20, 98, 120, 21));
  labelFileType->setText("File Type:");
  segmentFileType = std::make_shared<SegmentedControl>(std::vector<std::string>{"JPEG", "PNG"});
  segmentFileType->setFrame(Rect(150, 93, 150, 30));
  segmentFileType->setAccessibilityLabel("File Type");
  labelExtraMessage = std::make_shared<Label>(Rect(20, 136, 280, 60));
  labelExtraMessage->setNumberOfLines(0);
  helpButton = std::make_shared<Button>(ButtonType::InfoDark, Rect(280, 200, 20, 20));
  helpButton->setAccessibilityLabel("Help");
  for (auto v : std::vector<std::shared_ptr<View>>{label, filename, labelFileType, segmentFileType,
                                                   labelExtraMessage, helpButton})
    root->addSubview(v);
  setView(root);
}

void TextPromptViewer::viewDidLoad() {
  auto self = sharedAs<TextPromptViewer>();
  std::weak_ptr<TextPromptViewer> weak = self;
  view()->setBackgroundColor(myBackgroundColor());
  navigationItem().setTitle(viewTitle);
  setTitle(viewTitle);
  label->setText(labelText);
  filename->setAccessibilityLabel(labelText);
  filename->setText(originalFilename);
  filename->setFont(myTextInputFont);
  filename->setClearButtonMode(TextFieldViewMode::WhileEditing);
  filename->setDelegate(std::static_pointer_cast<TextFieldDelegate>(self));
  filename->becomeFirstResponder();

  labelFileType->setHidden(!promptImageUpload);
  segmentFileType->setHidden(!promptImageUpload);
  if (promptImageUpload)
    segmentFileType->setSelectedSegmentIndex(
        UserDefaults::standard().integerForKey(kUploadImageFileTypeKey));

  labelExtraMessage->setHidden(extraMessage.empty());
  if (!extraMessage.empty()) {
    labelExtraMessage->setText(extraMessage);
    labelExtraMessage->setFont(Font::italicSystem(14));
  }

  navigationItem().setRightBarButtonItem(
      BarButtonItem::systemItem(BarButtonSystemItem::Done, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickSave();
      }));
  navigationItem().setLeftBarButtonItem(
      BarButtonItem::systemItem(BarButtonSystemItem::Cancel, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickCancel();
      }));
  helpButton->setHidden(helpURL.empty());
  helpButton->addTarget(TouchUpInside, [weak](Control &) {
    if (auto s = weak.lock()) s->clickHelp();
  });
}

void TextPromptViewer::showAlert(const std::string &title, const std::string &message) {
  auto alert = std::make_shared<AlertView>(
      title, message, std::static_pointer_cast<AlertViewDelegate>(sharedAs<TextPromptViewer>()),
      "OK");
  showOnMainThread(alert);
}

bool TextPromptViewer::filenameAlreadyInUse(const std::string &name) {
  for (const auto &item : currentDirectory) {
    if (item && item->name() == name) {
      showAlert("File Name Error", "A file with that name already exists in the folder.");
      return true;
    }
  }
  return false;
}

bool TextPromptViewer::verifyData() {
  const std::string entered = filename ? filename->text() : originalFilename;
  if (entered.empty()) {
    showAlert("No Name Entered", "Please enter a file name.");
    return false;
  }
  std::string name = entered;
  if (promptImageUpload) {
    const bool png = segmentFileType->selectedSegmentIndex() == 1;
    auto &defaults = UserDefaults::standard();
    defaults.setObject(png ? "1" : "0", kUploadImageFileTypeKey);
    defaults.synchronize();
    // The extension is the text after the last dot; a name without a dot has none.
    std::string ext;
    if (auto dot = entered.rfind('.'); dot != std::string::npos) ext = entered.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const bool hasDot = entered.find('.') != std::string::npos;
    const std::string framed = "." + ext + ".";
    if (png) {
      if (!hasDot || std::string(".png.").find(framed) == std::string::npos) name += ".png";
    } else {
      if (!hasDot || std::string(".jpg.jpeg.jpe.").find(framed) == std::string::npos)
        name += ".jpg";
    }
  }
  return !filenameAlreadyInUse(name);
}

void TextPromptViewer::close() {
  auto self = sharedAs<TextPromptViewer>();
  if (auto modal = modalNavigationController.lock(); shownModal && modal) {
    modal->dismissModalViewControllerAnimated(true);
  } else if (auto popover = popoverParent.lock()) {
    popover->dismissPopoverAnimated(true);
  } else if (auto nav = navigationController()) {
    nav->popViewControllerAnimated(true);
  }
}

void TextPromptViewer::clickSave() {
  if (!verifyData()) return;
  auto self = sharedAs<TextPromptViewer>();
  if (selectorDone) selectorDone(*this);
  close();
}

void TextPromptViewer::clickCancel() {
  auto self = sharedAs<TextPromptViewer>();
  if (selectorCancel) selectorCancel(*this);
  close();
}

bool TextPromptViewer::textFieldShouldReturn(TextField &field) {
  if (!verifyData()) return false;
  field.resignFirstResponder();
  clickSave();
  return true;
}

void TextPromptViewer::clickHelp() {
  auto help = appDelegateServices().makeHelpViewController("HelpView", "Ferrowen Help", helpURL);
  if (auto nav = navigationController(); nav && help) nav->pushViewController(help, true);
}
