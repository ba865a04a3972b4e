// The runner with the injected clock and the SFTP double: the first look and the kicker's timing,
// one item at a time, host-and-port reuse, the guard against moving a file twice, pause and play,
// failures, and the background rules.
#include "tests/app/queue/QueueTestSupport.h"

#include "app/foundation/SettingsKeys.h"
#include "app/foundation/WorkingCopy.h"

using namespace queuetest;

namespace {
size_t countPrefix(const std::vector<std::string> &calls, const std::string &prefix) {
  size_t n = 0;
  for (auto &c : calls)
    if (c.rfind(prefix, 0) == 0) ++n;
  return n;
}
} // namespace

TEST_F(QueueTest, FirstLookAfterOneSecondKickerAtFifteenThenEveryTen) {
  seedRow("'30','early','/r','s.example',22,'u','p','',1,0,'sftp',9999,0");
  makeQueue();
  advance(0.9);
  EXPECT_EQ(sftp_->started(), 0u);
  advance(0.2);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  queue_->downloadedFile(*sftp_, "x");
  sftp_->active = false;
  settle();
  EXPECT_TRUE(queue_->batchItemList().empty());

  // An item queued without a kickstart waits for the kicker: 15 s after the start, then a look
  // 1 s later.
  queue_->addBatchItemAction(30, "waits", "/r", 1, "s.example", 22, "u", "p", "sftp", "", false,
                             false);
  settle();
  advance(14.8 - 1.1);
  EXPECT_EQ(sftp_->started(), 1u);
  advance(1.3); // 16.0 s: the kicker fired at 15 and its look came 1 s later
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 2; }));
  queue_->downloadedFile(*sftp_, "x");
  sftp_->active = false;
  settle();

  // While paused the kicker still runs but starts nothing.
  queue_->clickedPause();
  queue_->addBatchItemAction(30, "paused", "/r", 1, "s.example", 22, "u", "p", "sftp", "", false,
                             false);
  advance(21);
  EXPECT_EQ(sftp_->started(), 2u);
  // After play the next kicker (every 10 s: 25, 35, ...) would find it; play starts it at once.
  probe_->tap("Play");
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 3; }));
}

TEST_F(QueueTest, OneItemAtATimeAndReuseOnlyTheSameHostAndPort) {
  makeQueue();
  queue_->addBatchItemAction(30, "one", "/r", 1, "sftp.a", 22, "u", "p", "sftp", "", false, true);
  queue_->addBatchItemAction(30, "two", "/r", 1, "sftp.ab", 22, "u", "p", "sftp", "", false, true);
  queue_->addBatchItemAction(30, "three", "/r", 1, "sftp.ab", 2222, "u", "p", "sftp", "", false,
                             true);
  queue_->addBatchItemAction(30, "four", "/r", 1, "sftp.ab", 2222, "u", "p", "sftp", "", false,
                             true);
  // No port of its own: the default one, not the port of the row before.
  queue_->addBatchItemAction(30, "five", "/r", 1, "sftp.ab", 0, "u", "p", "sftp", "", false, true);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  advance(30); // the kicker comes and goes: the busy service holds the queue
  EXPECT_EQ(sftp_->started(), 1u);
  EXPECT_EQ(queue_->inProgressPK(), queue_->batchItemList()[0]->primaryKey());

  const char *expected[] = {"download@sftp.a:22", "download@sftp.ab:22", "download@sftp.ab:2222",
                            "download@sftp.ab:2222", "download@sftp.ab:22"};
  for (size_t i = 1; i < 5; ++i) {
    sftp_->active = false;
    queue_->downloadedFile(*sftp_, "x");
    ASSERT_TRUE(waitFor([&] { return sftp_->started() == i + 1; })) << i;
  }
  auto calls = sftp_->calls();
  std::vector<std::string> downloads, order;
  for (auto &c : calls) {
    if (c.rfind("download@", 0) == 0) downloads.push_back(c);
    if (c == "reinit" || c.rfind("download@", 0) == 0) order.push_back(c);
  }
  EXPECT_EQ(downloads, std::vector<std::string>(std::begin(expected), std::end(expected)));
  // "sftp.ab" is not "sftp.a", and another port is another session; the same host and port
  // again is reused as it stands.
  EXPECT_EQ(order,
            (std::vector<std::string>{"reinit", "download@sftp.a:22", "reinit",
                                      "download@sftp.ab:22", "reinit", "download@sftp.ab:2222",
                                      "download@sftp.ab:2222", "reinit", "download@sftp.ab:22"}));
}

// The queue holds back a row whose file the browsing connection is moving: the same file of the
// same session. One of another port, user, folder or name is another file, and goes ahead.
struct Moving {
  const char *what;
  RemoteOrigin file;
  bool heldBack;
};
void PrintTo(const Moving &m, std::ostream *out) {
  *out << m.what;
}
class BrowsingMoves : public QueueTest, public ::testing::WithParamInterface<Moving> {};

