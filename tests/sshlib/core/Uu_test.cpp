// uuencode and uudecode, checked against sharutils' uuencode and uudecode.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/Uu.h"
#include "tests/sshlib/core/ExternalTool.h"

using externaltool::filter;
using externaltool::randomBytes;

namespace {

std::string encode(const std::string &data, const char *mode = "644", const char *name = "x") {
  DataBuffer db;
  db.append(data.data(), static_cast<unsigned int>(data.size()));
  StringBuffer out;
  Uu().uu_encode(db, mode, name, out);
  return std::string(out.getString(), out.getSize());
}

struct Decoded {
  bool ok;
  std::string data, mode, name;
};

Decoded decode(const std::string &text) {
  DataBuffer db;
  StringBuffer mode, name;
  mode.append("stale");
  name.append("stale");
  Decoded d;
  d.ok = Uu().uu_decode2aa(text.c_str(), db, mode, name);
  d.data.assign(reinterpret_cast<const char *>(db.getData2()), db.getSize());
  d.mode = mode.getString();
  d.name = name.getString();
  return d;
}

} // namespace

TEST(Uu, EncodesLinesAndDefaults) {
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("hi"), "begin 644 x\r\n\":&D`\r\n`\r\nend\r\n");
  EXPECT_EQ(encode("hi", "  ", " "), "begin 644 file.dat\r\n\":&D`\r\n`\r\nend\r\n");
  EXPECT_EQ(encode("hi", " 755 ", " a b "), "begin 755 a b\r\n\":&D`\r\n`\r\nend\r\n");
  const std::string text = encode(std::string(46, '\0'));
  EXPECT_EQ(text.substr(0, 13), "begin 644 x\r\n");
  EXPECT_EQ(text[13], 'M') << "45 bytes on a full line";
  EXPECT_EQ(text.substr(13 + 61 + 2, 8), "!````\r\n`") << "zero values written as grave accents";
}

TEST(Uu, DecodesBeginLinesAndNames) {
  Decoded d = decode("no begin here\r\n");
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(d.mode, "");
  EXPECT_EQ(d.name, "");
  EXPECT_FALSE(decode("").ok);
  EXPECT_FALSE(decode("begin xyz\n").ok) << "no octal mode";
  EXPECT_FALSE(decode("begin 9 x\n").ok);
  EXPECT_EQ(decode("begin 7777777777777777777777 x\n`\n").mode, "37777777777") << "clamped";
  d = decode("header\nBEGIN 0755 my file.txt\r\n\":&D`\r\n`\r\nend\r\n");
  EXPECT_TRUE(d.ok);
  EXPECT_EQ(d.mode, "755");
  EXPECT_EQ(d.name, "my file.txt");
  EXPECT_EQ(d.data, "hi");
  d = decode("begin 644\n\":&D`\n");
  EXPECT_TRUE(d.ok);
  EXPECT_EQ(d.mode, "644");
  EXPECT_EQ(d.name, "");
  EXPECT_EQ(d.data, "hi") << "the end of the text ends the data";
  // Spaces and grave accents both mean 0; "end" stops the data.
  EXPECT_EQ(decode("begin 644 a\n#    \nend\n#86)C\n").data, std::string(3, '\0'));
}

TEST(Uu, ShortLinesNeverReadPastTheirEnd) {
  // The count announces 45 bytes but the line holds four characters: the rest reads as zeros.
  Decoded d = decode("begin 644 a\nM86)C\n`\nend\n");
  EXPECT_TRUE(d.ok);
  ASSERT_EQ(d.data.size(), 45u);
  EXPECT_EQ(d.data.substr(0, 3), "abc");
  EXPECT_EQ(d.data.substr(3), std::string(42, '\0'));
  // Just a count character at the end of the text.
  d = decode("begin 644 a\nM");
  EXPECT_EQ(d.data, std::string(45, '\0'));
  // An empty line ends the data.
  d = decode("begin 644 a\n\n#86)C\n");
  EXPECT_TRUE(d.ok);
  EXPECT_EQ(d.data, "");
}

TEST(Uu, AgreesWithSharutils) {
  std::mt19937 rng(5);
  for (int round = 0; round < 25; ++round) {
    const std::string data = randomBytes(rng, 1 + rng() % 500);
    int rc = -1;
    EXPECT_EQ(filter("uudecode -o /dev/stdout", encode(data, "600", "f.bin"), &rc), data);
    EXPECT_EQ(rc, 0);
    const Decoded d = decode(filter("uuencode name.bin", data));
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.data, data);
    EXPECT_EQ(d.name, "name.bin");
  }
}
