// The queue's table and list: loading order, adding with normalisation and de-duplication, the
// look-ups, 64-bit sizes and offsets, and a refused INSERT.
#include "tests/app/queue/QueueTestSupport.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

#include <filesystem>
#include <unistd.h>

using namespace queuetest;

namespace {
std::vector<std::string> names(const BatchListView &queue) {
  std::vector<std::string> out;
  for (auto &item : queue.batchItemList())
    out.push_back(item->filename());
  return out;
}
} // namespace

TEST_F(QueueTest, LoadsInUserOrderThenNewRowsByKey) {
  seedRow("'2','new1','/','127.0.0.1',21,'u','p','/x',10,0,'ftp',9999,0");
  seedRow("'2','second','/','127.0.0.1',21,'u','p','/x',10,0,'ftp',1,0");
  seedRow("'2','new2','/','127.0.0.1',21,'u','p','/x',10,0,'ftp',9999,0");
  seedRow("'2','first','/','127.0.0.1',21,'u','p','/x',5000000000,1,'ftp',0,4000000000");
  makeQueue(false);
  EXPECT_EQ(names(*queue_), (std::vector<std::string>{"first", "second", "new1", "new2"}));
  auto &first = queue_->batchItemList().front();
  // Sizes and offsets past 4 GiB survive the round trip.
  EXPECT_EQ(first->filesize(), 5000000000LL);
  EXPECT_EQ(first->start(), 4000000000LL);
  EXPECT_TRUE(first->cleanFileWhenDone());
  // A new item goes to the end of the list and keeps the default order in the table.
  int key = queue_->addBatchItemAction(2, "later", "/", 1, "127.0.0.1", 21, "u", "p", "ftp", "/x",
                                       false, false);
  EXPECT_EQ(queue_->batchItemList().back()->primaryKey(), key);
  EXPECT_EQ(rows().back().substr(rows().back().find("|later|")),
            "|later|0|1|9999|127.0.0.1|21|/|/x");
}

TEST_F(QueueTest, AddingNormalisesAndFindsTwins) {
  makeQueue(false);
  const std::string docs = Paths::documents();
  // Host with a port, the port repeated at the end of the folder, a local path under Documents.
  int a = queue_->addBatchItemAction(3, "up.txt", "/pub:2121", 7, "ftp.example:2121", 21, "u", "p",
                                     "ftp", docs + "/Files/up.txt", false, false);
  ASSERT_GT(a, 0);
  auto item = queue_->batchItemList().back();
  EXPECT_EQ(item->server(), "ftp.example");
  EXPECT_EQ(item->port(), 2121);
  EXPECT_EQ(item->path(), "/pub");
  EXPECT_EQ(item->localpath(), "/Files/up.txt");
  // The twin action, with the texts as the first one stored them, is the same transfer.
  int b = queue_->addBatchItemAction(10, "up.txt", "/pub", 7, "ftp.example", 2121, "u", "p", "ftp",
                                     "/Files/up.txt", false, false);
  EXPECT_EQ(b, a);
  EXPECT_EQ(rows().size(), 1u);
  // Another password is another transfer.
  int c = queue_->addBatchItemAction(3, "up.txt", "/pub", 7, "ftp.example", 2121, "u", "other",
                                     "ftp", "/Files/up.txt", false, false);
  EXPECT_NE(c, a);
  EXPECT_EQ(queue_->actionForBatchItemPK(c), 3);
  EXPECT_EQ(queue_->actionForBatchItemPK(9999), -1);
  EXPECT_EQ(queue_->batchIndexForPK(c), 1);
  EXPECT_EQ(queue_->batchIndexForPK(-1), -1);

  // The look-up takes the one action only and ignores the size.
  EXPECT_EQ(queue_->alreadyExists(3, "up.txt", "/pub:2121", 123, "ftp.example:2121", 21, "u", "p"),
            a);
  EXPECT_EQ(queue_->alreadyExists(10, "up.txt", "/pub", 7, "ftp.example", 2121, "u", "p"), -1);
  EXPECT_EQ(queue_->alreadyExists(3, "UP.txt", "/pub", 7, "ftp.example", 2121, "u", "p"), -1);
}

