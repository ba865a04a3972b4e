// Base64, quoted-printable and Base32, checked against coreutils base64/base32/basenc and
// Python's quopri on random data.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ckMemory.h"
#include "tests/sshlib/core/ExternalTool.h"

using externaltool::filter;
using externaltool::randomBytes;

namespace {

std::string str(const DataBuffer &db) {
  return std::string(reinterpret_cast<const char *>(db.getData2()), db.getSize());
}

std::string b64(const std::string &data, int lineLength = 76) {
  ContentCoding cc;
  cc.setLineLength(lineLength);
  StringBuffer sb;
  cc.encodeBase64(data.data(), static_cast<int>(data.size()), sb);
  return std::string(sb.getString(), sb.getSize());
}

std::string b64Line(const std::string &data, bool urlSafe = false) {
  ContentCoding cc;
  StringBuffer sb;
  if (urlSafe)
    cc.encodeModBase64_noCrLf(data.data(), static_cast<int>(data.size()), sb);
  else
    cc.encodeBase64_noCrLf(data.data(), static_cast<int>(data.size()), sb);
  return std::string(sb.getString(), sb.getSize());
}

std::string unb64(const std::string &text) {
  ContentCoding cc;
  DataBuffer db;
  EXPECT_TRUE(cc.decodeBase64ToDb(text.data(), static_cast<int>(text.size()), db));
  return str(db);
}

std::string qp(const std::string &data) {
  ContentCoding cc;
  StringBuffer sb;
  cc.encodeQuotedPrintable(data.data(), static_cast<int>(data.size()), sb);
  return std::string(sb.getString(), sb.getSize());
}

std::string unqp(const std::string &text) {
  ContentCoding cc;
  int n = -1;
  unsigned char *p = cc.decodeQuotedPrintable(text.data(), static_cast<int>(text.size()), &n);
  if (p == nullptr) return "<null>";
  std::string out(reinterpret_cast<char *>(p), static_cast<size_t>(n));
  ckFreeBytes(p);
  return out;
}

std::string b32(const std::string &data) {
  ContentCoding cc;
  StringBuffer sb;
  cc.encodeBase32_noCrLf(reinterpret_cast<const unsigned char *>(data.data()),
                         static_cast<unsigned int>(data.size()), sb);
  return std::string(sb.getString(), sb.getSize());
}

std::string unb32(const std::string &text) {
  ContentCoding cc;
  DataBuffer db;
  EXPECT_TRUE(cc.decodeBase32(reinterpret_cast<const unsigned char *>(text.data()),
                              static_cast<unsigned int>(text.size()), db));
  return str(db);
}

std::string replaceAll(std::string s, const std::string &from, const std::string &to) {
  for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
    s.replace(pos, from.size(), to);
  return s;
}

const char *kPyDecode = "/usr/bin/python3 -c 'import sys,quopri; "
                        "sys.stdout.buffer.write(quopri.decodestring(sys.stdin.buffer.read()))'";
const char *kPyEncode = "/usr/bin/python3 -c 'import sys,quopri; "
                        "sys.stdout.buffer.write(quopri.encodestring(sys.stdin.buffer.read()))'";

} // namespace

TEST(Base64, EncodesWithLineBreaks) {
  EXPECT_EQ(b64("Man"), "TWFu\r\n");
  EXPECT_EQ(b64("Ma"), "TWE=\r\n");
  EXPECT_EQ(b64("M"), "TQ==\r\n");
  EXPECT_EQ(b64Line("Ma"), "TWE=");
  EXPECT_EQ(b64(""), "");
  // 57 bytes fill one 76-character line, which is ended, and then the closing CR LF follows.
  const std::string line57(57, 'x');
  const std::string enc = b64(line57);
  EXPECT_EQ(enc.size(), 76u + 4u);
  EXPECT_EQ(enc.substr(76), "\r\n\r\n");
  // The line length never drops below 10; lines are the next multiple of 4 (12 here).
  ContentCoding cc;
  cc.setLineLength(5);
  EXPECT_EQ(cc.getLineLength(), 10);
  const std::string short12 = b64(std::string(18, 'a'), 5);
  EXPECT_EQ(short12, "YWFhYWFhYWFh\r\nYWFhYWFhYWFh\r\n\r\n");
  // The URL-safe alphabet differs in its last two characters only.
  EXPECT_EQ(b64Line("\xFB\xFF\xBF"), "+/+/");
  EXPECT_EQ(b64Line("\xFB\xFF\xBF", true), "-_-_");
  StringBuffer sb;
  cc.encodeBase64(nullptr, 5, sb);
  cc.encodeBase64_noCrLf("abc", 0, sb);
  EXPECT_EQ(sb.getSize(), 0);
}

