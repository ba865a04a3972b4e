// Text inputs: text field, text view and search bar. Typing goes through the delegate's
// should-change question one character at a time, at the caret, as a person types.
#pragma once

#include "platform/ui/Controls.h"

namespace platform::ui {

enum class KeyboardType {
  Default = 0,
  NumbersAndPunctuation = 2,
  URL = 3,
  NumberPad = 4,
  EmailAddress = 7
};
enum class ReturnKeyType { Default, Go, Google, Join, Next, Route, Search, Send, Done };
enum class TextAutocorrectionType { Default, No, Yes };
enum class TextAutocapitalizationType { None, Words, Sentences, AllCharacters };
enum class TextFieldViewMode { Never, WhileEditing, UnlessEditing, Always };
enum class TextBorderStyle { None, Line, Bezel, RoundedRect };

// Keyboard settings shared by the text inputs.
struct TextInputTraits {
  KeyboardType keyboardType = KeyboardType::Default;
  ReturnKeyType returnKeyType = ReturnKeyType::Default;
  TextAutocorrectionType autocorrectionType = TextAutocorrectionType::Default;
  TextAutocapitalizationType autocapitalizationType = TextAutocapitalizationType::Sentences;
  bool secureTextEntry = false;
};

class TextField;
class TextFieldDelegate {
public:
  virtual ~TextFieldDelegate() = default;
  virtual bool textFieldShouldBeginEditing(TextField &) { return true; }
  virtual void textFieldDidBeginEditing(TextField &) {}
  virtual bool textFieldShouldEndEditing(TextField &) { return true; }
  virtual void textFieldDidEndEditing(TextField &) {}
  virtual bool shouldChangeCharactersInRange(TextField &, Range, const std::string &) {
    return true;
  }
  virtual bool textFieldShouldClear(TextField &) { return true; }
  virtual bool textFieldShouldReturn(TextField &) { return true; }
};

class TextField : public Control {
public:
  using Control::Control;
  const char *typeName() const override { return "textField"; }
  void describe(nlohmann::json &out) const override;
  // What a person reads: the text (dots when secure), or the placeholder while empty.
  std::string probeText() const override;
  bool userTap(std::string &why) override; // takes the focus
  bool canBecomeFirstResponder() const override { return isEnabled(); }
  bool becomeFirstResponder() override;
  bool resignFirstResponder() override;
  bool showsKeyboard() const override { return true; }

  const std::string &text() const { return text_; }
  void setText(std::string text) { text_ = std::move(text); }
  const std::string &placeholder() const { return placeholder_; }
  void setPlaceholder(std::string p) { placeholder_ = std::move(p); }
  Font font() const { return font_; }
  void setFont(Font f) { font_ = std::move(f); }
  Color textColor() const { return textColor_; }
  void setTextColor(Color c) { textColor_ = c; }
  TextBorderStyle borderStyle() const { return border_; }
  void setBorderStyle(TextBorderStyle s) { border_ = s; }
  TextInputTraits &traits() { return traits_; }
  const TextInputTraits &traits() const { return traits_; }
  bool isSecureTextEntry() const { return traits_.secureTextEntry; }
  void setSecureTextEntry(bool on) { traits_.secureTextEntry = on; }
  KeyboardType keyboardType() const { return traits_.keyboardType; }
  void setKeyboardType(KeyboardType k) { traits_.keyboardType = k; }
  ReturnKeyType returnKeyType() const { return traits_.returnKeyType; }
  void setReturnKeyType(ReturnKeyType r) { traits_.returnKeyType = r; }
  TextFieldViewMode clearButtonMode() const { return clearMode_; }
  void setClearButtonMode(TextFieldViewMode m) { clearMode_ = m; }
  std::shared_ptr<View> leftView() const { return leftView_; }
  void setLeftView(std::shared_ptr<View> v) { leftView_ = std::move(v); }
  TextFieldViewMode leftViewMode() const { return leftMode_; }
  void setLeftViewMode(TextFieldViewMode m) { leftMode_ = m; }
  std::shared_ptr<View> rightView() const { return rightView_; }
  void setRightView(std::shared_ptr<View> v) { rightView_ = std::move(v); }
  TextFieldViewMode rightViewMode() const { return rightMode_; }
  void setRightViewMode(TextFieldViewMode m) { rightMode_ = m; }
  std::shared_ptr<View> inputAccessoryView() const { return accessory_; }
  void setInputAccessoryView(std::shared_ptr<View> v) { accessory_ = std::move(v); }
  std::shared_ptr<TextFieldDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<TextFieldDelegate> d) { delegate_ = std::move(d); }
  bool isEditing() const { return editing_; }
  // Whether the side view or clear button with this mode shows now.
  bool shows(TextFieldViewMode mode) const;

