#include "app/remote/ChmodViewController.h"

#include "app/foundation/PlatformExtensions.h"

#include "platform/foundation/Log.h"

using namespace platform::ui;

namespace {
// What each toggle is, as a person reads it: a row for each class, a column for each bit.
const char *const kClasses[3] = {"Owner", "Group", "Others"};
const char *const kBits[3] = {"Read", "Write", "Execute"};

// Whether a listing's permission character sets its toggle. Capital "S" and "T" in an execute
// place stand for set-id or sticky with execute off.
bool characterSetsBit(char c, int place) {
  if (c == '-') return false;
  if (place % 3 == 2 && (c == 'S' || c == 'T')) return false;
  return true;
}

// The set-id and sticky bits a listing shows in the execute places ("s"/"S" for owner and group,
// "t"/"T" for others); 0 for a text of another length.
unsigned specialBitsOf(const std::string &attrib) {
  if (attrib.size() != 10) return 0;
  unsigned bits = 0;
  if (attrib[3] == 's' || attrib[3] == 'S') bits |= 04000;
  if (attrib[6] == 's' || attrib[6] == 'S') bits |= 02000;
  if (attrib[9] == 't' || attrib[9] == 'T') bits |= 01000;
  return bits;
}
} // namespace

ChmodViewController::ChmodViewController(const std::string &nibName) : ViewController(nibName) {}

void ChmodViewController::viewDidLoad() {
  view()->setBackgroundColor(myBackgroundColor());
  setTitle(name);
  // Each row is named above it and each toggle says which bit it is. An off toggle is a plain
  // white button, an on one is blue and ticked: what a click will change is plain.
  for (int row = 0; row < 3; ++row) {
    auto label = std::make_shared<Label>(Rect{12, double(36 + row * 68), 296, 20});
    label->setText(kClasses[row]);
    label->setFont(Font::boldSystem(15));
    label->setBackgroundColor(Color::clearColor());
    view()->addSubview(label);
  }
  for (int i = 0; i < 9; ++i) {
    auto b =
        std::make_shared<Button>(ButtonType::RoundedRect, Rect{double(10 + (i % 3) * 102),
                                                               double(58 + (i / 3) * 68), 96, 40});
    b->setAccessibilityLabel(std::string(kClasses[i / 3]) + " " + kBits[i % 3]);
    b->setTitle(kBits[i % 3]);
    b->setTitle(std::string("\u2713 ") + kBits[i % 3], ControlState::Selected);
    b->setBackgroundImage("chmod-on.png", ControlState::Selected);
    b->setTitleColor(Color{0, 0, 0, 1}, ControlState::Normal);
    b->setTitleColor(Color{0.2, 0.4, 0.9, 1}, ControlState::Selected);
    b->addTarget(ControlEvent::TouchUpInside,
                 [this](Control &c) { clickedButton(static_cast<Button &>(c)); });
    toggles[size_t(i)] = b;
    view()->addSubview(b);
  }
  auto preset = [this](const char *title, double x, std::function<void()> fn) {
    auto b = std::make_shared<Button>(ButtonType::RoundedRect, Rect{x, 250, 90, 36});
    b->setTitle(title);
    b->addTarget(ControlEvent::TouchUpInside, [fn](Control &) { fn(); });
    view()->addSubview(b);
  };
  preset("755", 20, [this] { set755(); });
  preset("644", 115, [this] { set644(); });
  ispermLabel = std::make_shared<Label>(Rect{210, 250, 90, 36});
  view()->addSubview(ispermLabel);
  navigationItem().setLeftBarButtonItem(
      BarButtonItem::systemItem(BarButtonSystemItem::Cancel, [this](auto &) { clickedCancel(); }));
  navigationItem().setRightBarButtonItem(
      BarButtonItem::systemItem(BarButtonSystemItem::Save, [this](auto &) { clickedDone(); }));
  specialBits_ = specialBitsOf(attribIn);
  if (attribIn.size() == 10)
    for (int i = 0; i < 9; ++i)
      toggles[size_t(i)]->setSelected(characterSetsBit(attribIn[size_t(i) + 1], i));
  doPermissionsLabel();
}

void ChmodViewController::doPermissionsLabel() {
  int digits[3] = {0, 0, 0};
  for (int i = 0; i < 9; ++i)
    if (toggles[size_t(i)] && toggles[size_t(i)]->isSelected()) digits[i / 3] += 4 >> (i % 3);
  const int special = int(specialBits_ >> 9);
  // Three digits as ever; a leading fourth only when the listing showed a set-id or sticky bit,
  // since a server reads three digits as "none of those" and the chmod would clear them.
  attributes = special ? platform::Log::format("%i%i%i%i", special, digits[0], digits[1], digits[2])
                       : platform::Log::format("%i%i%i", digits[0], digits[1], digits[2]);
  if (ispermLabel) ispermLabel->setText("= " + attributes);
  attribInt = int(specialBits_) + digits[0] * 64 + digits[1] * 8 + digits[2];
}

void ChmodViewController::clickedButton(Button &toggle) {
  toggle.setSelected(!toggle.isSelected());
  doPermissionsLabel();
}

void ChmodViewController::setBits(unsigned mask) {
  for (int i = 0; i < 9; ++i)
    if (toggles[size_t(i)]) toggles[size_t(i)]->setSelected(mask & (0400u >> i));
  doPermissionsLabel();
}

void ChmodViewController::set755() {
  setBits(0755);
}
void ChmodViewController::set644() {
  setBits(0644);
}

void ChmodViewController::clickedDone() {
  auto keep = sharedAs<ChmodViewController>();
  if (done_) done_(*this);
  if (auto nav = navigationController()) nav->popViewControllerAnimated(true);
}

void ChmodViewController::clickedCancel() {
  if (auto nav = navigationController()) nav->popViewControllerAnimated(true);
}
