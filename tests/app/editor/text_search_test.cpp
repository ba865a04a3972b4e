// Searching the editor's text in UTF-16 units: finds inside ranges in both directions, at the
// edges of the text and with a find text longer than what is left; replace-all; lines by number
// (the last line included); composed character sequences.
#include "app/editor/TextSearch.h"

#include <gtest/gtest.h>

using namespace editor;
using platform::ui::Range;

namespace {
const Range kNone{kNotFoundLocation, 0};
}

TEST(TextSearch, FindInsideRanges) {
  struct Case {
    const char *name;
    std::string text, what;
    Range in;
    SearchOptions options;
    Range expected;
  };
  SearchOptions back;
  back.backwards = true;
  SearchOptions nocase;
  nocase.ignoreCase = true;
  SearchOptions wide;
  wide.ignoreWidth = true;
  const Case cases[] = {
      {"first match", "abcabc", "bc", {0, 6}, {}, {1, 2}},
      {"from inside", "abcabc", "bc", {2, 4}, {}, {4, 2}},
      {"last match backwards", "abcabc", "bc", {0, 6}, back, {4, 2}},
      {"match must lie wholly inside", "abcabc", "bc", {0, 5}, back, {1, 2}},
      {"longer than the text", "ab", "abc", {0, 2}, {}, kNone},
      {"longer than what is left", "abcab", "abc", {3, 2}, {}, kNone},
      {"range beyond the text", "abc", "c", {10, 5}, {}, kNone},
      {"range running past the end", "abc", "c", {1, 100}, {}, {2, 1}},
      {"empty find text", "abc", "", {0, 3}, {}, kNone},
      {"empty text", "", "a", {0, 0}, {}, kNone},
      {"case matters by default", "Hello", "hello", {0, 5}, {}, kNone},
      {"ignoring case", "Hello ÄPFEL", "äpfel", {0, 11}, nocase, {6, 5}},
      {"full-width letters", "ＡＢＣ abc", "ABC", {0, 7}, wide, {0, 3}},
      {"after a surrogate pair", "😀x😀x", "x", {3, 3}, {}, {5, 1}},
  };
  for (const auto &c : cases)
    EXPECT_EQ(findText(toUtf16(c.text), toUtf16(c.what), c.in, c.options), c.expected) << c.name;
}

TEST(TextSearch, ReplaceAll) {
  EXPECT_EQ(replaceAllOccurrences("aXbxc", "x", "--", true), "a--b--c");
  EXPECT_EQ(replaceAllOccurrences("aXbxc", "x", "--", false), "aXb--c");
  EXPECT_EQ(replaceAllOccurrences("aaaa", "aa", "b", false), "bb");
  EXPECT_EQ(replaceAllOccurrences("tëst tëst", "ë", "", false), "tst tst");
  EXPECT_EQ(replaceAllOccurrences("abc", "", "z", false), "abc");
}

TEST(TextSearch, LinesByNumber) {
  struct Case {
    const char *text;
    long line;
    Range expected;
  };
  const Case cases[] = {
      {"one\ntwo\nthree", 1, {0, 1}},
      {"one\ntwo\nthree", 2, {4, 1}},
      {"one\ntwo\nthree", 3, {8, 1}},  // the last line, without a line feed of its own
      {"one\ntwo\nthree", 4, {12, 1}}, // beyond: the last character
      {"one\ntwo\nthree", 0, {12, 1}},
      {"one\ntwo\nthree", -3, {12, 1}},
      {"single", 1, {0, 1}},
      {"a\n\nb", 2, {2, 1}}, // an empty line: its line feed
      {"a\nb\n", 3, {4, 0}}, // the empty line after the last line feed
      {"", 1, kNone},
  };
  for (const auto &c : cases)
    EXPECT_EQ(lineSelection(toUtf16(c.text), c.line), c.expected) << c.text << " " << c.line;
}

TEST(TextSearch, ComposedSequences) {
  const std::u16string text = toUtf16("ae\u0301😀🇫🇷z");
  EXPECT_EQ(composedSequenceAt(text, 0), (Range{0, 1}));
  EXPECT_EQ(composedSequenceAt(text, 2), (Range{1, 2})); // e + combining acute
  EXPECT_EQ(composedSequenceAt(text, 4), (Range{3, 2})); // the low half of a surrogate pair
  EXPECT_EQ(composedSequenceAt(text, 7), (Range{5, 4})); // a flag: two regional indicators
  EXPECT_EQ(composedSequenceAt(text, 99), (Range{9, 1}));
  EXPECT_EQ(composedSequenceAt(u"", 0), (Range{0, 0}));
  EXPECT_EQ(fromUtf16(text), "ae\u0301😀🇫🇷z");
}