  // A person types text at the end (one character at a time), presses backspace, taps the
  // clear button or presses Return. Each answers whether the field changed / accepted it.
  bool userType(const std::string &text, std::string &why);
  bool userBackspace(size_t count, std::string &why);
  bool userClear(std::string &why);
  bool userReturn(std::string &why);
  // A person replaces a range of the text (UTF-16 units, clamped to the text) with other text:
  // typing over a selection, deleting one, pasting, or what an input method composed. The
  // delegate is asked once for the whole change.
  bool userReplace(Range range, const std::string &text, std::string &why);

private:
  std::string text_, placeholder_;
  Font font_ = Font::system(Font::labelFontSize());
  Color textColor_ = Color::blackColor();
  TextBorderStyle border_ = TextBorderStyle::None;
  TextInputTraits traits_;
  TextFieldViewMode clearMode_ = TextFieldViewMode::Never, leftMode_ = TextFieldViewMode::Never,
                    rightMode_ = TextFieldViewMode::Never;
  std::shared_ptr<View> leftView_, rightView_, accessory_;
  std::weak_ptr<TextFieldDelegate> delegate_;
  bool editing_ = false;
};

class TextView;
class TextViewDelegate {
public:
  virtual ~TextViewDelegate() = default;
  virtual bool textViewShouldBeginEditing(TextView &) { return true; }
  virtual void textViewDidBeginEditing(TextView &) {}
  virtual bool textViewShouldEndEditing(TextView &) { return true; }
  virtual void textViewDidEndEditing(TextView &) {}
  virtual bool shouldChangeTextInRange(TextView &, Range, const std::string &) { return true; }
  virtual void textViewDidChange(TextView &) {}
  virtual void textViewDidChangeSelection(TextView &) {}
};

class TextView : public ScrollView {
public:
  using ScrollView::ScrollView;
  const char *typeName() const override { return "textView"; }
  void describe(nlohmann::json &out) const override;
  std::string probeText() const override { return text_; }
  bool userTap(std::string &why) override;
  bool canBecomeFirstResponder() const override { return editable_; }
  bool becomeFirstResponder() override;
  bool resignFirstResponder() override;
  bool showsKeyboard() const override { return editable_; }

  const std::string &text() const { return text_; }
  void setText(std::string text); // the selection is clamped to the new text
  Range selectedRange() const { return selected_; }
  // The program puts the caret or a selection (clamped); tells the delegate of a change. What it
  // sets is shown, also when it equals what the view had: each call counts.
  void setSelectedRange(Range r);
  // How many selections the program has set so far.
  uint64_t selectionsSet() const { return selectionsSet_; }
  bool isEditable() const { return editable_; }
  void setEditable(bool on) { editable_ = on; }
  Font font() const { return font_; }
  void setFont(Font f) { font_ = std::move(f); }
  Color textColor() const { return textColor_; }
  void setTextColor(Color c) { textColor_ = c; }
  TextInputTraits &traits() { return traits_; }
  const TextInputTraits &traits() const { return traits_; }
  std::shared_ptr<View> inputAccessoryView() const { return accessory_; }
  void setInputAccessoryView(std::shared_ptr<View> v) { accessory_ = std::move(v); }
  std::shared_ptr<TextViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<TextViewDelegate> d) { delegate_ = std::move(d); }
  bool isEditing() const { return editing_; }
  // Scrolls the range (clamped) into view. Each call counts, also for the range asked before: the
  // person may have scrolled away from it since.
  void scrollRangeToVisible(Range r);
  // The range last asked to be scrolled into view, and how many times that was asked.
  std::optional<Range> scrolledRange() const { return scrolledRange_; }
  uint64_t scrollsAsked() const { return scrollsAsked_; }

  // Replaces the selection with the text (through the delegate), as typing or pasting does;
  // the caret ends after it. False when the delegate refused or the view is not editable.
  bool insertText(const std::string &text);
  // Pastes the general pasteboard's string at the selection.
  bool paste();
  // A person types text (one character at a time) or presses backspace.
  bool userType(const std::string &text, std::string &why);
  bool userBackspace(size_t count, std::string &why);
  // A person replaces a range (clamped) with text; the caret ends after it.
  bool userReplace(Range range, const std::string &text, std::string &why);
  // A person puts the caret (or a selection) elsewhere: with the mouse, the arrow keys, Ctrl+End.
  bool userSelect(Range range, std::string &why);

