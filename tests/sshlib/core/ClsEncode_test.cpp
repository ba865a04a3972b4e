// The encoder against coreutils and Python's codecs; the string array's index; the directory
// walker's breadth-first order; the date's truncation.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "sshlib/core/ClsDirTree.h"
#include "sshlib/core/ClsEncode.h"
#include "sshlib/core/ClsStringArray.h"
#include "tests/sshlib/core/ExternalTool.h"

namespace {
struct X : XString {
  explicit X(const std::string &s) { setFromUtf8(s.c_str()); }
};
} // namespace

TEST(ClsEncode, MatchesCoreutilsAndPythonBothWays) {
  struct Case {
    int mode;
    const char *oracle; // encodes standard input to standard output
  } cases[] = {
      {1, "base64 -w0"},
      {7, "base32 -w0"},
      {10,
       "/usr/bin/python3 -c \"import "
       "sys,base64;sys.stdout.write(base64.urlsafe_b64encode(sys.stdin.buffer.read()).decode())\""},
      {3, "/usr/bin/python3 -c \"import "
          "sys;sys.stdout.write(sys.stdin.buffer.read().hex().upper())\""},
      {4, "/usr/bin/python3 -c \"import sys,urllib.parse as "
          "u;sys.stdout.write(u.quote_from_bytes(sys.stdin.buffer.read(),safe='').replace('%20','+'"
          ").replace('-','%2D').replace('.','%2E').replace('_','%5F').replace('~','%7E'))\""}};
  std::mt19937 rng(7);
  for (const Case &c : cases) {
    for (size_t n : {0, 1, 2, 3, 4, 5, 57, 1000}) {
      const std::string data = externaltool::randomBytes(rng, n);
      ClsEncode enc;
      enc.put_EncodingModeInt(c.mode);
      DataBuffer in, back;
      in.append(data.data(), data.size());
      X text("old");
      enc.encodeBinary(in, text, false);
      EXPECT_EQ(std::string(text.getUtf8()), externaltool::filter(c.oracle, data))
          << c.mode << " " << n;
      back.append("x", 1);
      enc.decodeBinary(text, back, true);
      EXPECT_EQ(std::string(reinterpret_cast<const char *>(back.getData2()), back.getSize()),
                "x" + data)
          << c.mode;
    }
  }
  // Quoted-printable decodes with Python's codec; uu keeps its header's mode and name.
  ClsEncode qp;
  qp.put_EncodingModeInt(2);
  DataBuffer in;
  in.append("caf\xc3\xa9 = 1\r\n", 11);
  X text("");
  qp.encodeBinary(in, text, false);
  EXPECT_EQ(
      externaltool::filter(
          "/usr/bin/python3 -c \"import "
          "sys,quopri;sys.stdout.buffer.write(quopri.decodestring(sys.stdin.buffer.read()))\"",
          text.getUtf8()),
      std::string("caf\xc3\xa9 = 1\r\n"));
  ClsEncode uu;
  uu.put_EncodingModeInt(8);
  X block("begin 755 run.sh\r\n#86)C\r\n`\r\nend\r\n");
  DataBuffer out;
  uu.decodeBinary(block, out, false);
  XString name;
  EXPECT_EQ(std::string(uu.m_uuMode.getString()) + uu.m_uuFilename.getUtf8(), "755run.sh");
  uu.get_EncodingMode(name);
  EXPECT_STREQ(name.getUtf8(), "uu");
}

TEST(ClsStringArray, CountsDuplicatesAndSizesTheIndexOnALargeFirstLoad) {
  for (int lines : {500, 501}) {
    ClsStringArray a;
    std::string text;
    for (int i = 0; i < lines; ++i)
      text += (i ? "\r\nline" : "line") + std::to_string(i % 400);
    X t(text), probe("line399"), missing("line400");
    a.LoadFromText(t);
    EXPECT_EQ(a.hashBuckets(), lines > 500 ? lines + 32 : 499);
    EXPECT_TRUE(a.Contains(probe));
    EXPECT_FALSE(a.Contains(missing));
    EXPECT_STREQ(a.GetSb(0)->getString(), "line0");
  }
  ClsStringArray b;
  X list("ssh-rsa,ssh-ed25519,ssh-rsa"), comma(","), joined("");
  b.SplitAndAppend(list, comma);
  b.ToDelimitedString("|", joined);
  EXPECT_STREQ(joined.getUtf8(), "ssh-rsa|ssh-ed25519|ssh-rsa");
  EXPECT_EQ(b.GetSb(3), nullptr);
}

TEST(ClsDirTree, WalksBreadthFirstAndSkipsLinks) {
  testsupport::TempDir t;
  namespace fs = std::filesystem;
  fs::create_directories(t.file("a/b"));
  for (const char *f : {"f0", "a/f1", "a/b/f2"})
    testsupport::writeFile(t.file(f), f);
  fs::create_symlink(t.file("a"), t.file("link"));
  ClsDirTree walk;
  X base(t.path());
  walk.put_BaseDir(base);
  std::vector<std::string> seen;
  Logger log;
  for (bool more = walk.beginIterate(log); more; more = walk.advancePosition(log)) {
    XString rel;
    walk.get_RelativePath(rel);
    seen.push_back(rel.getUtf8());
  }
  EXPECT_TRUE(walk.get_DoneIterating());
  ASSERT_EQ(seen.size(), 5u);
  std::sort(seen.begin(), seen.begin() + 2);
  std::sort(seen.begin() + 2, seen.begin() + 4);
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "f0", "a/b", "a/f1", "a/b/f2"}));
  ClsDate d;
  d.fromSecondsSince1970(-1.9);
  EXPECT_EQ(d.toSecondsSince1970(), -1.0);
}
