// What the Saved Files screen learns from the queue: which files belong to queued transfers (a
// look-up kept up to date as rows come and go and as local paths change), and reloads after
// finished downloads, at most a few a second and always one after the last.
#include "tests/app/queue/QueueTestSupport.h"

#include "app/queue/LocalPathIndex.h"

using namespace queuetest;

namespace {

int addDownload(BatchListView &queue, const std::string &name, const std::string &localpath) {
  return queue.addBatchItemAction(2, name, "/remote", 1, "127.0.0.1", 21, "u", "p", "ftp",
                                  localpath, false, false);
}

} // namespace

TEST(LocalPathIndex, SuffixesOfTheHeldPathsOnly) {
  LocalPathIndex index;
  EXPECT_FALSE(index.endsWithAny("/any/thing"));
  index.add("/Files/a.txt");
  index.add("b.txt"); // no leading slash: still a plain suffix
  index.add("");      // never held
  index.add("/Files/a.txt");
  EXPECT_EQ(index.size(), 2u);
  const struct {
    const char *path;
    bool held;
  } cases[] = {
      {"/home/Documents/Files/a.txt", true},
      {"/Files/a.txt", true},
      {"Files/a.txt", false},
      {"/home/Documents/Files/a.txt.old", false},
      {"/x/ab.txt", true},
      {"b.tx", false},
      {"", false},
      {"/home/Documents/Files/A.TXT", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(index.endsWithAny(c.path), c.held) << c.path;
  // A path held twice goes with its second removal; other lengths stay.
  index.remove("/Files/a.txt");
  EXPECT_TRUE(index.endsWithAny("/h/Files/a.txt"));
  index.remove("/Files/a.txt");
  EXPECT_FALSE(index.endsWithAny("/h/Files/a.txt"));
  EXPECT_TRUE(index.endsWithAny("/x/ab.txt"));
  index.remove("never-added");
  index.clear();
  EXPECT_FALSE(index.endsWithAny("/x/ab.txt"));
}

TEST_F(QueueTest, InProgressFollowsRowsAndLocalPaths) {
  makeQueue(false);
  const std::string files = Paths::documents() + "/Files/";
  const int a = addDownload(*queue_, "a.txt", "/Files/dl");
  addDownload(*queue_, "b.txt", "/Files/dl"); // the same folder twice
  addDownload(*queue_, "c.txt", "/Files/other");
  EXPECT_TRUE(queue_->isInProgress(files + "dl"));
  EXPECT_TRUE(queue_->isInProgress(files + "other"));
  EXPECT_FALSE(queue_->isInProgress(files + "dl/a.txt"));

  // One of the two rows of a folder done: the folder is still in use.
  queue_->doneBatchItemPK(a);
  EXPECT_TRUE(queue_->isInProgress(files + "dl"));
  // A local path that changes (a photo converted to a file) is asked about by its new value.
  auto item = queue_->batchItemList().back();
  item->setLocalpath("/Files/converted.jpg");
  EXPECT_TRUE(queue_->isInProgress(files + "converted.jpg"));
  EXPECT_FALSE(queue_->isInProgress(files + "other"));

  // A queue read back from the table answers the same.
  makeQueue(false);
  EXPECT_TRUE(queue_->isInProgress(files + "dl"));
  EXPECT_TRUE(queue_->isInProgress(files + "other"));
}

TEST_F(QueueTest, FinishedDownloadsReloadTheShownFolderAtMostFewTimesASecond) {
  makeQueue(false);
  auto shown = std::make_shared<LocalFolderDouble>();
  shown->folder = "dl";
  services_->localFolder = shown;
  std::vector<int> keys;
  for (int i = 0; i < 40; ++i)
    keys.push_back(addDownload(*queue_, "f" + std::to_string(i), "dl"));
  const int elsewhere = addDownload(*queue_, "x", "elsewhere/deep");

  // The first reloads at once; those that follow within the interval make one reload at its end.
  queue_->doneBatchItemPK(keys[0]);
  EXPECT_EQ(shown->reloads, 1);
  for (int i = 1; i < 20; ++i)
    queue_->doneBatchItemPK(keys[size_t(i)]);
  settle();
  EXPECT_EQ(shown->reloads, 1);
  advance(0.3);
  EXPECT_EQ(shown->reloads, 2);
  // A steady stream: about one reload per interval, however many files finish.
  for (size_t i = 20; i < keys.size(); ++i) {
    queue_->doneBatchItemPK(keys[i]);
    advance(0.05);
  }
  advance(0.3);
  EXPECT_GE(shown->reloads, 3);
  EXPECT_LE(shown->reloads, 2 + 20 * 0.05 / 0.25 + 2);
  // The last one shows, and nothing reloads after it without a cause.
  const int settled = shown->reloads;
  advance(1);
  EXPECT_EQ(shown->reloads, settled);
  // A download into a folder that is not shown reloads nothing.
  queue_->doneBatchItemPK(elsewhere);
  advance(0.5);
  EXPECT_EQ(shown->reloads, settled);
}
