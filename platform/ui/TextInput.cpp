#include "platform/ui/TextInput.h"

#include "platform/ui/Json.h"
#include "platform/ui/Services.h"
#include "platform/ui/Window.h"

namespace platform::ui {

using detail::toJson;

namespace {
// The characters (code points, as UTF-8) of a text, as typed one by one.
std::vector<std::string> characters(const std::string &text) {
  std::vector<std::string> out;
  for (size_t i = 0; i < text.size();) {
    size_t n = 1;
    auto lead = static_cast<unsigned char>(text[i]);
    if (lead >= 0xF0)
      n = 4;
    else if (lead >= 0xE0)
      n = 3;
    else if (lead >= 0xC0)
      n = 2;
    n = std::min(n, text.size() - i);
    out.push_back(text.substr(i, n));
    i += n;
  }
  return out;
}

// The UTF-16 range of the last character before `end` (a surrogate pair counts as one).
Range lastCharacter(const std::string &text, size_t end) {
  auto offset = utf8Offset(text, end);
  size_t start = offset;
  while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80)
    --start;
  if (start > 0) --start;
  size_t units = utf16Length(std::string_view(text).substr(start, offset - start));
  return {end - units, units};
}

void describeTraits(nlohmann::json &out, const TextInputTraits &t) {
  out["keyboardType"] = static_cast<int>(t.keyboardType);
  out["returnKeyType"] = static_cast<int>(t.returnKeyType);
  out["secure"] = t.secureTextEntry;
  out["autocorrection"] = static_cast<int>(t.autocorrectionType);
  out["autocapitalization"] = static_cast<int>(t.autocapitalizationType);
}

// The range within a text of that many UTF-16 units.
Range clamped(Range r, size_t length) {
  r.location = std::min(r.location, length);
  r.length = std::min(r.length, length - r.location);
  return r;
}

bool needFocus(View &view, std::string &why) {
  if (view.isFirstResponder() || view.becomeFirstResponder()) return true;
  why = std::string("the ") + view.typeName() + " did not take the keyboard";
  return false;
}
} // namespace

// --- TextField ---

void TextField::describe(nlohmann::json &out) const {
  Control::describe(out);
  out["text"] = text_.empty() ? std::string() : probeText();
  out["placeholder"] = placeholder_;
  out["font"] = toJson(font_);
  out["textColor"] = toJson(textColor_);
  out["border"] = static_cast<int>(border_);
  out["editing"] = editing_;
  out["clearButton"] = shows(clearMode_) && !text_.empty();
  describeTraits(out, traits_);
}

std::string TextField::probeText() const {
  if (text_.empty()) return placeholder_;
  if (!traits_.secureTextEntry) return text_;
  std::string dots;
  for (size_t i = utf16Length(text_); i > 0; --i)
    dots += "\u2022";
  return dots;
}

bool TextField::shows(TextFieldViewMode mode) const {
  switch (mode) {
  case TextFieldViewMode::Never:
    return false;
  case TextFieldViewMode::WhileEditing:
    return editing_;
  case TextFieldViewMode::UnlessEditing:
    return !editing_;
  case TextFieldViewMode::Always:
    return true;
  }
  return false;
}

bool TextField::userTap(std::string &why) {
  if (!touchable(why)) return false;
  return needFocus(*this, why);
}

bool TextField::becomeFirstResponder() {
  detail::requireMainThread("TextField::becomeFirstResponder");
  if (isFirstResponder()) return true;
  auto d = delegate();
  if (d && !d->textFieldShouldBeginEditing(*this)) return false;
  if (!View::becomeFirstResponder()) return false;
  editing_ = true;
  if (d) d->textFieldDidBeginEditing(*this);
  sendActionsForControlEvents(EditingDidBegin);
  return true;
}

bool TextField::resignFirstResponder() {
  if (!isFirstResponder()) return true;
  auto d = delegate();
  if (d && !d->textFieldShouldEndEditing(*this)) return false;
  if (!View::resignFirstResponder()) return false;
  editing_ = false;
  if (d) d->textFieldDidEndEditing(*this);
  sendActionsForControlEvents(EditingDidEnd);
  return true;
}

bool TextField::userType(const std::string &text, std::string &why) {
  if (!touchable(why) || !needFocus(*this, why)) return false;
  bool changed = false;
  for (auto &ch : characters(text)) {
    Range at{utf16Length(text_), 0};
    auto d = delegate();
    if (d && !d->shouldChangeCharactersInRange(*this, at, ch)) continue;
    text_ += ch;
    changed = true;
    sendActionsForControlEvents(EditingChanged);
  }
  if (!changed) why = "the field refused every character";
  return changed;
}

