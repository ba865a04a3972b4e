// Pictures: decoding PNG, JPEG and GIF with their orientation and scale, encoding, and the pixel
// layout shared with the bitmap context.
#include "platform/foundation/Paths.h"
#include "platform/media/BitmapContext.h"
#include "platform/media/Image.h"
#include "tests/support/ImageFixtures.h"
#include "tests/support/PhotoFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using namespace platform::media;

namespace {

using testsupport::coordinatePicture;

int channel(uint32_t p, int shift) {
  return int((p >> shift) & 255);
}

// Inserts an EXIF block carrying only the orientation right after the JPEG's start marker.
std::vector<uint8_t> withExifOrientation(const std::vector<uint8_t> &jpeg, int orientation) {
  std::vector<uint8_t> tiff = {'M',  'M',  0, 42, 0, 0, 0, 8, // big-endian header, IFD at 8
                               0,    1,                       // one entry
                               0x01, 0x12, 0, 3,  0, 0, 0, 1, 0, uint8_t(orientation),
                               0,    0,    0, 0,  0, 0}; // no next IFD
  std::vector<uint8_t> app1 = {'E', 'x', 'i', 'f', 0, 0};
  app1.insert(app1.end(), tiff.begin(), tiff.end());
  size_t len = app1.size() + 2;
  std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2); // SOI
  out.insert(out.end(), {0xFF, 0xE1, uint8_t(len >> 8), uint8_t(len & 255)});
  out.insert(out.end(), app1.begin(), app1.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

uint32_t crc32Of(const uint8_t *data, size_t size, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void putBE32(std::vector<uint8_t> &out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(v >> shift));
}

void putChunk(std::vector<uint8_t> &png, const char *type, const std::vector<uint8_t> &body) {
  putBE32(png, static_cast<uint32_t>(body.size()));
  std::vector<uint8_t> typed(type, type + 4);
  typed.insert(typed.end(), body.begin(), body.end());
  png.insert(png.end(), typed.begin(), typed.end());
  putBE32(png, crc32Of(typed.data(), typed.size()));
}

// A complete, valid grey RGBA PNG of any size, its rows in stored (uncompressed) deflate blocks;
// with `rows` below the height only the header promises the rest (a truncated file).
std::vector<uint8_t> greyPng(uint32_t width, uint32_t height, uint32_t rows) {
  std::vector<uint8_t> raw;
  std::vector<uint8_t> row(1 + size_t(width) * 4, 0x80);
  row[0] = 0; // no filter
  for (uint32_t y = 0; y < rows; ++y)
    raw.insert(raw.end(), row.begin(), row.end());
  std::vector<uint8_t> z = {0x78, 0x01};
  for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
    const size_t n = std::min<size_t>(65535, raw.size() - at);
    z.push_back(at + n >= raw.size() ? 1 : 0);
    z.push_back(static_cast<uint8_t>(n));
    z.push_back(static_cast<uint8_t>(n >> 8));
    z.push_back(static_cast<uint8_t>(~n));
    z.push_back(static_cast<uint8_t>(~n >> 8));
    z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
    if (raw.empty()) break;
  }
  uint32_t a = 1, b = 0;
  for (uint8_t c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  putBE32(z, (b << 16) | a);
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<uint8_t> ihdr;
  putBE32(ihdr, width);
  putBE32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0}); // 8-bit RGBA
  putChunk(png, "IHDR", ihdr);
  putChunk(png, "IDAT", z);
  putChunk(png, "IEND", {});
  return png;
}

} // namespace

TEST(ImageCodec, PngRoundTripKeepsPixelsAndAlpha) {
  auto ctx = BitmapContext::create(5, 4);
  ASSERT_TRUE(ctx);
  ctx->setFillColor({0, 0, 1, 1});
  ctx->fillRect({0, 0, 5, 2});
  ctx->setFillColor({1, 0, 0, 0.5});
  ctx->fillRect({0, 2, 5, 2});
  auto image = ctx->makeImage();
  auto png = image->pngRepresentation();
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(0, std::memcmp(png.data(), "\x89PNG", 4));
  auto back = Image::imageWithData(png);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pixelSize(), (PixelSize{5, 4}));
  EXPECT_EQ(back->imageOrientation(), ImageOrientation::Up);
  EXPECT_EQ(back->pixelAt(1, 1), 0xFF0000FFu);
  // Half-transparent red: premultiplied in memory, straight when asked.
  uint32_t half = back->pixelAt(3, 3);
  EXPECT_NEAR(channel(half, 24), 128, 1);
  EXPECT_NEAR(channel(half, 16), 128, 1);
  EXPECT_EQ(channel(back->straightPixelAt(3, 3), 16), 255);
}

