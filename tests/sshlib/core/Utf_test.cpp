// UTF-7, UTF-8 and UTF-32 converters, checked against glibc's iconv as the reference decoder.
#include <gtest/gtest.h>

#include <iconv.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/Utf.h"

namespace {

std::string str(const DataBuffer &db) {
  return std::string(reinterpret_cast<const char *>(db.getData2()), db.getSize());
}

void set(DataBuffer &db, const std::string &s) {
  db.clear();
  db.append(s.data(), static_cast<unsigned int>(s.size()));
}

std::string u16(std::u16string s) {
  std::string out;
  for (char16_t c : s) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

// Whole-input conversion through iconv; ok is false when iconv rejects any of it.
std::string viaIconv(const char *from, const char *to, const std::string &in, bool &ok) {
  iconv_t cd = iconv_open(to, from);
  ok = cd != reinterpret_cast<iconv_t>(-1);
  if (!ok) return "";
  std::string out(in.size() * 4 + 64, '\0');
  char *ip = const_cast<char *>(in.data());
  size_t il = in.size();
  char *op = out.data();
  size_t ol = out.size();
  if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) ok = false;
  if (ok && iconv(cd, nullptr, nullptr, &op, &ol) == static_cast<size_t>(-1)) ok = false;
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

std::string toUtf7(const std::string &utf16) {
  DataBuffer in, out;
  set(in, utf16);
  EXPECT_TRUE(Utf::UnicodeToUtf7(in, out));
  return str(out);
}

std::string fromUtf7(const std::string &utf7, bool &ok) {
  DataBuffer in, out;
  set(in, utf7);
  ok = Utf::Utf7ToUnicode(in, out);
  EXPECT_EQ(str(in), utf7) << "the input is left as it was";
  return str(out);
}

// Random UTF-16LE text: ASCII (every character, shifted ones included), BMP characters and
// surrogate pairs, never a lone surrogate.
std::string randomUtf16(std::mt19937 &rng, int units) {
  std::u16string s;
  while (static_cast<int>(s.size()) < units) {
    switch (rng() % 4) {
    case 0:
    case 1:
      s += static_cast<char16_t>(1 + rng() % 0x7F);
      break;
    case 2: {
      char16_t c = static_cast<char16_t>(0x80 + rng() % (0xFFFE - 0x80));
      if (c >= 0xD800 && c <= 0xDFFF) c = 0x263A;
      s += c;
      break;
    }
    default: {
      const unsigned v = rng() % 0x100000;
      s += static_cast<char16_t>(0xD800 + (v >> 10));
      s += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    }
    }
  }
  return u16(s);
}

std::string utf32le(std::initializer_list<unsigned> cps) {
  std::string s;
  for (unsigned v : cps)
    for (int k = 0; k < 4; ++k)
      s += static_cast<char>((v >> (8 * k)) & 0xFF);
  return s;
}

std::string utf32ToUtf8(const std::string &in, bool *ok = nullptr) {
  DataBuffer a, b;
  set(a, in);
  const bool r = Utf::Utf32ToUtf8(a, b);
  if (ok) *ok = r;
  return str(b);
}

std::string utf8ToUtf32(const std::string &in, bool &ok, bool bigEndian = false) {
  DataBuffer a, b;
  set(a, in);
  ok = bigEndian ? Utf::Utf8toUtf32BE(a, b) : Utf::Utf8toUtf32(a, b);
  return str(b);
}

} // namespace

TEST(Utf7, TablesAreBuiltOnceWhenThreadsStartTogether) {
  // Each test runs in a fresh process: here the tables are first needed by eight threads at
  // once (a ThreadSanitizer build checks the build-once guard).
  std::vector<std::thread> threads;
  std::vector<int> results(8, 0);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&results, i] {
      DataBuffer in, out, back;
      const std::string text = u16(u"caf\u00E9 +1 \u263A");
      in.append(text.data(), static_cast<unsigned int>(text.size()));
      Utf::UnicodeToUtf7(in, out);
      results[i] = Utf::Utf7ToUnicode(out, back) && str(back) == text ? 1 : 0;
    });
  }
  for (auto &t : threads)
    t.join();
  for (int r : results)
    EXPECT_EQ(r, 1);
}

TEST(Utf7, EncodesShiftedRunsAndPlusSigns) {
  EXPECT_EQ(toUtf7(u16(u"A+B")), "A+-B");
  EXPECT_EQ(toUtf7(u16(u"Hi Mom -\u263A-!")), "Hi Mom -+Jjo--+ACE-");
  EXPECT_EQ(toUtf7(u16(u"\u00E9")), "+AOk-");
  // A leading byte-order mark is dropped; alone it gives nothing.
  EXPECT_EQ(toUtf7(u16(u"\uFEFFa")), "a");
  EXPECT_EQ(toUtf7(u16(u"\uFEFF")), "");
  // An odd last byte is ignored; U+0000 is shifted.
  EXPECT_EQ(toUtf7(u16(u"a") + "x"), "a");
  EXPECT_EQ(toUtf7(std::string("\0\0", 2)), "+AAA-");
}

