// The conversion engine: routes around the UTF-16 hub, byte-order marks, results of two-leg
// conversions, characters beyond U+FFFF, the Mac Arabic and Arabic-digit passes, error actions
// and the once-only building of the tables.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "CodePageOracle.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/EncodingConvert.h"
#include "sshlib/core/HashConvert.h"

using oracle::convert;
using oracle::hex;

namespace {

std::string s(std::initializer_list<int> bytes) {
  std::string r;
  for (int b : bytes)
    r.push_back(char(b));
  return r;
}

TEST(EncodingConvert, CopiesWhenNothingToConvert) {
  bool ok = false;
  std::string any = s({0x81, 0x00, 0xFF, 0x41});
  EXPECT_EQ(convert(1252, 1252, any, &ok), any);
  EXPECT_TRUE(ok);
  EXPECT_EQ(convert(0, 65001, any, &ok), any);
  EXPECT_TRUE(ok);
  EXPECT_EQ(convert(1252, 0, any, &ok), any);
  EXPECT_EQ(convert(1201, 1201, s({0x00, 0x41, 0x00, 0x42}), &ok), s({0x00, 0x41, 0x00, 0x42}));
  EXPECT_EQ(convert(65001, 1200, "", &ok), "");
  EXPECT_TRUE(ok);
  EncodingConvert ec;
  DataBuffer out;
  EXPECT_TRUE(ec.EncConvert(65001, 1200, nullptr, 5, out));
  EXPECT_EQ(out.getSize(), 0u);
}

TEST(EncodingConvert, ByteOrderMarks) {
  bool ok = false;
  EXPECT_EQ(hex(convert(65001, 1200,
                        "\xEF\xBB\xBF"
                        "A",
                        &ok)),
            "4100");
  EXPECT_EQ(convert(65001, 1200, "\xEF\xBB\xBF", &ok), "");
  EXPECT_TRUE(ok);
  // A mark overrides the declared byte order.
  EXPECT_EQ(convert(1201, 65001, s({0xFF, 0xFE, 0x41, 0x00}), &ok), "A");
  EXPECT_EQ(convert(1200, 65001, s({0xFE, 0xFF, 0x00, 0x41}), &ok), "A");
  EXPECT_EQ(convert(1201, 65001, s({0x00, 0x41, 0x00, 0x42}), &ok), "AB");
  EXPECT_TRUE(ok);
  EXPECT_EQ(convert(1200, 65001, s({0xFF, 0xFE}), &ok), "");
  EXPECT_TRUE(ok);
  // A mark before UTF-16 that stays UTF-16 is dropped.
  EXPECT_EQ(hex(convert(1201, 1200, s({0xFE, 0xFF, 0x00, 0x41}))), "4100");
  // UTF-32 big-endian: whole groups only.
  EXPECT_EQ(convert(65006, 65001, s({0, 0, 0, 0x41, 0, 0, 0, 0x42, 0}), &ok), "AB");
  EXPECT_FALSE(ok);
  EXPECT_EQ(convert(65006, 65001, s({0, 0, 0}), &ok), "");
  EXPECT_TRUE(ok);
}

TEST(EncodingConvert, Utf8AndUtf16Edges) {
  bool ok = false;
  // A bad UTF-8 byte is skipped and does not fail the conversion.
  EXPECT_EQ(hex(convert(65001, 1200, s({0xC3, 0x28}), &ok)), "2800");
  EXPECT_TRUE(ok);
  // U+0000 is dropped towards UTF-8, kept as a zero byte towards a code page.
  EXPECT_EQ(convert(1200, 65001, s({0x41, 0, 0, 0, 0x42, 0}), &ok), "AB");
  EXPECT_TRUE(ok);
  EXPECT_EQ(hex(convert(1200, 1252, s({0x41, 0, 0, 0, 0x42, 0}), &ok)), "410042");
  EXPECT_TRUE(ok);
  // Odd-length UTF-16: whole units converted, the result tells of the lost byte.
  EXPECT_EQ(convert(1200, 65001, s({0x41, 0, 0x42, 0, 0x43}), &ok), "AB");
  EXPECT_FALSE(ok);
  EXPECT_EQ(convert(1200, 65001, s({0x41}), &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(convert(1200, 1252, s({0x41, 0, 0x42}), &ok), "A");
  EXPECT_FALSE(ok);
  EXPECT_EQ(convert(1201, 65001, s({0, 0x41, 0}), &ok), "A");
  EXPECT_FALSE(ok);
  // A lone surrogate is no character.
  EXPECT_EQ(hex(convert(1200, 65001, s({0x3D, 0xD8, 0x41, 0}))), "EFBFBD41");
  EXPECT_EQ(hex(convert(1200, 65001, s({0x00, 0xDE}))), "EFBFBD");
}

TEST(EncodingConvert, CharactersBeyondBmpSurviveTheHub) {
  bool ok = false;
  const std::string smile = "\xF0\x9F\x98\x80";
  EXPECT_EQ(hex(convert(65001, 1200, smile, &ok)), "3DD800DE");
  EXPECT_TRUE(ok);
  EXPECT_EQ(convert(1200, 65001, s({0x3D, 0xD8, 0x00, 0xDE}), &ok), smile);
  EXPECT_TRUE(ok);
  EXPECT_EQ(hex(convert(65001, 1201, smile)), "D83DDE00");
  EXPECT_EQ(hex(convert(65001, 65005, smile)), "00F60100");
  EXPECT_EQ(hex(convert(65001, 65006, smile)), "0001F600");
  EXPECT_EQ(convert(65005, 65001, s({0x00, 0xF6, 0x01, 0x00})), smile);
  EXPECT_EQ(convert(65000, 65001, convert(65001, 65000, "a" + smile + "b")), "a" + smile + "b");
  // The old unit-by-unit form of a pair (two 3-byte sequences) still reads as the pair.
  EXPECT_EQ(hex(convert(65001, 1200, s({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}))), "3DD800DE");
  // An encoded surrogate on its own is no character.
  EXPECT_EQ(hex(convert(65001, 1200, s({0xED, 0xB8, 0x80}))), "FDFF");
  // Towards a code page it is unmappable.
  EXPECT_EQ(convert(65001, 1252, "A" + smile, &ok), "A");
  EXPECT_FALSE(ok);
}

TEST(EncodingConvert, TwoLegConversionsCombineBothResults) {
  bool ok = true;
  // 0x81 has no character in Windows-1252.
  EXPECT_EQ(convert(1252, 1200, "A\x81", &ok), std::string("A\0", 2));
  EXPECT_FALSE(ok);
  EXPECT_EQ(convert(1252, 65001,
                    "A\x81"
                    "B",
                    &ok),
            "AB");
  EXPECT_FALSE(ok);
  EXPECT_EQ(convert(1252, 1251, "A\x81", &ok), "A");
  EXPECT_FALSE(ok);
  // Whatever could be converted stays, towards the UTF-16BE, UTF-7 and UTF-32 forms too.
  EXPECT_EQ(hex(convert(1252, 1201, "A\x81", &ok)), "0041");
  EXPECT_FALSE(ok);
  EXPECT_EQ(convert(1252, 65000, "A\x81", &ok), "A");
  EXPECT_FALSE(ok);
  EXPECT_EQ(hex(convert(1252, 65005, "A\x81", &ok)), "41000000");
  EXPECT_FALSE(ok);
  // And a complete conversion is still complete.
  EXPECT_EQ(convert(1252, 65001, "\x80", &ok), "\xE2\x82\xAC");
  EXPECT_TRUE(ok);
  EXPECT_EQ(hex(convert(1252, 1201, "\x80", &ok)), "20AC");
  EXPECT_TRUE(ok);
  EXPECT_EQ(hex(convert(65001, 65005, "A\xC3\xA9")), "41000000E9000000");
}

TEST(EncodingConvert, MacArabicAndArabicDigits) {
  bool ok = false;
  EXPECT_EQ(convert(10004, 65001, "\xB1\xB2\xB3", &ok), "321");
  EXPECT_TRUE(ok);
  // Runs end at a byte that is not right-to-left; single bytes stay.
  EXPECT_EQ(convert(10004, 65001, "A\xB1\xB2 \xB3"), "A21 3");
  // Right-to-left punctuation is folded onto ASCII: 0xAC (Arabic comma) is not.
  EXPECT_EQ(convert(10004, 65001, "\xA1\xA2"), "\"!");
  EXPECT_EQ(convert(10004, 1200, "\xAC"), convert(28596, 1200, "\xAC"));
  // Arabic-Indic digits are written as ASCII digits in the two Arabic code pages only.
  EXPECT_EQ(convert(1200, 28596, s({0x63, 0x06}), &ok), "3");
  EXPECT_TRUE(ok);
  EXPECT_EQ(convert(1200, 1256, s({0x60, 0x06, 0xF9, 0x06}), &ok), "09");
  EXPECT_EQ(convert(65001, 1256, "\xD9\xA3"), "3");
  EXPECT_EQ(convert(1200, 864, s({0x63, 0x06})), convert(65001, 864, "\xD9\xA3"));
}

// Which Mac Arabic bytes count as right-to-left, byte by byte: a flagged byte between two
// right-to-left digits joins their run, so the run comes out reversed.
TEST(EncodingConvert, MacArabicRightToLeftBytes) {
  auto flagged = [](int b) {
    return b == 0x81 || b == 0x8C || b == 0x93 || b == 0x98 || b == 0x9B ||
           (b >= 0xA0 && b <= 0xA4) || (b >= 0xA6 && b <= 0xAB) || (b >= 0xAD && b <= 0xBA) ||
           (b >= 0xBC && b <= 0xBE) || b == 0xC0 || (b >= 0xDB && b <= 0xDF) ||
           (b >= 0xFB && b <= 0xFD);
  };
  int count = 0;
  for (int b = 0x20; b <= 0xFF; ++b) {
    const std::string out = convert(10004, 65001, s({0xB1, b, 0xB2}));
    ASSERT_FALSE(out.empty()) << b;
    EXPECT_EQ(out.front() == '2', flagged(b)) << std::hex << b << " gave " << hex(out);
    count += flagged(b);
  }
  EXPECT_EQ(count, 42);
  // A control byte ends a run.
  EXPECT_EQ(convert(10004, 65001, s({0xB1, 0xB2, 0x0A, 0xB3, 0xB4})), "21\n43");
}

TEST(EncodingConvert, EscapeSequenceForms) {
  bool ok = false;
  const std::string jis = "\x1B$B\x30\x21\x1B(B";
  EXPECT_EQ(convert(50220, 65001, jis, &ok), "\xE4\xBA\x9C");
  EXPECT_TRUE(ok);
  EXPECT_EQ(convert(65001, 50220, "\xE4\xBA\x9C", &ok), jis);
  EXPECT_TRUE(ok);
  EXPECT_EQ(convert(65001, 50222, "A"), "A");
  EXPECT_EQ(convert(50221, 65001, "\x1B(I\x31"), "\xEF\xBD\xB1");
  EXPECT_EQ(convert(50220, 65001, "\x1B$B", &ok), "");
  EXPECT_TRUE(ok);
  const std::string kr = "\x1B$)C\x0E\x30\x21\x0F";
  EXPECT_EQ(convert(50225, 65001, kr, &ok), "\xEA\xB0\x80");
  EXPECT_EQ(convert(65001, 50225, "\xEA\xB0\x80", &ok), kr);
  EXPECT_TRUE(ok);
  // Unmappable text towards ISO-2022-JP: the rest is written, the result is false.
  EXPECT_EQ(convert(65001, 50220,
                    "A\xEA\xB0\x80"
                    "B",
                    &ok),
            "AB");
  EXPECT_FALSE(ok);
}

TEST(EncodingConvert, CodePagesWithoutTables) {
  bool ok = true;
  EXPECT_EQ(convert(65001, 52936, "A", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(convert(12345, 65001, "A", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(convert(65001, 28600, "A", &ok), "");
  EXPECT_FALSE(ok);
  EncodingConvert ec;
  DataBuffer out;
  EXPECT_FALSE(ec.ChConvert2("no-such-charset", 65001, (const unsigned char *)"A", 1, out));
  EXPECT_EQ(out.getSize(), 0u);
  EXPECT_TRUE(ec.ChConvert2("Latin-1", 65001, (const unsigned char *)"\xE9", 1, out));
  EXPECT_EQ(std::string((char *)out.getData2(), out.getSize()), "\xC3\xA9");
  out.clear();
  EXPECT_TRUE(ec.AnsiToMultiByte(65001, "\x80", 1, out)); // ANSI is ISO-8859-1: U+0080
  EXPECT_EQ(std::string((char *)out.getData2(), out.getSize()), "\xC2\x80");
}

TEST(EncodingConvert, Utf8UnitDecoder) {
  unsigned short u = 0;
  EXPECT_EQ(EncodingUtf8::fromMB((const unsigned char *)"A", 1, u), 1);
  EXPECT_EQ(u, 'A');
  EXPECT_EQ(EncodingUtf8::fromMB((const unsigned char *)"\xC3\xA9", 2, u), 2);
  EXPECT_EQ(u, 0xE9);
  EXPECT_EQ(EncodingUtf8::fromMB((const unsigned char *)"\xE2\x82\xAC", 3, u), 3);
  EXPECT_EQ(u, 0x20AC);
  EXPECT_EQ(EncodingUtf8::fromMB((const unsigned char *)"\xE2\x82", 2, u), -2);
  EXPECT_EQ(EncodingUtf8::fromMB((const unsigned char *)"\xE0\x80\x80", 3, u), -1);
  EXPECT_EQ(EncodingUtf8::fromMB((const unsigned char *)"\xC1\xBF", 2, u), -1);
  EXPECT_EQ(EncodingUtf8::fromMB((const unsigned char *)"\xF0\x9F\x98\x80", 4, u), -1);
  EXPECT_TRUE(EncodingUtf8::isUtf8());
  DataBuffer h;
  EncodingConvert::appendHexData((const unsigned char *)"\x00\xAB\x9F", 3, h);
  EXPECT_EQ(std::string((char *)h.getData2(), h.getSize()), "00AB9F");
}

std::string withAction(int action, int from, int to, const std::string &in, bool *ok, int alt = 0) {
  EncodingConvert ec;
  ec.setErrorAction(action);
  ec.setSubstitutionBytes((const unsigned char *)"?", 1);
  ec.setAltCodePage(alt);
  DataBuffer out;
  *ok = ec.EncConvert(from, to, (const unsigned char *)in.data(), (unsigned int)in.size(), out);
  return std::string((char *)out.getData2(), out.getSize());
}

TEST(EncodingConvert, ErrorActions) {
  bool ok = true;
  // To Unicode, in the first of two legs: the bytes reach the output where the unit was.
  EXPECT_EQ(withAction(1, 1252, 65001,
                       "A\x81"
                       "B",
                       &ok),
            "A?B");
  EXPECT_FALSE(ok);
  EXPECT_EQ(withAction(2, 1252, 65001,
                       "A\x81"
                       "B",
                       &ok),
            "A&#x81;B");
  EXPECT_EQ(withAction(7, 1252, 1251,
                       "A\x81"
                       "B",
                       &ok),
            "A\x81"
            "B");
  EXPECT_EQ(withAction(8, 1252, 65001,
                       "A\x81"
                       "B",
                       &ok),
            "A\xC2\x81"
            "B");
  EXPECT_FALSE(ok);
  EXPECT_EQ(withAction(2, 1252, 65001, "\x81", &ok), "&#x81;");
  // 0x85 0x40 has no character. The offending unit is both bytes: their nested conversion drops
  // 0x85 and gives "@"; the engine then moves on one byte, so the trail byte reads as "@" again.
  EXPECT_EQ(withAction(6, 932, 65001,
                       "A\x85\x40"
                       "B",
                       &ok, 1252),
            "A@@B");
  // Direct to UTF-16: the substitute is written as it is.
  EXPECT_EQ(hex(withAction(1, 1252, 1200, "\x81", &ok)), "3F");
  // From Unicode, directly and as the second leg.
  EXPECT_EQ(withAction(1, 1200, 1252, s({0x41, 0, 0x00, 0x4E, 0x42, 0}), &ok), "A?B");
  EXPECT_FALSE(ok);
  EXPECT_EQ(withAction(2, 1200, 1252, s({0x00, 0x4E}), &ok), "&#x004E;");
  EXPECT_EQ(withAction(2, 65001, 1252,
                       "A\xE4\xB8\x80"
                       "B",
                       &ok),
            "A&#xE4B880;B");
  EXPECT_EQ(withAction(7, 65001, 1252,
                       "A\xE4\xB8\x80"
                       "B",
                       &ok),
            "A\xE4\xB8\x80"
            "B");
  EXPECT_EQ(withAction(6, 65001, 1252, "A\xE4\xB8\x80", &ok, 932), "A\x88\xEA");
  EXPECT_FALSE(ok);
  // Invalid UTF-8 with an action set fails the conversion.
  EXPECT_EQ(withAction(1, 65001, 1200, "\xFF", &ok), "?");
  EXPECT_FALSE(ok);
  // A substitution longer than 100 bytes is cut to 100.
  EncodingConvert ec;
  std::string big(150, 'x');
  ec.setErrorAction(1);
  ec.setSubstitutionBytes((const unsigned char *)big.data(), 150);
  DataBuffer out;
  ec.EncConvert(1200, 1252, (const unsigned char *)"\x00\x4E", 2, out);
  EXPECT_EQ(out.getSize(), 100u);
}

// Invisible and other characters a code page lacks: a conversion either carries every character
// (its bytes read back as the text) or says it did not; the whole-text form writes nothing then.
TEST(EncodingConvert, ACharacterThatIsLeftOutIsNeverASuccess) {
  const char *const kTexts[] = {
      "a\u200Bb", "a\u200Cb", "a\u200Db", "a\u2060b",     "a\uFEFFb", "\uFEFFab",  "a\u00ADb",
      "a\u034Fb", "a\u180Eb", "a\uFE0Fb", "a\U000E0001b", "a\u0E01b", "caf\u00E9",
  };
  const int kCodePages[] = {1252,  28591, 28592, 1250, 1251,  1253,  20866, 932,
                            51932, 936,   949,   950,  54936, 50220, 65001, 1200};
  for (const char *text : kTexts) {
    const std::string u8 = text;
    for (int cp : kCodePages) {
      SCOPED_TRACE(hex(u8) + " to " + std::to_string(cp));
      bool ok = false;
      const std::string bytes = convert(65001, cp, u8, &ok);
      const bool back = convert(cp, 65001, bytes) == u8;
      // A conversion that reports success gave bytes that read back, a leading mark aside
      // (the engine skips one by rule); the whole-text form accepts only bytes that read back.
      if (ok && u8.rfind("\xEF\xBB\xBF", 0) != 0) {
        EXPECT_TRUE(back) << hex(bytes);
      }
      DataBuffer out;
      out.append("x", 1);
      const bool whole = EncodingConvert::fromUtf8Whole(
          cp, reinterpret_cast<const unsigned char *>(u8.data()), unsigned(u8.size()), out);
      EXPECT_EQ(whole, ok && back);
      const std::string got(reinterpret_cast<const char *>(out.getData2()), out.getSize());
      EXPECT_EQ(got, whole ? "x" + bytes : "x");
    }
  }
  // The Western pages carry the soft hyphen and é as single bytes, never the zero-width space.
  for (int cp : {1252, 28591}) {
    DataBuffer out;
    const std::string soft = "a\u00ADb\u00E9", zero = "a\u200Bb";
    EXPECT_TRUE(EncodingConvert::fromUtf8Whole(
        cp, reinterpret_cast<const unsigned char *>(soft.data()), unsigned(soft.size()), out));
    EXPECT_EQ(hex(std::string(reinterpret_cast<const char *>(out.getData2()), out.getSize())),
              "61AD62E9");
    EXPECT_FALSE(EncodingConvert::fromUtf8Whole(
        cp, reinterpret_cast<const unsigned char *>(zero.data()), unsigned(zero.size()), out));
  }
}

TEST(EncodingConvert, TablesAreBuiltOnceEvenUnderConcurrentFirstUse) {
  const int cps[] = {932, 936, 949, 950, 1361, 10001, 51932, 51936, 51949, 1250, 37, 20290};
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> results(6);
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&, t] {
      for (int cp : cps) {
        std::string u8 = "A\xE4\xBA\x9C\xE3\x81\x82\xEA\xB0\x80\xC3\xA9";
        results[t].push_back(convert(65001, cp, u8) + "|" +
                             convert(cp, 65001, convert(65001, cp, u8)));
      }
    });
  for (auto &th : threads)
    th.join();
  for (int t = 1; t < 6; ++t)
    EXPECT_EQ(results[t], results[0]);
  const HashConvert *before = EncodingConvert::hashFromUnicode(932);
  ASSERT_NE(before, nullptr);
  convert(65001, 932, "\xE4\xBA\x9C");
  EXPECT_EQ(EncodingConvert::hashFromUnicode(932), before);
  EXPECT_EQ(EncodingConvert::hashToUnicode(936), EncodingConvert::hashToUnicode(52936));
  EXPECT_EQ(EncodingConvert::hashToUnicode(1252), nullptr);
}

} // namespace
