#include "platform/ui/Element.h"

#include "platform/foundation/RunLoop.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>

namespace platform::ui {

void Element::describe(nlohmann::json &) const {}

namespace detail {
void requireMainThread(const char *what) {
#ifndef NDEBUG
  if (!RunLoop::isMainThread()) {
    std::fprintf(stderr, "platform::ui: %s called off the main thread\n", what);
    std::abort();
  }
#else
  (void)what;
#endif
}
} // namespace detail

} // namespace platform::ui
