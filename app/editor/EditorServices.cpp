#include "app/editor/EditorServices.h"

#include <mutex>

namespace {
std::mutex &servicesMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<EditorServices> &installed() {
  static std::shared_ptr<EditorServices> s;
  return s;
}
} // namespace

std::shared_ptr<EditorServices> EditorServices::shared() {
  std::lock_guard lock(servicesMutex());
  return installed();
}

void EditorServices::setShared(std::shared_ptr<EditorServices> services) {
  std::lock_guard lock(servicesMutex());
  installed() = std::move(services);
}
