// Shift-JIS <-> ISO-2022-JP and KS C 5601 <-> ISO-2022-KR, by hand-made vectors and against
// glibc's iconv on random text.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "CodePageOracle.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/Japanese.h"

namespace {

std::string toJis(const std::string &sjis) {
  DataBuffer out;
  Japanese().ShiftJisToIso2022(reinterpret_cast<const unsigned char *>(sjis.data()),
                               (int)sjis.size(), out);
  return std::string(reinterpret_cast<const char *>(out.getData2()), out.getSize());
}

std::string fromJis(const std::string &jis) {
  DataBuffer out;
  Japanese().Iso2022ToShiftJis(reinterpret_cast<const unsigned char *>(jis.data()), (int)jis.size(),
                               out);
  return std::string(reinterpret_cast<const char *>(out.getData2()), out.getSize());
}

std::string toKr(const std::string &ksc) {
  DataBuffer out;
  Korean().KscToIso2022(reinterpret_cast<const unsigned char *>(ksc.data()), (int)ksc.size(), out);
  return std::string(reinterpret_cast<const char *>(out.getData2()), out.getSize());
}

std::string fromKr(const std::string &kr) {
  DataBuffer out;
  Korean().Iso2022ToKsc(reinterpret_cast<const unsigned char *>(kr.data()), (int)kr.size(), out);
  return std::string(reinterpret_cast<const char *>(out.getData2()), out.getSize());
}

const std::string kToKanji = "\x1B$B";
const std::string kToAscii = "\x1B(B";

TEST(Japanese, KanjiKanaAndModeSwitches) {
  EXPECT_EQ(toJis("A\x88\x9F"
                  "B"),
            "A" + kToKanji + "\x30\x21" + kToAscii + "B");
  // Voiced ka, semi-voiced ha, and a mark that does not combine.
  EXPECT_EQ(toJis("\xB6\xDE"), kToKanji + "\x25\x2C" + kToAscii);
  EXPECT_EQ(toJis("\xCA\xDF"), kToKanji + "\x25\x51" + kToAscii);
  EXPECT_EQ(toJis("\xB1\xDE"), kToKanji + "\x25\x22\x21\x2B" + kToAscii);
  // Voiced u becomes VU (Shift-JIS 83 94).
  EXPECT_EQ(toJis("\xB3\xDE"), kToKanji + "\x25\x74" + kToAscii);
  // A kana at the very end.
  EXPECT_EQ(toJis("\xA1"), kToKanji + "\x21\x23" + kToAscii);
  // IBM extension characters.
  EXPECT_EQ(toJis("\xFA\x5C"), kToKanji + "\x79\x21" + kToAscii);
  EXPECT_EQ(toJis("\xFC\x4B"), kToKanji + "\x7C\x6E" + kToAscii);
  // A line end closes kanji mode before itself; reading back, it ends kanji mode too.
  std::string j = toJis("\x88\x9F\n\x88\x9F");
  EXPECT_EQ(j, kToKanji + "\x30\x21" + kToAscii + "\n" + kToKanji + "\x30\x21" + kToAscii);
  EXPECT_EQ(fromJis(kToKanji + "\x30\x21\nA"), "\x88\x9F\nA");
  // A lead byte without its trail is dropped; nothing at all for empty input.
  EXPECT_EQ(toJis("A\x88"), "A");
  EXPECT_EQ(toJis(""), "");
  DataBuffer out;
  Japanese().ShiftJisToIso2022(nullptr, 5, out);
  EXPECT_EQ(out.getSize(), 0u);
}

TEST(Japanese, ReadingIso2022Jp) {
  EXPECT_EQ(fromJis(kToKanji + "\x79\x21" + kToAscii), "\xFA\x5C");
  EXPECT_EQ(fromJis("\x1B(I\x31"), "\xB1");
  EXPECT_EQ(fromJis("\x1B$@\x30\x21\x1B(JA"), "\x88\x9F"
                                              "A");
  // Kana mode survives a line end; kanji mode does not.
  EXPECT_EQ(fromJis("\x1B(I\x31\n\x31"), "\xB1\n\xB1");
  // Cut-short escapes end the text; an unknown escape is consumed.
  EXPECT_EQ(fromJis("A\x1B$"), "A");
  EXPECT_EQ(fromJis("A\x1B"), "A");
  EXPECT_EQ(fromJis("A\x1BxB"), "AB");
  // A lone last byte in kanji mode is dropped.
  EXPECT_EQ(fromJis(kToKanji + "\x30\x21\x30"), "\x88\x9F");
}

TEST(Japanese, EveryIbmExtensionCodeRoundTrips) {
  int n = 0;
  for (int lead = 0xFA; lead <= 0xFC; ++lead)
    for (int t = 0x40; t <= 0xFC; ++t) {
      if (t == 0x7F) continue;
      std::string s{char(lead), char(t)};
      std::string j = toJis(s);
      if (j.empty()) continue;
      std::string back = fromJis(j);
      ASSERT_EQ(j.size(), 8u) << oracle::hex(s);
      // The duplicates FA4A-FA54 and FA58-FA5B come back as their standard equivalents.
      if (lead == 0xFA && ((t >= 0x4A && t <= 0x54) || (t >= 0x58 && t <= 0x5B))) {
        auto u1 = oracle::iconvConvert("CP932", "UTF-8", s);
        auto u2 = oracle::iconvConvert("CP932", "UTF-8", back);
        ASSERT_TRUE(u1 && u2);
        EXPECT_EQ(*u1, *u2) << oracle::hex(s);
      } else {
        EXPECT_EQ(oracle::hex(back), oracle::hex(s));
      }
      ++n;
    }
  EXPECT_EQ(n, 388);
  EXPECT_EQ(oracle::hex(fromJis(kToKanji + "\x7C\x63" + kToAscii)), "FC40");
  EXPECT_EQ(oracle::hex(fromJis(kToKanji + "\x7C\x7E" + kToAscii)), "FA57");
}

TEST(Japanese, LastBlockTableIsDecodedOnceAcrossThreads) {
  std::vector<const unsigned char *> seen(8);
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; ++i)
    ts.emplace_back([&seen, i] { seen[i] = Japanese::GetSjisFrom2022_LastBlock(); });
  for (auto &t : ts)
    t.join();
  for (auto *p : seen)
    EXPECT_EQ(p, seen[0]);
  EXPECT_EQ(seen[0][0], 0xFA);
  EXPECT_EQ(seen[0][1], 0x5C);
}