TEST_P(BrowsingMoves, OnlyTheSameFileOfTheSameSessionIsHeldBack) {
  makeQueue();
  services_->browsing = BrowsingTransfer{true, GetParam().file};
  queue_->addBatchItemAction(30, "same.bin", "/r", 1, "s.example:2222", 0, "u", "p", "sftp", "",
                             false, true);
  advance(2);
  waitFor([&] { return sftp_->started() > 0; }, 0.3);
  EXPECT_EQ(sftp_->started(), GetParam().heldBack ? 0u : 1u);
  EXPECT_FALSE(queue_->fPaused());
  // Once the browsing connection has moved on, the row goes ahead.
  services_->browsing->isFileTransferInProgress = false;
  advance(15);
  EXPECT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(
    Queue, BrowsingMoves,
    ::testing::Values(
        Moving{"TheRowsFile", RemoteOrigin::of("sftp", "S.example", 2222, "u", "/r", "same.bin"),
               true},
        Moving{"AnotherPort", RemoteOrigin::of("sftp", "s.example", 22, "u", "/r", "same.bin"),
               false},
        Moving{"AnotherUser", RemoteOrigin::of("sftp", "s.example", 2222, "v", "/r", "same.bin"),
               false},
        Moving{"AnotherFolder",
               RemoteOrigin::of("sftp", "s.example:2222", 0, "u", "/q", "same.bin"), false},
        Moving{"AnotherName", RemoteOrigin::of("sftp", "s.example:2222", 0, "u", "/r", "b.bin"),
               false}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(QueueTest, FailedItemsAreSkippedAndAllFailedPausesWithBang) {
  makeQueue();
  int a = queue_->addBatchItemAction(30, "a", "/r", 1, "s", 22, "u", "p", "sftp", "", false, true);
  queue_->addBatchItemAction(30, "b", "/r", 1, "s", 22, "u", "p", "sftp", "", false, true);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  EXPECT_EQ(probe_->badges(), (std::vector<std::optional<std::string>>{"2"}));
  EXPECT_EQ(services_->valtry, " 2 ");
  sftp_->active = false;
  queue_->downloadError(*sftp_, "No such file");
  advance(1.1);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 2; }));
  EXPECT_EQ(queue_->batchItemList()[0]->errorMsg(), "No such file");
  EXPECT_EQ(queue_->batchIndexForPK(a), 0);
  // The failed row shows its error under the name.
  auto rows = probe_->visibleRows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].label, "a");
  sftp_->active = false;
  queue_->connectError(*sftp_, "Connection refused");
  advance(1.1);
  EXPECT_TRUE(queue_->fPaused());
  EXPECT_EQ(probe_->badges(), (std::vector<std::optional<std::string>>{"!"}));
  EXPECT_EQ(services_->valtry, " ! ");
  EXPECT_EQ(probe_->leftItem()->name, "Play");
  // Play clears the errors and runs the first item again.
  ASSERT_TRUE(probe_->tap("Play"));
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 3; }));
  EXPECT_TRUE(queue_->batchItemList()[0]->errorMsg().empty());
  EXPECT_EQ(probe_->badges(), (std::vector<std::optional<std::string>>{"2"}));
  EXPECT_EQ(probe_->leftItem()->name, "Pause");
  ASSERT_TRUE(probe_->tap("Pause"));
  EXPECT_TRUE(queue_->fPaused());
  EXPECT_EQ(sftp_->count("paused"), 2u); // the runner's pause, then the button's
  // Paused with items that have not failed: the count stays.
  EXPECT_EQ(probe_->badges(), (std::vector<std::optional<std::string>>{"2"}));
}

TEST_F(QueueTest, AbortedItemIsRetriedFromItsOffset) {
  makeQueue();
  int key =
      queue_->addBatchItemAction(30, "a", "/r", 100, "s", 22, "u", "p", "sftp", "", false, true);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  queue_->progressDic(*sftp_, SFTPProgressDic{40, 0.4f});
  EXPECT_EQ(queue_->batchItemList()[0]->start(), 40);
  sftp_->active = false;
  queue_->abortBatchItemObject(BatchObject{key, 0, 0});
  EXPECT_EQ(queue_->inProgressPK(), -1);
  EXPECT_TRUE(queue_->batchItemList()[0]->errorMsg().empty());
  advance(1.1);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 2; }));
  // Messages for keys no longer queued are dropped.
  queue_->doneBatchItemObject(BatchObject{key + 100, 0, 0});
  queue_->updateBatchItemObject(BatchObject{key + 100, 10, 0.5f});
  EXPECT_EQ(queue_->batchItemList().size(), 1u);
}

