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

// A picture of one colour, any size.
inline std::shared_ptr<platform::media::Image> plainPicture(int w, int h) {
  const std::vector<uint32_t> px(static_cast<size_t>(w) * h, 0xFF4080C0u);
  return platform::media::Image::fromPixels(w, h, reinterpret_cast<const uint8_t *>(px.data()),
                                            size_t(w) * 4);
}

// Pictures as a picker hands them over, and the size each is stored at: an upright one whole,
// even past the 3000 pixels that turning a picture upright scales it to; a turned one upright.
struct PickedPictureCase {
  const char *what;
  std::shared_ptr<platform::media::Image> picked;
  int storedWidth, storedHeight;
};
inline std::vector<PickedPictureCase> pickedPictureCases() {
  using platform::media::ImageOrientation;
  return {
      {"large upright", plainPicture(3200, 4), 3200, 4},
      {"turned on its side", coordinatePicture(6, 4)->withOrientation(ImageOrientation::Right), 4,
       6},
      {"large and turned", plainPicture(3200, 4)->withOrientation(ImageOrientation::Left), 4, 3000},
  };
}

} // namespace testsupport