// One file of two servers on one host (on other ports) is two transfers: the second is queued, not
// taken for the first. The same server written otherwise is one: its port in the text (before a
// folder typed after the host), its host in capitals, FTP with TLS, no port for the protocol's own.
TEST_F(QueueTest, OnlyTheSameFileOfTheSameServerIsOneTransfer) {
  seedRow("'3','edit-a.txt','/docs','127.0.0.1',0,'u','p','/Files/edit-a.txt',7,0,'ftp',9999,0");
  makeQueue(false);
  auto add = [&](int action, const std::string &server, int port, const char *protocol) {
    return queue_->addBatchItemAction(action, "edit-a.txt", "/docs", 7, server, port, "u", "p",
                                      protocol, "/Files/edit-a.txt", false, false);
  };
  const int onDefaultPort = queue_->batchItemList().front()->primaryKey();
  EXPECT_EQ(add(3, "127.0.0.1", 21, "ftp"), onDefaultPort);
  const int a = add(3, "127.0.0.1", 2121, "ftp");
  const int b = add(3, "127.0.0.1", 2122, "ftp");
  EXPECT_NE(a, onDefaultPort);
  EXPECT_NE(b, a);
  EXPECT_EQ(add(10, "127.0.0.1:2121/docs", 0, "ftps"), a);
  EXPECT_EQ(add(3, "LOCALHOST", 2121, "ftp"), add(3, "localhost", 2121, "ftp"));
  EXPECT_EQ(queue_->batchItemList().size(), 4u);
  EXPECT_EQ(queue_->alreadyExists(3, "edit-a.txt", "/docs", 7, "127.0.0.1", 2122, "u", "p"), b);
  EXPECT_EQ(queue_->alreadyExists(3, "edit-a.txt", "/docs", 7, "127.0.0.1", 2123, "u", "p"), -1);
  // A port typed after the host goes to its column; a folder typed after it stays.
  queue_->addBatchItemAction(2, "x", "/pub", 7, "ftp.example:2121/pub", 0, "u", "p", "ftp", "",
                             false, false);
  EXPECT_EQ(queue_->batchItemList().back()->server(), "ftp.example/pub");
  EXPECT_EQ(queue_->batchItemList().back()->port(), 2121);
}

TEST_F(QueueTest, WebItemNamingAnFtpAddressBecomesADownload) {
  makeQueue(false);
  int key = queue_->addBatchItemAction(20, "", "", 0, "ftp://files.example/pub/sub/data.bin", 80,
                                       "", "", "www", "/Downloads/data.bin", false, false);
  ASSERT_GT(key, 0);
  auto item = queue_->batchItemList().back();
  EXPECT_EQ(item->action(), 2);
  EXPECT_EQ(item->server(), "files.example");
  EXPECT_EQ(item->path(), "pub/sub");
  EXPECT_EQ(item->filename(), "data.bin");
  EXPECT_EQ(item->port(), 21);
  EXPECT_EQ(item->protocol(), "www");
  EXPECT_EQ(item->localpath(), "/Downloads");
  // A file right below the server, and a server alone (its name is taken for the file's).
  struct Case {
    const char *url, *server, *path, *filename;
  };
  for (const Case c : {Case{"ftp://top.example/readme.txt", "top.example", ".", "readme.txt"},
                       Case{"ftp://bare.example", "bare.example", ".", "bare.example"},
                       Case{"ftp://up.example/../x.bin", "up.example", "..", "x.bin"}}) {
    SCOPED_TRACE(c.url);
    queue_->addBatchItemAction(20, "", "", 0, c.url, 21, "", "", "www",
                               std::string("/Downloads/") + c.filename, false, false);
    auto row = queue_->batchItemList().back();
    EXPECT_EQ(row->action(), 2);
    EXPECT_EQ(row->server(), c.server);
    EXPECT_EQ(row->path(), c.path);
    EXPECT_EQ(row->filename(), c.filename);
    EXPECT_EQ(row->localpath(), "/Downloads");
  }
  // A plain web address keeps its colon and port text.
  queue_->addBatchItemAction(20, "", "", 0, "http://127.0.0.1:8000/f", 0, "", "", "www",
                             "/Downloads/f", false, false);
  EXPECT_EQ(queue_->batchItemList().back()->server(), "http://127.0.0.1:8000/f");
  EXPECT_EQ(queue_->batchItemList().back()->action(), 20);
}

