// The editor's find and replace panel (interface "FindReplaceView"): the text to find, the
// replacement, a switch to ignore case, and the buttons Find Next, Find Prev, Replace All and
// Cancel. Presented modally on iPhone and in a popover on iPad; the editor does the work.
#pragma once

#include "platform/ui/Presentation.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

#include <memory>

class EditFileView;

class FindReplaceView : public platform::ui::ViewController,
                        public platform::ui::TextFieldDelegate,
                        public platform::ui::AlertViewDelegate,
                        public platform::ui::PopoverControllerDelegate {
public:
  static std::shared_ptr<FindReplaceView> make(std::shared_ptr<EditFileView> editor);
  FindReplaceView() : ViewController("FindReplaceView") {}

  void viewDidLoad() override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override {
    return o == platform::ui::InterfaceOrientation::Portrait;
  }

  // Panel actions.
  void clickFindNext();
  void clickFindPrevious();
  void clickReplaceAll();
  void clickCancel();
  bool textFieldShouldReturn(platform::ui::TextField &field) override;
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;
  void popoverControllerDidDismissPopover(platform::ui::PopoverController &) override;

  std::shared_ptr<platform::ui::TextField> textFind, textReplace;
  std::shared_ptr<platform::ui::Switch> ignoreCase;
  std::shared_ptr<platform::ui::Toolbar> topToolbar, bottomToolbar;
  // The editor keeps the panel; the panel only points back.
  std::weak_ptr<EditFileView> theEditFileView;
  std::weak_ptr<platform::ui::PopoverController> popoverParent;

private:
  std::shared_ptr<platform::ui::AlertView> confirmBlank_;
};
