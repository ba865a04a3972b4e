#include "app/foundation/ResourceImage.h"

ResourceImageRef resourceImageNamed(const std::string &name) {
  auto image = platform::media::ImageRegistry::shared().imageNamed(name);
  if (!image) return nullptr;
  return std::make_shared<const ResourceImage>(ResourceImage{name, std::move(image)});
}
