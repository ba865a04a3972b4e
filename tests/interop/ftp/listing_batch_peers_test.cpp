// A folder download of the queue's connection walks a remote tree on pyftpdlib: each listing's
// files become queue rows (unless queued or saved whole already), its sub-folders are listed in
// turn, and the queue hears once, at the end, that the item is done.
#include "tests/interop/ftp/TaskPeers.h"

#include "app/foundation/FolderDownloadBounds.h"

#include "platform/foundation/FileManager.h"

#include <unistd.h>

#include <algorithm>
#include <set>

using namespace taskpeers;

namespace {

class ListingBatchPeersTest : public TaskPeerTest {
protected:
  // Connects to `s` and waits until logged in, with nothing left to do, and a moment after.
  void logIn(const Server &s) {
    startConnection(address(s), false);
    conn->connect();
    ASSERT_TRUE(waitFor([&] { return conn->fIsLoggedIn() && idle(); })) << conn->transferLog();
    waitFor([] { return false; }, 0.6);
  }
  // Starts the download of the remote folder `folder` as the queue's item `key`, then changes
  // to the folder `cwd`.
  void downloadFolder(int key, const std::string &folder, const std::string &cwd) {
    conn->setBatchPK(key);
    conn->batchDirectoryDownload(folder);
    conn->changeDirectory(cwd);
  }
};

TEST_F(ListingBatchPeersTest, FolderDownloadQueuesEveryFileOfTheTree) {
  Server s = startPyftpdlib();
  ::mkdir((s.root + "/tree").c_str(), 0755);
  ::mkdir((s.root + "/tree/sub").c_str(), 0755);
  ::mkdir((s.root + "/tree/sub/deeper").c_str(), 0755);
  testsupport::writeFile(s.root + "/tree/a.txt", "aaa");
  testsupport::writeFile(s.root + "/tree/saved.txt", "saved");
  testsupport::writeFile(s.root + "/tree/sub/b.txt", "bb");
  testsupport::writeFile(s.root + "/tree/sub/deeper/c.txt", "c");
  // Already saved whole: not fetched again. Saved with another size: fetched.
  FileManager::createDirectory(Paths::documents() + "/Files/tree", true);
  testsupport::writeFile(Paths::documents() + "/Files/tree/saved.txt", "saved");
  testsupport::writeFile(Paths::documents() + "/Files/tree/a.txt", "a");

  ASSERT_NO_FATAL_FAILURE(logIn(s));

  downloadFolder(7, "tree", "/tree");
  ASSERT_TRUE(waitFor([&] { return !services->queue->reports().empty(); })) << conn->transferLog();
  waitFor([] { return false; }, 0.3);
  EXPECT_EQ(services->queue->reports(), std::vector<std::string>{"done:7"});
  auto rows = services->queue->addedRows();
  std::vector<std::string> got;
  for (auto &r : rows)
    got.push_back(r.path + "|" + r.filename + "|" + r.localpath);
  EXPECT_EQ(got, (std::vector<std::string>{"/tree|a.txt|tree", "/tree/sub|b.txt|tree/sub",
                                           "/tree/sub/deeper|c.txt|tree/sub/deeper"}));
  for (auto &r : rows)
    EXPECT_EQ(r.action, 2);
  // The folders were listed one after another.
  auto cwds = commandsSent();
  EXPECT_EQ(std::count(cwds.begin(), cwds.end(), "CWD /tree/sub/deeper"), 1);

  // A second walk finds the files queued already and adds nothing.
  downloadFolder(8, "tree", "/tree");
  ASSERT_TRUE(waitFor([&] { return services->queue->reports().size() == 2; }));
  EXPECT_EQ(services->queue->addedRows().size(), 3u);
}

// Names that cannot be local file names are left out (the folder's own too) and the item is
// handed back with an error, never reported done.
TEST_F(ListingBatchPeersTest, NamesLeadingOutAreLeftOutAndTheItemFails) {
  const std::string line = "-rw-r--r--   1 ftp      ftp             5 Jan 01 12:00 ";
  const std::string dir = "drwxr-xr-x   1 ftp      ftp             0 Jan 01 12:00 ";
  Server s =
      startScripted(R"({"listing": ")" + dir + R"(..\r\n)" + dir + R"(../outside\r\n)" + line +
                    R"(../evil.txt\r\n)" + line + R"(bad\u0001\r\n)" + line + R"(good.txt\r\n"})");
  UserDefaults::standard().setObject("1", kShowHiddenFilesKey);
  ASSERT_NO_FATAL_FAILURE(logIn(s));
  struct {
    std::string root, error;
    size_t rows;
  } cases[] = {{"tree", "left out 3 items", 1}, {"..", "left out 1 item", 0}};
  int key = 7;
  for (auto &c : cases) {
    SCOPED_TRACE(c.root);
    const size_t before = services->queue->reports().size();
    const size_t told = delegate->taken().size();
    downloadFolder(key, c.root, "/tree");
    // The screen hears of the error by a post of its own, after the queue's report.
    ASSERT_TRUE(waitFor([&] {
      return services->queue->reports().size() > before && idle() &&
             delegate->taken().size() > told;
    })) << conn->transferLog();
    EXPECT_EQ(services->queue->reports().back(), "abort:" + std::to_string(key++));
    ASSERT_FALSE(delegate->taken().empty());
    EXPECT_NE(delegate->taken().back().find(c.error), std::string::npos)
        << delegate->taken().back();
  }
  auto rows = services->queue->addedRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].filename + "|" + rows[0].localpath, "good.txt|tree");
  EXPECT_TRUE(logHas("!!! Skipped \"bad\\x01\": it holds a control character"));
}