private:
  bool replace(Range range, const std::string &text);
  // Moves the selection (clamped); tells the delegate when it changed.
  void select(Range r);
  std::string text_;
  Range selected_;
  std::optional<Range> scrolledRange_;
  uint64_t selectionsSet_ = 0, scrollsAsked_ = 0;
  bool editable_ = true, editing_ = false;
  Font font_ = Font::system(Font::labelFontSize());
  Color textColor_ = Color::blackColor();
  TextInputTraits traits_;
  std::shared_ptr<View> accessory_;
  std::weak_ptr<TextViewDelegate> delegate_;
};

class SearchBar;
class SearchBarDelegate {
public:
  virtual ~SearchBarDelegate() = default;
  virtual bool searchBarShouldBeginEditing(SearchBar &) { return true; }
  virtual void searchBarTextDidBeginEditing(SearchBar &) {}
  virtual bool searchBarShouldEndEditing(SearchBar &) { return true; }
  virtual void searchBarTextDidEndEditing(SearchBar &) {}
  virtual void textDidChange(SearchBar &, const std::string &) {}
  virtual void searchBarSearchButtonClicked(SearchBar &) {}
  virtual void searchBarCancelButtonClicked(SearchBar &) {}
};

class SearchBar : public View {
public:
  using View::View;
  const char *typeName() const override { return "searchBar"; }
  void describe(nlohmann::json &out) const override;
  std::string probeText() const override { return text_.empty() ? placeholder_ : text_; }
  bool userTap(std::string &why) override;
  bool canBecomeFirstResponder() const override { return true; }
  bool becomeFirstResponder() override;
  bool resignFirstResponder() override;
  bool showsKeyboard() const override { return true; }

  const std::string &text() const { return text_; }
  void setText(std::string t) { text_ = std::move(t); }
  const std::string &placeholder() const { return placeholder_; }
  void setPlaceholder(std::string p) { placeholder_ = std::move(p); }
  std::optional<Color> tintColor() const { return tint_; }
  void setTintColor(std::optional<Color> c) { tint_ = c; }
  bool showsCancelButton() const { return showsCancel_; }
  void setShowsCancelButton(bool on, bool animated = false);
  TextInputTraits &traits() { return traits_; }
  const TextInputTraits &traits() const { return traits_; }
  std::shared_ptr<SearchBarDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<SearchBarDelegate> d) { delegate_ = std::move(d); }
  bool isEditing() const { return editing_; }

  // A person types (text appended a character at a time), presses backspace, presses the
  // search key or taps Cancel.
  bool userType(const std::string &text, std::string &why);
  bool userBackspace(size_t count, std::string &why);
  bool userSearch(std::string &why);
  bool userCancel(std::string &why);
  // A person replaces a range (clamped) with text.
  bool userReplace(Range range, const std::string &text, std::string &why);

private:
  void changeText(std::string text);
  std::string text_, placeholder_;
  std::optional<Color> tint_;
  bool showsCancel_ = false, editing_ = false;
  TextInputTraits traits_;
  std::weak_ptr<SearchBarDelegate> delegate_;
};

} // namespace platform::ui
