#include "platform/media/BitmapContext.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <cmath>
#include <functional>
#include <vector>

namespace platform::media {

// --- AffineTransform ---

namespace {

// cos and sin of quarter turns are exact; elsewhere tiny residues are dropped so that turned
// pictures land on whole pixels.
double snap(double v) {
  for (double target : {-1.0, 0.0, 1.0})
    if (std::fabs(v - target) < 1e-12) return target;
  return v;
}

cairo_matrix_t toCairo(const AffineTransform &t) {
  cairo_matrix_t m;
  cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
  return m;
}

AffineTransform fromCairo(const cairo_matrix_t &m) {
  return {m.xx, m.yx, m.xy, m.yy, m.x0, m.y0};
}

} // namespace

AffineTransform AffineTransform::makeRotation(double angle) {
  double c = snap(std::cos(angle)), s = snap(std::sin(angle));
  return {c, s, -s, c, 0, 0};
}

AffineTransform AffineTransform::concat(const AffineTransform &t2) const {
  return {a * t2.a + b * t2.c, a * t2.b + b * t2.d,           c * t2.a + d * t2.c,
          c * t2.b + d * t2.d, tx * t2.a + ty * t2.c + t2.tx, tx * t2.b + ty * t2.d + t2.ty};
}

AffineTransform AffineTransform::translated(double x, double y) const {
  return makeTranslation(x, y).concat(*this);
}

AffineTransform AffineTransform::scaled(double sx, double sy) const {
  return makeScale(sx, sy).concat(*this);
}

AffineTransform AffineTransform::rotated(double angle) const {
  return makeRotation(angle).concat(*this);
}

// --- Text ---

namespace {

struct LayoutHolder {
  cairo_surface_t *surface = nullptr;
  cairo_t *cr = nullptr;
  PangoLayout *layout = nullptr;
  explicit LayoutHolder(cairo_t *target = nullptr) {
    if (target) {
      cr = cairo_reference(target);
    } else {
      surface = cairo_image_surface_create(CAIRO_FORMAT_A8, 1, 1);
      cr = cairo_create(surface);
    }
    layout = pango_cairo_create_layout(cr);
  }
  ~LayoutHolder() {
    g_object_unref(layout);
    cairo_destroy(cr);
    if (surface) cairo_surface_destroy(surface);
  }
  LayoutHolder(const LayoutHolder &) = delete;
  LayoutHolder &operator=(const LayoutHolder &) = delete;
};

void setFont(PangoLayout *layout, const FontSpec &font, double size) {
  PangoFontDescription *desc = pango_font_description_new();
  pango_font_description_set_family(desc, font.family.empty() ? "Sans" : font.family.c_str());
  pango_font_description_set_absolute_size(desc, std::max(size, 0.5) * PANGO_SCALE);
  pango_font_description_set_weight(desc, font.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_style(desc, font.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  pango_layout_set_font_description(layout, desc);
  pango_font_description_free(desc);
}

void naturalSize(PangoLayout *layout, double &w, double &h) {
  PangoRectangle logical;
  pango_layout_get_extents(layout, nullptr, &logical);
  w = static_cast<double>(logical.width) / PANGO_SCALE;
  h = static_cast<double>(logical.height) / PANGO_SCALE;
}

// Lays out one line under the fitting rules of measureText; the layout is left ready to draw.
// clipWidth receives the width to clip to (0: none).
TextMetrics fitLine(PangoLayout *layout, const std::string &text, const FontSpec &font,
                    double maxWidth, double minimumFontSize, LineBreak lineBreak,
                    double &clipWidth) {
  clipWidth = 0;
  pango_layout_set_single_paragraph_mode(layout, TRUE);
  pango_layout_set_width(layout, -1);
  pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_NONE);
  pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
  TextMetrics m;
  double size = font.size;
  setFont(layout, font, size);
  naturalSize(layout, m.width, m.height);
  if (maxWidth > 0 && m.width > maxWidth && minimumFontSize > 0 && minimumFontSize < size) {
    // Shrink a point at a time, then try the minimum itself.
    for (;;) {
      size = std::max(minimumFontSize, size - 1);
      setFont(layout, font, size);
      naturalSize(layout, m.width, m.height);
      if (m.width <= maxWidth || size <= minimumFontSize) break;
    }
  }
  m.actualFontSize = size;
  m.lines = text.empty() ? 0 : 1;
  if (maxWidth > 0 && m.width > maxWidth) {
    m.truncated = true;
    PangoEllipsizeMode mode = PANGO_ELLIPSIZE_NONE;
    switch (lineBreak) {
    case LineBreak::TruncateHead:
      mode = PANGO_ELLIPSIZE_START;
      break;
    case LineBreak::TruncateMiddle:
      mode = PANGO_ELLIPSIZE_MIDDLE;
      break;
    case LineBreak::TruncateTail:
      mode = PANGO_ELLIPSIZE_END;
      break;
    default:
      break;
    }
    if (mode != PANGO_ELLIPSIZE_NONE) {
      pango_layout_set_width(layout, static_cast<int>(maxWidth * PANGO_SCALE));
      pango_layout_set_ellipsize(layout, mode);
      naturalSize(layout, m.width, m.height);
      m.width = std::min(m.width, maxWidth);
    } else {
      clipWidth = maxWidth;
      m.width = maxWidth;
    }
  }
  return m;
}

TextMetrics fitBox(PangoLayout *layout, const std::string &text, const FontSpec &font, double width,
                   double maxHeight, LineBreak lineBreak, TextAlign align) {
  pango_layout_set_single_paragraph_mode(layout, FALSE);
  setFont(layout, font, font.size);
  pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
  pango_layout_set_width(layout, width > 0 ? static_cast<int>(width * PANGO_SCALE) : -1);
  pango_layout_set_wrap(layout, lineBreak == LineBreak::CharacterWrap ? PANGO_WRAP_CHAR
                                                                      : PANGO_WRAP_WORD_CHAR);
  pango_layout_set_alignment(layout, align == TextAlign::Right    ? PANGO_ALIGN_RIGHT
                                     : align == TextAlign::Center ? PANGO_ALIGN_CENTER
                                                                  : PANGO_ALIGN_LEFT);
  PangoEllipsizeMode mode = PANGO_ELLIPSIZE_NONE;
  if (lineBreak == LineBreak::TruncateHead) mode = PANGO_ELLIPSIZE_START;
  if (lineBreak == LineBreak::TruncateMiddle) mode = PANGO_ELLIPSIZE_MIDDLE;
  if (lineBreak == LineBreak::TruncateTail) mode = PANGO_ELLIPSIZE_END;
  pango_layout_set_ellipsize(layout, mode);
  if (mode != PANGO_ELLIPSIZE_NONE && maxHeight > 0)
    pango_layout_set_height(layout, static_cast<int>(maxHeight * PANGO_SCALE));
  TextMetrics m;
  m.actualFontSize = font.size;
  // Lines whose bottom falls inside the box are drawn (always the first one).
  PangoLayoutIter *iter = pango_layout_get_iter(layout);
  double bottom = 0, widest = 0;
  int count = 0;
  do {
    PangoRectangle logical;
    pango_layout_iter_get_line_extents(iter, nullptr, &logical);
    double lineBottom = static_cast<double>(logical.y + logical.height) / PANGO_SCALE;
    if (count > 0 && maxHeight > 0 && lineBottom > maxHeight + 0.01) {
      m.truncated = true;
      break;
    }
    ++count;
    bottom = lineBottom;
    widest = std::max(widest, static_cast<double>(logical.width) / PANGO_SCALE);
  } while (pango_layout_iter_next_line(iter));
  pango_layout_iter_free(iter);
  if (pango_layout_is_ellipsized(layout)) m.truncated = true;
  m.lines = text.empty() ? 0 : count;
  m.width = width > 0 ? std::min(widest, width) : widest;
  m.height = bottom;
  return m;
}

} // namespace

TextMetrics measureText(const std::string &text, const FontSpec &font, double maxWidth,
                        double minimumFontSize, LineBreak lineBreak) {
  LayoutHolder holder;
  double clip = 0;
  return fitLine(holder.layout, text, font, maxWidth, minimumFontSize, lineBreak, clip);
}

TextMetrics measureTextInWidth(const std::string &text, const FontSpec &font, double width,
                               double maxHeight, LineBreak lineBreak) {
  LayoutHolder holder;
  return fitBox(holder.layout, text, font, width, maxHeight, lineBreak, TextAlign::Left);
}

// --- BitmapContext ---

namespace {

cairo_operator_t operatorFor(BlendMode mode) {
  switch (mode) {
  case BlendMode::Normal:
    return CAIRO_OPERATOR_OVER;
  case BlendMode::Multiply:
    return CAIRO_OPERATOR_MULTIPLY;
  case BlendMode::Screen:
    return CAIRO_OPERATOR_SCREEN;
  case BlendMode::Overlay:
    return CAIRO_OPERATOR_OVERLAY;
  case BlendMode::Darken:
    return CAIRO_OPERATOR_DARKEN;
  case BlendMode::Lighten:
    return CAIRO_OPERATOR_LIGHTEN;
  case BlendMode::ColorDodge:
    return CAIRO_OPERATOR_COLOR_DODGE;
  case BlendMode::ColorBurn:
    return CAIRO_OPERATOR_COLOR_BURN;
  case BlendMode::SoftLight:
    return CAIRO_OPERATOR_SOFT_LIGHT;
  case BlendMode::HardLight:
    return CAIRO_OPERATOR_HARD_LIGHT;
  case BlendMode::Difference:
    return CAIRO_OPERATOR_DIFFERENCE;
  case BlendMode::Exclusion:
    return CAIRO_OPERATOR_EXCLUSION;
  case BlendMode::Hue:
    return CAIRO_OPERATOR_HSL_HUE;
  case BlendMode::Saturation:
    return CAIRO_OPERATOR_HSL_SATURATION;
  case BlendMode::Color:
    return CAIRO_OPERATOR_HSL_COLOR;
  case BlendMode::Luminosity:
    return CAIRO_OPERATOR_HSL_LUMINOSITY;
  case BlendMode::Clear:
    return CAIRO_OPERATOR_CLEAR;
  case BlendMode::Copy:
    return CAIRO_OPERATOR_SOURCE;
  case BlendMode::SourceIn:
    return CAIRO_OPERATOR_IN;
  case BlendMode::SourceOut:
    return CAIRO_OPERATOR_OUT;
  case BlendMode::SourceAtop:
    return CAIRO_OPERATOR_ATOP;
  case BlendMode::DestinationOver:
    return CAIRO_OPERATOR_DEST_OVER;
  case BlendMode::DestinationIn:
    return CAIRO_OPERATOR_DEST_IN;
  case BlendMode::DestinationOut:
    return CAIRO_OPERATOR_DEST_OUT;
  case BlendMode::DestinationAtop:
    return CAIRO_OPERATOR_DEST_ATOP;
  case BlendMode::XOR:
    return CAIRO_OPERATOR_XOR;
  case BlendMode::PlusLighter:
    return CAIRO_OPERATOR_ADD;
  }
  return CAIRO_OPERATOR_OVER;
}

// Cairo applies these operators to the whole destination, also where the shape does not reach;
// the phone's blend modes touch only what the shape covers.
bool unbounded(cairo_operator_t op) {
  return op == CAIRO_OPERATOR_IN || op == CAIRO_OPERATOR_OUT || op == CAIRO_OPERATOR_DEST_IN ||
         op == CAIRO_OPERATOR_DEST_ATOP;
}

// The seen picture's coordinates (u, v) of a stored pixel position (x, y), for a stored bitmap of
// w x h: each orientation as an affine map.
AffineTransform storedToSeen(ImageOrientation o, double w, double h) {
  switch (o) {
  case ImageOrientation::Up:
    return {1, 0, 0, 1, 0, 0};
  case ImageOrientation::Down:
    return {-1, 0, 0, -1, w, h};
  case ImageOrientation::Right:
    return {0, 1, -1, 0, h, 0};
  case ImageOrientation::Left:
    return {0, -1, 1, 0, 0, w};
  case ImageOrientation::UpMirrored:
    return {-1, 0, 0, 1, w, 0};
  case ImageOrientation::DownMirrored:
    return {1, 0, 0, -1, 0, h};
  case ImageOrientation::LeftMirrored:
    return {0, 1, 1, 0, 0, 0};
  case ImageOrientation::RightMirrored:
    return {0, -1, -1, 0, h, w};
  }
  return {};
}

struct GState {
  RGBA fill{0, 0, 0, 1}, stroke{0, 0, 0, 1};
  double lineWidth = 1;
  BlendMode mode = BlendMode::Normal;
  double alpha = 1;
};

} // namespace

struct BitmapContext::Impl {
  cairo_surface_t *surface = nullptr;
  cairo_t *cr = nullptr;
  std::vector<GState> states{GState{}};
  GState &state() { return states.back(); }

