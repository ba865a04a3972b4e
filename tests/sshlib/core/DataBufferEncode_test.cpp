// DataBuffer encodings by name, whole-file loads (UTF-8 names, sizes that cannot be held) and
// the escaped rendering used for log lines.
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/DataLog.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "FileTestDir.h"

namespace {

std::string bytes(const DataBuffer &db) {
  return std::string(reinterpret_cast<const char *>(db.getData2()), db.getSize());
}

std::string logText(Logger &log) {
  StringBuffer sb;
  log.getText(sb);
  return sb.getString();
}

std::string encoded(const std::string &data, const char *name) {
  DataBuffer db;
  db.append(data.data(), static_cast<unsigned>(data.size()));
  StringBuffer out("previous:");
  db.encode(name, out);
  return out.getString();
}

TEST(DataBufferCodings, EncodeByName) {
  EXPECT_EQ(encoded("abc", " HEX \t"), "previous:616263");
  EXPECT_EQ(encoded("\x01\xfe", "hexidecimal"), "previous:01FE");
  EXPECT_EQ(encoded("any carnal pleas", "Base64"), "previous:YW55IGNhcm5hbCBwbGVhcw==");
  EXPECT_EQ(encoded(std::string(100, 'x'), "base-64").find("\r\n"), std::string::npos);
  EXPECT_EQ(encoded("a=b", "qp"), "previous:a=3Db");
  EXPECT_EQ(encoded("a b/c", "url"), "previous:a+b%2Fc");
  EXPECT_EQ(encoded("raw", "ansi"), "previous:raw");
  EXPECT_EQ(encoded("raw", "asc"), "previous:raw");
  EXPECT_EQ(encoded("abc", "rot13"), "") << "an unknown name empties the output";
  EXPECT_EQ(encoded("abc", nullptr), "");
}

TEST(DataBufferCodings, DecodeByName) {
  auto decode = [](const char *text, const char *name) {
    DataBuffer db;
    db.append("<", 1);
    EXPECT_TRUE(db.appendEncoded(text, name));
    return bytes(db);
  };
  EXPECT_EQ(decode("616263", "hex"), "<abc");
  EXPECT_EQ(decode("  616263 \r\n", " Hex "), "<abc");
  EXPECT_EQ(decode(" YWJj\r\n", "BASE64"), "<abc");
  EXPECT_EQ(decode("a=3Db=\r\nc", "quoted-printable"), "<a=bc");
  EXPECT_EQ(decode("a+b%2Fc", "url"), "<a b/c");
  EXPECT_EQ(decode("abc", "ansi"), "<") << "no decoding for ansi";
  EXPECT_EQ(decode("abc", "unknown"), "<");
  // Round trips through every coding with random bytes.
  std::string all;
  for (int i = 0; i < 256; ++i)
    all += static_cast<char>(i);
  for (const char *name : {"base64", "qp", "hex", "url"}) {
    std::string text = encoded(all, name).substr(9);
    DataBuffer back;
    EXPECT_TRUE(back.appendEncoded(text.c_str(), name));
    EXPECT_EQ(bytes(back), all) << name;
  }
}

TEST(DataBufferFiles, LoadingByEveryPathForm) {
  filetest::TempDir dir;
  std::string data(70000, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 31);
  std::string utf8Name = dir.file("donn\xC3\xA9"
                                  "es.bin");
  filetest::writeBytes(utf8Name, data);

  DataBuffer db;
  db.append("old", 3);
  EXPECT_TRUE(db.loadFileUtf8(utf8Name.c_str(), nullptr));
  EXPECT_EQ(bytes(db), data);
  EXPECT_EQ(db.getBufSize(), 70004u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(db.getData2()) + 70000, 4), std::string(4, '\0'));

  // The same file by its ISO-8859-1 name and by its UTF-16 name.
  std::string ansiName = dir.file("donn\xE9"
                                  "es.bin");
  DataBuffer a;
  EXPECT_TRUE(a.loadFileAnsi(ansiName.c_str(), nullptr));
  EXPECT_EQ(bytes(a), data);
  XString x;
  x.setFromUtf8(utf8Name.c_str());
  std::vector<unsigned short> wide(x.getUnicode(), x.getUnicode() + x.getSizeUnicode() / 2 + 1);
  DataBuffer u;
  EXPECT_TRUE(u.loadFileUnicode(wide.data(), nullptr));
  EXPECT_EQ(bytes(u), data);
  // A name outside ISO-8859-1.
  std::string euro = dir.file("\xE2\x82\xAC.bin");
  filetest::writeBytes(euro, "euro");
  DataBuffer e;
  EXPECT_TRUE(e.loadFileUtf8(euro.c_str(), nullptr));
  EXPECT_EQ(bytes(e), "euro");

