#include "app/shell/PasscodeLock.h"

#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
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
std::shared_ptr<TextField> passcodeField(Rect frame, const std::string &label) {
  auto field = std::make_shared<TextField>(frame);
  field->setAccessibilityLabel(label);
  field->setSecureTextEntry(true);
  field->setBorderStyle(TextBorderStyle::RoundedRect);
  field->setFont(myTextInputFont);
  return field;
}
} // namespace

// --- Setting the passcode
// --------------------------------------------------------------------------

SetupLockViewer::SetupLockViewer(const std::string &nibName) : ViewController(nibName) {}

void SetupLockViewer::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 416));
  password1 = passcodeField(Rect(20, 60, 280, 31), "Passcode");
  password2 = passcodeField(Rect(20, 130, 280, 31), "Repeat Passcode");
  root->addSubview(password1);
  root->addSubview(password2);
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
  password = passcodeField(Rect(20, 100, 280, 31), "Passcode");
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
    viewLocked_ = false;
    dismissModalViewControllerAnimated(true);
    field.setText("");
  }
  return true;
}
