// The queue's web downloads against a Python web server on loopback: a whole file (200), a resume
// (206), a server that ignores the range (200: written from the start), a missing file (404:
// the item fails and keeps its partial file) and a file already complete (416). The bytes go to
// a partial file beside the file they are for, which they replace only when whole (and only when
// the person chose to have saved files replaced; else the next free name): a failed or cut
// download leaves that file as it was, and a resume continues the partial file.
#include "tests/app/queue/QueueTestSupport.h"

#include "app/foundation/PartialFile.h"
#include "app/foundation/SettingsKeys.h"

#include <fstream>

using namespace queuetest;

namespace {

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return s;
}

class QueueWebTest : public QueueTest {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    served_ = std::make_unique<testsupport::TempDir>("ferrowen-q8-web");
    port_ = testsupport::freeTcpPort();
    server_ = testsupport::Process(
        {"/usr/bin/python3",
         std::string(FERROWEN_SOURCE_DIR) + "/tests/interop/ftp/queue_http_server.py",
         served_->path(), std::to_string(port_)},
        served_->path());
    ASSERT_TRUE(testsupport::waitForTcpPort(port_));
    FileManager::createDirectory(Paths::documents() + "/Downloads", true);
  }
  void TearDown() override {
    server_.stop();
    QueueTest::TearDown();
  }
  std::string url(const std::string &name) {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
  }
  std::string local(const std::string &name) { return Paths::documents() + "/Downloads/" + name; }
  // Where a download of the address keeps what came so far of the file.
  std::string partial(const std::string &name, const std::string &address = "") {
    return partialFilePath(local(name), webDownloadSource(address.empty() ? url(name) : address));
  }
  std::string requests() { return testsupport::readFile(served_->path() + "/requests.log"); }
  // Starts the queue and lets it run until the item is gone or has failed.
  void runQueue() {
    makeQueue();
    advance(1.1);
    ASSERT_TRUE(waitFor([&] {
      return queue_->batchItemList().empty() || !queue_->batchItemList()[0]->errorMsg().empty();
    }));
    settle();
  }

  std::unique_ptr<testsupport::TempDir> served_;
  int port_ = 0;
  testsupport::Process server_;
};

} // namespace

TEST_F(QueueWebTest, WholeFileWithStatus200) {
  const std::string data = pattern(300000);
  ASSERT_TRUE(testsupport::writeFile(served_->path() + "/whole.bin", data));
  seedRow("'20','','','" + url("whole.bin") + "',80,'','','/Downloads/whole.bin',0,0,'www',9999,0");
  runQueue();
  EXPECT_TRUE(queue_->batchItemList().empty());
  EXPECT_TRUE(rows().empty());
  EXPECT_EQ(testsupport::readFile(local("whole.bin")), data);
  // The first attempt asks from 0 too.
  EXPECT_EQ(requests(), "/whole.bin bytes=0-\n");
  EXPECT_FALSE(Application::shared().isNetworkActivityIndicatorVisible());
}

TEST_F(QueueWebTest, ResumeAppendsFromThePartialFilesLength) {
  const std::string data = pattern(200000);
  ASSERT_TRUE(testsupport::writeFile(served_->path() + "/part.bin", data));
  // The stored offset is older than the partial file: its length counts. The older, finished
  // file of that name is not what is resumed; it is replaced at the end (the person chose to
  // have saved files replaced without a question).
  UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey);
  ASSERT_TRUE(testsupport::writeFile(partial("part.bin"), data.substr(0, 70000)));
  ASSERT_TRUE(testsupport::writeFile(local("part.bin"), std::string(90000, 'o')));
  seedRow("'20','','','" + url("part.bin") +
          "',80,'','','/Downloads/part.bin',200000,0,'www',9999,50000");
  runQueue();
  EXPECT_TRUE(queue_->batchItemList().empty());
  EXPECT_EQ(testsupport::readFile(local("part.bin")), data);
  EXPECT_FALSE(FileManager::fileExists(partial("part.bin")));
  EXPECT_EQ(requests(), "/part.bin bytes=70000-\n");
}

TEST_F(QueueWebTest, WholeFileAnsweringARangeRewritesFromTheStart) {
  const std::string data = pattern(100000);
  ASSERT_TRUE(testsupport::writeFile(served_->path() + "/norange-f.bin", data));
  // Stale bytes, longer than the real file: none may stay behind.
  ASSERT_TRUE(testsupport::writeFile(partial("norange-f.bin"), std::string(150000, 'x')));
  seedRow("'20','','','" + url("norange-f.bin") +
          "',80,'','','/Downloads/norange-f.bin',0,0,'www',9999,150000");
  runQueue();
  EXPECT_TRUE(queue_->batchItemList().empty());
  EXPECT_EQ(testsupport::readFile(local("norange-f.bin")), data);
  EXPECT_EQ(requests(), "/norange-f.bin bytes=150000-\n");
}

