#include "app/foundation/ImageScaling.h"

#include "platform/media/BitmapContext.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

using namespace platform::media;

std::shared_ptr<Image> scaleToSizeAndRotateImage(const std::shared_ptr<Image> &image, int maxSize) {
  if (!image) return nullptr;
  const double W = image->pixelWidth(), H = image->pixelHeight();
  const double M = maxSize == -1 ? std::max(W, H) : static_cast<double>(maxSize);

  double bw = W, bh = H;
  if (W > M || H > M) {
    const double ratio = W / H;
    if (ratio > 1) {
      bw = M;
      bh = M / ratio;
    } else {
      bh = M;
      bw = M * ratio;
    }
  }
  const double s = bw / W;

  AffineTransform transform;
  bool swap = false;
  // The mirrored orientations turned on their side are drawn like the plain turned ones (the
  // context flipped sideways), each with the transform that mirrors it across its diagonal; the
  // upright flip left those pictures shifted off the bitmap.
  bool sidewaysFlip = false;
  switch (image->imageOrientation()) {
  case ImageOrientation::Up:
    break;
  case ImageOrientation::Down:
    transform = AffineTransform::makeTranslation(W, H).rotated(M_PI);
    break;
  case ImageOrientation::Left:
    transform = AffineTransform::makeTranslation(0, W).rotated(3 * M_PI / 2);
    swap = sidewaysFlip = true;
    break;
  case ImageOrientation::Right:
    transform = AffineTransform::makeTranslation(H, 0).rotated(M_PI / 2);
    swap = sidewaysFlip = true;
    break;
  case ImageOrientation::UpMirrored:
    transform = AffineTransform::makeTranslation(W, 0).scaled(-1, 1);
    break;
  case ImageOrientation::DownMirrored:
    transform = AffineTransform::makeTranslation(0, H).scaled(1, -1);
    break;
  case ImageOrientation::LeftMirrored:
    transform = AffineTransform::makeScale(-1, 1).rotated(M_PI / 2);
    swap = sidewaysFlip = true;
    break;
  case ImageOrientation::RightMirrored:
    transform = AffineTransform::makeTranslation(H, W).scaled(-1, 1).rotated(3 * M_PI / 2);
    swap = sidewaysFlip = true;
    break;
  default:
    throw std::logic_error("Invalid image orientation");
  }
  if (swap) std::swap(bw, bh);

  auto context = BitmapContext::create(std::max(1, static_cast<int>(std::lround(bw))),
                                       std::max(1, static_cast<int>(std::lround(bh))));
  if (!context) return nullptr;
  if (sidewaysFlip) {
    context->scale(-s, s);
    context->translate(-H, 0);
  } else {
    context->scale(s, -s);
    context->translate(0, -H);
  }
  context->concat(transform);
  context->drawBitmap(*image, {0, 0, W, H});
  return context->makeImage(1.0);
}

std::shared_ptr<Image> scaleAndRotateImage(const std::shared_ptr<Image> &image) {
  return scaleToSizeAndRotateImage(image, 3000);
}

std::optional<int> typedPictureSide(const std::string &text) {
  const long long side = std::atoll(text.c_str());
  if (side < 1 || side > kMaxPictureSide) return std::nullopt;
  return static_cast<int>(side);
}

std::string pictureSizeAlertMessage() {
  return "Width and height must each be from 1 to " + std::to_string(kMaxPictureSide) + " pixels.";
}

long long wholePixels(double side) {
  constexpr double kExact = 9007199254740992.0; // 2^53
  if (std::isnan(side)) return 0;
  return static_cast<long long>(std::clamp(side, -kExact, kExact));
}