TEST(Base64, DecodesLeniently) {
  EXPECT_EQ(unb64("TW E=x"), "Ma");
  EXPECT_EQ(unb64("TWFu\r\nTWE=\r\n"), "ManMa") << "stops at the first =";
  EXPECT_EQ(unb64(std::string("TWFu\0TWFu", 9)), "Man") << "stops at a zero byte";
  EXPECT_EQ(unb64("T\tW\r\nF u"), "Man");
  EXPECT_EQ(unb64("TW\xC3\xA9"
                  "Fu"),
            "Man")
      << "bytes outside the alphabet are skipped";
  EXPECT_EQ(unb64("TW-F_u"), "Man") << "characters of other alphabets carry no bits";
  EXPECT_EQ(unb64("TWF"), "Ma") << "an incomplete byte is not counted";
  EXPECT_EQ(unb64(""), "");
  int n = 7;
  EXPECT_EQ(ContentCoding::decodeBase64(nullptr, 4, &n), nullptr);
  EXPECT_EQ(ContentCoding::decodeBase64("TWFu", 0, &n), nullptr);
  EXPECT_EQ(ContentCoding::decodeBase64("TWFu", 4, nullptr), nullptr);
  unsigned char *p = ContentCoding::decodeBase64("TWFu", 4, &n);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(p), static_cast<size_t>(n)), "Man");
  ckFreeBytes(p);
  ContentCoding cc;
  bool ok = false;
  EXPECT_EQ(cc.decodeBase64_2("", 0, &n, ok), nullptr);
  EXPECT_TRUE(ok);
  DataBuffer db;
  db.append("old", 3);
  EXPECT_TRUE(cc.decodeBase64ToDb("", 0, db));
  EXPECT_EQ(db.getSize(), 0u);
  EXPECT_EQ(ContentCoding::computeBase64Size(3, 76),
            (5 * 3 + 10) / 3 + 3 + 2 * ((5 * 3 + 10) / 3) / 76);
}

TEST(Base64, ReportsMemoryExhaustion) {
  ContentCoding cc;
  int n = 5;
  bool ok = true;
  ckFailNextAllocations(1);
  EXPECT_EQ(cc.decodeBase64_2("TWFu", 4, &n, ok), nullptr);
  EXPECT_FALSE(ok);
  DataBuffer db;
  db.append("keep", 4);
  ckFailNextAllocations(1);
  EXPECT_FALSE(cc.decodeBase64ToDb("TWFu", 4, db));
  EXPECT_EQ(str(db), "keep");
  ckFailNextAllocations(1);
  EXPECT_FALSE(cc.decodeQuotedPrintableToDb("=41", 3, db));
  EXPECT_EQ(str(db), "keep");
  ckFailNextAllocations(0);
}

TEST(Base64, AgreesWithCoreutils) {
  std::mt19937 rng(64);
  for (int round = 0; round < 40; ++round) {
    const std::string data = randomBytes(rng, rng() % 400);
    int rc = -1;
    EXPECT_EQ(filter("tr -d '\\r' | base64 -d", b64(data), &rc), data);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(filter("base64 -d", b64Line(data), &rc), data);
    EXPECT_EQ(filter("basenc --base64url -d", b64Line(data, true), &rc), data);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(unb64(filter("base64 -w 0", data)), data);
    EXPECT_EQ(unb64(filter("base64", data)), data) << "coreutils' 76-column lines";
  }
}

TEST(QuotedPrintable, EncodesLineStartsSpacesAndLongLines) {
  EXPECT_EQ(qp(".end\r\n.x"), "=2Eend\r\n=2Ex");
  EXPECT_EQ(qp("From here"), "=46rom here");
  EXPECT_EQ(qp("Fromage"), "Fromage");
  EXPECT_EQ(qp("a \r\nb"), "a=20\r\nb");
  EXPECT_EQ(qp("a\t"), "a=09") << "white space at the very end is escaped";
  EXPECT_EQ(qp("a b"), "a b");
  EXPECT_EQ(qp("1=2\n\r"), "1=3D2=0A=0D");
  EXPECT_EQ(qp("\xE9t\xE9"), "=E9t=E9");
  const std::string enc = qp(std::string(80, 'x'));
  EXPECT_EQ(enc, std::string(75, 'x') + "=\r\n" + std::string(5, 'x'));
  // Escapes never straddle the limit: no line is longer than 76 characters with its "=".
  std::mt19937 rng(9);
  const std::string text = qp(randomBytes(rng, 5000));
  size_t start = 0;
  for (size_t pos; (pos = text.find("\r\n", start)) != std::string::npos; start = pos + 2)
    EXPECT_LE(pos - start, 76u);
  EXPECT_LE(text.size() - start, 76u);
}

