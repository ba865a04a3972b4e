// The one-line prompt that asks for a name: a new bookmark or folder, the new name of a file, the
// name of an imported picture (with a JPEG/PNG choice). On Save it checks that a name was given
// and that it is not taken in the folder it was handed, then passes itself to the caller, who
// reads `filename` (and `segmentFileType`). It closes itself the way it was shown: popped from a
// navigation stack, dismissed from a modal navigation controller or from a popover.
#pragma once

#include "app/foundation/DirItemInfo.h"

#include "platform/ui/Presentation.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

#include <functional>
#include <memory>
#include <string>

class TextPromptViewer : public platform::ui::ViewController,
                         public platform::ui::TextFieldDelegate,
                         public platform::ui::AlertViewDelegate,
                         public platform::ui::PopoverControllerDelegate {
public:
  using Callback = std::function<void(TextPromptViewer &)>;

  // Callers pass the interface "TextPromptView".
  static std::shared_ptr<TextPromptViewer>
  initWithTitle(const std::string &title, const std::string &text, const std::string &labelText,
                const std::string &nibName, Callback selector);
  static std::shared_ptr<TextPromptViewer> initWithNibName(const std::string &nibName);
  explicit TextPromptViewer(const std::string &nibName);

  // Actions.
  void clickSave();
  void clickCancel();
  void clickHelp();
  bool verifyData();
  // True (after an alert) when the folder holds an entry of exactly that name.
  bool filenameAlreadyInUse(const std::string &name);

  // The interface's views (made when the view loads).
  std::shared_ptr<platform::ui::TextField> filename;
  std::shared_ptr<platform::ui::Label> label;
  std::shared_ptr<platform::ui::Label> labelFileType;
  std::shared_ptr<platform::ui::SegmentedControl> segmentFileType; // 0 JPEG, 1 PNG
  std::shared_ptr<platform::ui::Label> labelExtraMessage;
  std::shared_ptr<platform::ui::Button> helpButton;

  std::string viewTitle, labelText, originalFilename, extraMessage, helpURL;
  DirItemList currentDirectory;
  Callback selectorDone;
  Callback selectorCancel;
  bool promptImageUpload = false;
  bool shownModal = false;
  std::weak_ptr<platform::ui::NavigationController> modalNavigationController; // not owned
  std::weak_ptr<platform::ui::PopoverController> popoverParent; // not owned: it owns the screen

  void loadView() override;
  void viewDidLoad() override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override {
    return o == platform::ui::InterfaceOrientation::Portrait;
  }
  bool textFieldShouldReturn(platform::ui::TextField &field) override;

private:
  void close();
  void showAlert(const std::string &title, const std::string &message);
};
