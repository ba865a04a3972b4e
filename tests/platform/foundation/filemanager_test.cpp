#include "platform/foundation/FileManager.h"

#include "tests/support/FarTimes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using platform::Bytes;
using platform::FileAttributes;
using platform::FileManager;
using platform::WallTime;

namespace {

class FileManagerTest : public ::testing::Test {
protected:
  std::string p(const std::string &name) const { return dir.file(name); }
  void write(const std::string &name, std::string_view content) {
    size_t slash = name.rfind('/');
    if (slash != std::string::npos) {
      ASSERT_TRUE(FileManager::createDirectory(p(name.substr(0, slash))));
    }
    ASSERT_TRUE(FileManager::writeAtomically(p(name), content));
  }
  std::string read(const std::string &name) {
    return FileManager::stringContentsAtPath(p(name)).value_or("<missing>");
  }
  mode_t modeOf(const std::string &name) {
    struct stat st;
    return ::lstat(p(name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  testsupport::TempDir dir;
};

TEST_F(FileManagerTest, FoldersAreMadeListedAndRemoved) {
  EXPECT_TRUE(FileManager::createDirectory(p("a/b/c")));
  EXPECT_TRUE(FileManager::isDirectory(p("a/b/c")));
  EXPECT_TRUE(FileManager::createDirectory(p("a/b/c"))) << "an existing folder is fine";
  auto missingParent = FileManager::createDirectory(p("x/y"), false);
  EXPECT_FALSE(missingParent);
  EXPECT_NE(missingParent.error().find(p("x/y")), std::string::npos) << missingParent.error();
  write("a/file", "data");
  EXPECT_FALSE(FileManager::createDirectory(p("a/file/sub"))) << "a file stands in the way";

  write("a/z.txt", "z");
  write("a/.hidden", "h");
  ASSERT_EQ(::symlink("b", p("a/link").c_str()), 0);
  EXPECT_EQ(FileManager::contentsOfDirectory(p("a")),
            (std::vector<std::string>{".hidden", "b", "file", "link", "z.txt"}));
  std::string error;
  EXPECT_FALSE(FileManager::contentsOfDirectory(p("nope"), &error));
  EXPECT_NE(error.find("nope"), std::string::npos);
  EXPECT_FALSE(FileManager::contentsOfDirectory(p("a/file"), &error)) << "not a folder";

  // Removing a link leaves what it points to; removing a folder takes everything in it.
  ASSERT_EQ(::symlink(p("a/b").c_str(), p("outside-link").c_str()), 0);
  EXPECT_TRUE(FileManager::removeItem(p("outside-link")));
  EXPECT_TRUE(FileManager::isDirectory(p("a/b/c")));
  ASSERT_EQ(::chmod(p("a/b/c").c_str(), 0500), 0);
  EXPECT_TRUE(FileManager::removeItem(p("a")));
  EXPECT_FALSE(FileManager::fileExists(p("a")));
  EXPECT_FALSE(FileManager::removeItem(p("a")));
  EXPECT_FALSE(FileManager::removeItem(""));
}

TEST_F(FileManagerTest, ExistenceFollowsLinks) {
  write("f", "x");
  ASSERT_EQ(::symlink("f", p("to-file").c_str()), 0);
  ASSERT_EQ(::symlink("missing", p("dangling").c_str()), 0);
  ASSERT_TRUE(FileManager::createDirectory(p("d")));
  ASSERT_EQ(::symlink("d", p("to-dir").c_str()), 0);
  bool isDir = true;
  EXPECT_TRUE(FileManager::fileExists(p("to-file"), &isDir));
  EXPECT_FALSE(isDir);
  EXPECT_TRUE(FileManager::isDirectory(p("to-dir")));
  EXPECT_FALSE(FileManager::fileExists(p("dangling")));
  EXPECT_FALSE(FileManager::fileExists(""));
}

TEST_F(FileManagerTest, CopyKeepsContentModeAndDateAndNeverOverwrites) {
  write("src/one.txt", "");
  ASSERT_TRUE(FileManager::createDirectory(p("src/sub")));
  Bytes big(300000);
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(FileManager::writeAtomically(p("src/sub/big.bin"), big, 0640));
  ASSERT_EQ(::symlink("sub/big.bin", p("src/link").c_str()), 0);
  WallTime when = WallTime(std::chrono::seconds(1600000000));
  ASSERT_TRUE(FileManager::setModificationDate(p("src/sub/big.bin"), when));
  ASSERT_EQ(::chmod(p("src/sub").c_str(), 0750), 0);

  ASSERT_TRUE(FileManager::copyItem(p("src"), p("dst")));
  EXPECT_EQ(FileManager::contentsAtPath(p("dst/sub/big.bin")), big);
  EXPECT_EQ(modeOf("dst/sub/big.bin"), 0640u);
  EXPECT_EQ(modeOf("dst/sub"), 0750u);
  EXPECT_EQ(FileManager::attributesOfItem(p("dst/sub/big.bin"))->modificationDate, when);
  auto link = FileManager::attributesOfItem(p("dst/link"));
  ASSERT_TRUE(link);
  EXPECT_EQ(link->type, FileAttributes::Type::Link) << "links are copied as links";
  EXPECT_EQ(read("dst/link"), std::string(big.begin(), big.end()));
  EXPECT_EQ(read("dst/one.txt"), "");

  // The target exists (even as a dangling link): the copy fails and changes nothing.
  write("taken", "mine");
  auto s = FileManager::copyItem(p("src/one.txt"), p("taken"));
  EXPECT_FALSE(s);
  EXPECT_NE(s.error().find("taken"), std::string::npos) << s.error();
  EXPECT_EQ(read("taken"), "mine");
  ASSERT_EQ(::symlink("nowhere", p("dangling").c_str()), 0);
  EXPECT_FALSE(FileManager::copyItem(p("src/one.txt"), p("dangling")));
  EXPECT_FALSE(FileManager::copyItem(p("missing"), p("new")));
  EXPECT_FALSE(FileManager::fileExists(p("new")));
}

TEST_F(FileManagerTest, FailedFolderCopyLeavesNoPartialTarget) {
  write("src/a.txt", "a");
  ASSERT_EQ(::mkfifo(p("src/zz-pipe").c_str(), 0600), 0);
  auto s = FileManager::copyItem(p("src"), p("dst"));
  EXPECT_FALSE(s);
  EXPECT_NE(s.error().find("zz-pipe"), std::string::npos) << s.error();
  EXPECT_FALSE(FileManager::fileExists(p("dst")));
}

TEST_F(FileManagerTest, PathWithANulNamesNoFile) {
  // The part before the NUL is a real folder and file; nothing may act on them instead.
  write("folder/file.txt", "content");
  const std::string nul("\0x", 2);
  const std::string folder = p("folder") + nul, file = p("folder/file.txt") + nul;
  EXPECT_FALSE(FileManager::fileExists(folder));
  EXPECT_FALSE(FileManager::isDirectory(folder));
  EXPECT_FALSE(FileManager::removeItem(folder));
  EXPECT_FALSE(FileManager::writeAtomically(file, std::string_view("replaced")));
  EXPECT_FALSE(FileManager::contentsAtPath(file));
  EXPECT_FALSE(FileManager::attributesOfItem(file));
  EXPECT_FALSE(FileManager::contentsOfDirectory(folder));
  EXPECT_FALSE(FileManager::moveItem(folder, p("moved")));
  EXPECT_FALSE(FileManager::moveItem(p("folder/file.txt"), file));
  EXPECT_FALSE(FileManager::copyItem(file, p("copy.txt")));
  EXPECT_FALSE(FileManager::copyItem(p("folder/file.txt"), p("copy.txt") + nul));
  EXPECT_FALSE(FileManager::setModificationDate(file, WallTime(std::chrono::seconds(1))));
  EXPECT_FALSE(FileManager::protectFile(file));
  EXPECT_FALSE(FileManager::createDirectory(p("new") + nul));

  EXPECT_EQ(read("folder/file.txt"), "content");
  EXPECT_NE(FileManager::attributesOfItem(p("folder/file.txt"))->modificationDate,
            WallTime(std::chrono::seconds(1)));
  EXPECT_EQ(modeOf("folder/file.txt"), 0644u);
  EXPECT_FALSE(FileManager::fileExists(p("moved")));
  EXPECT_FALSE(FileManager::fileExists(p("copy.txt")));
  EXPECT_FALSE(FileManager::fileExists(p("new")));
}

TEST_F(FileManagerTest, FolderIsNotCopiedIntoItself) {
  write("src/a.txt", "a");
  write("src/sub/b.txt", "b");
  ASSERT_EQ(::symlink("sub", p("src/via-link").c_str()), 0);
  const WallTime old = WallTime(std::chrono::seconds(1600000000));
  ASSERT_TRUE(FileManager::setModificationDate(p("src"), old));
  ASSERT_TRUE(FileManager::setModificationDate(p("src/sub"), old));
  // Into itself, into a subfolder, and into a subfolder reached through a link: refused at once,
  // before anything is made (the folders are not even touched).
  for (const char *target : {"src/copy", "src/sub/copy", "src/via-link/copy"}) {
    auto s = FileManager::copyItem(p("src"), p(target));
    EXPECT_FALSE(s) << target;
    EXPECT_NE(s.error().find("src"), std::string::npos) << s.error();
    EXPECT_FALSE(FileManager::fileExists(p(target))) << target;
  }
  EXPECT_EQ(FileManager::contentsOfDirectory(p("src/sub")), (std::vector<std::string>{"b.txt"}));
  EXPECT_EQ(FileManager::attributesOfItem(p("src"))->modificationDate, old);
  EXPECT_EQ(FileManager::attributesOfItem(p("src/sub"))->modificationDate, old);
  // Beside itself, or a file into its own folder, is fine.
  EXPECT_TRUE(FileManager::copyItem(p("src"), p("src-copy")));
  EXPECT_EQ(read("src-copy/sub/b.txt"), "b");
  EXPECT_TRUE(FileManager::copyItem(p("src/a.txt"), p("src/a-copy.txt")));
  EXPECT_EQ(read("src/a-copy.txt"), "a");
}

TEST_F(FileManagerTest, MoveRenamesAndNeverOverwrites) {
  write("a.txt", "A");
  write("b.txt", "B");
  auto s = FileManager::moveItem(p("a.txt"), p("b.txt"));
  EXPECT_FALSE(s);
  EXPECT_NE(s.error().find("b.txt"), std::string::npos) << s.error();
  EXPECT_EQ(read("a.txt"), "A");
  EXPECT_EQ(read("b.txt"), "B");

  ASSERT_TRUE(FileManager::moveItem(p("a.txt"), p("c.txt")));
  EXPECT_FALSE(FileManager::fileExists(p("a.txt")));
  EXPECT_EQ(read("c.txt"), "A");
  write("folder/inner", "i");
  ASSERT_TRUE(FileManager::createDirectory(p("other")));
  ASSERT_TRUE(FileManager::moveItem(p("folder"), p("other/folder")));
  EXPECT_EQ(read("other/folder/inner"), "i");
  EXPECT_FALSE(FileManager::moveItem(p("other"), p("other/folder/into-itself")));
  EXPECT_FALSE(FileManager::moveItem(p("missing"), p("x")));
}

TEST_F(FileManagerTest, MoveAcrossFileSystemsCopiesAndRemoves) {
  struct stat here, shm;
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &here) != 0 ||
      here.st_dev == shm.st_dev)
    GTEST_SKIP() << "no second file system to move to";
  char pattern[] = "/dev/shm/ferrowen-test-XXXXXX";
  if (!::mkdtemp(pattern)) GTEST_SKIP() << "the second file system is not writable";
  std::string other = pattern;
  write("tree/deep/f.txt", "content");
  auto s = FileManager::moveItem(p("tree"), other + "/tree");
  EXPECT_TRUE(s) << s.error();
  EXPECT_EQ(FileManager::stringContentsAtPath(other + "/tree/deep/f.txt"), "content");
  EXPECT_FALSE(FileManager::fileExists(p("tree")));
  FileManager::removeItem(other);
}

TEST_F(FileManagerTest, AttributesOfTheItemItself) {
  write("f.txt", "hello");
  ASSERT_EQ(::chmod(p("f.txt").c_str(), 0640), 0);
  auto a = FileManager::attributesOfItem(p("f.txt"));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->type, FileAttributes::Type::Regular);
  EXPECT_EQ(a->size, 5u);
  EXPECT_EQ(a->permissions, 0640u);
  struct passwd *pw = ::getpwuid(::getuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(a->owner, pw->pw_name);
  EXPECT_EQ(a->ownerId, ::getuid());
  EXPECT_FALSE(a->group.empty());

  // Sizes beyond 4 GiB (a sparse file takes no room).
  int fd = ::open(p("sparse").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 5LL * 1024 * 1024 * 1024 + 3), 0);
  ::close(fd);
  EXPECT_EQ(FileManager::attributesOfItem(p("sparse"))->size, 5368709123ull);

