#include "platform/media/Image.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace platform::media {

ImageOrientation orientationFromExif(int exifValue) {
  switch (exifValue) {
  case 3:
    return ImageOrientation::Down;
  case 8:
    return ImageOrientation::Left;
  case 6:
    return ImageOrientation::Right;
  case 2:
    return ImageOrientation::UpMirrored;
  case 4:
    return ImageOrientation::DownMirrored;
  case 5:
    return ImageOrientation::LeftMirrored;
  case 7:
    return ImageOrientation::RightMirrored;
  default:
    return ImageOrientation::Up;
  }
}

int exifFromOrientation(ImageOrientation orientation) {
  switch (orientation) {
  case ImageOrientation::Up:
    return 1;
  case ImageOrientation::Down:
    return 3;
  case ImageOrientation::Left:
    return 8;
  case ImageOrientation::Right:
    return 6;
  case ImageOrientation::UpMirrored:
    return 2;
  case ImageOrientation::DownMirrored:
    return 4;
  case ImageOrientation::LeftMirrored:
    return 5;
  case ImageOrientation::RightMirrored:
    return 7;
  }
  return 1;
}

namespace {

// Straight RGB(A) bytes of a pixbuf into premultiplied ARGB words.
std::vector<uint32_t> pixelsOfPixbuf(GdkPixbuf *pixbuf, int &width, int &height) {
  width = gdk_pixbuf_get_width(pixbuf);
  height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  const guchar *base = gdk_pixbuf_read_pixels(pixbuf);
  std::vector<uint32_t> out(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    const guchar *row = base + static_cast<size_t>(y) * static_cast<size_t>(stride);
    for (int x = 0; x < width; ++x) {
      const guchar *p = row + static_cast<size_t>(x) * static_cast<size_t>(channels);
      uint32_t a = alpha ? p[3] : 255;
      auto pre = [a](uint32_t c) { return (c * a + 127) / 255; };
      out[static_cast<size_t>(y) * width + x] =
          (a << 24) | (pre(p[0]) << 16) | (pre(p[1]) << 8) | pre(p[2]);
    }
  }
  return out;
}

// Pictures larger than this are refused before their pixels are allocated: a few hundred bytes of
// compressed data can announce a picture of billions of pixels. The bounds are far above any
// camera picture, and a side longer than the drawing layer's limit could not be drawn anyway.
constexpr int kMaxSide = 32767;
constexpr long long kMaxPixels = 1LL << 27; // 512 MiB of ARGB

// Told the size as soon as the header is read, before any pixel is decoded; asking for a size of
// 0 x 0 makes every codec stop with an error instead of allocating.
void refuseHugePictures(GdkPixbufLoader *loader, int width, int height, gpointer) {
  if (width > kMaxSide || height > kMaxSide ||
      static_cast<long long>(width) * static_cast<long long>(height) > kMaxPixels)
    gdk_pixbuf_loader_set_size(loader, 0, 0);
}

// For thumbnails: the same refusal, else a size whose shorter side is about the one asked for.
void shrinkForThumbnail(GdkPixbufLoader *loader, int width, int height, gpointer wanted) {
  refuseHugePictures(loader, width, height, nullptr);
  const int side = *static_cast<int *>(wanted);
  const int shorter = std::min(width, height);
  if (side <= 0 || shorter <= side || width > kMaxSide || height > kMaxSide) return;
  const double f = static_cast<double>(side) / shorter;
  gdk_pixbuf_loader_set_size(loader, std::max(1, static_cast<int>(width * f + 0.5)),
                             std::max(1, static_cast<int>(height * f + 0.5)));
}

bool readFile(const std::string &path, std::vector<uint8_t> &data) {
  // A folder (or a device) of that name is no picture: reading one throws.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  try {
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::exception &) {
    return false;
  }
  return true;
}

// One picture decoded whole; `sizePrepared` may shrink or refuse it before its pixels are made.
// `ok` is false when the data was broken or cut; the picture decoded so far stays readable.
class Decoded {
public:
  Decoded(const std::vector<uint8_t> &data, GCallback sizePrepared, gpointer with)
      : loader_(gdk_pixbuf_loader_new()) {
    g_signal_connect(loader_, "size-prepared", sizePrepared, with);
    GError *error = nullptr;
    ok_ = gdk_pixbuf_loader_write(loader_, data.data(), data.size(), &error);
    if (error) g_clear_error(&error);
    ok_ = gdk_pixbuf_loader_close(loader_, &error) && ok_;
    if (error) g_clear_error(&error);
  }
  ~Decoded() { g_object_unref(loader_); }
  Decoded(const Decoded &) = delete;
  Decoded &operator=(const Decoded &) = delete;
  bool ok() const { return ok_; }
  GdkPixbuf *pixbuf() const { return gdk_pixbuf_loader_get_pixbuf(loader_); }

private:
  GdkPixbufLoader *loader_;
  bool ok_ = false;
};