TEST_F(QueueTest, UploadWithoutSizeTakesTheLocalFileSizeIn64Bits) {
  makeQueue(false);
  const std::string file = Paths::documents() + "/Files/big.iso";
  ASSERT_TRUE(testsupport::writeFile(file, ""));
  std::filesystem::resize_file(file, 5000000001ULL); // sparse: costs no disk
  int key = queue_->addBatchItemAction(3, "big.iso", "/", 0, "127.0.0.1", 21, "u", "p", "ftp", file,
                                       true, false);
  ASSERT_GT(key, 0);
  EXPECT_EQ(queue_->batchItemList().back()->filesize(), 5000000001LL);
  EXPECT_NE(rows().back().find("|5000000001|"), std::string::npos);
  // A missing local file gives 0.
  queue_->addBatchItemAction(31, "gone", "/", 0, "127.0.0.1", 22, "u", "p", "sftp", "/Files/gone",
                             true, false);
  EXPECT_EQ(queue_->batchItemList().back()->filesize(), 0);
}

// A transfer the table cannot take (no database at all, or the table refuses the row) is kept for
// this run all the same: it shows, runs and can be deleted, its key is no stored row's, and the
// person is told once that the queue is not being saved.
class UnstoredTransfer : public QueueTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UnstoredTransfer, IsKeptForThisRun) {
  const bool noDatabase = GetParam();
  int stored = -1;
  if (noDatabase) {
    ASSERT_TRUE(FileManager::createDirectory(Paths::documents() + "/bookmarks.sql", true));
    makeQueue();
  } else {
    makeQueue();
    stored = queue_->addBatchItemAction(30, "stored", "/r", 1, "s.example", 22, "u", "p", "sftp",
                                        "", false, false);
    ASSERT_GT(stored, 0);
    sqlite3 *db = OpenDatabase();
    EXPECT_GE(SQLExecute(db, "CREATE TRIGGER refuse BEFORE INSERT ON batchlist BEGIN "
                             "SELECT RAISE(ABORT, 'refused'); END"),
              0);
    sqlite3_close(db);
  }
  const auto before = rows();
  auto add = [&](const std::string &name) {
    return queue_->addBatchItemAction(30, name, "/r", 1, "s.example", 22, "u", "p", "sftp", "",
                                      false, false);
  };
  const int kept = add("kept"), other = add("other");
  EXPECT_GT(kept, 0);
  EXPECT_GT(other, 0);
  EXPECT_NE(kept, other);
  EXPECT_NE(kept, stored);
  EXPECT_EQ(add("kept"), kept) << "the same transfer is found in memory";
  EXPECT_EQ(rows(), before);
  settle();
  auto alerts = probe_->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u) << "told once, not once per transfer";
  EXPECT_EQ(alerts[0].title, "Queue Not Saved");
  ASSERT_TRUE(probe_->answerAlert("OK"));
  std::vector<std::string> shown;
  for (auto &row : probe_->visibleRows())
    shown.push_back(row.label);
  EXPECT_NE(std::find(shown.begin(), shown.end(), "kept"), shown.end());

  if (!noDatabase) {
    // The table takes the row, but under "kept"'s key, and refuses it one of its own: taken back,
    // the row is kept in memory too.
    sqlite3 *db = OpenDatabase();
    SQLExecute(db, "DROP TRIGGER refuse");
    SQLExecute(db, "CREATE TRIGGER renumber BEFORE UPDATE OF pk ON batchlist BEGIN "
                   "SELECT RAISE(ABORT, 'refused'); END");
    const int later = add("later");
    EXPECT_GT(later, std::max(kept, other));
    EXPECT_EQ(rows(), before);
    // The table takes rows again: theirs are keys of their own, above the ones kept in memory.
    SQLExecute(db, "DROP TRIGGER renumber");
    sqlite3_close(db);
    const int last = add("last");
    EXPECT_GT(last, later);
    EXPECT_EQ(rows().back().substr(0, rows().back().find('|')), std::to_string(last));
  }

  // Deleted in the table, a kept row goes; the one left runs.
  ASSERT_TRUE(probe_->tap("Edit"));
  const int keptRow = queue_->batchIndexForPK(kept);
  ASSERT_GE(keptRow, 0);
  ASSERT_TRUE(probe_->deleteRow({0, keptRow}));
  ASSERT_TRUE(probe_->tap("Done"));
  EXPECT_EQ(queue_->batchIndexForPK(kept), -1);
  if (!noDatabase) {
    ASSERT_TRUE(probe_->tap("Edit"));
    ASSERT_TRUE(probe_->deleteRow({0, queue_->batchIndexForPK(stored)}));
    ASSERT_TRUE(probe_->tap("Done"));
    for (const char *name : {"later", "last"})
      for (auto &item : std::vector(queue_->batchItemList().begin(), queue_->batchItemList().end()))
        if (item->filename() == name) queue_->doneBatchItemPK(item->primaryKey());
  }
  queue_->startAlwaysIfNoneInProgress();
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  EXPECT_EQ(sftp_->count("setupDownload:/r/other->"), 1u);
  EXPECT_EQ(queue_->inProgressPK(), other);
  queue_->doneBatchItemPK(other);
  EXPECT_TRUE(queue_->batchItemList().empty());
}