// An SFTP row whose server went away (the service says so before the failure) keeps no error: it
// waits for its server, as do the rows of that server behind it, the queue is not paused, and it
// is tried again by itself. A failure with the server there is the row's error. An upload done
// tells the application which local file reached its server; a download does not.
TEST_F(QueueTest, AnSftpRowWhoseServerIsAwayWaitsForIt) {
  makeQueue();
  const std::string local = Paths::tmp() + "/b.txt";
  ASSERT_TRUE(testsupport::writeFile(local, "b"));
  int a = queue_->addBatchItemAction(30, "a", "/r", 1, "s", 22, "u", "p", "sftp", "", false, true);
  int b = queue_->addBatchItemAction(31, "b.txt", "/r", 1, "s", 22, "u", "p", "sftp", local, false,
                                     true);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  auto row = [&](int key) { return queue_->batchItemList()[queue_->batchIndexForPK(key)]; };
  sftp_->active = false;
  queue_->serverAway(*sftp_, "Connection refused");
  queue_->connectError(*sftp_, "Unable to connect to the SFTP server.");
  EXPECT_TRUE(row(a)->errorMsg().empty());
  EXPECT_EQ(row(a)->statusMsg(), "Waiting for the server: Connection refused");
  EXPECT_FALSE(queue_->fPaused());
  advance(0.5);
  EXPECT_EQ(sftp_->started(), 1); // b waits with a: their server is away
  advance(1.0);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 2; }));
  EXPECT_EQ(queue_->inProgressPK(), a);
  sftp_->active = false;
  queue_->downloadError(*sftp_, "No such file");
  EXPECT_EQ(row(a)->errorMsg(), "No such file");
  advance(1.1);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 3; }));
  EXPECT_EQ(queue_->inProgressPK(), b);
  sftp_->active = false;
  queue_->uploadedFile(*sftp_, "/r/b.txt");
  EXPECT_EQ(services_->sent, std::vector<std::string>{local});
  EXPECT_EQ(queue_->batchIndexForPK(b), -1);
}

TEST_F(QueueTest, PhotoAssetIsConvertedFirstAndItsFolderRemovedWhenDone) {
  makeQueue();
  int key = queue_->addBatchItemAction(31, "IMG_1.JPG", "/up", 10, "s", 22, "u", "p", "sftp",
                                       "assets-library://asset/asset.JPG?id=1", false, true);
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard lock(services_->mutex);
    return bool(services_->pendingAsset);
  }));
  settle();
  EXPECT_EQ(queue_->batchItemList()[0]->statusMsg(), "Retrieving from Photo Library...");
  EXPECT_EQ(probe_->visibleRows().size(), 1u);
  advance(11); // the kicker does not convert it twice
  {
    std::lock_guard lock(services_->mutex);
    EXPECT_EQ(services_->assetRequests,
              std::vector<std::string>{"assets-library://asset/asset.JPG?id=1|IMG_1.JPG"});
  }
  const std::string folder = Paths::tmp() + "/asset-1";
  FileManager::createDirectory(folder, true);
  ASSERT_TRUE(testsupport::writeFile(folder + "/IMG_1.JPG", "jpeg"));
  ASSERT_TRUE(testsupport::writeFile(Paths::tmp() + "/other.tmp", "keep"));
  std::function<void(const AssetConvertReply &)> reply;
  {
    std::lock_guard lock(services_->mutex);
    reply = services_->pendingAsset;
  }
  reply(AssetConvertReply{"assets-library://asset/asset.JPG?id=1", folder + "/IMG_1.JPG", {}});
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  EXPECT_EQ(sftp_->count("setupUpload:" + folder + "/IMG_1.JPG->/up/IMG_1.JPG"), 1u);
  EXPECT_TRUE(queue_->batchItemList()[0]->cleanFileWhenDone());
  queue_->uploadedFile(*sftp_, "x");
  EXPECT_EQ(queue_->batchIndexForPK(key), -1);
  EXPECT_FALSE(FileManager::fileExists(folder));
  EXPECT_TRUE(FileManager::fileExists(Paths::tmp() + "/other.tmp"));
}

// The queue empties the temporary folder when it finds its list empty, but for the transfer logs
// and whatever is still in use: an open editor's working copy (and an image editor's, in a folder
// of its own beside a file nothing uses), the viewer's file, a download's partial file, the file
// of the phone's edit record (an earlier version's, by its name alone) and of each used file tab.
TEST_F(QueueTest, AnEmptyListClearsOnlyWhatNothingUses) {
  const std::string tmp = Paths::tmp();
  auto &settings = UserDefaults::standard();
  std::vector<std::string> kept, gone;
  auto file = [&](const std::string &relative, bool keep) {
    FileManager::createDirectory(platform::deleteLastPathComponent(tmp + "/" + relative), true);
    ASSERT_TRUE(testsupport::writeFile(tmp + "/" + relative, relative));
    (keep ? kept : gone).push_back(tmp + "/" + relative);
  };
  for (const char *log : {"Ferrowen.log", "Ferrowen-2.log", "Ferrowen-SFTP.log"})
    file(log, true);
  file("origin-a/edit-a.txt", true);
  file("origin-b/edit-a.txt", true);
  file("imgedit-1/picture.png", true);
  file("imgedit-1/stale.png", false);
  file("note.txt", true);
  file("slot-1/note.txt", true);
  file("slot-2/note.txt", false);
  file("report.pdf", true);
  file("big.bin.0123456789abcdef.ferrowen-part", true);
  file("left-over.txt", false);
  file("left-over-folder/x.txt", false);
  FileInUse editor(tmp + "/origin-a/edit-a.txt"), imageEditor(tmp + "/imgedit-1/picture.png"),
      viewer(tmp + "/report.pdf"), download(tmp + "/big.bin.0123456789abcdef.ferrowen-part");
  settings.setObject(tmp + "/note.txt", kEditingFTPFile);
  settings.setObject("3", "TabIndexMax");
  settings.setObject(tmp + "/origin-b/edit-a.txt", keyForTab(0, kEditingFTPFile));
  settings.setObject("1", keyIndexIsUsed(0));
  settings.setObject(tmp + "/slot-1/note.txt", keyForTab(1, kEditingFTPFile));
  settings.setObject("1", keyIndexIsUsed(1));
  settings.setObject(tmp + "/slot-2/note.txt", keyForTab(2, kEditingFTPFile));
  settings.setObject("0", keyIndexIsUsed(2));

  makeQueue();
  ASSERT_TRUE(queue_->batchItemList().empty());
  queue_->doNextBatchItem();
  for (const auto &path : kept)
    EXPECT_EQ(testsupport::readFile(path), path.substr(tmp.size() + 1)) << path;
  for (const auto &path : gone)
    EXPECT_FALSE(FileManager::fileExists(path)) << path;
  EXPECT_FALSE(FileManager::fileExists(tmp + "/left-over-folder"));
  EXPECT_FALSE(FileManager::fileExists(tmp + "/slot-2"));
}