// The EXIF orientation a JPEG announces (1 when none): read from its header alone.
int exifOrientationOf(const std::vector<uint8_t> &data) {
  int wanted = 1;
  Decoded decoded(data, G_CALLBACK(shrinkForThumbnail), &wanted);
  if (GdkPixbuf *pixbuf = decoded.pixbuf())
    if (const gchar *o = gdk_pixbuf_get_option(pixbuf, "orientation")) return std::atoi(o);
  return 1;
}

bool endsWith(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

cairo_status_t appendToVector(void *closure, const unsigned char *data, unsigned int length) {
  auto *out = static_cast<std::vector<uint8_t> *>(closure);
  out->insert(out->end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

} // namespace

std::shared_ptr<Image> Image::fromPixels(int width, int height, const uint8_t *pixels,
                                         size_t bytesPerRow, double scale,
                                         ImageOrientation orientation) {
  if (width <= 0 || height <= 0 || !pixels || bytesPerRow < static_cast<size_t>(width) * 4)
    return nullptr;
  auto image = std::shared_ptr<Image>(new Image());
  image->width_ = width;
  image->height_ = height;
  image->scale_ = scale > 0 ? scale : 1.0;
  image->orientation_ = orientation;
  image->pixels_.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y)
    std::memcpy(&image->pixels_[static_cast<size_t>(y) * width], pixels + y * bytesPerRow,
                static_cast<size_t>(width) * 4);
  return image;
}

std::shared_ptr<Image> Image::imageWithData(const std::vector<uint8_t> &data, double scale) {
  if (data.empty()) return nullptr;
  Decoded decoded(data, G_CALLBACK(refuseHugePictures), nullptr);
  // A truncated or broken file: what was decoded before stays unused.
  GdkPixbuf *pixbuf = decoded.ok() ? decoded.pixbuf() : nullptr;
  std::shared_ptr<Image> image;
  if (pixbuf) {
    image = std::shared_ptr<Image>(new Image());
    image->pixels_ = pixelsOfPixbuf(pixbuf, image->width_, image->height_);
    image->scale_ = scale > 0 ? scale : 1.0;
    if (const gchar *o = gdk_pixbuf_get_option(pixbuf, "orientation"))
      image->orientation_ = orientationFromExif(std::atoi(o));
    if (image->width_ <= 0 || image->height_ <= 0) image.reset();
  }
  return image;
}

std::shared_ptr<Image> Image::thumbnailWithContentsOfFile(const std::string &path, int minSide) {
  std::vector<uint8_t> data;
  if (!readFile(path, data) || data.empty()) return nullptr;
  Decoded decoded(data, G_CALLBACK(shrinkForThumbnail), &minSide);
  GdkPixbuf *pixbuf = decoded.ok() ? decoded.pixbuf() : nullptr;
  std::shared_ptr<Image> image;
  if (pixbuf) {
    image = std::shared_ptr<Image>(new Image());
    image->pixels_ = pixelsOfPixbuf(pixbuf, image->width_, image->height_);
    // A scaled picture may come without the decoder's options: the orientation is read again.
    const gchar *o = gdk_pixbuf_get_option(pixbuf, "orientation");
    const bool jpeg = data.size() > 2 && data[0] == 0xFF && data[1] == 0xD8;
    image->orientation_ = orientationFromExif(o      ? std::atoi(o)
                                              : jpeg ? exifOrientationOf(data)
                                                     : 1);
    if (image->width_ <= 0 || image->height_ <= 0) image.reset();
  }
  return image;
}

std::shared_ptr<Image> Image::imageWithContentsOfFile(const std::string &path) {
  std::vector<uint8_t> data;
  if (!readFile(path, data)) return nullptr;
  std::string stem = path.substr(path.find_last_of('/') + 1);
  if (auto dot = stem.find_last_of('.'); dot != std::string::npos) stem.erase(dot);
  return imageWithData(data, endsWith(stem, "@2x") ? 2.0 : 1.0);
}

std::shared_ptr<Image> Image::withOrientation(ImageOrientation orientation) const {
  auto copy = std::shared_ptr<Image>(new Image(*this));
  copy->orientation_ = orientation;
  return copy;
}

std::shared_ptr<Image> Image::withScale(double scale) const {
  auto copy = std::shared_ptr<Image>(new Image(*this));
  copy->scale_ = scale > 0 ? scale : 1.0;
  return copy;
}

PointSize Image::size() const {
  double w = width_ / scale_, h = height_ / scale_;
  switch (orientation_) {
  case ImageOrientation::Left:
  case ImageOrientation::Right:
  case ImageOrientation::LeftMirrored:
  case ImageOrientation::RightMirrored:
    return {h, w};
  default:
    return {w, h};
  }
}

uint32_t Image::pixelAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  return pixels_[static_cast<size_t>(y) * width_ + x];
}

uint32_t Image::straightPixelAt(int x, int y) const {
  uint32_t p = pixelAt(x, y);
  uint32_t a = p >> 24;
  if (a == 0) return 0;
  auto un = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
  return (a << 24) | (un((p >> 16) & 255) << 16) | (un((p >> 8) & 255) << 8) | un(p & 255);
}

