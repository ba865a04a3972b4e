#include "app/shell/ShellScreens.h"

#include "app/foundation/AppDelegateServices.h"
#include "app/photos/ImageEditorView.h"
#include "app/shell/FerrowenAppDelegate.h"

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Services.h"

#include <utility>

using namespace platform;
using namespace platform::ui;

namespace {
// Turns with the rest of the tabs, as the screen it stands for will.
class PlaceholderScreen : public ViewController {
public:
  using ViewController::ViewController;
  bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) override {
    return appDelegateServices().allowLandscapeView() || o == InterfaceOrientation::Portrait;
  }
};
} // namespace

std::shared_ptr<ViewController> placeholderScreen(const std::string &nibName,
                                                  const std::string &title) {
  auto vc = std::make_shared<PlaceholderScreen>(nibName);
  vc->setTitle(title);
  return vc;
}

// --- Split container ---------------------------------------------------------------------------

MySplitView::MySplitView(const std::string &nibName) : SplitViewController(nibName) {}

void MySplitView::viewDidLoad() {
  view()->setBackgroundColor(Color::blackColor());
  view()->setAutoresizingMask(FlexibleWidth | FlexibleHeight);
  flareTopCorners_ = std::make_shared<ImageView>("round-corners-v3.png");
  flareTopCorners_->setFrame(Rect(kLeftWidth - 5, kTop, 11, 12));
  view()->addSubview(flareTopCorners_);
  if (masterViewController() && detailViewController())
    layoutViewsForInterfaceOrientation(lastOrientation_);
}

void MySplitView::addLeftView(std::shared_ptr<ViewController> left,
                              std::shared_ptr<ViewController> right) {
  setViewControllers(std::move(left), std::move(right));
  view(); // loads the container (and its corner image)
  view()->bringSubviewToFront(flareTopCorners_);
  delaySetOrientation();
}

void MySplitView::delaySetOrientation() {
  const auto device = DeviceProfile::current();
  const bool landscape = device.isLandscape();
  view()->setFrame(Rect(0, kTop, landscape ? 1024 : 768, landscape ? 748 : 1004));
  layoutViewsForInterfaceOrientation(int(device.orientation));
}

void MySplitView::layoutViewsForInterfaceOrientation(int o) {
  if (o == 0 || o == 5 || o == 6) o = lastOrientation_;
  const bool portrait = o == 1 || o == 2;
  const double W = portrait ? 768 : 1024, H = portrait ? 1004 : 748;
  const double R = W - kLeftWidth - kGap - leftOffset_;
  if (auto left = masterViewController()) {
    left->view()->setFrame(Rect(leftOffset_, kTop, kLeftWidth, H));
    left->view()->setNeedsLayout();
    for (auto &vc : left->allChildren())
      vc->view()->setNeedsLayout();
  }
  setRightViewFrame(Rect(leftOffset_ + kLeftWidth + kGap, kTop, R, H));
  if (flareTopCorners_)
    flareTopCorners_->setFrame(Rect(leftOffset_ + kLeftWidth - 5, kTop, 11, 12));
  view()->setNeedsLayout();
  lastOrientation_ = o;
}

void MySplitView::setRightViewFrame(Rect frame) {
  auto right = detailViewController();
  if (!right) return;
  right->view()->setFrame(frame);
  right->view()->setNeedsLayout();
  for (auto &vc : right->allChildren()) {
    vc->view()->setFrame(Rect(0, 0, frame.size.width, frame.size.height));
    vc->view()->setNeedsLayout();
  }
}

Rect MySplitView::rightViewFrame() const {
  auto right = detailViewController();
  return right && right->isViewLoaded() ? right->view()->frame() : Rect();
}

Rect MySplitView::leftViewFrame() const {
  auto left = masterViewController();
  return left && left->isViewLoaded() ? left->view()->frame() : Rect();
}

std::string MySplitView::getResizeImage() const {
  return leftOffset_ < 0 ? "window-both-4.png" : "window-full-4.png";
}

void MySplitView::clickedResize() {
  leftOffset_ = leftOffset_ == -kLeftWidth ? 0 : -kLeftWidth;
  std::weak_ptr<MySplitView> weak = sharedAs<MySplitView>();
  animate(0.25, [weak] {
    if (auto s = weak.lock())
      s->layoutViewsForInterfaceOrientation(int(DeviceProfile::current().orientation));
  });
  setMasterHidden(leftOffset_ < 0, true);
  // Every file tab draws the button in its own bar: each bar is drawn again with the new picture.
  auto retitle = [](const std::shared_ptr<ViewController> &vc) {
    if (auto screen = std::dynamic_pointer_cast<ShellFileScreen>(vc))
      screen->setupTitlebar();
    else if (auto editor = std::dynamic_pointer_cast<ImageEditorView>(vc))
      editor->setupTitlebar();
  };
  if (auto right = detailViewController()) {
    for (auto &vc : right->allChildren()) {
      retitle(vc);
      if (auto nav = std::dynamic_pointer_cast<NavigationController>(vc))
        retitle(nav->topViewController());
    }
  }
}

void MySplitView::willAnimateRotationToInterfaceOrientation(InterfaceOrientation o, double) {
  layoutViewsForInterfaceOrientation(int(o));
  if (auto d = FerrowenAppDelegate::sharedDelegate())
    d->willAnimateRotationToInterfaceOrientation(int(o));
}

// --- Landscape container -------------------------------------------------------------------------

void RootViewController::viewWillAppear(bool) {
  Log::debug("RootViewController.viewWillAppear");
}

void RootViewController::viewDidAppear(bool) {
  Log::debug("RootViewController.viewDidAppear");
  if (std::exchange(appeared_, true)) return;
  auto d = FerrowenAppDelegate::sharedDelegate();
  if (d && d->navigationController())
    d->navigationController()->pushViewController(
        d->makeScreen(d->makers.connect, "Connect", "FTP"), false);
  fAllowLandscape = false;
}

void RootViewController::viewWillDisappear(bool) {
  Log::debug("RootViewController.viewWillDisappear");
}

void RootViewController::viewDidDisappear(bool) {
  Log::debug("RootViewController.viewDidDisappear");
}

void LandscapeViewController::didRotateFromInterfaceOrientation(InterfaceOrientation) {
  RunLoop::main()->performAfter(seconds(0.0025), [] {
    if (auto d = FerrowenAppDelegate::sharedDelegate()) d->rotisary();
  });
}
