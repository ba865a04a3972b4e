#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

using platform::FileManager;
using platform::Paths;

namespace {

using testsupport::EnvGuard;

TEST(PathsTest, HomeFollowsEnvironmentInOrder) {
  testsupport::TempDir tmp;
  EnvGuard env;
  env.set("FERROWEN_HOME", nullptr);
  env.set("XDG_DATA_HOME", nullptr);
  env.set("HOME", tmp.path().c_str());
  EXPECT_EQ(Paths::home(), tmp.path() + "/.local/share/ferrowen");
  EXPECT_TRUE(FileManager::isDirectory(tmp.path() + "/.local/share/ferrowen"));

  env.set("XDG_DATA_HOME", (tmp.path() + "/xdg").c_str());
  EXPECT_EQ(Paths::home(), tmp.path() + "/xdg/ferrowen");

  env.set("FERROWEN_HOME", (tmp.path() + "/fh/").c_str());
  EXPECT_EQ(Paths::home(), tmp.path() + "/fh");
  EXPECT_EQ(Paths::preferencesFile(), tmp.path() + "/fh/Preferences.json");

  // A relative root is taken from the working folder.
  ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
  char cwd[4096];
  ASSERT_TRUE(::getcwd(cwd, sizeof cwd));
  env.set("FERROWEN_HOME", "rel/home");
  EXPECT_EQ(Paths::home(), std::string(cwd) + "/rel/home");
  EXPECT_TRUE(FileManager::isDirectory(tmp.path() + "/rel/home"));
  ASSERT_EQ(::chdir("/"), 0);
  env.set("FERROWEN_HOME", (tmp.path() + "/fh/").c_str());

  // A test's own root wins over the environment until it is cleared.
  Paths::setHome(tmp.path() + "/case");
  EXPECT_EQ(Paths::home(), tmp.path() + "/case");
  Paths::setHome("");
  EXPECT_EQ(Paths::home(), tmp.path() + "/fh");
}

TEST(PathsTest, FoldersAreMadeOnFirstUseAndHomeIsPrivate) {
  testsupport::TempDir tmp;
  Paths::setHome(tmp.path() + "/a/b/home");
  EXPECT_EQ(Paths::documents(), tmp.path() + "/a/b/home/Documents");
  EXPECT_EQ(Paths::tmp(), tmp.path() + "/a/b/home/tmp");
  EXPECT_TRUE(FileManager::isDirectory(Paths::documents()));
  EXPECT_TRUE(FileManager::isDirectory(Paths::tmp()));
  struct stat st;
  ASSERT_EQ(::stat((tmp.path() + "/a/b/home").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
  // Existing folders are left as they are.
  ASSERT_TRUE(
      FileManager::writeAtomically(Paths::documents() + "/keep.txt", std::string_view("x")));
  EXPECT_TRUE(FileManager::fileExists(Paths::documents() + "/keep.txt"));
  Paths::setHome("");
}

TEST(PathsTest, ResourcesFromEnvironmentOrSourceTree) {
  testsupport::TempDir tmp;
  EnvGuard env;
  env.set("FERROWEN_RESOURCES", nullptr);
  std::string found = Paths::resources();
  // Without an installation next to the test program, the source tree's folder is used.
  EXPECT_EQ(found, std::string(FERROWEN_SOURCE_DIR) + "/resources");

  env.set("FERROWEN_RESOURCES", (tmp.path() + "/res/").c_str());
  EXPECT_EQ(Paths::resources(), tmp.path() + "/res");
  Paths::setResources(tmp.path() + "/other");
  EXPECT_EQ(Paths::resources(), tmp.path() + "/other");
  Paths::setResources("");
  EXPECT_EQ(Paths::resources(), tmp.path() + "/res");
}

} // namespace
