// The permissions editor: nine toggles (read, write, execute of owner, group and others), two
// presets, the octal value shown and handed back on Save.
#pragma once

#include "platform/ui/Controls.h"
#include "platform/ui/ViewController.h"

#include <array>
#include <functional>
#include <memory>
#include <string>

class ChmodViewController : public platform::ui::ViewController {
public:
  using Done = std::function<void(ChmodViewController &)>;
  explicit ChmodViewController(const std::string &nibName = "ChmodView");

  std::string name, owner, group;
  // Type character and nine permission characters, as listed.
  std::string attribIn;
  // Results: three octal digits (owner, group, others; a set-id and sticky digit before them
  // only when one of those bits is set) and the same value as an integer. The set-user-id,
  // set-group-id and sticky bits the listing showed are kept: the editor has no toggles for them,
  // and a chmod must not clear what it does not show.
  std::string attributes;
  int attribInt = 0;

  void setDoneTarget(Done done) { done_ = std::move(done); }
  void viewDidLoad() override;
  void clickedButton(platform::ui::Button &toggle);
  void set755();
  void set644();
  void clickedDone();
  void clickedCancel();
  void doPermissionsLabel();

  // ownerR, ownerW, ownerX, groupR, groupW, groupX, worldR, worldW, worldX.
  std::array<std::shared_ptr<platform::ui::Button>, 9> toggles;
  std::shared_ptr<platform::ui::Label> ispermLabel;

private:
  void setBits(unsigned mask); // bit 8: ownerR ... bit 0: worldX
  unsigned specialBits_ = 0;   // 04000 set-user-id, 02000 set-group-id, 01000 sticky
  Done done_;
};
