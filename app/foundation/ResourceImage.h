// An image among the application's resources: its file name (what the UI model shows) and its
// encoded bytes, read once and kept.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct ResourceImage {
  std::string name;          // file name in the resources, e.g. "3-folder.png"
  std::vector<uint8_t> data; // the file's bytes (PNG)
};
using ResourceImageRef = std::shared_ptr<const ResourceImage>;

// The resource image of that name; null when it cannot be read.
ResourceImageRef resourceImageNamed(const std::string &name);