TEST_F(QueueTest, FailedAssetConversionBecomesTheItemsError) {
  makeQueue();
  queue_->addBatchItemAction(31, "IMG_2.JPG", "/up", 10, "s", 22, "u", "p", "sftp",
                             "assets-library://asset/2", false, true);
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard lock(services_->mutex);
    return bool(services_->pendingAsset);
  }));
  std::function<void(const AssetConvertReply &)> reply;
  {
    std::lock_guard lock(services_->mutex);
    reply = services_->pendingAsset;
  }
  reply(AssetConvertReply{"assets-library://asset/2", {}, std::string("Asset not found")});
  ASSERT_TRUE(waitFor([&] { return !queue_->batchItemList()[0]->errorMsg().empty(); }));
  EXPECT_EQ(queue_->batchItemList()[0]->errorMsg(), "Asset not found");
  EXPECT_FALSE(queue_->batchItemList()[0]->working());
}

TEST_F(QueueTest, SFTPFormsDispatchToTheirOperations) {
  makeQueue();
  queue_->addBatchItemAction(34, "newdir", "/base", 0, "s", 22, "u", "p", "sftp", "", false, true);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  EXPECT_EQ(countPrefix(sftp_->calls(), "mkdir:/base/newdir@"), 1u);
  EXPECT_EQ(sftp_->batchPK(), queue_->inProgressPK()) << ::testing::PrintToString(sftp_->calls());
  sftp_->active = false;
  queue_->doneBatchItemObject(BatchObject{queue_->inProgressPK(), 0, 0});
  queue_->addBatchItemAction(33, "tree", "/base", 0, "s", 22, "u", "p", "sftp", "", false, true);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 2; }));
  ASSERT_TRUE(waitFor([&] { return sftp_->count("nextBatchDirectory") == 1; }));
  EXPECT_EQ(countPrefix(sftp_->calls(), "folder:/base/tree@"), 1u);
}

TEST_F(QueueTest, SmallSFTPUploadsOfOneSessionGoTogetherALargeOneAlone) {
  sftp_->batchLimit = 64;
  const std::string files = Paths::documents() + "/Files/";
  for (const char *name : {"a", "c", "d", "e"})
    ASSERT_TRUE(testsupport::writeFile(files + name, "small"));
  ASSERT_TRUE(testsupport::writeFile(files + "big", std::string(2 << 20, 'x')));
  makeQueue();
  // The batch reports its rows while it runs, then ends.
  auto endBatch = [&](bool ok) {
    sftp_->reportBatch(ok);
    settle();
    sftp_->active = false;
    queue_->doStartIfNoneInProgress();
  };
  auto add = [&](const char *name, const char *server) {
    queue_->addBatchItemAction(31, name, "/r", 0, server, 22, "u", "p", "sftp",
                               std::string("/Files/") + name, false, true);
  };
  add("a", "s");
  add("big", "s");
  add("c", "s");
  add("d", "s");
  add("e", "other");
  // The small file before the large one goes alone in a batch of its own.
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  EXPECT_EQ(countPrefix(sftp_->calls(), "uploads:/r/a,@s:22"), 1u)
      << ::testing::PrintToString(sftp_->calls());
  endBatch(true);
  // The large file: on its own, with its progress.
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 2; }));
  EXPECT_EQ(countPrefix(sftp_->calls(), "upload@s:22"), 1u);
  sftp_->active = false;
  queue_->doneBatchItemObject(BatchObject{queue_->inProgressPK(), 0, 0});
  // The small ones after it, as far as the session is the same.
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 3; }));
  EXPECT_EQ(countPrefix(sftp_->calls(), "uploads:/r/c,/r/d,@s:22"), 1u)
      << ::testing::PrintToString(sftp_->calls());
  endBatch(false); // each row gets its own error and stays
  advance(1.1);    // the next look after an error
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 4; }));
  EXPECT_EQ(countPrefix(sftp_->calls(), "uploads:/r/e,@other:22"), 1u);
  std::vector<std::string> failed;
  for (auto &item : queue_->batchItemList())
    if (!item->errorMsg().empty()) failed.push_back(item->filename());
  EXPECT_EQ(failed, (std::vector<std::string>{"c", "d"}));
}