  ~Impl() {
    if (cr) cairo_destroy(cr);
    if (surface) cairo_surface_destroy(surface);
  }

  // Draws a shape (made by `path`, filled, or stroked when `stroke`) with the source that
  // `source` sets, composited with the state's blend mode; paintAlpha multiplies the source.
  void composite(const std::function<void(cairo_t *)> &source,
                 const std::function<void(cairo_t *)> &path, bool stroke, double paintAlpha,
                 BlendMode mode) {
    cairo_operator_t op = operatorFor(mode);
    if (!unbounded(op)) {
      cairo_save(cr);
      cairo_set_operator(cr, op);
      source(cr);
      path(cr);
      if (stroke) {
        cairo_set_line_width(cr, state().lineWidth);
        cairo_stroke(cr);
      } else {
        cairo_clip(cr);
        cairo_paint_with_alpha(cr, paintAlpha);
      }
      cairo_restore(cr);
      return;
    }
    const int w = cairo_image_surface_get_width(surface),
              h = cairo_image_surface_get_height(surface);
    cairo_matrix_t matrix;
    cairo_get_matrix(cr, &matrix);
    // What the shape covers.
    cairo_surface_t *mask = cairo_image_surface_create(CAIRO_FORMAT_A8, w, h);
    cairo_t *mc = cairo_create(mask);
    cairo_set_matrix(mc, &matrix);
    path(mc);
    cairo_set_source_rgba(mc, 1, 1, 1, 1);
    if (stroke) {
      cairo_set_line_width(mc, state().lineWidth);
      cairo_stroke(mc);
    } else {
      cairo_fill(mc);
    }
    cairo_destroy(mc);
    // The whole bitmap blended with the source.
    cairo_surface_flush(surface);
    cairo_surface_t *blended = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t *bc = cairo_create(blended);
    cairo_set_source_surface(bc, surface, 0, 0);
    cairo_set_operator(bc, CAIRO_OPERATOR_SOURCE);
    cairo_paint(bc);
    cairo_set_matrix(bc, &matrix);
    cairo_set_operator(bc, op);
    source(bc);
    cairo_paint_with_alpha(bc, paintAlpha);
    cairo_destroy(bc);
    // Only the covered part of it replaces the bitmap.
    cairo_save(cr);
    cairo_identity_matrix(cr);
    cairo_set_source_surface(cr, blended, 0, 0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_mask_surface(cr, mask, 0, 0);
    cairo_restore(cr);
    cairo_surface_destroy(blended);
    cairo_surface_destroy(mask);
  }

  std::function<void(cairo_t *)> colorSource(RGBA c) {
    return [c](cairo_t *t) { cairo_set_source_rgba(t, c.red, c.green, c.blue, c.alpha); };
  }

  // A source painting the image's stored pixels through `storedToUser`.
  void drawStored(const Image &image, const AffineTransform &storedToUser, Rect2 rect,
                  BlendMode mode, double alpha) {
    const int iw = image.pixelWidth(), ih = image.pixelHeight();
    cairo_surface_t *src = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char *>(const_cast<uint32_t *>(image.pixels().data())),
        CAIRO_FORMAT_ARGB32, iw, ih, iw * 4);
    // Alpha belongs to the source (a copy at half alpha writes half-transparent pixels), so a
    // faded copy of the picture is the source, not a fading mask.
    const double a = std::clamp(alpha * state().alpha, 0.0, 1.0);
    if (a < 1.0) {
      cairo_surface_t *faded = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, iw, ih);
      cairo_t *fc = cairo_create(faded);
      cairo_set_source_surface(fc, src, 0, 0);
      cairo_set_operator(fc, CAIRO_OPERATOR_SOURCE);
      cairo_paint_with_alpha(fc, a);
      cairo_destroy(fc);
      cairo_surface_finish(src);
      cairo_surface_destroy(src);
      src = faded;
    }
    cairo_matrix_t m = toCairo(storedToUser);
    if (cairo_matrix_invert(&m) == CAIRO_STATUS_SUCCESS) {
      auto source = [src, m](cairo_t *t) {
        cairo_pattern_t *p = cairo_pattern_create_for_surface(src);
        cairo_pattern_set_matrix(p, &m);
        cairo_pattern_set_filter(p, CAIRO_FILTER_GOOD);
        cairo_pattern_set_extend(p, CAIRO_EXTEND_PAD);
        cairo_set_source(t, p);
        cairo_pattern_destroy(p);
      };
      auto path = [rect](cairo_t *t) {
        cairo_rectangle(t, rect.x, rect.y, rect.width, rect.height);
      };
      composite(source, path, false, 1.0, mode);
    }
    cairo_surface_finish(src);
    cairo_surface_destroy(src);
  }
};

std::unique_ptr<BitmapContext> BitmapContext::create(int width, int height) {
  if (width <= 0 || height <= 0 || static_cast<int64_t>(width) * height > (int64_t(1) << 28))
    return nullptr;
  auto context = std::unique_ptr<BitmapContext>(new BitmapContext());
  context->impl_ = std::make_unique<Impl>();
  context->impl_->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(context->impl_->surface) != CAIRO_STATUS_SUCCESS ||
      cairo_image_surface_get_stride(context->impl_->surface) != width * 4)
    return nullptr;
  context->impl_->cr = cairo_create(context->impl_->surface);
  if (cairo_status(context->impl_->cr) != CAIRO_STATUS_SUCCESS) return nullptr;
  context->width_ = width;
  context->height_ = height;
  return context;
}

