// What the foundation's screens ask of the application delegate. The application shell installs
// its delegate here at start; until then (and in tests that install none) a screen gets the
// answers of a delegate that allows no landscape and has nothing to show.
#pragma once

#include "platform/ui/Presentation.h"
#include "platform/ui/ViewController.h"

#include <memory>
#include <string>

class AppDelegateServices {
public:
  virtual ~AppDelegateServices() = default;
  // The user allows the screens to turn to landscape.
  virtual bool allowLandscapeView() const { return false; }
  // The screen on top does (or does not) use the application's quick scroller.
  virtual void viewUsesMyScroller(bool uses) { (void)uses; }
  // A screen turned from the orientation `from` (the orientation's number): the shell lays out
  // what it holds around the screen for the new one.
  virtual void didRotateFromInterfaceOrientation(int from) { (void)from; }
  // The help screen made from the interface `nibName` with a title and the page to show.
  virtual std::shared_ptr<platform::ui::ViewController>
  makeHelpViewController(const std::string &nibName, const std::string &title,
                         const std::string &url) {
    (void)nibName, (void)title, (void)url;
    return nullptr;
  }
  // The help screen made above now stands in that popover: it keeps it (and shows its large
  // spinner while a page loads) and becomes its delegate.
  virtual void
  setHelpPopoverParent(const std::shared_ptr<platform::ui::ViewController> &help,
                       const std::shared_ptr<platform::ui::PopoverController> &popover) {
    (void)help, (void)popover;
  }
};

// The installed delegate (never null: a default one when none was installed). Main thread.
AppDelegateServices &appDelegateServices();
void setAppDelegateServices(std::shared_ptr<AppDelegateServices> services);
