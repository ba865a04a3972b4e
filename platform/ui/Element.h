// The base of every object the window can show and a renderer can address: views, bar items,
// tab items, view controllers, alerts, action sheets and popovers.
//
// Naming, used throughout platform/ui: the phone's UIKit class names without their prefix
// (UIViewController -> ViewController, UIAlertView -> AlertView) in namespace platform::ui.
// Methods take the first part of the selector (pushViewController(vc, animated)); properties are
// a getter named as the property (isHidden() for flags) and a setter set...(). Delegate and data
// source protocols are abstract classes with empty default bodies; their methods drop the
// leading sender word of the selector and take the sender as the first argument
// (tableView:didSelectRowAtIndexPath: -> didSelectRowAtIndexPath(TableView &, IndexPath)); a
// selector that is only the sender and a verb keeps its whole name
// (textFieldShouldReturn: -> textFieldShouldReturn(TextField &)). Delegates are held as weak_ptr
// (the phone's "assign"); everything shown is owned through shared_ptr.
//
// The whole model belongs to the main thread; debug builds abort when it is touched elsewhere.
// Objects may be made and configured on a worker before they are shown (alerts raised by
// connection threads are).
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace platform::ui {

class Window;

class Element : public std::enable_shared_from_this<Element> {
public:
  virtual ~Element() = default;
  // The kind written in snapshots ("button", "navigation", "alert", ...).
  virtual const char *typeName() const = 0;
  // Writes this element's own properties into a snapshot node.
  virtual void describe(nlohmann::json &out) const;

  template <class T> std::shared_ptr<T> sharedAs() {
    return std::static_pointer_cast<T>(shared_from_this());
  }
  template <class T> std::shared_ptr<const T> sharedAs() const {
    return std::static_pointer_cast<const T>(shared_from_this());
  }

private:
  friend class Window;
  // Given by the window the first time it shows or addresses the element; stable for the
  // element's life, so events can name it.
  mutable uint64_t elementId_ = 0;
  mutable const Window *idOwner_ = nullptr;
};

namespace detail {
// Aborts (debug builds) when not called on the main thread.
void requireMainThread(const char *what);
} // namespace detail

} // namespace platform::ui
