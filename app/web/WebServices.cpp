#include "app/web/WebServices.h"

namespace {
std::shared_ptr<WebServices> &slot() {
  static std::shared_ptr<WebServices> s = std::make_shared<WebServices>();
  return s;
}
} // namespace

WebServices &webServices() {
  return *slot();
}

void setWebServices(std::shared_ptr<WebServices> services) {
  slot() = services ? std::move(services) : std::make_shared<WebServices>();
}
