// The application's tar service unpacks every kind it knows by suffix, next to the archive.
#include <gtest/gtest.h>

#include "app/files/TarUnpacker.h"
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
  testsupport::writeFile(t.file("bad.tgz"), "not gzip");
  EXPECT_FALSE(TARWrapper::unTARFile(t.file("bad.tgz")));
  EXPECT_FALSE(TARWrapper::unTARFile(t.file("plain.zip")));
}