bool TextField::userBackspace(size_t count, std::string &why) {
  if (!touchable(why) || !needFocus(*this, why)) return false;
  bool changed = false;
  for (size_t i = 0; i < count && !text_.empty(); ++i) {
    Range r = lastCharacter(text_, utf16Length(text_));
    auto d = delegate();
    if (d && !d->shouldChangeCharactersInRange(*this, r, "")) continue;
    text_ = replaceUtf16Range(text_, r, "");
    changed = true;
    sendActionsForControlEvents(EditingChanged);
  }
  if (!changed) why = "nothing was erased";
  return changed;
}

bool TextField::userReplace(Range range, const std::string &text, std::string &why) {
  if (!touchable(why) || !needFocus(*this, why)) return false;
  range = clamped(range, utf16Length(text_));
  if (range.length == 0 && text.empty()) return why = "nothing was changed", false;
  auto d = delegate();
  if (d && !d->shouldChangeCharactersInRange(*this, range, text))
    return why = "the field refused the change", false;
  text_ = replaceUtf16Range(text_, range, text);
  sendActionsForControlEvents(EditingChanged);
  return true;
}

bool TextField::userClear(std::string &why) {
  if (!touchable(why)) return false;
  if (!shows(clearMode_) || text_.empty()) return why = "the field shows no clear button", false;
  auto d = delegate();
  if (d && !d->textFieldShouldClear(*this)) return why = "the delegate kept the text", false;
  text_.clear();
  sendActionsForControlEvents(EditingChanged);
  return true;
}

bool TextField::userReturn(std::string &why) {
  if (!isFirstResponder()) return why = "the field is not being edited", false;
  auto self = shared_from_this();
  // Pressed either way; a "no" only keeps the field from ending on exit.
  auto d = delegate();
  if (!d || d->textFieldShouldReturn(*this)) sendActionsForControlEvents(EditingDidEndOnExit);
  return true;
}

// --- TextView ---

void TextView::describe(nlohmann::json &out) const {
  ScrollView::describe(out);
  out["text"] = text_;
  out["selectedRange"] = toJson(selected_);
  // What the program set, so that it is shown as it is set (a person's own moves of the caret
  // are the page's already): the count of selections set, and the range to scroll into view with
  // the count of times that was asked.
  out["selectionsSet"] = selectionsSet_;
  if (scrolledRange_)
    out["scrollTo"] = {scrolledRange_->location, scrolledRange_->length, scrollsAsked_};
  out["editable"] = editable_;
  out["editing"] = editing_;
  out["font"] = toJson(font_);
  out["textColor"] = toJson(textColor_);
  describeTraits(out, traits_);
}

void TextView::setText(std::string text) {
  text_ = std::move(text);
  size_t len = utf16Length(text_);
  selected_.location = std::min(selected_.location, len);
  selected_.length = std::min(selected_.length, len - selected_.location);
}

void TextView::setSelectedRange(Range r) {
  ++selectionsSet_;
  select(r);
}

void TextView::select(Range r) {
  r = clamped(r, utf16Length(text_));
  if (r == selected_) return;
  selected_ = r;
  if (auto d = delegate()) d->textViewDidChangeSelection(*this);
}

void TextView::scrollRangeToVisible(Range r) {
  scrolledRange_ = clamped(r, utf16Length(text_));
  ++scrollsAsked_;
}

bool TextView::userTap(std::string &why) {
  if (isHidden() || !isUserInteractionEnabled())
    return why = "the text view takes no touches", false;
  if (!editable_) return why = "the text view is not editable", false;
  return needFocus(*this, why);
}

bool TextView::becomeFirstResponder() {
  detail::requireMainThread("TextView::becomeFirstResponder");
  if (isFirstResponder()) return true;
  auto d = delegate();
  if (d && !d->textViewShouldBeginEditing(*this)) return false;
  if (!View::becomeFirstResponder()) return false;
  editing_ = true;
  if (d) d->textViewDidBeginEditing(*this);
  return true;
}

bool TextView::resignFirstResponder() {
  if (!isFirstResponder()) return true;
  auto d = delegate();
  if (d && !d->textViewShouldEndEditing(*this)) return false;
  if (!View::resignFirstResponder()) return false;
  editing_ = false;
  if (d) d->textViewDidEndEditing(*this);
  return true;
}

bool TextView::replace(Range range, const std::string &text) {
  if (!editable_) return false;
  auto d = delegate();
  if (d && !d->shouldChangeTextInRange(*this, range, text)) return false;
  text_ = replaceUtf16Range(text_, range, text);
  selected_ = {range.location + utf16Length(text), 0};
  if (d) d->textViewDidChange(*this);
  return true;
}

