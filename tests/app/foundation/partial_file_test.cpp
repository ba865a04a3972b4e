// The partial file of a download: beside its file under a name of its own (also for names near
// the length limit), put in the file's place whole or not at all, and a copy or move that fails
// leaving both files as they were.
#include "app/foundation/PartialFile.h"

#include "tests/support/TestSupport.h"

#include "platform/foundation/Text.h"

#include <gtest/gtest.h>

using platform::FileManager;

namespace {

class PartialFileTest : public ::testing::Test {
protected:
  std::string path(const std::string &name) const { return dir_.path() + "/" + name; }
  testsupport::TempDir dir_{"ferrowen-partial"};
};

TEST_F(PartialFileTest, LivesBesideItsFileUnderANameOfItsOwn) {
  const std::string partial = partialFilePath(path("a.zip"));
  EXPECT_EQ(platform::deleteLastPathComponent(partial), dir_.path());
  EXPECT_NE(partial, path("a.zip"));
  EXPECT_NE(partialFilePath(path("b.zip")), partial);

  // Names at the limit still give a partial file that can be made, one per name.
  const std::string longA(255, 'a'), longB = std::string(254, 'a') + "b";
  const std::string pa = partialFilePath(path(longA)), pb = partialFilePath(path(longB));
  EXPECT_LE(platform::lastPathComponent(pa).size(), 255u);
  EXPECT_NE(pa, pb);
  EXPECT_EQ(pa, partialFilePath(path(longA))) << "the same each time, so a resume finds it";
  ASSERT_TRUE(testsupport::writeFile(pa, "x"));
  EXPECT_EQ(testsupport::readFile(pa), "x");
}

// A download's partial file is its source's own: another server, port, user, folder or address
// gives another one, so that no resume continues another file's bytes; the same source gives the
// same one (written as the server and the folders are written), so that a resume after a restart
// finds it.
TEST_F(PartialFileTest, EachSourceHasAPartialFileOfItsOwn) {
  const std::string target = path("same.bin");
  const std::string base = ftpDownloadSource("ftp.example", 21, "joe", "/pub", "same.bin");
  const std::string one = partialFilePath(target, base);
  EXPECT_EQ(platform::deleteLastPathComponent(one), dir_.path());
  EXPECT_EQ(platform::lastPathComponent(one).rfind("same.bin", 0), 0u) << one;
  const struct {
    const char *what;
    std::string source;
    bool same;
  } cases[] = {
      {"again", ftpDownloadSource("ftp.example", 21, "joe", "/pub", "same.bin"), true},
      {"host in capitals", ftpDownloadSource("FTP.Example", 21, "joe", "/pub", "same.bin"), true},
      {"host with its port and folder",
       ftpDownloadSource("ftp.example:21/pub", 21, "joe", "/pub", "same.bin"), true},
      {"folder with a slash after it",
       ftpDownloadSource("ftp.example", 21, "joe", "/pub/", "same.bin"), true},
      {"folder with a doubled slash",
       ftpDownloadSource("ftp.example", 21, "joe", "//pub", "same.bin"), true},
      {"another server", ftpDownloadSource("ftp2.example", 21, "joe", "/pub", "same.bin"), false},
      {"an IPv6 address", ftpDownloadSource("[fd00::1]:21", 21, "joe", "/pub", "same.bin"), false},
      {"another port", ftpDownloadSource("ftp.example", 2121, "joe", "/pub", "same.bin"), false},
      {"another user", ftpDownloadSource("ftp.example", 21, "ann", "/pub", "same.bin"), false},
      {"no user", ftpDownloadSource("ftp.example", 21, "", "/pub", "same.bin"), false},
      {"another folder", ftpDownloadSource("ftp.example", 21, "joe", "/pub/old", "same.bin"),
       false},
      {"the folder below the login folder",
       ftpDownloadSource("ftp.example", 21, "joe", "pub", "same.bin"), false},
      {"a user and folder that run together",
       ftpDownloadSource("ftp.example", 21, "joe/pub", "", "same.bin"), false},
      {"an address", webDownloadSource("http://ftp.example/pub/same.bin"), false},
      {"the same file over SFTP", sftpDownloadSource("ftp.example", 21, "joe", "/pub/same.bin"),
       false},
      {"the name alone", "", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string other =
        c.source.empty() ? partialFilePath(target) : partialFilePath(target, c.source);
    EXPECT_EQ(other == one, c.same) << other;
    EXPECT_EQ(platform::deleteLastPathComponent(other), dir_.path());
  }
  EXPECT_NE(partialFilePath(target, ftpDownloadSource("[fd00::1]", 21, "joe", "/pub", "same.bin")),
            partialFilePath(target, ftpDownloadSource("[fd00::2]", 21, "joe", "/pub", "same.bin")));
  EXPECT_EQ(
      partialFilePath(target, ftpDownloadSource("[FD00::1]:21", 21, "joe", "/pub", "same.bin")),
      partialFilePath(target, ftpDownloadSource("[fd00::1]", 21, "joe", "/pub", "same.bin")));
  EXPECT_NE(partialFilePath(target, webDownloadSource("http://a.example/same.bin")),
            partialFilePath(target, webDownloadSource("http://b.example/same.bin")));

  // Over SFTP the server is named as the connection was given it: a port typed after the host
  // tells two servers of one host apart.
  const std::string sftp = partialFilePath(target, sftpDownloadSource("h", 0, "joe", "/p/x"));
  const struct {
    const char *what;
    std::string source;
    bool same;
  } sftpCases[] = {
      {"again", sftpDownloadSource("h", 0, "joe", "/p/x"), true},
      {"folder with a slash after it", sftpDownloadSource("H", 0, "joe", "/p//x"), true},
      {"a port after the host", sftpDownloadSource("h:2222", 0, "joe", "/p/x"), false},
      {"a port apart", sftpDownloadSource("h", 2222, "joe", "/p/x"), false},
      {"another user", sftpDownloadSource("h", 0, "ann", "/p/x"), false},
      {"another folder", sftpDownloadSource("h", 0, "joe", "/q/x"), false},
      {"below the login folder", sftpDownloadSource("h", 0, "joe", "p/x"), false},
  };
  for (const auto &c : sftpCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(partialFilePath(target, c.source) == sftp, c.same);
  }

  // A name at the limit still gives a partial file that can be made.
  const std::string longName(255, 'l');
  const std::string longPartial = partialFilePath(path(longName), base);
  EXPECT_LE(platform::lastPathComponent(longPartial).size(), 255u);
  EXPECT_NE(longPartial, partialFilePath(path(longName), webDownloadSource("http://x/")));
  ASSERT_TRUE(testsupport::writeFile(longPartial, "x"));
  EXPECT_EQ(testsupport::readFile(longPartial), "x");
}

TEST_F(PartialFileTest, ReplacesAFileWholeButNeverAFolder) {
  ASSERT_TRUE(testsupport::writeFile(path("f.txt"), "old"));
  ASSERT_TRUE(testsupport::writeFile(partialFilePath(path("f.txt")), "new"));
  ASSERT_TRUE(putPartialFileInPlace(partialFilePath(path("f.txt")), path("f.txt")));
  EXPECT_EQ(testsupport::readFile(path("f.txt")), "new");
  EXPECT_FALSE(FileManager::fileExists(partialFilePath(path("f.txt"))));

  ASSERT_TRUE(FileManager::createDirectory(path("d/inner")));
  ASSERT_TRUE(testsupport::writeFile(partialFilePath(path("d")), "bytes"));
  auto placed = putPartialFileInPlace(partialFilePath(path("d")), path("d"));
  EXPECT_FALSE(placed);
  EXPECT_FALSE(placed.error().empty());
  EXPECT_TRUE(FileManager::isDirectory(path("d/inner")));
  EXPECT_EQ(testsupport::readFile(partialFilePath(path("d"))), "bytes");
}

// Put in place under a free name: whatever stands under the name (a file or a folder, and the
// numbered names after it) stays as it was, and the file takes the first free one.
TEST_F(PartialFileTest, UnderAFreeNameNothingIsReplaced) {
  const std::string longStem(250, 's');
  const struct {
    const char *what, *name;
    std::vector<std::string> taken; // files, or folders when ending in "/"
    std::string placed;
  } cases[] = {
      {"a free name", "a.zip", {}, "a.zip"},
      {"a file there", "a.zip", {"a.zip"}, "a-2.zip"},
      {"a folder there", "a.zip", {"a.zip/"}, "a-2.zip"},
      {"the next taken too", "a.zip", {"a.zip", "a-2.zip/", "a-3.zip"}, "a-4.zip"},
      {"no extension", "README", {"README"}, "README-2"},
      {"a leading dot only", ".profile", {".profile"}, ".profile-2"},
      {"two dots", "t.tar.gz", {"t.tar.gz"}, "t.tar-2.gz"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempDir dir("ferrowen-freename");
    for (const auto &t : c.taken) {
      if (t.back() == '/') {
        ASSERT_TRUE(FileManager::createDirectory(dir.file(t + "inner")));
      } else {
        ASSERT_TRUE(testsupport::writeFile(dir.file(t), "kept " + t));
      }
    }
    const std::string target = dir.file(c.name), partial = partialFilePath(target);
    ASSERT_TRUE(testsupport::writeFile(partial, "new"));
    std::string placed;
    ASSERT_TRUE(putPartialFileUnderFreeName(partial, target, &placed));
    EXPECT_EQ(placed, dir.file(c.placed));
    EXPECT_EQ(testsupport::readFile(placed), "new");
    EXPECT_FALSE(FileManager::fileExists(partial));
    for (const auto &t : c.taken) {
      if (t.back() == '/') {
        EXPECT_TRUE(FileManager::isDirectory(dir.file(t + "inner"))) << t;
      } else {
        EXPECT_EQ(testsupport::readFile(dir.file(t)), "kept " + t);
      }
    }
  }
  // A name at the limit is shortened to take its number; a partial file gone is an error.
  ASSERT_TRUE(testsupport::writeFile(path(longStem + ".bin"), "kept"));
  ASSERT_TRUE(testsupport::writeFile(partialFilePath(path(longStem + ".bin")), "new"));
  std::string placed;
  ASSERT_TRUE(putPartialFileUnderFreeName(partialFilePath(path(longStem + ".bin")),
                                          path(longStem + ".bin"), &placed));
  EXPECT_LE(platform::lastPathComponent(placed).size(), 255u);
  EXPECT_EQ(testsupport::readFile(placed), "new");
  EXPECT_EQ(testsupport::readFile(path(longStem + ".bin")), "kept");
  EXPECT_FALSE(putPartialFileUnderFreeName(path("missing"), path("x.bin")));
  EXPECT_FALSE(FileManager::fileExists(path("x.bin")));
}

TEST_F(PartialFileTest, CopyOrMoveReplacesOnlyWhenItSucceeds) {
  for (bool move : {false, true}) {
    SCOPED_TRACE(move ? "move" : "copy");
    ASSERT_TRUE(testsupport::writeFile(path("src"), "fresh"));
    ASSERT_TRUE(testsupport::writeFile(path("saved"), "saved copy"));
    ASSERT_TRUE(replaceFileWith(path("src"), path("saved"), move));
    EXPECT_EQ(testsupport::readFile(path("saved")), "fresh");
    EXPECT_EQ(FileManager::fileExists(path("src")), !move);
    EXPECT_FALSE(FileManager::fileExists(partialFilePath(path("saved"))));

    // Nothing to copy: the saved file stays as it was.
    FileManager::removeItem(path("src"));
    EXPECT_FALSE(replaceFileWith(path("src"), path("saved"), move));
    EXPECT_EQ(testsupport::readFile(path("saved")), "fresh");

    // A folder in the way: the source is kept for a later try, the folder untouched.
    ASSERT_TRUE(testsupport::writeFile(path("src"), "again"));
    ASSERT_TRUE(FileManager::createDirectory(path("folder/inner")));
    EXPECT_FALSE(replaceFileWith(path("src"), path("folder"), move));
    EXPECT_EQ(testsupport::readFile(path("src")), "again");
    EXPECT_TRUE(FileManager::isDirectory(path("folder/inner")));
    EXPECT_FALSE(FileManager::fileExists(partialFilePath(path("folder"))));
    FileManager::removeItem(path("src"));
  }
}

TEST_F(PartialFileTest, OnlyAnEmptyPartialFileIsDropped) {
  ASSERT_TRUE(testsupport::writeFile(path("empty"), ""));
  ASSERT_TRUE(testsupport::writeFile(path("some"), "12"));
  removePartialFileIfEmpty(path("empty"));
  removePartialFileIfEmpty(path("some"));
  removePartialFileIfEmpty(path("missing"));
  EXPECT_FALSE(FileManager::fileExists(path("empty")));
  EXPECT_EQ(testsupport::readFile(path("some")), "12");
}

} // namespace
