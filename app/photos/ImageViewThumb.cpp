#include "app/photos/ImageViewThumb.h"

using platform::ui::Point;

TouchTarget *ImageViewThumb::target(Point &offset) const {
  auto parent = superview();
  offset = frame().origin;
  return parent ? dynamic_cast<TouchTarget *>(parent.get()) : nullptr;
}

void ImageViewThumb::touchesBegan(Point p) {
  Point o;
  if (auto *t = target(o)) t->touchesBegan(Point{p.x + o.x, p.y + o.y});
}

void ImageViewThumb::touchesMoved(Point previous, Point current) {
  Point o;
  if (auto *t = target(o))
    t->touchesMoved(Point{previous.x + o.x, previous.y + o.y},
                    Point{current.x + o.x, current.y + o.y});
}

void ImageViewThumb::touchesEnded(Point p) {
  Point o;
  if (auto *t = target(o)) t->touchesEnded(Point{p.x + o.x, p.y + o.y});
}

void ImageViewThumb::touchesCancelled(Point p) {
  Point o;
  if (auto *t = target(o)) t->touchesCancelled(Point{p.x + o.x, p.y + o.y});
}
