// Header fields as the PEM reader meets them, folded values, and the body after the header.
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/MimeParser.h"
#include "sshlib/core/StringBuffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string field(const char *header, const char *name, bool *found = nullptr) {
  StringBuffer out;
  bool ok = MimeParser::getHeaderField(header, name, out);
  if (found) *found = ok;
  return out.getString();
}

TEST(MimeFields, FirstLineOrAfterALineFeedInAnyCase) {
  const char *pem = "Proc-Type: 4,ENCRYPTED\r\nDEK-Info: DES-EDE3-CBC,0011223344556677\r\n\r\nAAAA";
  EXPECT_EQ(field(pem, "Proc-Type"), "4,ENCRYPTED\r\n");
  EXPECT_EQ(field(pem, "proc-type"), "4,ENCRYPTED\r\n");
  EXPECT_EQ(field(pem, "DEK-Info"), "DES-EDE3-CBC,0011223344556677\r\n");
  EXPECT_EQ(field(pem, "dek-INFO"), "DES-EDE3-CBC,0011223344556677\r\n");
  bool found = true;
  StringBuffer out("kept");
  EXPECT_FALSE(MimeParser::getHeaderField(pem, "Missing", out));
  EXPECT_STREQ(out.getString(), "kept");
  EXPECT_FALSE(MimeParser::getHeaderField(nullptr, "a", out));
  EXPECT_FALSE(MimeParser::getHeaderField(pem, nullptr, out));
  // The output is appended to, not cleared.
  EXPECT_TRUE(MimeParser::getHeaderField(pem, "Proc-Type", out));
  EXPECT_STREQ(out.getString(), "kept4,ENCRYPTED\r\n");
  // A name that only appears inside another field's value is not a field.
  field("X: DEK-Info: no\n", "DEK-Info", &found);
  EXPECT_FALSE(found);
  // Only the first matching field counts.
  EXPECT_EQ(field("a: 1\na: 2\n", "a"), "1\n");
}

TEST(MimeFields, BlanksAndFoldedLines) {
  EXPECT_EQ(field("Name:value\n", "Name"), "value\n");
  EXPECT_EQ(field("Name:  two\n", "Name"), " two\n");
  EXPECT_EQ(field("Name:\tx\n", "Name"), "\tx\n") << "only a blank is skipped";
  EXPECT_EQ(field("Name: one\n\ttwo\n three\nNext: n\n", "Name"), "one\n\ttwo\n three\n");
  EXPECT_EQ(field("Name: to the end", "Name"), "to the end");
  std::string longValue(1000, 'v');
  EXPECT_EQ(field(("Name: " + longValue + "\n").c_str(), "Name"), longValue + "\n");
  StringBuffer out;
  MimeParser::getFieldValue("no colon here", out);
  MimeParser::getFieldValue(nullptr, out);
  EXPECT_EQ(out.getSize(), 0);
}

std::string after(const std::string &text, bool *ok) {
  DataBuffer out;
  *ok = MimeParser::getEntireAfterHeader(text.data(), static_cast<int>(text.size()), out);
  return std::string(reinterpret_cast<const char *>(out.getData2()), out.getSize());
}

TEST(MimeBody, EverythingAfterTheBlankLine) {
  bool ok = false;
  EXPECT_EQ(after("A: 1\r\nB: 2\r\n\r\nbody\r\nmore", &ok), "body\r\nmore");
  EXPECT_TRUE(ok);
  EXPECT_EQ(after("\r\n\r\nx", &ok), "x");
  EXPECT_TRUE(ok);
  after("A: 1\r\n\r\n", &ok);
  EXPECT_FALSE(ok) << "a blank line in the last four bytes is not found";
  after("\r\n\r", &ok);
  EXPECT_FALSE(ok);
  after("abcd", &ok);
  EXPECT_FALSE(ok);
  after("A: 1\n\nbody", &ok);
  EXPECT_FALSE(ok) << "LF alone does not end the header";
  DataBuffer out;
  EXPECT_FALSE(MimeParser::getEntireAfterHeader(nullptr, 10, out));
}

TEST(MimeBody, NulBeforeTheBlankLineStops) {
  bool ok = true;
  std::string text("A: 1", 4);
  text += '\0';
  text += "xyz\r\n\r\nbody";
  EXPECT_EQ(after(text, &ok), "");
  EXPECT_FALSE(ok);
  // A NUL inside the body is fine: the scan has already stopped at the blank line.
  std::string withBody = std::string("H: v\r\n\r\nab") + '\0' + "cd";
  EXPECT_EQ(after(withBody, &ok), std::string("ab\0cd", 5));
  EXPECT_TRUE(ok);
  // Near the end of a buffer with no NUL terminator.
  std::string unterminated("xx\0", 3);
  DataBuffer out;
  EXPECT_FALSE(MimeParser::getEntireAfterHeader(unterminated.data(), 3, out));
}

} // namespace
