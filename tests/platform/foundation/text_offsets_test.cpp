// Decoding with offsets: the bytes behind every character of the text are exactly the bytes that
// read as that character, in every kind of encoding (single byte, multi-byte, four-byte, UTF-16
// with its mark, escapes).
#include "platform/foundation/Text.h"

#include "tests/support/IconvOracle.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

struct OffsetsCase {
  const char *name;
  Encoding encoding;
  std::string bytes;
};

bool isCharStart(const std::string &text, size_t i) {
  return i == text.size() || (static_cast<uint8_t>(text[i]) & 0xC0) != 0x80;
}

} // namespace

TEST(TextOffsets, EveryCharacterOwnsTheBytesItWasReadFrom) {
  auto iconv = [](const std::string &utf8, const char *to) {
    return testsupport::iconvConvert(utf8, "UTF-8", to).value_or("");
  };
  const OffsetsCase cases[] = {
      {"utf-8", Encoding::UTF8, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"},
      {"latin 1", Encoding::ISOLatin1, "caf\xE9\n"},
      {"shift jis with a character it writes otherwise", Encoding::ShiftJIS,
       "\xBA\xA3\xB5\xED\xC7\xF8\xC7\n" + iconv("日本語", "SHIFT_JIS")},
      {"gb18030 with four-byte codes", Encoding::GB18030,
       "A\x94\x39\xFC\x36\x81\x30\x81\x30" + iconv("海淀区", "GB18030")},
      {"utf-16 with its mark", Encoding::Unicode,
       std::string("\xFF\xFE"
                   "A\0\x3D\xD8\x00\xDE\xE9\0",
                   10)},
      {"utf-16 big-endian", Encoding::UTF16BigEndian, std::string("\0A\xD8\x3D\xDE\x00", 6)},
      {"non-lossy ascii", Encoding::NonLossyASCII, "a\\u00e9b\\ud83d\\ude00"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> starts;
    auto text = decodeTextWithOffsets(reinterpret_cast<const uint8_t *>(c.bytes.data()),
                                      c.bytes.size(), c.encoding, starts);
    ASSERT_TRUE(text);
    EXPECT_EQ(text, decodeText(c.bytes, c.encoding));
    ASSERT_EQ(starts.size(), text->size() + 1);
    EXPECT_EQ(starts.back(), c.bytes.size());
    // Each character alone, read from its own bytes (after a UTF-16 mark the order is fixed).
    const Encoding alone =
        c.encoding == Encoding::Unicode ? Encoding::UTF16LittleEndian : c.encoding;
    for (size_t i = 0; i < text->size();) {
      size_t j = i + 1;
      while (!isCharStart(*text, j))
        ++j;
      const std::string bytes = c.bytes.substr(starts[i], starts[j] - starts[i]);
      EXPECT_EQ(decodeText(bytes, alone), text->substr(i, j - i)) << "at " << i;
      i = j;
    }
  }
  std::vector<uint32_t> starts;
  EXPECT_FALSE(decodeTextWithOffsets(reinterpret_cast<const uint8_t *>("\xED"), 1,
                                     Encoding::ShiftJIS, starts));
}
