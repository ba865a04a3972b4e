#include "app/files/CopyAnimation.h"

#include "platform/foundation/RunLoop.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Services.h"
#include "platform/ui/ViewController.h"

using namespace platform;
using namespace platform::ui;

void flyToSavedFilesTab(const std::shared_ptr<View> &view, Rect from, const std::string &imageName,
                        const std::shared_ptr<NavigationController> &tab) {
  if (view) {
    auto flying = std::make_shared<ImageView>();
    flying->setImageName(imageName);
    flying->setFrame(Rect(from.origin.x, from.origin.y, 44, 44));
    view->addSubview(flying);
    const Rect bounds = view->bounds();
    animate(
        0.75,
        [flying, bounds] {
          flying->setFrame(Rect(bounds.size.width / 2 + 96 - 11, 64 - 11, 22, 22));
          flying->setAlpha(0.5);
        },
        [flying](bool) { flying->removeFromSuperview(); });
  }
  if (!tab) return;
  auto item = tab->tabBarItem();
  if (!item) return;
  item->setBadgeValue("+");
  // A later copy keeps the badge for its own 3 s.
  static unsigned shown = 0;
  const unsigned mine = ++shown;
  std::weak_ptr<TabBarItem> weakItem = item;
  RunLoop::main()->performAfter(seconds(3), [weakItem, mine] {
    if (auto i = weakItem.lock(); i && mine == shown) i->setBadgeValue(std::nullopt);
  });
}