INSTANTIATE_TEST_SUITE_P(Queue, UnstoredTransfer, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "NoDatabase" : "RowRefused"; });

TEST_F(QueueTest, InProgressIsASuffixTestThatIgnoresEmptyPaths) {
  makeQueue(false);
  queue_->addBatchItemAction(2, "a", "/", 1, "127.0.0.1", 21, "u", "p", "ftp", "", false, false);
  EXPECT_FALSE(queue_->isInProgress("/anything/at/all"));
  queue_->addBatchItemAction(3, "b.txt", "/", 1, "127.0.0.1", 21, "u", "p", "ftp", "/Files/b.txt",
                             false, false);
  EXPECT_TRUE(queue_->isInProgress(Paths::documents() + "/Files/b.txt"));
  EXPECT_FALSE(queue_->isInProgress(Paths::documents() + "/Files/b.txt.old"));
}

TEST_F(QueueTest, OffsetSavedAtFirstReportThenAtMostEveryTenSeconds) {
  makeQueue(false);
  int key = queue_->addBatchItemAction(30, "f", "/", 10000000000LL, "127.0.0.1", 22, "u", "p",
                                       "sftp", "", false, false);
  auto startOf = [&] {
    for (auto &row : rows())
      if (row.rfind(std::to_string(key) + "|", 0) == 0) {
        auto a = row.find('|', row.find('|', row.find('|') + 1) + 1);
        return row.substr(a + 1, row.find('|', a + 1) - a - 1);
      }
    return std::string("?");
  };
  queue_->updateBatchItemPK(key, 0.1f, 4294967296LL + 5);
  EXPECT_EQ(startOf(), "4294967301");
  clock_->advance(seconds(5));
  queue_->updateBatchItemPK(key, 0.2f, 5000000000LL);
  EXPECT_EQ(startOf(), "4294967301");
  clock_->advance(seconds(6));
  queue_->updateBatchItemPK(key, 0.3f, 6000000000LL);
  EXPECT_EQ(startOf(), "6000000000");
  // The stop report hides the bar and leaves the offset alone.
  queue_->updateBatchItemPK(key, -1.0f, -1);
  EXPECT_EQ(startOf(), "6000000000");
  // A restart of the queue reads it back.
  queue_.reset();
  settle();
  makeQueue(false);
  ASSERT_EQ(queue_->batchItemList().size(), 1u);
  EXPECT_EQ(queue_->batchItemList().front()->start(), 6000000000LL);
}

TEST_F(QueueTest, KickstartWhilePausedResumesAndWithoutItWaits) {
  makeQueue();
  settle();
  queue_->clickedPause();
  EXPECT_TRUE(queue_->fPaused());
  ASSERT_TRUE(probe_->leftItem());
  EXPECT_EQ(probe_->leftItem()->name, "Play");
  queue_->addBatchItemAction(30, "a", "/r", 1, "s.example", 22, "u", "p", "sftp", "", false, false);
  settle();
  EXPECT_TRUE(queue_->fPaused());
  queue_->addBatchItemAction(30, "b", "/r", 1, "s.example", 22, "u", "p", "sftp", "", false, true);
  EXPECT_FALSE(queue_->fPaused());
  EXPECT_EQ(probe_->leftItem()->name, "Pause");
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  // The first queued item runs first.
  EXPECT_EQ(sftp_->calls().front().find("reinit"), 0u);
  bool sawA = false;
  for (auto &c : sftp_->calls())
    if (c == "setupDownload:/r/a->") sawA = true;
  EXPECT_TRUE(sawA);
}

