// The start-up passcode: a free text kept as the value of the application's keychain item (empty:
// no lock). SetupLockViewer sets or clears it; LockViewer blocks the application until it is typed.
#pragma once

#include "app/foundation/KeychainWrapper.h"

#include "platform/ui/Controls.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

#include <memory>

class ShellConnectScreen;

// The stored passcode ("" when none).
std::string storedPasscode();

class SetupLockViewer : public platform::ui::ViewController,
                        public platform::ui::TextFieldDelegate {
public:
  explicit SetupLockViewer(const std::string &nibName = "SetupLockView");
  void loadView() override;
  void viewDidLoad() override;
  // Leaving the screen, whatever way, commits two equal entries.
  void viewWillDisappear(bool animated) override;
  bool textFieldShouldReturn(platform::ui::TextField &field) override;

  std::shared_ptr<platform::ui::TextField> password1, password2;

private:
  KeychainWrapper keychainWrapper_;
};

class LockViewer : public platform::ui::ViewController, public platform::ui::TextFieldDelegate {
public:
  explicit LockViewer(const std::string &nibName = "LockView");
  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  bool textFieldShouldReturn(platform::ui::TextField &field) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;

  bool viewLocked() const { return viewLocked_; }
  // The connect screen to tell after an unlock at start (none on return from the background).
  std::weak_ptr<ShellConnectScreen> connectView;
  std::shared_ptr<platform::ui::TextField> password;

private:
  bool viewLocked_ = false;
};
