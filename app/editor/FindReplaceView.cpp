#include "app/editor/FindReplaceView.h"

#include "app/editor/EditFileView.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"

using namespace platform::ui;

std::shared_ptr<FindReplaceView> FindReplaceView::make(std::shared_ptr<EditFileView> editor) {
  auto panel = std::make_shared<FindReplaceView>();
  panel->theEditFileView = editor;
  panel->setContentSizeForViewInPopover({320, 320});
  return panel;
}

void FindReplaceView::viewDidLoad() {
  auto root = view();
  root->setBackgroundColor(myBackgroundColor());
  const double width = root->bounds().size.width;
  std::weak_ptr<FindReplaceView> weak = sharedAs<FindReplaceView>();
  auto button = [weak](const std::string &title, void (FindReplaceView::*action)()) {
    return BarButtonItem::titled(title, BarButtonItemStyle::Bordered,
                                 [weak, action](BarButtonItem &) {
                                   if (auto self = weak.lock()) (self.get()->*action)();
                                 });
  };
  const bool pad = Hardware::isiPad();
  double y = 60;
  if (pad) {
    // The panel's own bar in the popover; the interface's two bars are not used there.
    auto bar = std::make_shared<Toolbar>(Rect(0, 0, width, 44));
    bar->setAutoresizingMask(FlexibleWidth);
    bar->setItems({button("Replace All", &FindReplaceView::clickReplaceAll),
                   BarButtonItem::flexibleSpace(),
                   button("Find Next", &FindReplaceView::clickFindNext),
                   button("Find Prev", &FindReplaceView::clickFindPrevious)});
    root->addSubview(bar);
  } else {
    topToolbar = std::make_shared<Toolbar>(Rect(0, 0, width, 44));
    topToolbar->setAutoresizingMask(FlexibleWidth);
    topToolbar->setItems({button("Cancel", &FindReplaceView::clickCancel),
                          BarButtonItem::flexibleSpace(),
                          button("Replace All", &FindReplaceView::clickReplaceAll)});
    bottomToolbar = std::make_shared<Toolbar>(Rect(0, root->bounds().size.height - 44, width, 44));
    bottomToolbar->setAutoresizingMask(FlexibleWidth | FlexibleTopMargin);
    bottomToolbar->setItems({button("Find Prev", &FindReplaceView::clickFindPrevious),
                             BarButtonItem::flexibleSpace(),
                             button("Find Next", &FindReplaceView::clickFindNext)});
    root->addSubview(topToolbar);
    root->addSubview(bottomToolbar);
  }
  auto label = [&](const std::string &text, double top) {
    auto l = std::make_shared<Label>(Rect(20, top, width - 40, 20));
    l->setAutoresizingMask(FlexibleWidth);
    l->setText(text);
    root->addSubview(l);
  };
  auto field = [&](const std::string &name, double top) {
    auto f = std::make_shared<TextField>(Rect(20, top, width - 40, 31));
    // The panel is made before it knows its size (a popover's is smaller than the screen):
    // the fields follow its width, the switch its right edge.
    f->setAutoresizingMask(FlexibleWidth);
    f->setAccessibilityLabel(name);
    f->setPlaceholder(name);
    f->setBorderStyle(TextBorderStyle::RoundedRect);
    f->setFont(myTextInputFont);
    f->traits().autocorrectionType = TextAutocorrectionType::No;
    f->traits().autocapitalizationType = TextAutocapitalizationType::None;
    f->setDelegate(std::weak_ptr<TextFieldDelegate>(sharedAs<FindReplaceView>()));
    root->addSubview(f);
    return f;
  };
  label("Find Text:", y);
  textFind = field("Find Text", y + 22);
  label("Replace With Text:", y + 62);
  textReplace = field("Replace With Text", y + 84);
  label("Ignore Case", y + 130);
  ignoreCase = std::make_shared<Switch>(Rect(width - 114, y + 126, 94, 27));
  ignoreCase->setAutoresizingMask(FlexibleLeftMargin);
  ignoreCase->setAccessibilityLabel("Ignore Case");
  root->addSubview(ignoreCase);
}

void FindReplaceView::clickFindNext() {
  if (textFind->text().empty()) return;
  if (auto editor = theEditFileView.lock()) editor->clickDoFindNext();
}

void FindReplaceView::clickFindPrevious() {
  if (textFind->text().empty()) return;
  if (auto editor = theEditFileView.lock()) editor->clickDoFindPrevious();
}

void FindReplaceView::clickReplaceAll() {
  if (textFind->text().empty() && textReplace->text().empty()) return;
  if (textReplace->text().empty()) {
    confirmBlank_ = std::make_shared<AlertView>(
        "\"Replace With Text\" is Blank",
        "All occurances of \"" + textFind->text() + "\" will be deleted from the document!",
        std::weak_ptr<AlertViewDelegate>(sharedAs<FindReplaceView>()), "Replace",
        std::vector<std::string>{"Cancel"});
    confirmBlank_->show();
    return;
  }
  if (auto editor = theEditFileView.lock()) editor->clickDoReplace();
}

void FindReplaceView::clickCancel() {
  if (auto editor = theEditFileView.lock()) editor->clickDoCancelFindReplace();
}

bool FindReplaceView::textFieldShouldReturn(TextField &field) {
  field.resignFirstResponder();
  return true;
}

void FindReplaceView::clickedButtonAtIndex(AlertView &alert, int index) {
  if (&alert != confirmBlank_.get()) return;
  confirmBlank_.reset();
  if (index == 0)
    if (auto editor = theEditFileView.lock()) editor->clickDoReplace();
}

void FindReplaceView::popoverControllerDidDismissPopover(PopoverController &) {
  if (auto editor = theEditFileView.lock()) editor->popover.reset();
}