TEST_F(QueueTest, AddingByConnectionTakesItsServerFields) {
  makeQueue(false);
  // An FTP connection on a thread of its own, as the application makes them.
  std::shared_ptr<FTPConnection> connection;
  std::atomic<bool> made{false};
  auto loop = platform::startThread("test-ftp", [&] {
    connection = std::make_shared<FTPConnection>();
    made = true;
  });
  ASSERT_TRUE(waitFor([&] { return made.load(); }));
  // Set on the connection's thread in the order posted: the user last, to wait for.
  connection->setServerAddress("127.0.0.1:2121");
  connection->setLoginPass("it's secret");
  connection->setLoginUser("joe");
  ASSERT_TRUE(waitFor([&] { return connection->loginUser() == "joe"; }));
  EXPECT_EQ(connection->loginPass(), "it's secret");
  int key =
      queue_->addBatchItemAction(2, "f.txt", "/pub", 5, connection, nullptr, "/d", false, false);
  ASSERT_GT(key, 0);
  auto item = queue_->batchItemList().back();
  EXPECT_EQ(item->server(), "127.0.0.1");
  EXPECT_EQ(item->port(), 2121);
  EXPECT_EQ(item->user(), "joe");
  EXPECT_EQ(item->password(), "it's secret");
  EXPECT_EQ(item->protocol(), "ftp");
  EXPECT_EQ(item->action(), 2);

  // The SFTP service: the SFTP forms of the actions.
  sftp_->setServer("127.0.0.1");
  sftp_->setPort(2222);
  sftp_->setUsername("joe");
  sftp_->setPassword("pw");
  const int forms[][2] = {{2, 30}, {3, 31}, {10, 32}, {1, 33}, {6, 34}, {20, 20}};
  for (auto &form : forms) {
    int k = queue_->addBatchItemAction(form[0], "s" + std::to_string(form[0]), "/r", 1, nullptr,
                                       sftp_, "/Files/x", false, false);
    ASSERT_GT(k, 0);
    EXPECT_EQ(queue_->actionForBatchItemPK(k), form[1]) << form[0];
    EXPECT_EQ(queue_->batchItemList().back()->protocol(), "sftp");
    EXPECT_EQ(queue_->batchItemList().back()->port(), 2222);
  }
  // Neither: nothing stored.
  const size_t count = queue_->batchItemList().size();
  EXPECT_EQ(queue_->addBatchItemAction(2, "x", "/", 1, nullptr, nullptr, "", false, false), -1);
  EXPECT_EQ(queue_->batchItemList().size(), count);

  std::atomic<bool> gone{false};
  loop->perform([&] {
    connection.reset();
    gone = true;
  });
  ASSERT_TRUE(waitFor([&] { return gone.load(); }));
  loop->stop();
}

TEST_F(QueueTest, AFolderOfRowsIsStoredTogetherAndTwinsAreFoundByNameAndFolder) {
  makeQueue(false);
  std::vector<int> keys;
  queue_->batchUpdates([&] {
    for (const char *name : {"a.bin", "b.bin", "a.bin"})
      keys.push_back(queue_->addBatchItemAction(2, name, "/pub", 4, "127.0.0.1", 21, "u", "p",
                                                "ftp", "/Files", false, false));
    // Inside the batch the rows are already there for the queue's own look-ups.
    EXPECT_EQ(queue_->alreadyExists(2, "b.bin", "/pub", 0, "127.0.0.1", 21, "u", "p"), keys[1]);
  });
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[2], keys[0]) << "the same file twice in one folder is one row";
  EXPECT_EQ(rows().size(), 2u) << "the batch reached the disk";
  // The same name in another folder, or of another user, is another row.
  EXPECT_NE(queue_->addBatchItemAction(2, "a.bin", "/other", 4, "127.0.0.1", 21, "u", "p", "ftp",
                                       "/Files", false, false),
            keys[0]);
  EXPECT_NE(queue_->addBatchItemAction(2, "a.bin", "/pub", 4, "127.0.0.1", 21, "v", "p", "ftp",
                                       "/Files", false, false),
            keys[0]);
  // A row that is done is no twin any more: the file can be queued again.
  queue_->doneBatchItemPK(keys[0]);
  EXPECT_EQ(queue_->alreadyExists(2, "a.bin", "/pub", 0, "127.0.0.1", 21, "u", "p"), -1);
  const int again = queue_->addBatchItemAction(2, "a.bin", "/pub", 4, "127.0.0.1", 21, "u", "p",
                                               "ftp", "/Files", false, false);
  EXPECT_GT(again, 0);
  EXPECT_NE(again, keys[0]);
  // Rows queued twice by an earlier version are still found: the first in queue order.
  seedRow("'2','dup','/d','127.0.0.1',21,'u','p','/x',1,0,'ftp',0,0");
  seedRow("'2','dup','/d','127.0.0.1',21,'u','p','/x',1,0,'ftp',1,0");
  makeQueue(false);
  const auto &list = queue_->batchItemList();
  int firstDup = -1;
  for (auto &item : list)
    if (item->filename() == "dup" && firstDup < 0) firstDup = item->primaryKey();
  EXPECT_EQ(queue_->alreadyExists(2, "dup", "/d", 0, "127.0.0.1", 21, "u", "p"), firstDup);
}

