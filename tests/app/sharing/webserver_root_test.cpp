// The shared folder's own real path is remembered between requests: whatever happens to the folder
// (replaced, moved behind its link), each request is still judged against where it is now.
#include "app/sharing/WebRequest.h"

#include "tests/support/TestSupport.h"

#include "platform/foundation/FileManager.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {

struct Folders {
  testsupport::TempDir tmp{"ferrowen-web-root"};
  std::string root = tmp.path() + "/Files"; // what the server is told to share
  std::string dir(const std::string &name) {
    const std::string path = tmp.path() + "/" + name;
    platform::FileManager::createDirectory(path, true);
    return path;
  }
  void pointRootAt(const std::string &target) {
    ::unlink(root.c_str());
    ASSERT_EQ(::symlink(target.c_str(), root.c_str()), 0);
  }
};

} // namespace

TEST(WebRootRealPath, ReplacedRootIsJudgedAsItIsNow) {
  Folders f;
  const std::string first = f.dir("first"), second = f.dir("second");
  ASSERT_TRUE(testsupport::writeFile(first + "/a.txt", "a"));
  ASSERT_TRUE(testsupport::writeFile(second + "/b.txt", "b"));
  // Inside the second folder, a link back into the first: outside once the root is the second.
  ASSERT_EQ(::symlink((first + "/a.txt").c_str(), (second + "/back").c_str()), 0);
  f.pointRootAt(first);
  ASSERT_EQ(webLocalPath(f.root, "/a.txt"), f.root + "/a.txt");

  f.pointRootAt(second);
  WebRealPaths real;
  EXPECT_EQ(webLocalPath(f.root, "/b.txt", &real), f.root + "/b.txt");
  EXPECT_EQ(real.root, *platform::FileManager::realPath(second));
  EXPECT_FALSE(webLocalPath(f.root, "/back").has_value());
  f.pointRootAt(first);
  EXPECT_EQ(webLocalPath(f.root, "/a.txt"), f.root + "/a.txt");
  EXPECT_FALSE(webLocalPath(f.root, "/../second/b.txt").has_value());
}

TEST(WebRootRealPath, RootMovedBehindItsLinkIsFoundAgain) {
  Folders f;
  const std::string old = f.dir("old");
  ASSERT_TRUE(testsupport::writeFile(old + "/a.txt", "a"));
  f.pointRootAt(old);
  ASSERT_EQ(webLocalPath(f.root, "/a.txt"), f.root + "/a.txt");
  // The same folder (same inode) under a new name, the link following it.
  const std::string moved = f.tmp.path() + "/moved";
  ASSERT_EQ(std::rename(old.c_str(), moved.c_str()), 0);
  f.pointRootAt(moved);
  WebRealPaths real;
  EXPECT_EQ(webLocalPath(f.root, "/a.txt", &real), f.root + "/a.txt");
  EXPECT_EQ(real.item, *platform::FileManager::realPath(moved + "/a.txt"));
  // The old place, made again with other content, is not the shared folder any more.
  f.dir("old");
  ASSERT_EQ(::symlink((f.tmp.path() + "/old").c_str(), (moved + "/to-old").c_str()), 0);
  EXPECT_FALSE(webLocalPath(f.root, "/to-old").has_value());
}

// An item is opened below the folder the root's path names now, never below one it named before.
TEST(WebRootRealPath, ItemsAreOpenedInTheRootAsItIsNow) {
  Folders f;
  const std::string first = f.dir("first"), second = f.dir("second");
  ASSERT_TRUE(testsupport::writeFile(first + "/a.txt", "first"));
  ASSERT_TRUE(testsupport::writeFile(second + "/a.txt", "second"));
  auto contentOf = [&](const std::string &request) {
    WebLocalItem item = webOpenLocalItem(f.root, request);
    char buf[16] = {};
    return item.fd >= 0 && ::read(item.fd, buf, sizeof buf) > 0 ? std::string(buf) : "";
  };
  f.pointRootAt(first);
  EXPECT_EQ(contentOf("/a.txt"), "first");
  f.pointRootAt(second);
  EXPECT_EQ(contentOf("/a.txt"), "second");
  // The same folder moved, its link following it.
  const std::string moved = f.tmp.path() + "/moved";
  ASSERT_EQ(std::rename(second.c_str(), moved.c_str()), 0);
  f.pointRootAt(moved);
  EXPECT_EQ(contentOf("/a.txt"), "second");
  // Replaced by a folder of the same name.
  ASSERT_EQ(std::rename(moved.c_str(), (f.tmp.path() + "/gone").c_str()), 0);
  f.dir("moved");
  EXPECT_EQ(contentOf("/a.txt"), "");
  EXPECT_FALSE(webOpenLocalItem(f.root, "/a.txt").facts.has_value());
  // No root at all: nothing opens, and a path going up is still refused.
  ::unlink(f.root.c_str());
  EXPECT_EQ(contentOf("/a.txt"), "");
  EXPECT_FALSE(webOpenLocalItem(f.root, "/../first/a.txt").inside);
}
