// A folder download of the queue into an empty Saved Files, against pyftpdlib: every file is
// fetched once, lands in the folder's own place, and nothing asks whether to replace a file the
// same download has just saved (nor leaves a second copy at the top of Saved Files).
#include "tests/interop/ftp/QueueFtpPeers.h"

#include "app/foundation/Globals.h"

using namespace queuetest;

namespace {

class QueueFolderDownloadTest : public QueueTest {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    Clock::install(nullptr); // real servers, real time
  }
  void TearDown() override {
    currentLocalFolder.clear();
    QueueTest::TearDown();
  }
};

} // namespace

TEST_F(QueueFolderDownloadTest, EachFileOnceAndNoQuestion) {
  QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  const std::vector<std::string> names{"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt"};
  FileManager::createDirectory(peer.root() + "/tree/sub", true);
  for (auto &name : names) {
    ASSERT_TRUE(testsupport::writeFile(peer.root() + "/tree/" + name, "top " + name));
    ASSERT_TRUE(testsupport::writeFile(peer.root() + "/tree/sub/" + name, "sub " + name));
  }
  // Saved Files is on screen at its root while the download runs.
  auto shown = std::make_shared<LocalFolderDouble>();
  services_->localFolder = shown;
  currentLocalFolder = "";
  makeQueue();
  ASSERT_GT(queue_->addBatchItemAction(1, "tree", "/tree", 0, "127.0.0.1", peer.port(), "joe",
                                       "secret", "ftp", "", false, true),
            0);
  std::vector<std::string> questions;
  auto finished = [&] {
    // The kicker and the other starters may look for work at any moment, also while a finished
    // file's report is on its way to the queue.
    queue_->startIfNoneInProgress();
    for (auto &alert : probe_->pendingAlerts()) {
      // Answered so that the run goes on; the test fails on it below.
      questions.push_back(alert.title + ": " + alert.message);
      probe_->answerAlert("Replace");
    }
    if (!queue_->batchItemList().empty()) return false;
    for (auto &name : names)
      if (!FileManager::fileExists(Paths::documents() + "/Files/tree/sub/" + name)) return false;
    return true;
  };
  auto state = [&] {
    std::string text = testsupport::readFile(peer.log());
    for (auto &item : queue_->batchItemList())
      text += "row " + item->path() + "/" + item->filename() + " " + item->errorMsg() + "\n";
    return text + queue_->ftp()->transferLog();
  };
  ASSERT_TRUE(waitFor(finished, 90)) << state();
  EXPECT_TRUE(questions.empty()) << questions.front();
  const std::string files = Paths::documents() + "/Files";
  for (auto &name : names) {
    EXPECT_EQ(peer.count("RETR " + name), 2u) << name << "\n" << testsupport::readFile(peer.log());
    EXPECT_EQ(testsupport::readFile(files + "/tree/" + name), "top " + name);
    EXPECT_EQ(testsupport::readFile(files + "/tree/sub/" + name), "sub " + name);
    EXPECT_FALSE(FileManager::fileExists(files + "/" + name)) << name << " copied to the top";
  }
  EXPECT_TRUE(rows().empty());
  // The shown folder was brought up to date.
  EXPECT_GE(shown->reloads, 1);
}

// A folder download stored mid-walk by a version from before names kept their bytes: the folder's
// row and rows of the files found so far, none with bytes. The next start walks the folder again:
// the files already queued are the rows stored, each fetched once, with no question.
TEST_F(QueueFolderDownloadTest, FilesStoredMidWalkWithoutBytesAreNotQueuedAgain) {
  QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  const std::vector<std::string> names{"a.txt", "b.txt", "caf\xC3\xA9.txt", "d.txt"};
  FileManager::createDirectory(peer.root() + "/tree", true);
  for (auto &name : names)
    ASSERT_TRUE(testsupport::writeFile(peer.root() + "/tree/" + name, "top " + name));
  const std::string where = "'127.0.0.1'," + std::to_string(peer.port()) + ",'joe','secret'";
  seedRowWithoutBytes("'1','tree','/tree'," + where + ",'',0,0,'ftp',0,0", true);
  for (const char *stored : {"a.txt", "caf\xC3\xA9.txt"})
    seedRowWithoutBytes(
        std::string("'2','") + stored + "','/tree'," + where + ",'tree',0,0,'ftp',1,0", true);
  services_->localFolder = std::make_shared<LocalFolderDouble>();
  currentLocalFolder = "";
  makeQueue();
  ASSERT_EQ(queue_->batchItemList().size(), 3u);
  std::vector<std::string> questions;
  size_t mostRows = 0;
  auto finished = [&] {
    queue_->startIfNoneInProgress();
    mostRows = std::max(mostRows, queue_->batchItemList().size());
    for (auto &alert : probe_->pendingAlerts()) {
      questions.push_back(alert.title + ": " + alert.message);
      probe_->answerAlert("Replace");
    }
    return queue_->batchItemList().empty();
  };
  ASSERT_TRUE(waitFor(finished, 90)) << testsupport::readFile(peer.log());
  EXPECT_TRUE(questions.empty()) << questions.front();
  // The folder's row and the stored two, and the walk's two new ones (b.txt and d.txt) at most.
  EXPECT_LE(mostRows, 5u);
  for (auto &name : names) {
    EXPECT_EQ(peer.count("RETR " + name), 1u) << name << "\n" << testsupport::readFile(peer.log());
    EXPECT_EQ(testsupport::readFile(Paths::documents() + "/Files/tree/" + name), "top " + name)
        << name;
  }
  EXPECT_TRUE(rows().empty());
}