BitmapContext::~BitmapContext() = default;

uint8_t *BitmapContext::data() {
  cairo_surface_flush(impl_->surface);
  cairo_surface_mark_dirty(impl_->surface); // the caller may write
  return cairo_image_surface_get_data(impl_->surface);
}

uint32_t BitmapContext::pixelAt(int x, int y) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  cairo_surface_flush(impl_->surface);
  auto *base = cairo_image_surface_get_data(impl_->surface);
  return reinterpret_cast<const uint32_t *>(base + static_cast<size_t>(y) * bytesPerRow())[x];
}

void BitmapContext::saveGState() {
  cairo_save(impl_->cr);
  impl_->states.push_back(impl_->state());
}

void BitmapContext::restoreGState() {
  if (impl_->states.size() <= 1) return; // more restores than saves: nothing to restore
  impl_->states.pop_back();
  cairo_restore(impl_->cr);
}

void BitmapContext::translate(double tx, double ty) {
  cairo_translate(impl_->cr, tx, ty);
}
void BitmapContext::scale(double sx, double sy) {
  cairo_scale(impl_->cr, sx, sy);
}
void BitmapContext::rotate(double angle) {
  concat(AffineTransform::makeRotation(angle));
}

void BitmapContext::concat(const AffineTransform &transform) {
  cairo_matrix_t m = toCairo(transform);
  cairo_transform(impl_->cr, &m);
}