  filetest::writeBytes(dir.file("empty"), "");
  DataBuffer empty;
  empty.append("x", 1);
  EXPECT_TRUE(empty.loadFileAnsi(dir.file("empty").c_str(), nullptr));
  EXPECT_EQ(empty.getSize(), 0u);
  Logger log;
  DataBuffer missing;
  EXPECT_FALSE(missing.loadFileAnsi(dir.file("missing").c_str(), &log));
  EXPECT_NE(logText(log).find("  Failed to open file.\n  mode: r\n"), std::string::npos);
  EXPECT_EQ(missing.getSize(), 0u);
}

TEST(DataBufferFiles, SizesThatCannotBeHeldFailClearly) {
  filetest::TempDir dir;
  std::string path = dir.file("big");
  {
    FILE *fp = std::fopen(path.c_str(), "w");
    ASSERT_EQ(ftruncate(fileno(fp), 4LL * 1024 * 1024 * 1024 + 3), 0);
    std::fclose(fp);
  }
  Logger log;
  DataBuffer db;
  EXPECT_FALSE(db.loadFileAnsi(path.c_str(), &log));
  EXPECT_EQ(logText(log), "RazudodLog:\n  Out of memory for data buffer\n  fileSize: 4294967299\n");
  EXPECT_EQ(db.getSize(), 0u);
  // Just below 4 GiB the size plus the four terminating bytes would wrap.
  {
    FILE *fp = std::fopen(path.c_str(), "w");
    ASSERT_EQ(ftruncate(fileno(fp), 4294967294LL), 0);
    std::fclose(fp);
  }
  Logger log2;
  EXPECT_FALSE(db.loadFileUtf8(path.c_str(), &log2));
  EXPECT_EQ(logText(log2),
            "RazudodLog:\n  Out of memory for data buffer\n  fileSize: 4294967294\n");
  XString x;
  x.setFromUtf8(path.c_str());
  std::vector<unsigned short> wide(x.getUnicode(), x.getUnicode() + x.getSizeUnicode() / 2 + 1);
  Logger log3;
  EXPECT_FALSE(db.loadFileUnicode(wide.data(), &log3));
  EXPECT_EQ(logText(log3), "RazudodLog:\n  Out of memory when loading Unicode file into data "
                           "buffer.\n  fileSize: 4294967294\n");
}

std::string escaped(const std::string &data, int width) {
  DataBuffer db;
  db.append(data.data(), static_cast<unsigned>(data.size()));
  XString out;
  out.appendUtf8("");
  DataLog::toEscapedString(db, out, width);
  return out.getUtf8();
}

TEST(DataLogEscapes, PrintableRendering) {
  EXPECT_EQ(escaped("a\nb", 76), "a\\n\r\n\tb");
  EXPECT_EQ(escaped(std::string("\r\v\b\f\a\0", 6), 76), "\\r\\v\\b\\f\\a\\0");
  EXPECT_EQ(escaped("\t \x7f\x80\xff", 76), "\\x09\\x20\\x7F\\x80\\xFF");
  EXPECT_EQ(escaped("\\?'\"", 76), "\\\\\\?\\'\\\"");
  EXPECT_EQ(escaped("SSH-2.0-OpenSSH_9.2", 76), "SSH-2.0-OpenSSH_9.2");
  // Width counting: a break once the column reaches the width.
  EXPECT_EQ(escaped("abcdef", 3), "abc\r\n\tdef\r\n\t");
  EXPECT_EQ(escaped("a\x01", 4), "a\\x01\r\n\t");
  // Long input passes through the local area several times.
  std::string longText(5000, 'z');
  std::string out = escaped(longText, 100000);
  EXPECT_EQ(out, longText);
  EXPECT_EQ(escaped("", 76), "");
}

} // namespace
