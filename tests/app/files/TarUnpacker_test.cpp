// The application's tar service unpacks every kind it knows by suffix, next to the archive.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/files/TarUnpacker.h"
#include "sshlib/core/ClsTar.h"
#include "tests/support/TarTrees.h"

TEST(TarUnpacker, UnpacksEachKindIntoTheArchivesFolder) {
  testsupport::TempDir t;
  const std::string src = t.file("src");
  tartrees::makeSampleTree(src, 256);
  ASSERT_TRUE(tartrees::sh("tar -C '" + src + "' -cf '" + t.file("plain.tar") + "' ."));
  installTarUnpacker();
  struct Case {
    const char *name;
    const char *make; // from plain.tar
    const char *folder;
  } cases[] = {{"plain.tar", "true", "plain"},
               {"A.TGZ", "gzip -c plain.tar > A.TGZ", "A"},
               {"b.tar.bz2", "bzip2 -c plain.tar > b.tar.bz2", "b.tar"},
               {"c.Tb2", "bzip2 -c plain.tar > c.Tb2", "c"},
               {"d.tar.Z", "compress -c plain.tar > d.tar.Z", "d.tar"},
               {"e.taz", "compress -c plain.tar > e.taz", "e"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(tartrees::sh("cd '" + t.path() + "' && " + c.make));
    EXPECT_TRUE(TARWrapper::unTARFile(t.file(c.name)));
    std::string why;
    EXPECT_TRUE(tartrees::sameTree(src, t.file(c.folder), &why)) << why;
  }
  // A stem of "." or ".." names no folder: nothing is unpacked beside the archive or above it.
  namespace fs = std::filesystem;
  fs::create_directories(t.file("in"));
  const auto above = std::distance(fs::directory_iterator(t.path()), {});
  for (const std::string name : {"..tar", "...tar"}) {
    fs::copy_file(t.file("plain.tar"), t.file("in/" + name));
    EXPECT_FALSE(TARWrapper::unTARFile(t.file("in/" + name))) << name;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(t.file("in")), {}), 2);
  EXPECT_EQ(std::distance(fs::directory_iterator(t.path()), {}), above);
  testsupport::writeFile(t.file("bad.tgz"), "not gzip");
  EXPECT_FALSE(TARWrapper::unTARFile(t.file("bad.tgz")));
  EXPECT_FALSE(TARWrapper::unTARFile(t.file("plain.zip")));
}

// The queue unpacks finished downloads by itself: a few hundred bytes of bzip2 that hold
// 64 MiB of zeros must not fill the disk.
TEST(TarUnpacker, ACompressedBombStopsAtTheFreeSpaceMargin) {
  testsupport::TempDir t;
  ASSERT_TRUE(tartrees::python(t.path(), R"(import tarfile,io
class Zeros(io.RawIOBase):
    left = 64 << 20
    def readinto(self, b):
        n = min(len(b), self.left); b[:n] = bytes(n); self.left -= n; return n
t = tarfile.open('bomb.tar.bz2', 'w:bz2')
i = tarfile.TarInfo('zeros'); i.size = 64 << 20; t.addfile(i, Zeros()); t.close()
)"));
  ASSERT_LT(std::filesystem::file_size(t.file("bomb.tar.bz2")), 2000u);
  installTarUnpacker();
  std::filesystem::create_directories(t.file("bomb.tar"));
  ClsTar::setFreeSpaceQuery(
      tartrees::smallDisk(t.file("bomb.tar"), 4 << 20, ClsTar::kMinFreeSpace));
  EXPECT_FALSE(TARWrapper::unTARFile(t.file("bomb.tar.bz2")));
  ClsTar::setFreeSpaceQuery(nullptr);
  EXPECT_FALSE(std::filesystem::exists(t.file("bomb.tar/zeros")));
}
