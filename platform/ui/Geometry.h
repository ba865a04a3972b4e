// Plain values of the UI model: geometry (points, as data only: nothing is laid out from it),
// text ranges in UTF-16 units as the phone counts them, index paths, colours and fonts.
#pragma once

#include <compare>
#include <cstddef>
#include <string>
#include <string_view>

namespace platform::ui {

struct Point {
  double x = 0, y = 0;
  bool operator==(const Point &) const = default;
};

struct Size {
  double width = 0, height = 0;
  bool operator==(const Size &) const = default;
};

struct Rect {
  Point origin;
  Size size;
  Rect() = default;
  Rect(double x, double y, double w, double h) : origin{x, y}, size{w, h} {}
  double maxY() const { return origin.y + size.height; }
  bool operator==(const Rect &) const = default;
};

// A scale and a translation: enough for the zoom and slide effects the screens animate.
struct Transform {
  double scaleX = 1, scaleY = 1, translateX = 0, translateY = 0;
  static Transform scale(double sx, double sy) { return {sx, sy, 0, 0}; }
  static Transform translation(double tx, double ty) { return {1, 1, tx, ty}; }
  bool operator==(const Transform &) const = default;
};

// A range of text in UTF-16 code units (the phone's NSRange).
struct Range {
  size_t location = 0, length = 0;
  bool operator==(const Range &) const = default;
};

struct IndexPath {
  int section = 0, row = 0;
  auto operator<=>(const IndexPath &) const = default;
};

struct Color {
  double red = 0, green = 0, blue = 0, alpha = 1;
  bool operator==(const Color &) const = default;
  static Color whiteColor() { return {1, 1, 1, 1}; }
  static Color blackColor() { return {0, 0, 0, 1}; }
  static Color clearColor() { return {0, 0, 0, 0}; }
  static Color darkGrayColor() { return {1.0 / 3, 1.0 / 3, 1.0 / 3, 1}; }
  static Color grayColor() { return {0.5, 0.5, 0.5, 1}; }
  static Color lightGrayColor() { return {2.0 / 3, 2.0 / 3, 2.0 / 3, 1}; }
  static Color redColor() { return {1, 0, 0, 1}; }
  static Color blueColor() { return {0, 0, 1, 1}; }
};

// A font by name and size; an empty name is the system font.
struct Font {
  std::string name;
  double size = 17;
  bool bold = false, italic = false;
  bool operator==(const Font &) const = default;
  static constexpr double systemFontSize() { return 14; }
  static constexpr double labelFontSize() { return 17; }
  static Font system(double size) { return {"", size, false, false}; }
  static Font boldSystem(double size) { return {"", size, true, false}; }
  static Font italicSystem(double size) { return {"", size, false, true}; }
  static Font named(std::string name, double size) { return {std::move(name), size, false, false}; }
};

// Interface orientations with the phone's codes.
enum class InterfaceOrientation {
  Portrait = 1,
  PortraitUpsideDown = 2,
  LandscapeRight = 3,
  LandscapeLeft = 4
};
inline bool isLandscape(InterfaceOrientation o) {
  return o == InterfaceOrientation::LandscapeLeft || o == InterfaceOrientation::LandscapeRight;
}

// UTF-8 text measured and edited in UTF-16 units.
size_t utf16Length(std::string_view utf8);
// Byte offset in utf8 of the UTF-16 index (clamped to the end; never inside a code point).
size_t utf8Offset(std::string_view utf8, size_t utf16Index);
// Replaces the UTF-16 range (clamped) with the replacement.
std::string replaceUtf16Range(std::string_view utf8, Range range, std::string_view replacement);

} // namespace platform::ui