// A link is fetched as a file, never walked as a folder: pyftpdlib as installed, serving a folder
// that holds "loop -> .", is listed once, each entry becomes one row, and the item is done.
TEST_F(ListingBatchPeersTest, ALinkToTheFolderItselfIsListedOnce) {
  Server s = startPyftpdlib();
  ::mkdir((s.root + "/tree").c_str(), 0755);
  testsupport::writeFile(s.root + "/tree/a.txt", "aaa");
  ASSERT_EQ(::symlink(".", (s.root + "/tree/loop").c_str()), 0);
  ASSERT_NO_FATAL_FAILURE(logIn(s));

  downloadFolder(7, "tree", "/tree");
  ASSERT_TRUE(waitFor([&] { return !services->queue->reports().empty(); }, 20))
      << services->queue->addedRows().size() << " rows\n"
      << conn->transferLog().substr(0, 4000);
  waitFor([] { return false; }, 0.3);
  EXPECT_EQ(services->queue->reports(), std::vector<std::string>{"done:7"});
  std::vector<std::string> got;
  for (auto &r : services->queue->addedRows())
    got.push_back(r.filename + "|" + r.localpath);
  EXPECT_EQ(got, (std::vector<std::string>{"a.txt|tree", "loop|tree"}));
  auto sent = commandsSent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "CWD /tree"), 1);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "LIST"), 1);
}

// Folder trees that never end, from a scripted server whose every folder holds one more folder
// (and a file): the walk stops at its bounds, with the reason on the item, having queued a bounded
// number of rows and sent bounded folder paths; a folder the server names as one walked already
// (a link to the folder itself that the server resolves) is not listed again.
TEST_F(ListingBatchPeersTest, EndlessTreesStopAtTheirBoundsAndNoFolderIsListedTwice) {
  const std::string dir = "drwxr-xr-x   1 ftp      ftp             0 Jan 01 12:00 ";
  const std::string file = "-rw-r--r--   1 ftp      ftp             5 Jan 01 12:00 f.txt\\r\\n";
  const std::string longName(200, 'n');
  struct Case {
    const char *name;
    std::string folder, same, error; // error: empty when the item is done
  } cases[] = {
      {"deep", "deeper", "", folderdownload::tooManyLevels()},
      {"long names", longName, "", folderdownload::kLocalPathTooLong},
      {"link resolved", "loop", R"(, "same": ["loop"])", ""},
  };
  int key = 7;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    stopConnection();
    Server s = startScripted(R"({"pwd": "follow", "listing": ")" + dir + c.folder + R"(\r\n)" +
                             file + "\"" + c.same + "}");
    ASSERT_NO_FATAL_FAILURE(logIn(s));
    const size_t rowsBefore = services->queue->addedRows().size();
    const size_t reportsBefore = services->queue->reports().size();
    const size_t told = delegate->taken().size();
    downloadFolder(key, "top", "/top");
    ASSERT_TRUE(waitFor(
        [&] {
          return services->queue->reports().size() > reportsBefore && idle() &&
                 (c.error.empty() || delegate->taken().size() > told);
        },
        60))
        << conn->transferLog().substr(0, 4000);
    const size_t rows = services->queue->addedRows().size() - rowsBefore;
    auto sent = commandsSent();
    size_t lists = 0, longest = 0;
    std::set<std::string> folders;
    for (auto &command : sent) {
      lists += command == "LIST";
      if (command.rfind("CWD ", 0) == 0) {
        longest = std::max(longest, command.size());
        EXPECT_TRUE(folders.insert(command).second) << "listed twice: " << command.substr(0, 80);
      }
    }
    if (c.error.empty()) {
      EXPECT_EQ(services->queue->reports().back(), "done:" + std::to_string(key));
      EXPECT_EQ(rows, 1u);
      EXPECT_EQ(lists, 1u);
      EXPECT_TRUE(logHas("!!! Skipped a folder listed before in this download: /top"));
    } else {
      EXPECT_EQ(services->queue->reports().back(), "abort:" + std::to_string(key));
      ASSERT_GT(delegate->taken().size(), told);
      EXPECT_EQ(delegate->taken().back(), folderdownload::errorText(c.error));
      EXPECT_GT(rows, 0u);
      EXPECT_LE(rows, folderdownload::kMaxDepth + 1);
      EXPECT_LE(lists, folderdownload::kMaxDepth + 1);
      EXPECT_LT(longest, folderdownload::kMaxLocalPath);
    }
    ++key;
  }
}