// An SFTP upload row keeps the temporary name it first went under: a new start of the program
// (the queue made again from the same table while the killed start's upload never ended) hands
// the service that name again, so that the part on the server is written over, not left.
TEST_F(QueueTest, AnSFTPUploadRowGoesUnderTheSameTemporaryNameAfterANewStart) {
  ASSERT_TRUE(testsupport::writeFile(Paths::documents() + "/Files/up.bin", "content"));
  makeQueue();
  queue_->addBatchItemAction(31, "up.bin", "/r", 0, "s", 22, "u", "p", "sftp", "/Files/up.bin",
                             false, true);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  const std::string first = sftp_->takeUploadTempName();
  EXPECT_EQ(first.rfind("/r/up.bin.upload.", 0), 0u) << first;
  // Killed: the queue goes without its upload ending; the next start comes later.
  queue_.reset();
  nav_.reset();
  tabs_.reset();
  probe_.reset();
  window_.reset();
  settle();
  clock_->advance(platform::seconds(30));
  sftp_->active = false;
  makeQueue();
  ASSERT_TRUE(waitFor([&] { return advance(0.5), sftp_->started() == 2; }));
  EXPECT_EQ(sftp_->takeUploadTempName(), first);
}

TEST_F(QueueTest, WithoutAnSFTPServiceItemsFailClearly) {
  SFTPWrapper::setMaker(nullptr);
  makeQueue();
  queue_->addBatchItemAction(30, "a", "/r", 1, "s", 22, "u", "p", "sftp", "", false, true);
  ASSERT_TRUE(waitFor([&] { return !queue_->batchItemList()[0]->errorMsg().empty(); }));
  EXPECT_EQ(queue_->batchItemList()[0]->errorMsg(), "SFTP is not available.");
}

// --- Background ---------------------------------------------------------------------------------

class QueueBackgroundTest : public QueueTest {
protected:
  void startRunning() {
    makeQueue();
    queue_->addBatchItemAction(30, "a", "/r", 1, "s", 22, "u", "p", "sftp", "", false, true);
    queue_->addBatchItemAction(30, "b", "/r", 1, "s", 22, "u", "p", "sftp", "", false, true);
    ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
    Application::shared().launch();
  }
};

TEST_F(QueueBackgroundTest, NothingRunningStartsNoTask) {
  makeQueue();
  Application::shared().launch();
  Application::shared().setApplicationIconBadgeNumber(7);
  Application::shared().enterBackground();
  queue_->enterBackground();
  EXPECT_FALSE(queue_->runningInTheBackground());
  EXPECT_EQ(Application::shared().backgroundTaskCount(), 0u);
  EXPECT_EQ(Application::shared().applicationIconBadgeNumber(), 7);
}

TEST_F(QueueBackgroundTest, WatchdogPausesNearTheEndOfSixHundredSeconds) {
  startRunning();
  Application::shared().enterBackground();
  queue_->enterBackground();
  EXPECT_TRUE(queue_->runningInTheBackground());
  EXPECT_EQ(Application::shared().backgroundTaskCount(), 1u);
  EXPECT_EQ(Application::shared().applicationIconBadgeNumber(), 2);
  EXPECT_NEAR(queue_->backgroundTimeLeft(), 600, 0.5);
  advance(539.5);
  EXPECT_FALSE(queue_->fPaused());
  EXPECT_TRUE(queue_->runningInTheBackground());
  advance(1);
  EXPECT_TRUE(queue_->fPaused());
  EXPECT_FALSE(queue_->runningInTheBackground());
  EXPECT_EQ(Application::shared().backgroundTaskCount(), 0u);
  EXPECT_EQ(Application::shared().applicationIconBadgeNumber(), 0);
  // Back in front the queue stays paused until Play.
  Application::shared().enterForeground();
  queue_->resumeFromBackground();
  EXPECT_TRUE(queue_->fPaused());
}

TEST_F(QueueBackgroundTest, EightySecondsLeftPausesAtOnce) {
  startRunning();
  Application::shared().setBackgroundTimeAllowance(seconds(80));
  Application::shared().enterBackground();
  queue_->enterBackground();
  settle();
  advance(0.1);
  EXPECT_TRUE(queue_->fPaused());
  EXPECT_EQ(Application::shared().backgroundTaskCount(), 0u);
}

TEST_F(QueueBackgroundTest, NoNewItemWithLessThanSixtySecondsLeft) {
  startRunning();
  Application::shared().setBackgroundTimeAllowance(seconds(150));
  Application::shared().enterBackground();
  queue_->enterBackground();
  advance(89); // 61 s left: the watchdog has not come yet (at 90 s elapsed)
  EXPECT_FALSE(queue_->fPaused());
  // The running item ends with 61 s left: the next one may start.
  sftp_->active = false;
  queue_->downloadedFile(*sftp_, "x");
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 2; }));
  EXPECT_EQ(Application::shared().applicationIconBadgeNumber(), 1);
}

