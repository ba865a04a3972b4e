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
