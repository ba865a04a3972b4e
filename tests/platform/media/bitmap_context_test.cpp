// The bitmap context: pixel layout, transforms, pictures in every orientation, blend modes and
// text fitted to a width.
#include "platform/media/BitmapContext.h"
#include "tests/support/ImageFixtures.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace platform::media;

namespace {

using testsupport::coordinatePicture;

// Pixels where something was drawn (alpha not 0).
int inkedPixels(BitmapContext &ctx, int x0 = 0, int y0 = 0, int x1 = -1, int y1 = -1) {
  if (x1 < 0) x1 = ctx.width();
  if (y1 < 0) y1 = ctx.height();
  int n = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      if (ctx.pixelAt(x, y) >> 24) ++n;
  return n;
}

} // namespace

TEST(BitmapContextLayout, PremultipliedArgbRowsOfFourBytesPerPixel) {
  auto ctx = BitmapContext::create(7, 3);
  ASSERT_TRUE(ctx);
  EXPECT_EQ(ctx->bytesPerRow(), 28);
  EXPECT_EQ(BitmapContext::bitsPerComponent(), 8);
  EXPECT_EQ(ctx->pixelAt(0, 0), 0u) << "a new context is transparent";
  ctx->setFillColor({0, 1, 0, 0.5});
  ctx->fillRect({0, 0, 7, 3});
  uint32_t p = ctx->pixelAt(6, 2);
  EXPECT_NEAR(int(p >> 24), 128, 1);
  EXPECT_NEAR(int((p >> 8) & 255), 128, 1) << "colour is stored premultiplied";
  const uint32_t *row1 = reinterpret_cast<const uint32_t *>(ctx->data() + ctx->bytesPerRow());
  EXPECT_EQ(row1[3], p);
  EXPECT_FALSE(BitmapContext::create(0, 10));
  EXPECT_FALSE(BitmapContext::create(10, -1));
  EXPECT_FALSE(BitmapContext::create(1 << 15, 1 << 15)) << "refused, not allocated";
}

TEST(BitmapContextTransforms, TranslateRotateScaleMoveWhatFollows) {
  auto ctx = BitmapContext::create(20, 20);
  ctx->setFillColor({1, 0, 0, 1});
  ctx->saveGState();
  ctx->translate(10, 5);
  ctx->scale(2, 3);
  ctx->fillRect({0, 0, 2, 1}); // lands on x 10..14, y 5..8
  ctx->restoreGState();
  EXPECT_EQ(inkedPixels(*ctx), 4 * 3);
  EXPECT_EQ(ctx->pixelAt(10, 5), 0xFFFF0000u);
  EXPECT_EQ(ctx->pixelAt(13, 7), 0xFFFF0000u);
  EXPECT_EQ(ctx->pixelAt(14, 7), 0u);
  EXPECT_EQ(ctx->currentTransform(), AffineTransform::identity()) << "restored";

  // A quarter turn about the origin sends +x to +y: a rect at x 0..4, y -2..0 lands at
  // x 0..2, y 0..4, exactly on whole pixels.
  auto turned = BitmapContext::create(8, 8);
  turned->setFillColor({0, 0, 1, 1});
  turned->rotate(M_PI / 2);
  turned->fillRect({0, -2, 4, 2});
  EXPECT_EQ(inkedPixels(*turned), 8);
  EXPECT_EQ(turned->pixelAt(1, 3), 0xFF0000FFu);
  EXPECT_EQ(turned->pixelAt(0, 0), 0xFF0000FFu);
  EXPECT_EQ(turned->currentTransform().a, 0.0) << "no rounding residue";

  // Transforms compose as the phone's do: the newest step applies first.
  auto t = AffineTransform::makeTranslation(5, 0).rotated(M_PI / 2);
  auto p = t.apply({1, 0});
  EXPECT_DOUBLE_EQ(p.x, 5);
  EXPECT_DOUBLE_EQ(p.y, 1);
  auto q = AffineTransform::makeScale(2, 2).concat(AffineTransform::makeTranslation(1, 1));
  EXPECT_DOUBLE_EQ(q.apply({3, 4}).x, 7);
}