TEST(ImageCodec, JpegQualityTradesSizeAndReadsBackClose) {
  auto ctx = BitmapContext::create(64, 48);
  for (int i = 0; i < 16; ++i) {
    ctx->setFillColor({i / 16.0, 1 - i / 16.0, (i % 3) / 2.0, 1});
    ctx->fillRect({double(i * 4), 0, 4, 48});
  }
  auto image = ctx->makeImage();
  auto best = image->jpegRepresentation(1.0);
  auto worst = image->jpegRepresentation(0.1);
  ASSERT_FALSE(best.empty());
  ASSERT_FALSE(worst.empty());
  EXPECT_EQ(best[0], 0xFF);
  EXPECT_EQ(best[1], 0xD8);
  EXPECT_LT(worst.size(), best.size());
  auto back = Image::imageWithData(best);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pixelSize(), (PixelSize{64, 48}));
  uint32_t p = back->pixelAt(2, 20); // inside the first stripe: green
  EXPECT_NEAR(channel(p, 8), 255, 12);
  EXPECT_NEAR(channel(p, 16), 0, 12);
  // Out-of-range qualities are clamped, not refused.
  EXPECT_FALSE(image->jpegRepresentation(7).empty());
  EXPECT_FALSE(image->jpegRepresentation(-1).empty());
}

TEST(ImageCodec, JpegOrientationComesFromExif) {
  auto jpeg = coordinatePicture(6, 4)->jpegRepresentation(0.9);
  const std::pair<int, ImageOrientation> cases[] = {
      {1, ImageOrientation::Up},           {3, ImageOrientation::Down},
      {6, ImageOrientation::Right},        {8, ImageOrientation::Left},
      {2, ImageOrientation::UpMirrored},   {4, ImageOrientation::DownMirrored},
      {5, ImageOrientation::LeftMirrored}, {7, ImageOrientation::RightMirrored}};
  for (auto [exif, expected] : cases) {
    auto image = Image::imageWithData(withExifOrientation(jpeg, exif));
    ASSERT_TRUE(image) << exif;
    EXPECT_EQ(image->imageOrientation(), expected) << exif;
    EXPECT_EQ(image->pixelSize(), (PixelSize{6, 4})) << "the stored bitmap is not turned";
    bool sideways = exif >= 5;
    EXPECT_EQ(image->size(), sideways ? (PointSize{4, 6}) : (PointSize{6, 4})) << exif;
    EXPECT_EQ(exifFromOrientation(expected), exif);
  }
  EXPECT_EQ(orientationFromExif(0), ImageOrientation::Up);
  EXPECT_EQ(orientationFromExif(9), ImageOrientation::Up);
}

TEST(ImageCodec, GifFirstFrameDecodes) {
  // A 2 x 1 GIF: a red and a blue pixel from a two-colour table.
  const uint8_t gif[] = {'G', 'I',  'F', '8', '9', 'a', 2,    0,    1,    0, 0x80, 0,
                         0,   0xFF, 0,   0,   0,   0,   0xFF, ',',  0,    0, 0,    0,
                         2,   0,    1,   0,   0,   2,   2,    0x44, 0x0A, 0, ';'};
  auto image = Image::imageWithData(std::vector<uint8_t>(std::begin(gif), std::end(gif)));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->pixelSize(), (PixelSize{2, 1}));
  EXPECT_EQ(image->pixelAt(0, 0), 0xFFFF0000u);
  EXPECT_EQ(image->pixelAt(1, 0), 0xFF0000FFu);
}

TEST(ImageCodec, BrokenInputGivesNoPicture) {
  EXPECT_FALSE(Image::imageWithData({}));
  EXPECT_FALSE(Image::imageWithData({'h', 'e', 'l', 'l', 'o'}));
  auto png = coordinatePicture(8, 8)->pngRepresentation();
  png.resize(png.size() / 2);
  EXPECT_FALSE(Image::imageWithData(png));
  EXPECT_FALSE(Image::imageWithContentsOfFile("/nonexistent/picture.png"));
  // Paths that are no file: answered with no picture, never an exception.
  testsupport::TempDir dir("ferrowen-media-nofile");
  std::filesystem::create_directory(dir.file("folder.png"));
  for (const std::string &path : {dir.path(), dir.path() + "/.", dir.file("folder.png")})
    EXPECT_FALSE(Image::imageWithContentsOfFile(path)) << path;
  auto &registry = ImageRegistry::shared();
  registry.clear();
  platform::Paths::setResources(dir.path());
  for (const char *name : {".", "folder.png", "folder"})
    EXPECT_FALSE(registry.imageNamed(name)) << name;
  platform::Paths::setResources("");
  registry.clear();
  uint32_t one = 0;
  EXPECT_FALSE(Image::fromPixels(0, 1, reinterpret_cast<uint8_t *>(&one), 4));
  EXPECT_FALSE(Image::fromPixels(2, 1, reinterpret_cast<uint8_t *>(&one), 4)); // row too short
}