TEST_F(QueueBackgroundTest, ReturningEndsTheTaskAndClearsTheBadge) {
  startRunning();
  Application::shared().enterBackground();
  queue_->enterBackground();
  Application::shared().enterForeground();
  queue_->resumeFromBackground();
  EXPECT_FALSE(queue_->runningInTheBackground());
  EXPECT_EQ(Application::shared().backgroundTaskCount(), 0u);
  EXPECT_EQ(Application::shared().applicationIconBadgeNumber(), 0);
  EXPECT_EQ(queue_->bgTask(), kBackgroundTaskInvalid);
  EXPECT_FALSE(queue_->fPaused());
}

TEST_F(QueueBackgroundTest, WithoutBackgroundTasksNothingNewStarts) {
  auto profile = DeviceProfile::iPhone();
  profile.multitaskingSupported = false;
  DeviceProfile::setCurrent(profile);
  startRunning();
  Application::shared().enterBackground();
  queue_->enterBackground();
  EXPECT_EQ(queue_->backgroundTimeLeft(), 0);
  sftp_->active = false;
  queue_->downloadedFile(*sftp_, "x");
  settle();
  waitFor([&] { return sftp_->started() > 1; }, 0.3);
  EXPECT_EQ(sftp_->started(), 1u);
  EXPECT_FALSE(queue_->runningInTheBackground());
}

// The SFTP service's reports reach the row it works on, also while the FTP tab's own download
// reports progress for a row of its own (which makes that row the one last heard of).
class SFTPReportsAmidAView : public QueueTest,
                             public ::testing::WithParamInterface<const char *> {};

TEST_P(SFTPReportsAmidAView, ReachTheSFTPRow) {
  const std::string report = GetParam();
  ASSERT_NO_FATAL_FAILURE(startOneSftpDownload());
  const int sftpRow = queue_->batchItemList()[0]->primaryKey();
  // The FTP tab views a large file: its row, and its progress (the queue leaves that file to it).
  services_->browsing =
      BrowsingTransfer{true, RemoteOrigin::of("ftp", "ftp.example", 21, "u", "/logs", "large.log")};
  const int viewRow = queue_->addBatchItemAction(2, "large.log", "/logs", 8 << 20, "ftp.example",
                                                 21, "u", "p", "ftp", "", false, false);
  queue_->updateBatchItemObject(BatchObject{viewRow, 1 << 20, 0.125f});
  if (report == "progress")
    queue_->progressDic(*sftp_, SFTPProgressDic{2 << 20, 0.5f});
  else if (report == "done")
    queue_->downloadedFile(*sftp_, "big.bin");
  else
    queue_->downloadError(*sftp_, "No such file");
  settle();
  auto row = [&](int pk) {
    const int index = queue_->batchIndexForPK(pk);
    return index < 0 ? nullptr : queue_->batchItemList()[size_t(index)];
  };
  ASSERT_TRUE(row(viewRow)) << "the view's row stays";
  EXPECT_FLOAT_EQ(row(viewRow)->progress(), 0.125f);
  EXPECT_TRUE(row(viewRow)->errorMsg().empty());
  if (report == "done") {
    EXPECT_FALSE(row(sftpRow));
  } else {
    ASSERT_TRUE(row(sftpRow));
    EXPECT_FLOAT_EQ(row(sftpRow)->progress(), report == "progress" ? 0.5f : 0.0f);
    EXPECT_EQ(row(sftpRow)->errorMsg(), report == "error" ? "No such file" : "");
  }
}

INSTANTIATE_TEST_SUITE_P(Queue, SFTPReportsAmidAView,
                         ::testing::Values("progress", "done", "error"),
                         [](const auto &info) { return std::string(info.param); });

