// The sign that a file went into Saved Files: a 44 by 44 point picture flies from where the file
// was touched towards the Saved Files tab (96 points right of the view's centre, 64 below its top)
// over 0.75 s, halving its opacity and its size, and is removed; the tab shows the badge "+" for
// 3 s. Main thread.
#pragma once

#include <memory>
#include <string>

#include "platform/ui/Geometry.h"

namespace platform::ui {
class View;
class NavigationController;
} // namespace platform::ui

// `from` is in `view`'s coordinates; `imageName` names a registered or resource picture. The
// badge goes on `tab`'s tab item (nothing when there is none).
void flyToSavedFilesTab(const std::shared_ptr<platform::ui::View> &view, platform::ui::Rect from,
                        const std::string &imageName,
                        const std::shared_ptr<platform::ui::NavigationController> &tab);
