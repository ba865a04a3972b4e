// Searching the editor's text as the text view counts it (UTF-16 units): find forwards or
// backwards inside a range, replace every occurrence, the start of a line by number and the
// composed character sequence (a user-perceived character) at an index. Every range is bounded
// by the text, whatever the lengths of the text and of what is searched for.
#pragma once

#include "platform/ui/Geometry.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace editor {

inline constexpr size_t kNotFoundLocation = static_cast<size_t>(-1);

std::u16string toUtf16(std::string_view utf8);
std::string fromUtf16(std::u16string_view units);

struct SearchOptions {
  bool backwards = false;
  bool ignoreCase = false;
  bool ignoreWidth = false; // full-width forms match their ASCII letters
};

// The first (or with `backwards` the last) occurrence that lies wholly inside `in` (clamped to the
// text); {kNotFoundLocation, 0} when there is none or `what` is empty.
platform::ui::Range findText(std::u16string_view text, std::u16string_view what,
                             platform::ui::Range in, SearchOptions options);

// Every occurrence replaced, left to right, matches never overlapping.
std::string replaceAllOccurrences(std::string_view text, std::string_view what,
                                  std::string_view with, bool ignoreCase);

// The composed character sequence that holds the index (clamped to the text).
platform::ui::Range composedSequenceAt(std::u16string_view text, size_t index);

// What "go to line n" selects: the first composed sequence of line n (lines counted from 1,
// separated by LF); an empty range at the end for an empty last line; the last composed sequence
// of the text when n is below 1 or beyond the last line; nothing ({kNotFoundLocation, 0}) in an
// empty text.
platform::ui::Range lineSelection(std::u16string_view text, long n);

} // namespace editor