  ASSERT_TRUE(FileManager::createDirectory(p("d")));
  EXPECT_EQ(FileManager::attributesOfItem(p("d"))->type, FileAttributes::Type::Directory);
  ASSERT_EQ(::symlink("d", p("l").c_str()), 0);
  EXPECT_EQ(FileManager::attributesOfItem(p("l"))->type, FileAttributes::Type::Link);
  ASSERT_EQ(::symlink("gone", p("dangling").c_str()), 0);
  EXPECT_EQ(FileManager::attributesOfItem(p("dangling"))->type, FileAttributes::Type::Link);

  std::string error;
  EXPECT_FALSE(FileManager::attributesOfItem(p("missing"), &error));
  EXPECT_NE(error.find("missing"), std::string::npos);
}

TEST_F(FileManagerTest, ModificationDateRoundTrips) {
  write("f", "x");
  WallTime when = WallTime(std::chrono::seconds(1234567890)) + std::chrono::microseconds(250000);
  ASSERT_TRUE(FileManager::setModificationDate(p("f"), when));
  EXPECT_EQ(FileManager::attributesOfItem(p("f"))->modificationDate, when);
  WallTime old = WallTime(std::chrono::seconds(-86400)); // before 1970
  ASSERT_TRUE(FileManager::setModificationDate(p("f"), old));
  EXPECT_EQ(FileManager::attributesOfItem(p("f"))->modificationDate, old);
  EXPECT_FALSE(FileManager::setModificationDate(p("missing"), when));
  // A time past the clock's reach (a file touched to the year 2300) reads as its last day.
  ASSERT_TRUE(testsupport::setModificationTime(p("f"), testsupport::kYear2300));
  EXPECT_EQ(testsupport::yearOf(FileManager::attributesOfItem(p("f"))->modificationDate),
            testsupport::kLastClockYear);
}

TEST_F(FileManagerTest, AtomicWriteIsAllOrNothing) {
  write("f", "old content");
  ASSERT_TRUE(FileManager::writeAtomically(p("f"), std::string_view("new"), 0600));
  EXPECT_EQ(read("f"), "new");
  EXPECT_EQ(modeOf("f"), 0600u);
  auto s = FileManager::writeAtomically(p("no/such/folder/f"), std::string_view("x"));
  EXPECT_FALSE(s);
  EXPECT_NE(s.error().find("no/such/folder/f"), std::string::npos);
  EXPECT_EQ(FileManager::contentsOfDirectory(dir.path()), (std::vector<std::string>{"f"}))
      << "no temporary files are left behind";

  // A reader running alongside sees one whole version or the other, never a mixture.
  const std::string a(200000, 'a'), b(200000, 'b');
  write("shared", a);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      auto content = FileManager::stringContentsAtPath(p("shared"));
      if (!content || (*content != a && *content != b)) ++torn;
    }
  });
  for (int i = 0; i < 40; ++i)
    ASSERT_TRUE(FileManager::writeAtomically(p("shared"), i % 2 ? a : b));
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
}

