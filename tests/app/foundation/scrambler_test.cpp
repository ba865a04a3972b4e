#include "app/foundation/Scrambler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

TEST(Scrambler, ClassicFormVectorsReadBackAndAreWrittenAlike) {
  // Values as other installations stored them: they must keep reading back, and the same
  // passwords must still scramble to the same text.
  const std::pair<std::string, std::string> vectors[] = {
      {"abc", "NVpP"},        {"a", "NJ"},
      {"ab", "NVO"},          {"xxxx", "tiI8tQ"},
      {"secret", "e9cPedc0"}, {"Pa\xC3\x9Fw\xC3\xB6rd!", "XUiYR/mnmET"},
  };
  for (const auto &[plain, stored] : vectors) {
    EXPECT_EQ(myEncryptString1(plain), stored) << plain;
    EXPECT_EQ(myDecryptString1(stored), plain) << stored;
  }
  EXPECT_EQ(myEncryptString1(""), "");
  EXPECT_EQ(myDecryptString1(""), "");
}

TEST(Scrambler, SymbolCountsAndAlphabet) {
  const size_t expected[] = {0, 2, 3, 4, 6, 7, 8, 10};
  for (size_t n = 0; n < 8; ++n) {
    const std::string scrambled = myEncryptString1(std::string(n, 'q'));
    EXPECT_EQ(scrambled.size(), expected[n]) << n;
    EXPECT_EQ(scrambled.find('='), std::string::npos);
  }
  // The alphabet is a permutation of the 64 Base64 symbols.
  std::string sorted(szBASE_64Encrypt);
  ASSERT_EQ(sorted.size(), 64u);
  std::sort(sorted.begin(), sorted.end());
  std::string usual = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::sort(usual.begin(), usual.end());
  EXPECT_EQ(sorted, usual);
}

TEST(Scrambler, EveryLatin1PasswordSurvivesInTheClassicForm) {
  std::string all;
  for (int c = 1; c < 256; ++c) {
    if (c < 0x80) {
      all += static_cast<char>(c);
    } else {
      all += static_cast<char>(0xC0 | (c >> 6));
      all += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  for (size_t len = 1; len <= 7; ++len) {
    const std::string slice = all.substr(0, len);
    EXPECT_EQ(myDecryptString1(myEncryptString1(slice)), slice);
  }
  const std::string scrambled = myEncryptString1(all);
  EXPECT_NE(scrambled[0], '=');
  EXPECT_EQ(myDecryptString1(scrambled), all);
}

TEST(Scrambler, WideAndZeroCharactersSurviveInASeparateForm) {
  const std::string passwords[] = {
      std::string("a\0b", 3),                             // code 0
      std::string("\0", 1),                               // only code 0
      "\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C", // Cyrillic
      "pw\xE2\x82\xAC",                                   // euro sign (above 255)
      "\xF0\x9F\x94\x91key",                              // a character outside the 16-bit range
      "\xE6\x97\xA5\xE6\x9C\xAC",                         // two CJK characters
  };
  for (const auto &password : passwords) {
    const std::string scrambled = myEncryptString1(password);
    ASSERT_FALSE(scrambled.empty());
    // The classic form never starts with (or holds) "=", so old readers can tell them apart.
    EXPECT_EQ(scrambled[0], '=');
    for (char c : scrambled.substr(1))
      EXPECT_NE(std::string(szBASE_64Encrypt).find(c), std::string::npos);
    EXPECT_EQ(myDecryptString1(scrambled), password);
  }
}

TEST(Scrambler, SymbolValuesAndForeignInput) {
  EXPECT_EQ(_6BitCharEncrypt('Q'), 0);
  EXPECT_EQ(_6BitCharEncrypt('w'), 1);
  EXPECT_EQ(_6BitCharEncrypt('/'), 63);
  EXPECT_EQ(_6BitCharEncrypt('='), 0);
  EXPECT_EQ(_6BitCharEncrypt('.'), -1);
  EXPECT_EQ(_6BitCharEncrypt(0x100 + 'Q'), 0); // only the low 8 bits count
  // A short last group decodes from the symbols present.
  EXPECT_EQ(myDecryptString1("NVpPNJ"), "abca");
  EXPECT_EQ(myDecryptString1("NVpPNVO"), "abcab");
  EXPECT_EQ(myDecryptString1("N=pP"), myDecryptString1("NQpP")); // "=" counts as 0
  // A symbol outside the alphabet counts as -1 (all bits set): whatever comes out, no crash and
  // no zero characters.
  const std::string junk = myDecryptString1("N.pP");
  EXPECT_EQ(junk.find('\0'), std::string::npos);
}

TEST(Scrambler, ForeignSymbolsCountByTheirLowByte) {
  // U+0151 has the low byte 0x51 ("Q", value 0): it reads as one symbol, like "Q" itself.
  EXPECT_EQ(myDecryptString1("N\xC5\x91pP"), myDecryptString1("NQpP"));
}
