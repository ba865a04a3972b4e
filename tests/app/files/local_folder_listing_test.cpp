// What a Saved Files listing says of each entry: size, permissions, folders and links, the
// queue's in-progress mark, and key files made private whether they are shown or not.
#include "app/files/LocalFolderViewController.h"

#include "tests/app/foundation/ScreenFixture.h"
#include "tests/support/FarTimes.h"

#include "app/files/LocalFilesServices.h"
#include "app/foundation/Globals.h"
#include "tests/support/TimeScale.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace platform;
namespace fs = std::filesystem;

namespace {

struct InProgressDouble : LocalFilesServices {
  std::vector<std::string> held, asked;
  bool isInProgress(const std::string &path) override {
    asked.push_back(path);
    return std::find(held.begin(), held.end(), path) != held.end();
  }
};

class LocalFolderListingTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    DeviceProfile::setCurrent(DeviceProfile::iPhone());
    InitGlobals();
    RegisterDefaultSettings();
    LocalFilesServices::setShared(queue);
    files = documents() + "/Files";
    fs::create_directories(files + "/folder");
  }
  void TearDown() override {
    LocalFilesServices::setShared(nullptr);
    ScreenTest::TearDown();
  }
  std::shared_ptr<DirItemInfo> entry(const LocalFolderViewController &screen,
                                     const std::string &name) {
    for (auto &item : screen.folderItems())
      if (item->name() == name) return item;
    return nullptr;
  }
  static unsigned modeOf(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  std::shared_ptr<InProgressDouble> queue = std::make_shared<InProgressDouble>();
  std::string files;
};

} // namespace

TEST_F(LocalFolderListingTest, EntriesCarryWhatTheDiskSays) {
  ASSERT_TRUE(testsupport::writeFile(files + "/folder/data.bin", std::string(1234, 'x')));
  ::chmod((files + "/folder/data.bin").c_str(), 0640);
  ::chmod((files + "/folder").c_str(), 0751);
  fs::create_directories(files + "/folder/inner");
  ::chmod((files + "/folder/inner").c_str(), 0700);
  ASSERT_EQ(::symlink("data.bin", (files + "/folder/link").c_str()), 0);
  ASSERT_EQ(::symlink("gone", (files + "/folder/dangling").c_str()), 0);
  queue->held = {files + "/folder/data.bin"};

  auto screen = LocalFolderViewController::make("Files/folder");
  screen->loadFolderData();
  const struct {
    const char *name;
    const char *attrib;
    bool isDirectory, isLink, inProgress;
  } cases[] = {
      {"data.bin", "-rw-r-----", false, false, true},
      {"inner", "drwx------", true, false, false},
      {"link", "drwxrwxrwx", true, true, false}, // a link lists as a folder, as before
      {"dangling", "drwxrwxrwx", true, true, false},
  };
  ASSERT_EQ(screen->folderItems().size(), std::size(cases));
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto item = entry(*screen, c.name);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->attrib, c.attrib);
    EXPECT_EQ(item->isDirectory, c.isDirectory);
    EXPECT_EQ(item->isLink, c.isLink);
    EXPECT_EQ(item->inProgress, c.inProgress);
  }
  EXPECT_EQ(entry(*screen, "data.bin")->size, "1234");
  // The queue is asked with each entry's full path.
  EXPECT_NE(std::find(queue->asked.begin(), queue->asked.end(), files + "/folder/inner"),
            queue->asked.end());
  // A file that went away is gone from the next listing; one that came is there.
  fs::remove(files + "/folder/data.bin");
  ASSERT_TRUE(testsupport::writeFile(files + "/folder/new.txt", "n"));
  screen->loadFolderData();
  EXPECT_FALSE(entry(*screen, "data.bin"));
  EXPECT_TRUE(entry(*screen, "new.txt"));
}

TEST_F(LocalFolderListingTest, FilesDatedPastTheClocksReachListAtItsLastDay) {
  ASSERT_TRUE(testsupport::writeFile(files + "/folder/far.txt", "far"));
  ASSERT_TRUE(testsupport::writeFile(files + "/folder/near.txt", "near"));
  ASSERT_TRUE(testsupport::setModificationTime(files + "/folder/far.txt", testsupport::kYear2300));
  auto screen = LocalFolderViewController::make("Files/folder");
  screen->loadFolderData();
  ASSERT_TRUE(entry(*screen, "far.txt"));
  EXPECT_EQ(testsupport::yearOf(entry(*screen, "far.txt")->date), testsupport::kLastClockYear);
  EXPECT_GT(entry(*screen, "far.txt")->date, entry(*screen, "near.txt")->date);
}

