// A picture among the application's resources, kept with its file name: views of the UI model
// show images by name, drawing code uses the decoded picture.
#pragma once

#include "platform/media/Image.h"

#include <memory>
#include <string>

struct ResourceImage {
  std::string name;                              // file name in the resources, e.g. "3-folder.png"
  std::shared_ptr<platform::media::Image> image; // the decoded picture
};
using ResourceImageRef = std::shared_ptr<const ResourceImage>;

// The resource picture of that name; null when it is missing or cannot be decoded.
ResourceImageRef resourceImageNamed(const std::string &name);

// The file name a view shows the picture by; empty for a missing picture.
inline std::string imageName(const ResourceImageRef &image) {
  return image ? image->name : std::string();
}