TEST(ImageCodec, PicturesTooLargeToHoldAreRefusedBeforeDecoding) {
  // Within the bounds a picture of the widest drawable size decodes.
  const auto widest = Image::imageWithData(greyPng(32767, 1, 1));
  ASSERT_TRUE(widest);
  EXPECT_EQ(widest->pixelSize(), (PixelSize{32767, 1}));
  // One pixel wider is more than the drawing layer takes: refused, though the file is whole.
  EXPECT_FALSE(Image::imageWithData(greyPng(32768, 1, 1)));
  // A few hundred bytes that promise 60000 x 60000 pixels (14 GB) give no picture, at once.
  const auto bomb = greyPng(60000, 60000, 1);
  EXPECT_LT(bomb.size(), 300000u);
  EXPECT_FALSE(Image::imageWithData(bomb));
  // JPEG and GIF headers announcing such sizes are refused the same way.
  auto jpeg = coordinatePicture(8, 8)->jpegRepresentation(0.9);
  for (size_t i = 0; i + 9 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      jpeg[i + 5] = jpeg[i + 7] = 0xEA; // 60000 x 60000
      jpeg[i + 6] = jpeg[i + 8] = 0x60;
      break;
    }
  EXPECT_FALSE(Image::imageWithData(jpeg));
  const std::vector<uint8_t> gif = {'G',  'I',  'F',  '8',  '9',  'a',  0xFF, 0xFF, 0xFF, 0xFF,
                                    0x00, 0,    0,    ',',  0,    0,    0,    0,    0xFF, 0xFF,
                                    0xFF, 0xFF, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, ';'};
  EXPECT_FALSE(Image::imageWithData(gif));
}

TEST(ImageCodec, ThumbnailsDecodeSmallAndKeepTheOrientation) {
  testsupport::TempDir dir("ferrowen-media-thumb");
  auto picture = coordinatePicture(800, 400);
  struct Case {
    const char *file;
    std::vector<uint8_t> bytes;
    int side, width, height;
    ImageOrientation orientation;
  } cases[] = {
      {"turned.jpg", testsupport::jpegWithExif(*picture, 6), 100, 200, 100,
       ImageOrientation::Right},
      {"plain.png", picture->pngRepresentation(), 40, 80, 40, ImageOrientation::Up},
      {"small.png", coordinatePicture(6, 4)->pngRepresentation(), 40, 6, 4, ImageOrientation::Up},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_TRUE(testsupport::writeBytes(dir.file(c.file), c.bytes));
    auto thumb = Image::thumbnailWithContentsOfFile(dir.file(c.file), c.side);
    ASSERT_TRUE(thumb);
    EXPECT_EQ(thumb->pixelWidth(), c.width);
    EXPECT_EQ(thumb->pixelHeight(), c.height);
    EXPECT_EQ(thumb->imageOrientation(), c.orientation);
  }
  testsupport::writeFile(dir.file("no.jpg"), "not a picture");
  EXPECT_FALSE(Image::thumbnailWithContentsOfFile(dir.file("no.jpg"), 40));
  EXPECT_FALSE(Image::thumbnailWithContentsOfFile(dir.path(), 40));
}

TEST(ImageCodec, DoubleResolutionFilesHaveHalfThePoints) {
  testsupport::TempDir dir("ferrowen-media");
  auto png = coordinatePicture(48, 24)->pngRepresentation();
  std::string bytes(png.begin(), png.end());
  ASSERT_TRUE(testsupport::writeFile(dir.file("icon@2x.png"), bytes));
  ASSERT_TRUE(testsupport::writeFile(dir.file("icon.png"), bytes));
  auto twice = Image::imageWithContentsOfFile(dir.file("icon@2x.png"));
  auto once = Image::imageWithContentsOfFile(dir.file("icon.png"));
  ASSERT_TRUE(twice && once);
  EXPECT_EQ(twice->scale(), 2.0);
  EXPECT_EQ(twice->size(), (PointSize{24, 12}));
  EXPECT_EQ(twice->pixelSize(), (PixelSize{48, 24}));
  EXPECT_EQ(once->size(), (PointSize{48, 24}));
}

TEST(ImageRegistryTest, RegisteredImagesWinOverResourceFiles) {
  testsupport::TempDir dir("ferrowen-media");
  auto png = coordinatePicture(3, 3)->pngRepresentation();
  ASSERT_TRUE(testsupport::writeFile(dir.file("arrow.png"), std::string(png.begin(), png.end())));
  platform::Paths::setResources(dir.path());
  auto &registry = ImageRegistry::shared();
  registry.clear();
  auto fromFile = registry.imageNamed("arrow.png");
  ASSERT_TRUE(fromFile);
  EXPECT_EQ(fromFile->pixelWidth(), 3);
  EXPECT_EQ(registry.imageNamed("arrow.png"), fromFile) << "decoded once";
  auto drawn = coordinatePicture(1, 1);
  registry.registerImage("arrow.png", drawn);
  EXPECT_EQ(registry.imageNamed("arrow.png"), drawn);
  EXPECT_FALSE(registry.imageNamed("missing.png"));
  EXPECT_FALSE(registry.imageNamed("../arrow.png"));
  registry.clear();
  platform::Paths::setResources("");
}
