// Case changes of plain ASCII (taken byte by byte) agree with the full mapping, which text with
// other characters still takes.
#include "platform/foundation/Text.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(TextCase, AsciiAndMixedText) {
  const struct {
    std::string text, lower, upper;
  } cases[] = {
      {"", "", ""},
      {"File-000123.DAT", "file-000123.dat", "FILE-000123.DAT"},
      {"@[`{ AZaz09~\x7f", "@[`{ azaz09~\x7f", "@[`{ AZAZ09~\x7f"},
      {"en_US.UTF-8", "en_us.utf-8", "EN_US.UTF-8"},
      {"I\xC4\xB0i", "ii\xCC\x87i", "I\xC4\xB0I"}, // dotted capital I: the full mapping
      {"Stra\xC3\x9F"
       "e.TXT",
       "stra\xC3\x9F"
       "e.txt",
       "STRASSE.TXT"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(lowercase(c.text), c.lower) << c.text;
    EXPECT_EQ(uppercase(c.text), c.upper) << c.text;
  }
}