// What a folder of a tree too wide or too full lists, by its depth below "/", made up for the
// walk instead of parsed: the bounds count entries in the hundreds of thousands, which the listing
// parser would take most of a minute to read here. Folders, their replies and the walk are the
// real ones; only the parsing of each listing's lines is left out.
class GeneratedListings : public FTPConnection {
public:
  std::function<void(size_t depth, std::vector<std::shared_ptr<DirItemInfo>> &)> generate;

protected:
  void parseDirectoryListing() override {
    dataReadData_.clear();
    if (!currentDirectory_.empty() || !generate) return; // made once per listing
    const std::string folder = cwd();
    generate(size_t(std::count(folder.begin(), folder.end(), '/')), currentDirectory_);
  }
};

// Trees too wide or too full, from a scripted server that lists no folder deeper than the tree
// goes (a walk that runs into that end fails otherwise, and soon): a folder of 25,000 folders,
// and five levels of folders of 170,000 files each (and one folder more). The walk stops at the
// bound it met, with its reason on the item, before the tree's end.
TEST_F(ListingBatchPeersTest, WideAndFullTreesStopAtTheirBounds) {
  auto entry = [](const std::string &name, bool folder) {
    auto e = std::make_shared<DirItemInfo>();
    e->setName(name);
    e->isDirectory = folder;
    e->size = "5";
    return e;
  };
  const auto file = entry("f.txt", false);
  struct Case {
    const char *name;
    int levels;
    std::function<void(size_t, std::vector<std::shared_ptr<DirItemInfo>> &)> generate;
    std::string error;
  } cases[] = {
      {"wide", 1,
       [&](size_t depth, auto &listing) {
         for (size_t i = 0; depth == 1 && i < 25000; ++i)
           listing.push_back(entry("f" + std::to_string(i), true));
       },
       folderdownload::tooManyFolders()},
      {"full", 5,
       [&](size_t, auto &listing) {
         listing.assign(170000, file); // one file listed over and over: one row per folder
         listing.push_back(entry("deeper", true));
       },
       folderdownload::tooManyEntries()},
  };
  int key = 7;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    stopConnection();
    Server s = startScripted(R"({"pwd": "follow", "maxdepth": )" + std::to_string(c.levels) +
                             R"(, "listing": "-rw-r--r-- 1 ftp ftp 5 Jan 01 12:00 f.txt\r\n"})");
    makeConnection = [&c] {
      auto made = std::make_shared<GeneratedListings>();
      made->generate = c.generate;
      return made;
    };
    ASSERT_NO_FATAL_FAILURE(logIn(s));
    const size_t rowsBefore = services->queue->addedRows().size();
    const size_t told = delegate->taken().size();
    const size_t reportsBefore = services->queue->reports().size();
    downloadFolder(key, "top", "/top");
    ASSERT_TRUE(waitFor([&] { return idle() && delegate->taken().size() > told; }))
        << conn->transferLog().substr(0, 4000);
    EXPECT_EQ(delegate->taken().back(), folderdownload::errorText(c.error));
    ASSERT_GT(services->queue->reports().size(), reportsBefore);
    EXPECT_EQ(services->queue->reports().back(), "abort:" + std::to_string(key));
    auto sent = commandsSent();
    const size_t lists = size_t(std::count(sent.begin(), sent.end(), "LIST"));
    EXPECT_LE(lists, size_t(c.levels));
    // A row for each folder walked whole before the bound: the last folder listed queued nothing.
    EXPECT_EQ(services->queue->addedRows().size() - rowsBefore, c.levels > 1 ? lists - 1 : 0);
    ++key;
  }
  makeConnection = nullptr;
}

} // namespace