AffineTransform BitmapContext::currentTransform() const {
  cairo_matrix_t m;
  cairo_get_matrix(impl_->cr, &m);
  return fromCairo(m);
}

void BitmapContext::setFillColor(RGBA color) {
  impl_->state().fill = color;
}
void BitmapContext::setStrokeColor(RGBA color) {
  impl_->state().stroke = color;
}
void BitmapContext::setLineWidth(double width) {
  impl_->state().lineWidth = width;
}
void BitmapContext::setBlendMode(BlendMode mode) {
  impl_->state().mode = mode;
}
BlendMode BitmapContext::blendMode() const {
  return impl_->state().mode;
}
void BitmapContext::setAlpha(double alpha) {
  impl_->state().alpha = std::clamp(alpha, 0.0, 1.0);
}
double BitmapContext::alpha() const {
  return impl_->state().alpha;
}

void BitmapContext::fillRect(Rect2 r) {
  RGBA c = impl_->state().fill;
  c.alpha *= impl_->state().alpha;
  impl_->composite(
      impl_->colorSource(c), [r](cairo_t *t) { cairo_rectangle(t, r.x, r.y, r.width, r.height); },
      false, 1, impl_->state().mode);
}

void BitmapContext::strokeRect(Rect2 r) {
  RGBA c = impl_->state().stroke;
  c.alpha *= impl_->state().alpha;
  impl_->composite(
      impl_->colorSource(c), [r](cairo_t *t) { cairo_rectangle(t, r.x, r.y, r.width, r.height); },
      true, 1, impl_->state().mode);
}