TEST(Utf7, DecodesRunsAndReportsMalformedInput) {
  bool ok;
  EXPECT_EQ(fromUtf7("+-", ok), u16(u"+"));
  EXPECT_TRUE(ok);
  EXPECT_EQ(fromUtf7("+AOk-x", ok), u16(u"\u00E9x"));
  EXPECT_TRUE(ok);
  EXPECT_EQ(fromUtf7("+AOk", ok), u16(u"\u00E9"));
  EXPECT_TRUE(ok);
  EXPECT_EQ(fromUtf7("+!", ok), u16(u"!"));
  EXPECT_FALSE(ok);
  EXPECT_EQ(fromUtf7("+AOl-", ok), u16(u"\u00E9"));
  EXPECT_FALSE(ok) << "non-zero leftover bits";
  EXPECT_EQ(fromUtf7("", ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(fromUtf7(std::string("a\0b", 3), ok), u16(u"ab")) << "zero bytes are dropped";
  EXPECT_TRUE(ok);
  EXPECT_EQ(fromUtf7("\xE9", ok), u16(u"\u00E9"));
  EXPECT_FALSE(ok) << "8-bit bytes are not UTF-7";
}

TEST(Utf7, BytesAboveAsciiInsideARunEndTheRunSafely) {
  // Every byte from 0x80 up lies outside the 128-entry Base64 table: it ends the run and is then
  // taken as an ordinary (illegal) byte.
  for (int b = 0x80; b <= 0xFF; ++b) {
    bool ok;
    const std::string out = fromUtf7(std::string("+AOk") + static_cast<char>(b) + "-", ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, u16(u"\u00E9") + u16(std::u16string(1, static_cast<char16_t>(b))) + u16(u"-"));
  }
}

TEST(Utf7, AgreesWithIconvBothWays) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    const std::string text = randomUtf16(rng, 1 + static_cast<int>(rng() % 40));
    // Ours encoded, iconv decodes.
    const std::string encoded = toUtf7(text);
    bool iok;
    EXPECT_EQ(viaIconv("UTF-7", "UTF-16LE", encoded, iok), text) << encoded;
    EXPECT_TRUE(iok) << encoded;
    // Ours decodes ours.
    bool ok;
    EXPECT_EQ(fromUtf7(encoded, ok), text);
    EXPECT_TRUE(ok) << encoded;
    // iconv encoded, ours decodes.
    const std::string theirs = viaIconv("UTF-16LE", "UTF-7", text, iok);
    ASSERT_TRUE(iok);
    EXPECT_EQ(fromUtf7(theirs, ok), text) << theirs;
    EXPECT_TRUE(ok) << theirs;
  }
}

TEST(Utf8Rules, SequenceLengthsAndLegality) {
  const unsigned char c3a9[] = {0xC3, 0xA9};
  EXPECT_EQ(Utf::NumUtf8Bytes(c3a9, 2), 2);
  EXPECT_EQ(Utf::NumUtf8Bytes(c3a9, 1), 1);
  EXPECT_EQ(Utf::NumUtf8Bytes(c3a9, 0), 0);
  EXPECT_EQ(Utf::NumUtf8Bytes(nullptr, 5), 0);
  const unsigned char c080[] = {0xC0, 0x80};
  EXPECT_EQ(Utf::NumUtf8Bytes(c080, 2), 1);
  const unsigned char f4908080[] = {0xF4, 0x90, 0x80, 0x80};
  EXPECT_EQ(Utf::NumUtf8Bytes(f4908080, 4), 1);
  const unsigned char e282ac[] = {0xE2, 0x82, 0xAC};
  EXPECT_EQ(Utf::NumUtf8Bytes(e282ac, 2), 2) << "cut short: the bytes available";
  const unsigned char f8[] = {0xF8, 0x88, 0x80, 0x80, 0x80};
  EXPECT_EQ(Utf::NumUtf8Bytes(f8, 5), 1);

  const unsigned char e08080[] = {0xE0, 0x80, 0x80};
  EXPECT_FALSE(Utf::isLegalUtf8(e08080, 3)) << "overlong";
  const unsigned char f08f[] = {0xF0, 0x8F, 0xBF, 0xBF};
  EXPECT_FALSE(Utf::isLegalUtf8(f08f, 4)) << "overlong";
  const unsigned char f48f[] = {0xF4, 0x8F, 0xBF, 0xBF};
  EXPECT_TRUE(Utf::isLegalUtf8(f48f, 4));
  const unsigned char eda080[] = {0xED, 0xA0, 0x80};
  EXPECT_TRUE(Utf::isLegalUtf8(eda080, 3)) << "the sequence rule itself does not single out ED";
  EXPECT_FALSE(Utf::isLegalUtf8(f8, 5));
  EXPECT_FALSE(Utf::isLegalUtf8(c3a9, 0));
}

