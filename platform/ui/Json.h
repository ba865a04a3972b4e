// JSON forms of the plain values, shared by the snapshot writers.
#pragma once

#include "platform/ui/Geometry.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace platform::ui::detail {

inline nlohmann::json toJson(const Rect &r) {
  return {r.origin.x, r.origin.y, r.size.width, r.size.height};
}
inline nlohmann::json toJson(const Size &s) {
  return {s.width, s.height};
}
inline nlohmann::json toJson(const Point &p) {
  return {p.x, p.y};
}
inline nlohmann::json toJson(const Color &c) {
  return {c.red, c.green, c.blue, c.alpha};
}
inline nlohmann::json toJson(const std::optional<Color> &c) {
  return c ? toJson(*c) : nlohmann::json(nullptr);
}
inline nlohmann::json toJson(const Font &f) {
  return {{"name", f.name}, {"size", f.size}, {"bold", f.bold}, {"italic", f.italic}};
}
inline nlohmann::json toJson(const Range &r) {
  return {r.location, r.length};
}

} // namespace platform::ui::detail
