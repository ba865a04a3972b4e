#include "app/shell/PasscodeLock.h"

#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/shell/FerrowenAppDelegate.h"
#include "app/shell/ShellScreens.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/RunLoop.h"

using namespace platform;
using namespace platform::ui;

std::string storedPasscode() {
  return KeychainWrapper().objectForKey(kSecValueData).value_or("");
}

namespace {

// Centred in its screen whatever the screen's width (the lock fills an iPad too).
constexpr unsigned kCentred = FlexibleLeftMargin | FlexibleRightMargin;

std::shared_ptr<TextField> passcodeField(Rect frame, const std::string &label,
                                         const std::string &hint) {
  auto field = std::make_shared<TextField>(frame);
  field->setAccessibilityLabel(label);
  field->setPlaceholder(hint);
  field->setSecureTextEntry(true);
  field->setBorderStyle(TextBorderStyle::RoundedRect);
  field->setFont(myTextInputFont);
  field->setAutoresizingMask(kCentred);
  return field;
}

// A caption above a field or a note below it: wraps rather than cuts.
std::shared_ptr<Label> caption(Rect frame, const std::string &text, Font font, Color color,
                               TextAlignment alignment = TextAlignment::Left) {
  auto label = std::make_shared<Label>(frame);
  label->setText(text);
  label->setFont(std::move(font));
  label->setTextColor(color);
  label->setBackgroundColor(Color::clearColor());
  label->setTextAlignment(alignment);
  label->setNumberOfLines(0);
  label->setAutoresizingMask(kCentred);
  return label;
}

} // namespace

// --- Setting the passcode
// --------------------------------------------------------------------------

SetupLockViewer::SetupLockViewer(const std::string &nibName) : ViewController(nibName) {}

void SetupLockViewer::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 416));
  const Color ink{0.2, 0.24, 0.3, 1};
  root->addSubview(caption(Rect(20, 36, 280, 20), "New Passcode", Font::boldSystem(15), ink));
  password1 = passcodeField(Rect(20, 60, 280, 31), "Passcode", "Passcode");
  root->addSubview(password1);
  root->addSubview(
      caption(Rect(20, 106, 280, 20), "Repeat the Passcode", Font::boldSystem(15), ink));
  password2 = passcodeField(Rect(20, 130, 280, 31), "Repeat Passcode", "The same passcode again");
  root->addSubview(password2);
  root->addSubview(caption(Rect(20, 176, 280, 54),
                           "The passcode is asked for when Ferrowen starts. Leave both fields "
                           "empty to turn the lock off.",
                           Font::system(13), ink));
  setView(root);
}

void SetupLockViewer::viewDidLoad() {
  view()->setBackgroundColor(myBackgroundColor());
  auto self = std::static_pointer_cast<TextFieldDelegate>(sharedAs<SetupLockViewer>());
  const std::string current = keychainWrapper_.objectForKey(kSecValueData).value_or("");
  for (auto &field : {password1, password2}) {
    field->setText(current);
    field->setDelegate(self);
  }
  setTitle(localizedString("Startup Lock"));
}

bool SetupLockViewer::textFieldShouldReturn(TextField &field) {
  if (&field == password1.get()) {
    password2->becomeFirstResponder();
    return false;
  }
  field.resignFirstResponder();
  return true;
}

void SetupLockViewer::viewWillDisappear(bool) {
  if (password1->text() == password2->text()) {
    keychainWrapper_.setObject(password1->text(), kSecValueData);
    return;
  }
  showOnMainThread(
      std::make_shared<AlertView>(localizedString("Passwords Do Not Match"),
                                  localizedString("The two passwords entered do not match!"),
                                  std::weak_ptr<AlertViewDelegate>(), localizedString("OK")));
}

// --- The lock ------------------------------------------------------------------------------------

LockViewer::LockViewer(const std::string &nibName) : ViewController(nibName) {}

void LockViewer::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 480));
  root->addSubview(caption(Rect(20, 60, 280, 28), "Enter Passcode", Font::boldSystem(20),
                           Color::whiteColor(), TextAlignment::Center));
  password = passcodeField(Rect(20, 100, 280, 31), "Passcode", "Passcode");
  password->setReturnKeyType(ReturnKeyType::Done);
  root->addSubview(password);
  setView(root);
}

void LockViewer::viewDidLoad() {
  view()->setBackgroundColor(Color{0.12, 0.13, 0.16, 1});
  password->setDelegate(std::static_pointer_cast<TextFieldDelegate>(sharedAs<LockViewer>()));
  std::weak_ptr<LockViewer> weak = sharedAs<LockViewer>();
  RunLoop::main()->performAfter(seconds(0.1), [weak] {
    if (auto s = weak.lock(); s && s->viewLocked_) s->password->becomeFirstResponder();
  });
}

void LockViewer::viewWillAppear(bool) {
  viewLocked_ = true;
}

void LockViewer::viewWillDisappear(bool) {
  viewLocked_ = false;
}

bool LockViewer::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return DeviceProfile::current().isiPad() || o == InterfaceOrientation::Portrait;
}

bool LockViewer::textFieldShouldReturn(TextField &field) {
  field.resignFirstResponder();
  // Read afresh: the passcode may have changed since this screen was made.
  KeychainWrapper current;
  if (field.text() == current.objectForKey(kSecValueData).value_or("")) {
    if (auto connect = connectView.lock()) connect->restoreEditState();
    if (auto app = FerrowenAppDelegate::sharedDelegate()) app->passcodeAccepted();
    viewLocked_ = false;
    dismissModalViewControllerAnimated(true);
    field.setText("");
  }
  // A wrong code does nothing more: the screen stays, the code in its field.
  return true;
}
