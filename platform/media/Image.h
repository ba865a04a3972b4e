// Pictures: a bitmap of 8-bit premultiplied ARGB pixels with the orientation flag a camera
// writes (EXIF) and a scale (pixels per point). Decoded from PNG, JPEG and GIF files or bytes,
// made from a drawing (BitmapContext), encoded as PNG or as JPEG at a quality. Images are
// immutable and may be shared between threads.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::media {

// The phone's eight image orientations (and their numbering). Each says how the stored pixels
// must be turned to be seen upright.
enum class ImageOrientation : int {
  Up = 0,            // as stored (EXIF 1)
  Down = 1,          // turned 180 degrees (EXIF 3)
  Left = 2,          // shown turned 90 degrees counter-clockwise (EXIF 8)
  Right = 3,         // shown turned 90 degrees clockwise (EXIF 6)
  UpMirrored = 4,    // mirrored left to right (EXIF 2)
  DownMirrored = 5,  // mirrored top to bottom (EXIF 4)
  LeftMirrored = 6,  // mirrored across the main diagonal (EXIF 5)
  RightMirrored = 7, // mirrored across the other diagonal (EXIF 7)
};

// The orientation for an EXIF orientation value (1-8); Up for anything else.
ImageOrientation orientationFromExif(int exifValue);
int exifFromOrientation(ImageOrientation orientation);

struct PixelSize {
  int width = 0, height = 0;
  bool operator==(const PixelSize &) const = default;
};

struct PointSize {
  double width = 0, height = 0;
  bool operator==(const PointSize &) const = default;
};

class Image {
public:
  // Pixels as rows of 32-bit words, 0xAARRGGBB in native byte order, colour premultiplied by
  // alpha (the layout of BitmapContext). bytesPerRow >= 4 * width. Null when the size is not
  // positive or the pixels are too few.
  static std::shared_ptr<Image> fromPixels(int width, int height, const uint8_t *pixels,
                                           size_t bytesPerRow, double scale = 1.0,
                                           ImageOrientation orientation = ImageOrientation::Up);
  // Decodes a PNG, JPEG or GIF (the first frame) held in memory; the orientation comes from the
  // file's EXIF data (JPEG; other pictures are upright). Null when the bytes are not a picture.
  static std::shared_ptr<Image> imageWithData(const std::vector<uint8_t> &data, double scale = 1.0);
  // Decodes a file. A name ending in "@2x" before its extension is a picture of scale 2.
  static std::shared_ptr<Image> imageWithContentsOfFile(const std::string &path);
  // Decodes a file for a small picture of it: the decoder is asked for no more than about
  // `minSide` pixels on the shorter side (JPEG decodes at a fraction of its size), so a camera
  // picture costs a small part of its full memory. The orientation is kept.
  static std::shared_ptr<Image> thumbnailWithContentsOfFile(const std::string &path, int minSide);

  // The same pixels with another orientation or scale.
  std::shared_ptr<Image> withOrientation(ImageOrientation orientation) const;
  std::shared_ptr<Image> withScale(double scale) const;

  // The stored bitmap's size, whatever the orientation.
  PixelSize pixelSize() const { return {width_, height_}; }
  int pixelWidth() const { return width_; }
  int pixelHeight() const { return height_; }
  double scale() const { return scale_; }
  ImageOrientation imageOrientation() const { return orientation_; }
  // The size as seen: in points (pixels / scale), width and height swapped for the four
  // orientations that turn the picture on its side.
  PointSize size() const;

  // One pixel (0xAARRGGBB, premultiplied); 0 outside the bitmap.
  uint32_t pixelAt(int x, int y) const;
  // The same pixel with its colour divided back by alpha (0xAARRGGBB, straight).
  uint32_t straightPixelAt(int x, int y) const;
  const std::vector<uint32_t> &pixels() const { return pixels_; }

  // Encoded bytes: PNG (lossless, with alpha), JPEG at quality 0.0 (smallest) to 1.0 (best).
  // Both store the pixels as they are (no orientation flag). Empty on failure.
  std::vector<uint8_t> pngRepresentation() const;
  std::vector<uint8_t> jpegRepresentation(double quality) const;

private:
  Image() = default;
  int width_ = 0, height_ = 0;
  double scale_ = 1.0;
  ImageOrientation orientation_ = ImageOrientation::Up;
  std::vector<uint32_t> pixels_; // width_ * height_ words, row by row
};

// Images made at run time under a name (a badge, a drawn icon) for views that show images by
// name. Any thread.
class ImageRegistry {
public:
  static ImageRegistry &shared();
  void registerImage(const std::string &name, std::shared_ptr<Image> image);
  void removeImage(const std::string &name);
  // A registered image, else the file of that name in the resources folder (decoded once and
  // kept), else none.
  std::shared_ptr<Image> imageNamed(const std::string &name);
  // What the name holds now without looking for a file (a registered image, one decoded and
  // kept, else none): a different answer means the name's picture was replaced.
  std::shared_ptr<Image> imageKept(const std::string &name);
  // Forgets every image (tests).
  void clear();

private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Image>> images_;
};

} // namespace platform::media