TEST_F(QueueWebTest, MissingFileFailsAndKeepsThePartialFile) {
  ASSERT_TRUE(testsupport::writeFile(partial("gone.bin"), "partial bytes"));
  ASSERT_TRUE(testsupport::writeFile(local("gone.bin"), "the saved copy"));
  seedRow("'20','','','" + url("gone.bin") + "',80,'','','/Downloads/gone.bin',0,0,'www',9999,13");
  runQueue();
  ASSERT_EQ(queue_->batchItemList().size(), 1u);
  EXPECT_EQ(queue_->batchItemList()[0]->errorMsg(), "HTTP status 404");
  EXPECT_EQ(testsupport::readFile(partial("gone.bin")), "partial bytes");
  EXPECT_EQ(testsupport::readFile(local("gone.bin")), "the saved copy");
  EXPECT_EQ(rows().size(), 1u);
  // Nothing is open any more and the queue, having nothing else to run, paused.
  EXPECT_FALSE(queue_->webDownloadOpen());
  advance(1.1);
  EXPECT_TRUE(queue_->fPaused());
  EXPECT_EQ(probe_->badges(), (std::vector<std::optional<std::string>>{"!"}));
}

TEST_F(QueueWebTest, RangeAtTheKnownSizeCompletes) {
  const std::string data = pattern(4096);
  ASSERT_TRUE(testsupport::writeFile(served_->path() + "/done.bin", data));
  ASSERT_TRUE(testsupport::writeFile(partial("done.bin"), data));
  seedRow("'20','','','" + url("done.bin") +
          "',80,'','','/Downloads/done.bin',4096,0,'www',9999,4096");
  runQueue();
  EXPECT_TRUE(queue_->batchItemList().empty());
  EXPECT_EQ(testsupport::readFile(local("done.bin")), data);
  EXPECT_FALSE(FileManager::fileExists(partial("done.bin")));
  EXPECT_EQ(requests(), "/done.bin bytes=4096-\n");
}

TEST_F(QueueWebTest, RangePastAnUnknownSizeFails) {
  const std::string data = pattern(1000);
  ASSERT_TRUE(testsupport::writeFile(served_->path() + "/odd.bin", data));
  ASSERT_TRUE(testsupport::writeFile(partial("odd.bin"), pattern(2000)));
  seedRow("'20','','','" + url("odd.bin") + "',80,'','','/Downloads/odd.bin',0,0,'www',9999,2000");
  runQueue();
  ASSERT_EQ(queue_->batchItemList().size(), 1u);
  EXPECT_EQ(queue_->batchItemList()[0]->errorMsg(), "HTTP status 416");
  EXPECT_EQ(testsupport::readFile(partial("odd.bin")), pattern(2000));
  EXPECT_FALSE(FileManager::fileExists(local("odd.bin")));
}

// The server cannot be reached: the file the download was to replace keeps every byte, and no
// partial file is left behind (nothing came to resume).
TEST_F(QueueWebTest, UnreachableServerLeavesTheFileItWasToReplace) {
  ASSERT_TRUE(testsupport::writeFile(local("keep.txt"), "the saved copy"));
  const int closed = testsupport::freeTcpPort(); // nothing listens there
  const std::string address = "http://127.0.0.1:" + std::to_string(closed) + "/keep.txt";
  seedRow("'20','','','" + address + "',80,'','','/Downloads/keep.txt',0,0,'www',9999,0");
  runQueue();
  ASSERT_EQ(queue_->batchItemList().size(), 1u);
  EXPECT_FALSE(queue_->batchItemList()[0]->errorMsg().empty());
  EXPECT_EQ(testsupport::readFile(local("keep.txt")), "the saved copy");
  EXPECT_FALSE(FileManager::fileExists(partial("keep.txt", address)));
}

// A download cut halfway keeps the older file whole and its own bytes in the partial file; the
// next try continues that partial file (not the older file, which is longer) and only then
// replaces the older file (the person chose to have saved files replaced without a question).
TEST_F(QueueWebTest, CutDownloadKeepsTheOldFileAndResumesItsPartialFile) {
  UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey);
  const std::string data = pattern(300000);
  ASSERT_TRUE(testsupport::writeFile(served_->path() + "/cut-new.bin", data));
  const std::string old(400000, 'o');
  ASSERT_TRUE(testsupport::writeFile(local("cut-new.bin"), old));
  seedRow("'20','','','" + url("cut-new.bin") +
          "',80,'','','/Downloads/cut-new.bin',0,0,'www',9999,0");
  runQueue();
  ASSERT_EQ(queue_->batchItemList().size(), 1u);
  EXPECT_FALSE(queue_->batchItemList()[0]->errorMsg().empty());
  EXPECT_EQ(testsupport::readFile(local("cut-new.bin")), old);
  const std::string half = testsupport::readFile(partial("cut-new.bin"));
  EXPECT_EQ(half, data.substr(0, half.size()));
  ASSERT_FALSE(half.empty());

  queue_->clickedResume();
  ASSERT_TRUE(waitFor([&] { return queue_->batchItemList().empty(); }));
  settle();
  EXPECT_EQ(testsupport::readFile(local("cut-new.bin")), data);
  EXPECT_FALSE(FileManager::fileExists(partial("cut-new.bin")));
  EXPECT_EQ(requests(),
            "/cut-new.bin bytes=0-\n/cut-new.bin bytes=" + std::to_string(half.size()) + "-\n");
}