TEST(BitmapContextImages, EveryOrientationIsDrawnUpright) {
  // The stored 3 x 2 picture and, for each orientation, where stored pixel (x, y) is seen.
  const int W = 3, H = 2;
  auto stored = coordinatePicture(W, H);
  struct Case {
    ImageOrientation o;
    std::function<std::pair<int, int>(int, int)> seenToStored; // (u, v) -> (x, y)
  };
  const Case cases[] = {
      {ImageOrientation::Up,
       [](int u, int v) {
         return std::pair{u, v};
       }},
      {ImageOrientation::Down,
       [](int u, int v) {
         return std::pair{W - 1 - u, H - 1 - v};
       }},
      {ImageOrientation::Right,
       [](int u, int v) {
         return std::pair{v, H - 1 - u};
       }},
      {ImageOrientation::Left,
       [](int u, int v) {
         return std::pair{W - 1 - v, u};
       }},
      {ImageOrientation::UpMirrored,
       [](int u, int v) {
         return std::pair{W - 1 - u, v};
       }},
      {ImageOrientation::DownMirrored,
       [](int u, int v) {
         return std::pair{u, H - 1 - v};
       }},
      {ImageOrientation::LeftMirrored,
       [](int u, int v) {
         return std::pair{v, u};
       }},
      {ImageOrientation::RightMirrored,
       [](int u, int v) {
         return std::pair{W - 1 - v, H - 1 - u};
       }},
  };
  for (const auto &c : cases) {
    auto image = stored->withOrientation(c.o);
    int sw = int(image->size().width), sh = int(image->size().height);
    auto ctx = BitmapContext::create(sw, sh);
    ctx->drawImage(*image, {0, 0, double(sw), double(sh)});
    for (int v = 0; v < sh; ++v)
      for (int u = 0; u < sw; ++u) {
        auto [x, y] = c.seenToStored(u, v);
        EXPECT_EQ(ctx->pixelAt(u, v), stored->pixelAt(x, y))
            << "orientation " << int(c.o) << " at " << u << "," << v;
      }
  }
}

TEST(BitmapContextImages, BitmapsAreLaidWithTheFirstRowAtTheFarEdge) {
  auto stored = coordinatePicture(2, 3);
  auto ctx = BitmapContext::create(2, 3);
  ctx->drawBitmap(*stored, {0, 0, 2, 3});
  EXPECT_EQ(ctx->pixelAt(0, 2), stored->pixelAt(0, 0));
  EXPECT_EQ(ctx->pixelAt(1, 0), stored->pixelAt(1, 2));
  // Flipped first, the bitmap comes out upright (how drawing code of the phone uses it).
  auto upright = BitmapContext::create(2, 3);
  upright->translate(0, 3);
  upright->scale(1, -1);
  upright->drawBitmap(*stored, {0, 0, 2, 3});
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 2; ++x)
      EXPECT_EQ(upright->pixelAt(x, y), stored->pixelAt(x, y));
}

TEST(BitmapContextImages, ScaledDrawingAveragesAndAlphaFades) {
  auto ctx = BitmapContext::create(4, 4);
  auto white = BitmapContext::create(8, 8);
  white->setFillColor({1, 1, 1, 1});
  white->fillRect({0, 0, 8, 8});
  auto image = white->makeImage();
  ctx->drawImage(*image, {0, 0, 4, 4}, 0.25);
  uint32_t p = ctx->pixelAt(2, 2);
  EXPECT_NEAR(int(p >> 24), 64, 1);
  ctx->setAlpha(0.5);
  ctx->drawImage(*image, {0, 0, 2, 2}, BlendMode::Copy, 1.0);
  EXPECT_NEAR(int(ctx->pixelAt(0, 0) >> 24), 128, 1) << "context alpha multiplies";
  EXPECT_NEAR(int(ctx->pixelAt(3, 3) >> 24), 64, 1) << "copy stays inside the rectangle";
}

TEST(BitmapContextBlend, ModesTouchOnlyWhatTheShapeCovers) {
  auto ctx = BitmapContext::create(10, 10);
  ctx->setFillColor({1, 0, 0, 1});
  ctx->fillRect({0, 0, 10, 10});
  // A clear source in source-out mode cuts a hole where it is drawn, nowhere else.
  ctx->setBlendMode(BlendMode::SourceOut);
  ctx->setFillColor({0, 0, 0, 0});
  ctx->fillRect({2, 2, 3, 3});
  EXPECT_EQ(ctx->pixelAt(3, 3), 0u);
  EXPECT_EQ(ctx->pixelAt(0, 0), 0xFFFF0000u);
  EXPECT_EQ(ctx->pixelAt(9, 9), 0xFFFF0000u);
  EXPECT_EQ(inkedPixels(*ctx), 100 - 9);
  // Multiply with blue over red gives black, over transparent gives blue.
  ctx->setBlendMode(BlendMode::Multiply);
  ctx->setFillColor({0, 0, 1, 1});
  ctx->fillRect({0, 0, 10, 10});
  EXPECT_EQ(ctx->pixelAt(0, 0), 0xFF000000u);
  EXPECT_EQ(ctx->pixelAt(3, 3), 0xFF0000FFu);
  ctx->clearRect({0, 0, 1, 1});
  EXPECT_EQ(ctx->pixelAt(0, 0), 0u);
  EXPECT_EQ(ctx->blendMode(), BlendMode::Multiply) << "clearing keeps the mode";
}