// An FTP item whose server cannot be reached waits before each new try: a second at first, twice
// as long each time after, a minute at most. Its row says why it waits; the transfer log says so
// once per try. Once its server has stayed away for ten minutes the item fails with the error.
TEST_F(QueueTest, AnFTPItemWhoseServerStaysAwayWaitsLongerBeforeEachTry) {
  const int port = testsupport::freeTcpPort(); // nothing listens there
  makeQueue();
  const int key = queue_->addBatchItemAction(2, "f.bin", "/", 1000, "127.0.0.1", port, "u", "p",
                                             "ftp", "", false, true);
  auto count = [&](const std::string &what) {
    const std::string log = queue_->ftp() ? queue_->ftp()->transferLog() : std::string();
    size_t n = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
      ++n;
    return n;
  };
  auto tries = [&] { return int(count("*** Connect To ")); };
  auto item = [&] { return queue_->batchItemList()[size_t(queue_->batchIndexForPK(key))]; };
  const std::string waiting = "Waiting for the server: Connection refused";
  ASSERT_TRUE(waitFor([&] { return queue_->ftpRetries() == 1; }));
  EXPECT_EQ(item()->statusMsg(), waiting);
  ASSERT_EQ(tries(), 1);
  // The row shows why it waits, in place of its bar.
  auto part = [&](int tag) {
    return queue_->tableView()->cellForRowAtIndexPath({0, 0})->contentView()->viewWithTag(tag);
  };
  auto line = std::dynamic_pointer_cast<ui::Label>(part(-6));
  ASSERT_TRUE(line);
  EXPECT_FALSE(line->isHidden());
  EXPECT_EQ(line->text(), waiting);
  EXPECT_TRUE(part(-5)->isHidden());

  // The clock moves a tenth of a second at a time; a try started in a step has reached the
  // connection's thread and failed before the clock moves on, so each try is seen at its time.
  std::vector<double> at{0};
  double now = 0;
  while (item()->errorMsg().empty() && now < 700) {
    clock_->advance(platform::seconds(0.1));
    now += 0.1;
    settle();
    auto passed = std::make_shared<std::atomic<bool>>(false);
    queue_->ftp()->myThread()->perform(
        [passed] { RunLoop::main()->perform([passed] { *passed = true; }); });
    ASSERT_TRUE(waitFor([&] { return passed->load(); }));
    if (tries() > int(at.size())) {
      ASSERT_TRUE(
          waitFor([&] { return queue_->ftpRetries() == tries() || !item()->errorMsg().empty(); }));
      at.push_back(now);
      if (item()->errorMsg().empty()) {
        EXPECT_EQ(item()->statusMsg(), waiting);
      }
    }
  }
  std::vector<int> waits;
  for (size_t i = 1; i < at.size(); ++i)
    waits.push_back(int(std::lround(at[i] - at[i - 1])));
  EXPECT_EQ(waits, (std::vector<int>{1, 2, 4, 8, 16, 32, 60, 60, 60, 60, 60, 60, 60, 60, 60}));
  // Each try said once in the transfer log why it failed.
  EXPECT_EQ(count("!!! No connection to 127.0.0.1:" + std::to_string(port) + ": "), at.size());
  // The try that failed ten minutes after the first failure ended the item with the error; the
  // queue, with nothing else to do, pauses.
  EXPECT_EQ(item()->errorMsg(), "Unable to connect to the FTP server 127.0.0.1:" +
                                    std::to_string(port) + ": Connection refused");
  EXPECT_TRUE(item()->statusMsg().empty());
  advance(1.1);
  EXPECT_TRUE(queue_->fPaused());
}

// While an FTP item waits for its server, the items of other servers run; those of its own server
// wait with it. The waiting item keeps its place and its resume offset, and it is tried again
// first once its time is over. A second server away waits on its own without cutting the first
// one's wait short.
TEST_F(QueueTest, ItemsOfOtherServersRunWhileAnItemWaitsForItsServer) {
  const int away = testsupport::freeTcpPort(), alsoAway = testsupport::freeTcpPort();
  const std::string a = "'127.0.0.1'," + std::to_string(away);
  seedRow("'2','a1.bin','/'," + a + ",'u','p','',1000,0,'ftp',9999,400");
  seedRow("'30','s1.bin','/r','sftp.example',22,'u','p','',1,0,'sftp',9999,0");
  seedRow("'2','a2.bin','/'," + a + ",'u','p','',1000,0,'ftp',9999,0");
  seedRow("'2','b1.bin','/','127.0.0.1'," + std::to_string(alsoAway) +
          ",'u','p','',1000,0,'ftp',9999,0");
  makeQueue();
  auto list = [&] { return queue_->batchItemList(); };
  const int a1 = list()[0]->primaryKey(), a2 = list()[2]->primaryKey(),
            b1 = list()[3]->primaryKey();
  auto failures = [&](int port) {
    const std::string log = queue_->ftp() ? queue_->ftp()->transferLog() : std::string();
    const std::string what = "!!! No connection to 127.0.0.1:" + std::to_string(port) + ":";
    size_t n = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
      ++n;
    return n;
  };
  // The clock moves a tenth of a second at a time, each step once what it started has reached
  // the connection's thread and come back (and a refused connection has had a moment to say so).
  auto stepUntil = [&](const std::function<bool()> &done, double seconds) {
    for (double t = 0; t < seconds; t += 0.1) {
      if (waitFor(done, 0.02)) return true;
      clock_->advance(platform::seconds(0.1));
      settle();
      if (auto ftp = queue_->ftp()) {
        auto passed = std::make_shared<std::atomic<bool>>(false);
        ftp->myThread()->perform(
            [passed] { RunLoop::main()->perform([passed] { *passed = true; }); });
        waitFor([&] { return passed->load(); });
      }
      settle();
    }
    return done();
  };
  ASSERT_TRUE(stepUntil([&] { return queue_->ftpRetries(a1) >= 1; }, 3));
  // Its wait holds nothing of another server: the SFTP row starts meanwhile, well before the
  // first row's server has stayed away for long.
  ASSERT_TRUE(stepUntil([&] { return sftp_->started() == 1; }, 10));
  EXPECT_EQ(sftp_->calls().back(), "download@sftp.example:22");
  const int triesBefore = queue_->ftpRetries(a1);
  EXPECT_GE(triesBefore, 1);
  EXPECT_LE(triesBefore, 3);
  sftp_->active = false;
  queue_->downloadedFile(*sftp_, "x");
  // Then the other FTP server's row (its server is away too); the second row of the first
  // server is not tried while the first waits.
  ASSERT_TRUE(stepUntil([&] { return queue_->ftpRetries(b1) >= 1; }, 10));
  EXPECT_EQ(queue_->ftpRetries(a2), 0);
  ASSERT_EQ(list().size(), 3u);
  EXPECT_EQ(list()[0]->primaryKey(), a1);
  EXPECT_EQ(list()[0]->start(), 400);
  EXPECT_EQ(list()[0]->statusMsg(), "Waiting for the server: Connection refused");
  EXPECT_TRUE(list()[0]->errorMsg().empty());
  EXPECT_EQ(list()[2]->statusMsg(), "Waiting for the server: Connection refused");

  // Both servers' waits go on, each its own: the first row is tried again in its place, and its
  // server's second row never while it waits.
  ASSERT_TRUE(stepUntil([&] { return queue_->ftpRetries(a1) >= triesBefore + 2; }, 40));
  EXPECT_GE(queue_->ftpRetries(b1), 2);
  EXPECT_EQ(size_t(queue_->ftpRetries(a1)), failures(away));
  EXPECT_EQ(size_t(queue_->ftpRetries(b1)), failures(alsoAway));
  EXPECT_EQ(queue_->ftpRetries(a2), 0);
  EXPECT_EQ(list()[0]->primaryKey(), a1);
  EXPECT_EQ(list()[0]->start(), 400);
}