void BitmapContext::clearRect(Rect2 r) {
  impl_->composite(
      impl_->colorSource({0, 0, 0, 0}),
      [r](cairo_t *t) { cairo_rectangle(t, r.x, r.y, r.width, r.height); }, false, 1,
      BlendMode::Clear);
}

void BitmapContext::drawImage(const Image &image, Rect2 rect, double alpha) {
  drawImage(image, rect, impl_->state().mode, alpha);
}

void BitmapContext::drawImage(const Image &image, Rect2 rect, BlendMode mode, double alpha) {
  const double w = image.pixelWidth(), h = image.pixelHeight();
  const ImageOrientation o = image.imageOrientation();
  const bool sideways = o == ImageOrientation::Left || o == ImageOrientation::Right ||
                        o == ImageOrientation::LeftMirrored || o == ImageOrientation::RightMirrored;
  const double seenW = sideways ? h : w, seenH = sideways ? w : h;
  AffineTransform toUser =
      storedToSeen(image.imageOrientation(), w, h)
          .concat(AffineTransform::makeScale(rect.width / seenW, rect.height / seenH))
          .concat(AffineTransform::makeTranslation(rect.x, rect.y));
  impl_->drawStored(image, toUser, rect, mode, alpha);
}

void BitmapContext::drawBitmap(const Image &image, Rect2 rect) {
  const double w = image.pixelWidth(), h = image.pixelHeight();
  AffineTransform toUser{rect.width / w, 0, 0, -rect.height / h, rect.x, rect.y + rect.height};
  impl_->drawStored(image, toUser, rect, impl_->state().mode, 1.0);
}

