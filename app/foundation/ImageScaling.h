// Pictures from the camera and the photo library carry an orientation flag instead of upright
// pixels. These turn such a picture into an upright one, scaled down to a maximum size.
#pragma once

#include "platform/media/Image.h"

#include <memory>

// An upright copy of the picture whose longer side is at most maxSize pixels (-1: no scaling).
// Null when the picture is null or the result cannot be drawn.
std::shared_ptr<platform::media::Image>
scaleToSizeAndRotateImage(const std::shared_ptr<platform::media::Image> &image, int maxSize);
// The same with the maximum at 3000 pixels.
std::shared_ptr<platform::media::Image>
scaleAndRotateImage(const std::shared_ptr<platform::media::Image> &image);