// An edit's save back whose server's file another changed since the edit began: each start of its
// row looks first, and a changed file is written over by nothing. The row waits (no error, the
// queue not paused, nothing uploaded), the person is asked once, and a kill asks again. "Keep
// Typed Text" lets the row go on; "Take the File" removes it, with nothing sent.
class ChangedServerFileTest : public QueueTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ChangedServerFileTest, TheRowWaitsForTheAnswerAndAKillAsksAgain) {
  const bool keepTyped = GetParam();
  const std::string local = Paths::tmp() + "/note.txt";
  ASSERT_TRUE(testsupport::writeFile(local, "typed"));
  auto outcome =
      std::make_shared<std::atomic<SendBackCheck::Outcome>>(SendBackCheck::Outcome::Changed);
  services_->checks[local] = outcome;
  makeQueue();
  const int key = queue_->addBatchItemAction(31, "note.txt", "/r", 5, "s", 22, "u", "p", "sftp",
                                             local, true, true);
  ASSERT_TRUE(waitFor([&] { return services_->asked.size() == 1; }));
  EXPECT_EQ(services_->asked[0], local + "|note.txt|3:0:0");
  auto row = [&] {
    const int index = queue_->batchIndexForPK(key);
    return index < 0 ? nullptr : queue_->batchItemList()[size_t(index)];
  };
  advance(5);
  ASSERT_TRUE(row());
  EXPECT_TRUE(row()->errorMsg().empty()) << row()->errorMsg();
  EXPECT_FALSE(queue_->fPaused());
  EXPECT_EQ(sftp_->count("look:/r/note.txt"), 1u) << "looked again while asked";
  EXPECT_EQ(sftp_->started(), 0u) << "uploaded over the changed file";
  EXPECT_EQ(services_->asked.size(), 1u);
  EXPECT_EQ(rows().size(), 1u);

  // Killed unanswered: the row is still there, looks again and asks again.
  services_->answer = nullptr;
  probe_.reset();
  window_.reset();
  tabs_.reset();
  nav_.reset();
  queue_.reset();
  settle();
  clock_->advance(platform::seconds(30));
  makeQueue();
  ASSERT_TRUE(waitFor([&] { return advance(0.5), services_->asked.size() == 2; }));
  EXPECT_EQ(sftp_->count("look:/r/note.txt"), 2u);
  EXPECT_EQ(sftp_->started(), 0u);
  ASSERT_TRUE(services_->answer);

  if (keepTyped) {
    // The answer made the file as found the one to go over: the next look lets it go.
    *outcome = SendBackCheck::Outcome::Send;
    services_->answer(true);
    ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
    EXPECT_EQ(sftp_->count("look:/r/note.txt"), 3u);
    sftp_->active = false;
    queue_->uploadedFile(*sftp_, "/r/note.txt");
    EXPECT_EQ(services_->sent, std::vector<std::string>{local});
  } else {
    services_->answer(false);
    settle();
    EXPECT_EQ(sftp_->started(), 0u);
    EXPECT_TRUE(services_->sent.empty());
  }
  EXPECT_EQ(queue_->batchIndexForPK(key), -1);
  EXPECT_TRUE(rows().empty());
  EXPECT_EQ(services_->asked.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Answers, ChangedServerFileTest, ::testing::Bool(), [](const auto &info) {
  return std::string(info.param ? "KeepTypedText" : "TakeTheFile");
});