TextMetrics BitmapContext::drawText(const std::string &text, Point2 at, const FontSpec &font,
                                    double maxWidth, double minimumFontSize, LineBreak lineBreak) {
  LayoutHolder holder(impl_->cr);
  double clip = 0;
  TextMetrics m = fitLine(holder.layout, text, font, maxWidth, minimumFontSize, lineBreak, clip);
  if (text.empty()) return m;
  PangoLayout *layout = holder.layout;
  RGBA c = impl_->state().fill;
  c.alpha *= impl_->state().alpha;
  impl_->composite(
      impl_->colorSource(c),
      [layout, at, clip, m](cairo_t *t) {
        if (clip > 0) {
          cairo_rectangle(t, at.x, at.y, clip, m.height);
          cairo_clip(t);
        }
        cairo_move_to(t, at.x, at.y);
        pango_cairo_update_layout(t, layout);
        pango_cairo_layout_path(t, layout);
      },
      false, 1, impl_->state().mode);
  return m;
}

TextMetrics BitmapContext::drawTextInRect(const std::string &text, Rect2 rect, const FontSpec &font,
                                          LineBreak lineBreak, TextAlign align) {
  LayoutHolder holder(impl_->cr);
  TextMetrics m = fitBox(holder.layout, text, font, rect.width, rect.height, lineBreak, align);
  if (text.empty()) return m;
  PangoLayout *layout = holder.layout;
  RGBA c = impl_->state().fill;
  c.alpha *= impl_->state().alpha;
  double shownHeight = m.height;
  impl_->composite(
      impl_->colorSource(c),
      [layout, rect, shownHeight](cairo_t *t) {
        cairo_rectangle(t, rect.x, rect.y, rect.width, shownHeight);
        cairo_clip(t);
        cairo_move_to(t, rect.x, rect.y);
        pango_cairo_update_layout(t, layout);
        pango_cairo_layout_path(t, layout);
      },
      false, 1, impl_->state().mode);
  return m;
}

std::shared_ptr<Image> BitmapContext::makeImage(double scale) {
  cairo_surface_flush(impl_->surface);
  return Image::fromPixels(width_, height_, cairo_image_surface_get_data(impl_->surface),
                           static_cast<size_t>(bytesPerRow()), scale);
}

} // namespace platform::media
