// A screen that may turn to landscape (document viewer, web tab, browser, text editor) as the
// application shell arranges it: the shell moves it into and out of the iPhone landscape
// container and the iPad file tabs, and tells it its new size or orientation.
#pragma once

#include "platform/ui/Geometry.h"

#include <string>

// A screen that may turn to landscape (document viewer, web tab, browser, text editor) and adapts
// to a new size or orientation.
class ShellFileScreen {
public:
  virtual ~ShellFileScreen() = default;
  virtual void resized(platform::ui::Rect) {}
  virtual void newOrientation(platform::ui::InterfaceOrientation) {}
  // Rebuilds the title bar (its full-width button follows the split container's state).
  virtual void setupTitlebar() {}
  // Browser screens: load the address.
  virtual void openURL(const std::string &) {}
};
