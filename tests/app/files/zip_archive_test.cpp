// Zip archives interoperate with Info-ZIP and Python's zipfile both ways, with and without
// passwords, and hostile archives write nothing outside their target and fail.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/files/MinizipArchive.h"
#include "tests/support/TarTrees.h"

namespace fs = std::filesystem;
using tartrees::sh;

namespace {
bool unzipInto(const std::string &zip, const std::string &to, const std::string &password = "") {
  MinizipArchive a;
  bool opened = password.empty() ? a.UnzipOpenFile(zip) : a.UnzipOpenFile(zip, password);
  bool ok = opened && a.UnzipFileTo(to, true);
  return a.UnzipCloseFile() && ok;
}
std::string q(const std::string &s) {
  return "'" + s + "'";
}
} // namespace

TEST(ZipArchive, InfoZipArchivesUnpackToTheirTrees) {
  testsupport::TempDir t;
  const std::string src = t.file("src");
  tartrees::makeSampleTree(src, 256);
  fs::remove(src + "/emptydir"); // Info-ZIP keeps it, ours does not: compared separately
  for (const std::string pw : {"", "secret", "p\xc3\xa4ss"}) {
    SCOPED_TRACE(pw);
    const std::string zip = t.file("iz" + std::to_string(pw.size()) + ".zip");
    ASSERT_TRUE(sh("cd " + q(src) + " && zip -qr " + (pw.empty() ? "" : "-P " + q(pw) + " ") +
                   q(zip) + " ."));
    EXPECT_EQ(MinizipArchive::UnzipIsEncrypted(zip), !pw.empty());
    const std::string out = zip + ".d";
    EXPECT_TRUE(unzipInto(zip, out, pw));
    std::string why;
    EXPECT_TRUE(tartrees::sameTree(src, out, &why)) << why;
    if (!pw.empty()) {
      // A wrong or missing password yields no data (an empty entry has none to check it by,
      // and the password check byte passes one wrong password in 256).
      EXPECT_FALSE(unzipInto(zip, t.file("wrong"), "nope"));
      EXPECT_FALSE(unzipInto(zip, t.file("none")));
      EXPECT_TRUE(sh("test -z \"$(find " + q(t.file("wrong")) + " " + q(t.file("none")) +
                     " -type f -size +0)\""));
    }
  }
}

TEST(ZipArchive, OurArchivesPassInfoZipAndPython) {
  testsupport::TempDir t;
  const std::string src = t.file("src");
  tartrees::makeSampleTree(src, 256);
  fs::remove(src + "/emptydir");
  // A link loop and a link out of the tree are not followed.
  ASSERT_TRUE(sh("touch -d '2021-05-05 10:00:02' " + q(src + "/random.bin"))); // DOS time: even
  fs::create_directory_symlink(".", src + "/sub/loop");
  fs::create_directory_symlink("/etc", src + "/out");
  ASSERT_TRUE(sh("cp -a " + q(src) + " " + q(t.file("plain")) + " && rm " +
                 q(t.file("plain/sub/loop")) + " " + q(t.file("plain/out"))));
  int files = 0;
  for (const auto &e : fs::recursive_directory_iterator(src))
    files += e.is_regular_file() && !e.is_symlink();
  for (const std::string pw : {"", "secret", "p\xc3\xa4ss"}) {
    SCOPED_TRACE(pw);
    const std::string zip = t.file("ours" + std::to_string(pw.size()) + ".zip");
    MinizipArchive a;
    ASSERT_TRUE(pw.empty() ? a.CreateZipFile2(zip) : a.CreateZipFile2(zip, pw));
    EXPECT_EQ(a.addFolderToZip(src, ""), files);
    ASSERT_TRUE(a.CloseZipFile2());
    const std::string p = pw.empty() ? "" : "-P " + q(pw) + " ";
    EXPECT_TRUE(sh("unzip -tq " + p + q(zip)));
    EXPECT_TRUE(sh("zipinfo " + q(zip)));
    EXPECT_TRUE(sh("/usr/bin/python3 -c 'import sys,zipfile; z=zipfile.ZipFile(sys.argv[1]); "
                   "z.setpassword(sys.argv[2].encode()); "
                   "sys.exit(z.testzip() is not None)' " +
                   q(zip) + " " + q(pw)));
    const std::string out = zip + ".d";
    ASSERT_TRUE(sh("unzip -q " + p + q(zip) + " -d " + q(out)));
    std::string why;
    EXPECT_TRUE(tartrees::sameTree(t.file("plain"), out, &why)) << why;
  }
  // An empty archive is the end record alone and unpacks to a failure.
  MinizipArchive e;
  ASSERT_TRUE(e.CreateZipFile2(t.file("empty.zip")) && e.CloseZipFile2());
  EXPECT_EQ(fs::file_size(t.file("empty.zip")), 22u);
  EXPECT_FALSE(unzipInto(t.file("empty.zip"), t.file("e")));
}

TEST(ZipArchive, HostileEntriesWriteNothingOutsideAndFail) {
  testsupport::TempDir t;
  // Each archive holds a good entry and one hostile one.
  struct Case {
    const char *label;
    const char *python; // adds the hostile entry to ZipFile z
  } cases[] = {
      {"dotdot", "z.writestr('../evil', 'x')"},
      {"backslash", "z.writestr('..\\\\evil', 'x')"},
      {"deep", "z.writestr('a/../../evil', 'x')"},
      {"absolute", "z.writestr('/tmp/ferrowen-zip-evil', 'x')"},
      {"drive", "z.writestr('C:/evil', 'x')"},
      {"link", "i=zipfile.ZipInfo('lnk'); i.create_system=3; i.external_attr=0o120777<<16; "
               "z.writestr(i, '..'); z.writestr('lnk/evil', 'x')"},
      {"crc", "i=zipfile.ZipInfo('bad'); z.writestr(i, 'y'*5000)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const std::string zip = t.file(std::string(c.label) + ".zip");
    ASSERT_TRUE(sh("/usr/bin/python3 -c \"import zipfile; z=zipfile.ZipFile('" + zip +
                   "','w'); z.writestr('good.txt','g'); " + c.python + "; z.close()\""));
    if (std::string(c.label) == "crc") { // flip one byte of the stored data
      ASSERT_TRUE(sh("printf Z | dd of=" + q(zip) + " bs=1 seek=200 conv=notrunc"));
    }
    const std::string out = t.file(c.label) + "/in";
    EXPECT_FALSE(unzipInto(zip, out));
    EXPECT_TRUE(fs::exists(out + "/good.txt"));
    EXPECT_FALSE(fs::exists(out + "/bad"));
    EXPECT_FALSE(fs::is_symlink(out + "/lnk"));
    EXPECT_FALSE(fs::exists(t.file(c.label) + "/evil"));
    EXPECT_FALSE(fs::exists(out + "/../../evil"));
    EXPECT_FALSE(fs::exists("/tmp/ferrowen-zip-evil"));
  }
  // A link already in the target is replaced, never written through.
  const std::string out = t.file("pre");
  fs::create_directories(out);
  testsupport::writeFile(t.file("victim"), "keep");
  fs::create_symlink(t.file("victim"), out + "/good.txt");
  unzipInto(t.file("dotdot.zip"), out);
  EXPECT_EQ(testsupport::readFile(t.file("victim")), "keep");
  EXPECT_EQ(testsupport::readFile(out + "/good.txt"), "g");
}