// A finished row leaves the disk the moment it finishes (a crash right after cannot bring the
// transfer back); a running row's offset is held back a moment, and written when the application
// leaves.
TEST_F(QueueTest, FinishedRowsLeaveTheDiskAtOnceAndOffsetsSoon) {
  // The queue starts its rows meanwhile. Its server takes the connection and stays silent, so no
  // reply or refusal reaches the queue from the connection's thread while the test lets the
  // queue go (a refusal handled there at that moment held the queue past the test's look).
  int port = 0;
  const int silent = testsupport::listenOnLoopback(port, 8);
  ASSERT_GE(silent, 0);
  makeQueue(false);
  std::vector<int> keys;
  for (const char *name : {"a.bin", "b.bin", "c.bin", "d.bin"})
    keys.push_back(queue_->addBatchItemAction(2, name, "/pub", 4096, "127.0.0.1", port, "u", "p",
                                              "ftp", "/Files", false, false));
  queue_->updateBatchItemPK(keys[0], 0.5f, 2048);
  const struct {
    int done; // the key index finished now
    size_t left;
  } steps[] = {{1, 3}, {2, 2}};
  for (const auto &step : steps) {
    queue_->doneBatchItemPK(keys[size_t(step.done)]);
    EXPECT_EQ(storedRows().size(), step.left) << step.done;
  }
  EXPECT_EQ(storedRows()[0].find("|a.bin|2048|"), std::string::npos) << "held back for a moment";
  advance(1.0);
  auto stored = storedRows();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_NE(stored[0].find("|a.bin|2048|"), std::string::npos) << stored[0];

  // Leaving for the background writes a held offset at once.
  advance(11.0);
  queue_->updateBatchItemPK(keys[0], 0.75f, 3072);
  queue_->doneBatchItemPK(keys[3]);
  ASSERT_EQ(storedRows().size(), 1u);
  EXPECT_NE(storedRows()[0].find("|a.bin|2048|"), std::string::npos) << storedRows()[0];
  queue_->enterBackground();
  EXPECT_NE(storedRows()[0].find("|a.bin|3072|"), std::string::npos) << storedRows()[0];

  // The next queue loads only what is left.
  queue_.reset();
  makeQueue(false);
  ASSERT_EQ(queue_->batchItemList().size(), 1u);
  EXPECT_EQ(queue_->batchItemList()[0]->filename(), "a.bin");
  ::close(silent);
}

// A queue whose database cannot be opened says why in its log.
TEST_F(QueueTest, ADatabaseThatCannotBeOpenedIsLoggedWithTheReason) {
  // No database file, and no seed to make one from.
  Paths::setResources(tmp_->path() + "/no-resources");
  platform::LogCapture log(platform::Log::Sink::System);
  makeQueue(false);
  bool said = false;
  for (const auto &line : log.lines())
    if (line.find("Failed to open database with message '") != std::string::npos) {
      said = true;
      EXPECT_NE(line.find("bookmarks.sql"), std::string::npos) << line;
      EXPECT_EQ(line.find("unable to open database file"), std::string::npos) << line;
    }
  EXPECT_TRUE(said);
}

// The table gives a removed row's key to the next row once it is empty; the queue must not: a
// late report (or a wait) for the finished row would be taken for the new one.
TEST_F(QueueTest, AFinishedRowsKeyIsNeverGivenToANewRow) {
  seedRow("'2','left','/pub','127.0.0.1',21,'u','p','/Files',1,0,'ftp',0,0");
  makeQueue(false);
  std::vector<int> given;
  for (const char *name : {"a.bin", "b.bin", "c.bin"}) {
    const int key = queue_->addBatchItemAction(2, name, "/pub", 1, "127.0.0.1", 21, "u", "p", "ftp",
                                               "/Files", false, false);
    for (int earlier : given)
      EXPECT_NE(key, earlier) << name;
    given.push_back(key);
    // Every row is finished and off the disk before the next comes.
    for (auto &item : std::vector(queue_->batchItemList().begin(), queue_->batchItemList().end()))
      queue_->doneBatchItemPK(item->primaryKey());
    EXPECT_TRUE(rows().empty());
  }

  const int fresh = queue_->addBatchItemAction(2, "d.bin", "/pub", 1, "127.0.0.1", 21, "u", "p",
                                               "ftp", "/Files", false, false);
  queue_->doneBatchItemPK(given.back()); // late: its row is long gone
  ASSERT_EQ(names(*queue_), std::vector<std::string>{"d.bin"});
  EXPECT_EQ(queue_->batchItemList()[0]->primaryKey(), fresh);
  // The stored row has the key the queue knows it by, and keeps it in the next run.
  auto stored = rows();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].substr(0, stored[0].find('|')), std::to_string(fresh));
  queue_.reset();
  makeQueue(false);
  ASSERT_EQ(queue_->batchItemList().size(), 1u);
  EXPECT_EQ(queue_->batchItemList()[0]->primaryKey(), fresh);
}