// Two addresses give a file of one name: the download from the one address that was cut leaves
// its bytes for its own resume; the other address's download, resumed after a restart, never
// continues them (its file would start with the other file's bytes) but comes whole from its
// start. The cut one then resumes its own bytes, and keeps the other's file: it takes the next
// free name.
TEST_F(QueueWebTest, AResumeNeverContinuesWhatAnotherAddressLeft) {
  const std::string cut = pattern(200000), whole = pattern(200000).substr(1) + "z";
  ASSERT_TRUE(testsupport::writeFile(served_->path() + "/cut-same.bin", cut));
  ASSERT_TRUE(testsupport::writeFile(served_->path() + "/same.bin", whole));
  seedRow("'20','','','" + url("cut-same.bin") +
          "',80,'','','/Downloads/same.bin',200000,0,'www',9999,0");
  // An earlier run got a part of this one and kept its offset.
  seedRow("'20','','','" + url("same.bin") +
          "',80,'','','/Downloads/same.bin',200000,0,'www',9999,30000");
  makeQueue();
  advance(1.1);
  ASSERT_TRUE(waitFor([&] { return queue_->batchItemList().size() == 1; }));
  settle();
  EXPECT_TRUE(testsupport::readFile(local("same.bin")) == whole);
  EXPECT_EQ(requests(), "/cut-same.bin bytes=0-\n/same.bin bytes=0-\n");
  const std::string half = testsupport::readFile(partial("same.bin", url("cut-same.bin")));
  ASSERT_FALSE(half.empty());
  EXPECT_TRUE(half == cut.substr(0, half.size()));

  queue_->clickedResume();
  ASSERT_TRUE(waitFor([&] { return queue_->batchItemList().empty(); }));
  settle();
  EXPECT_TRUE(testsupport::readFile(local("same-2.bin")) == cut);
  EXPECT_TRUE(testsupport::readFile(local("same.bin")) == whole);
}

// A finished download never replaces what the person has under its name: a file (another
// address's, or the person's own) or a folder stays, and the download takes the next free name.
// Only when the person chose to have saved files replaced without a question does a file give
// way, as over FTP; a folder never does.
TEST_F(QueueWebTest, AFinishedDownloadReplacesNothingUnasked) {
  const struct {
    const char *what;
    bool replaceChosen;
    std::vector<std::string> there; // files, or folders when ending in "/"
    std::string savedAs;
  } cases[] = {
      {"nothing there", false, {}, "f.txt"},
      {"a file there", false, {"f.txt"}, "f-2.txt"},
      {"a file and the next name", false, {"f.txt", "f-2.txt/"}, "f-3.txt"},
      {"a folder there", false, {"f.txt/"}, "f-2.txt"},
      {"a file there, replacing chosen", true, {"f.txt"}, "f.txt"},
      {"a folder there, replacing chosen", true, {"f.txt/"}, "f-2.txt"},
  };
  ASSERT_TRUE(testsupport::writeFile(served_->path() + "/f.txt", "from the web"));
  makeQueue();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FileManager::removeItem(Paths::documents() + "/Downloads");
    ASSERT_TRUE(FileManager::createDirectory(Paths::documents() + "/Downloads"));
    UserDefaults::standard().setObject(c.replaceChosen ? "1" : "0", kOverwriteSavedFilesKey);
    for (const auto &t : c.there) {
      if (t.back() == '/') {
        ASSERT_TRUE(FileManager::createDirectory(local(t + "inner")));
      } else {
        ASSERT_TRUE(testsupport::writeFile(local(t), "the person's " + t));
      }
    }
    queue_->addBatchItemAction(20, "f.txt", "", 0, url("f.txt"), 80, "", "", "www",
                               "/Downloads/f.txt", false, true);
    ASSERT_TRUE(waitFor([&] { return advance(0.1), queue_->batchItemList().empty(); }));
    settle();
    EXPECT_EQ(testsupport::readFile(local(c.savedAs)), "from the web");
    for (const auto &t : c.there) {
      if (t.back() == '/') {
        EXPECT_TRUE(FileManager::isDirectory(local(t + "inner"))) << t;
      } else if (t != c.savedAs) {
        EXPECT_EQ(testsupport::readFile(local(t)), "the person's " + t);
      }
    }
  }
}