TEST_F(LocalFolderListingTest, KeyFilesArePrivateWhetherShownOrNot) {
  const std::vector<std::string> keys{"id.ppk", "ID.PEM", "host.Rsa", "old.dsa", "cl\xC3\xA9.pem"};
  for (auto &name : keys)
    ASSERT_TRUE(testsupport::writeFile(files + "/" + name, "key"));
  ASSERT_TRUE(testsupport::writeFile(files + "/notes.pem.txt", "not a key"));
  fs::create_directories(files + "/PrivateKeys");
  ASSERT_TRUE(testsupport::writeFile(files + "/PrivateKeys/anything", "key"));
  for (auto &name : {"notes.pem.txt", "PrivateKeys/anything"})
    ::chmod((files + "/" + name).c_str(), 0644);
  for (auto &name : keys)
    ::chmod((files + "/" + name).c_str(), 0644);

  LocalFolderViewController::make("")->loadFolderData();
  for (auto &name : keys)
    EXPECT_EQ(modeOf(files + "/" + name), 0600u) << name;
  EXPECT_EQ(modeOf(files + "/notes.pem.txt"), 0644u);
  // Inside the keys folder everything is kept, once that folder is listed.
  EXPECT_EQ(modeOf(files + "/PrivateKeys/anything"), 0644u);
  LocalFolderViewController::make("Files/PrivateKeys")->loadFolderData();
  EXPECT_EQ(modeOf(files + "/PrivateKeys/anything"), 0600u);

  // The shared folder hides the application's own entries but keeps its keys private too.
  ASSERT_TRUE(testsupport::writeFile(documents() + "/shared.pem", "key"));
  ::chmod((documents() + "/shared.pem").c_str(), 0644);
  auto shared = LocalFolderViewController::make("./iTunes", true);
  shared->loadFolderData();
  EXPECT_EQ(modeOf(documents() + "/shared.pem"), 0600u);
  EXPECT_FALSE(entry(*shared, "Files"));
  EXPECT_TRUE(entry(*shared, "shared.pem"));
}

// The shared folder is listed again when what it holds changes, never because a listing protected
// a key there: a key of the wrong mode is protected once, at the first listing, and one already
// protected is left untouched (not even its change time moves).
TEST_F(LocalFolderListingTest, AKeyFileInTheSharedFolderBringsNoListingOfItsOwn) {
  const std::string key = documents() + "/id.pem";
  ASSERT_TRUE(testsupport::writeFile(key, "key"));
  ::chmod(key.c_str(), 0644);
  auto listings = [&] { return std::count(queue->asked.begin(), queue->asked.end(), key); };
  auto changedAt = [&] {
    struct stat st {};
    ::lstat(key.c_str(), &st);
    return std::pair(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  };
  auto quietFor = [](std::chrono::milliseconds time) {
    RunLoop::main()->runUntil([] { return false; }, time);
  };
  auto shared = LocalFolderViewController::make("./iTunes", true);
  ASSERT_TRUE(shared->view()); // on screen: listed, and watched
  EXPECT_EQ(modeOf(key), 0600u);
  ASSERT_TRUE(entry(*shared, "id.pem"));
  EXPECT_EQ(entry(*shared, "id.pem")->attrib, "-rw-------");
  const auto first = listings();
  const auto protectedAt = changedAt();
  quietFor(std::chrono::milliseconds(400));
  EXPECT_EQ(listings(), first) << "the folder was listed again by itself";

  shared->clickRefresh();
  EXPECT_EQ(changedAt(), protectedAt) << "a protected key was changed again";
  quietFor(std::chrono::milliseconds(400));
  EXPECT_EQ(listings(), first + 1);

  // A file coming is a change of the folder.
  ASSERT_TRUE(testsupport::writeFile(documents() + "/dropped.txt", "new"));
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return listings() > first + 1; },
                                        testsupport::scaled(std::chrono::seconds(5))));
  EXPECT_TRUE(entry(*shared, "dropped.txt"));
}