TEST(Utf32, Utf8ToUtf32ExamplesAndTruncation) {
  bool ok;
  EXPECT_EQ(utf8ToUtf32("a\xE2\x82\xAC", ok), utf32le({0x61, 0x20AC}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(utf8ToUtf32("a\xE2\x82", ok), utf32le({0x61}));
  EXPECT_FALSE(ok);
  EXPECT_EQ(utf8ToUtf32("", ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(utf8ToUtf32("a\x80z", ok), utf32le({0x61}));
  EXPECT_FALSE(ok);
  // Beyond the BMP: one unit of four bytes.
  EXPECT_EQ(utf8ToUtf32("\xF0\x9F\x98\x80", ok), utf32le({0x1F600}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(utf8ToUtf32("\xF0\x9F\x98\x80", ok, true), std::string("\x00\x01\xF6\x00", 4));
  // An encoded surrogate is no character: it reads as U+FFFD.
  EXPECT_EQ(utf8ToUtf32("\xED\xA0\x80x", ok), utf32le({0xFFFD, 'x'}));
  EXPECT_TRUE(ok);
}

TEST(Utf32, Utf32ToUtf8ExamplesAndReplacement) {
  EXPECT_EQ(utf32ToUtf8(utf32le({0x00200000})), "\xEF\xBF\xBD");
  EXPECT_EQ(utf32ToUtf8(utf32le({0x10FFFF})), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(utf32ToUtf8(utf32le({0x41, 0xE9, 0x20AC, 0x1F600})),
            "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  // Values that would make illegal UTF-8 become U+FFFD.
  EXPECT_EQ(utf32ToUtf8(utf32le({0xD800, 0xDFFF, 0x110000, 0x1FFFFF, 0xFFFFFFFF})),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  bool ok;
  EXPECT_EQ(utf32ToUtf8("abc", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(utf32ToUtf8("", &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(utf32ToUtf8(utf32le({0x41}) + "x", &ok), "A") << "a trailing partial unit is dropped";
  EXPECT_TRUE(ok);
}

TEST(Utf32, AgreesWithIconvOnRandomText) {
  std::mt19937 rng(32);
  for (int round = 0; round < 300; ++round) {
    // Random code points, surrogates excluded: both directions must match iconv exactly.
    std::string u32;
    for (int i = 0, n = 1 + static_cast<int>(rng() % 30); i < n; ++i) {
      unsigned v;
      do {
        v = rng() % 4 == 0 ? rng() % 0x80 : rng() % 0x110000;
      } while (v >= 0xD800 && v <= 0xDFFF);
      u32 += utf32le({v});
    }
    bool iok;
    const std::string ref8 = viaIconv("UTF-32LE", "UTF-8", u32, iok);
    ASSERT_TRUE(iok);
    EXPECT_EQ(utf32ToUtf8(u32), ref8);
    bool ok;
    EXPECT_EQ(utf8ToUtf32(ref8, ok), u32);
    EXPECT_TRUE(ok);
    EXPECT_EQ(utf8ToUtf32(ref8, ok, true), viaIconv("UTF-8", "UTF-32BE", ref8, iok));
  }
  // Random bytes: whatever we accept, iconv accepts with the same result.
  for (int round = 0; round < 2000; ++round) {
    std::string bytes;
    for (int i = 0, n = static_cast<int>(rng() % 12); i < n; ++i) {
      const unsigned pick = rng() % 3;
      bytes += static_cast<char>(pick == 0   ? rng() % 0x80
                                 : pick == 1 ? 0x80 + rng() % 0x40
                                             : 0xC0 + rng() % 0x40);
    }
    bool ok;
    const std::string ours = utf8ToUtf32(bytes, ok);
    bool iok;
    const std::string ref = viaIconv("UTF-8", "UTF-32LE", bytes, iok);
    bool surrogate = false;
    for (size_t i = 0; i + 1 < bytes.size(); ++i)
      if (static_cast<unsigned char>(bytes[i]) == 0xED &&
          (static_cast<unsigned char>(bytes[i + 1]) & 0xE0) == 0xA0)
        surrogate = true;
    if (ok && !surrogate) {
      EXPECT_TRUE(iok);
      EXPECT_EQ(ours, ref);
    }
    if (iok) {
      EXPECT_TRUE(ok);
      EXPECT_EQ(ours, ref);
    }
  }
}