TEST_F(FileManagerTest, ReadingWholeFiles) {
  write("empty", "");
  EXPECT_EQ(FileManager::contentsAtPath(p("empty")), Bytes{});
  Bytes binary = {0, 1, 0xff, 0, 'x'};
  ASSERT_TRUE(FileManager::writeAtomically(p("bin"), binary));
  EXPECT_EQ(FileManager::contentsAtPath(p("bin")), binary);
  std::string error;
  EXPECT_FALSE(FileManager::contentsAtPath(p("missing"), &error));
  EXPECT_NE(error.find("missing"), std::string::npos);
  ASSERT_TRUE(FileManager::createDirectory(p("d")));
  EXPECT_FALSE(FileManager::contentsAtPath(p("d"), &error));
  EXPECT_NE(error.find("directory"), std::string::npos) << error;
}

TEST_F(FileManagerTest, ProtectRestrictsToTheOwner) {
  write("keychain", "secret");
  ASSERT_EQ(::chmod(p("keychain").c_str(), 0666), 0);
  ASSERT_TRUE(FileManager::createDirectory(p("PrivateKeys")));
  EXPECT_TRUE(FileManager::protectFile(p("keychain")));
  EXPECT_TRUE(FileManager::protectFile(p("PrivateKeys")));
  EXPECT_EQ(modeOf("keychain"), 0600u);
  EXPECT_EQ(modeOf("PrivateKeys"), 0700u);
  EXPECT_FALSE(FileManager::protectFile(p("missing")));
}

} // namespace
