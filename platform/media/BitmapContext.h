// Drawing into a bitmap: 8 bits per component, 4 bytes per pixel, alpha premultiplied and stored
// first (0xAARRGGBB words), rows of 4 x width bytes. The user space starts as the bitmap's own
// pixels, origin at the top left and y growing downwards, as the phone's image contexts have it;
// translate, rotate, scale and concat change it for everything drawn afterwards. Fills, strokes,
// images and text are composited with the context's blend mode and alpha; a blend mode changes
// the bitmap only where the shape covers it. Backed by Cairo (and Pango for text).
//
// A context belongs to one thread at a time.
#pragma once

#include "platform/media/Image.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::media {

struct Point2 {
  double x = 0, y = 0;
};

struct Rect2 {
  double x = 0, y = 0, width = 0, height = 0;
};

// An affine transform as the phone writes it: x' = a*x + c*y + tx, y' = b*x + d*y + ty.
// translated / scaled / rotated apply the new step first and then this transform, as the
// phone's CGAffineTransformTranslate/Scale/Rotate do.
struct AffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  static AffineTransform identity() { return {}; }
  static AffineTransform makeTranslation(double tx, double ty) { return {1, 0, 0, 1, tx, ty}; }
  static AffineTransform makeScale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
  // Angles in radians; quarter turns come out exact (no 1e-16 residues).
  static AffineTransform makeRotation(double angle);
  AffineTransform translated(double tx, double ty) const;
  AffineTransform scaled(double sx, double sy) const;
  AffineTransform rotated(double angle) const;
  // This transform, then `then`.
  AffineTransform concat(const AffineTransform &then) const;
  Point2 apply(Point2 p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
  bool operator==(const AffineTransform &) const = default;
};

// The phone's blend modes, with its numbering.
enum class BlendMode : int {
  Normal = 0,
  Multiply,
  Screen,
  Overlay,
  Darken,
  Lighten,
  ColorDodge,
  ColorBurn,
  SoftLight,
  HardLight,
  Difference,
  Exclusion,
  Hue,
  Saturation,
  Color,
  Luminosity,
  Clear,
  Copy,
  SourceIn,
  SourceOut,
  SourceAtop,
  DestinationOver,
  DestinationIn,
  DestinationOut,
  DestinationAtop,
  XOR,
  PlusLighter = 27,
};

struct RGBA {
  double red = 0, green = 0, blue = 0, alpha = 1;
};

// A font by family and size (points; one point is one unit of user space). An empty family is
// the system font; "Courier" and other families go through the system's font matching.
struct FontSpec {
  std::string family;
  double size = 17;
  bool bold = false, italic = false;
};

enum class LineBreak { WordWrap, CharacterWrap, Clip, TruncateHead, TruncateTail, TruncateMiddle };
enum class TextAlign { Left, Center, Right };

struct TextMetrics {
  double width = 0, height = 0; // of the text as drawn (after shrinking and cutting)
  double actualFontSize = 0;    // the size used
  bool truncated = false;       // characters were cut off (ellipsis or clipping)
  int lines = 0;
};

// Sizes of text, without drawing. maxWidth 0 means no limit. With a limit, a single line is drawn
// at the font's size when it fits, else at the largest size down to minimumFontSize (0: no
// shrinking) that fits, else at minimumFontSize and cut as lineBreak says (Clip cuts at the
// limit; the Truncate modes put an ellipsis at the head, middle or tail).
TextMetrics measureText(const std::string &text, const FontSpec &font, double maxWidth = 0,
                        double minimumFontSize = 0, LineBreak lineBreak = LineBreak::TruncateTail);
// Sizes of text wrapped into a box of the given width (WordWrap or CharacterWrap; the other
// modes keep one line), no taller than maxHeight (0: no limit).
TextMetrics measureTextInWidth(const std::string &text, const FontSpec &font, double width,
                               double maxHeight = 0, LineBreak lineBreak = LineBreak::WordWrap);

class BitmapContext {
public:
  // Null when the size is not positive or too large (more than 2^28 pixels).
  static std::unique_ptr<BitmapContext> create(int width, int height);
  ~BitmapContext();
  BitmapContext(const BitmapContext &) = delete;
  BitmapContext &operator=(const BitmapContext &) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  static constexpr int bitsPerComponent() { return 8; }
  static constexpr int bitsPerPixel() { return 32; }
  int bytesPerRow() const { return width_ * 4; }
  // The pixels (0xAARRGGBB words in native byte order, premultiplied), row by row.
  uint8_t *data();
  uint32_t pixelAt(int x, int y);

  // Graphics state: the transform, the colours, the line width, the blend mode and the alpha.
  void saveGState();
  void restoreGState();
  void translate(double tx, double ty);
  void scale(double sx, double sy);
  void rotate(double angle);
  void concat(const AffineTransform &transform);
  AffineTransform currentTransform() const;
  void setFillColor(RGBA color);
  void setStrokeColor(RGBA color);
  void setLineWidth(double width);
  void setBlendMode(BlendMode mode);
  BlendMode blendMode() const;
  void setAlpha(double alpha); // multiplies everything drawn
  double alpha() const;

  void fillRect(Rect2 rect);
  void strokeRect(Rect2 rect);
  // Makes the rectangle transparent (whatever the blend mode).
  void clearRect(Rect2 rect);

  // The picture as seen (its orientation applied), upright in the current user space, scaled to
  // fill rect; composited with the context's blend mode and alpha times `alpha`.
  void drawImage(const Image &image, Rect2 rect, double alpha = 1.0);
  void drawImage(const Image &image, Rect2 rect, BlendMode mode, double alpha);
  // The stored pixels (orientation ignored) laid as the phone's low-level image drawing lays a
  // bitmap: its first row along the rectangle's far (maxY) edge. With a flipped transform this is
  // upright; drawing code written for the phone's bitmap contexts relies on it.
  void drawBitmap(const Image &image, Rect2 rect);

  // One line of text in the fill colour, its top left at `at`, fitted as measureText says.
  TextMetrics drawText(const std::string &text, Point2 at, const FontSpec &font,
                       double maxWidth = 0, double minimumFontSize = 0,
                       LineBreak lineBreak = LineBreak::TruncateTail);
  // Text wrapped into rect (lines that do not fit in its height are left out).
  TextMetrics drawTextInRect(const std::string &text, Rect2 rect, const FontSpec &font,
                             LineBreak lineBreak = LineBreak::WordWrap,
                             TextAlign align = TextAlign::Left);

  // A picture of the bitmap as it is now (orientation Up, the given scale).
  std::shared_ptr<Image> makeImage(double scale = 1.0);

private:
  BitmapContext() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int width_ = 0, height_ = 0;
};

} // namespace platform::media