bool TextView::insertText(const std::string &text) {
  detail::requireMainThread("TextView::insertText");
  return replace(selected_, text);
}

bool TextView::paste() {
  return insertText(Pasteboard::generalPasteboard().string());
}

bool TextView::userType(const std::string &text, std::string &why) {
  if (!editable_) return why = "the text view is not editable", false;
  if (!needFocus(*this, why)) return false;
  bool changed = false;
  for (auto &ch : characters(text))
    changed = replace(selected_, ch) || changed;
  if (!changed) why = "the text view refused every character";
  return changed;
}

bool TextView::userBackspace(size_t count, std::string &why) {
  if (!editable_) return why = "the text view is not editable", false;
  if (!needFocus(*this, why)) return false;
  bool changed = false;
  for (size_t i = 0; i < count; ++i) {
    Range r = selected_;
    if (r.length == 0) {
      if (r.location == 0) break;
      r = lastCharacter(text_, r.location);
    }
    changed = replace(r, "") || changed;
  }
  if (!changed) why = "nothing was erased";
  return changed;
}

bool TextView::userReplace(Range range, const std::string &text, std::string &why) {
  if (!editable_) return why = "the text view is not editable", false;
  if (!needFocus(*this, why)) return false;
  range = clamped(range, utf16Length(text_));
  if (range.length == 0 && text.empty()) return why = "nothing was changed", false;
  if (!replace(range, text)) return why = "the text view refused the change", false;
  return true;
}

bool TextView::userSelect(Range range, std::string &why) {
  if (isHidden() || !isUserInteractionEnabled())
    return why = "the text view takes no touches", false;
  select(range);
  return true;
}

// --- SearchBar ---

void SearchBar::describe(nlohmann::json &out) const {
  View::describe(out);
  out["text"] = text_;
  out["placeholder"] = placeholder_;
  out["tint"] = toJson(tint_);
  out["showsCancel"] = showsCancel_;
  out["editing"] = editing_;
  describeTraits(out, traits_);
}

void SearchBar::setShowsCancelButton(bool on, bool animated) {
  (void)animated;
  showsCancel_ = on;
}

bool SearchBar::userTap(std::string &why) {
  if (isHidden() || !isUserInteractionEnabled())
    return why = "the search bar takes no touches", false;
  return needFocus(*this, why);
}

bool SearchBar::becomeFirstResponder() {
  detail::requireMainThread("SearchBar::becomeFirstResponder");
  if (isFirstResponder()) return true;
  auto d = delegate();
  if (d && !d->searchBarShouldBeginEditing(*this)) return false;
  if (!View::becomeFirstResponder()) return false;
  editing_ = true;
  if (d) d->searchBarTextDidBeginEditing(*this);
  return true;
}

bool SearchBar::resignFirstResponder() {
  if (!isFirstResponder()) return true;
  auto d = delegate();
  if (d && !d->searchBarShouldEndEditing(*this)) return false;
  if (!View::resignFirstResponder()) return false;
  editing_ = false;
  if (d) d->searchBarTextDidEndEditing(*this);
  return true;
}

void SearchBar::changeText(std::string text) {
  text_ = std::move(text);
  if (auto d = delegate()) d->textDidChange(*this, text_);
}

bool SearchBar::userType(const std::string &text, std::string &why) {
  if (!needFocus(*this, why)) return false;
  for (auto &ch : characters(text))
    changeText(text_ + ch);
  return true;
}

bool SearchBar::userBackspace(size_t count, std::string &why) {
  if (!needFocus(*this, why)) return false;
  for (size_t i = 0; i < count && !text_.empty(); ++i)
    changeText(replaceUtf16Range(text_, lastCharacter(text_, utf16Length(text_)), ""));
  return true;
}

bool SearchBar::userReplace(Range range, const std::string &text, std::string &why) {
  if (!needFocus(*this, why)) return false;
  range = clamped(range, utf16Length(text_));
  if (range.length == 0 && text.empty()) return why = "nothing was changed", false;
  changeText(replaceUtf16Range(text_, range, text));
  return true;
}

bool SearchBar::userSearch(std::string &why) {
  if (!isFirstResponder()) return why = "the search bar is not being edited", false;
  if (auto d = delegate()) d->searchBarSearchButtonClicked(*this);
  return true;
}

bool SearchBar::userCancel(std::string &why) {
  if (!showsCancel_) return why = "the search bar shows no Cancel button", false;
  if (auto d = delegate()) d->searchBarCancelButtonClicked(*this);
  return true;
}

} // namespace platform::ui
