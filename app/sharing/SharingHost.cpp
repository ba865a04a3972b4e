#include "app/sharing/SharingHost.h"

#include "platform/device/Application.h"

std::shared_ptr<SharingHost> SharingHost::current() {
  return std::dynamic_pointer_cast<SharingHost>(platform::Application::shared().delegate());
}