TEST(QuotedPrintable, DecodesEscapesSoftBreaksAndBadInput) {
  EXPECT_EQ(unqp("=41=\r\nB"), "AB");
  EXPECT_EQ(unqp("a=zz"), "a=zz");
  EXPECT_EQ(unqp("=FFFFFFE9"), "\xE9");
  EXPECT_EQ(unqp("=ff"), "\xFF");
  EXPECT_EQ(unqp("line one  \nline two\n"), "line one\r\nline two\r\n");
  EXPECT_EQ(unqp("  \r\nx"), "\r\nx") << "a line of white space still gets its line end";
  EXPECT_EQ(unqp("no line end"), "no line end");
  EXPECT_EQ(unqp("soft=  \nbreak"), "softbreak");
  EXPECT_EQ(unqp(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(unqp(""), "<null>");
  // An "=" near the end of a line or of the text never reads beyond it.
  EXPECT_EQ(unqp("x=4"), "x=4");
  EXPECT_EQ(unqp("x=4\nz"), "x=4\r\nz");
  EXPECT_EQ(unqp("=FFFFFF"), "\xFF"
                             "FFFF");
  EXPECT_EQ(unqp("=FFFFFFE"), "\xFF"
                              "FFFFE");
  EXPECT_EQ(unqp("=FFFFFFZZ"), std::string("\0", 1)) << "non-digits count as 0 after the marker";
  ContentCoding cc;
  DataBuffer db;
  db.append("keep", 4);
  EXPECT_FALSE(cc.decodeQuotedPrintableToDb("", 0, db));
  EXPECT_EQ(str(db), "keep");
  EXPECT_TRUE(cc.decodeQuotedPrintableToDb("=41", 3, db));
  EXPECT_EQ(str(db), "A");
}

TEST(QuotedPrintable, AgreesWithPythonQuopri) {
  std::mt19937 rng(17);
  for (int round = 0; round < 30; ++round) {
    std::string data = randomBytes(rng, rng() % 600);
    // Text-like data too: lines, spaces before line ends, dots and "From " at line starts.
    if (round % 2) {
      const char *pieces[] = {"a", " ", "\t", "\r\n", "\n", ".", "From ", "=", "\xE9", "word"};
      data.clear();
      for (int i = 0; i < 200; ++i)
        data += pieces[rng() % 10];
    }
    // Line ends are CR LF on both sides; lone CR and LF travel as escapes.
    EXPECT_EQ(filter(kPyDecode, qp(data)), data) << round;
    // Python's encoding, decoded here: every line end (LF or CR LF) comes back as CR LF.
    const std::string theirs = filter(kPyEncode, data);
    EXPECT_EQ(unqp(theirs),
              data.empty() ? "<null>" : replaceAll(replaceAll(data, "\r\n", "\n"), "\n", "\r\n"))
        << round;
  }
}

TEST(Base32, EncodesAndDecodesGroups) {
  EXPECT_EQ(b32("f"), "MY======");
  EXPECT_EQ(b32("fo"), "MZXQ====");
  EXPECT_EQ(b32("foo"), "MZXW6===");
  EXPECT_EQ(b32("foob"), "MZXW6YQ=");
  EXPECT_EQ(b32("fooba"), "MZXW6YTB");
  EXPECT_EQ(b32("foobar"), "MZXW6YTBOI======");
  EXPECT_EQ(b32(""), "");
  EXPECT_EQ(unb32("MZXW6YTBOI======"), "foobar");
  EXPECT_EQ(unb32("mzxw6ytboi======"), "foobar");
  EXPECT_EQ(unb32("MY======"), "f");
  // Lengths that are not a multiple of 8: the last group reads as if padded.
  EXPECT_EQ(unb32("MY"), "f");
  EXPECT_EQ(unb32("MZXW6"), "foo");
  EXPECT_EQ(unb32("MZXW6YTBOI"), "foobar");
  EXPECT_EQ(unb32(""), "");
  // Bytes from 0x80 up lie outside the table: they carry no bits and are read safely.
  const std::string high = "\xC1\xFF\x80\xE9\xC1\xFF\x80\xE9";
  EXPECT_EQ(unb32(high).size(), 5u);
}

TEST(Base32, AgreesWithCoreutils) {
  std::mt19937 rng(32);
  for (int round = 0; round < 40; ++round) {
    const std::string data = randomBytes(rng, rng() % 300);
    int rc = -1;
    EXPECT_EQ(filter("base32 -d", b32(data), &rc), data);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(filter("base32 -w 0", data), b32(data));
    EXPECT_EQ(unb32(filter("base32 -w 0", data)), data);
  }
}