namespace {

// Two files whose names read alike ("café.txt" stored in UTF-8 and in ISO Latin-1) are two rows,
// and each row keeps the bytes its server named the file and its folder with, across a restart,
// while the screen and the table's text show the names as before. A row stored before the bytes
// were kept loads as it always did, in a table that gains their columns.
TEST_F(QueueTest, NamesThatReadAlikeAreTwoRowsAndKeepTheirBytesAcrossARestart) {
  {
    // The table as an earlier version made it, with one of its rows.
    sqlite3 *db = OpenDatabase();
    ASSERT_NE(db, nullptr);
    ASSERT_GE(SQLExecute(db, "CREATE TABLE 'batchlist' ('pk' integer primary key, 'action' "
                             "VARCHAR(10) DEFAULT '', 'filename' VARCHAR(120) DEFAULT '', 'path' "
                             "VARCHAR(250) DEFAULT '', 'server' VARCHAR(120) DEFAULT '', 'user' "
                             "VARCHAR(80) DEFAULT '', 'password' VARCHAR(80) DEFAULT '', 'start' "
                             "integer DEFAULT '0', 'size' integer DEFAULT '0', 'localpath' "
                             "VARCHAR(500) DEFAULT '', 'cleanfile' integer DEFAULT '0', 'roworder' "
                             "integer DEFAULT '9999', 'port' integer DEFAULT '21', 'protocol' "
                             "VARCHAR(8) DEFAULT 'ftp')"),
              0);
    ASSERT_GE(SQLExecute(db, "INSERT INTO batchlist (action,filename,path,server,port,user,"
                             "password,localpath,size) VALUES ('2','caf\xC3\xA9.txt','/d',"
                             "'127.0.0.1',21,'u','p','/Files',4)"),
              0);
    sqlite3_close(db);
  }
  makeQueue(false);
  ASSERT_EQ(queue_->batchItemList().size(), 1u);
  const int old = queue_->batchItemList().front()->primaryKey();
  EXPECT_EQ(queue_->batchItemList().front()->remoteFilename(), RemoteName("caf\xC3\xA9.txt"));

  const RemoteName folder = RemoteName::named("/d\xC3\xA9", "/d\xE9");
  const RemoteName utf8 = RemoteName::named("caf\xC3\xA9.txt", "caf\xC3\xA9.txt");
  const RemoteName latin1 = RemoteName::named("caf\xC3\xA9.txt", "caf\xE9.txt");
  auto add = [&](const RemoteName &name, const RemoteName &path) {
    return queue_->addBatchItemAction(2, name, path, 4, "127.0.0.1", 21, "u", "p", "ftp", "/Files",
                                      false, false);
  };
  const int a = add(utf8, folder), b = add(latin1, folder), c = add(latin1, "/e");
  EXPECT_NE(a, b);
  EXPECT_NE(c, b);
  EXPECT_NE(c, old);
  EXPECT_EQ(add(latin1, folder), b);
  // The row stored without bytes is the transfer of the listed name of its text.
  EXPECT_EQ(add(utf8, "/d"), old);
  EXPECT_EQ(queue_->alreadyExists(2, utf8, folder, 0, "127.0.0.1", 21, "u", "p"), a);
  EXPECT_EQ(queue_->alreadyExists(2, "caf\xC3\xA9.txt", "/d", 0, "127.0.0.1", 21, "u", "p"), old);
  EXPECT_NE(queue_->batchItemList()[1]->origin().key(), queue_->batchItemList()[2]->origin().key());

  // After a restart each row still names its own file.
  makeQueue(false);
  std::map<int, std::pair<RemoteName, RemoteName>> loaded;
  for (auto &item : queue_->batchItemList())
    loaded[item->primaryKey()] = {item->remoteFilename(), item->remotePath()};
  ASSERT_EQ(loaded.size(), 4u);
  EXPECT_EQ(loaded[old], std::make_pair(RemoteName("caf\xC3\xA9.txt"), RemoteName("/d")));
  EXPECT_EQ(loaded[a], std::make_pair(utf8, folder));
  EXPECT_EQ(loaded[b], std::make_pair(latin1, folder));
  EXPECT_EQ(loaded[c], std::make_pair(latin1, RemoteName("/e")));
  EXPECT_EQ(names(*queue_), std::vector<std::string>(4, "caf\xC3\xA9.txt"));
  EXPECT_EQ(queue_->alreadyExists(2, latin1, folder, 0, "127.0.0.1", 21, "u", "p"), b);
}

// A row stored before names kept their bytes (none, or empty columns) is the transfer of the
// listed name its text names: downloading or viewing that file, or walking its folder again, finds
// the row rather than storing a second one.
class RowsStoredBefore : public QueueTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RowsStoredBefore, AreFoundByTheListedNamesOfTheirText) {
  const bool oldTable = GetParam();
  const struct {
    const char *name, *folder;
    RemoteName listedName, listedFolder;
  } stored[] = {
      {"a.txt", "/pub", RemoteName::named("a.txt", "a.txt"), RemoteName::named("/pub", "/pub")},
      {"caf\xC3\xA9.txt", "/pub", RemoteName::named("caf\xC3\xA9.txt", "caf\xC3\xA9.txt"),
       RemoteName::named("/pub", "/pub")},
      // Sent in ISO Latin-1 to a server without UTF8, as such a row always went out.
      {"d\xC3\xA9j\xC3\xA0.txt", "/pub",
       RemoteName::named("d\xC3\xA9j\xC3\xA0.txt", "d\xE9j\xE0.txt"),
       RemoteName::named("/pub", "/pub")},
      {"b.txt", "/caf\xC3\xA9", RemoteName::named("b.txt", "b.txt"),
       RemoteName::named("/caf\xC3\xA9", "/caf\xE9")},
  };
  for (const auto &row : stored)
    seedRowWithoutBytes(std::string("'2','") + row.name + "','" + row.folder +
                            "','127.0.0.1',21,'u','p','/Files',4,0,'ftp',9999,0",
                        oldTable);
  makeQueue(false);
  ASSERT_EQ(queue_->batchItemList().size(), std::size(stored));
  std::map<std::string, int> keys;
  for (auto &item : queue_->batchItemList())
    keys[item->filename() + "\n" + item->path()] = item->primaryKey();
  const auto keyOf = [&](const auto &row) {
    return keys[std::string(row.name) + "\n" + row.folder];
  };

