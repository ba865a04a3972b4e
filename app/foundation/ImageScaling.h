// Pictures from the camera and the photo library carry an orientation flag instead of upright
// pixels. These turn such a picture into an upright one, scaled down to a maximum size.
#pragma once

#include "platform/media/Image.h"

#include <memory>
#include <optional>
#include <string>

// An upright copy of the picture whose longer side is at most maxSize pixels (-1: no scaling).
// Null when the picture is null or the result cannot be drawn.
std::shared_ptr<platform::media::Image>
scaleToSizeAndRotateImage(const std::shared_ptr<platform::media::Image> &image, int maxSize);
// The same with the maximum at 3000 pixels.
std::shared_ptr<platform::media::Image>
scaleAndRotateImage(const std::shared_ptr<platform::media::Image> &image);

// A new size typed for a picture: each side from 1 to kMaxPictureSide pixels.
inline constexpr int kMaxPictureSide = 16384;
// The side a field's text gives (its leading number), or nothing when that is not from 1 to
// kMaxPictureSide.
std::optional<int> typedPictureSide(const std::string &text);
// The alert that refuses a typed size outside those bounds.
inline constexpr const char *kPictureSizeAlertTitle = "Image Size";
std::string pictureSizeAlertMessage();
// A side worked out from a typed one (to keep a picture's proportions), cut to whole pixels. Held
// to the range doubles count exactly, so that a typed number of any length gives a number (which
// the bounds above then refuse) and never an integer out of range.
long long wholePixels(double side);