TEST(BitmapContextShapes, StrokedRectanglesOutlineOnly) {
  auto ctx = BitmapContext::create(12, 12);
  ctx->setStrokeColor({0, 0, 0, 1});
  ctx->setLineWidth(2);
  ctx->strokeRect({2, 2, 8, 8}); // the line runs from 1 to 3 and from 9 to 11
  EXPECT_EQ(ctx->pixelAt(1, 5), 0xFF000000u);
  EXPECT_EQ(ctx->pixelAt(10, 5), 0xFF000000u);
  EXPECT_EQ(ctx->pixelAt(5, 5), 0u);
  EXPECT_EQ(ctx->pixelAt(0, 0), 0u);
}

TEST(Text, WidthLimitShrinksThenTruncates) {
  FontSpec font{"", 18};
  auto plain = measureText("report-2026.txt", font);
  EXPECT_GT(plain.width, 40);
  EXPECT_EQ(plain.actualFontSize, 18);
  EXPECT_FALSE(plain.truncated);
  EXPECT_GT(measureText("report-2026.txt and more", font).width, plain.width);
  EXPECT_LT(measureText("report-2026.txt", {"", 14}).width, plain.width);

  // Just too wide at 18: a smaller size between the minimum and 18 fits, without cutting.
  auto shrunk = measureText("report-2026.txt", font, plain.width * 0.9, 14);
  EXPECT_LT(shrunk.actualFontSize, 18);
  EXPECT_GE(shrunk.actualFontSize, 14);
  EXPECT_LE(shrunk.width, plain.width * 0.9);
  EXPECT_FALSE(shrunk.truncated);

  // Far too wide: minimum size, then cut with an ellipsis within the limit.
  auto cut = measureText("a-very-long-file-name-that-never-fits.tar.gz", font, 60, 14);
  EXPECT_EQ(cut.actualFontSize, 14);
  EXPECT_TRUE(cut.truncated);
  EXPECT_LE(cut.width, 60);
  auto clipped =
      measureText("a-very-long-file-name-that-never-fits.tar.gz", font, 60, 0, LineBreak::Clip);
  EXPECT_EQ(clipped.actualFontSize, 18) << "no minimum: no shrinking";
  EXPECT_TRUE(clipped.truncated);
  EXPECT_EQ(clipped.width, 60);

  EXPECT_EQ(measureText("", font).width, 0);
}

TEST(Text, WrappingByCharactersFillsLines) {
  FontSpec font{"", 14};
  std::string name = "averyveryveryverylongfilenamewithoutanyspaces.txt";
  double one = measureText(name, font).width;
  auto wrapped = measureTextInWidth(name, font, 200, 39, LineBreak::CharacterWrap);
  EXPECT_GE(wrapped.lines, 2);
  EXPECT_LE(wrapped.width, 200);
  EXPECT_LE(wrapped.height, 39);
  EXPECT_GT(one, 200);
  auto tall = measureTextInWidth(name + name + name, font, 200, 39, LineBreak::CharacterWrap);
  EXPECT_TRUE(tall.truncated) << "lines beyond the box are left out";
  EXPECT_EQ(tall.lines, wrapped.lines);
}

TEST(Text, DrawnTextStaysInsideItsLimits) {
  auto ctx = BitmapContext::create(120, 40);
  ctx->setFillColor({0, 0, 0, 1});
  auto m = ctx->drawText("Something long enough to be cut", {10, 5}, {"", 14}, 50, 10);
  EXPECT_TRUE(m.truncated);
  EXPECT_GT(inkedPixels(*ctx), 20);
  EXPECT_EQ(inkedPixels(*ctx, 0, 0, 10, 40), 0);
  EXPECT_EQ(inkedPixels(*ctx, 61, 0, 120, 40), 0);

  auto boxed = BitmapContext::create(100, 60);
  boxed->setFillColor({0, 0, 1, 1});
  auto b = boxed->drawTextInRect("wrapping text in a box of eighty points wide", {10, 10, 80, 30},
                                 {"", 12}, LineBreak::CharacterWrap);
  EXPECT_GE(b.lines, 1);
  EXPECT_EQ(inkedPixels(*boxed, 0, 41, 100, 60), 0);
  EXPECT_EQ(inkedPixels(*boxed, 91, 0, 100, 60), 0);
  EXPECT_GT(inkedPixels(*boxed), 30);
}
