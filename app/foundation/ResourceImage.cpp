#include "app/foundation/ResourceImage.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"

ResourceImageRef resourceImageNamed(const std::string &name) {
  auto data = platform::FileManager::contentsAtPath(
      platform::appendPathComponent(platform::Paths::resources(), name));
  if (!data) return nullptr;
  auto image = std::make_shared<ResourceImage>();
  image->name = name;
  image->data = std::move(*data);
  return image;
}
