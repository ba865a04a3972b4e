// Pictures made in memory for tests of the media layer and of the screens that draw with it.
// Header-only: only tests that link the media layer include it.
#pragma once

#include "platform/media/Image.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace testsupport {

// A picture whose every pixel tells where it is: red = x * 40, green = y * 40, blue = 200.
inline std::shared_ptr<platform::media::Image> coordinatePicture(int w, int h) {
  std::vector<uint32_t> px(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      px[static_cast<size_t>(y) * w + x] =
          0xFF000000u | (uint32_t(x * 40) << 16) | (uint32_t(y * 40) << 8) | 200u;
  return platform::media::Image::fromPixels(w, h, reinterpret_cast<const uint8_t *>(px.data()),
                                            size_t(w) * 4);
}

} // namespace testsupport