TEST(Japanese, HanToZenForms) {
  Japanese j;
  int c1 = 0xB6, c2 = 0;
  const unsigned char voiced[] = {0xDE};
  EXPECT_EQ(j.HanToZen(voiced, 1, &c1, &c2, 5), 1);
  EXPECT_EQ(c1, 0x83);
  EXPECT_EQ(c2, 0x4B);
  c1 = 0xB6;
  const unsigned char eucVoiced[] = {0x8E, 0xDE};
  EXPECT_EQ(j.HanToZen(eucVoiced, 2, &c1, &c2, 4), 2);
  EXPECT_EQ(c2, 0x4B);
  c1 = 0xA7;
  EXPECT_EQ(j.HanToZen(nullptr, 0, &c1, &c2, 5), 0);
  EXPECT_EQ(c1, 0x83);
  EXPECT_EQ(c2, 0x40);
}

// Random ASCII and JIS X 0208 text: the same bytes as glibc writes.
TEST(Japanese, ShiftJisToIso2022JpMatchesIconv) {
  std::vector<std::string> chars;
  // JIS X 0208: rows 1-8 (leads 81-84) and 16-84 (leads 88-9F, E0-EA); the NEC rows in between
  // are extensions that glibc writes as their JIS X 0208 equivalents.
  for (int lead = 0x81; lead <= 0xEA; ++lead) {
    if ((lead > 0x84 && lead < 0x88) || (lead > 0x9F && lead < 0xE0)) continue;
    for (int t = 0x40; t <= 0xFC; ++t) {
      if (t == 0x7F) continue;
      std::string s{char(lead), char(t)};
      if (oracle::iconvConvert("CP932", "ISO-2022-JP", s)) chars.push_back(s);
    }
  }
  ASSERT_GT(chars.size(), 6000u);
  for (int c = 0x20; c < 0x7F; ++c)
    chars.push_back(std::string(1, char(c)));
  chars.push_back("\n");
  chars.push_back("\r\n");
  std::mt19937 rng(50220);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    int n = 1 + rng() % 200;
    for (int i = 0; i < n; ++i)
      text += chars[rng() % chars.size()];
    auto want = oracle::iconvConvert("CP932", "ISO-2022-JP", text);
    ASSERT_TRUE(want);
    ASSERT_EQ(oracle::hex(toJis(text)), oracle::hex(*want)) << oracle::hex(text);
    ASSERT_EQ(oracle::hex(fromJis(*want)), oracle::hex(text));
  }
}

TEST(Korean, Vectors) {
  EXPECT_EQ(toKr("\xB0\xA1"
                 "A"),
            "\x1B$)C\x0E\x30\x21\x0F"
            "A");
  EXPECT_EQ(fromKr("\x1B$)C\x0E\x30\x21\x0F"
                   "A"),
            "\xB0\xA1"
            "A");
  EXPECT_EQ(toKr("AB"), "\x1B$)CAB");
  EXPECT_EQ(toKr(""), "");
  // Text ending in a double-byte character ends shifted back in.
  EXPECT_EQ(toKr("A\xB0\xA1"), "\x1B$)CA\x0E\x30\x21\x0F");
  // A lone last lead byte ends the text.
  EXPECT_EQ(toKr("A\xB0"), "\x1B$)CA");
  // Reading: a stray ESC is dropped alone, a lone byte while shifted is dropped.
  EXPECT_EQ(fromKr("\x1B"
                   "A\x0E\x30"),
            "A");
  EXPECT_EQ(fromKr("\x1B$)"), "$)");
}

TEST(Korean, EucKrToIso2022KrMatchesIconv) {
  std::vector<std::string> chars;
  for (int lead = 0xA1; lead <= 0xFE; ++lead)
    for (int t = 0xA1; t <= 0xFE; ++t) {
      std::string s{char(lead), char(t)};
      if (oracle::iconvConvert("EUC-KR", "ISO-2022-KR", s)) chars.push_back(s);
    }
  ASSERT_GT(chars.size(), 8000u);
  for (int c = 0x20; c < 0x7F; ++c)
    chars.push_back(std::string(1, char(c)));
  chars.push_back("\n");
  std::mt19937 rng(50225);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    int n = 1 + rng() % 200;
    for (int i = 0; i < n; ++i)
      text += chars[rng() % chars.size()];
    auto want = oracle::iconvConvert("EUC-KR", "ISO-2022-KR", text);
    ASSERT_TRUE(want);
    std::string got = toKr(text);
    // glibc writes its announcement at the start of every text, and ends unshifted too.
    ASSERT_EQ(oracle::hex(got), oracle::hex(*want)) << oracle::hex(text);
    ASSERT_EQ(oracle::hex(fromKr(got)), oracle::hex(text));
  }
}

} // namespace
