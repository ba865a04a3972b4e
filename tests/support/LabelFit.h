// Whether a label of the UI model shows its whole text in its frame, measured the way the drawing
// layer sets text: a one-line label shrinks down to its minimum font size when it may; a label of
// more lines wraps within the frame's width and height. Header only: the test that includes it
// links the drawing layer (platform_media) through the screens it tests.
#pragma once

#include "platform/media/BitmapContext.h"
#include "platform/ui/Controls.h"

#include <string>
#include <vector>

namespace testsupport {

struct LabelFit {
  bool whole = false;  // every character shows
  double width = 0;    // of the text as set
  double fontSize = 0; // the size it is set at
};

inline LabelFit fitOfText(const std::string &text, const platform::ui::Font &font,
                          platform::ui::Size box, int lines, double minimumFontSize = 0) {
  const platform::media::FontSpec face{font.name, font.size, font.bold, font.italic};
  platform::media::TextMetrics m;
  if (lines == 1)
    m = platform::media::measureText(text, face, box.width, minimumFontSize);
  else
    m = platform::media::measureTextInWidth(text, face, box.width, box.height);
  LabelFit fit;
  fit.width = m.width;
  fit.fontSize = m.actualFontSize;
  const bool tooManyLines = lines > 1 && m.lines > lines;
  fit.whole =
      !m.truncated && !tooManyLines && m.width <= box.width + 0.5 && m.height <= box.height + 0.5;
  return fit;
}

inline LabelFit fitOfLabel(const platform::ui::Label &label) {
  return fitOfText(label.text(), label.font(), label.frame().size, label.numberOfLines(),
                   label.adjustsFontSizeToFitWidth() ? label.minimumFontSize() : 0);
}

// The texts of the labels in the view and below it that do not show whole (hidden and empty ones
// left out), each with the width it needs and the size it is set at.
inline std::vector<std::string> labelsCutIn(const platform::ui::View &view) {
  std::vector<std::string> cut;
  if (view.isHidden()) return cut;
  if (auto label = dynamic_cast<const platform::ui::Label *>(&view);
      label && !label->text().empty()) {
    const auto fit = fitOfLabel(*label);
    if (!fit.whole)
      cut.push_back("\"" + label->text() + "\" needs " + std::to_string(fit.width) + " at " +
                    std::to_string(fit.fontSize));
  }
  for (const auto &sub : view.subviews())
    for (auto &text : labelsCutIn(*sub))
      cut.push_back(std::move(text));
  return cut;
}

} // namespace testsupport