std::vector<uint8_t> Image::pngRepresentation() const {
  std::vector<uint8_t> out;
  int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width_);
  if (stride != width_ * 4) return out; // cairo keeps ARGB32 rows unpadded
  cairo_surface_t *surface = cairo_image_surface_create_for_data(
      reinterpret_cast<unsigned char *>(const_cast<uint32_t *>(pixels_.data())),
      CAIRO_FORMAT_ARGB32, width_, height_, stride);
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS &&
      cairo_surface_write_to_png_stream(surface, appendToVector, &out) != CAIRO_STATUS_SUCCESS)
    out.clear();
  cairo_surface_destroy(surface);
  return out;
}

std::vector<uint8_t> Image::jpegRepresentation(double quality) const {
  std::vector<uint8_t> out;
  if (std::isnan(quality)) quality = 1.0;
  int q = static_cast<int>(std::lround(std::clamp(quality, 0.0, 1.0) * 100));
  GdkPixbuf *pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width_, height_);
  if (!pixbuf) return out;
  guchar *base = gdk_pixbuf_get_pixels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  // JPEG has no alpha: the colour is kept as stored (premultiplied), that is the picture laid
  // over black.
  for (int y = 0; y < height_; ++y) {
    guchar *row = base + static_cast<size_t>(y) * static_cast<size_t>(stride);
    for (int x = 0; x < width_; ++x) {
      uint32_t p = pixels_[static_cast<size_t>(y) * width_ + x];
      row[x * 3] = (p >> 16) & 255;
      row[x * 3 + 1] = (p >> 8) & 255;
      row[x * 3 + 2] = p & 255;
    }
  }
  gchar *buffer = nullptr;
  gsize length = 0;
  GError *error = nullptr;
  std::string qualityText = std::to_string(q);
  if (gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &length, "jpeg", &error, "quality",
                                qualityText.c_str(), nullptr))
    out.assign(reinterpret_cast<uint8_t *>(buffer), reinterpret_cast<uint8_t *>(buffer) + length);
  if (error) g_clear_error(&error);
  g_free(buffer);
  g_object_unref(pixbuf);
  return out;
}

ImageRegistry &ImageRegistry::shared() {
  static ImageRegistry registry;
  return registry;
}

// A name that found nothing is kept as an empty entry: screens ask for their pictures on every
// redraw, and a missing one is logged once and not looked for again. Registering the name, or
// another resources folder (tests), lets it be found. A name without an extension is its ".png"
// file, as the phone's lookup takes it.

namespace {

// The resources folder the kept misses were looked for in (one registry per process), and how
// many are kept: names can come from outside (a page's host), so the log and the memory they
// take are bounded; past the bound a miss is looked for each time, silently.
std::string missesFolder;
size_t missesKept = 0;
constexpr size_t kMaxMissesKept = 1024;

// A name for the log: control bytes escaped and the length bounded, since some names carry a
// host that a page gave.
std::string printableName(const std::string &name) {
  std::string out;
  for (unsigned char c : name.substr(0, 200)) {
    if (c < 0x20 || c == 0x7f)
      out += Log::format("\\x%02x", c);
    else
      out += static_cast<char>(c);
  }
  return name.size() > 200 ? out + "..." : out;
}

} // namespace

void ImageRegistry::registerImage(const std::string &name, std::shared_ptr<Image> image) {
  std::lock_guard lock(mutex_);
  if (image)
    images_[name] = std::move(image);
  else
    images_.erase(name);
}

void ImageRegistry::removeImage(const std::string &name) {
  std::lock_guard lock(mutex_);
  images_.erase(name);
}

std::shared_ptr<Image> ImageRegistry::imageNamed(const std::string &name) {
  if (name.empty() || name.find("..") != std::string::npos) return nullptr;
  const std::string folder = Paths::resources();
  {
    std::lock_guard lock(mutex_);
    if (missesFolder != folder) {
      std::erase_if(images_, [](const auto &entry) { return !entry.second; });
      missesFolder = folder;
      missesKept = 0;
    }
    if (auto it = images_.find(name); it != images_.end()) return it->second;
  }
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  const bool bare = dot == std::string::npos || (slash != std::string::npos && dot < slash);
  auto image = Image::imageWithContentsOfFile(folder + "/" + name + (bare ? ".png" : ""));
  std::lock_guard lock(mutex_);
  // Another thread may have registered the name or moved the resources meanwhile.
  if (auto it = images_.find(name); it != images_.end()) return it->second;
  if (image) {
    images_.emplace(name, image);
  } else if (missesFolder == folder && missesKept < kMaxMissesKept) {
    images_.emplace(name, nullptr);
    ++missesKept;
    Log::system("No image named \"" + printableName(name) + "\" among the resources");
  }
  return image;
}

std::shared_ptr<Image> ImageRegistry::imageKept(const std::string &name) {
  std::lock_guard lock(mutex_);
  auto it = images_.find(name);
  return it == images_.end() ? nullptr : it->second;
}

void ImageRegistry::clear() {
  std::lock_guard lock(mutex_);
  images_.clear();
  missesKept = 0;
}

} // namespace platform::media
