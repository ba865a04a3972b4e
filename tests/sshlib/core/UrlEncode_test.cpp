// URL (form) encoding.
#include <gtest/gtest.h>

#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/UrlEncode.h"

namespace {

std::string enc(const std::string &s) {
  StringBuffer sb;
  UrlEncode::urlEncode2(reinterpret_cast<const unsigned char *>(s.data()),
                        static_cast<unsigned int>(s.size()), sb);
  return std::string(sb.getString(), sb.getSize());
}

std::string dec(const std::string &s) {
  StringBuffer sb;
  sb.appendN(s.data(), static_cast<int>(s.size()));
  DataBuffer db;
  db.append("<", 1);
  UrlEncode::urlDecode(sb, db);
  return std::string(reinterpret_cast<const char *>(db.getData2()), db.getSize());
}

} // namespace

TEST(UrlEncode, EncodesEverythingButLettersAndDigits) {
  EXPECT_EQ(enc(" /"), "+%2F");
  EXPECT_EQ(enc("aZ09-._~"), "aZ09%2D%2E%5F%7E");
  EXPECT_EQ(enc(std::string("\0\xFF", 2)), "%00%FF");
  EXPECT_EQ(enc(""), "");
  DataBuffer db;
  db.append("a b", 3);
  StringBuffer sb;
  sb.append(">");
  UrlEncode::urlEncode(db, sb);
  EXPECT_STREQ(sb.getString(), ">a+b");
}

TEST(UrlEncode, DecodesAndAppends) {
  EXPECT_EQ(dec("%2f"), "</");
  EXPECT_EQ(dec("%2F+x"), "</ x");
  EXPECT_EQ(dec("a%4"), "<a") << "a % without two characters ends the decoding";
  EXPECT_EQ(dec("a%"), "<a");
  EXPECT_EQ(dec("%e9"), "<\xE9");
  // Every byte round-trips.
  std::string all;
  for (int c = 0; c < 256; ++c)
    all += static_cast<char>(c);
  EXPECT_EQ(dec(enc(all)), "<" + all);
}