  for (const auto &row : stored) {
    SCOPED_TRACE(row.name);
    // Download and View: the connection asks for the row, else adds one.
    EXPECT_EQ(
        queue_->alreadyExists(2, row.listedName, row.listedFolder, 4, "127.0.0.1", 21, "u", "p"),
        keyOf(row));
    EXPECT_EQ(queue_->addBatchItemAction(2, row.listedName, row.listedFolder, 4, "127.0.0.1", 21,
                                         "u", "p", "ftp", "/Files", false, false),
              keyOf(row));
  }
  // The folder walk queues its files in one batch, each unless already queued.
  int added = 0;
  queue_->batchUpdates([&] {
    for (const auto &row : stored) {
      if (queue_->alreadyExists(2, row.listedName, row.listedFolder, 0, "127.0.0.1", 21, "u",
                                "p") >= 0)
        continue;
      ++added;
      queue_->addBatchItemAction(2, row.listedName, row.listedFolder, 0, "127.0.0.1", 21, "u", "p",
                                 "ftp", "/Files", false, false);
    }
  });
  EXPECT_EQ(added, 0);
  EXPECT_EQ(rows().size(), std::size(stored));
  // In the next run too.
  makeQueue(false);
  EXPECT_EQ(queue_->addBatchItemAction(2, stored[1].listedName, stored[1].listedFolder, 4,
                                       "127.0.0.1", 21, "u", "p", "ftp", "/Files", false, false),
            keyOf(stored[1]));
  EXPECT_EQ(queue_->batchItemList().size(), std::size(stored));
}

INSTANTIATE_TEST_SUITE_P(Queue, RowsStoredBefore, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "OldTable" : "EmptyColumns"; });

} // namespace
