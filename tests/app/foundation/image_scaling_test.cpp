// Camera pictures turned upright and scaled down: sizes for every orientation, and pixels where
// the user saw them.
#include "app/foundation/ImageScaling.h"

#include "platform/media/BitmapContext.h"
#include "tests/support/ImageFixtures.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace platform::media;

namespace {

using testsupport::coordinatePicture;

const ImageOrientation kAll[] = {ImageOrientation::Up,           ImageOrientation::Down,
                                 ImageOrientation::Left,         ImageOrientation::Right,
                                 ImageOrientation::UpMirrored,   ImageOrientation::DownMirrored,
                                 ImageOrientation::LeftMirrored, ImageOrientation::RightMirrored};

bool sideways(ImageOrientation o) {
  return o == ImageOrientation::Left || o == ImageOrientation::Right ||
         o == ImageOrientation::LeftMirrored || o == ImageOrientation::RightMirrored;
}

// Four coloured quadrants: red, green / blue, white.
std::shared_ptr<Image> quadrants(int w, int h) {
  auto ctx = BitmapContext::create(w, h);
  const double hw = w / 2.0, hh = h / 2.0;
  ctx->setFillColor({1, 0, 0, 1});
  ctx->fillRect({0, 0, hw, hh});
  ctx->setFillColor({0, 1, 0, 1});
  ctx->fillRect({hw, 0, hw, hh});
  ctx->setFillColor({0, 0, 1, 1});
  ctx->fillRect({0, hh, hw, hh});
  ctx->setFillColor({1, 1, 1, 1});
  ctx->fillRect({hw, hh, hw, hh});
  return ctx->makeImage();
}

// The picture as the user saw it, at its own size.
std::shared_ptr<Image> seen(const Image &image) {
  int w = int(image.size().width), h = int(image.size().height);
  auto ctx = BitmapContext::create(w, h);
  ctx->drawImage(image, {0, 0, double(w), double(h)});
  return ctx->makeImage();
}

// The colour at the centre of each quadrant.
std::vector<uint32_t> quadrantColours(const Image &image) {
  int w = image.pixelWidth(), h = image.pixelHeight();
  return {image.pixelAt(w / 4, h / 4), image.pixelAt(3 * w / 4, h / 4),
          image.pixelAt(w / 4, 3 * h / 4), image.pixelAt(3 * w / 4, 3 * h / 4)};
}

} // namespace

TEST(ImageScaling, LargeCameraPicturesComeBackAtThreeThousand) {
  auto upright = scaleAndRotateImage(quadrants(4000, 3000));
  ASSERT_TRUE(upright);
  EXPECT_EQ(upright->pixelSize(), (PixelSize{3000, 2250}));
  EXPECT_EQ(upright->imageOrientation(), ImageOrientation::Up);
  EXPECT_EQ(quadrantColours(*upright),
            (std::vector<uint32_t>{0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu, 0xFFFFFFFFu}));

  // A portrait shot stored sideways (the camera's usual case).
  auto picture = quadrants(3264, 2448)->withOrientation(ImageOrientation::Right);
  auto full = scaleToSizeAndRotateImage(picture, -1);
  EXPECT_EQ(full->pixelSize(), (PixelSize{2448, 3264})) << "-1: turned, not scaled";
  auto scaled = scaleAndRotateImage(picture);
  EXPECT_EQ(scaled->pixelSize(), (PixelSize{2250, 3000}));
  EXPECT_EQ(quadrantColours(*scaled), quadrantColours(*seen(*picture)));
}

TEST(ImageScaling, EveryOrientationComesOutAsSeen) {
  for (ImageOrientation o : kAll) {
    auto picture = quadrants(400, 300)->withOrientation(o);
    auto upright = scaleToSizeAndRotateImage(picture, 300);
    ASSERT_TRUE(upright) << int(o);
    EXPECT_EQ(upright->pixelSize(), sideways(o) ? (PixelSize{225, 300}) : (PixelSize{300, 225}))
        << int(o);
    EXPECT_EQ(quadrantColours(*upright), quadrantColours(*seen(*picture))) << int(o);
  }
}

TEST(ImageScaling, SmallPicturesKeepTheirSizeAndEveryPixelLandsWhereItWasSeen) {
  // Unscaled, the turn is exact: each pixel of the result is the pixel the user saw there. The
  // mirrored sideways orientations (6 and 7) are part of this.
  auto stored = coordinatePicture(3, 2);
  for (ImageOrientation o : kAll) {
    auto picture = stored->withOrientation(o);
    auto upright = scaleAndRotateImage(picture);
    ASSERT_TRUE(upright);
    auto expected = seen(*picture);
    ASSERT_EQ(upright->pixelSize(), expected->pixelSize()) << int(o);
    EXPECT_EQ(upright->pixels(), expected->pixels()) << "orientation " << int(o);
  }
}

TEST(ImageScaling, SquaresAndEdges) {
  auto square =
      scaleToSizeAndRotateImage(quadrants(500, 500)->withOrientation(ImageOrientation::Left), 300);
  EXPECT_EQ(square->pixelSize(), (PixelSize{300, 300}));
  auto tall = scaleToSizeAndRotateImage(quadrants(300, 4000), 3000);
  EXPECT_EQ(tall->pixelSize(), (PixelSize{225, 3000}));
  EXPECT_EQ(scaleAndRotateImage(nullptr), nullptr);
  EXPECT_THROW(scaleAndRotateImage(coordinatePicture(2, 2)->withOrientation(ImageOrientation(8))),
               std::logic_error);
}
